// The common part of the driver fuzz targets.
//
// A channel is made by the model's exported TCP constructor, as a host makes it, and its
// driver's receive state machine is armed as the driver's poll arms it before it waits. The
// fuzz input then goes in byte by byte the way the reading connection's notification hands
// bytes over (TBal::SocketRead): each byte through the driver's Take. When a frame is
// complete the poll would return: the family's checks run on the channel's texts and the next
// poll is armed, so one input can hold many frames. At the end of the input the poll times
// out. Throughout, the receive buffer stays within its bound and a waiting poll always has a
// receive state.
//
// Input: byte 0 holds the options of the polls, the rest is what the indicator sends.
//   bit 0 of byte 0: the polls wait for a frame without motion (Update_NoMotion with a
//                    time-out) instead of plain polls (Update_Canal)
//   bit 1 of byte 0: the system decimal separator is ',' instead of '.'
#pragma once

#include "Definir.h"
#include "TBal.h"
#include "fuzz_check.h"
#include "platform.h"
#include "tarvel6.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace fuzzdrv {

struct Poll {
    TClDunor& ch;
    TBal& drv;
    int32_t index;    // the channel index
    bool stable;      // the polls wait for a frame without motion
    char sep;         // the system decimal separator
    uint8_t lastByte; // the byte that completed the frame
};

// The hooks of one indicator family.
struct Family {
    int32_t(TARVEL_CALL* ctor)(int32_t, const char*);
    // Checks the texts of a poll whose frame is complete.
    void (*done)(const Poll&);
    // Checks the texts that a poll which timed out leaves.
    void (*timedOut)(const Poll&);
};

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
        {Estado_EmMovimento, p.ch.MotionText},
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

// The texts of a decoded 5817-style frame (status A, B, C, six-digit weight, six-digit tare,
// CR), which the driver keeps in RxBuffer: flags and decimals as the status bits say, weights
// well-formed, and, when both fields are plain digits, worth what the frame says.
inline void CheckStatusWeight(const Poll& p) {
    const std::string& f = p.drv.RxBuffer;
    FUZZ_CHECK(f.size() >= 15 && f.size() <= TBal::kMaxRxBuffer);
    FUZZ_CHECK(f.back() == Definir::CR);
    const int a = static_cast<unsigned char>(f[0]);
    const int b = static_cast<unsigned char>(f[1]);
    const int c = static_cast<unsigned char>(f[2]);
    const int code = a & 0x07;
    const int decimals = code >= 3 ? code - 2 : 0;
    FUZZ_CHECK(p.drv.Decimals == decimals);
    const auto flag = [](int byte, int mask) { return std::string((byte & mask) ? "S" : "N"); };
    const std::string increment = (a & 0x18) == 0x18 ? "5" : (a & 0x10) ? "2" : "1";
    const std::string status = increment + flag(b, 0x01) + flag(b, 0x02) + flag(b, 0x04) +
                               flag(b, 0x08) + ((b & 0x10) ? "kg" : "lb") + flag(c, 0x08);
    FUZZ_CHECK(p.ch.StatusText == status);
    FUZZ_CHECK(p.ch.MotionText == flag(b, 0x08));
    if (p.stable) FUZZ_CHECK(p.ch.MotionText == "N"); // a moving frame does not end the wait
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

// Arms the driver as its poll does before it waits. For an indicator that reports no motion
// a time-out only sets the length of the wait, so its poll never waits for a stable weight.
inline void Arm(Poll& p) {
    p.drv.StartPoll();
    p.ch.ChannelState = kStatePolling;
    p.drv.WaitStable = p.drv.Fam().reportsMotion && p.stable;
}

// A status-and-weight poll that timed out: nothing decoded leaves the "0" of the poll's
// start; in a wait for a stable weight, the moving frame last decoded.
inline void CheckStatusWeightTimedOut(const Poll& p) {
    if (p.ch.NetText == "0") {
        FUZZ_CHECK(p.ch.GrossText == "0" && p.ch.TareText == "0");
        return;
    }
    FUZZ_CHECK(p.stable && p.ch.MotionText == "S");
    CheckWeight10(p.ch.NetText, p.sep, p.drv.Decimals);
    CheckWeight10(p.ch.TareText, p.sep, p.drv.Decimals);
    CheckWeight10(p.ch.GrossText, p.sep, p.drv.Decimals);
}

inline void TimedOut(Poll& p) {
    // What the poll does when its wait is over.
    p.drv.ByteHandler = nullptr;
    p.ch.ChannelState = kStateIdle;
}

inline int Run(const Family& family, const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool stable = (data[0] & 1) != 0;
    const char sep = (data[0] & 2) != 0 ? ',' : '.';
    plat::SetDecimalSeparator(sep);

    const int32_t ip = Seta_Ip("127.0.0.1");
    FUZZ_CHECK(ip == 0);
    const int32_t index = family.ctor(ip, "a"); // the letter is upper-cased
    FUZZ_CHECK(index == 0);
    TClDunor& ch = *ChannelAt(index);
    FUZZ_CHECK(ch.Driver != nullptr && ch.ChannelState == kStateIdle);
    Poll p{ch, *ch.Driver, index, stable, sep, 0};
    Arm(p);
    FUZZ_CHECK(p.drv.ByteHandler);

    for (size_t i = 1; i < size; ++i) {
        const uint8_t b = data[i];
        p.drv.Take(b);
        FUZZ_CHECK(p.drv.RxBuffer.size() <= TBal::kMaxRxBuffer);
        if (!p.drv.FrameDone) {
            FUZZ_CHECK(p.drv.ByteHandler); // the poll can still receive its frame
            continue;
        }
        // The poll returns with its frame.
        FUZZ_CHECK(!p.drv.ByteHandler);
        p.ch.ChannelState = kStateIdle;
        p.lastByte = b;
        family.done(p);
        CheckExports(p);
        Arm(p);
    }

    TimedOut(p);
    family.timedOut(p);
    CheckExports(p);

    Deleta_Canal(index);
    FUZZ_CHECK(ChannelTable.empty());
    return 0;
}

} // namespace fuzzdrv
