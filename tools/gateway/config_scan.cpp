#include "config_scan.h"

#include <vector>

namespace gateway {

namespace {

enum class State {
    Statement,  // at the top level, nothing but blanks yet on this line
    Key,        // in a key, before its '='
    Value,      // where a value is due: after '=', '[' or an array's ','
    AfterValue, // in a value that needs no brackets, or after any value
    Header,     // between a table header's brackets
    Rest,       // after a table header, up to the end of its line
};

// The length of the well-formed UTF-8 sequence at `i`, or 0 (overlong forms, surrogates and
// code points past U+10FFFF are not well-formed).
size_t Utf8Length(std::string_view s, size_t i) {
    const auto byte = [&](size_t k) {
        return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u;
    };
    const auto next = [&](size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
        return byte(k) >= lo && byte(k) <= hi;
    };
    const unsigned c = byte(i);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return next(i + 1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const bool ok =
            next(i + 1, c == 0xE0 ? 0xA0 : 0x80, c == 0xED ? 0x9F : 0xBF) && next(i + 2);
        return ok ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const bool ok = next(i + 1, c == 0xF0 ? 0x90 : 0x80, c == 0xF4 ? 0x8F : 0xBF) &&
                        next(i + 2) && next(i + 3);
        return ok ? 4 : 0;
    }
    return 0;
}

struct Frame {
    bool array; // '[' (else '{')
    int depth;  // the level of the array or inline table itself
};

class Scanner {
  public:
    Scanner(std::string_view text, const ConfigLimits& limits) : s_(text), lim_(limits) {}

    ConfigScan Run() {
        if (s_.size() > lim_.maxBytes)
            return Fail(0, "the file is larger than " + Size(lim_.maxBytes) + ", the limit");
        if (!LinesAndEncoding()) return out_;
        size_t i = s_.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0; // the parser skips a BOM
        while (i < s_.size()) {
            const char c = s_[i];
            if (c == '\n') {
                ++line_;
                if (stack_.empty()) state_ = State::Statement; // a statement ends with its line
                ++i;
                continue;
            }
            if (c == ' ' || c == '\t' || c == '\r') {
                ++i;
                continue;
            }
            if (c == '#') {
                const size_t nl = s_.find('\n', i);
                i = nl == std::string_view::npos ? s_.size() : nl;
                continue;
            }
            out_.empty = false;
            if (c == '"' || c == '\'') {
                if (state_ == State::Statement) {
                    state_ = State::Key; // a quoted key
                    parts_ = 1;
                } else if (state_ == State::Value) {
                    if (!Count(1)) return out_;
                    state_ = State::AfterValue;
                }
                i = SkipString(i);
                continue;
            }
            if (!Step(c, i)) return out_;
        }
        return out_;
    }

  private:
    // One character outside strings and comments. Advances `i`, or changes the state and
    // leaves `i` for the new state to take. False when a limit is passed.
    bool Step(char c, size_t& i) {
        switch (state_) {
        case State::Statement:
            if (c == '[') {
                aot_ = i + 1 < s_.size() && s_[i + 1] == '[';
                i += aot_ ? 2 : 1;
                parts_ = 1;
                state_ = State::Header;
                return true;
            }
            state_ = State::Key; // a bare key: this character is its first
            parts_ = 1;
            return true;
        case State::Key:
            if (c == '.') {
                ++parts_;
            } else if (c == '=') {
                const int depth = (stack_.empty() ? tableDepth_ : stack_.back().depth) + parts_;
                if (!Count(static_cast<size_t>(parts_)) || !Depth(depth)) return false;
                valueDepth_ = depth;
                state_ = State::Value;
            } else if (c == '}') { // an empty inline table, or a ',' before its end
                Close();
            }
            break;
        case State::Value:
            if (c == '[') {
                if (!Count(1) || !Depth(valueDepth_ + 1)) return false;
                stack_.push_back({true, valueDepth_});
                ++valueDepth_; // its elements
            } else if (c == '{') {
                if (!Count(1)) return false;
                stack_.push_back({false, valueDepth_});
                state_ = State::Key;
                parts_ = 1;
            } else if (c == ']' || c == '}') { // an empty array, or a ',' before its end
                Close();
            } else if (c != ',') {
                if (!Count(1)) return false; // a number, a boolean, a date or time
                state_ = State::AfterValue;
            }
            break;
        case State::AfterValue:
            if (c == ',' && !stack_.empty()) {
                if (stack_.back().array) {
                    valueDepth_ = stack_.back().depth + 1;
                    state_ = State::Value;
                } else {
                    state_ = State::Key;
                    parts_ = 1;
                }
            } else if (c == ']' || c == '}') {
                Close();
            } else if (c == '[' || c == '{') {
                // Wrong here, and the parser says so; counted as an opening all the same.
                state_ = State::Value;
                return true;
            }
            break;
        case State::Header:
            if (c == '.') {
                ++parts_;
            } else if (c == ']') {
                tableDepth_ = parts_ + (aot_ ? 1 : 0); // [[name]]: an array, then its table
                if (!Count(static_cast<size_t>(parts_)) || !Depth(tableDepth_)) return false;
                if (aot_ && i + 1 < s_.size() && s_[i + 1] == ']') ++i;
                state_ = State::Rest;
            }
            break;
        case State::Rest:
            break;
        }
        ++i;
        return true;
    }

    // A closing bracket: the value it ends is complete.
    void Close() {
        if (!stack_.empty()) stack_.pop_back();
        state_ = State::AfterValue;
    }

    // `i` at an opening quote: where the string ends, just past its closing quote(s), or at the
    // line break that cuts a one-line string short (left to the caller), or at the end.
    size_t SkipString(size_t i) {
        const char q = s_[i];
        const size_t n = s_.size();
        const bool basic = q == '"';
        if (i + 2 < n && s_[i + 1] == q && s_[i + 2] == q) {
            // """ or ''': up to the next three quotes; one or two more before them are text.
            size_t j = i + 3;
            while (j < n) {
                const char c = s_[j];
                if (c == '\n') {
                    ++line_;
                } else if (basic && c == '\\') {
                    if (j + 1 < n && s_[j + 1] == '\n') ++line_;
                    j += 2;
                    continue;
                } else if (c == q && j + 2 < n && s_[j + 1] == q && s_[j + 2] == q) {
                    j += 3;
                    for (int extra = 0; extra < 2 && j < n && s_[j] == q; ++extra)
                        ++j;
                    return j;
                }
                ++j;
            }
            return n;
        }
        size_t j = i + 1;
        while (j < n) {
            const char c = s_[j];
            if (c == '\n') return j;
            if (c == q) return j + 1;
            if (basic && c == '\\' && j + 1 < n && s_[j + 1] != '\n') ++j; // \" and \\ .
            ++j;
        }
        return n;
    }

    // Every line short enough, and the text UTF-8 as TOML requires: toml11 mishandles a literal
    // string that is not (it reads outside its buffer to report it).
    bool LinesAndEncoding() {
        size_t start = 0;
        int line = 1;
        size_t i = 0;
        for (;;) {
            if (i == s_.size() || s_[i] == '\n') {
                if (i - start > lim_.maxLineBytes) {
                    Fail(line,
                         "the line is longer than " + Size(lim_.maxLineBytes) + ", the limit");
                    return false;
                }
                if (i == s_.size()) return true;
                start = ++i;
                ++line;
                continue;
            }
            const size_t length = Utf8Length(s_, i);
            if (length == 0) {
                static const char kHex[] = "0123456789ABCDEF";
                const auto b = static_cast<unsigned char>(s_[i]);
                Fail(line, std::string("the text is not UTF-8 here (a byte 0x") + kHex[b >> 4] +
                               kHex[b & 15] + "), which a TOML file must be");
                return false;
            }
            i += length;
        }
    }

    bool Count(size_t n) {
        out_.entries += n;
        if (out_.entries <= lim_.maxEntries) return true;
        Fail(line_, "more than " + std::to_string(lim_.maxEntries) +
                        " names and values by here, the limit (each part of a table's name or "
                        "of a key counts one, and so does each value and each array element)");
        return false;
    }

    bool Depth(int depth) {
        if (depth <= lim_.maxDepth) return true;
        Fail(line_, "tables, keys and values nest deeper than " + std::to_string(lim_.maxDepth) +
                        " levels here, the limit (each part of a table's name or of a key, "
                        "each array and each inline table opens one)");
        return false;
    }

    ConfigScan Fail(int line, std::string reason) {
        out_.ok = false;
        out_.line = line;
        out_.reason = std::move(reason);
        return out_;
    }

    static std::string Size(size_t bytes) {
        std::string text = std::to_string(bytes) + " bytes";
        if (bytes >= 1024 && bytes % 1024 == 0)
            text += " (" + std::to_string(bytes / 1024) + " KiB)";
        return text;
    }

    std::string_view s_;
    const ConfigLimits& lim_;
    ConfigScan out_;
    State state_ = State::Statement;
    std::vector<Frame> stack_; // the open arrays and inline tables: at most maxDepth
    int line_ = 1;
    int tableDepth_ = 0; // the level of the current [table]
    int parts_ = 0;      // parts of the key or table name being read
    int valueDepth_ = 0; // the level of the value due
    bool aot_ = false;   // the header being read is [[...]]
};

} // namespace

ConfigScan ScanConfigText(std::string_view text, const ConfigLimits& limits) {
    return Scanner(text, limits).Run();
}

} // namespace gateway
