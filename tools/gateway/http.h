// The gateway's HTTP side: the JSON API, the event streams, the converters' I/O, metrics,
// health and the live page, served by web::Server on the gateway's loop. One route table
// lists every resource; every handler answers at once or later without blocking the loop: it
// reads the store, waits on it through the loop (a stable read), or hands work to the
// converters' queues. None touches the live core.
#pragma once

#include "config.h"
#include "dio.h"
#include "register.h"
#include "server.h"
#include "store.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace gateway {

class HttpServer {
  public:
    // Per-scale counters of the live core for /metrics (null: none yet).
    using CountersOf = std::function<const live::ScaleCounters*(size_t scale)>;

    // Requests that may wait for a settled weight at once.
    static constexpr int kMaxStableWaits = 32;
    // Connections beyond the event streams: of one client address, and in all.
    static constexpr size_t kOtherPerAddress = 64;
    static constexpr size_t kOtherTotal = 4096;

    // The limits the gateway serves with (docs/gateway.md, "Limits" under the API).
    static web::Limits LimitsFor(const GatewaySettings& g);

    // A registered weighing's record (JSON), told on the loop's thread once it is answered.
    using WeighingHook = std::function<void(const std::string& scale, const std::string& record)>;

    // `weighings`: the register of [register], or null when the configuration has none.
    HttpServer(boost::asio::io_context& loop, const Config& cfg, Store& store, DioWorkers& dio,
               CountersOf counters, Register* weighings = nullptr,
               WeighingHook onWeighing = nullptr);
    ~HttpServer(); // after the loop has stopped
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Opens the listening socket; false with the reason in `error`.
    bool Bind(std::string& error);
    // New readings are in the store (any thread: the core's).
    void Published();
    // Answers the waiting requests (503: the store must be closed first; the registrations
    // the register has queued once stored), ends the event streams and closes every
    // connection within `grace`. Not on the loop's thread.
    void Stop(std::chrono::milliseconds grace);

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
    std::unique_ptr<web::Server> server_;
};

} // namespace gateway
