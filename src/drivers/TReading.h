// What a driver decodes from one frame or line: the value texts it carries and the
// indicator's status. Drivers hand it back to whoever feeds them bytes; the channel's poll
// writes it into the channel's texts (TValueTexts::Take), the live core into its readings.
#pragma once

#include <optional>
#include <string>

// The indicator's status flags, each 'S', 'N' or 'E' (the indicator does not tell), and the
// unit in two characters.
struct TStatusFlags {
    char Increment = 'E'; // '1', '2', '5' or 'E'
    char NetMode = 'E';
    char Negative = 'E';
    char OutOfRange = 'E';
    char Motion = 'E';
    std::string WeightUnit = "EE"; // "kg", "lb", or as the indicator prints it
    char PrintRequest = 'E';

    // The 8-character status text: Increment, NetMode, Negative, OutOfRange, Motion, the
    // unit, PrintRequest.
    std::string Text() const {
        std::string t{Increment, NetMode, Negative, OutOfRange, Motion};
        t += WeightUnit;
        t += PrintRequest;
        return t;
    }
    // An indicator that reports its unit and nothing else: every flag 'E'.
    static TStatusFlags UnitOnly(std::string unit) {
        TStatusFlags f;
        f.WeightUnit = std::move(unit);
        return f;
    }
};

struct TReading {
    // The texts this frame writes; a text it does not carry is left as it was.
    std::optional<std::string> Gross, Net, Tare, Total, Counter;
    // Absent when the frame says nothing of the indicator's status (the raw 5817 variant).
    std::optional<TStatusFlags> Status;
};

// The value texts of a channel, as the value functions hand them out.
struct TValueTexts {
    std::string MotionText;
    std::string StatusText;
    std::string GrossText;
    std::string NetText;
    std::string TareText;
    std::string TotalText;
    std::string CounterText;

    // The one place where a decoded reading becomes texts.
    void Take(const TReading& r) {
        if (r.Gross) GrossText = *r.Gross;
        if (r.Net) NetText = *r.Net;
        if (r.Tare) TareText = *r.Tare;
        if (r.Total) TotalText = *r.Total;
        if (r.Counter) CounterText = *r.Counter;
        if (r.Status) {
            MotionText = std::string(1, r.Status->Motion);
            StatusText = r.Status->Text();
        }
    }
    // What a poll starts with: net "0", gross and tare as the family resets them.
    void StartPoll(const std::string& grossTare) {
        GrossText = grossTare;
        NetText = std::string(1, '0');
        TareText = grossTare;
    }
};
