// The gateway's log: one line per event on standard error, "UTC-time tarvel-gateway: text".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gateway {

// Writes one line; safe from any thread, never throws.
void Log(const std::string& text);

// A text that came from a client (a path, a header, an MQTT topic), made safe for one log
// line: every byte that is not printable ASCII, and the backslash, as \xNN; cut after `max`
// bytes of the text with "..." (at most 4 * max + 3 bytes in all).
std::string ClientText(std::string_view text, size_t max = 200);

} // namespace gateway
