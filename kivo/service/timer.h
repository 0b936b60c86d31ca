#pragma once

// Timers of the service runtime.
//
// kivo::KernelTimer: every active kernel timer sits in one process-wide list
// ordered by due time; the platform one-shot timer is kept armed for the
// list's head. Expired timers call a plain callback on the "kernel_timer"
// thread, which holds the kernel lock meanwhile. A timer that is due again
// after it fired (its service or the platform thread fell behind) skips the
// periods it missed: one expiry fires each timer at most once. The list and every field of
// every kernel timer are guarded by the kernel lock.
//
// kivo::Timer: turns kernel-timer ticks into messages posted to a service, so
// that the callback runs in that service's thread. At most one tick message
// is pending at a time (ticks that find one pending are merged), the schedule
// keeps its phase, and a restart or stop makes older tick messages harmless
// (they carry an old sequence number).
//
// A service that is destroyed stops the timers aimed at it and makes them
// forget it; a stopped timer may then be given another service.

#include <stdint.h>

#include <atomic>

#include "kivo/base/kivo_pthread.h"
#include "kivo/base/noncopyable.h"
#include "kivo/common/function.h"
#include "kivo/common/shared_ptr.h"
#include "kivo/service/service.h"

namespace kivo {

// Links of the kernel timer list; an unlisted timer links to itself.
class _KernelTimerLink {
public:
    _KernelTimerLink() : _next(this), _prev(this) {}
    _KernelTimerLink* _next;
    _KernelTimerLink* _prev;
};

class KernelTimer : public _KernelTimerLink, public NonCopyable {
public:
    typedef void (*CallBack)(KernelTimer* timer);
    static const uint32_t kEndless = 0xFFFFFFFFu;

    // Inactive, count 0. The first kernel timer starts the platform timer
    // thread.
    explicit KernelTimer(CallBack back);
    ~KernelTimer();

    // Fires `count` times (kEndless: until stopped), the first time `period_us`
    // from now. False for count 0. A period of 0 fires once only, whatever
    // the count: repeating it would never leave the expiry loop.
    bool Start(uint64_t period_us, uint32_t count);
    // As Start, but from the previous due time, which keeps the phase; a
    // timer that fell behind continues from the first due time after now.
    // False while the timer still has expiries left.
    bool Continue(uint64_t period_us, uint32_t count);
    void Stop();
    // Now minus the due time, in microseconds.
    int64_t Late() const;

    bool IsActive() const;
    uint32_t Count() const;

    // The platform timer's handler: fires every due timer and re-arms.
    static void _Expire();

private:
    void _Arm(uint64_t due, uint64_t period_us, uint32_t count);

    uint8_t _active;
    uint64_t _period;
    uint64_t _due;
    CallBack _back;
    uint32_t _count;
};

// The node of a kivo::Timer; lives as long as the timer and every tick
// message that refers to it.
class _TimerNode : public RefObject {
public:
    typedef Function0<void> BackFunc;

    // The value of a tick message.
    struct MsgData {
        MsgData() : sequence(0) {}
        MsgData(uint16_t seq, _TimerNode* n) : sequence(seq), node(n) {}
        uint16_t sequence;
        IntrusivePtr<_TimerNode> node;
    };

    _TimerNode();
    ~_TimerNode() override;

    void SetService(Service* svc);
    void Setting(const BackFunc& f);
    // Stops, then starts: `count` callbacks (0xFFFFFFFF: endless), the first
    // one `period_us + delay_us` from now, then one every period. Period 0
    // with a non-zero count calls back once at once. Count 0 only stops.
    // False without a callback or without a service to post to (then the
    // timer is left as it was).
    bool RestartUs(uint64_t period_us, uint32_t count, int64_t delay_us);
    void Stop();
    // Waits for a running callback after stopping; false on time-out, or at
    // once when called from the callback itself (it cannot end while its
    // caller waits).
    bool StopWait(uint32_t timeout_ms);
    // One callback now; the period restarts from now. False when the count
    // is 0 or there is no service.
    bool TrigOnce();

    bool IsStopped() const;
    bool IsIdle() const;
    uint32_t Count() const;
    int64_t Late() const;

    // Called by a service's destructor: every timer aimed at svc stops and
    // forgets it, so that no expiry reaches the service once it is gone.
    static void _DetachService(Service* svc);

private:
    class _KTimer : public KernelTimer {
    public:
        explicit _KTimer(_TimerNode* n) : KernelTimer(&_TimerNode::_OnKernelTick), node(n) {}
        _TimerNode* node;
    };

    static void _OnKernelTick(KernelTimer* kt);
    static void _OnTickMessage(Message& msg);
    // Kernel lock held.
    void _StopLocked();
    bool _ResolveService();
    void _PostLocked();

    // Every node, so that a service going away finds the ones aimed at it
    // (kernel lock).
    _TimerNode* _all_prev;
    _TimerNode* _all_next;
    _KTimer _ktimer;
    Service::Combine _combine;
    Service* _service;
    // The service _combine was last queued in.
    Service* _posted_to;
    uint16_t _sequence;
    uint8_t _armed;
    uint8_t _pending;
    std::atomic<int32_t> _running;
    std::atomic<kivo_thread_t> _running_thread;
    uint32_t _count;
    uint64_t _period;
    BackFunc _func;
};

class Timer : public NonCopyable {
public:
    typedef _TimerNode::BackFunc BackFunc;

    Timer();
    ~Timer();

    void SetService(Service* svc) { _node->SetService(svc); }
    void Setting(const BackFunc& f) { _node->Setting(f); }

    void Start(const BackFunc& f, uint32_t period_ms, uint32_t count, int32_t delay_ms = 0);
    void StartUs(const BackFunc& f, uint64_t period_us, uint32_t count, int64_t delay_us = 0);
    bool Restart(uint32_t period_ms, uint32_t count, int32_t delay_ms = 0);
    bool RestartUs(uint64_t period_us, uint32_t count, int64_t delay_us = 0)
    {
        return _node->RestartUs(period_us, count, delay_us);
    }

    void Stop() { _node->Stop(); }
    bool StopWait(uint32_t timeout_ms) { return _node->StopWait(timeout_ms); }
    bool TrigOnce() { return _node->TrigOnce(); }

    bool IsStopped() const { return _node->IsStopped(); }
    bool IsIdle() const { return _node->IsIdle(); }
    uint32_t Count() const { return _node->Count(); }
    int64_t Late() const { return _node->Late(); }

private:
    IntrusivePtr<_TimerNode> _node;
};

// Measures elapsed time from its start (monotonic microseconds).
class Tick {
public:
    Tick();
    // Signed: a start moved ahead of now by a negative offset reads
    // negative until it is reached.
    int64_t ElapsedUs() const;
    int64_t ElapsedMs() const { return ElapsedUs() / 1000; }
    // The elapsed time; the start becomes now minus the offset.
    int64_t RestartUs(int64_t offset_us = 0);
    int64_t RestartMs(int64_t offset_ms = 0);

private:
    uint64_t _start;
};

}  // namespace kivo
