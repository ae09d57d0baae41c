# The font atlas is compiled into the program; a build needs no font files.
set(FONT_ATLAS_SOURCE ${CMAKE_BINARY_DIR}/generated/font_atlas_bytes.cpp)
add_custom_command(
  OUTPUT ${FONT_ATLAS_SOURCE}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_SOURCE_DIR}/resources/font_atlas.bin
          -DOUTPUT=${FONT_ATLAS_SOURCE} -DSYMBOL=fontAtlasBytes -DEXPECTED_SIZE=65536
          -P ${CMAKE_SOURCE_DIR}/resources/embed_file.cmake
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/font_atlas.bin ${CMAKE_SOURCE_DIR}/resources/embed_file.cmake
  COMMENT "Embedding resources/font_atlas.bin"
  VERBATIM)
target_sources(tessaro_core PRIVATE ${FONT_ATLAS_SOURCE})
