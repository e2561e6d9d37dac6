#include "ValueTexts.h"

namespace {

constexpr char kCr = 0x0D;

// The indicator's characters with `sep` for every point and comma.
std::string Printed(std::string_view field, char sep) {
    std::string t(field);
    for (char& c : t)
        if (c == '.' || c == ',') c = sep;
    return t;
}

} // namespace

char FlagChar(TFlag f) {
    switch (f) {
    case TFlag::Yes:
        return 'S';
    case TFlag::No:
        return 'N';
    case TFlag::Unknown:
        break;
    }
    return 'E';
}

std::string FormatWeight(std::string digits, int decimals, bool sign, char sep) {
    if (decimals < 0) decimals = 0;
    while (static_cast<int>(digits.size()) <= decimals)
        digits.insert(digits.begin(), '0');
    std::string dest(10, ' ');
    int k = 0;
    for (int pos = 9; pos >= 0; --pos, ++k) {
        if (k == decimals && decimals > 0) {
            dest[static_cast<size_t>(pos)] = sep;
        } else if (!digits.empty()) {
            dest[static_cast<size_t>(pos)] = digits.back();
            digits.pop_back();
        } else if (sign) {
            dest[static_cast<size_t>(pos)] = '-';
            sign = false;
        }
    }
    return dest;
}

void OhausWalk(std::string_view run, bool negative, char sep, char (&out)[10]) {
    for (char& c : out)
        c = ' ';
    bool pointSeen = false;
    size_t pos = sizeof out;
    for (size_t i = run.size(); i-- > 0 && pos > 0;) {
        const char c = run[i];
        if (c == kCr) continue; // dropped wherever it occurs
        --pos;
        if (c == '.') {
            pointSeen = true;
            out[pos] = sep;
        } else if (c == '-') {
            pointSeen = false;
            out[pos] = c;
        } else {
            out[pos] = (c == ' ' && pointSeen && negative) ? '0' : c;
        }
    }
}

std::string WeightText(const TReading& r, const TWeightField& f, char sep) {
    switch (f.form) {
    case TWeightField::Form::None:
        return {};
    case TWeightField::Form::Digits:
        return FormatWeight(std::to_string(f.digits), f.decimals, f.minus, sep);
    case TWeightField::Form::Printed:
        return Printed(r.Bytes(f), sep);
    case TWeightField::Form::OhausRun: {
        char out[10];
        OhausWalk(r.Bytes(f), r.negative == TFlag::Yes, sep, out);
        return std::string(out, sizeof out);
    }
    case TWeightField::Form::Missing:
        return "EEEEEEE";
    case TWeightField::Form::Zero:
        return "       0";
    }
    return {};
}

std::string StatusText(const TReading& r, char sep) {
    std::string t;
    t.reserve(8);
    t += r.increment == 0 ? 'E' : static_cast<char>('0' + r.increment);
    t += FlagChar(r.netMode);
    t += FlagChar(r.negative);
    t += FlagChar(r.outOfRange);
    t += FlagChar(r.motion);
    t += r.unitInStatus ? Printed(r.unit, sep) : std::string("EE");
    t += FlagChar(r.printRequest);
    return t;
}

void TValueTexts::Take(const TReading& r, char sep) {
    const auto put = [&](std::string& text, const TWeightField& f) {
        if (f.form != TWeightField::Form::None) text = WeightText(r, f, sep);
    };
    put(GrossText, r.gross);
    put(NetText, r.net);
    put(TareText, r.tare);
    put(TotalText, r.total);
    if (r.raw && r.bytes.size() >= 2) CounterText = r.bytes.substr(1, r.bytes.size() - 2);
    if (r.hasStatus) {
        MotionText.assign(1, FlagChar(r.motion));
        StatusText = ::StatusText(r, sep);
    }
}

void TValueTexts::StartPoll(const char* grossTare) {
    GrossText = grossTare;
    NetText.assign(1, '0');
    TareText = grossTare;
}

TValueTexts TextsOf(const TReading& r, const char* pollStartGrossTare, char sep) {
    TValueTexts t;
    t.StartPoll(pollStartGrossTare);
    t.Take(r, sep);
    return t;
}
