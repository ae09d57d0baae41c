# Benchmarks bring their own main; OpenCV is only a yardstick for comparison,
# so it is linked into the benchmarks alone and only when installed.
target_link_libraries(tessaro_bench PRIVATE benchmark::benchmark_main)
pkg_check_modules(OPENCV QUIET IMPORTED_TARGET opencv4)
if(OPENCV_FOUND)
  target_sources(tessaro_bench PRIVATE ${CMAKE_CURRENT_LIST_DIR}/opencv/opencv_motion_bench.cpp)
  target_link_libraries(tessaro_bench PRIVATE PkgConfig::OPENCV)
endif()
