# Tests of the DV half of th_media: splitter, decoder, media detector.
add_library(th_dvmediatest STATIC ${CMAKE_CURRENT_SOURCE_DIR}/DvMediaTestUtil.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/DvMediaTestUtil.h)
target_include_directories(th_dvmediatest PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(th_dvmediatest PUBLIC th_media th_dshow th_dshowbase th_dif th_testsupport
  PkgConfig::FFMPEG GTest::gtest)

th_add_gtest(th_dvsplitter_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/DVSplitterTest.cpp
  LIBS th_dvmediatest LABELS streaming TIMEOUT 300)
if(TARGET thtape)
  add_dependencies(th_dvsplitter_test thtape)
endif()

th_add_gtest(th_dvdecoder_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/DVVideoDecoderTest.cpp
  LIBS th_dvmediatest LABELS streaming TIMEOUT 300)
if(TARGET thtape)
  add_dependencies(th_dvdecoder_test thtape)
endif()
