#include "bench.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace bench {

std::vector<Row> g_rows;
std::vector<std::string> g_notes;

double Us(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

std::string Fmt(const char* format, ...) {
    char buf[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

void AddRow(std::string measure, std::string result, std::string target) {
    g_rows.push_back({std::move(measure), std::move(result), std::move(target)});
}

std::string Verdict(bool met, const std::string& target) {
    return target + (met ? " (met)" : " (MISSED)");
}

Summary Summarize(std::vector<double> v) {
    Summary s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    const size_t k = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(v.size())));
    s.p99 = v[std::min(v.size() - 1, k > 0 ? k - 1 : 0)];
    s.max = v.back();
    return s;
}

} // namespace bench
