// The HTTP server's worker threads. The server gives each connection to one worker for as
// long as it lasts, and an event stream lasts as long as its client stays, so the pool grows
// on demand up to a limit sized for the event-stream clients and the other requests, and
// threads that stay idle for a while end again.
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace gateway {

class WorkerPool : public httplib::TaskQueue {
  public:
    // `keep` threads stay even when idle; at most `max` run at once (connections beyond wait
    // for a free one).
    WorkerPool(size_t keep, size_t max, std::chrono::milliseconds idleEnd);
    ~WorkerPool() override;

    void enqueue(std::function<void()> fn) override;
    void shutdown() override;

    size_t Threads() const;
    size_t Busy() const;
    size_t Waiting() const;

  private:
    struct Thread {
        std::thread thread;
        bool finished = false;
    };
    void Work(std::list<Thread>::iterator self);
    void ReapFinished(std::unique_lock<std::mutex>& lock);

    const size_t keep_, max_;
    const std::chrono::milliseconds idleEnd_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::list<Thread> threads_;
    size_t live_ = 0; // threads not finished
    size_t idle_ = 0; // threads waiting for a job
    bool shutdown_ = false;
};

} // namespace gateway
