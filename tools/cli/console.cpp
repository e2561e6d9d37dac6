#include "console.h"

#include "clock.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace cli {

// ---- stop request --------------------------------------------------------------------------

namespace {
std::atomic<bool> g_stop{false};
} // namespace

#ifdef _WIN32

namespace {
HANDLE g_stopEvent = nullptr;

BOOL WINAPI OnConsoleCtrl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    if (g_stop.exchange(true)) ExitProcess(130);
    if (g_stopEvent != nullptr) SetEvent(g_stopEvent);
    return TRUE;
}
} // namespace

void InstallStopHandler() {
    g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
}

bool WaitForStop(uint32_t ms) {
    if (g_stop) return true;
    if (g_stopEvent == nullptr) {
        Sleep(ms);
        return g_stop;
    }
    WaitForSingleObject(g_stopEvent, ms);
    return g_stop;
}

#else

namespace {
int g_stopPipe[2] = {-1, -1}; // the handler writes a byte; waits poll the read end

void OnStopSignal(int) {
    if (g_stop.exchange(true)) _exit(130);
    if (g_stopPipe[1] >= 0) {
        const int saved = errno;
        const char b = 1;
        [[maybe_unused]] const ssize_t n = write(g_stopPipe[1], &b, 1);
        errno = saved;
    }
}
} // namespace

void InstallStopHandler() {
    if (pipe(g_stopPipe) == 0) {
        for (int fd : g_stopPipe) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool WaitForStop(uint32_t ms) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!g_stop) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) break;
        if (g_stopPipe[0] < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(left));
            break;
        }
        pollfd p{g_stopPipe[0], POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left)); // EINTR: the loop looks at the flag again
    }
    return g_stop;
}

#endif

bool StopRequested() {
    return g_stop;
}

// ---- progress line -------------------------------------------------------------------------

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

Progress::Progress(ProgressMode mode) : mode_(mode) {
    if (mode != ProgressMode::Off) thread_ = std::thread([this] { Run(); });
}

Progress::~Progress() {
    {
        std::lock_guard<std::mutex> lk(m_);
        quit_ = true;
        Erase();
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Progress::Begin(const std::string& what) {
    {
        std::lock_guard<std::mutex> lk(m_);
        Erase();
        busy_ = true;
        what_ = what;
        since_ = Clock::now();
        saidThis_ = false;
    }
    cv_.notify_all();
}

void Progress::Forget() {
    std::lock_guard<std::mutex> lk(m_);
    said_.clear();
}

void Progress::End() {
    {
        std::lock_guard<std::mutex> lk(m_);
        busy_ = false;
        Erase();
    }
    cv_.notify_all();
}

void Progress::Run() {
    std::unique_lock<std::mutex> lk(m_);
    while (!quit_) {
        if (!busy_) {
            cv_.wait(lk);
            continue;
        }
        const auto waited = Clock::now() - since_;
        if (waited < std::chrono::seconds(1)) {
            cv_.wait_until(lk, since_ + std::chrono::seconds(1));
            continue;
        }
        if (mode_ == ProgressMode::Lines) {
            if (!saidThis_ && what_ != said_) {
                std::fprintf(stderr, "tarvel: %s (%lld s so far)\n", what_.c_str(),
                             static_cast<long long>(
                                 std::chrono::duration_cast<std::chrono::seconds>(waited).count()));
                std::fflush(stderr);
                said_ = what_;
            }
            saidThis_ = true;
            cv_.wait(lk, [&] { return quit_ || !busy_ || !saidThis_; });
            continue;
        }
        Show();
        // Next whole second of this wait (or sooner when the call ends).
        const auto whole = std::chrono::duration_cast<std::chrono::seconds>(waited);
        cv_.wait_until(lk, since_ + whole + std::chrono::seconds(1));
    }
}

void Progress::Show() {
    const auto secs =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - since_).count();
    std::string line = "tarvel: " + what_ + " ... " + std::to_string(secs) + " s";
    if (StopRequested()) line += " (stopping after this call; Ctrl-C again quits now)";
    std::string out = "\r" + line;
    if (line.size() < shown_) out += std::string(shown_ - line.size(), ' ');
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
    shown_ = line.size();
}

void Progress::Erase() {
    if (shown_ == 0) return;
    std::string out(shown_ + 2, ' ');
    out.front() = out.back() = '\r';
    std::fputs(out.c_str(), stderr);
    std::fflush(stderr);
    shown_ = 0;
}

// ---- odds and ends -------------------------------------------------------------------------

std::string Timestamp() {
    return tarvel::clock::LocalTimestamp(tarvel::clock::NowMs());
}

bool SetEnv(const std::string& name, const std::string& value) {
#ifdef _WIN32
    return _putenv_s(name.c_str(), value.c_str()) == 0;
#else
    return setenv(name.c_str(), value.c_str(), 1) == 0;
#endif
}

std::string GetEnv(const std::string& name) {
    const char* v = std::getenv(name.c_str());
    return v != nullptr ? v : "";
}

std::string Printable(const char* text, bool trim) {
    if (text == nullptr) return {};
    std::string s = text;
    if (trim) {
        const size_t b = s.find_first_not_of(' ');
        if (b == std::string::npos) return {};
        s = s.substr(b, s.find_last_not_of(' ') - b + 1);
    }
#ifndef _WIN32
    // Windows-1252 0x80-0x9F; 0 where the code page leaves a hole.
    static const char16_t k80[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
#endif
    std::string out;
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
            continue;
        }
#ifndef _WIN32
        if (c >= 0x80) {
            const char16_t u = c < 0xA0 ? k80[c - 0x80] : c;
            if (u == 0) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\x%02X", c);
                out += buf;
            } else if (u < 0x800) {
                out += static_cast<char>(0xC0 | (u >> 6));
                out += static_cast<char>(0x80 | (u & 0x3F));
            } else {
                out += static_cast<char>(0xE0 | (u >> 12));
                out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (u & 0x3F));
            }
            continue;
        }
#endif
        out += ch;
    }
    return out;
}

} // namespace cli
