#include "store.h"

#include "record.h"
#include "stable.h"

#include <algorithm>

namespace gateway {

namespace {

// The reading says the same as the one before: the same frame again.
bool SameReading(const std::shared_ptr<const TReading>& a,
                 const std::shared_ptr<const TReading>& b) {
    if (a == b) return true;
    return a && b && a->bytes == b->bytes;
}

// Digits of a whole number, without allocating.
std::string_view Digits(uint64_t v, char (&buf)[20]) {
    size_t at = sizeof buf;
    do {
        buf[--at] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    return std::string_view(buf + at, sizeof buf - at);
}

// The shared text of a record's readings: `line` whole in the head, or around seq's and
// time's values when `lineHead` is not empty.
std::shared_ptr<const Reading::Text> MakeText(const std::string& name, const std::string& line,
                                              const std::string& lineHead,
                                              const std::string& lineTail) {
    auto t = std::make_shared<Reading::Text>();
    t->id = "event: reading\nid: " + name + ":";
    t->head = "\ndata: ";
    t->head += lineHead.empty() ? line : lineHead;
    t->tail.reserve(lineTail.size() + 2);
    t->tail = lineTail;
    t->tail += "\n\n";
    return t;
}

// The reading: seq, with the shared text, and, when the text splits, seq and time between its
// head and tail.
std::shared_ptr<Reading> MakeReading(size_t scale, uint64_t seq, live::Status status,
                                     std::shared_ptr<const Reading::Text> text, bool split,
                                     int64_t timeMs) {
    auto r = std::make_shared<Reading>();
    r->scale = scale;
    r->seq = seq;
    r->status = status;
    r->text = std::move(text);
    char digits[20];
    const std::string_view seqText = Digits(seq, digits);
    if (!split) {
        r->SetOwn(seqText, {});
        return r;
    }
    // SEQ,"time":"2026-12-06T23:12:52.123Z"
    char mid[20 + 9 + tarvel::record::kTimeTextMax + 1];
    size_t n = seqText.copy(mid, seqText.size());
    for (const char c : std::string_view(",\"time\":\""))
        mid[n++] = c;
    char time[tarvel::record::kTimeTextMax];
    const size_t timeSize = tarvel::record::FormatTime(timeMs, time);
    n += std::string_view(time, timeSize).copy(mid + n, timeSize);
    mid[n++] = '"';
    r->SetOwn(seqText, std::string_view(mid, n));
    return r;
}

// Splits a record's line into what comes before seq's value and what follows time's, so that
// a reading that differs from the one before only in those two is written without building
// the JSON again. Leaves both empty when the line is not of that form.
void SplitAroundSeqAndTime(const std::string& line, uint64_t seq, const tarvel::record::Json& time,
                           std::string& head, std::string& tail) {
    head.clear();
    tail.clear();
    if (!time.is_string()) return;
    const std::string seqKey = ",\"seq\":";
    const std::string middle = std::to_string(seq) + ",\"time\":" + time.dump();
    const size_t at = line.find(seqKey);
    if (at == std::string::npos || line.compare(at + seqKey.size(), middle.size(), middle) != 0)
        return;
    head = line.substr(0, at + seqKey.size());
    tail = line.substr(at + seqKey.size() + middle.size());
}

} // namespace

void Reading::SetOwn(std::string_view seqText, std::string_view mid) {
    seqSize = static_cast<uint8_t>(seqText.copy(own_, std::min(seqText.size(), size_t{20})));
    midSize = static_cast<uint8_t>(mid.copy(own_ + seqSize, sizeof own_ - seqSize));
}

std::string Reading::Line() const {
    const std::string_view head = std::string_view(text->head).substr(7); // after "\ndata: "
    const std::string_view tail = std::string_view(text->tail);
    std::string line;
    line.reserve(head.size() + midSize + tail.size());
    line += head;
    line += Own(seqSize, midSize);
    line += tail.substr(0, tail.size() - 2); // before "\n\n"
    return line;
}

std::string Reading::Event() const {
    std::string event;
    for (const std::string_view piece : EventPieces())
        event += piece;
    return event;
}

ReadingPtr InitialReading(size_t scale, const ScaleIdentity& id) {
    tarvel::record::Meta m;
    m.scale = id.name;
    m.model = id.model;
    m.status = "offline";
    m.sinceMs = live::Core::NowUnixMs();
    m.reason = "not connected yet";
    const tarvel::record::Json record = tarvel::record::Make(m, tarvel::record::Values{});
    return MakeReading(scale, 0, live::Status::Offline,
                       MakeText(id.name, tarvel::record::Line(record), {}, {}), false, 0);
}

void Store::Ring::Push(const ReadingPtr& r) {
    const uint64_t h = head.load(std::memory_order_relaxed);
    slots[h % slots.size()].store(r);
    head.store(h + 1, std::memory_order_release);
}

Store::Store(std::vector<ScaleIdentity> scales)
    : scales_(std::move(scales)), state_(scales_.size()),
      latest_(new std::atomic<ReadingPtr>[scales_.size()]),
      all_(std::make_unique<Ring>(std::max<size_t>(1024, kRingPerScale * scales_.size()), true)) {
    for (size_t i = 0; i < scales_.size(); ++i) {
        latest_[i].store(InitialReading(i, scales_[i]));
        rings_.push_back(std::make_unique<Ring>(kRingPerScale, false));
    }
}

ReadingPtr Store::Build(const live::Event& e) {
    ScaleState& s = state_[e.scale];
    const ScaleIdentity& id = scales_[e.scale];
    // seq counts from the first frame on; what happens before it keeps 0.
    if (e.frame) s.hadFrame = true;
    if (s.hadFrame) ++s.seq;
    const bool same = s.made && e.status == s.status && e.sinceMs == s.sinceMs &&
                      e.reason == s.reason && SameReading(e.reading, s.reading);
    const bool fresh = !same || !s.hadFrame;
    bool changed = false;
    // A record that says something new, or one whose line does not split around seq and time
    // (those are built whole every time); else only seq and time are new.
    if (fresh || s.head.empty()) {
        tarvel::record::Meta m;
        m.scale = id.name;
        m.model = id.model;
        m.seq = s.seq;
        if (s.hadFrame) m.timeMs = e.timeMs;
        m.status = live::StatusName(e.status);
        if (e.status != live::Status::Ok) {
            m.sinceMs = e.sinceMs;
            m.reason = e.reason;
        }
        const tarvel::record::Json record =
            tarvel::record::Make(m, tarvel::record::FromReading(*id.family, e.reading.get()));
        const std::string line = tarvel::record::Line(record);
        std::string head, tail;
        SplitAroundSeqAndTime(line, s.seq, record["time"], head, tail);
        if (fresh) {
            // Another frame may still say the same: only a record that says more is a change.
            changed = head.empty() || head != s.head || tail != s.tail;
            s.made = true;
            s.status = e.status;
            s.sinceMs = e.sinceMs;
            s.reason = e.reason;
            s.reading = e.reading;
            const auto& net = record["net"];
            s.net = net.is_number() ? std::optional<double>(net.get<double>()) : std::nullopt;
            // The one stable rule (the MSI indicators do not tell motion, "stable" null: their
            // weight counts as settled when it repeats).
            s.settles = e.status == live::Status::Ok &&
                        tarvel::stable::Settles(tarvel::stable::FromRecord(record));
        }
        s.text = MakeText(id.name, line, head, tail);
        s.head = std::move(head);
        s.tail = std::move(tail);
    }
    auto r = MakeReading(e.scale, s.seq, e.status, s.text, !s.head.empty(), e.timeMs);
    r->changed = changed;
    r->net = s.net;
    r->settles = s.settles;
    r->timeMs = e.timeMs;
    if (e.frame) r->typed = e.reading;
    // The rings are pushed on this thread only: their heads are the reading's places.
    r->scaleIndex = rings_[e.scale]->head.load(std::memory_order_relaxed);
    r->allIndex = all_->head.load(std::memory_order_relaxed);
    return r;
}

ReadingPtr Store::Publish(const live::Event& e) {
    if (e.scale >= scales_.size()) return nullptr;
    ReadingPtr r;
    try {
        r = Build(e);
        version_.fetch_add(1); // odd: publishing (sequentially consistent, as the loads)
        latest_[e.scale].store(r);
        rings_[e.scale]->Push(r);
        all_->Push(r);
        version_.fetch_add(1);
    } catch (...) {
        return nullptr; // memory exhausted: the reading is lost, the core goes on
    }
    return r;
}

std::optional<size_t> Store::Find(const std::string& name) const {
    for (size_t i = 0; i < scales_.size(); ++i)
        if (scales_[i].name == name) return i;
    return std::nullopt;
}

ReadingPtr Store::Latest(size_t scale) const {
    return latest_[scale].load();
}

std::vector<ReadingPtr> Store::Snapshot(size_t feed, uint64_t& cursor) const {
    std::vector<ReadingPtr> out;
    for (;;) {
        const uint64_t v = version_.load();
        if (v % 2 == 0) {
            out.clear();
            cursor = RingOf(feed).head.load();
            if (feed != kAll)
                out.push_back(latest_[feed].load());
            else
                for (size_t i = 0; i < scales_.size(); ++i)
                    out.push_back(latest_[i].load());
            if (version_.load() == v) return out;
        }
        std::this_thread::yield(); // a reading is being published: a matter of microseconds
    }
}

void Store::Take(size_t feed, uint64_t& cursor, Taken& t) {
    Ring& ring = RingOf(feed);
    const uint64_t head = ring.head.load(std::memory_order_acquire);
    const uint64_t size = ring.slots.size();
    if (head - cursor > size) {
        t.lost = head - cursor - size;
        cursor = head - size;
    }
    for (; cursor != head; ++cursor) {
        ReadingPtr r = ring.slots[cursor % size].load();
        if (r && ring.IndexOf(*r) == cursor)
            t.readings.push_back(std::move(r));
        else
            ++t.lost; // overwritten since the head was read
    }
    t.closed = closed_.load();
}

void Store::Close() {
    closed_ = true;
}

uint64_t Store::Published(size_t feed) const {
    return RingOf(feed).head.load();
}

} // namespace gateway
