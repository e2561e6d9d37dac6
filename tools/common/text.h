// Small text helpers the tools share.
#pragma once

#include <string>

namespace tarvel::text {

// ASCII letters to lower case, whatever the locale (names, keywords, header schemes).
inline std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

} // namespace tarvel::text
