#include "LiveCore.h"

#include "../api/Trace.h"
#include "../drivers/ValueTexts.h"
#include "../transport/IoExchange.h"

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
// The housekeeping pass (states, re-opening, silent links) runs this often.
constexpr int64_t kHousekeepingMs = 50;
// Bytes taken from a connection per read; and per read of bytes thrown away (noise).
constexpr int kReadChunk = 4096;
constexpr int kDiscardChunk = 65536;
// A connection silent this long is probed; three unanswered probes, 2 s apart, end it.
constexpr int kKeepAliveIdleS = 10;

// One scale: its transport, its decoder, its state.
class Scale final {
  public:
    Scale(size_t index, const ScaleConfig& cfg, ScaleCounters& counters, const Core::Sink& sink)
        : index_(index), cfg_(cfg), counters_(counters), sink_(sink),
          decoder_(cfg.family->decoder()) {
        where_ = cfg.serial ? plat::SerialDevicePath(cfg.line)
                            : cfg.address + ":" + std::to_string(cfg.port);
    }

    ~Scale() {
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
                             (dropped_ ? " (" + lastDrop_.Text() + ")" : std::string()),
                         NowUnixMs());
            else if (!bytesCame && status_ != Status::Stale)
                SetState(Status::Stale, "no frame for " + std::to_string(cfg_.staleAfterMs) + " ms",
                         NowUnixMs());
        }
        if (cfg_.family->Asks() && !request_.Running() && now >= nextRequest_) StartRequest(now);
    }

  private:
    enum class Link { Down, Connecting, Up };

    // A frame decoded from this scale's bytes.
    void OnReading(const TReading& r) {
        counters_.frames.fetch_add(1, std::memory_order_relaxed);
        ++good_[1];
        if (Noisy()) { // most likely noise that happened to pass: kept from everyone
            counters_.noiseFrames.fetch_add(1, std::memory_order_relaxed);
            if (trace::On()) trace::Line("scale " + cfg_.name + ": frame ignored: noise");
            return;
        }
        // An indicator mostly sends the same frame again: its reading is the one made before.
        if (!reading_ || !(*reading_ == r)) reading_ = std::make_shared<const TReading>(r);
        if (trace::On())
            trace::Line("scale " + cfg_.name + ": frame taken: " +
                        (r.hasStatus ? "status " + StatusText(r, '.') : std::string("raw")));
        lastFrame_ = rxMono_;
        bytesSinceFrame_ = 0;
        backoff_ = kFirstBackoffMs;
        if (status_ != Status::Ok) {
            status_ = Status::Ok;
            since_ = rxUnix_;
            reason_.clear();
        }
        if (cfg_.family->Asks() && !request_.Running())
            nextRequest_ = std::max(rxMono_, requestStart_ + int64_t{cfg_.requestIntervalMs});
        Emit(true, rxUnix_);
    }

    // A frame or line that did not decode: counted, and its reason kept for the state's.
    void OnFailure(const TDecodeFailure& f) {
        counters_.dropped.fetch_add(1, std::memory_order_relaxed);
        lastDrop_ = f;
        dropped_ = true;
        ++bad_[1];
        if (trace::On()) trace::Line("scale " + cfg_.name + ": frame dropped: " + f.Text());
        if (Noisy() && status_ != Status::Error) {
            const uint64_t bad = bad_[0] + bad_[1], good = good_[0] + good_[1];
            SetState(Status::Error,
                     good == 0
                         ? "bytes arrive but no frame decodes (" + f.Text() + ")"
                         : "the input is mostly noise: " + std::to_string(bad) + " of " +
                               std::to_string(bad + good) +
                               " frames in the last two seconds did not decode (" + f.Text() + ")",
                     rxUnix_);
        }
    }

    // Starts a new second of the noise counts when the current one is over.
    void RollNoise(int64_t now) {
        if (now - noiseSince_ < kNoiseWindowMs) return;
        const bool adjacent = now - noiseSince_ < 2 * kNoiseWindowMs;
        good_[0] = adjacent ? good_[1] : 0;
        bad_[0] = adjacent ? bad_[1] : 0;
        good_[1] = bad_[1] = 0;
        fedThisSecond_ = 0;
        noiseSince_ = now;
    }

    bool Noisy() const {
        const uint64_t bad = bad_[0] + bad_[1];
        return bad >= kNoiseMinFailures && bad > good_[0] + good_[1];
    }

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
        good_[0] = good_[1] = bad_[0] = bad_[1] = 0;
        if (opened_++ > 0) counters_.reconnects.fetch_add(1, std::memory_order_relaxed);
        decoder_->Reset();
        request_ = {};
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
        request_ = {};
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
        // A noisy scale past its budget: what came is read in large pieces, and thrown away.
        static thread_local char scrap[kDiscardChunk];
        const bool discard = Noisy() && fedThisSecond_ >= kNoiseBytesPerSecond &&
                             NowMono() - noiseSince_ < kNoiseWindowMs;
        char buf[kReadChunk];
        char* into = discard ? scrap : buf;
        const int n = tcp_->Receive(into, discard ? kDiscardChunk : kReadChunk);
        if (n <= 0) return; // closed (housekeeping sees it) or nothing after all
        Feed(reinterpret_cast<const uint8_t*>(into), static_cast<size_t>(n));
    }

    void SerialAvailable(uint16_t count) {
        uint8_t buf[kReadChunk];
        Feed(buf, port_->Read(buf, std::min<size_t>(count, sizeof buf)));
    }

    // The bytes to the decoder as they came, and what it returns to their owners: each
    // reading is an event that carries this moment.
    void Feed(const uint8_t* bytes, size_t n) {
        rxMono_ = NowMono();
        rxUnix_ = NowUnixMs();
        lastByte_ = rxMono_;
        bytesSinceFrame_ += n;
        counters_.bytes.fetch_add(n, std::memory_order_relaxed);
        RollNoise(rxMono_);
        if (Noisy()) {
            const size_t room = fedThisSecond_ < kNoiseBytesPerSecond
                                    ? static_cast<size_t>(kNoiseBytesPerSecond - fedThisSecond_)
                                    : 0;
            if (n > room) {
                counters_.discarded.fetch_add(n - room, std::memory_order_relaxed);
                n = room;
            }
        }
        fedThisSecond_ += n;
        decoder_->FeedAll(
            std::span<const uint8_t>(bytes, n), [this](const TReading& r) { OnReading(r); },
            [this](const TDecodeFailure& f) { OnFailure(f); });
    }

    // An asking indicator's request: its steps go out one by one, each after the pause of
    // the one before, on the core's timers, so no other scale waits meanwhile.
    void StartRequest(int64_t now) {
        requestStart_ = now;
        // The next request follows the reply, or this one again if no reply comes.
        nextRequest_ = now + std::max<int64_t>(cfg_.requestIntervalMs, 1000);
        decoder_->Reset();
        request_ = TRequestRun(cfg_.family->request);
        SendStep(++requestSerial_);
    }

    void SendStep(uint64_t serial) {
        if (serial != requestSerial_ || !request_.Running() || link_ != Link::Up) return;
        const uint32_t pause = request_.SendNext([this](const std::string& bytes) {
            if (cfg_.serial)
                port_->Write(bytes);
            else
                tcp_->Send(bytes);
        });
        if (!request_.Running()) return;
        plat::PostCallback(pause, [this, serial, alive = alive_] {
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
        e.reading = reading_;
        counters_.events.fetch_add(1, std::memory_order_relaxed);
        sink_(e);
    }

    const size_t index_;
    const ScaleConfig& cfg_;
    ScaleCounters& counters_;
    const Core::Sink& sink_;
    std::unique_ptr<TDecoder> decoder_;
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
    TDecodeFailure lastDrop_;
    bool dropped_ = false;
    // Frames that decoded and that failed: [0] the second before, [1] this one (from
    // noiseSince_); the bytes fed to the decoder this second.
    uint64_t good_[2] = {0, 0}, bad_[2] = {0, 0};
    int64_t noiseSince_ = 0;
    uint64_t fedThisSecond_ = 0;

    TRequestRun request_; // the request going out
    uint64_t requestSerial_ = 0;
    int64_t requestStart_ = 0;
    int64_t nextRequest_ = 0;

    Status status_ = Status::Offline;
    int64_t since_ = 0;
    std::string reason_;
    std::shared_ptr<const TReading> reading_;
};

} // namespace

Core::Core(std::vector<ScaleConfig> scales, Sink sink)
    : configs_(std::move(scales)), sink_([this, to = std::move(sink)](const Event& e) {
          delivered_ = true;
          to(e);
      }),
      counters_(std::make_unique<ScaleCounters[]>(configs_.size())) {}

Core::~Core() {
    Stop();
}

void Core::SetPace(std::chrono::microseconds interval, std::function<void()> afterPass) {
    if (thread_.joinable()) return;
#ifdef _WIN32
    // Windows ends a sleep on its timer's ticks (15.6 ms apart unless some program asks for
    // finer): a pace would hold bytes that long, so every wake is handled at once there.
    interval = std::chrono::microseconds{0};
#endif
    pace_ = std::max(interval, std::chrono::microseconds{0});
    afterPass_ = std::move(afterPass);
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
    using Steady = std::chrono::steady_clock;
    Steady::time_point waitBegan = Steady::now() - pace_;
    while (!stop_.load(std::memory_order_relaxed)) {
        if (pace_.count() > 0) {
            // A wait began less than a pace ago: what came since waits for the next pass.
            const Steady::time_point due = waitBegan + pace_;
            if (Steady::now() < due) std::this_thread::sleep_until(due);
            waitBegan = Steady::now();
            now = NowMono();
        }
        plat::WaitAndProcess(static_cast<uint32_t>(std::max<int64_t>(nextHousekeeping - now, 1)));
        if (delivered_) {
            delivered_ = false;
            if (afterPass_) afterPass_();
        }
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
