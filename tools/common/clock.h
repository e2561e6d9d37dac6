// Times for people: local time with its offset from UTC, as the tools print it on text lines
// (the JSON records carry UTC).
#pragma once

#include <cstdint>
#include <string>

namespace tarvel::clock {

// Unix milliseconds now.
int64_t NowMs();

// `unixMs` as local time `offsetMinutes` away from UTC, with milliseconds and the offset:
// "2024-05-01T12:00:00.123+02:00", "2024-01-01T00:00:00.000-03:30"; "+00:00" for UTC.
std::string FormatLocal(int64_t unixMs, int offsetMinutes);

// This machine's offset from UTC at `unixMs`, in minutes (summer time included).
int LocalOffsetMinutes(int64_t unixMs);

// `unixMs` in this machine's local time: FormatLocal with its offset at that moment.
std::string LocalTimestamp(int64_t unixMs);

} // namespace tarvel::clock
