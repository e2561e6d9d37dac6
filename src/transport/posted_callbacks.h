// Posted callbacks, the stand-in for a host timer: a per-thread queue that the platform's
// message processing runs from. Shared by every platform file.
#pragma once

#include <cstdint>

namespace plat::detail {

// The steady millisecond clock that the tick counter and the callbacks' due times read.
uint64_t MonotonicMs();

// Runs every callback posted on this thread that is due; each may re-enter the library.
void RunDueCallbacks();
// Milliseconds until the next callback posted on this thread is due, at most `limit`.
uint64_t UntilNextCallback(uint64_t limit);

} // namespace plat::detail
