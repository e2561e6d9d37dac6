#include "sim_internal.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

namespace tsim {

namespace {
constexpr std::size_t kReceivedLimit = 1 << 20;
}

struct RawPeer::Impl {
    detail::Fd listener;
    int port = 0;
    std::atomic<bool> stop{false};
    std::thread thread;

    // The client descriptor is only closed by the peer thread, or by a caller holding `mu`
    // while the thread is parked outside its poll (see Drop()).
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    detail::Fd client;
    bool clientClosed = false;
    int accepted = 0;
    std::string received;
    enum class Drop { None, Close, Reset } drop = Drop::None;
    unsigned dropTicket = 0, dropDone = 0;

    void Run();
};

void RawPeer::Impl::Run() {
    while (!stop) {
        int clientFd;
        {
            std::lock_guard lock(mu);
            if (drop != Drop::None) {
                if (drop == Drop::Reset) detail::ResetAndClose(client);
                client.Reset();
                clientClosed = false;
                drop = Drop::None;
                dropDone = dropTicket;
                cv.notify_all();
            }
            clientFd = client.Get();
        }
        std::vector<pollfd> fds{{listener.Get(), POLLIN, 0}};
        if (clientFd >= 0 && !clientClosed) fds.push_back({clientFd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), detail::kTickMs) <= 0) continue;

        if (fds.size() > 1 && fds[1].revents) {
            char buf[4096];
            ssize_t n = ::read(clientFd, buf, sizeof buf);
            std::lock_guard lock(mu);
            if (n > 0) {
                received.append(buf, static_cast<std::size_t>(n));
                if (received.size() > kReceivedLimit)
                    received.erase(0, received.size() - kReceivedLimit);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                clientClosed = true;
            }
            cv.notify_all();
        }
        if (fds[0].revents & POLLIN) {
            detail::Fd c = detail::Accept(listener.Get());
            if (c.Valid()) {
                std::lock_guard lock(mu);
                client = std::move(c); // a newer client replaces the older one
                clientClosed = false;
                ++accepted;
                cv.notify_all();
            }
        }
    }
}

RawPeer::RawPeer(std::string ip, int port) : impl_(std::make_unique<Impl>()) {
    std::string err;
    impl_->listener = detail::Listen(ip, port, &err);
    if (!impl_->listener.Valid()) throw std::runtime_error("raw peer: " + err);
    impl_->port = detail::LocalPort(impl_->listener.Get());
    impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
}

RawPeer::~RawPeer() {
    impl_->stop = true;
    if (impl_->thread.joinable()) impl_->thread.join();
}

int RawPeer::Port() const {
    return impl_->port;
}

bool RawPeer::WaitClient(Ms timeout) const {
    std::unique_lock lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] { return impl_->client.Valid(); });
}

bool RawPeer::Connected() const {
    std::lock_guard lock(impl_->mu);
    return impl_->client.Valid() && !impl_->clientClosed;
}

int RawPeer::Accepted() const {
    std::lock_guard lock(impl_->mu);
    return impl_->accepted;
}

bool RawPeer::Send(std::string_view bytes) {
    std::lock_guard lock(impl_->mu);
    if (!impl_->client.Valid()) return false;
    return detail::WriteAll(impl_->client.Get(), bytes, impl_->stop, true);
}

std::string RawPeer::Received() const {
    std::lock_guard lock(impl_->mu);
    return impl_->received;
}

void RawPeer::ClearReceived() {
    std::lock_guard lock(impl_->mu);
    impl_->received.clear();
}

bool RawPeer::WaitBytes(std::size_t n, Ms timeout) const {
    std::unique_lock lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] { return impl_->received.size() >= n; });
}

bool RawPeer::WaitFor(std::string_view needle, Ms timeout) const {
    std::unique_lock lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout,
                              [&] { return impl_->received.find(needle) != std::string::npos; });
}

bool RawPeer::ClientClosed() const {
    std::lock_guard lock(impl_->mu);
    return impl_->clientClosed;
}

bool RawPeer::WaitClientClosed(Ms timeout) const {
    std::unique_lock lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] { return impl_->clientClosed; });
}

void RawPeer::CloseClient() {
    std::unique_lock lock(impl_->mu);
    impl_->drop = Impl::Drop::Close;
    unsigned ticket = ++impl_->dropTicket;
    impl_->cv.wait_for(lock, Ms{2000}, [&] { return impl_->dropDone >= ticket; });
}

void RawPeer::ResetClient() {
    std::unique_lock lock(impl_->mu);
    impl_->drop = Impl::Drop::Reset;
    unsigned ticket = ++impl_->dropTicket;
    impl_->cv.wait_for(lock, Ms{2000}, [&] { return impl_->dropDone >= ticket; });
}

} // namespace tsim
