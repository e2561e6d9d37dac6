// The live core: keeps any number of indicators live at once on one thread, each one's bytes
// decoded by its family's decoder (the one the exported API's polls use too), and reports
// every reading and every change of a scale's state as an event that carries the reading.
//
// Converter channels over TCP and local serial ports are opened by the core and re-opened
// with a capped back-off (0.5 s doubling to 30 s) when they fail or go away; indicators that
// send on their own are re-armed after every frame, and an asking indicator (the Ohaus) is
// asked at its configured interval. The core's thread is the only one that touches the
// transports and the decoders; events go to a sink called on that thread, which must return
// quickly (it hands the reading to a thread-safe store).
#pragma once

#include "../drivers/Family.h"
#include "../drivers/Reading.h"
#include "../transport/platform.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace live {

// A scale's state: ok (frames arrive); stale (no frame for staleAfterMs, or connected and
// none yet); offline (connection or port down, being re-opened); error (bytes arrive but
// nothing decodes for staleAfterMs, or the input is noise: see kNoise* below).
enum class Status { Ok, Stale, Offline, Error };
const char* StatusName(Status s); // "ok", "stale", "offline", "error"

// Noise. Over the current second and the one before, a scale with more frames or lines that
// failed to decode than frames that decoded, and at least kNoiseMinFailures failed, is in
// error ("the input is mostly noise: ...", or "bytes arrive but no frame decodes" when none
// did); the frames that still decode meanwhile (a random
// frame passes a 7-bit check one time in 128) are counted and never published. An indicator
// whose frames fail now and then (one in a hundred) stays ok. While a scale is noisy at most
// kNoiseBytesPerSecond of its bytes a second go to its decoder; the rest are read in large
// pieces and thrown away (counted), so a flood costs little more than the copying.
constexpr int64_t kNoiseWindowMs = 1000;
constexpr uint64_t kNoiseMinFailures = 5;
constexpr uint64_t kNoiseBytesPerSecond = 16 * 1024;

struct ScaleConfig {
    std::string name;
    const Family* family = nullptr;
    // A converter channel (address, and the port of its letter: ConverterPort) ...
    std::string address;
    int port = 0;
    // ... or a local serial port (device path, or COMn on Windows) with its line settings.
    plat::SerialSettings line;
    bool serial = false;
    uint32_t staleAfterMs = 2000;
    // An asking indicator is asked this often (a reply that takes longer delays the next).
    uint32_t requestIntervalMs = 500;
};

// One reading of one scale: a frame, or a change of its state.
struct Event {
    size_t scale = 0; // position in the configuration
    bool frame = false;
    Status status = Status::Offline;
    int64_t timeMs = 0;  // Unix milliseconds (UTC): the frame's last byte, or the change
    int64_t sinceMs = 0; // when the current state began
    std::string reason;  // why the state is not ok (short English text); empty when ok
    // The scale's last reading: this event's frame, or the last one before a change of state;
    // null before the first. Shared, never changed once made.
    std::shared_ptr<const TReading> reading;
};

// Counters of one scale, readable from any thread.
struct ScaleCounters {
    std::atomic<uint64_t> frames{0};      // frames decoded
    std::atomic<uint64_t> dropped{0};     // frames or lines that did not decode
    std::atomic<uint64_t> reconnects{0};  // connections or ports opened again after the first
    std::atomic<uint64_t> bytes{0};       // bytes received
    std::atomic<uint64_t> discarded{0};   // of them, thrown away undecoded while noisy
    std::atomic<uint64_t> noiseFrames{0}; // frames decoded while noisy, not published
    std::atomic<uint64_t> events{0};      // events reported
};

class Core {
  public:
    using Sink = std::function<void(const Event&)>;

    // `sink` is called on the core's thread for every event. Nothing runs before Start().
    Core(std::vector<ScaleConfig> scales, Sink sink);
    ~Core(); // stops the thread
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    // Under load, the loop waits for its connections at most once per `interval`: bytes that
    // arrive sooner after a wait began stay in the system's buffers, at most that long, and
    // the next pass takes them with those of every other connection that was ready. One wake
    // then serves many indicators, which is most of what a busy core saves (0, the default:
    // every wake is handled at once; always so on Windows, whose sleeps end on the system
    // timer's ticks, 15.6 ms apart by default). `afterPass`, if set, runs on the core's thread
    // after each pass of the loop that delivered events, once however many it delivered. Before
    // Start().
    void SetPace(std::chrono::microseconds interval, std::function<void()> afterPass);

    // Starts the core's thread: every scale's transport is opened at once.
    void Start();
    // Ends the thread (within about a tenth of a second) and closes every transport.
    void Stop();

    size_t Size() const { return configs_.size(); }
    const ScaleConfig& Config(size_t i) const { return configs_[i]; }
    const ScaleCounters& Counters(size_t i) const { return counters_[i]; }

    // The millisecond wall clock the events carry.
    static int64_t NowUnixMs();

  private:
    void Run();

    const std::vector<ScaleConfig> configs_;
    Sink sink_;
    std::chrono::microseconds pace_{0};
    std::function<void()> afterPass_;
    bool delivered_ = false; // the core's thread: an event went out in this pass
    std::unique_ptr<ScaleCounters[]> counters_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace live
