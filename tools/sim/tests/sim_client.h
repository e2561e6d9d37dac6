// Client side of a simulator connection for the self-tests: a loopback socket or a tty.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>

namespace simtest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Minimal blocking client side of a socket or tty, every wait bounded.
class Client {
  public:
    explicit Client(int fd) : fd_(fd) {}
    Client(const std::string& ip, int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            error_ = errno;
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Ok() const { return fd_ >= 0; }
    int Error() const { return error_; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void Write(std::string_view s) {
        ASSERT_EQ(::write(fd_, s.data(), s.size()), (ssize_t)s.size());
    }
    // One read of whatever arrives within `timeout`; "" on timeout, EOF or error (see Eof()).
    std::string ReadSome(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return {};
        char buf[65536];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) {
            eof_ = true;
            readErrno_ = n < 0 ? errno : 0;
            return {};
        }
        return std::string(buf, static_cast<std::size_t>(n));
    }
    // Reads until `done(what came)`, EOF, or the timeout passes.
    template <class Done> std::string Read(Done done, std::chrono::milliseconds timeout) {
        std::string got;
        for (auto end = Clock::now() + timeout; !done(got) && !eof_ && Clock::now() < end;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            got += ReadSome(std::max(left, 1ms));
        }
        return got;
    }
    std::string ReadUntil(std::string_view needle, std::chrono::milliseconds timeout) {
        return Read([&](const std::string& g) { return g.find(needle) != g.npos; }, timeout);
    }
    std::string ReadBytes(std::size_t n, std::chrono::milliseconds timeout) {
        return Read([n](const std::string& g) { return g.size() >= n; }, timeout);
    }
    bool Eof() const { return eof_; }
    int ReadErrno() const { return readErrno_; }

  private:
    int fd_ = -1;
    int error_ = 0;
    bool eof_ = false;
    int readErrno_ = 0;
};

} // namespace simtest
