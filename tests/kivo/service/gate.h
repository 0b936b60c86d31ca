#pragma once

#include <gtest/gtest.h>

#include <atomic>

#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/service/service.h"

namespace kivo_test {

// A gate a handler can be parked at: Gate counts itself in and waits while
// the gate is closed.
inline std::atomic<int> g_gate_open{1};
inline std::atomic<int> g_in_gate{0};

inline void Gate(kivo::Message&)
{
    g_in_gate.fetch_add(1);
    while (g_gate_open.load() == 0)
        kivo::this_thread::Sleep(1);
}

// Each case starts with the gate open and nobody in it, and ends with it
// open, so that no handler stays parked after its case.
class GateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_gate_open = 1;
        g_in_gate = 0;
    }
    void TearDown() override { g_gate_open = 1; }
};

}  // namespace kivo_test
