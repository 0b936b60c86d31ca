#pragma once

#include <stdint.h>

#include "kivo/base/kivo_pthread.h"
#include "kivo/base/platform/linux/__platform_kernel.h"

namespace kivo_test {

// A time-out or upper bound that only a hang reaches: a loaded machine, an
// emulator or the thread checker never make a correct step take this long.
constexpr uint32_t kHangMs = 30000;

// Polls a condition (on a slow emulator too) up to `ms`; true once it holds.
template <typename F>
bool WaitFor(F pred, uint32_t ms = kHangMs)
{
    uint32_t start = kivo_tick_ms();
    while (!pred()) {
        if (kivo_tick_ms() - start > ms)
            return false;
        kivo::this_thread::Sleep(1);
    }
    return true;
}

}  // namespace kivo_test
