# The DV half of th_media: the DV Splitter, the DV Video Decoder and the media
# detector, on FFmpeg and th_dif.
list(APPEND TH_MEDIA_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/FFmpegUtil.h ${CMAKE_CURRENT_SOURCE_DIR}/FFmpegUtil.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/DVSplitter.h ${CMAKE_CURRENT_SOURCE_DIR}/DVSplitter.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/DVVideoDecoder.h ${CMAKE_CURRENT_SOURCE_DIR}/DVVideoDecoder.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/DvDcPicture.h ${CMAKE_CURRENT_SOURCE_DIR}/DvDcPicture.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/MediaDet.h ${CMAKE_CURRENT_SOURCE_DIR}/MediaDet.cpp)
list(APPEND TH_MEDIA_LIBS PkgConfig::FFMPEG th_dif)
