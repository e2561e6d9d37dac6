#include "LiveCore.h"

#include "TBal.h"
#include "Trace.h"

#include <algorithm>
#include <chrono>

namespace live {

const char* StatusName(Status s) {
    switch (s) {
    case Status::Ok:
        return "ok";
    case Status::Stale:
        return "stale";
    case Status::Offline:
        return "offline";
    case Status::Error:
        return "error";
    }
    return "offline";
}

int64_t Core::NowUnixMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

namespace {

using Clock = std::chrono::steady_clock;

int64_t NowUnixMs() {
    return Core::NowUnixMs();
}

int64_t NowMono() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(Clock::now().time_since_epoch()).count();
}

// Re-opening a failed connection or port waits this long, doubling up to the cap; a frame
// resets it.
constexpr int64_t kFirstBackoffMs = 500;
constexpr int64_t kMaxBackoffMs = 30000;
// A connection attempt that has not succeeded by then is given up (as Select_Canal does).
constexpr int64_t kConnectLimitMs = 10000;
// The housekeeping pass (states, re-opening, silent links) runs this often.
constexpr int64_t kHousekeepingMs = 50;
// Bytes taken from a connection per read.
constexpr int kReadChunk = 4096;
// A connection silent this long is probed; three unanswered probes, 2 s apart, end it.
constexpr int kKeepAliveIdleS = 10;

// One scale: its transport, its driver, its state.
class Scale final : public ReadingListener {
  public:
    Scale(size_t index, const ScaleConfig& cfg, ScaleCounters& counters, const Core::Sink& sink)
        : index_(index), cfg_(cfg), counters_(counters), sink_(sink) {
        driver_ = cfg.family->make(*cfg.family, nullptr, static_cast<int32_t>(index));
        driver_->Listener = this;
        driver_->Name = "scale " + cfg.name;
        driver_->Arm();
        where_ = cfg.serial ? plat::SerialDevicePath(cfg.line)
                            : cfg.address + ":" + std::to_string(cfg.port);
    }

    ~Scale() override {
        *alive_ = false; // a request step still on the timers finds the scale gone
        CloseLink();
    }

    void Start(int64_t now) {
        since_ = NowUnixMs();
        SetState(Status::Offline, "connecting to " + where_, since_);
        Open(now);
    }

    // Everything that depends on time: the link's coming and going, the scale's state, the
    // requests of an asking indicator.
    void Housekeeping(int64_t now) {
        switch (link_) {
        case Link::Down:
            if (now >= retryAt_) Open(now);
            return;
        case Link::Connecting:
            if (tcp_->Active()) {
                LinkUp(now);
            } else if (tcp_->ConnectFailed()) {
                LinkFailed(now, "no connection to " + where_ + ": " + tcp_->FailureText());
            } else if (now - linkSince_ >= kConnectLimitMs) {
                LinkFailed(now, "no answer from " + where_ + " within " +
                                    std::to_string(kConnectLimitMs / 1000) + " s");
            }
            return;
        case Link::Up:
            break;
        }
        if (!LinkAlive()) {
            const std::string why = cfg_.serial ? port_->FailureText() : tcp_->FailureText();
            LinkFailed(now, (cfg_.serial ? "serial port " : "connection to ") + where_ + ": " +
                                (why.empty() ? std::string("lost") : why));
            return;
        }
        if (now - lastFrame_ >= cfg_.staleAfterMs) {
            const bool bytesCame = bytesSinceFrame_ > 0 && now - lastByte_ < cfg_.staleAfterMs;
            if (bytesCame && status_ != Status::Error)
                SetState(Status::Error,
                         "bytes arrive but no frame decodes" +
                             (lastDrop_.empty() ? std::string() : " (" + lastDrop_ + ")"),
                         NowUnixMs());
            else if (!bytesCame && status_ != Status::Stale)
                SetState(Status::Stale, "no frame for " + std::to_string(cfg_.staleAfterMs) + " ms",
                         NowUnixMs());
        }
        if (!cfg_.family->request.empty() && requestStep_ < 0 && now >= nextRequest_)
            StartRequest(now);
    }

    // ReadingListener: a frame decoded from this scale's bytes.
    void OnReading(TBal&, const TReading& r) override {
        counters_.frames.fetch_add(1, std::memory_order_relaxed);
        texts_.StartPoll(cfg_.family->pollStartGrossTare);
        texts_.Take(r);
        hasTexts_ = true;
        lastFrame_ = rxMono_;
        bytesSinceFrame_ = 0;
        frameBytes_.swap(pending_);
        pending_.clear();
        backoff_ = kFirstBackoffMs;
        if (status_ != Status::Ok) {
            status_ = Status::Ok;
            since_ = rxUnix_;
            reason_.clear();
        }
        if (!cfg_.family->request.empty() && requestStep_ < 0)
            nextRequest_ = std::max(rxMono_, requestStart_ + int64_t{cfg_.requestIntervalMs});
        Emit(true, rxUnix_);
    }

    void OnDropped(TBal&, const std::string& why) override {
        counters_.dropped.fetch_add(1, std::memory_order_relaxed);
        lastDrop_ = why;
        pending_.clear();
    }

  private:
    enum class Link { Down, Connecting, Up };

    void Open(int64_t now) {
        CloseLink();
        linkSince_ = now;
        if (cfg_.serial) {
            port_ = plat::NewSerialPort();
            port_->OnTriggerAvail = [this](uint16_t n) { SerialAvailable(n); };
            if (!port_->Open(cfg_.line)) {
                LinkFailed(now, "serial port " + port_->FailureText());
                return;
            }
            LinkUp(now);
            return;
        }
        tcp_ = plat::NewTcpClient();
        tcp_->OnRead = [this] { SocketReadable(); };
        // A converter switched off behind a router never closes the connection: the
        // system's keep-alive probes find it gone (an indicator may well be silent for long).
        tcp_->KeepAlive(kKeepAliveIdleS);
        tcp_->Open(cfg_.address, cfg_.port);
        link_ = Link::Connecting;
        if (tcp_->ConnectFailed())
            LinkFailed(now, "no connection to " + where_ + ": " + tcp_->FailureText());
    }

    void LinkUp(int64_t now) {
        link_ = Link::Up;
        linkSince_ = now;
        lastFrame_ = now;
        lastByte_ = 0;
        bytesSinceFrame_ = 0;
        pending_.clear();
        if (opened_++ > 0) counters_.reconnects.fetch_add(1, std::memory_order_relaxed);
        driver_->Arm();
        requestStep_ = -1;
        nextRequest_ = now;
        if (trace::On()) trace::Line("scale " + cfg_.name + ": " + where_ + " open");
        SetState(Status::Stale,
                 std::string(cfg_.serial ? "port open" : "connected") + ", no frame yet",
                 NowUnixMs());
    }

    void LinkFailed(int64_t now, const std::string& why) {
        CloseLink();
        link_ = Link::Down;
        retryAt_ = now + backoff_;
        backoff_ = std::min(backoff_ * 2, kMaxBackoffMs);
        if (trace::On()) trace::Line("scale " + cfg_.name + ": " + why);
        SetState(Status::Offline, why, NowUnixMs());
    }

    bool LinkAlive() const {
        if (cfg_.serial) return port_ && port_->IsOpen() && port_->FailureText().empty();
        return tcp_ && tcp_->Active();
    }

    // The transport goes; not from inside its own notification (the link is only marked
    // down there, and housekeeping closes it).
    void CloseLink() {
        requestStep_ = -1;
        if (tcp_) {
            tcp_->OnRead = nullptr;
            tcp_->Close();
            tcp_.reset();
        }
        if (port_) {
            port_->OnTriggerAvail = nullptr;
            port_->Close();
            port_.reset();
        }
    }

    void SocketReadable() {
        if (link_ == Link::Connecting) LinkUp(NowMono()); // bytes can come before housekeeping
        char buf[kReadChunk];
        const int n = tcp_->Receive(buf, kReadChunk);
        if (n <= 0) return; // closed (housekeeping sees it) or nothing after all
        Feed(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n));
    }

    void SerialAvailable(uint16_t count) {
        uint8_t buf[512];
        size_t n = 0;
        char c;
        while (n < count && n < sizeof buf && port_->GetChar(c))
            buf[n++] = static_cast<uint8_t>(c);
        Feed(buf, n);
    }

    // Each byte to the driver as it came; a frame it completes carries this moment.
    void Feed(const uint8_t* bytes, size_t n) {
        rxMono_ = NowMono();
        rxUnix_ = NowUnixMs();
        lastByte_ = rxMono_;
        bytesSinceFrame_ += n;
        counters_.bytes.fetch_add(n, std::memory_order_relaxed);
        for (size_t i = 0; i < n; ++i) {
            if (pending_.size() >= 2 * kMaxFrameBytes) pending_.erase(0, kMaxFrameBytes);
            pending_ += static_cast<char>(bytes[i]); // before the driver: a frame it ends has it
            driver_->Take(bytes[i]);
        }
    }

    // An asking indicator's request: its steps go out one by one, each after the pause of
    // the one before, on the core's timers, so no other scale waits meanwhile.
    void StartRequest(int64_t now) {
        requestStart_ = now;
        // The next request follows the reply, or this one again if no reply comes.
        nextRequest_ = now + std::max<int64_t>(cfg_.requestIntervalMs, 1000);
        driver_->Arm();
        requestStep_ = 0;
        SendStep(++requestSerial_);
    }

    void SendStep(uint64_t serial) {
        if (serial != requestSerial_ || requestStep_ < 0 || link_ != Link::Up) return;
        const auto steps = cfg_.family->request;
        const RequestStep& step = steps[static_cast<size_t>(requestStep_)];
        const std::string bytes = step.bytes;
        if (cfg_.serial)
            port_->Write(bytes);
        else
            tcp_->Send(bytes);
        if (static_cast<size_t>(++requestStep_) >= steps.size()) {
            requestStep_ = -1;
            return;
        }
        plat::PostCallback(step.pauseAfterMs, [this, serial, alive = alive_] {
            if (*alive) SendStep(serial);
        });
    }

    // A change of state is an event. Within one state the reason is fixed once it is said,
    // but for an offline link, whose reason tells what the last attempt found.
    void SetState(Status s, const std::string& reason, int64_t nowUnix) {
        if (s == status_ && (reason == reason_ || s != Status::Offline)) return;
        if (s != status_) since_ = nowUnix;
        status_ = s;
        reason_ = reason;
        Emit(false, nowUnix);
    }

    void Emit(bool frame, int64_t timeMs) {
        Event e;
        e.scale = index_;
        e.frame = frame;
        e.status = status_;
        e.timeMs = timeMs;
        e.sinceMs = since_;
        e.reason = reason_;
        e.hasTexts = hasTexts_;
        e.texts = texts_;
        if (frame)
            e.frameBytes = frameBytes_.size() > kMaxFrameBytes
                               ? frameBytes_.substr(frameBytes_.size() - kMaxFrameBytes)
                               : frameBytes_;
        counters_.events.fetch_add(1, std::memory_order_relaxed);
        sink_(e);
    }

    const size_t index_;
    const ScaleConfig& cfg_;
    ScaleCounters& counters_;
    const Core::Sink& sink_;
    std::unique_ptr<TBal> driver_;
    std::string where_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    Link link_ = Link::Down;
    std::unique_ptr<plat::TcpClient> tcp_;
    std::unique_ptr<plat::SerialPort> port_;
    int64_t linkSince_ = 0;
    int64_t retryAt_ = 0;
    int64_t backoff_ = kFirstBackoffMs;
    uint64_t opened_ = 0;

    int64_t lastFrame_ = 0;
    int64_t lastByte_ = 0;
    uint64_t bytesSinceFrame_ = 0;
    int64_t rxMono_ = 0;
    int64_t rxUnix_ = 0;
    std::string lastDrop_;
    std::string pending_;    // bytes since the last frame or dropped frame ended
    std::string frameBytes_; // those of the last frame

    int requestStep_ = -1; // the next step of a request going out; -1: none
    uint64_t requestSerial_ = 0;
    int64_t requestStart_ = 0;
    int64_t nextRequest_ = 0;

    Status status_ = Status::Offline;
    int64_t since_ = 0;
    std::string reason_;
    bool hasTexts_ = false;
    TValueTexts texts_;
};

} // namespace

Core::Core(std::vector<ScaleConfig> scales, Sink sink)
    : configs_(std::move(scales)), sink_(std::move(sink)),
      counters_(std::make_unique<ScaleCounters[]>(configs_.size())) {}

Core::~Core() {
    Stop();
}

void Core::Start() {
    if (thread_.joinable()) return;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void Core::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void Core::Run() {
    std::vector<std::unique_ptr<Scale>> scales;
    scales.reserve(configs_.size());
    for (size_t i = 0; i < configs_.size(); ++i)
        scales.push_back(std::make_unique<Scale>(i, configs_[i], counters_[i], sink_));
    int64_t now = NowMono();
    for (auto& s : scales)
        s->Start(now);
    int64_t nextHousekeeping = now + kHousekeepingMs;
    while (!stop_.load(std::memory_order_relaxed)) {
        plat::WaitAndProcess(static_cast<uint32_t>(std::max<int64_t>(nextHousekeeping - now, 1)));
        now = NowMono();
        if (now >= nextHousekeeping) {
            for (auto& s : scales)
                s->Housekeeping(now);
            nextHousekeeping = now + kHousekeepingMs;
        }
    }
    scales.clear(); // every transport closes on this thread, which opened it
    plat::ProcessMessages();
}

} // namespace live
