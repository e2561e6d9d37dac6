// The gateway's log: one line per event on standard error, "UTC-time tarvel-gateway: text".
#pragma once

#include <string>

namespace gateway {

// Writes one line; safe from any thread, never throws.
void Log(const std::string& text);

} // namespace gateway
