#include "sim_internal.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tsim::detail {

void Fd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

void SetNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

namespace {

Fd ListenOnce(const std::string& ip, int port, std::string* error, int* code) {
    auto fail = [&](const char* what) {
        *code = errno;
        *error = "cannot listen on " + ip + ":" + std::to_string(port) + ": " + what + ": " +
                 std::strerror(*code);
        return Fd{};
    };
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) != 1) {
        *error = "cannot listen on " + ip + ":" + std::to_string(port) + ": not an IPv4 address";
        return Fd{};
    }
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return fail("socket");
    int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail("bind");
    if (::listen(fd.Get(), 64) != 0) return fail("listen");
    return fd;
}

} // namespace

Fd Listen(const std::string& ip, int port, std::string* error, Ms retry) {
    const auto end = Clock::now() + retry;
    for (;;) {
        int code = 0;
        Fd fd = ListenOnce(ip, port, error, &code);
        if (fd.Valid() || code != EADDRINUSE || Clock::now() >= end) return fd;
        std::this_thread::sleep_for(Ms{50});
    }
}

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!fd_.Valid()) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

void WakeEvent::Signal() const {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd_.Get(), &one, sizeof one);
}

void WakeEvent::Clear() const {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd_.Get(), &count, sizeof count);
}

short WaitReadableOrWake(int fd, const WakeEvent& wake, int timeoutMs) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wake.Get(), POLLIN, 0}};
    const int n = ::poll(p, 2, std::max(0, timeoutMs));
    if (n <= 0) return 0;
    if (p[1].revents != 0) wake.Clear();
    return p[0].revents;
}

int LocalPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

Fd Accept(int listenFd) {
    Fd fd(::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (fd.Valid()) {
        int one = 1;
        ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

void ResetAndClose(Fd& fd) {
    if (!fd.Valid()) return;
    linger lg{1, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    fd.Reset();
}

short WaitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, std::max(0, timeoutMs));
    return n > 0 ? p.revents : 0;
}

bool WriteAll(int fd, std::string_view data, const std::atomic<bool>& stop, bool socket, Ms limit) {
    const auto deadline = Clock::now() + limit;
    while (!data.empty()) {
        ssize_t n = socket ? ::send(fd, data.data(), data.size(), MSG_NOSIGNAL)
                           : ::write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (stop) return false;
        auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kTickMs)));
    }
    return true;
}

bool SleepFor(Ms d, const std::atomic<bool>& stop) {
    const auto end = Clock::now() + d;
    while (!stop) {
        auto left = std::chrono::duration_cast<Ms>(end - Clock::now());
        if (left.count() <= 0) return true;
        std::this_thread::sleep_for(std::min(left, Ms{kTickMs}));
    }
    return false;
}

void ThreadSet::Spawn(std::function<void()> body) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([body = std::move(body), done] {
        body();
        *done = true;
    });
    std::lock_guard lock(mu_);
    threads_.push_back(Entry{std::move(t), done});
}

void ThreadSet::Reap() {
    std::list<Entry> finished;
    {
        std::lock_guard lock(mu_);
        for (auto it = threads_.begin(); it != threads_.end();) {
            auto next = std::next(it);
            if (*it->done) finished.splice(finished.end(), threads_, it);
            it = next;
        }
    }
    for (auto& e : finished)
        e.thread.join();
}

void ThreadSet::JoinAll() {
    std::list<Entry> all;
    {
        std::lock_guard lock(mu_);
        all.swap(threads_);
    }
    for (auto& e : all)
        e.thread.join();
}

std::size_t ThreadSet::Running() {
    std::lock_guard lock(mu_);
    return threads_.size();
}

int RequestParser::Feed(std::string_view bytes) {
    int requests = 0;
    for (char c : bytes) {
        if (c == 'P') {
            armed_ = true;
        } else if (c == kLf) {
            if (armed_) ++requests;
            armed_ = false;
        } else if (c != kCr) {
            armed_ = false;
        }
    }
    return requests;
}

} // namespace tsim::detail
