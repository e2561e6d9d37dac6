// The converters' digital inputs and outputs. An exchange with a converter's IO port blocks
// for up to 10 s when the converter is silent, so each converter has a worker thread of its
// own with a short queue: a slow converter delays only its own requests, never the readings
// nor the HTTP threads of other requests, and a full queue is refused at once.
#pragma once

#include "tarvel6_internal.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace gateway {

struct DioOutcome {
    enum Kind {
        Done,        // the converter answered: `reply` holds its reply
        Unreachable, // no connection: refused, or not made within 10 s
        NoAnswer,    // connected, but no complete reply within 10 s (or the exchange failed)
        Busy,        // the converter's queue is full, or the request waited too long in it
        Stopping,    // the gateway is stopping
    } kind = Stopping;
    std::string reply;
};

// A short text for the log and the MQTT result: "done", "converter unreachable", "no answer",
// "converter busy" or "gateway stopping".
const char* OutcomeText(DioOutcome::Kind kind);

class DioWorkers {
  public:
    // Requests that may wait per converter besides the one running; more are refused (Busy).
    static constexpr size_t kQueueLimit = 4;
    // A request not started this long after it was queued is answered Busy.
    static constexpr std::chrono::seconds kQueueWait{15};

    explicit DioWorkers(std::vector<std::string> addresses);
    ~DioWorkers(); // Stop(), then joins the workers that are idle
    DioWorkers(const DioWorkers&) = delete;
    DioWorkers& operator=(const DioWorkers&) = delete;

    // Runs `command` with converter `index`, waiting for its outcome (or for Stop()).
    DioOutcome Run(size_t index, const std::string& command);

    // Answers every waiting request Stopping and ends the workers; returns at once.
    void Stop();
    // True when a worker is still inside an exchange (it cannot be interrupted).
    bool Busy() const;

    uint64_t Exchanges() const;

  private:
    struct Job {
        std::string command;
        std::chrono::steady_clock::time_point queued;
        bool done = false;
        DioOutcome outcome;
    };
    // A worker's state is shared with its thread, so a thread that is still inside an
    // exchange when the gateway stops never touches freed memory.
    struct Worker {
        std::string address;
        std::deque<std::shared_ptr<Job>> queue;
        std::shared_ptr<Job> current; // the request inside an exchange
        bool running = false;         // inside an exchange
        bool stop = false;
        std::thread thread;
    };
    struct Shared {
        std::mutex mu;
        std::condition_variable cv; // jobs queued, jobs done, stop
        uint64_t exchanges = 0;
    };

    static void Loop(std::shared_ptr<Shared> shared, std::shared_ptr<Worker> w);

    std::shared_ptr<Shared> shared_;
    std::vector<std::shared_ptr<Worker>> workers_;
};

// The input port value in the reply of an "IN" exchange, or nothing when the exchange failed
// or the reply holds none.
std::optional<int32_t> InputValue(const DioOutcome& o);
// The value's eight low bits as "S" (on) and "N" (off), bit 0 first: 5 is "SNSNNNNN"
// (PortBits, as DIO_InPortStr gives them).
inline std::string InputBits(int32_t value) {
    return PortBits(value);
}

} // namespace gateway
