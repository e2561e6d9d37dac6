// The reading record: one reading of one scale as one line of JSON, shared by every program
// that publishes readings (`tarvel --json`, the gateway). docs/library.md, section "The reading
// record (JSON)", is its definition; Make() builds exactly that object, from what a reading
// says (Values): the gateway's from the live core's reading itself (FromReading), a host's of
// the C API from the library's texts (FromTexts).
#pragma once

#include "tarvel6_internal.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel::record {

// Keys in the order the record lists them.
using Json = nlohmann::ordered_json;

// The library's texts after the reading, as the value functions returned them (Windows-1252,
// "EEEEEEEEEE" included): Gross_Canal, Net_Canal, Tare_Canal, Total_Canal, Contadora_Canal,
// Estado_Canal, Estado_EmMovimento. All nullopt before the scale's first reading.
struct Texts {
    std::optional<std::string> gross, net, tare, total, counter, status, motion;
};

// What the texts do not tell.
struct Meta {
    std::string scale;              // the scale's name
    std::string model;              // 5817, 5817c, krt, ohaus, msi3360 or msi6260
    uint64_t seq = 0;               // readings so far, from 1; 0 before the first
    std::optional<int64_t> timeMs;  // Unix milliseconds (UTC) of the reading; nullopt: none yet
    std::string status = "ok";      // ok, stale, offline or error
    std::optional<int64_t> sinceMs; // when a status other than ok began; nullopt: null
    std::string reason;             // short English text for a status other than ok
};

// What one reading says, as the record shows it.
struct Values {
    std::optional<double> gross, net, tare; // null: not a number, or not supplied
    std::optional<std::string> unit;        // null: the indicator names none
    std::optional<bool> stable, overload, negative;
    Texts texts;
};

// From a reading of a scale of `family` (null: none yet): the numbers as the indicator sent
// them, and the texts the value functions give for it on a system whose decimal separator is
// the point, so that the record is the same in any locale.
Values FromReading(const Family& family, const TReading* reading);
// From the library's texts after a poll of a channel of `model` (a host of the C API): the
// numbers are what the texts show (WeightNumber), the flags the status and motion texts';
// `unit` is what Unidade_Canal gave (without it, the status text's characters 6-7).
Values FromTexts(const std::string& model, const Texts& texts,
                 const std::optional<std::string>& unit = std::nullopt);

// The record: scale, model, seq, time, status, (since, reason when status is not "ok"),
// gross, net, tare, unit, stable, overload, negative, texts. Texts are converted from
// Windows-1252 to UTF-8. Never throws for any input but an exhausted memory.
Json Make(const Meta& meta, const Values& values);
// Make(meta, FromTexts(meta.model, texts, unit)).
Json Make(const Meta& meta, const Texts& texts,
          const std::optional<std::string>& unit = std::nullopt);

// One line of JSON for a record (no line break). Text that is not valid UTF-8 (a scale name
// from a command line, say) is written with U+FFFD in place of the bad bytes, never thrown.
std::string Line(const Json& record);

// Unix milliseconds as UTC with milliseconds: "2026-12-06T23:12:52.123Z".
std::string FormatTime(int64_t unixMs);
// The same into `out`, without allocating: returns its length (24 for the years 0 to 9999,
// more for the others), at most kTimeTextMax.
constexpr size_t kTimeTextMax = 48;
size_t FormatTime(int64_t unixMs, char (&out)[kTimeTextMax]);

// The number a weight text stands for (WeightOfText): blanks around it, a sign directly before
// the first digit or the separator, digits with at most one '.' or ',' as the decimal
// separator, and at least one digit. Anything else ("EEEEEEEEEE", "--------", "- 1.5",
// "1.2.3", "") is nullopt. The value is the digits as a whole number divided by a power of
// ten, so "    128.45" gives exactly the double nearest to 128.45; "-0.00" gives 0. Not
// locale-dependent.
std::optional<double> WeightNumber(std::string_view text);

// Windows-1252 to UTF-8; the five bytes the code page leaves undefined become U+0081 etc.
std::string Utf8FromCp1252(std::string_view text);

} // namespace tarvel::record
