// The store of readings: the latest reading of every scale and the recent ones in order, fed
// by the live core's thread and read by the HTTP threads, which wait on it (never on the core).
//
// Every event of the core becomes one reading record, built once from the event's reading and
// shared as a string by every client that sends it (the event streams and MQTT). Readings are
// kept in rings (one per scale, and one for all scales): a reader holds a cursor into a ring
// and takes what was published after it, so a slow reader never holds up the core or the
// other readers; one that falls a whole ring behind loses the oldest readings it had not
// taken yet.
//
// Readers never wait for each other, nor in the store: the core tells the HTTP loop after
// each pass that published (the kick), and the loop then takes what is new for each stream
// and waiting read. Each ring's slots are std::atomic<std::shared_ptr>, which GCC's library
// implements with a small spin lock per slot (it is not lock-free), held for a pointer copy
// only.
#pragma once

#include "record.h"
#include "tarvel6_internal.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gateway {

// One published reading of one scale.
struct Reading {
    size_t scale = 0;
    uint64_t seq = 0;
    live::Status status = live::Status::Offline;
    // The record says more than the scale's previous one did (seq and time aside).
    bool changed = true;
    bool settles = false;      // ok, not moving (or the family does not tell), not out of range
    std::optional<double> net; // the record's "net"
    int64_t timeMs = 0;        // Unix ms of the frame's last byte, or of the change of state
    // The frame's decoded reading (live::Event::reading); null for a change of state.
    std::shared_ptr<const TReading> typed;
    // Its places in its scale's ring and in the ring of all scales.
    uint64_t scaleIndex = 0, allIndex = 0;

    // The reading record (one line of JSON) inside the event of the event streams, in pieces:
    // what a scale's readings have in common while they say the same (all but seq and time)
    // is built once and shared by them; seq and time are the reading's own.
    struct Text {
        std::string id;   // "event: reading\nid: NAME:"
        std::string head; // "\ndata: " and the line up to seq's value
        std::string tail; // the line after time's value, and "\n\n"
    };
    std::shared_ptr<const Text> text;

    // The record, one line of JSON.
    std::string Line() const;
    // The event: "event: reading\nid: NAME:SEQ\ndata: " LINE "\n\n", in the pieces it is
    // kept in (sent as they are to every client).
    std::array<std::string_view, 5> EventPieces() const {
        return {text->id, Own(0, seqSize), text->head, Own(seqSize, midSize), text->tail};
    }
    std::string Event() const;

    // Sets the reading's own texts: seq for the id, and what goes between the text's head and
    // tail (seq and time, or nothing when the line is all in the head).
    void SetOwn(std::string_view seqText, std::string_view mid);

  private:
    std::string_view Own(size_t at, size_t size) const { return std::string_view(own_ + at, size); }
    // seq's digits, then the line's middle: `,"seq":` is in the head, then
    // SEQ,"time":"2026-12-06T23:12:52.123Z" (at most 20 + 9 + kTimeTextMax + 1 characters).
    char own_[20 + 20 + 9 + tarvel::record::kTimeTextMax + 1] = {};
    uint8_t seqSize = 0, midSize = 0;
};
using ReadingPtr = std::shared_ptr<const Reading>;

struct ScaleIdentity {
    std::string name;
    std::string model; // the family's model name: "5817", "krt", ...
    const Family* family = nullptr;
};

class Store {
  public:
    // Which ring a reader follows: one scale's (its position) or every scale's.
    static constexpr size_t kAll = static_cast<size_t>(-1);
    // Readings each ring keeps: a scale's ring this many, the ring of all scales this many per
    // scale (at least 1024).
    static constexpr size_t kRingPerScale = 256;
    explicit Store(std::vector<ScaleIdentity> scales);
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // On the core's thread: the event becomes the scale's latest reading, which is returned
    // (null when the event names no scale, or memory ran out).
    ReadingPtr Publish(const live::Event& e);

    size_t Size() const { return scales_.size(); }
    const ScaleIdentity& Identity(size_t i) const { return scales_[i]; }
    // The index of a scale's name, or nullopt.
    std::optional<size_t> Find(const std::string& name) const;

    ReadingPtr Latest(size_t scale) const;
    // The latest reading of every scale of `feed` (in configuration order) and the cursor that
    // follows them: Take() with it returns exactly the readings published afterwards.
    std::vector<ReadingPtr> Snapshot(size_t feed, uint64_t& cursor) const;

    struct Taken {
        std::vector<ReadingPtr> readings; // in publication order
        uint64_t lost = 0;                // readings overwritten before they were taken
        bool closed = false;              // the store is closing: answer what waits
        void Clear() {
            readings.clear();
            lost = 0;
            closed = false;
        }
    };
    // Adds the readings of `feed` after `cursor` (moved past them) to `t`, without waiting. A
    // reader that takes again and again keeps one Taken: its vector's memory is used again.
    void Take(size_t feed, uint64_t& cursor, Taken& t);

    // From now on every Take says `closed` (the gateway is stopping).
    void Close();
    bool Closed() const { return closed_.load(); }

    // Readings published for one scale (or kAll).
    uint64_t Published(size_t feed) const;
    live::Status StatusOf(size_t scale) const { return Latest(scale)->status; }

  private:
    struct Ring {
        Ring(size_t capacity, bool all) : slots(capacity), all(all) {}
        std::vector<std::atomic<ReadingPtr>> slots;
        const bool all;                // the ring of every scale (Reading::allIndex)
        std::atomic<uint64_t> head{0}; // readings ever pushed
        uint64_t IndexOf(const Reading& r) const { return all ? r.allIndex : r.scaleIndex; }
        void Push(const ReadingPtr& r); // the core's thread only
    };
    struct ScaleState { // written on the core's thread only
        uint64_t seq = 0;
        bool hadFrame = false;
        // What the last record was made from but for seq and time: most readings of a scale
        // repeat the one before (the same frame again), and then only those two change.
        bool made = false;
        live::Status status = live::Status::Offline;
        int64_t sinceMs = 0;
        std::string reason;
        std::shared_ptr<const TReading> reading;
        // Its JSON line around the values of seq and time, `{...,"seq":` and `,"status"...}`
        // (both empty when the line does not split so), and what the record says.
        std::string head, tail;
        std::optional<double> net;
        bool settles = false;
        // The shared text of its readings; it holds the line whole when it does not split.
        std::shared_ptr<const Reading::Text> text;
    };

    ReadingPtr Build(const live::Event& e);
    Ring& RingOf(size_t feed) const { return feed == kAll ? *all_ : *rings_[feed]; }

    const std::vector<ScaleIdentity> scales_;
    std::vector<ScaleState> state_; // core thread only

    // Odd while a reading is being published: a snapshot taken meanwhile is taken again.
    std::atomic<uint64_t> version_{0};
    std::unique_ptr<std::atomic<ReadingPtr>[]> latest_;
    std::vector<std::unique_ptr<Ring>> rings_;
    std::unique_ptr<Ring> all_;
    std::atomic<bool> closed_{false};
};

// The initial reading of a scale before the core has said anything about it: seq 0, no time,
// offline ("not connected yet").
ReadingPtr InitialReading(size_t scale, const ScaleIdentity& id);

} // namespace gateway
