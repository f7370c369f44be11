# Tests of the AVI and rendering half of th_media: the mux and file writer in
# graphs, read back by the tests' AVI oracle (libavformat and a RIFF walker).
add_library(th_avimuxtest STATIC AviTestSupport.cpp AviTestSupport.h)
target_include_directories(th_avimuxtest PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(th_avimuxtest PUBLIC th_media th_dshow th_dshowbase th_riff th_testsupport
  th_avioracle GTest::gtest)

th_add_gtest(media_avimux_test SOURCES AviMuxTest.cpp LIBS th_avimuxtest LABELS streaming TIMEOUT 300)
add_dependencies(media_avimux_test thtape)

# At the real 1 GiB RIFF limit: writes and reads back a file of 1.1 GB.
th_add_gtest(media_avimux_long_test SOURCES AviMuxLongTest.cpp LIBS th_avimuxtest LABELS long TIMEOUT 600)
add_dependencies(media_avimux_long_test thtape)

# The renderers in graphs under the offscreen platform, without a sound
# device; with PulseAudio installed, also on a null sink of the test's own.
th_add_gtest(media_renderer_test SOURCES RendererTest.cpp LIBS th_avimuxtest Qt6::Widgets LABELS streaming TIMEOUT 120)
