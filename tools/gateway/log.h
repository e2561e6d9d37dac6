// The gateway's log: one line per event on standard error, "UTC-time tarvel-gateway: text".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gateway {

// Writes one line; safe from any thread, never throws.
void Log(const std::string& text);
// The same, for a failure that stops the gateway (the Windows Event Log shows it as an error;
// a text that starts with "warning" is shown as a warning, any other as information).
void LogError(const std::string& text);

enum class LogSeverity { Info, Warning, Error };
// Also hands every line's text (without the time) to `hook`, e.g. the Windows Event Log; null
// ends that. Set it before the threads that log start, or after they end.
using LogHook = void (*)(LogSeverity severity, const std::string& text);
void SetLogHook(LogHook hook);

// A text that came from a client (a path, a header, an MQTT topic), made safe for one log
// line: every byte that is not printable ASCII, and the backslash, as \xNN; cut after `max`
// bytes of the text with "..." (at most 4 * max + 3 bytes in all).
std::string ClientText(std::string_view text, size_t max = 200);

} // namespace gateway
