# The mux's write throughput against the raw sequential write speed of the
# same disk, measured in the same run.
add_executable(bench_avimux ${CMAKE_CURRENT_SOURCE_DIR}/bench_avimux.cpp)
target_link_libraries(bench_avimux PRIVATE th_benchsupport th_media th_dshow th_dshowbase Qt6::Core)
