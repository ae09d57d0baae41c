# Developer tools; none of them is part of the program.
pkg_check_modules(FREETYPE QUIET IMPORTED_TARGET freetype2)
if(FREETYPE_FOUND)
  add_executable(make_font_atlas ${CMAKE_SOURCE_DIR}/tools/make_font_atlas.cpp
                                 ${CMAKE_SOURCE_DIR}/platform/diagnostics.cpp)
  target_include_directories(make_font_atlas PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(make_font_atlas PRIVATE PkgConfig::FREETYPE)
  # `cmake --build build --target font_atlas` remakes the committed atlas.
  add_custom_target(font_atlas
    COMMAND make_font_atlas ${CMAKE_SOURCE_DIR}/resources/font_atlas.bin
                            ${CMAKE_SOURCE_DIR}/resources/font_atlas.pgm
    COMMENT "Rendering resources/font_atlas.bin and .pgm"
    VERBATIM)
endif()
