#pragma once

// Starts a number of threads at once, so that what they do overlaps: each
// calls Wait, which returns once all of them have come to it.

#include <atomic>
#include <thread>

class StartLine {
public:
    explicit StartLine(int n) : _waiting(n) {}
    void Wait()
    {
        _waiting.fetch_sub(1);
        while (_waiting.load() > 0)
            std::this_thread::yield();
    }

private:
    std::atomic<int> _waiting;
};
