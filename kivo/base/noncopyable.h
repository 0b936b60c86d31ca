#pragma once

namespace kivo {

// Base of objects that are never copied (threads, mutexes, slots, services).
class NonCopyable {
protected:
    NonCopyable() {}
    ~NonCopyable() = default;

public:
    NonCopyable(const NonCopyable&) = delete;
    NonCopyable& operator=(const NonCopyable&) = delete;
};

}  // namespace kivo
