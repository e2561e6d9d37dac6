// The converters' digital inputs and outputs. Each exchange with a converter's IO port (TCP
// 8880: the command and CR, then the reply up to " OK\n\r") runs on the gateway's loop, never
// on a thread of its own. Each converter runs one exchange at a time and keeps a short queue:
// a silent converter (10 s) delays only its own requests, never the readings nor other
// converters, and a full queue is refused at once. Stop() ends every exchange at once, also
// one that waits for a silent converter.
#pragma once

#include "tarvel6_internal.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace boost::asio {
class io_context;
}

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
    // Called once with the outcome of a request, on the loop's thread. It must not block.
    using Done = std::function<void(DioOutcome)>;

    // Requests that may wait per converter besides the one running; more are refused (Busy).
    static constexpr size_t kQueueLimit = 4;
    // A request not started this long after it was queued is answered Busy.
    static constexpr std::chrono::seconds kQueueWait{15};

    DioWorkers(boost::asio::io_context& loop, std::vector<std::string> addresses);
    ~DioWorkers();
    DioWorkers(const DioWorkers&) = delete;
    DioWorkers& operator=(const DioWorkers&) = delete;

    // Queues `command` for converter `index`; `done` gets its outcome. Any thread.
    void Run(size_t index, std::string command, Done done);
    // Every queued and running request ends now with Stopping, and later ones too. Any thread;
    // the outcomes are given on the loop, in order with what was asked before.
    void Stop();

    uint64_t Exchanges() const;

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
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
