#pragma once

// Thread creation that fails on demand, for tests linked with
// -Wl,--wrap=pthread_create (see tests/CMakeLists.txt): thread_creation_fault.cpp
// holds the wrapper.

#include <atomic>

namespace kivo_test {

// Creations still allowed before one fails; -1: none fails.
extern std::atomic<int> g_creations_left;

// From here to the end of the scope, `allowed` creations go through and
// every later one fails with EAGAIN.
struct FailNextCreations {
    explicit FailNextCreations(int allowed) { g_creations_left = allowed; }
    ~FailNextCreations() { g_creations_left = -1; }
};

}  // namespace kivo_test
