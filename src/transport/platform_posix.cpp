// POSIX implementation of the platform layer.
//
// There is no window message queue here: "processing the thread's pending messages" is a
// readiness poll over every socket and serial port that the calling thread has open, plus a
// queue of posted callbacks that stand in for host timers. Each pass of ProcessMessages hands
// one notification to every ready transport and repeats while any is still ready, so a
// connection with unread bytes keeps notifying, as a Windows socket keeps posting its read
// message. A pass count bounds one call, so a flooding peer cannot hold the caller forever.
#include "platform.h"
#include "posted_callbacks.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace plat {

namespace {

uint64_t MonotonicMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint32_t g_tickOffset = 0;
char g_decimalOverride = 0;

// ---- the thread's notification sources --------------------------------------------

class Source {
  public:
    virtual ~Source() = default;
    virtual int Fd() const = 0;
    // Poll events wanted now; 0 leaves the source out of the poll.
    virtual short Events() const = 0;
    // True when a notification is pending without waiting for the descriptor (data
    // already buffered).
    virtual bool Pending() const { return false; }
    // Returns whether a notification was handed to a handler.
    virtual bool Dispatch(short revents) = 0;
};

struct ThreadQueue {
    std::vector<Source*> sources;
    uint64_t removals = 0; // counts Unregister calls, so a pass knows when to check again
};

thread_local ThreadQueue t_queue;

void Register(Source* s) {
    auto& v = t_queue.sources;
    if (std::find(v.begin(), v.end(), s) == v.end()) v.push_back(s);
}

void Unregister(Source* s) {
    auto& v = t_queue.sources;
    v.erase(std::remove(v.begin(), v.end(), s), v.end());
    ++t_queue.removals;
}

bool IsRegistered(Source* s) {
    auto& v = t_queue.sources;
    return std::find(v.begin(), v.end(), s) != v.end();
}

// The descriptors of the thread's sources that want events, with their owners. Returns
// whether some source already has a notification pending without waiting.
bool PollSet(const std::vector<Source*>& sources, std::vector<pollfd>& fds,
             std::vector<Source*>& owners) {
    bool pending = false;
    for (Source* s : sources) {
        if (s->Pending()) pending = true;
        const short ev = s->Events();
        if (ev == 0 || s->Fd() < 0) continue;
        fds.push_back(pollfd{s->Fd(), ev, 0});
        owners.push_back(s);
    }
    return pending;
}

// One readiness pass over `sources` (all registered when it starts), without waiting:
// dispatches one notification to each ready source. `notified` receives the sources that
// were handed one and are still registered afterwards.
void DispatchPass(const std::vector<Source*>& sources, std::vector<Source*>& notified) {
    std::vector<pollfd> fds;
    std::vector<Source*> owners;
    PollSet(sources, fds, owners);
    if (!fds.empty()) ::poll(fds.data(), fds.size(), 0);
    notified.clear();
    const uint64_t removals = t_queue.removals;
    size_t k = 0; // owners is `sources` in order, without those that wait for nothing
    for (Source* s : sources) {
        short rev = 0;
        if (k < owners.size() && owners[k] == s) rev = fds[k++].revents;
        // A handler that ran before may have closed or destroyed this source.
        if (t_queue.removals != removals && !IsRegistered(s)) continue;
        if ((rev != 0 || s->Pending()) && s->Dispatch(rev)) notified.push_back(s);
    }
    if (t_queue.removals != removals)
        std::erase_if(notified, [](Source* s) { return !IsRegistered(s); });
}

} // namespace

// ---- time -------------------------------------------------------------------------

uint32_t TickCount() {
    return static_cast<uint32_t>(MonotonicMs()) + g_tickOffset;
}

void SetTickCount(uint32_t value) {
    g_tickOffset = value - static_cast<uint32_t>(MonotonicMs());
}

void SleepMs(uint32_t ms) {
    ::usleep(static_cast<useconds_t>(ms) * 1000u);
}

// ---- messages ---------------------------------------------------------------------

void ProcessMessages() {
    constexpr int kMaxPasses = 4096;
    // A connection with unread bytes is notified once per pass, one byte each, so a frame
    // takes a pass per byte. The sources notified in a pass are therefore looked at again
    // on their own while they keep having something, instead of a readiness poll of every
    // source of the thread per byte; every kFullEvery passes, and once they have nothing
    // more, a pass looks at all sources again, and only a full pass that finds nothing ends
    // the processing.
    constexpr int kFullEvery = 16;
    detail::RunDueCallbacks();
    std::vector<Source*> hot, notified;
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        const bool full = hot.empty() || pass % kFullEvery == 0;
        DispatchPass(full ? std::vector<Source*>(t_queue.sources) : hot, notified);
        if (notified.empty() && full) break;
        hot.swap(notified);
    }
}

void WaitMessages(uint32_t ms) {
    const uint64_t limit = detail::UntilNextCallback(ms);
    std::vector<pollfd> fds;
    std::vector<Source*> owners;
    if (PollSet(t_queue.sources, fds, owners)) return;
    const int timeout = static_cast<int>(std::min<uint64_t>(limit, 60000));
    if (timeout == 0) return;
    ::poll(fds.empty() ? nullptr : fds.data(), fds.size(), timeout);
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
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        if (port <= 0 || port > 65535 || ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
            Fail(ErrorKind::Connect, EINVAL);
            return;
        }
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd_ < 0) {
            Fail(ErrorKind::Connect, errno);
            return;
        }
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        state_ = State::Connecting;
        Register(this);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            state_ = State::Connected;
        } else if (errno != EINPROGRESS) {
            Fail(ErrorKind::Connect, errno);
        }
    }

    void Close() override { Drop(); }

    bool Active() const override { return state_ == State::Connected; }

    bool ConnectFailed() const override { return failed_; }

    int Receive(void* buf, int size) override {
        if (state_ != State::Connected) return 0;
        if (size <= 0) return -1;
        const ssize_t n = ::recv(fd_, buf, static_cast<size_t>(size), MSG_DONTWAIT);
        if (n > 0) return static_cast<int>(n);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return -1;
        if (n == 0) {
            // The converter closed the connection.
            Drop();
            return 0;
        }
        Fail(ErrorKind::Receive, errno);
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
                    Fail(ErrorKind::Send, ETIMEDOUT);
                    return false;
                }
                continue;
            }
            Fail(ErrorKind::Send, errno);
            return false;
        }
        return true;
    }

    // Source
    int Fd() const override { return fd_; }
    short Events() const override {
        if (state_ == State::Connecting) return POLLOUT;
        if (state_ == State::Connected) return (OnRead || WakeOnData) ? POLLIN : 0;
        return 0;
    }
    bool Dispatch(short revents) override {
        if (state_ == State::Connecting) {
            if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0) return false;
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            if (err != 0) {
                Fail(ErrorKind::Connect, err);
                return true;
            }
            state_ = State::Connected;
            return true;
        }
        if (state_ != State::Connected) return false;
        if ((revents & (POLLIN | POLLERR | POLLHUP)) == 0) return false;
        if (OnRead) {
            auto handler = OnRead; // the handler may clear OnRead or close this client
            handler();
            return true;
        }
        if (revents & (POLLERR | POLLHUP)) {
            Fail(ErrorKind::Disconnect, ECONNRESET);
            return true;
        }
        return false; // bytes wait for a reader that takes them itself
    }

  private:
    enum class State { Closed, Connecting, Connected };

    void Drop() {
        Unregister(this);
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        state_ = State::Closed;
    }

    void Fail(ErrorKind kind, int code) {
        const bool connecting = state_ != State::Connected;
        Drop();
        if (connecting) failed_ = true;
        if (OnError) {
            auto handler = OnError;
            int c = code;
            handler(kind, c);
        }
    }

    int fd_ = -1;
    State state_ = State::Closed;
    bool failed_ = false;
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
    ~PosixSerialPort() override { Close(); }

    bool Open(const SerialSettings& s) override {
        if (fd_ >= 0) {
            if (!hungUp_ && Apply(s)) return true;
            // The device went away under the open port (unplugged, or a pseudo-terminal
            // whose other side closed): let the dead descriptor go and open the device
            // afresh, which may be back under the same name.
            Close();
        }
        const std::string path = SerialDevicePath(s.comNumber);
        if (path.empty()) return false;
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return false;
        if (!::isatty(fd) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return false;
        }
        fd_ = fd;
        if (!Apply(s)) {
            Close();
            return false;
        }
        ::tcflush(fd_, TCIOFLUSH);
        buffer_.clear();
        hungUp_ = false;
        Register(this);
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
        switch (s.dataBits) {
        case 5:
            t.c_cflag |= CS5;
            break;
        case 6:
            t.c_cflag |= CS6;
            break;
        case 7:
            t.c_cflag |= CS7;
            break;
        case 8:
            t.c_cflag |= CS8;
            break;
        default:
            return false;
        }
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
    short Events() const override {
        return (fd_ >= 0 && !hungUp_ && buffer_.size() < kBufferSize) ? POLLIN : 0;
    }
    bool Pending() const override { return fd_ >= 0 && !buffer_.empty() && OnTriggerAvail; }
    bool Dispatch(short revents) override {
        bool progressed = false;
        if (revents & POLLIN) progressed = Fill();
        // The other end is gone (a pseudo-terminal whose master closed): stop watching.
        if (!progressed && (revents & (POLLHUP | POLLERR))) hungUp_ = true;
        if (fd_ >= 0 && !buffer_.empty() && OnTriggerAvail) {
            auto handler = OnTriggerAvail;
            handler(static_cast<uint16_t>(std::min<size_t>(buffer_.size(), 0xFFFF)));
            return true;
        }
        return progressed;
    }

  private:
    static constexpr size_t kBufferSize = 4096;

    bool Fill() {
        char tmp[512];
        const size_t room = kBufferSize - buffer_.size();
        const ssize_t n = ::read(fd_, tmp, std::min(room, sizeof tmp));
        if (n > 0) {
            buffer_.insert(buffer_.end(), tmp, tmp + n);
            return true;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) hungUp_ = true;
        return false;
    }

    int fd_ = -1;
    bool hungUp_ = false;
    std::deque<char> buffer_;
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
