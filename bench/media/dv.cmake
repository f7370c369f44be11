# DV decoding speed at each display resolution, and the media detector's
# thumbnail time in a file past 1 GiB.
add_executable(bench_dvmedia ${CMAKE_CURRENT_SOURCE_DIR}/bench_dvmedia.cpp)
target_link_libraries(bench_dvmedia PRIVATE th_benchsupport th_media th_dif PkgConfig::FFMPEG)
target_compile_definitions(bench_dvmedia PRIVATE TH_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
add_dependencies(bench_dvmedia thtape)
