#include "dio.h"

// Before Asio: Boost 1.74's asio/awaitable.hpp uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <atomic>
#include <deque>

namespace gateway {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

struct DioWorkers::Impl : std::enable_shared_from_this<DioWorkers::Impl> {
    struct Job {
        std::string command;
        Clock::time_point queued;
        Done done;
    };
    // One converter: its queue and the exchange under way (at most one).
    struct Converter {
        explicit Converter(asio::io_context& loop) : sock(loop), timer(loop) {}
        tcp::endpoint endpoint;
        bool valid = false;
        std::deque<Job> queue;
        bool running = false;
        bool connected = false;
        uint64_t exchange = 0; // which exchange the pending handlers belong to
        Job current;
        tcp::socket sock;
        asio::steady_timer timer;
        std::string reply;
        std::array<char, 1024> buf{};
    };

    asio::io_context& loop;
    std::vector<std::unique_ptr<Converter>> converters;
    bool stopped = false;
    std::atomic<uint64_t> exchanges{0};

    explicit Impl(asio::io_context& l) : loop(l) {}

    void Queue(size_t index, Job job) {
        if (stopped || index >= converters.size()) return Give(job, DioOutcome::Stopping);
        Converter& c = *converters[index];
        if (c.queue.size() >= kQueueLimit) return Give(job, DioOutcome::Busy);
        c.queue.push_back(std::move(job));
        if (!c.running) Next(c);
    }

    static void Give(Job& job, DioOutcome::Kind kind, std::string reply = {}) {
        Done done = std::move(job.done);
        if (!done) return;
        try {
            done(DioOutcome{kind, std::move(reply)});
        } catch (...) {
        }
    }

    void Next(Converter& c) {
        while (!c.running && !c.queue.empty()) {
            Job job = std::move(c.queue.front());
            c.queue.pop_front();
            if (Clock::now() - job.queued > kQueueWait) {
                Give(job, DioOutcome::Busy);
                continue;
            }
            Start(c, std::move(job));
        }
    }

    // The connection is made within kIoTimeoutMs; the reply must then come within kIoTimeoutMs
    // of the command being sent.
    void Start(Converter& c, Job job) {
        c.running = true;
        c.connected = false;
        c.current = std::move(job);
        c.reply.clear();
        const uint64_t id = ++c.exchange;
        if (!c.valid) return Finish(c, DioOutcome::Unreachable);
        c.sock = tcp::socket(loop);
        Arm(c, id);
        c.sock.async_connect(c.endpoint, [self = shared_from_this(), &c, id](const error_code& ec) {
            if (c.exchange != id || !c.running) return;
            if (ec) return self->Finish(c, DioOutcome::Unreachable);
            c.connected = true;
            self->Send(c, id);
        });
    }

    void Arm(Converter& c, uint64_t id) {
        c.timer.expires_after(std::chrono::milliseconds(kIoTimeoutMs));
        c.timer.async_wait([self = shared_from_this(), &c, id](const error_code& ec) {
            if (ec || c.exchange != id || !c.running) return;
            self->Finish(c, c.connected ? DioOutcome::NoAnswer : DioOutcome::Unreachable);
        });
    }

    void Send(Converter& c, uint64_t id) {
        Arm(c, id);
        c.current.command += kIoCommandEnd;
        asio::async_write(c.sock, asio::buffer(c.current.command),
                          [self = shared_from_this(), &c, id](const error_code& ec, size_t) {
                              if (c.exchange != id || !c.running) return;
                              if (ec) return self->Finish(c, DioOutcome::NoAnswer);
                              self->Read(c, id);
                          });
    }

    void Read(Converter& c, uint64_t id) {
        c.sock.async_read_some(asio::buffer(c.buf),
                               [self = shared_from_this(), &c, id](const error_code& ec, size_t n) {
                                   if (c.exchange != id || !c.running) return;
                                   c.reply.append(c.buf.data(), n);
                                   if (c.reply.find(kIoEndMarker) != std::string::npos)
                                       return self->Finish(c, DioOutcome::Done);
                                   // A closed connection ends the reply early; one that floods it
                                   // fails.
                                   if (ec || c.reply.size() >= kIoReplyLimit)
                                       return self->Finish(c, DioOutcome::NoAnswer);
                                   self->Read(c, id);
                               });
    }

    void Finish(Converter& c, DioOutcome::Kind kind, bool next = true) {
        ++c.exchange; // what is still pending of this exchange does nothing
        error_code ec;
        c.timer.cancel();
        c.sock.close(ec);
        c.running = false;
        ++exchanges;
        Give(c.current, kind, std::move(c.reply));
        c.reply.clear();
        if (next && !stopped) Next(c);
    }

    void StopAll() {
        stopped = true;
        for (auto& c : converters) {
            if (c->running) Finish(*c, DioOutcome::Stopping, false);
            while (!c->queue.empty()) {
                Job job = std::move(c->queue.front());
                c->queue.pop_front();
                Give(job, DioOutcome::Stopping);
            }
        }
    }
};

DioWorkers::DioWorkers(asio::io_context& loop, std::vector<std::string> addresses)
    : impl_(std::make_shared<Impl>(loop)) {
    for (const std::string& a : addresses) {
        auto c = std::make_unique<Impl::Converter>(loop);
        error_code ec;
        const auto address = asio::ip::make_address(a, ec);
        c->valid = !ec;
        if (c->valid) c->endpoint = tcp::endpoint(address, static_cast<unsigned short>(kIoPort));
        impl_->converters.push_back(std::move(c));
    }
}

DioWorkers::~DioWorkers() = default;

void DioWorkers::Run(size_t index, std::string command, Done done) {
    Impl::Job job{std::move(command), Clock::now(), std::move(done)};
    asio::post(impl_->loop, [self = impl_, index, job = std::move(job)]() mutable {
        self->Queue(index, std::move(job));
    });
}

void DioWorkers::Stop() {
    asio::post(impl_->loop, [self = impl_] { self->StopAll(); });
}

uint64_t DioWorkers::Exchanges() const {
    return impl_->exchanges.load();
}

std::optional<int32_t> InputValue(const DioOutcome& o) {
    if (o.kind != DioOutcome::Done) return std::nullopt;
    const int32_t v = InPortOfReply(o.reply);
    if (v < 0) return std::nullopt;
    return v;
}

const char* OutcomeText(DioOutcome::Kind kind) {
    switch (kind) {
    case DioOutcome::Done:
        return "done";
    case DioOutcome::Unreachable:
        return "converter unreachable";
    case DioOutcome::NoAnswer:
        return "no answer";
    case DioOutcome::Busy:
        return "converter busy";
    case DioOutcome::Stopping:
        break;
    }
    return "gateway stopping";
}

} // namespace gateway
