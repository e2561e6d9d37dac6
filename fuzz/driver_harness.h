// The common part of the decoder fuzz targets.
//
// The fuzz input goes to the family's decoder (found in the family table by the target's
// model name) three times: whole, one byte at a time, and in pieces whose sizes the input
// itself chooses. All three must give the same readings and failures in the same order, and
// no Feed may take nothing. Each reading then reaches a channel of the family as the channel's
// poll hands it over (TClDunor::Take, after the poll's start), and the family's checks run on
// the reading and on the channel's texts; every value function must hand out a terminated
// text and a finite number. The decoder holds at most a frame's worth of characters throughout.
//
// Input: byte 0 holds the options, the rest is what the indicator sends.
//   bit 1 of byte 0: the system decimal separator is ',' instead of '.'
//   bits 2-7 of byte 0: seed of the piece sizes of the third feeding
#pragma once

#include "Channels.h"
#include "Exports.h"
#include "Family.h"
#include "TBal.h"
#include "ValueTexts.h"
#include "fuzz_check.h"
#include "platform.h"
#include "tarvel6.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fuzzdrv {

// One reading as the family's checks see it.
struct Poll {
    const TReading& r; // the reading
    TClDunor& ch;      // a channel after a poll that took it
    int32_t index;     // the channel's index
    char sep;          // the system decimal separator
};

// The checks of one indicator family, on a reading taken by a poll.
using Check = void (*)(const Poll&);

inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A weight text of the 5817-style families: exactly ten characters, blanks, at most one
// sign, digits, and the separator exactly `decimals` places from the right.
inline void CheckWeight10(const std::string& t, char sep, int decimals) {
    FUZZ_CHECK(t.size() == 10);
    FUZZ_CHECK(decimals >= 0 && decimals <= 5);
    for (size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        if (decimals > 0 && i == 9 - static_cast<size_t>(decimals)) {
            FUZZ_CHECK(c == sep);
            continue;
        }
        FUZZ_CHECK(c == ' ' || c == '-' || IsDigit(c));
    }
    FUZZ_CHECK(IsDigit(t[9]));
}

// Every value function of the channel hands out a terminated text of the field's length at
// most (a NUL sent by the indicator may end it early) and a finite number.
inline void CheckExports(const Poll& p) {
    const struct {
        const char*(TARVEL_CALL* get)(int32_t);
        const std::string& field;
    } texts[] = {
        {Gross_Canal, p.ch.GrossText},         {Net_Canal, p.ch.NetText},
        {Tare_Canal, p.ch.TareText},           {Total_Canal, p.ch.TotalText},
        {Contadora_Canal, p.ch.CounterText},   {Estado_Canal, p.ch.StatusText},
        {Estado_EmMovimento, p.ch.MotionText}, {Unidade_Canal, p.ch.Unit},
    };
    for (const auto& t : texts) {
        const char* s = t.get(p.index);
        FUZZ_CHECK(s != nullptr);
        FUZZ_CHECK(std::strlen(s) <= t.field.size());
        FUZZ_CHECK(std::strncmp(s, t.field.c_str(), t.field.size()) == 0);
    }
    FUZZ_CHECK(std::isfinite(Gross_Canal_Float(p.index)));
    FUZZ_CHECK(std::isfinite(Net_Canal_Float(p.index)));
    FUZZ_CHECK(std::isfinite(Tare_Canal_Float(p.index)));
}

// A decoded 5817-style frame (STX, status A, B, C, six-digit weight, six-digit tare, CR and,
// for the 5817, the check character): flags and decimals as the status bits say, weights
// well-formed, and, when both fields are plain digits, worth what the frame says.
inline void CheckStatusWeight(const Poll& p, bool check) {
    const std::string& bytes = p.r.bytes;
    const size_t cr = bytes.size() - (check ? 2 : 1);
    FUZZ_CHECK(bytes.size() >= (check ? 17u : 16u) && bytes[0] == 0x02 && bytes[cr] == 0x0D);
    const std::string f = bytes.substr(1, cr); // status A through CR
    FUZZ_CHECK(f.size() <= TDecoder::kMaxFrame);
    const int a = static_cast<unsigned char>(f[0]);
    const int b = static_cast<unsigned char>(f[1]);
    const int c = static_cast<unsigned char>(f[2]);
    const int code = a & 0x07;
    const int decimals = code >= 3 ? code - 2 : 0;
    const auto flag = [](int byte, int mask) { return std::string((byte & mask) ? "S" : "N"); };
    const std::string increment = (a & 0x18) == 0x18 ? "5" : (a & 0x10) ? "2" : "1";
    const std::string status = increment + flag(b, 0x01) + flag(b, 0x02) + flag(b, 0x04) +
                               flag(b, 0x08) + ((b & 0x10) ? "kg" : "lb") + flag(c, 0x08);
    FUZZ_CHECK(p.ch.StatusText == status);
    FUZZ_CHECK(p.ch.MotionText == flag(b, 0x08));
    FUZZ_CHECK(p.ch.Unit == ((b & 0x10) ? "kg" : "lb"));
    CheckWeight10(p.ch.NetText, p.sep, decimals);
    CheckWeight10(p.ch.TareText, p.sep, decimals);
    CheckWeight10(p.ch.GrossText, p.sep, decimals);

    const auto digits = [&](size_t from) {
        for (size_t i = from; i < from + 6; ++i)
            if (!IsDigit(f[i])) return false;
        return true;
    };
    if (f.size() != 16 || !digits(3) || !digits(9)) return;
    const double scale = std::pow(10.0, decimals);
    const double w = std::stod(f.substr(3, 6)) / scale;
    const double t = std::stod(f.substr(9, 6)) / scale;
    const double net = (b & 0x02) ? -w : w;
    const auto near = [](double x, double y) {
        return std::fabs(x - y) <= 1e-9 * (1 + std::fabs(y));
    };
    FUZZ_CHECK(near(Net_Canal_Float(p.index), net));
    FUZZ_CHECK(near(Tare_Canal_Float(p.index), t));
    FUZZ_CHECK(near(Gross_Canal_Float(p.index), net + t));
}

// What the decoder gave, one entry per reading or failure.
struct Outcome {
    std::vector<TReading> readings;
    std::vector<std::string> events; // "R" + the reading's bytes, or "F" + the failure
};

// Feeds `bytes` to a new decoder of `family` in pieces of the sizes `piece` gives.
template <class Piece>
Outcome Feed(const Family& family, const uint8_t* bytes, size_t size, Piece&& piece) {
    auto decoder = family.decoder();
    Outcome out;
    size_t at = 0;
    while (at < size) {
        const size_t n = std::min<size_t>(piece(), size - at);
        std::span<const uint8_t> rest(bytes + at, n);
        at += n;
        while (!rest.empty()) {
            const TDecoder::Step s = decoder->Feed(rest);
            FUZZ_CHECK(s.used > 0 && s.used <= rest.size());
            FUZZ_CHECK(s.reading == nullptr || s.failure == nullptr);
            rest = rest.subspan(s.used);
            if (s.reading != nullptr) {
                out.readings.push_back(*s.reading);
                out.events.push_back("R" + s.reading->bytes);
            }
            if (s.failure != nullptr) out.events.push_back("F" + s.failure->Text());
            FUZZ_CHECK(decoder->Pending() <= TDecoder::kMaxFrame);
        }
    }
    return out;
}

inline int Run(const char* model, Check check, const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const Family* family = FamilyOfModel(model);
    FUZZ_CHECK(family != nullptr);
    const char sep = (data[0] & 2) != 0 ? ',' : '.';
    plat::SetDecimalSeparator(sep);
    const uint8_t* bytes = data + 1;
    const size_t n = size - 1;

    const Outcome whole = Feed(*family, bytes, n, [&] { return n; });
    const Outcome single = Feed(*family, bytes, n, [] { return size_t{1}; });
    uint32_t seed = data[0] >> 2;
    const Outcome pieces = Feed(*family, bytes, n, [&] {
        seed = seed * 1103515245u + 12345u;
        return size_t{1} + (seed >> 16) % 23;
    });
    FUZZ_CHECK(single.events == whole.events);
    FUZZ_CHECK(pieces.events == whole.events);

    const int32_t ip = Seta_Ip("127.0.0.1");
    FUZZ_CHECK(ip == 0);
    const int32_t index = NewTcpChannel(ip, "a", *family); // the letter is upper-cased
    FUZZ_CHECK(index == 0);
    TClDunor& ch = *ChannelAt(index);
    FUZZ_CHECK(ch.Driver != nullptr && ch.ChannelState == kStateIdle);
    for (const TReading& r : whole.readings) {
        FUZZ_CHECK(!r.bytes.empty());
        ch.StartPoll(family->pollStartGrossTare);
        ch.Take(r);
        const Poll p{r, ch, index, sep};
        check(p);
        CheckExports(p);
    }
    ch.StartPoll(family->pollStartGrossTare); // a poll that takes nothing
    CheckExports(Poll{TReading{}, ch, index, sep});

    Deleta_Canal(index);
    FUZZ_CHECK(ChannelTable.empty());
    return 0;
}

} // namespace fuzzdrv
