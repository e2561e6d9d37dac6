# Writes OUTPUT, a C++ source defining gateway::kPageHtml and kPageHtmlSize with the bytes of
# INPUT:  cmake -DINPUT=page/index.html -DOUTPUT=page.cpp -P embed.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT} by embed.cmake: do not edit.
#include \"page.h\"

namespace gateway {

const unsigned char kPageHtml[] = {
${bytes}0x00};
const size_t kPageHtmlSize = ${size};

} // namespace gateway
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
