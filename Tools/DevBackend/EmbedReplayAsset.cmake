# Turns one file of the replay page into a C++ source holding its bytes, so the dev
# backend serves and exports the page without finding files at run time.
#   cmake -DINPUT=<file> -DOUTPUT=<source.cpp> -DSYMBOL=<identifier> -P EmbedReplayAsset.cmake
file(READ "${INPUT}" Hex HEX)
string(LENGTH "${Hex}" HexLength)
math(EXPR Size "${HexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," Bytes "${Hex}")
# Twenty bytes a line keeps the generated file readable in a diff tool.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){20})" "\\1\n    " Bytes "${Bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT}; do not edit.\n"
"#include <cstddef>\n"
"extern const unsigned char ${SYMBOL}[];\n"
"extern const std::size_t ${SYMBOL}_Size;\n"
"// One byte more than the file, so an empty file still makes a valid array.\n"
"const unsigned char ${SYMBOL}[] = {\n    ${Bytes}0x00};\n"
"const std::size_t ${SYMBOL}_Size = ${Size};\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
