#include "sim_internal.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <utility>
#include <vector>

namespace tsim {

namespace {
constexpr std::size_t kReceivedLimit = 1 << 20; // bytes kept of what clients sent
constexpr std::size_t kOutboxLimit = 1 << 20;   // one-shot bytes waiting per connection
constexpr std::size_t kPendingReplies = 64;     // Ohaus requests waiting for their reply
} // namespace

// One open connection as the indicator sees it.
struct Conn {
    std::string outbox;          // guarded by Indicator::Impl::mu
    bool closeRequested = false; // guarded by Indicator::Impl::mu
    detail::WakeEvent wake;      // its session has something new to look at
};

struct Indicator::Impl {
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    Mode mode = Mode::Silent;
    std::string frame;
    FrameFn next;
    NumberedFn numbered;
    StreamOptions stream;
    RequestOptions request;
    unsigned generation = 0; // bumped on every behaviour change
    unsigned source = 0;     // bumped when the frames' source changes (restarts numbering)

    std::vector<std::shared_ptr<Conn>> conns;
    int connections = 0;
    int requests = 0;
    long framesSent = 0;
    std::string received;

    struct Snapshot {
        Mode mode;
        std::string frame;
        FrameFn next;
        NumberedFn numbered;
        StreamOptions stream;
        RequestOptions request;
        unsigned generation;
        unsigned source;
    };

    Snapshot Take() const {
        std::lock_guard lock(mu);
        return Snapshot{mode, frame, next, numbered, stream, request, generation, source};
    }

    void Changed() {
        ++generation;
        cv.notify_all();
        WakeAll();
    }

    // mu held.
    void WakeAll() const {
        for (const auto& c : conns)
            c->wake.Signal();
    }

    // New frames: a fixed text, a function, or a numbered function (the others cleared).
    void SetSource(std::string f, FrameFn fn, NumberedFn nfn) {
        frame = std::move(f);
        next = std::move(fn);
        numbered = std::move(nfn);
        ++source;
    }
};

Indicator::Indicator() : impl_(std::make_unique<Impl>()) {}
Indicator::~Indicator() = default;

void Indicator::Silent() {
    std::lock_guard lock(impl_->mu);
    impl_->mode = Mode::Silent;
    impl_->Changed();
}

void Indicator::Stream(std::string frame, StreamOptions opts) {
    std::lock_guard lock(impl_->mu);
    impl_->mode = Mode::Stream;
    impl_->SetSource(std::move(frame), nullptr, nullptr);
    impl_->stream = std::move(opts);
    impl_->Changed();
}

void Indicator::Stream(FrameFn next, StreamOptions opts) {
    std::lock_guard lock(impl_->mu);
    impl_->mode = Mode::Stream;
    impl_->SetSource(std::move(impl_->frame), std::move(next), nullptr);
    impl_->stream = std::move(opts);
    impl_->Changed();
}

void Indicator::StreamNumbered(NumberedFn next, StreamOptions opts) {
    std::string first = next ? next(1) : std::string();
    std::lock_guard lock(impl_->mu);
    impl_->mode = Mode::Stream;
    impl_->SetSource(std::move(first), nullptr, std::move(next));
    impl_->stream = std::move(opts);
    impl_->Changed();
}

void Indicator::OnRequest(std::string line, RequestOptions opts) {
    std::lock_guard lock(impl_->mu);
    impl_->mode = Mode::OnRequest;
    impl_->SetSource(std::move(line), nullptr, nullptr);
    impl_->request = opts;
    impl_->Changed();
}

void Indicator::OnRequestNumbered(NumberedFn reply, RequestOptions opts) {
    std::string first = reply ? reply(1) : std::string();
    std::lock_guard lock(impl_->mu);
    impl_->mode = Mode::OnRequest;
    impl_->SetSource(std::move(first), nullptr, std::move(reply));
    impl_->request = opts;
    impl_->Changed();
}

void Indicator::SetFrame(std::string frame) {
    std::lock_guard lock(impl_->mu);
    impl_->SetSource(std::move(frame), nullptr, nullptr);
    impl_->Changed();
}

void Indicator::SetStreamOptions(const StreamOptions& opts) {
    std::lock_guard lock(impl_->mu);
    impl_->stream = opts;
    impl_->Changed();
}

void Indicator::SetRequestOptions(const RequestOptions& opts) {
    std::lock_guard lock(impl_->mu);
    impl_->request = opts;
    impl_->Changed();
}

Indicator::Mode Indicator::GetMode() const {
    std::lock_guard lock(impl_->mu);
    return impl_->mode;
}

std::string Indicator::Frame() const {
    std::lock_guard lock(impl_->mu);
    return impl_->frame;
}

void Indicator::Send(std::string_view bytes) {
    std::lock_guard lock(impl_->mu);
    for (auto& c : impl_->conns) {
        if (c->outbox.size() + bytes.size() <= kOutboxLimit) c->outbox += bytes;
    }
    impl_->WakeAll();
}

bool Indicator::DisconnectClients(Ms wait) {
    std::unique_lock lock(impl_->mu);
    for (auto& c : impl_->conns)
        c->closeRequested = true;
    impl_->WakeAll();
    return impl_->cv.wait_for(lock, wait, [&] { return impl_->conns.empty(); });
}

int Indicator::Requests() const {
    std::lock_guard lock(impl_->mu);
    return impl_->requests;
}

bool Indicator::WaitRequests(int n, Ms timeout) const {
    std::unique_lock lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [&] { return impl_->requests >= n; });
}

std::string Indicator::Received() const {
    std::lock_guard lock(impl_->mu);
    return impl_->received;
}

void Indicator::ClearReceived() {
    std::lock_guard lock(impl_->mu);
    impl_->received.clear();
}

bool Indicator::WaitReceived(std::string_view needle, Ms timeout) const {
    std::unique_lock lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout,
                              [&] { return impl_->received.find(needle) != std::string::npos; });
}

int Indicator::Clients() const {
    std::lock_guard lock(impl_->mu);
    return static_cast<int>(impl_->conns.size());
}

int Indicator::Connections() const {
    std::lock_guard lock(impl_->mu);
    return impl_->connections;
}

bool Indicator::WaitClients(int n, Ms timeout) const {
    std::unique_lock lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout,
                              [&] { return static_cast<int>(impl_->conns.size()) >= n; });
}

long Indicator::FramesSent() const {
    std::lock_guard lock(impl_->mu);
    return impl_->framesSent;
}

namespace detail {

void WakeSessions(Indicator& indicator) {
    Indicator::Impl& ind = indicator.impl();
    std::lock_guard lock(ind.mu);
    ind.WakeAll();
}

namespace {

// Registers a connection with its indicator for the lifetime of a session.
class Attachment {
  public:
    explicit Attachment(Indicator::Impl& ind) : ind_(ind), conn_(std::make_shared<Conn>()) {
        std::lock_guard lock(ind_.mu);
        ind_.conns.push_back(conn_);
        ++ind_.connections;
        ind_.cv.notify_all();
    }
    ~Attachment() {
        std::lock_guard lock(ind_.mu);
        std::erase(ind_.conns, conn_);
        ind_.cv.notify_all();
    }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

    bool CloseRequested() const {
        std::lock_guard lock(ind_.mu);
        return conn_->closeRequested;
    }
    std::string TakeOutbox() {
        std::lock_guard lock(ind_.mu);
        return std::exchange(conn_->outbox, {});
    }
    void Record(std::string_view bytes, int requests) {
        std::lock_guard lock(ind_.mu);
        auto& r = ind_.received;
        r += bytes;
        if (r.size() > kReceivedLimit) r.erase(0, r.size() - kReceivedLimit);
        ind_.requests += requests;
        ind_.cv.notify_all();
    }
    void CountSent() {
        std::lock_guard lock(ind_.mu);
        ++ind_.framesSent;
    }
    const WakeEvent& Wake() const { return conn_->wake; }

  private:
    Indicator::Impl& ind_;
    std::shared_ptr<Conn> conn_;
};

// Bytes queued for a pty that nobody reads beyond `limit` are discarded.
void TrimBacklog(const PtyLink& pty) {
    int pending = 0;
    if (::ioctl(pty.slaveFd, TIOCINQ, &pending) != 0) return;
    if (static_cast<std::size_t>(pending) > pty.maxBacklog->load())
        ::tcflush(pty.slaveFd, TCIFLUSH);
}

} // namespace

void RunIndicatorSession(Indicator& indicator, int fd, bool socket, const std::atomic<bool>& stop,
                         const PtyLink* pty) {
    Indicator::Impl& ind = indicator.impl();
    Attachment att(ind);
    RequestParser parser;
    std::deque<Clock::time_point> replies; // when each pending Ohaus reply is due
    auto nextFrame = Clock::now();
    long frameNo = 0;
    long numberedNo = 0; // frames or replies made by a NumberedFn since its source was set
    unsigned generation = ~0u;
    unsigned source = ~0u;
    bool alive = true;

    // Sends one piece of output; a socket that fails ends the session.
    auto send = [&](std::string_view bytes) {
        if (bytes.empty()) return;
        if (!WriteAll(fd, bytes, stop, socket) && socket) alive = false;
    };

    while (alive && !stop && !att.CloseRequested()) {
        auto snap = ind.Take();
        auto now = Clock::now();
        if (snap.generation != generation) {
            // A new behaviour starts at once; replies of an old one are dropped.
            if (snap.mode != Indicator::Mode::OnRequest) replies.clear();
            if (generation == ~0u || snap.mode == Indicator::Mode::Stream)
                nextFrame = now + snap.stream.phase;
            generation = snap.generation;
        }
        if (snap.source != source) {
            numberedNo = 0;
            source = snap.source;
        }
        // The frame or reply to send next, by the source in force.
        auto make = [&] {
            if (snap.numbered) return snap.numbered(++numberedNo);
            if (snap.next) return snap.next();
            return snap.frame;
        };

        send(att.TakeOutbox());

        if (snap.mode == Indicator::Mode::Stream && now >= nextFrame && alive) {
            std::string frame = make();
            const auto& o = snap.stream;
            ++frameNo;
            if (o.cutEvery > 0 && frameNo % o.cutEvery == 0) frame.resize(frame.size() / 2);
            if (pty) TrimBacklog(*pty);
            std::string out = o.garbage + frame;
            if (o.byteGap.count() > 0) {
                for (std::size_t i = 0; i < out.size() && alive && !stop; ++i) {
                    send(std::string_view(out).substr(i, 1));
                    if (i + 1 < out.size()) SleepFor(o.byteGap, stop);
                }
            } else {
                send(out);
            }
            att.CountSent();
            const Ms period = std::max(o.period, Ms{1});
            nextFrame += period;
            if (nextFrame < Clock::now()) nextFrame = Clock::now() + period;
        }

        while (!replies.empty() && replies.front() <= Clock::now() && alive) {
            replies.pop_front();
            send(make());
            att.CountSent();
        }

        // Sleep until the next thing to do, a wake-up (a change, bytes to send, a close or the
        // stop), or bytes from the peer.
        auto wake = Clock::now() + Ms{kIdleMs};
        if (snap.mode == Indicator::Mode::Stream) wake = std::min(wake, nextFrame);
        if (!replies.empty()) wake = std::min(wake, replies.front());
        auto waitMs = std::chrono::ceil<Ms>(wake - Clock::now()).count();
        short rev =
            WaitReadableOrWake(fd, att.Wake(), static_cast<int>(std::max<long long>(waitMs, 0)));
        if (rev == 0) continue;

        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            std::string_view got(buf, static_cast<std::size_t>(n));
            int req = parser.Feed(got);
            att.Record(got, req);
            if (req > 0) {
                // Answer by the behaviour in force now, not the one seen before waiting.
                auto cur = ind.Take();
                if (cur.mode == Indicator::Mode::OnRequest && !cur.request.neverReply) {
                    for (int i = 0; i < req && replies.size() < kPendingReplies; ++i)
                        replies.push_back(Clock::now() + cur.request.delay);
                }
            }
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (socket) break;
            // A pty master reads EIO while no slave is open; wait instead of spinning.
            SleepFor(Ms{kTickMs}, stop);
        }
    }
}

} // namespace detail
} // namespace tsim
