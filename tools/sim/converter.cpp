#include "sim_internal.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tsim {

using detail::Clock;
using detail::Fd;

namespace {
constexpr std::size_t kCommandLimit = 1024;  // longest command kept
constexpr std::size_t kCommandsKept = 10000; // commands remembered
constexpr std::size_t kSessionsPerPort = 64; // concurrent connections per port
constexpr std::size_t kFloodChunk = 1024;
constexpr Ms kFloodPause{5};
} // namespace

struct IoPort::Impl {
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    IoMode mode = IoMode::Normal;
    std::string bindError;             // set when reopening the listener failed
    unsigned request = 0, applied = 0; // mode change handshake with the acceptor
    const detail::WakeEvent* acceptorWake = nullptr;

    int input = 0;
    int output = 0;
    std::string custom;
    std::vector<std::size_t> cuts;
    Ms pause{150};
    std::string floodPattern = "0123456789";
    std::size_t floodLimit = 1 << 20;
    std::size_t floodSent = 0;

    std::vector<std::string> commands;
    int connections = 0;

    struct Plan {
        IoMode mode;
        std::string reply;
        std::vector<std::size_t> cuts;
        Ms pause;
        std::string floodPattern;
        std::size_t floodLimit;
    };

    // Records one command, applies its effect and returns what to do about it.
    Plan Handle(const std::string& cmd) {
        std::lock_guard lock(mu);
        if (commands.size() < kCommandsKept) commands.push_back(cmd);
        if (cmd.starts_with("OP")) {
            output = static_cast<int>(std::strtol(cmd.c_str() + 2, nullptr, 10));
        } else if (cmd.starts_with("OB") && cmd.size() >= 4) {
            // state is one digit, the bit number the rest ("OB13": bit 3 on; "OB012": 12 off)
            bool on = cmd[2] != '0';
            long bit = std::strtol(cmd.c_str() + 3, nullptr, 10);
            if (bit >= 0 && bit < 32) {
                unsigned mask = 1u << bit;
                unsigned v = static_cast<unsigned>(output);
                output = static_cast<int>(on ? (v | mask) : (v & ~mask));
            }
        }
        std::string reply;
        if (mode == IoMode::Custom) {
            reply = custom;
        } else if (cmd == "IN") {
            char buf[32];
            std::snprintf(buf, sizeof buf, "IN%03d OK\n\r", input);
            reply = buf;
        } else {
            reply = " OK\n\r";
        }
        cv.notify_all();
        return Plan{mode, reply, cuts, pause, floodPattern, floodLimit};
    }
};

void IoPort::SetMode(IoMode mode) {
    std::unique_lock lock(impl_->mu);
    impl_->mode = mode;
    unsigned ticket = ++impl_->request;
    impl_->bindError.clear();
    if (impl_->acceptorWake != nullptr) impl_->acceptorWake->Signal();
    // The acceptor thread opens or closes the listener at once.
    impl_->cv.wait_for(lock, Ms{3000}, [&] { return impl_->applied >= ticket; });
    if (!impl_->bindError.empty()) throw std::runtime_error(impl_->bindError);
}

IoMode IoPort::Mode() const {
    std::lock_guard lock(impl_->mu);
    return impl_->mode;
}

void IoPort::SetInput(int value) {
    std::lock_guard lock(impl_->mu);
    impl_->input = value;
}

int IoPort::Input() const {
    std::lock_guard lock(impl_->mu);
    return impl_->input;
}

void IoPort::SetCustomReply(std::string bytes) {
    {
        std::lock_guard lock(impl_->mu);
        impl_->custom = std::move(bytes);
    }
    SetMode(IoMode::Custom);
}

void IoPort::SetReplyPieces(std::vector<std::size_t> cuts, Ms pause) {
    std::lock_guard lock(impl_->mu);
    impl_->cuts = std::move(cuts);
    impl_->pause = pause;
}

void IoPort::SetFlood(std::string pattern, std::size_t limit) {
    {
        std::lock_guard lock(impl_->mu);
        impl_->floodPattern = pattern.empty() ? std::string("0") : std::move(pattern);
        impl_->floodLimit = limit;
    }
    SetMode(IoMode::Flood);
}

int IoPort::Output() const {
    std::lock_guard lock(impl_->mu);
    return impl_->output;
}

std::string IoPort::OutputText() const {
    int v = Output();
    std::string s(8, 'N');
    for (int i = 0; i < 8; ++i)
        if (v & (1 << i)) s[static_cast<std::size_t>(i)] = 'S';
    return s;
}

std::vector<std::string> IoPort::Commands() const {
    std::lock_guard lock(impl_->mu);
    return impl_->commands;
}

std::string IoPort::LastCommand() const {
    std::lock_guard lock(impl_->mu);
    return impl_->commands.empty() ? std::string() : impl_->commands.back();
}

bool IoPort::WaitCommands(std::size_t n, Ms timeout) const {
    std::unique_lock lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] { return impl_->commands.size() >= n; });
}

void IoPort::ClearCommands() {
    std::lock_guard lock(impl_->mu);
    impl_->commands.clear();
}

int IoPort::Connections() const {
    std::lock_guard lock(impl_->mu);
    return impl_->connections;
}

std::size_t IoPort::FloodSent() const {
    std::lock_guard lock(impl_->mu);
    return impl_->floodSent;
}

namespace {

// Serves one IO connection: commands end in CR, each gets the reply of the current mode.
void RunIoSession(IoPort::Impl& io, Fd fd, const std::atomic<bool>& stop) {
    std::string cmd;
    bool flooding = false;
    std::size_t flooded = 0;
    std::string floodPattern;
    std::size_t floodLimit = 0;
    while (!stop) {
        if (flooding && flooded < floodLimit) {
            // Endless (but bounded) bytes without the end marker, while the client listens.
            std::string chunk;
            while (chunk.size() < kFloodChunk)
                chunk += floodPattern;
            chunk.resize(std::min(kFloodChunk, floodLimit - flooded));
            // A client that does not read just slows the flood down.
            ssize_t sent = ::send(fd.Get(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return;
            if (sent > 0) {
                flooded += static_cast<std::size_t>(sent);
                std::lock_guard lock(io.mu);
                io.floodSent = flooded;
            }
        }
        int wait = flooding && flooded < floodLimit ? static_cast<int>(kFloodPause.count())
                                                    : detail::kTickMs;
        short rev = detail::WaitReadable(fd.Get(), wait);
        if (rev == 0) continue;
        char buf[1024];
        ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n == 0) return;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            char c = buf[i];
            if (c == kLf && cmd.empty()) continue;
            if (c != kCr) {
                if (cmd.size() < kCommandLimit) cmd += c;
                continue;
            }
            auto plan = io.Handle(std::exchange(cmd, {}));
            switch (plan.mode) {
            case IoMode::Silent:
            case IoMode::Refuse:
                break;
            case IoMode::Hangup:
                detail::ResetAndClose(fd);
                return;
            case IoMode::Flood:
                if (!flooding) {
                    flooding = true;
                    floodPattern = plan.floodPattern;
                    floodLimit = plan.floodLimit;
                }
                break;
            case IoMode::Normal:
            case IoMode::Custom: {
                std::size_t from = 0;
                for (std::size_t cut : plan.cuts) {
                    if (cut <= from || cut >= plan.reply.size()) continue;
                    if (!detail::WriteAll(fd.Get(), plan.reply.substr(from, cut - from), stop,
                                          true))
                        return;
                    from = cut;
                    if (!detail::SleepFor(plan.pause, stop)) return;
                }
                if (!detail::WriteAll(fd.Get(), plan.reply.substr(from), stop, true)) return;
                break;
            }
            }
        }
    }
}

} // namespace

struct Converter::Impl {
    std::string ip;
    int base = 8880;
    std::array<Indicator, 4> channels;
    std::array<Fd, 4> listeners;
    Fd ioListener;
    IoPort::Impl io;
    IoPort ioPort{&io};
    std::atomic<bool> stop{false};
    detail::WakeEvent wake; // the acceptor: stop, or an IO mode change
    detail::ThreadSet sessions;
    std::array<std::atomic<std::size_t>, 5> active{}; // sessions per port (0: IO)
    std::thread acceptor;

    void Run();
    void ApplyIoMode();
    void Serve(int slot, Fd fd);
};

void Converter::Impl::ApplyIoMode() {
    std::lock_guard lock(io.mu);
    if (io.applied == io.request) return;
    bool wantOpen = io.mode != IoMode::Refuse;
    if (wantOpen && !ioListener.Valid()) {
        std::string err;
        ioListener = detail::Listen(ip, base, &err);
        io.bindError = err;
    } else if (!wantOpen) {
        ioListener.Reset();
    }
    io.applied = io.request;
    io.cv.notify_all();
}

void Converter::Impl::Serve(int slot, Fd fd) {
    if (active[static_cast<std::size_t>(slot)] >= kSessionsPerPort) return; // fd closes
    ++active[static_cast<std::size_t>(slot)];
    auto* counter = &active[static_cast<std::size_t>(slot)];
    auto shared = std::make_shared<Fd>(std::move(fd));
    if (slot == 0) {
        {
            std::lock_guard lock(io.mu);
            ++io.connections;
        }
        sessions.Spawn([this, shared, counter] {
            RunIoSession(io, std::move(*shared), stop);
            --*counter;
        });
    } else {
        Indicator* ind = &channels[static_cast<std::size_t>(slot - 1)];
        sessions.Spawn([this, shared, counter, ind] {
            detail::RunIndicatorSession(*ind, shared->Get(), true, stop, nullptr);
            shared->Reset();
            --*counter;
        });
    }
}

void Converter::Impl::Run() {
    while (!stop) {
        ApplyIoMode();
        sessions.Reap();
        std::vector<pollfd> fds;
        std::vector<int> slots;
        if (ioListener.Valid()) {
            fds.push_back({ioListener.Get(), POLLIN, 0});
            slots.push_back(0);
        }
        for (int i = 0; i < 4; ++i) {
            fds.push_back({listeners[static_cast<std::size_t>(i)].Get(), POLLIN, 0});
            slots.push_back(i + 1);
        }
        fds.push_back({wake.Get(), POLLIN, 0});
        slots.push_back(-1);
        if (::poll(fds.data(), fds.size(), detail::kIdleMs) <= 0) continue;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (!(fds[k].revents & POLLIN)) continue;
            if (slots[k] < 0) {
                wake.Clear();
                continue;
            }
            for (int burst = 0; burst < 8; ++burst) {
                Fd c = detail::Accept(fds[k].fd);
                if (!c.Valid()) break;
                Serve(slots[k], std::move(c));
            }
        }
    }
}

Converter::Converter(std::string ip, bool ioPort, int basePort) : impl_(std::make_unique<Impl>()) {
    impl_->ip = std::move(ip);
    impl_->base = basePort;
    std::string err;
    for (int i = 0; i < 4; ++i) {
        auto& l = impl_->listeners[static_cast<std::size_t>(i)];
        l = detail::Listen(impl_->ip, basePort + 1 + i, &err);
        if (!l.Valid()) throw std::runtime_error("converter: " + err);
    }
    if (ioPort) {
        impl_->ioListener = detail::Listen(impl_->ip, basePort, &err);
        if (!impl_->ioListener.Valid()) throw std::runtime_error("converter: " + err);
    } else {
        impl_->io.mode = IoMode::Refuse;
    }
    impl_->io.acceptorWake = &impl_->wake;
    impl_->acceptor = std::thread([this] { impl_->Run(); });
}

Converter::~Converter() {
    impl_->stop = true;
    impl_->wake.Signal();
    for (auto& channel : impl_->channels)
        detail::WakeSessions(channel);
    if (impl_->acceptor.joinable()) impl_->acceptor.join();
    impl_->sessions.JoinAll();
}

Indicator& Converter::Channel(char letter) {
    if (letter >= 'a' && letter <= 'd') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'D')
        throw std::out_of_range(std::string("converter channel must be A..D, not ") + letter);
    return impl_->channels[static_cast<std::size_t>(letter - 'A')];
}

Indicator& Converter::Channel(int number) {
    if (number < 1 || number > 4) throw std::out_of_range("converter channel must be 1..4");
    return impl_->channels[static_cast<std::size_t>(number - 1)];
}

IoPort& Converter::Io() {
    return impl_->ioPort;
}
const std::string& Converter::Ip() const {
    return impl_->ip;
}
int Converter::IoPortNumber() const {
    return impl_->base;
}

int Converter::Port(char letter) const {
    if (letter >= 'a' && letter <= 'd') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'D') throw std::out_of_range("converter channel must be A..D");
    return impl_->base + 1 + (letter - 'A');
}

} // namespace tsim
