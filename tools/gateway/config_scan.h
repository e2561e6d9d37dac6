// A first, cheap pass over a configuration file before the TOML parser sees it: the size of
// the file, the length of its lines, how deep its names and values nest and how many there
// are, each against a fixed limit.
//
// The parser (toml11) descends into nested arrays and inline tables by recursion and builds one
// table per part of a dotted name, so a small file could exhaust its stack; and it spends time
// on each value in proportion to the length of the value's line, so one long line of values
// could keep it busy for minutes. Within these limits every file is parsed quickly.
//
// This is no TOML parser: it knows only enough (strings of each kind, comments, brackets, '=',
// ',' and '.') to count, without recursion. The parser still judges the syntax; on a wrong file
// the pass never counts less than the parser would build before it stops.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gateway {

struct ConfigLimits {
    size_t maxBytes = 256 * 1024; // the whole file
    size_t maxLineBytes = 4096;   // one line, without its line break
    // Levels of nesting: each part of a table's name ([[...]] one more), each part of a dotted
    // key, and each array or inline table a value opens.
    int maxDepth = 16;
    // Names and values: each part of a table's name or of a key, each value (an array or an
    // inline table is one, and so is each of its elements).
    size_t maxEntries = 10000;
};

struct ConfigScan {
    bool ok = true;
    int line = 0;       // where the first limit was passed (1-based); 0: the file as a whole
    std::string reason; // what was passed, in plain words, when !ok
    size_t entries = 0; // names and values counted (up to where it stopped)
    bool empty = true;  // nothing but blanks, line breaks and comments
};

// Counts `text` (the file's bytes) against `limits`. Never throws but for std::bad_alloc.
ConfigScan ScanConfigText(std::string_view text, const ConfigLimits& limits = {});

} // namespace gateway
