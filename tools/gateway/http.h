// The gateway's HTTP side: the JSON API, the event streams, the converters' I/O, metrics,
// health and the live page, on cpp-httplib. Every handler reads the store (waiting on it
// where a request waits) or hands work to the DIO workers; none touches the live core.
#pragma once

#include "config.h"
#include "dio.h"
#include "store.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace gateway {

class Listener;
class WorkerPool;

class HttpServer {
  public:
    // Per-scale counters of the live core for /metrics (null: none yet).
    using CountersOf = std::function<const live::ScaleCounters*(size_t scale)>;

    // HTTP worker threads besides the event-stream clients (sse_max_clients of them).
    static constexpr size_t kOtherWorkers = 64;
    // Requests that may wait for a settled weight at once.
    static constexpr int kMaxStableWaits = 32;

    HttpServer(const Config& cfg, Store& store, DioWorkers& dio, CountersOf counters);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Opens the listening socket; false with the reason in `error`.
    bool Bind(std::string& error);
    // Serves until Stop(); run it on a thread of its own. Re-opens the listener should it
    // fail while nobody asked to stop.
    void Serve();
    // Ends Serve(): the listener closes, every connection ends (the store must be closed
    // first, so that event streams and waits return). A connection idle between two requests
    // keeps its worker for up to its keep-alive time (5 s): false when Serve() has not
    // returned within `grace`.
    bool Stop(std::chrono::milliseconds grace);

  private:
    void Routes();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace gateway
