#include "log.h"

#include "record.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

namespace gateway {

namespace {

std::atomic<LogHook> g_hook{nullptr};

void Write(LogSeverity severity, const std::string& text) {
    static std::mutex mu;
    try {
        using namespace std::chrono;
        const int64_t now =
            duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
        const std::string line =
            tarvel::record::FormatTime(now) + " tarvel-gateway: " + text + "\n";
        std::lock_guard lock(mu);
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        if (LogHook hook = g_hook.load()) hook(severity, text);
    } catch (...) {
    }
}

} // namespace

void Log(const std::string& text) {
    Write(text.rfind("warning", 0) == 0 ? LogSeverity::Warning : LogSeverity::Info, text);
}

void LogError(const std::string& text) {
    Write(LogSeverity::Error, text);
}

void SetLogHook(LogHook hook) {
    g_hook = hook;
}

std::string ClientText(std::string_view text, size_t max) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    const size_t n = std::min(text.size(), max);
    out.reserve(n + 16);
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    if (text.size() > max) out += "...";
    return out;
}

} // namespace gateway
