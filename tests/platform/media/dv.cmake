# Tests of the DV half of th_media: splitter, decoder, media detector.
add_library(th_dvmediatest STATIC ${CMAKE_CURRENT_SOURCE_DIR}/DvMediaTestUtil.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/DvMediaTestUtil.h)
target_include_directories(th_dvmediatest PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(th_dvmediatest PUBLIC th_media th_dshow th_dshowbase th_dif th_testsupport
  PkgConfig::FFMPEG GTest::gtest)

th_add_gtest(th_dvsplitter_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/DVSplitterTest.cpp
  LIBS th_dvmediatest LABELS streaming TIMEOUT 300)
add_dependencies(th_dvsplitter_test thtape)

th_add_gtest(th_dvdecoder_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/DVVideoDecoderTest.cpp
  LIBS th_dvmediatest LABELS streaming TIMEOUT 300)
add_dependencies(th_dvdecoder_test thtape)

# The media detector reads files of the AVI writer (its file writer, linked
# in) and of ffmpeg.
th_add_gtest(th_mediadet_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/MediaDetTest.cpp
  LIBS th_dvmediatest thmux_core th_riff TIMEOUT 300)
add_dependencies(th_mediadet_test thtape)
# A file past 1 GiB.
th_add_gtest(th_mediadet_long_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/MediaDetLongTest.cpp
  LIBS th_dvmediatest LABELS long TIMEOUT 600)
add_dependencies(th_mediadet_long_test thtape)
