// Console helpers of the tarvel reader that differ between POSIX and Windows: the stop
// request (Ctrl-C / SIGINT / SIGTERM), the progress line shown on a terminal while a library
// call waits, timestamps, the environment and the printing of the library's texts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace cli {

// ---- stop request --------------------------------------------------------------------------

// Installs the handlers: the first Ctrl-C (SIGINT, SIGTERM; on Windows the console's Ctrl-C
// and Ctrl-Break) asks the program to stop after the library call that is running; a second
// one ends the process at once with status 130.
void InstallStopHandler();
bool StopRequested();
// Waits up to `ms` milliseconds; returns early (true) when a stop is requested.
bool WaitForStop(uint32_t ms);

// ---- progress line -------------------------------------------------------------------------

// While a library call waits longer than a second, a helper thread shows what it waits for
// and for how long on stderr, as one line rewritten in place. Only when stderr is a terminal;
// the line is erased when the call returns, before anything else is printed. The helper never
// calls the library.
class Progress {
  public:
    explicit Progress(bool enabled);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Begin(const std::string& what);
    void End();

  private:
    void Run();
    void Show();  // m_ held
    void Erase(); // m_ held

    using Clock = std::chrono::steady_clock;
    std::mutex m_;
    std::condition_variable cv_;
    bool quit_ = false;
    bool busy_ = false;
    std::string what_;
    Clock::time_point since_;
    size_t shown_ = 0; // width of the line on screen, 0 when none
    std::thread thread_;
};

// Runs `call` between Begin(what) and End().
template <typename F> auto Waiting(Progress& p, const std::string& what, F&& call) {
    p.Begin(what);
    auto result = call();
    p.End();
    return result;
}

bool StderrIsTerminal();

// ---- odds and ends -------------------------------------------------------------------------

// Local time as 2024-05-01T12:00:00.123.
std::string Timestamp();

// Sets an environment variable for this process (and the library in it).
bool SetEnv(const std::string& name, const std::string& value);
// The variable's value, or empty when unset.
std::string GetEnv(const std::string& name);

// A library text (Windows-1252) made printable: on POSIX converted to UTF-8; control
// characters as \xHH; leading and trailing blanks removed when `trim`.
std::string Printable(const char* text, bool trim = true);

} // namespace cli
