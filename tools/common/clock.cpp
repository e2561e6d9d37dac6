#include "clock.h"

#include "record.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace tarvel::clock {

namespace {

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int64_t MinutesOf(const std::tm& tm) {
    return DaysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) * 1440 + tm.tm_hour * 60 +
           tm.tm_min;
}

} // namespace

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string FormatLocal(int64_t unixMs, int offsetMinutes) {
    std::string text = tarvel::record::FormatTime(unixMs + int64_t{offsetMinutes} * 60000);
    text.pop_back(); // the "Z"
    const int a = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char zone[8];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offsetMinutes < 0 ? '-' : '+', a / 60 % 100,
                  a % 60);
    return text + zone;
}

int LocalOffsetMinutes(int64_t unixMs) {
    const std::time_t t = static_cast<std::time_t>(unixMs / 1000);
    std::tm local{}, utc{};
#ifdef _WIN32
    if (localtime_s(&local, &t) != 0 || gmtime_s(&utc, &t) != 0) return 0;
#else
    if (localtime_r(&t, &local) == nullptr || gmtime_r(&t, &utc) == nullptr) return 0;
#endif
    return static_cast<int>(MinutesOf(local) - MinutesOf(utc));
}

std::string LocalTimestamp(int64_t unixMs) {
    return FormatLocal(unixMs, LocalOffsetMinutes(unixMs));
}

} // namespace tarvel::clock
