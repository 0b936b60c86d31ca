#pragma once

// kivo::Slot: the owner side of connections (routes, timers, watchers).
//
// A slot holds a use mark that it clears when it is destroyed. Whoever keeps
// a callback into the slot's owner keeps an Observer of that mark and asks
// IsLive before calling, so a callback that outlives its target is skipped
// instead of calling into a destroyed object.

#include <stdint.h>

#include <atomic>

#include "kivo/base/noncopyable.h"
#include "kivo/common/shared_ptr.h"

namespace kivo {

class Slot : public NonCopyable {
public:
    // Liveness of one slot, shared by the slot and all its observers.
    class UseMark : public RefObject {
    public:
        UseMark() : alive(1) {}
        ~UseMark() override {}

        std::atomic<uint8_t> alive;
    };

    // What a connection keeps: live while enabled and while the mark is
    // alive. An observer without a mark is never live.
    class Observer {
    public:
        Observer() : enabled(0) {}
        explicit Observer(const IntrusivePtr<UseMark>& m) : enabled(1), mark(m) {}

        bool IsLive() const { return enabled != 0 && !mark.Empty() && mark->alive.load(std::memory_order_acquire) != 0; }
        bool SameMark(const Observer& rhs) const { return mark.Get() == rhs.mark.Get(); }

        uint8_t enabled;
        IntrusivePtr<UseMark> mark;
    };

    Slot() : _mark(new UseMark) {}
    ~Slot() { _MarkDead(); }

    Observer GetObserver() const { return Observer(_mark); }

    // An observer whose mark never dies: for callbacks that belong to no
    // object (free functions, functors handed to a service).
    static Observer Anonymous();

protected:
    // Owners that must stop callbacks before their own members go call this
    // first in their destructor; the slot's destructor does it again.
    void _MarkDead() { _mark->alive.store(0, std::memory_order_release); }

private:
    IntrusivePtr<UseMark> _mark;
};

}  // namespace kivo
