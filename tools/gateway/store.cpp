#include "store.h"

#include "record.h"

#include <algorithm>

namespace gateway {

namespace {

tarvel::record::Texts TextsOf(const live::Event& e) {
    tarvel::record::Texts t;
    if (!e.hasTexts) return t;
    t.gross = e.texts.GrossText;
    t.net = e.texts.NetText;
    t.tare = e.texts.TareText;
    t.total = e.texts.TotalText;
    t.counter = e.texts.CounterText;
    t.status = e.texts.StatusText;
    t.motion = e.texts.MotionText;
    return t;
}

ReadingPtr FromRecord(size_t scale, uint64_t seq, live::Status status,
                      const tarvel::record::Json& record) {
    auto r = std::make_shared<Reading>();
    r->scale = scale;
    r->seq = seq;
    r->status = status;
    r->line = tarvel::record::Line(record);
    const auto& net = record["net"];
    if (net.is_number()) r->net = net.get<double>();
    // The MSI indicators do not tell motion ("stable" null): their weight counts as settled
    // when it repeats.
    r->settles = status == live::Status::Ok && record["stable"] != false &&
                 record["overload"] != true && r->net.has_value();
    return r;
}

} // namespace

ReadingPtr InitialReading(size_t scale, const ScaleIdentity& id) {
    tarvel::record::Meta m;
    m.scale = id.name;
    m.model = id.model;
    m.status = "offline";
    m.sinceMs = live::Core::NowUnixMs();
    m.reason = "not connected yet";
    return FromRecord(scale, 0, live::Status::Offline, tarvel::record::Make(m, {}));
}

Store::Store(std::vector<ScaleIdentity> scales)
    : scales_(std::move(scales)), state_(scales_.size()),
      all_(std::max<size_t>(1024, kRingPerScale * scales_.size())) {
    for (size_t i = 0; i < scales_.size(); ++i) {
        latest_.push_back(InitialReading(i, scales_[i]));
        rings_.push_back(std::make_unique<Ring>(kRingPerScale));
    }
}

ReadingPtr Store::Build(const live::Event& e) {
    ScaleState& s = state_[e.scale];
    // seq counts from the first frame on; what happens before it keeps 0.
    if (e.frame) s.hadFrame = true;
    if (s.hadFrame) ++s.seq;
    tarvel::record::Meta m;
    m.scale = scales_[e.scale].name;
    m.model = scales_[e.scale].model;
    m.seq = s.seq;
    if (s.hadFrame) m.timeMs = e.timeMs;
    m.status = live::StatusName(e.status);
    if (e.status != live::Status::Ok) {
        m.sinceMs = e.sinceMs;
        m.reason = e.reason;
    }
    return FromRecord(e.scale, s.seq, e.status, tarvel::record::Make(m, TextsOf(e)));
}

void Store::Publish(const live::Event& e) {
    if (e.scale >= scales_.size()) return;
    ReadingPtr r;
    try {
        r = Build(e);
    } catch (...) {
        return; // memory exhausted: the reading is lost, the core goes on
    }
    Ring& ring = *rings_[e.scale];
    {
        std::lock_guard lock(mu_);
        latest_[e.scale] = r;
        ring.Push(r);
        all_.Push(r);
    }
    ring.cv.notify_all();
    all_.cv.notify_all();
}

std::optional<size_t> Store::Find(const std::string& name) const {
    for (size_t i = 0; i < scales_.size(); ++i)
        if (scales_[i].name == name) return i;
    return std::nullopt;
}

ReadingPtr Store::Latest(size_t scale) const {
    std::lock_guard lock(mu_);
    return latest_[scale];
}

std::vector<ReadingPtr> Store::Snapshot(size_t feed, uint64_t& cursor) const {
    std::lock_guard lock(mu_);
    cursor = RingOf(feed).head;
    if (feed != kAll) return {latest_[feed]};
    return latest_;
}

Store::Taken Store::Take(size_t feed, uint64_t& cursor,
                         std::chrono::steady_clock::time_point deadline) {
    Taken t;
    std::unique_lock lock(mu_);
    Ring& ring = RingOf(feed);
    ring.cv.wait_until(lock, deadline, [&] { return closed_ || ring.head != cursor; });
    t.closed = closed_;
    if (ring.head == cursor) return t;
    const uint64_t size = ring.slots.size();
    if (ring.head - cursor > size) {
        t.lost = ring.head - cursor - size;
        cursor = ring.head - size;
    }
    t.readings.reserve(static_cast<size_t>(ring.head - cursor));
    for (; cursor != ring.head; ++cursor)
        t.readings.push_back(ring.slots[cursor % size]);
    return t;
}

void Store::Close() {
    {
        std::lock_guard lock(mu_);
        closed_ = true;
    }
    for (auto& r : rings_)
        r->cv.notify_all();
    all_.cv.notify_all();
}

bool Store::Closed() const {
    std::lock_guard lock(mu_);
    return closed_;
}

uint64_t Store::Published(size_t scale) const {
    std::lock_guard lock(mu_);
    return scale == kAll ? all_.head : rings_[scale]->head;
}

live::Status Store::StatusOf(size_t scale) const {
    std::lock_guard lock(mu_);
    return latest_[scale]->status;
}

} // namespace gateway
