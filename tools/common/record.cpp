#include "record.h"

#include <cstdio>

namespace tarvel::record {

namespace {

// Texts that may be null.
Json Text(const std::optional<std::string>& text) {
    return text ? Json(Utf8FromCp1252(*text)) : Json(nullptr);
}

template <class T> Json OrNull(const std::optional<T>& v) {
    return v ? Json(*v) : Json(nullptr);
}

// "S" true, "N" false, anything else (the indicator does not tell) null.
std::optional<bool> Flag(char c) {
    if (c == 'S') return true;
    if (c == 'N') return false;
    return std::nullopt;
}

std::optional<bool> Flag(TFlag f) {
    if (f == TFlag::Yes) return true;
    if (f == TFlag::No) return false;
    return std::nullopt;
}

// Character `index` (0-based) of the status text, or 'E' when there is none.
char StatusChar(const std::optional<std::string>& status, size_t index) {
    return status && status->size() > index ? (*status)[index] : 'E';
}

// A unit without the blanks around it; null when nothing is left.
std::optional<std::string> Unit(std::string unit) {
    while (!unit.empty() && unit.back() == ' ')
        unit.pop_back();
    while (!unit.empty() && unit.front() == ' ')
        unit.erase(0, 1);
    if (unit.empty()) return std::nullopt;
    return Utf8FromCp1252(unit);
}

std::optional<double> Number(const TWeightField& f) {
    if (f.form == TWeightField::Form::None || !f.value) return std::nullopt;
    return f.value->Value();
}

std::optional<double> Number(const std::optional<std::string>& text) {
    return text ? WeightNumber(*text) : std::nullopt;
}

} // namespace

Values FromReading(const Family& family, const TReading* reading) {
    Values v;
    if (reading == nullptr) return v;
    const TReading& r = *reading;
    if (family.suppliesWeights) {
        v.gross = Number(r.gross);
        v.net = Number(r.net);
        v.tare = Number(r.tare);
    }
    if (r.hasStatus) {
        v.unit = Unit(r.unit);
        v.stable = Flag(r.motion);
        if (v.stable) v.stable = !*v.stable; // motion clear is a stable weight
        v.overload = Flag(r.outOfRange);
        v.negative = Flag(r.negative);
    }
    TValueTexts t = TextsOf(r, family.pollStartGrossTare, '.');
    v.texts = {std::move(t.GrossText), std::move(t.NetText),     std::move(t.TareText),
               std::move(t.TotalText), std::move(t.CounterText), std::move(t.StatusText),
               std::move(t.MotionText)};
    return v;
}

Values FromTexts(const std::string& model, const Texts& texts,
                 const std::optional<std::string>& unit) {
    Values v;
    const Family* family = FamilyOfModel(model);
    if (family == nullptr || family->suppliesWeights) {
        v.gross = Number(texts.gross);
        v.net = Number(texts.net);
        v.tare = Number(texts.tare);
    }
    if (unit) {
        v.unit = Unit(*unit);
    } else if (texts.status && texts.status->size() >= 7) {
        // The status text's unit ("EE" where the status does not show it).
        v.unit = Unit(texts.status->substr(5, 2));
        if (v.unit == "EE") v.unit.reset();
    }
    // Motion "N" is a stable weight.
    const char motion = texts.motion && texts.motion->size() == 1 ? (*texts.motion)[0] : 'E';
    v.stable = Flag(motion);
    if (v.stable) v.stable = !*v.stable;
    v.overload = Flag(StatusChar(texts.status, 3));
    v.negative = Flag(StatusChar(texts.status, 2));
    v.texts = texts;
    return v;
}

Json Make(const Meta& meta, const Values& v) {
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
    r["gross"] = OrNull(v.gross);
    r["net"] = OrNull(v.net);
    r["tare"] = OrNull(v.tare);
    r["unit"] = OrNull(v.unit);
    r["stable"] = OrNull(v.stable);
    r["overload"] = OrNull(v.overload);
    r["negative"] = OrNull(v.negative);
    Json t;
    t["gross"] = Text(v.texts.gross);
    t["net"] = Text(v.texts.net);
    t["tare"] = Text(v.texts.tare);
    t["total"] = Text(v.texts.total);
    t["counter"] = Text(v.texts.counter);
    t["status"] = Text(v.texts.status);
    t["motion"] = Text(v.texts.motion);
    r["texts"] = std::move(t);
    return r;
}

Json Make(const Meta& meta, const Texts& texts, const std::optional<std::string>& unit) {
    return Make(meta, FromTexts(meta.model, texts, unit));
}

std::string Line(const Json& record) {
    return record.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string FormatTime(int64_t unixMs) {
    char buf[kTimeTextMax];
    return std::string(buf, FormatTime(unixMs, buf));
}

size_t FormatTime(int64_t unixMs, char (&out)[kTimeTextMax]) {
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
    if (year < 0 || year > 9999) // a sign, or a fifth digit
        return static_cast<size_t>(std::snprintf(
            out, sizeof out, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ",
            static_cast<long long>(year), static_cast<long long>(month),
            static_cast<long long>(day), static_cast<long long>(msOfDay / 3600000),
            static_cast<long long>(msOfDay / 60000 % 60),
            static_cast<long long>(msOfDay / 1000 % 60), static_cast<long long>(msOfDay % 1000)));
    // Every reading's time goes through here: the digits by hand.
    const auto put = [&out](size_t at, int64_t value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10)
            out[at + static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
    };
    put(0, year, 4);
    out[4] = '-';
    put(5, month, 2);
    out[7] = '-';
    put(8, day, 2);
    out[10] = 'T';
    put(11, msOfDay / 3600000, 2);
    out[13] = ':';
    put(14, msOfDay / 60000 % 60, 2);
    out[16] = ':';
    put(17, msOfDay / 1000 % 60, 2);
    out[19] = '.';
    put(20, msOfDay % 1000, 3);
    out[23] = 'Z';
    out[24] = '\0';
    return 24;
}

std::optional<double> WeightNumber(std::string_view text) {
    const std::optional<TWeight> w = WeightOfText(text);
    if (!w) return std::nullopt;
    return w->Value();
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
