// tarvel-gateway as a Windows service: the `service` commands (install, uninstall, start,
// stop; `run` is what the Service Control Manager starts), the Event Log, and the console's
// Ctrl-C and close. docs/windows.md describes them.
#pragma once

#include "config.h"

#include <functional>
#include <string>

namespace gateway::winsvc {

// The service's and the event source's name.
inline constexpr const char* kServiceName = "tarvel-gateway";

// %ProgramData%\Tarvel6\gateway.toml
std::string DefaultConfigFile();

// What the service serves: `run` serves the configuration until `stop` is called (from another
// thread), calls `serving` once it listens, and returns the exit status.
struct Program {
    std::function<int(const Config&, const std::function<void()>& serving)> run;
    std::function<void()> stop;
};

// `tarvel-gateway service ACTION [--config FILE]`: prints what it did or why not and returns
// the exit status (0 done, 1 failed, 64 unknown action, 78 a bad configuration file).
int Command(const std::string& action, const std::string& configFile, const Program& program);

// Ctrl-C, Ctrl-Break, closing the console window, logging off and shutting down call `stop`;
// for the last three the handler then waits up to 5 s for Stopped(), as Windows ends the
// process when it returns.
void StopOnConsoleEvents(std::function<void()> stop);
void Stopped();

} // namespace gateway::winsvc
