// What a decoder makes of one frame or line of an indicator: its weights as numbers, its
// flags, its unit and the exact bytes it came from. No text of the library's own is in it:
// the value functions' texts are made from it where a text is owed (ValueTexts.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A weight as the indicator shows it: a whole number of its last digit's steps, and the
// number of decimal places. 123.45 is {12345, 2}.
struct TWeight {
    int64_t counts = 0;
    int32_t decimals = 0;

    // The double nearest to the decimal number (counts and the power of ten are both exact
    // for any real weight). A zero is +0.0, whatever its sign was.
    double Value() const;
    bool operator==(const TWeight&) const = default;
};

// The number a printed weight stands for: blanks around it, a sign directly before the first
// digit or the separator, digits with at most one '.' or ',' as the decimal separator, and at
// least one digit (at most 18). Anything else ("EEEEEEEEEE", "--------", "- 1.5", "1.2.3", "")
// is no number. Not locale-dependent.
std::optional<TWeight> WeightOfText(std::string_view text);

// A flag the indicator reports, or does not report at all.
enum class TFlag : uint8_t { No, Yes, Unknown };

// One weight of a reading: its number, and how the value functions show it. The forms are
// the families' own ways of printing a weight; ValueTexts.cpp turns each into its text.
struct TWeightField {
    enum class Form : uint8_t {
        None,     // the frame carries no such weight (its text stays as it was)
        Digits,   // the indicator's digit field: `digits` right-aligned in ten characters, the
                  // separator before the last `decimals`, a minus sign when `minus`
        Printed,  // the indicator's own characters, bytes [at, at + size) of the frame, with
                  // the separator for every point and comma
        OhausRun, // the weight run that starts an Ohaus line, bytes [at, at + size), its last
                  // ten characters walked from the right (see ValueTexts.cpp)
        Missing,  // a label without a value: "EEEEEEE"
        Zero,     // a field of dashes: "       0"
    };
    Form form = Form::None;
    std::optional<TWeight> value; // nullopt: the field is not a number
    int64_t digits = 0;           // Digits
    int32_t decimals = 0;         // Digits
    bool minus = false;           // Digits
    uint16_t at = 0, size = 0;    // Printed, OhausRun
    bool operator==(const TWeightField&) const = default;
};

struct TReading {
    TWeightField gross, net, tare, total;

    // The status the frame or line reports. Without one (the raw 5817 variant) the status and
    // motion of the reading before stay.
    bool hasStatus = true;
    int8_t increment = 0; // 1, 2 or 5; 0: not reported
    TFlag netMode = TFlag::Unknown;
    TFlag negative = TFlag::Unknown;
    TFlag outOfRange = TFlag::Unknown;
    TFlag motion = TFlag::Unknown;
    TFlag printRequest = TFlag::Unknown;
    // The unit as the indicator names it ("kg", "lb", "KG", as an MSI 3360 sends it, an Ohaus
    // line's word); empty when it names none.
    std::string unit;
    // Whether the status text shows the unit (the Ohaus status shows "EE" there, its unit
    // comes from its line).
    bool unitInStatus = true;

    // The raw variant's frame, kept undecoded: the counter text is the frame between its STX
    // and its check character.
    bool raw = false;

    // Exactly the bytes of the frame or line, from its first byte (STX, or the line's first
    // character) to its last (the check character, ETX, or LF).
    std::string bytes;

    // The field's bytes (Printed, OhausRun).
    std::string_view Bytes(const TWeightField& f) const {
        return std::string_view(bytes).substr(f.at, f.size);
    }
    bool operator==(const TReading&) const = default;
};
