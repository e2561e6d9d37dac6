// The live page (page/index.html), built into the program.
#pragma once

#include <cstddef>

namespace gateway {

extern const unsigned char kPageHtml[];
extern const size_t kPageHtmlSize;

} // namespace gateway
