// POSIX implementation of the platform layer.
//
// There is no window message queue here: "processing the thread's pending messages" means
// handing one notification to every transport of the calling thread that is ready, and
// repeating while any is still ready, plus running the posted callbacks that stand in for
// host timers. Each thread that opens a transport gets an epoll instance in which every
// socket and serial port is registered once, level-triggered: a pass costs the same however
// many transports the thread holds, and a connection with unread bytes keeps notifying, as a
// Windows socket keeps posting its read message. A pass count bounds one call, so a flooding
// peer cannot hold the caller forever.
#include "platform.h"
#include "posted_callbacks.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace plat {

namespace {

uint32_t g_tickOffset = 0;
char g_decimalOverride = 0;

std::string ErrorText(int err) {
    return std::strerror(err);
}

// ---- the thread's notification sources --------------------------------------------

class Source {
  public:
    virtual ~Source() = default;
    virtual int Fd() const = 0;
    // Readiness wanted now (EPOLLIN, EPOLLOUT); 0 leaves the descriptor unwatched.
    virtual uint32_t Wanted() const = 0;
    // True when a notification is pending without the descriptor (data already buffered).
    virtual bool Pending() const { return false; }
    // Hands out one notification for `events`; returns whether a handler ran.
    virtual bool Dispatch(uint32_t events) = 0;

    uint64_t token = 0;      // this registration's key in the thread's table; 0: none
    uint32_t watched = 0;    // what the epoll instance watches for it now; 0: not in it
    bool bufferable = false; // keeps received data of its own (a serial port)
};

struct ThreadQueue {
    int ep = -1;
    uint64_t nextToken = 1;
    // By token, so that an event for a source that went away in an earlier handler of the
    // same pass (even one whose memory a new source now uses) finds nothing.
    std::unordered_map<uint64_t, Source*> sources;
    std::vector<Source*> buffering; // sources that keep data of their own (serial ports)
    std::vector<Source*> parked;    // ready connections nobody reads: unwatched until then

    ~ThreadQueue() {
        if (ep >= 0) ::close(ep);
    }
};

thread_local ThreadQueue t_queue;

bool Registered(const Source* s) {
    return s->token != 0 && t_queue.sources.count(s->token) != 0;
}

// Makes the epoll instance watch what `s` wants now. A source that wants nothing is taken out
// of it altogether: a hang-up would be reported whatever the mask, again and again.
void Refresh(Source* s) {
    if (!Registered(s)) return;
    const uint32_t want = s->Wanted();
    if (want == s->watched) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = s->token;
    const int op = want == 0 ? EPOLL_CTL_DEL : s->watched == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (::epoll_ctl(t_queue.ep, op, s->Fd(), &ev) == 0) s->watched = want;
}

// Registers an open descriptor's source with the calling thread.
bool Register(Source* s) {
    auto& q = t_queue;
    if (q.ep < 0) q.ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (q.ep < 0) return false;
    s->token = q.nextToken++;
    s->watched = 0;
    q.sources[s->token] = s;
    if (s->bufferable) q.buffering.push_back(s);
    Refresh(s);
    return true;
}

// Before the descriptor is closed.
void Unregister(Source* s) {
    if (!Registered(s)) return;
    auto& q = t_queue;
    if (s->watched != 0) ::epoll_ctl(q.ep, EPOLL_CTL_DEL, s->Fd(), nullptr);
    q.sources.erase(s->token);
    std::erase(q.buffering, s);
    std::erase(q.parked, s);
    s->token = 0;
    s->watched = 0;
}

// A ready connection without a reader stops being watched until it gets one.
void Park(Source* s) {
    if (std::find(t_queue.parked.begin(), t_queue.parked.end(), s) == t_queue.parked.end())
        t_queue.parked.push_back(s);
    Refresh(s);
}

// Watches parked sources again once they want something.
void Unpark() {
    auto& p = t_queue.parked;
    for (size_t i = 0; i < p.size();) {
        Source* s = p[i];
        if (s->Wanted() != 0) {
            p.erase(p.begin() + static_cast<std::ptrdiff_t>(i));
            Refresh(s);
        } else {
            ++i;
        }
    }
}

bool AnyPending() {
    for (Source* s : t_queue.buffering)
        if (s->Pending()) return true;
    return false;
}

// One pass: waits up to `timeoutMs` for readiness, then hands one notification to every
// source that is ready. Returns whether any handler ran.
bool DispatchPass(int timeoutMs = 0) {
    auto& q = t_queue;
    constexpr int kBatch = 256;
    epoll_event events[kBatch];
    int n = 0;
    if (q.ep >= 0 && !q.sources.empty()) n = ::epoll_wait(q.ep, events, kBatch, timeoutMs);
    bool ran = false;
    // Serial ports with characters that arrived before their handler was bound.
    std::vector<uint64_t> pending;
    for (Source* s : q.buffering)
        if (s->Pending()) pending.push_back(s->token);
    for (int i = 0; i < n; ++i) {
        auto it = q.sources.find(events[i].data.u64);
        if (it == q.sources.end()) continue; // closed by an earlier handler of this pass
        Source* s = it->second;
        std::erase(pending, s->token);
        if (s->Dispatch(events[i].events)) ran = true;
        Refresh(s);
    }
    for (uint64_t token : pending) {
        auto it = q.sources.find(token);
        if (it == q.sources.end()) continue;
        if (it->second->Dispatch(0)) ran = true;
        Refresh(it->second);
    }
    return ran;
}

// How long a wait of `ms` may block: not at all when characters already wait in a buffer,
// else until the next posted callback is due (at most a minute).
int WaitTimeout(uint32_t ms) {
    Unpark();
    if (AnyPending()) return 0;
    return static_cast<int>(std::min<uint64_t>(detail::UntilNextCallback(ms), 60000));
}

} // namespace

// ---- time -------------------------------------------------------------------------

uint32_t TickCount() {
    return static_cast<uint32_t>(detail::MonotonicMs()) + g_tickOffset;
}

void SetTickCount(uint32_t value) {
    g_tickOffset = value - static_cast<uint32_t>(detail::MonotonicMs());
}

void SleepMs(uint32_t ms) {
    ::usleep(static_cast<useconds_t>(ms) * 1000u);
}

// ---- messages ---------------------------------------------------------------------

void ProcessMessages() {
    constexpr int kMaxPasses = 4096;
    detail::RunDueCallbacks();
    Unpark();
    for (int pass = 0; pass < kMaxPasses; ++pass)
        if (!DispatchPass()) break;
}

void WaitMessages(uint32_t ms) {
    const int timeout = WaitTimeout(ms);
    if (timeout == 0) return;
    auto& q = t_queue;
    if (q.ep < 0 || q.sources.empty()) {
        ::poll(nullptr, 0, timeout);
        return;
    }
    epoll_event ev;
    ::epoll_wait(q.ep, &ev, 1, timeout); // what woke it is dispatched by ProcessMessages
}

void WaitAndProcess(uint32_t ms) {
    detail::RunDueCallbacks();
    const int timeout = WaitTimeout(ms);
    auto& q = t_queue;
    if (q.ep < 0 || q.sources.empty()) {
        if (timeout > 0) ::poll(nullptr, 0, timeout);
    } else {
        DispatchPass(timeout);
    }
    detail::RunDueCallbacks();
}

void CatchUp() {
    ProcessMessages();
}

// ---- locale -----------------------------------------------------------------------

std::string SystemDecimalSeparator() {
    if (g_decimalOverride != 0) return std::string(1, g_decimalOverride);
    static const std::string fromEnv = [] {
        std::string sep = ".";
        locale_t loc = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
        if (loc != static_cast<locale_t>(nullptr)) {
            const char* r = ::nl_langinfo_l(RADIXCHAR, loc);
            if (r != nullptr && r[0] != '\0') sep = r;
            ::freelocale(loc);
        }
        return sep;
    }();
    return fromEnv;
}

void SetDecimalSeparator(char sep) {
    g_decimalOverride = sep;
}

// ---- asynchronous TCP client ----------------------------------------------------------

namespace {

class PosixTcpClient final : public TcpClient, public Source {
  public:
    ~PosixTcpClient() override { Drop(); }

    void Open(const std::string& address, int port) override {
        if (state_ != State::Closed) return;
        failed_ = false;
        failure_.clear();
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        if (port <= 0 || port > 65535 || ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
            Fail("not an IPv4 address and port: " + address + ":" + std::to_string(port));
            return;
        }
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd_ < 0) {
            Fail(ErrorText(errno));
            return;
        }
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (keepAliveS_ > 0) {
            int idle = keepAliveS_, interval = 2, count = 3;
            ::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
            ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
            ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
            ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
        }
        state_ = State::Connecting;
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            state_ = State::Connected;
        } else if (errno != EINPROGRESS) {
            Fail(ErrorText(errno));
            return;
        }
        if (!Register(this)) {
            Fail(ErrorText(errno));
            return;
        }
        Watch();
    }

    void Close() override { Drop(); }

    bool Active() const override { return state_ == State::Connected; }

    bool ConnectFailed() const override { return failed_; }

    void KeepAlive(int idleSeconds) override { keepAliveS_ = idleSeconds; }

    std::string FailureText() const override { return failure_; }

    int Receive(void* buf, int size) override {
        if (state_ != State::Connected) return 0;
        if (size <= 0) return -1;
        const ssize_t n = ::recv(fd_, buf, static_cast<size_t>(size), MSG_DONTWAIT);
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return -1;
        if (n == 0) {
            failure_ = "closed by the peer";
            Drop();
            return 0;
        }
        Fail(ErrorText(errno));
        return 0;
    }

    bool Send(const std::string& bytes) override {
        if (state_ != State::Connected) return false;
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, 1000) <= 0) {
                    Fail("send timed out");
                    return false;
                }
                continue;
            }
            Fail(ErrorText(errno));
            return false;
        }
        return true;
    }

    // Source
    int Fd() const override { return fd_; }
    uint32_t Wanted() const override {
        if (state_ == State::Connecting) return uint32_t{EPOLLOUT};
        if (state_ == State::Connected && OnRead) return uint32_t{EPOLLIN};
        return 0;
    }
    bool Dispatch(uint32_t events) override {
        if (state_ == State::Connecting) {
            if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return false;
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            if (err != 0) {
                Fail(ErrorText(err));
                return true;
            }
            state_ = State::Connected;
            Watch();
            return true;
        }
        if (state_ != State::Connected) return false;
        if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) == 0) return false;
        if (!OnRead) {
            Watch(); // the bytes wait for a reader
            return false;
        }
        auto handler = OnRead; // the handler may clear OnRead or close this client
        handler();
        // A handler that unbound itself leaves the rest of the bytes for a later reader: the
        // connection is parked, so that binding OnRead again makes it watched again.
        if (!OnRead) Watch();
        return true;
    }

  private:
    enum class State { Closed, Connecting, Connected };

    // A connection without a reader is unwatched (its bytes wait in it) and looked at again
    // each time messages are processed, until someone binds OnRead.
    void Watch() {
        if (state_ == State::Connected && !OnRead)
            Park(this);
        else
            Refresh(this);
    }

    void Drop() {
        Unregister(this);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        state_ = State::Closed;
    }

    void Fail(std::string why) {
        if (state_ != State::Connected) failed_ = true;
        failure_ = std::move(why);
        Drop();
    }

    int fd_ = -1;
    State state_ = State::Closed;
    bool failed_ = false;
    int keepAliveS_ = 0;
    std::string failure_;
};

} // namespace

std::unique_ptr<TcpClient> NewTcpClient() {
    return std::make_unique<PosixTcpClient>();
}

// ---- serial port ----------------------------------------------------------------------

std::string SerialDevicePath(uint16_t comNumber) {
    if (comNumber == 0) return {};
    const std::string var = "TARVEL_COM" + std::to_string(comNumber);
    if (const char* p = std::getenv(var.c_str()); p != nullptr && p[0] != '\0') return p;
    return "/dev/ttyS" + std::to_string(comNumber - 1);
}

std::string SerialDevicePath(const SerialSettings& s) {
    return s.device.empty() ? SerialDevicePath(s.comNumber) : s.device;
}

namespace {

bool BaudConstant(int32_t baud, speed_t& out) {
    static const std::pair<int32_t, speed_t> table[] = {
        {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
        {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
        {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (auto& [b, c] : table)
        if (b == baud) {
            out = c;
            return true;
        }
    return false;
}

class PosixSerialPort final : public SerialPort, public Source {
  public:
    PosixSerialPort() { bufferable = true; }
    ~PosixSerialPort() override { Close(); }

    bool Open(const SerialSettings& s) override {
        if (fd_ >= 0) {
            if (!hungUp_ && Apply(s)) return true;
            // The device went away under the open port (unplugged, or a pseudo-terminal
            // whose other side closed): let the dead descriptor go and open the device
            // afresh, which may be back under the same name.
            Close();
        }
        const std::string path = SerialDevicePath(s);
        if (path.empty()) return Refuse("COM0", "there is no port 0");
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return Refuse(path, ErrorText(errno));
        if (!::isatty(fd)) {
            ::close(fd);
            return Refuse(path, "not a serial device");
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ::close(fd);
            return Refuse(path, err == EWOULDBLOCK
                                    ? "in use by another program (" + ErrorText(err) + ")"
                                    : ErrorText(err));
        }
        fd_ = fd;
        if (!Apply(s)) {
            Close();
            return Refuse(path, "the device refused the line settings");
        }
        ::tcflush(fd_, TCIOFLUSH);
        buffer_.clear();
        hungUp_ = false;
        failure_.clear();
        if (!Register(this)) {
            const int err = errno;
            Close();
            return Refuse(path, ErrorText(err));
        }
        return true;
    }

    void Close() override {
        Unregister(this);
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
        fd_ = -1;
        buffer_.clear();
    }

    bool IsOpen() const override { return fd_ >= 0; }

    std::string FailureText() const override { return failure_; }

    bool Apply(const SerialSettings& s) override {
        if (fd_ < 0) return false;
        termios t{};
        if (::tcgetattr(fd_, &t) != 0) return false;
        ::cfmakeraw(&t);
        speed_t speed;
        if (!BaudConstant(s.baud, speed)) return false;
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
        if (s.dataBits < 5 || s.dataBits > 8) return false;
        t.c_cflag |= sizes[s.dataBits - 5];
        switch (s.parity) {
        case ParityNone:
            break;
        case ParityOdd:
            t.c_cflag |= PARENB | PARODD;
            break;
        case ParityEven:
            t.c_cflag |= PARENB;
            break;
        case ParityMark:
            t.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case ParitySpace:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            return false;
        }
        if (s.stopBits == 2)
            t.c_cflag |= CSTOPB;
        else if (s.stopBits != 1)
            return false;
        t.c_cflag |= CLOCAL | CREAD;
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        t.c_cc[VMIN] = 1; // with O_NONBLOCK: no data reads as EAGAIN, not as 0
        t.c_cc[VTIME] = 0;
        if (::tcsetattr(fd_, TCSANOW, &t) != 0) {
            // A pseudo-terminal keeps the speed and stop bits but always works with 8 bits
            // and no parity, and the C library reports that as a failure. The port is
            // usable when the speed took.
            termios back{};
            if (::tcgetattr(fd_, &back) != 0 || ::cfgetospeed(&back) != speed) return false;
        }
        // Modem lines: a pseudo-terminal has none, so a refusal is not an error.
        int dtr = TIOCM_DTR, rts = TIOCM_RTS;
        ::ioctl(fd_, s.dtr ? TIOCMBIS : TIOCMBIC, &dtr);
        ::ioctl(fd_, s.rts ? TIOCMBIS : TIOCMBIC, &rts);
        return true;
    }

    bool GetChar(char& c) override {
        if (fd_ < 0 || buffer_.empty()) return false;
        c = buffer_.front();
        buffer_.pop_front();
        if (buffer_.size() + 1 == kBufferSize) Refresh(this); // room again
        return true;
    }

    bool Write(const std::string& bytes) override {
        if (fd_ < 0) return false;
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{fd_, POLLOUT, 0};
                if (::poll(&p, 1, 1000) <= 0) return false;
                continue;
            }
            return false;
        }
        return true;
    }

    // Source: background reception is done here, when the descriptor is ready; the
    // data-available notification follows while characters wait in the buffer.
    int Fd() const override { return fd_; }
    uint32_t Wanted() const override {
        const bool room = fd_ >= 0 && !hungUp_ && buffer_.size() < kBufferSize;
        return room ? uint32_t{EPOLLIN} : 0u;
    }
    bool Pending() const override { return fd_ >= 0 && !buffer_.empty() && OnTriggerAvail; }
    bool Dispatch(uint32_t events) override {
        bool progressed = false;
        if (events & EPOLLIN) progressed = Fill();
        // The other end is gone (a pseudo-terminal whose master closed): stop watching.
        if (!progressed && (events & (EPOLLHUP | EPOLLERR))) Hangup("the device hung up");
        if (fd_ >= 0 && !buffer_.empty() && OnTriggerAvail) {
            auto handler = OnTriggerAvail;
            handler(static_cast<uint16_t>(std::min<size_t>(buffer_.size(), 0xFFFF)));
            return true;
        }
        return progressed;
    }

  private:
    static constexpr size_t kBufferSize = 4096;

    bool Refuse(const std::string& path, const std::string& why) {
        failure_ = path + ": " + why;
        return false;
    }

    void Hangup(const char* why) {
        if (!hungUp_) failure_ = why;
        hungUp_ = true;
    }

    bool Fill() {
        char tmp[512];
        const size_t room = kBufferSize - buffer_.size();
        const ssize_t n = ::read(fd_, tmp, std::min(room, sizeof tmp));
        if (n > 0) {
            buffer_.insert(buffer_.end(), tmp, tmp + n);
            return true;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) Hangup("the device stopped working");
        return false;
    }

    int fd_ = -1;
    bool hungUp_ = false;
    std::deque<char> buffer_;
    std::string failure_;
};

} // namespace

std::unique_ptr<SerialPort> NewSerialPort() {
    return std::make_unique<PosixSerialPort>();
}

// ---- blocking TCP client ------------------------------------------------------------------

namespace {

class PosixBlockingTcp final : public BlockingTcp {
  public:
    ~PosixBlockingTcp() override { Close(); }

    bool Connect(const std::string& address, int port, uint32_t timeoutMs) override {
        Close();
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) return false;
        // Non-blocking while connecting, so that an address that never answers cannot hold
        // the caller for the system's own retry time.
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
        if (fd_ < 0) return false;
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 &&
            !ConnectCompletes(timeoutMs)) {
            Close();
            return false;
        }
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            Close();
            return false;
        }
        return true;
    }

    bool Send(const std::string& bytes, uint32_t timeoutMs) override {
        if (fd_ < 0) return false;
        size_t done = 0;
        while (done < bytes.size()) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, static_cast<int>(timeoutMs)) <= 0) return false;
            const ssize_t n =
                ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    int Receive(char* buf, int size, uint32_t timeoutMs) override {
        if (fd_ < 0) return -1;
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(timeoutMs));
        if (r == 0) return 0;
        if (r < 0) return errno == EINTR ? 0 : -1;
        const ssize_t n = ::recv(fd_, buf, static_cast<size_t>(size), MSG_DONTWAIT);
        if (n > 0) return static_cast<int>(n);
        if (n == 0) return -2;
        return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    }

    void Close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    // After a connect() that did not complete at once: waits for the outcome.
    bool ConnectCompletes(uint32_t timeoutMs) {
        if (errno != EINPROGRESS) return false;
        const uint32_t start = TickCount();
        for (;;) {
            const uint32_t elapsed = TickCount() - start;
            if (elapsed >= timeoutMs) return false;
            pollfd p{fd_, POLLOUT, 0};
            const int r = ::poll(&p, 1, static_cast<int>(timeoutMs - elapsed));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            int err = 0;
            socklen_t len = sizeof err;
            return ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
    }

    int fd_ = -1;
};

} // namespace

std::unique_ptr<BlockingTcp> NewBlockingTcp() {
    return std::make_unique<PosixBlockingTcp>();
}

} // namespace plat
