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

// While a library call waits longer than a second, a helper thread says on stderr what it
// waits for. On a terminal (Terminal) as one line rewritten in place each second with the time
// so far, erased when the call returns, before anything else is printed. Elsewhere (Lines,
// stderr going to a file or a pipe) as one plain line, once: a wait for the same thing is not
// said again until Forget() (a reading came in between). The helper never calls the library.
enum class ProgressMode { Off, Terminal, Lines };

class Progress {
  public:
    explicit Progress(ProgressMode mode);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Begin(const std::string& what);
    void End();
    // The channel answered: a later wait for the same thing is said again.
    void Forget();

  private:
    void Run();
    void Show();  // m_ held
    void Erase(); // m_ held

    using Clock = std::chrono::steady_clock;
    ProgressMode mode_;
    std::mutex m_;
    std::condition_variable cv_;
    bool quit_ = false;
    bool busy_ = false;
    std::string what_;
    Clock::time_point since_;
    size_t shown_ = 0;      // width of the line on screen, 0 when none
    std::string said_;      // Lines: the wait said last
    bool saidThis_ = false; // Lines: this wait was said
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

// Local time with its offset from UTC: 2024-05-01T12:00:00.123+02:00.
std::string Timestamp();

// Sets an environment variable for this process (and the library in it).
bool SetEnv(const std::string& name, const std::string& value);
// The variable's value, or empty when unset.
std::string GetEnv(const std::string& name);

// A library text (Windows-1252) made printable: on POSIX converted to UTF-8; control
// characters as \xHH; leading and trailing blanks removed when `trim`.
std::string Printable(const char* text, bool trim = true);

} // namespace cli
