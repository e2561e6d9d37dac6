#include "pool.h"

namespace gateway {

WorkerPool::WorkerPool(size_t keep, size_t max, std::chrono::milliseconds idleEnd)
    : keep_(keep), max_(max < 1 ? 1 : max), idleEnd_(idleEnd) {}

WorkerPool::~WorkerPool() {
    shutdown();
}

void WorkerPool::enqueue(std::function<void()> fn) {
    std::unique_lock lock(mu_);
    ReapFinished(lock);
    jobs_.push_back(std::move(fn));
    if (idle_ < jobs_.size() && live_ < max_) {
        try {
            auto it = threads_.emplace(threads_.end());
            ++live_;
            try {
                it->thread = std::thread([this, it] { Work(it); });
            } catch (...) {
                --live_;
                threads_.erase(it);
                // No thread could be made: the job waits for a running one.
            }
        } catch (...) {
        }
    }
    cv_.notify_one();
}

void WorkerPool::Work(std::list<Thread>::iterator self) {
    std::unique_lock lock(mu_);
    for (;;) {
        ++idle_;
        const bool woke = cv_.wait_for(lock, idleEnd_, [&] { return shutdown_ || !jobs_.empty(); });
        --idle_;
        if (!woke && live_ > keep_) break; // idle for a while and not needed
        if (jobs_.empty()) {
            if (shutdown_) break;
            continue;
        }
        std::function<void()> fn = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        try {
            fn();
        } catch (...) {
            // A connection's handler ended badly; the worker goes on with the next.
        }
        lock.lock();
    }
    --live_;
    self->finished = true;
}

void WorkerPool::ReapFinished(std::unique_lock<std::mutex>& lock) {
    // A finished thread has left Work() but may not have returned yet: join outside the lock.
    std::list<Thread> done;
    for (auto it = threads_.begin(); it != threads_.end();) {
        auto next = std::next(it);
        if (it->finished) done.splice(done.end(), threads_, it);
        it = next;
    }
    if (done.empty()) return;
    lock.unlock();
    for (auto& t : done)
        if (t.thread.joinable()) t.thread.join();
    lock.lock();
}

void WorkerPool::shutdown() {
    std::unique_lock lock(mu_);
    shutdown_ = true;
    cv_.notify_all();
    // Jobs still queued are connections nobody served: they run now, each sees the server
    // stopping and closes its socket.
    std::list<Thread> all;
    all.splice(all.end(), threads_);
    lock.unlock();
    for (auto& t : all)
        if (t.thread.joinable()) t.thread.join();
}

size_t WorkerPool::Threads() const {
    std::lock_guard lock(mu_);
    return live_;
}

size_t WorkerPool::Busy() const {
    std::lock_guard lock(mu_);
    return live_ - idle_;
}

size_t WorkerPool::Waiting() const {
    std::lock_guard lock(mu_);
    return jobs_.size();
}

} // namespace gateway
