// The line of a value in the parsed configuration file, and the name of its type, for the
// messages of its checks.
//
// toml11 counts a value's line from the start of the file each time it is asked, and copies
// the line, so naming the line of every key of a long file took time growing with the square
// of its length (20,000 wrong tables: 14 s). Here the starts of the lines are found once per
// file, and a value's line by a binary search.
#pragma once

#include <toml.hpp>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

namespace gateway {

namespace detail {

// Where each line of the parser's copy of the file starts.
struct LineStarts {
    const char* text = nullptr;
    size_t size = 0;
    std::vector<size_t> starts;
};
// This thread's, in a function: an inline thread_local variable at namespace scope gets one
// TLS init function per object file with mingw-w64, which then do not link.
inline LineStarts& ThreadLineStarts() {
    static thread_local LineStarts starts;
    return starts;
}

} // namespace detail

// A value's type as a message names it: "a string", "an integer", ...
inline const char* TypeName(const toml::value& v) {
    switch (v.type()) {
    case toml::value_t::boolean:
        return "a boolean";
    case toml::value_t::integer:
        return "an integer";
    case toml::value_t::floating:
        return "a float";
    case toml::value_t::string:
        return "a string";
    case toml::value_t::array:
        return "an array";
    case toml::value_t::table:
        return "a table";
    case toml::value_t::empty:
        return "nothing";
    default:
        return "a date or time";
    }
}

inline int LineOf(const toml::value& v) {
    auto& lines = detail::ThreadLineStarts();
    const auto* reg = dynamic_cast<const toml::detail::region*>(toml::detail::get_region(v));
    if (reg == nullptr) return static_cast<int>(v.location().line()); // no place in the file
    const char* text = std::to_address(reg->begin());
    const size_t size = static_cast<size_t>(reg->end() - reg->begin());
    const size_t offset = static_cast<size_t>(reg->first() - reg->begin());
    if (text != lines.text || size != lines.size) {
        if (size < lines.size) // a copy of a piece of the file: small
            return 1 + static_cast<int>(std::count(reg->begin(), reg->first(), '\n'));
        lines = {text, size, {0}};
        for (size_t i = 0; i < size; ++i)
            if (text[i] == '\n') lines.starts.push_back(i + 1);
    }
    return static_cast<int>(std::upper_bound(lines.starts.begin(), lines.starts.end(), offset) -
                            lines.starts.begin());
}

// For as long as one file is checked: the line starts of the file before are forgotten, for
// its text is gone and the new one may lie at the same address.
class LineOfScope {
  public:
    LineOfScope() { detail::ThreadLineStarts() = {}; }
    ~LineOfScope() { detail::ThreadLineStarts() = {}; }
    LineOfScope(const LineOfScope&) = delete;
    LineOfScope& operator=(const LineOfScope&) = delete;
};

} // namespace gateway
