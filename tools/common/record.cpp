#include "record.h"

#include <cstdio>

namespace tarvel::record {

namespace {

// Texts that may be null.
Json Text(const std::optional<std::string>& text) {
    return text ? Json(Utf8FromCp1252(*text)) : Json(nullptr);
}

Json Number(const std::optional<std::string>& text) {
    if (!text) return nullptr;
    const std::optional<double> v = WeightNumber(*text);
    return v ? Json(*v) : Json(nullptr);
}

// "S" true, "N" false, anything else (the indicator does not tell) null.
Json Flag(char c) {
    if (c == 'S') return true;
    if (c == 'N') return false;
    return nullptr;
}

// Character `index` (0-based) of the status text, or 'E' when there is none.
char StatusChar(const std::optional<std::string>& status, size_t index) {
    return status && status->size() > index ? (*status)[index] : 'E';
}

Json Unit(const std::string& model, const std::optional<std::string>& status) {
    // Ohaus and the raw 5817 have no unit in their status; the others keep it in
    // characters 6-7.
    if (model == "ohaus" || model == "5817c" || !status || status->size() < 7) return nullptr;
    std::string unit = status->substr(5, 2);
    while (!unit.empty() && unit.back() == ' ')
        unit.pop_back();
    while (!unit.empty() && unit.front() == ' ')
        unit.erase(0, 1);
    if (unit.empty() || unit == "EE") return nullptr;
    return Utf8FromCp1252(unit);
}

} // namespace

Json Make(const Meta& meta, const Texts& texts) {
    Json r;
    r["scale"] = meta.scale;
    r["model"] = meta.model;
    r["seq"] = meta.seq;
    r["time"] = meta.timeMs ? Json(FormatTime(*meta.timeMs)) : Json(nullptr);
    r["status"] = meta.status;
    if (meta.status != "ok") {
        r["since"] = meta.sinceMs ? Json(FormatTime(*meta.sinceMs)) : Json(nullptr);
        r["reason"] = meta.reason;
    }
    const bool weights = meta.model != "5817c"; // the raw variant's weights stay "0"
    r["gross"] = weights ? Number(texts.gross) : Json(nullptr);
    r["net"] = weights ? Number(texts.net) : Json(nullptr);
    r["tare"] = weights ? Number(texts.tare) : Json(nullptr);
    r["unit"] = Unit(meta.model, texts.status);
    // Motion "N" is a stable weight.
    const char motion = texts.motion && texts.motion->size() == 1 ? (*texts.motion)[0] : 'E';
    r["stable"] = motion == 'N' ? Json(true) : motion == 'S' ? Json(false) : Json(nullptr);
    r["overload"] = Flag(StatusChar(texts.status, 3));
    r["negative"] = Flag(StatusChar(texts.status, 2));
    Json t;
    t["gross"] = Text(texts.gross);
    t["net"] = Text(texts.net);
    t["tare"] = Text(texts.tare);
    t["total"] = Text(texts.total);
    t["counter"] = Text(texts.counter);
    t["status"] = Text(texts.status);
    t["motion"] = Text(texts.motion);
    r["texts"] = std::move(t);
    return r;
}

std::string Line(const Json& record) {
    return record.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string FormatTime(int64_t unixMs) {
    // Civil date from days since 1970-01-01 (proleptic Gregorian), in 64 bits throughout so
    // that no value of unixMs overflows.
    int64_t days = unixMs / 86400000;
    int64_t msOfDay = unixMs % 86400000;
    if (msOfDay < 0) {
        msOfDay += 86400000;
        --days;
    }
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char buf[64];
    std::snprintf(
        buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ",
        static_cast<long long>(year), static_cast<long long>(month), static_cast<long long>(day),
        static_cast<long long>(msOfDay / 3600000), static_cast<long long>(msOfDay / 60000 % 60),
        static_cast<long long>(msOfDay / 1000 % 60), static_cast<long long>(msOfDay % 1000));
    return buf;
}

std::optional<double> WeightNumber(std::string_view text) {
    constexpr size_t kMaxDigits = 18; // the whole number stays within 64 bits
    static constexpr double kPow10[kMaxDigits + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,
                                                      1e7,  1e8,  1e9,  1e10, 1e11, 1e12, 1e13,
                                                      1e14, 1e15, 1e16, 1e17, 1e18};
    const size_t b = text.find_first_not_of(' ');
    if (b == std::string_view::npos) return std::nullopt;
    text = text.substr(b, text.find_last_not_of(' ') - b + 1);
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    int64_t whole = 0;
    size_t digits = 0, decimals = 0;
    bool separator = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            if (++digits > kMaxDigits) return std::nullopt;
            whole = whole * 10 + (c - '0');
            if (separator) ++decimals;
        } else if ((c == '.' || c == ',') && !separator) {
            separator = true;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0) return std::nullopt;
    // Both operands are exact (whole below 2^53 for any real weight), so the quotient is the
    // double nearest to the decimal number.
    const double value = static_cast<double>(whole) / kPow10[decimals];
    if (value == 0.0) return 0.0;
    return negative ? -value : value;
}

std::string Utf8FromCp1252(std::string_view text) {
    // 0x80-0x9F; the bytes the code page leaves undefined keep their own code point.
    static constexpr char16_t k80[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
            continue;
        }
        const char16_t u = c < 0xA0 ? k80[c - 0x80] : c;
        if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }
    return out;
}

} // namespace tarvel::record
