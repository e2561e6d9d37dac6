#include "posted_callbacks.h"

#include "platform.h"

#include <algorithm>
#include <chrono>
#include <deque>

namespace plat {

namespace {

struct Posted {
    uint64_t due;
    uint64_t seq; // keeps callbacks due at the same moment in posting order
    std::function<void()> fn;
};

struct Queue {
    std::deque<Posted> items;
    uint64_t seq = 0;
};

thread_local Queue t_posted;

} // namespace

namespace detail {

uint64_t MonotonicMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace detail

void PostCallback(uint32_t delayMs, std::function<void()> fn) {
    t_posted.items.push_back(
        Posted{detail::MonotonicMs() + delayMs, ++t_posted.seq, std::move(fn)});
}

namespace detail {

void RunDueCallbacks() {
    const uint64_t now = MonotonicMs();
    for (;;) {
        auto& q = t_posted.items;
        auto it = std::min_element(q.begin(), q.end(), [](const Posted& a, const Posted& b) {
            return a.due != b.due ? a.due < b.due : a.seq < b.seq;
        });
        if (it == q.end() || it->due > now) break;
        auto fn = std::move(it->fn);
        q.erase(it);
        try {
            if (fn) fn();
        } catch (...) {
        }
    }
}

uint64_t UntilNextCallback(uint64_t limit) {
    const uint64_t now = MonotonicMs();
    for (const auto& p : t_posted.items)
        limit = std::min<uint64_t>(limit, p.due > now ? p.due - now : 0);
    return limit;
}

} // namespace detail

} // namespace plat
