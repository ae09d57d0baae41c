# The offline renderer: its core is a library so the tests and benchmarks can
# drive it too.
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo)
add_library(tessaro_render STATIC
  ${CMAKE_CURRENT_LIST_DIR}/render/render_core.cpp
  ${CMAKE_CURRENT_LIST_DIR}/render/timeline_plot.cpp
  ${CMAKE_CURRENT_LIST_DIR}/render/wav_output.cpp
  ${CMAKE_CURRENT_LIST_DIR}/render/output_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/render/motion_csv.cpp)
target_link_libraries(tessaro_render PUBLIC tessaro_core PkgConfig::SNDFILE PkgConfig::CAIRO)
add_executable(tessaro-render ${CMAKE_CURRENT_LIST_DIR}/render/render_main.cpp)
target_link_libraries(tessaro-render PRIVATE tessaro_render)
add_executable(tessaro-cameras ${CMAKE_CURRENT_LIST_DIR}/tessaro_cameras.cpp)
target_link_libraries(tessaro-cameras PRIVATE tessaro_core)
if(TARGET tessaro_tests)
  target_link_libraries(tessaro_tests PRIVATE tessaro_render)
endif()
if(TARGET tessaro_bench)
  target_link_libraries(tessaro_bench PRIVATE tessaro_render)
endif()
