# The AVI and rendering half of th_media: AVI Mux and File Writer (on the
# shared RIFF writing of platform/riff), Video Renderer (Qt Widgets) and Audio
# Renderer (Qt Multimedia).
list(APPEND TH_MEDIA_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/AviMuxFile.h ${CMAKE_CURRENT_SOURCE_DIR}/AviMuxFile.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/AviMux.h ${CMAKE_CURRENT_SOURCE_DIR}/AviMux.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/FileWriter.h ${CMAKE_CURRENT_SOURCE_DIR}/FileWriter.cpp)
list(APPEND TH_MEDIA_LIBS th_riff)
list(APPEND TH_MEDIA_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/MainThreadCall.h
  ${CMAKE_CURRENT_SOURCE_DIR}/VideoRenderer.h ${CMAKE_CURRENT_SOURCE_DIR}/VideoRenderer.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/AudioRenderer.h ${CMAKE_CURRENT_SOURCE_DIR}/AudioRenderer.cpp)
list(APPEND TH_MEDIA_LIBS Qt6::Widgets Qt6::Multimedia)
