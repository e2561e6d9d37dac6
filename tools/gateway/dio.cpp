#include "dio.h"

namespace gateway {

DioWorkers::DioWorkers(std::vector<std::string> addresses) : shared_(std::make_shared<Shared>()) {
    for (std::string& a : addresses) {
        auto w = std::make_shared<Worker>();
        w->address = std::move(a);
        workers_.push_back(w);
    }
    for (auto& w : workers_)
        w->thread = std::thread(Loop, shared_, w);
}

DioWorkers::~DioWorkers() {
    Stop();
    for (auto& w : workers_) {
        if (!w->thread.joinable()) continue;
        bool running;
        {
            std::lock_guard lock(shared_->mu);
            running = w->running;
        }
        // A worker inside an exchange cannot be interrupted; it keeps its state alive and
        // ends on its own when the exchange is over.
        if (running)
            w->thread.detach();
        else
            w->thread.join();
    }
}

void DioWorkers::Loop(std::shared_ptr<Shared> shared, std::shared_ptr<Worker> w) {
    std::unique_lock lock(shared->mu);
    for (;;) {
        shared->cv.wait(lock, [&] { return w->stop || !w->queue.empty(); });
        if (w->stop) return;
        std::shared_ptr<Job> job = w->queue.front();
        w->queue.pop_front();
        if (std::chrono::steady_clock::now() - job->queued > kQueueWait) {
            job->outcome.kind = DioOutcome::Busy;
            job->done = true;
            shared->cv.notify_all();
            continue;
        }
        w->running = true;
        w->current = job;
        lock.unlock();
        DioOutcome o;
        try {
            const IoReply r = IoExchangeWith(w->address, job->command);
            if (!r.connected)
                o.kind = DioOutcome::Unreachable;
            else if (!r.ok || !r.complete)
                o.kind = DioOutcome::NoAnswer;
            else
                o.kind = DioOutcome::Done;
            o.reply = r.text;
        } catch (...) {
            o.kind = DioOutcome::NoAnswer;
        }
        lock.lock();
        w->running = false;
        w->current.reset();
        ++shared->exchanges;
        if (!job->done) { // Stop() may have answered it already
            job->outcome = std::move(o);
            job->done = true;
        }
        shared->cv.notify_all();
    }
}

DioOutcome DioWorkers::Run(size_t index, const std::string& command) {
    auto job = std::make_shared<Job>();
    job->command = command;
    job->queued = std::chrono::steady_clock::now();
    Worker& w = *workers_.at(index);
    std::unique_lock lock(shared_->mu);
    if (w.stop) return {DioOutcome::Stopping, {}};
    if (w.queue.size() >= kQueueLimit) return {DioOutcome::Busy, {}};
    w.queue.push_back(job);
    shared_->cv.notify_all();
    shared_->cv.wait(lock, [&] { return job->done; });
    return job->outcome;
}

void DioWorkers::Stop() {
    std::lock_guard lock(shared_->mu);
    for (auto& w : workers_) {
        w->stop = true;
        for (auto& job : w->queue) {
            job->outcome.kind = DioOutcome::Stopping;
            job->done = true;
        }
        w->queue.clear();
        // The request whose exchange is running is answered too: its handler must not wait
        // for an exchange that may take 10 s more.
        if (w->current && !w->current->done) {
            w->current->outcome.kind = DioOutcome::Stopping;
            w->current->done = true;
        }
    }
    shared_->cv.notify_all();
}

bool DioWorkers::Busy() const {
    std::lock_guard lock(shared_->mu);
    for (const auto& w : workers_)
        if (w->running) return true;
    return false;
}

uint64_t DioWorkers::Exchanges() const {
    std::lock_guard lock(shared_->mu);
    return shared_->exchanges;
}

std::optional<int32_t> InputValue(const DioOutcome& o) {
    if (o.kind != DioOutcome::Done) return std::nullopt;
    const int32_t v = InPortOfReply(o.reply);
    if (v < 0) return std::nullopt;
    return v;
}

const char* OutcomeText(DioOutcome::Kind kind) {
    switch (kind) {
    case DioOutcome::Done:
        return "done";
    case DioOutcome::Unreachable:
        return "converter unreachable";
    case DioOutcome::NoAnswer:
        return "no answer";
    case DioOutcome::Busy:
        return "converter busy";
    case DioOutcome::Stopping:
        break;
    }
    return "gateway stopping";
}

} // namespace gateway
