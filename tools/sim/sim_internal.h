// Internal helpers of the simulator: file descriptors, sockets, bounded writes, thread sets.
#pragma once

#include "tarvelsim.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace tsim::detail {

using Clock = std::chrono::steady_clock;

// Loops that wait for a peer without a wake-up event look at their stop flag this often.
inline constexpr int kTickMs = 20;
// Loops that have a wake-up event (the indicator sessions and the converter's acceptor) wait
// for it, their descriptors or their next deadline, and otherwise look at their flags only
// this often: a plant of 64 converters with 256 streaming clients then costs little CPU.
inline constexpr int kIdleMs = 5000;

// Owns one file descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& o) noexcept : fd_(o.Release()) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) Reset(o.Release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        int f = fd_;
        fd_ = -1;
        return f;
    }
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// A wake-up event (Linux eventfd): Signal() makes Get() readable until Clear().
class WakeEvent {
  public:
    WakeEvent();
    int Get() const { return fd_.Get(); }
    void Signal() const;
    void Clear() const;

  private:
    detail::Fd fd_;
};

// Waits until `fd` is readable or `wake` is signalled, at most `timeoutMs`. Returns fd's
// revents (0 when only the event fired or the time ran out); clears the event.
short WaitReadableOrWake(int fd, const WakeEvent& wake, int timeoutMs);

// Non-blocking listening socket on ip:port (SO_REUSEADDR). A port in use is tried again for
// up to `retry` (another process may hold it for a moment). On failure returns an invalid Fd
// and a message naming the address in *error.
Fd Listen(const std::string& ip, int port, std::string* error, Ms retry = Ms{1000});
// Port a socket is bound to.
int LocalPort(int fd);
// Accepts one pending connection (non-blocking, TCP_NODELAY); invalid Fd when none.
Fd Accept(int listenFd);
void SetNonBlocking(int fd);
// Abortive close: the peer sees a reset.
void ResetAndClose(Fd& fd);

// Writes all of `data`, waiting for the descriptor to become writable in short slices.
// Gives up after `limit`, when `stop` is set, or on an error. Returns true when all went out.
bool WriteAll(int fd, std::string_view data, const std::atomic<bool>& stop, bool socket,
              Ms limit = Ms{1000});
// Sleeps `d` in short slices; returns false when `stop` was set meanwhile.
bool SleepFor(Ms d, const std::atomic<bool>& stop);
// Waits for readability at most `timeoutMs`; returns poll's revents (0 on timeout).
short WaitReadable(int fd, int timeoutMs);

// Threads that end on their own; finished ones are joined by Reap(), the rest by JoinAll().
class ThreadSet {
  public:
    ~ThreadSet() { JoinAll(); }
    void Spawn(std::function<void()> body);
    void Reap();
    void JoinAll();
    std::size_t Running();

  private:
    struct Entry {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex mu_;
    std::list<Entry> threads_;
};

// Serves one connection (socket or pty master) for an indicator until the peer goes away,
// the connection is asked to close, or `stop` is set. For a pty, `ptySlave` is the slave fd
// used to measure and trim the unread backlog.
struct PtyLink {
    int slaveFd = -1;
    std::atomic<std::size_t>* maxBacklog = nullptr;
};
void RunIndicatorSession(Indicator& ind, int fd, bool socket, const std::atomic<bool>& stop,
                         const PtyLink* pty);
// Wakes every session of the indicator, e.g. after its owner set their stop flag.
void WakeSessions(Indicator& ind);

// Parser for Ohaus requests: "P", then any CRs (with any pauses), then LF.
class RequestParser {
  public:
    // Returns the number of complete requests in `bytes`.
    int Feed(std::string_view bytes);

  private:
    bool armed_ = false;
};

} // namespace tsim::detail
