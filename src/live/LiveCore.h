// The live core: keeps any number of indicators armed at once on one thread, each frame
// decoded by the same driver code as the exported API's polls (one decoder per family), and
// reports every reading and every change of a scale's state as an event.
//
// Converter channels over TCP and local serial ports are opened by the core and re-opened
// with a capped back-off (0.5 s doubling to 30 s) when they fail or go away; indicators that
// send on their own are re-armed after every frame, and an asking indicator (the Ohaus) is
// asked at its configured interval. The core's thread is the only one that touches the
// transports and the drivers; events go to a sink called on that thread, which must return
// quickly (it hands the reading to a thread-safe store).
#pragma once

#include "Family.h"
#include "TReading.h"
#include "platform.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace live {

// A scale's state: ok (frames arrive); stale (no frame for staleAfterMs, or connected and
// none yet); offline (connection or port down, being re-opened); error (bytes arrive but
// nothing decodes for staleAfterMs).
enum class Status { Ok, Stale, Offline, Error };
const char* StatusName(Status s); // "ok", "stale", "offline", "error"

struct ScaleConfig {
    std::string name;
    const Family* family = nullptr;
    // A converter channel (address and port 8880 + channel number) ...
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
    int64_t timeMs = 0;    // Unix milliseconds (UTC): the frame's last byte, or the change
    int64_t sinceMs = 0;   // when the current state began
    std::string reason;    // why the state is not ok (short English text); empty when ok
    bool hasTexts = false; // false before the scale's first frame
    TValueTexts texts;     // what the exported value functions would give after it
    // A frame's bytes: those received from the end of the frame (or dropped frame) before it
    // to this frame's last byte, at most kMaxFrameBytes of them (the last); empty for a
    // change of state.
    std::string frameBytes;
};
constexpr size_t kMaxFrameBytes = 1024;

// Counters of one scale, readable from any thread.
struct ScaleCounters {
    std::atomic<uint64_t> frames{0};     // frames decoded
    std::atomic<uint64_t> dropped{0};    // frames or lines that did not decode
    std::atomic<uint64_t> reconnects{0}; // connections or ports opened again after the first
    std::atomic<uint64_t> bytes{0};      // bytes received
    std::atomic<uint64_t> events{0};     // events reported
};

class Core {
  public:
    using Sink = std::function<void(const Event&)>;

    // `sink` is called on the core's thread for every event. Nothing runs before Start().
    Core(std::vector<ScaleConfig> scales, Sink sink);
    ~Core(); // stops the thread
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

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
    std::unique_ptr<ScaleCounters[]> counters_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace live
