# Writes a C++ source holding one file's bytes as a constant array.
# -DINPUT=file -DOUTPUT=source -DSYMBOL=name -DEXPECTED_SIZE=bytes (optional)
file(SIZE "${INPUT}" size)
if(DEFINED EXPECTED_SIZE AND NOT size EQUAL EXPECTED_SIZE)
  message(FATAL_ERROR "${INPUT} holds ${size} bytes, expected ${EXPECTED_SIZE}")
endif()
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <cstdint>\n\n"
  "extern const uint8_t ${SYMBOL}[${size}];\n"
  "extern const uint32_t ${SYMBOL}Size;\n"
  "alignas(16) const uint8_t ${SYMBOL}[${size}] = {\n${bytes}};\n"
  "const uint32_t ${SYMBOL}Size = ${size};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
