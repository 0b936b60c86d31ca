#include "kivo/service/timer.h"

#include <assert.h>

#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/common/variant.h"

namespace kivo {

namespace {

struct KernelLock {
    KernelLock() : token(kivo_kernel_lock()) {}
    ~KernelLock() { kivo_kernel_unlock(token); }
    int32_t token;
};

uint64_t NowUs()
{
    return static_cast<uint64_t>(kivo_tick_div1000(kivo_tick_ns()));
}

// Due times saturate: a huge period means "not in this process's life",
// never a wrap-around to the past.
uint64_t AddSat(uint64_t a, uint64_t b)
{
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// The due time that follows `due` on its grid of periods: the next one, or,
// for a timer that fell behind, the first one after now. The missed periods
// are skipped in one step, so one expiry fires a timer at most once
// however late it is, and the phase is kept.
uint64_t NextDue(uint64_t due, uint64_t period_us, uint64_t now)
{
    const uint64_t next = AddSat(due, period_us);
    if (next > now || period_us == 0)
        return next;
    const uint64_t missed = (now - due) / period_us;  // at least 1
    return AddSat(due, (missed + 1) * period_us);
}

// Head of the list of active kernel timers, ascending due time.
_KernelTimerLink s_list;
uint32_t s_platform_started;

// Head of the list of all timer nodes.
_TimerNode* s_nodes;

KernelTimer* Head()
{
    return s_list._next == &s_list ? 0 : static_cast<KernelTimer*>(s_list._next);
}

void Unlink(_KernelTimerLink* t)
{
    t->_prev->_next = t->_next;
    t->_next->_prev = t->_prev;
    t->_next = t;
    t->_prev = t;
}

void InsertBefore(_KernelTimerLink* pos, _KernelTimerLink* t)
{
    t->_next = pos;
    t->_prev = pos->_prev;
    pos->_prev->_next = t;
    pos->_prev = t;
}

// Arms the platform timer for the list's head; kernel lock held.
void RearmPlatform()
{
    KernelTimer* head = Head();
    if (head == 0)
        return;
    const int64_t late = head->Late();
    kivo_kernel_timer_set(late >= 0 ? 1 : static_cast<uint64_t>(-late));
}

}  // namespace

// ---------------------------------------------------------------- KernelTimer

KernelTimer::KernelTimer(CallBack back) : _active(0), _period(0), _due(0), _back(back), _count(0)
{
    assert(back != 0);
    if (__atomic_load_n(&s_platform_started, __ATOMIC_ACQUIRE) == 0) {
        KernelLock lock;
        if (s_platform_started == 0) {
            kivo_kernel_timer_init(&KernelTimer::_Expire);
            __atomic_store_n(&s_platform_started, 1u, __ATOMIC_RELEASE);
        }
    }
}

KernelTimer::~KernelTimer()
{
    Stop();
}

void KernelTimer::_Arm(uint64_t due, uint64_t period_us, uint32_t count)
{
    if (_active)
        Unlink(this);
    // Period 0 would stay due forever: it fires once.
    _count = period_us == 0 ? 1 : count;
    _period = period_us;
    _due = due;
    _active = 1;
    _KernelTimerLink* pos = s_list._next;
    while (pos != &s_list && static_cast<KernelTimer*>(pos)->_due <= _due)
        pos = pos->_next;
    InsertBefore(pos, this);
    RearmPlatform();
}

bool KernelTimer::Start(uint64_t period_us, uint32_t count)
{
    if (count == 0)
        return false;
    KernelLock lock;
    _Arm(AddSat(NowUs(), period_us), period_us, count);
    return true;
}

bool KernelTimer::Continue(uint64_t period_us, uint32_t count)
{
    KernelLock lock;
    if (_count != 0 || count == 0)
        return false;
    _Arm(NextDue(_due, period_us, NowUs()), period_us, count);
    return true;
}

void KernelTimer::Stop()
{
    KernelLock lock;
    if (_active)
        Unlink(this);
    _active = 0;
}

int64_t KernelTimer::Late() const
{
    KernelLock lock;
    return static_cast<int64_t>(NowUs() - _due);
}

bool KernelTimer::IsActive() const
{
    KernelLock lock;
    return _active != 0;
}

uint32_t KernelTimer::Count() const
{
    KernelLock lock;
    return _count;
}

void KernelTimer::_Expire()
{
    // The platform thread holds the lock already; taking it again keeps a
    // direct call safe.
    KernelLock lock;
    const uint64_t now = NowUs();
    for (;;) {
        KernelTimer* t = Head();
        if (t == 0 || t->_due > now)
            break;
        Unlink(t);
        if (t->_count == 0) {
            t->_active = 0;
            continue;
        }
        if (t->_count != kEndless)
            --t->_count;
        if (t->_count == 0) {
            t->_active = 0;
        } else {
            t->_due = NextDue(t->_due, t->_period, now);
            _KernelTimerLink* pos = s_list._next;
            while (pos != &s_list && static_cast<KernelTimer*>(pos)->_due <= t->_due)
                pos = pos->_next;
            InsertBefore(pos, t);
        }
        t->_back(t);
    }
    RearmPlatform();
}

// ---------------------------------------------------------------- _TimerNode

_TimerNode::_TimerNode()
    : _all_prev(0),
      _all_next(0),
      _ktimer(this),
      _service(0),
      _posted_to(0),
      _sequence(90),
      _armed(0),
      _pending(0),
      _running(0),
      _running_thread(0),
      _count(0xFFFFFFFFu),
      _period(0)
{
    KernelLock lock;
    _all_next = s_nodes;
    if (s_nodes != 0)
        s_nodes->_all_prev = this;
    s_nodes = this;
}

_TimerNode::~_TimerNode()
{
    KernelLock lock;
    if (_all_prev != 0)
        _all_prev->_all_next = _all_next;
    else
        s_nodes = _all_next;
    if (_all_next != 0)
        _all_next->_all_prev = _all_prev;
    _ktimer.Stop();
}

void _TimerNode::_DetachService(Service* svc)
{
    KernelLock lock;
    for (_TimerNode* n = s_nodes; n != 0; n = n->_all_next) {
        if (n->_service == svc) {
            n->_StopLocked();
            n->_service = 0;
        }
        // The own queue node is taken off that queue with the service's
        // other messages.
        if (n->_posted_to == svc)
            n->_posted_to = 0;
    }
}

void _TimerNode::SetService(Service* svc)
{
    KernelLock lock;
    _service = svc;
}

void _TimerNode::Setting(const BackFunc& f)
{
    KIVO_ASSERT_TEXT(f.TargetIdentity() != 0, "f");
    KernelLock lock;
    _func = f;
}

bool _TimerNode::_ResolveService()
{
    KernelLock lock;
    if (_service == 0)
        _service = Service::Current();
    return _service != 0;
}

void _TimerNode::_StopLocked()
{
    ++_sequence;
    _armed = 0;
    _pending = 0;
    _ktimer.Stop();
}

void _TimerNode::_PostLocked()
{
    if (_service == 0) {
        _pending = 0;  // the service went away: the tick is dropped
        return;
    }
    Message m(Message::Value(Var(MsgData(_sequence, this))));
    // The own node may still sit in another service's queue (the service
    // was changed): a pool node of the new service carries this tick.
    Service::Combine* node = (_combine.prev == 0 || _posted_to == _service) ? &_combine : 0;
    if (_service->MessagePost(&_TimerNode::_OnTickMessage, m, 0, node)) {
        if (node != 0)
            _posted_to = _service;
    } else {
        // Nothing is on its way: later ticks must not be merged into it.
        _pending = 0;
    }
}

bool _TimerNode::RestartUs(uint64_t period_us, uint32_t count, int64_t delay_us)
{
    // One hold of the lock from finding the service to posting to it: the
    // service cannot go away in between.
    KernelLock lock;
    KIVO_ASSERT_TEXT(_func.TargetIdentity() != 0, "_func");
    if (!_ResolveService())
        return false;
    _StopLocked();
    _count = count;
    _period = period_us;
    _pending = (period_us == 0 && count != 0) ? 1 : 0;
    if (count != 0 && period_us != 0) {
        // first = delay + period, in signed terms without overflow.
        uint64_t first;
        bool at_once;
        if (delay_us >= 0) {
            first = AddSat(period_us, static_cast<uint64_t>(delay_us));
            at_once = false;
        } else {
            const uint64_t back = static_cast<uint64_t>(-(delay_us + 1)) + 1;
            at_once = back >= period_us;
            first = at_once ? 0 : period_us - back;
        }
        if (!at_once) {
            _armed = 1;
            _ktimer.Start(first, 1);
        } else {
            // Fire now; the period runs on from here. The kernel timer starts
            // for a whole period: a tick due at once would post a second
            // callback as soon as the first one was handled.
            _pending = 1;
            if (count > 1) {
                _armed = 1;
                _ktimer.Start(period_us, 1);
            }
        }
    }
    if (_pending)
        _PostLocked();
    return true;
}

void _TimerNode::Stop()
{
    KernelLock lock;
    _StopLocked();
}

bool _TimerNode::StopWait(uint32_t timeout_ms)
{
    Stop();
    if (_running.load() != 0 && _running_thread.load() == kivo_thread_self())
        return false;
    const uint32_t start = kivo_tick_ms();
    while (_running.load() != 0) {
        if (timeout_ms != KIVO_WAIT_FOREVER && static_cast<uint32_t>(kivo_tick_ms() - start) >= timeout_ms)
            return false;
        kivo_thread_msleep(1);
    }
    return true;
}

bool _TimerNode::TrigOnce()
{
    KernelLock lock;
    KIVO_ASSERT_TEXT(_func.TargetIdentity() != 0, "_func");
    if (_count == 0 || !_ResolveService())
        return false;
    if (!_pending) {
        _ktimer.Stop();
        if (_count > 1 && _period != 0) {
            _armed = 1;
            _ktimer.Start(_period, 1);
        } else {
            _armed = 0;
        }
    }
    ++_sequence;
    _pending = 1;
    _PostLocked();
    return true;
}

bool _TimerNode::IsStopped() const
{
    KernelLock lock;
    return _armed == 0 && _pending == 0;
}

bool _TimerNode::IsIdle() const
{
    return IsStopped() && _running.load() == 0;
}

uint32_t _TimerNode::Count() const
{
    KernelLock lock;
    return _count;
}

int64_t _TimerNode::Late() const
{
    return _ktimer.Late();
}

void _TimerNode::_OnKernelTick(KernelTimer* kt)
{
    _TimerNode* n = static_cast<_KTimer*>(kt)->node;
    if (n->_count == 0) {
        // Every callback has run (a tick that fired at once took the
        // last one): nothing is left to schedule.
        n->_armed = 0;
        return;
    }
    if (n->_count > 1 || n->_pending)
        kt->Continue(n->_period, 1);
    if (n->_pending)
        return;
    n->_pending = 1;
    if (n->_count < 2)
        n->_armed = 0;
    n->_PostLocked();
}

void _TimerNode::_OnTickMessage(Message& msg)
{
    MsgData data;
    if (!var_trains::FromVar(msg.value, &data) || data.node.Empty())
        return;
    _TimerNode* n = data.node.Get();
    n->_running_thread.store(kivo_thread_self());
    n->_running.fetch_add(1);
    BackFunc f;
    bool call = false;
    {
        KernelLock lock;
        if (data.sequence == n->_sequence) {
            n->_pending = 0;
            if (n->_count != 0) {
                if (n->_count != 0xFFFFFFFFu)
                    --n->_count;
                f = n->_func;
                call = true;
            }
        }
    }
    if (call)
        f();
    n->_running.fetch_sub(1);
}

// ---------------------------------------------------------------- Timer

Timer::Timer() : _node(new _TimerNode) {}

Timer::~Timer()
{
    _node->Stop();
}

void Timer::Start(const BackFunc& f, uint32_t period_ms, uint32_t count, int32_t delay_ms)
{
    Setting(f);
    _node->RestartUs(static_cast<uint64_t>(period_ms) * 1000u, count, static_cast<int64_t>(delay_ms) * 1000);
}

void Timer::StartUs(const BackFunc& f, uint64_t period_us, uint32_t count, int64_t delay_us)
{
    Setting(f);
    _node->RestartUs(period_us, count, delay_us);
}

bool Timer::Restart(uint32_t period_ms, uint32_t count, int32_t delay_ms)
{
    return _node->RestartUs(static_cast<uint64_t>(period_ms) * 1000u, count, static_cast<int64_t>(delay_ms) * 1000);
}

// ---------------------------------------------------------------- Tick

Tick::Tick() : _start(NowUs()) {}

int64_t Tick::ElapsedUs() const
{
    return static_cast<int64_t>(NowUs() - _start);
}

int64_t Tick::RestartUs(int64_t offset_us)
{
    const uint64_t now = NowUs();
    const int64_t elapsed = static_cast<int64_t>(now - _start);
    _start = now - static_cast<uint64_t>(offset_us);
    return elapsed;
}

int64_t Tick::RestartMs(int64_t offset_ms)
{
    const uint64_t now = NowUs();
    const int64_t elapsed = static_cast<int64_t>(now - _start);
    _start = now - static_cast<uint64_t>(offset_ms * 1000);
    return elapsed / 1000;
}

}  // namespace kivo
