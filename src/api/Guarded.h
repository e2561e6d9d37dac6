// The wrapper every exported function runs its body in: notifications that came in since
// the last call are handled first (plat::CatchUp), nothing thrown inside ever reaches the
// host (any exception turns into the function's failure value), and with the trace on the
// call is recorded with its arguments and result.
#pragma once

#include "Trace.h"
#include "platform.h"

template <class R, class F, class... A>
R Guarded(const char* name, R failure, F&& body, const A&... args) noexcept {
    R result = failure;
    try {
        plat::CatchUp();
        result = body();
    } catch (...) {
        result = failure;
    }
    if (trace::On()) {
        try {
            trace::Call(name, result, args...);
        } catch (...) {
        }
    }
    return result;
}

// For the functions that return nothing.
template <class F, class... A>
void GuardedVoid(const char* name, F&& body, const A&... args) noexcept {
    try {
        plat::CatchUp();
        body();
    } catch (...) {
    }
    if (trace::On()) {
        try {
            trace::Line(trace::Invocation(name, args...));
        } catch (...) {
        }
    }
}
