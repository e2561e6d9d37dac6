// The wrapper every exported function runs its body in: notifications that came in since
// the last call are handled first (ExportEntry), and nothing thrown inside ever reaches the
// host: any exception turns into the function's failure value.
#pragma once

#include "Definir.h"

template <class R, class F> R Guarded(R failure, F&& body) noexcept {
    try {
        ExportEntry();
        return body();
    } catch (...) {
        return failure;
    }
}
