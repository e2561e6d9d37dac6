// Wire format between the Windows test programs' simulator stand-in (simproxy) and the
// native simulator server (tarvel-simd). A message is a list of byte strings:
//   u32 count, then for each string: u32 length, bytes   (little-endian lengths)
// A request's first string is the operation, the rest its arguments (numbers as decimal
// text); a reply's first string is "ok" or "err:<kind>" followed by results or a message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simwire {

using Msg = std::vector<std::string>;

inline void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline uint32_t GetU32(const char* p) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<uint8_t>(p[i])) << (8 * i);
    return v;
}

inline std::string Encode(const Msg& m) {
    std::string out;
    PutU32(out, static_cast<uint32_t>(m.size()));
    for (const auto& s : m) {
        PutU32(out, static_cast<uint32_t>(s.size()));
        out += s;
    }
    return out;
}

// Reads one message with `readExact(buf, n)` (returns false on end of stream). Strings are
// limited to 64 MiB and messages to 65536 strings.
template <typename ReadExact> bool Read(ReadExact&& readExact, Msg& m) {
    char hdr[4];
    if (!readExact(hdr, 4)) return false;
    const uint32_t count = GetU32(hdr);
    if (count > 65536) return false;
    m.clear();
    for (uint32_t i = 0; i < count; ++i) {
        if (!readExact(hdr, 4)) return false;
        const uint32_t len = GetU32(hdr);
        if (len > (64u << 20)) return false;
        std::string s(len, '\0');
        if (len > 0 && !readExact(s.data(), len)) return false;
        m.push_back(std::move(s));
    }
    return true;
}

} // namespace simwire
