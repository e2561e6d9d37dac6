// The value functions' texts of a reading: the one place where a reading becomes texts. The
// exported API makes them with the system's decimal separator when a reading reaches its
// channel; the reading record makes them with a point.
#pragma once

#include "Reading.h"

#include <string>
#include <string_view>

// What the string value functions give for a closed channel, and the Ohaus polls store for
// the gross and tare weights it does not have: ten "E", the width of a weight text.
inline constexpr char kNoValueText[] = "EEEEEEEEEE";

// The value texts of a channel, as the value functions hand them out.
struct TValueTexts {
    std::string MotionText;
    std::string StatusText;
    std::string GrossText;
    std::string NetText;
    std::string TareText;
    std::string TotalText;
    std::string CounterText;

    // Writes the texts that `r` carries, with `sep` as the decimal separator; the others stay
    // as they were.
    void Take(const TReading& r, char sep);
    // What a poll starts with: net "0", gross and tare as the family resets them.
    void StartPoll(const char* grossTare);
};

// The texts after a reading of a scale that has had no poll but its readings: what the value
// functions of a channel give after a poll that took `r` (the texts it does not carry empty).
TValueTexts TextsOf(const TReading& r, const char* pollStartGrossTare, char sep);

// The text of one weight field of `r`, with `sep` as the decimal separator; empty for a field
// of form None.
std::string WeightText(const TReading& r, const TWeightField& f, char sep);
// The 8-character status text: increment, net mode, negative, out of range, motion, the unit
// in two characters (a point or comma in it as `sep`, as in the weights it came with), print
// request; "S", "N", or "E" where the indicator does not tell.
std::string StatusText(const TReading& r, char sep);
// "S", "N" or "E".
char FlagChar(TFlag f);

// Digits right-aligned in ten characters, with `sep` before the last `decimals` digits and a
// minus sign directly left of the first digit when `sign` is wanted.
std::string FormatWeight(std::string digits, int decimals, bool sign, char sep);
// The Ohaus weight run (its CRs skipped) walked from its last character to its first into ten
// characters filled from the right: a point becomes `sep`, a blank left of the point is a
// zero on a negative line, anything else is copied; characters beyond ten are dropped.
void OhausWalk(std::string_view run, bool negative, char sep, char (&out)[10]);
