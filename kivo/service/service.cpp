#include "kivo/service/service.h"
#include "kivo/service/elem.h"
#include "kivo/service/timer.h"

#include <assert.h>
#include <stdio.h>

#include <utility>

#include "kivo/base/platform/linux/__platform_atomic.h"
#include "kivo/base/platform/linux/__platform_kernel.h"

namespace kivo {

namespace {

// The calling thread's binding record (held here too, so that a record
// stays valid for its thread after its service is gone).
thread_local IntrusivePtr<Service::Binding> t_binding;

// Inline sends in progress on this thread, one inside the other.
thread_local uint32_t t_inline_sends = 0;

const uint32_t kSendStepMs = 200;
// The longest chain of threads waiting on each other that a send follows.
const uint32_t kWaitChainHops = 64;
const uint32_t kStoppedPauseMs = 50;

Service::Binding* CurrentBinding()
{
    return t_binding.Get();
}

kivo_thread_t SelfId()
{
    return this_thread::GetId().Get();
}

struct KernelLock {
    KernelLock() : token(kivo_kernel_lock()) {}
    ~KernelLock() { kivo_kernel_unlock(token); }
    int32_t token;
};

// Private keys of unnamed routers; 0 is never given.
std::atomic<uint64_t> g_router_keys{0};

}  // namespace

Slot::Observer Slot::Anonymous()
{
    // Created once and never released.
    static UseMark* mark = [] {
        UseMark* m = new UseMark;
        m->AddRef();
        return m;
    }();
    return Observer(IntrusivePtr<UseMark>(mark));
}

// ================================================================ messages

void Message::Controller::Swap(Controller& rhs)
{
    sender.Swap(rhs.sender);
    receiver.Swap(rhs.receiver);
    shared_seq.Swap(rhs.shared_seq);
    _back.Swap(rhs._back);
}

Message::Message() : valid(true), id(0), sequence(0) {}

Message::Message(const Value& v) : shared(v.shared), value(v.value), valid(v.valid), id(v.id), sequence(0) {}

Message::Message(const Value& v, const Controller& ctrl)
    : controller(ctrl), shared(v.shared), value(v.value), valid(v.valid), id(v.id), sequence(0)
{
    if (!controller.shared_seq.Empty())
        sequence = static_cast<uint16_t>(*controller.shared_seq);
}

Message::~Message() {}

Message& Message::operator=(const Value& v)
{
    value = v.value;
    valid = v.valid;
    id = v.id;
    shared = v.shared;
    return *this;
}

void Message::CopyTo(Value& out) const
{
    out.value = value;
    out.valid = valid;
    out.id = id;
    out.shared = shared;
}

void Message::Move(Message& rhs)
{
    assert(rhs.controller._back.Empty());
    assert(CanBeMove());
    Controller empty;
    rhs.controller.Swap(controller);
    controller.Swap(empty);  // rhs's former (channel-less) controller goes here
    rhs.shared = shared;
    rhs.value = value;
    rhs.valid = valid;
    rhs.id = id;
    rhs.sequence = sequence;
}

SharedPtr<Message> Message::MoveToHeap()
{
    SharedPtr<Message> p(new Message);
    Move(*p);
    return p;
}

void Message::_Swap(Message& rhs)
{
    controller.Swap(rhs.controller);
    shared.Swap(rhs.shared);
    value.Swap(rhs.value);
    bool v = valid;
    valid = rhs.valid;
    rhs.valid = v;
    int8_t i = id;
    id = rhs.id;
    rhs.id = i;
    uint16_t s = sequence;
    sequence = rhs.sequence;
    rhs.sequence = s;
}

uint32_t Message::BackKind() const
{
    return controller._back.Empty() ? 0 : controller._back->Kind();
}

uint32_t Message::Back()
{
    return Back(Var(), true, 0);
}

uint32_t Message::Back(const Var& v, bool ok, uint8_t end_flag)
{
    if (controller._back.Empty())
        return 0;
    Message answer;
    answer.controller.sender = controller.sender;
    answer.controller.receiver = controller.receiver;
    answer.controller.shared_seq = controller.shared_seq;
    IntrusivePtr<svc_trains::BackImpl> back = _ServiceGImpl::CopyAndClearBack(answer.controller, controller);
    answer.shared = shared;
    answer.sequence = sequence;
    answer.value = v;
    answer.valid = ok;
    return back->Deliver(answer, end_flag);
}

Message* Message::Current()
{
    return Service::CurrentMessage();
}

void Message::Invalidate()
{
    sequence |= 1u;
    if (!controller.shared_seq.Empty())
        *controller.shared_seq = static_cast<short>(*controller.shared_seq + 2);
}

bool Message::IsInvalid() const
{
    if (sequence & 1u)
        return true;
    if (controller.shared_seq.Empty())
        return false;
    return static_cast<int16_t>(*controller.shared_seq) != static_cast<int16_t>(sequence);
}

// ================================================================ signal lists

void SignalList::Insert(const IntrusivePtr<Base>& entry)
{
    List::iterator it = items.begin();
    while (it != items.end() && (*it)->priority <= entry->priority)
        ++it;
    items.insert(it, entry);
}

bool SignalList::Next(EachItem& it)
{
    if (!it.started) {
        it.started = true;
        it.pos = items.begin();
    } else if (it.pos != items.end()) {
        ++it.pos;
    }
    for (; it.pos != items.end(); ++it.pos) {
        if ((*it.pos)->IsLive()) {
            it.item = *it.pos;
            return true;
        }
        dirty = true;
    }
    it.item = IntrusivePtr<Base>();
    return false;
}

void SignalList::EndWalk()
{
    assert(walking > 0);
    if (--walking != 0 || !dirty)
        return;
    dirty = false;
    // Erased entries may hold the last reference of a receiver; receivers
    // hold no locks in their destructors.
    for (List::iterator it = items.begin(); it != items.end();) {
        if ((*it)->IsLive())
            ++it;
        else
            it = items.erase(it);
    }
}

// ================================================================ process-wide data

namespace {

kivo_once_t g_impl_once = KIVO_ONCE_INIT;
_ServiceGImpl* g_impl = 0;

void MakeImpl(void*)
{
    g_impl = new _ServiceGImpl;
}

}  // namespace

_ServiceGImpl& _ServiceGImpl::Get()
{
    kivo_thread_once(&g_impl_once, &MakeImpl, 0);
    return *g_impl;
}

IntrusivePtr<svc_trains::BackImpl> _ServiceGImpl::CopyAndClearBack(Message::Controller& answer,
                                                                   Message::Controller& request)
{
    KIVO_ASSERT_TEXT(answer._back.Empty(), "rhs._back.Empty()");
    answer._back = request._back;
    IntrusivePtr<svc_trains::BackImpl> back;
    back.Swap(request._back);
    return back;
}

// ================================================================ services

Service::Binding::Binding(Service* svc, int32_t id, Thread::Id tid)
    : service(svc), local_id(id), thread_id(tid), curr_msg(0), send_wait(0)
{
}

void Service::Binding::Handling::Swap(Handling& rhs)
{
    std::swap(func, rhs.func);
    std::swap(start_ms, rhs.start_ms);
    std::swap(valid, rhs.valid);
    std::swap(id, rhs.id);
    value.Swap(rhs.value);
    sender.Swap(rhs.sender);
    receiver.Swap(rhs.receiver);
}

Service::Binding::~Binding() {}

Service::Service()
    : _running(0),
      _dying(0),
      _break_cnt(0),
      _thrd_max_num(1),
      _thrd_id(0),
      _send_wait_thrd_id(0),
      _local_id_cnt(0),
      _pause_wakeup_tid(0),
      _pause_cnt(0),
      _pause_slot(0),
      _pool_begin(0),
      _pool_end(0),
      _queue_head(0),
      _queue_num(0),
      _free(0),
      _hook(0),
      _link(new svc_trains::ServiceLink(this))
{
    kivo_event_init(&_event, 0);
    _send_wait_thrd_id.store(&_thrd_id);
    for (int i = 0; i < 8; ++i)
        _tls_data[i] = 0;
}

Service::Service(const std::string& name, uint32_t msg_num, int32_t thrd_num, WakeupHook hook) : Service()
{
    Init(name, msg_num, thrd_num, hook);
}

Service::Service(const std::string& name, uint32_t msg_num, const ThreadParam& param, WakeupHook hook) : Service()
{
    Init(name, msg_num, param, hook);
}

Service::~Service()
{
    _AssertNotOwnHandler();
    _dying.store(1);
    Stop();
    _TimerNode::_DetachService(this);
    _Withdraw();
    delete[] _pool_begin;
    for (size_t i = 0; i < _threads.size(); ++i)
        delete _threads[i];
    kivo_event_destroy(&_event);
}

void Service::_AssertNotOwnHandler() const
{
    // A handler (or timer callback) that destroys its own service would
    // return into a dispatch whose service is gone, and a worker would join
    // itself. Every thread bound to this service runs its code in a handler
    // (a worker runs nothing else), so: not from a thread bound to it while
    // it handles a message.
    const Binding* b = CurrentBinding();
    KIVO_ASSERT_TEXT(b == 0 || b->service.load() != this || b->curr_msg == 0,
                     "caller is none of the service's workers nor its bound thread in a handler");
}

void Service::_Withdraw()
{
    // Cleared before the wait: uses that keep coming would otherwise never
    // leave the count at zero.
    _Unpublish();
    _Unregister();
    _DropQueued();
    for (size_t i = 0; i < _threads.size(); ++i)
        _threads[i]->Join();
    // Posts and sends that reached the service before it was cleared: a
    // waiting sender sees it stopped within one step and leaves.
    _link->WaitUnused();
    _DropBindings();
}

void Service::_Unpublish()
{
    // Routers, receivers and reply channels of this service see it gone from
    // here on: walks read it under the routes mutex, uses check it.
    Mutex::ScopedLock lock(_ServiceGImpl::Get().router.route_mutex);
    _link->service.store(0);
}

void Service::_Unregister()
{
    if (_name.empty())
        return;
    _ServiceGImpl& g = _ServiceGImpl::Get();
    Mutex::ScopedLock lock(g.mutex);
    std::map<std::string, Service*>::iterator it = g.services.find(_name);
    if (it != g.services.end() && it->second == this)
        g.services.erase(it);
}

void Service::_DropQueued()
{
    // Queued messages go unanswered; they are destroyed outside the lock.
    std::vector<Message*> dropped;
    {
        KernelLock lock;
        while (_queue_head != 0) {
            Combine* node = _queue_head;
            _Unlink(node);
            --_queue_num;
            Message* m = new Message;
            m->_Swap(node->msg);
            dropped.push_back(m);
            if (_IsPoolNode(node)) {
                node->next = _free;
                _free = node;
            }
        }
    }
    for (size_t i = 0; i < dropped.size(); ++i)
        delete dropped[i];
}

void Service::_DropBindings()
{
    // The records are released after the mutex.
    std::list<IntrusivePtr<Binding>> mine;
    _ServiceGImpl& g = _ServiceGImpl::Get();
    Mutex::ScopedLock lock(g.mutex);
    for (std::list<IntrusivePtr<Binding>>::iterator it = g.bindings.begin(); it != g.bindings.end();) {
        if ((*it)->service.load() == this) {
            (*it)->service.store(0);
            mine.push_back(*it);
            it = g.bindings.erase(it);
        } else {
            ++it;
        }
    }
}

bool Service::Init(const std::string& name, uint32_t msg_num, int32_t thrd_num, WakeupHook hook)
{
    assert(!_running);
    uint32_t n = msg_num < 16 ? 16 : msg_num;
    _pool_begin = new Combine[n];
    _pool_end = _pool_begin + n;
    _free = 0;
    for (uint32_t i = n; i-- > 0;) {
        _pool_begin[i].next = _free;
        _free = &_pool_begin[i];
    }
    _name = name;
    if (!_name.empty()) {
        _ServiceGImpl& g = _ServiceGImpl::Get();
        Mutex::ScopedLock lock(g.mutex);
        g.services[_name] = this;
    }
    _thrd_max_num = thrd_num <= 0 ? 1 : thrd_num;
    _hook = hook;
    _running.store(1, std::memory_order_release);
    return true;
}

bool Service::Init(const std::string& name, uint32_t msg_num, const ThreadParam& param, WakeupHook hook)
{
    if (!Init(name, msg_num, param.thrd_num, hook))
        return false;
    for (int32_t i = 0; i < _thrd_max_num; ++i) {
        Thread* t = new Thread(Function0<void>(Bind(&__ServiceEntrance, static_cast<void*>(this))), param.prio,
                               static_cast<uint32_t>(param.stack_size < 0 ? 0 : param.stack_size), param.name);
        _threads.push_back(t);
        if (!t->IsValid()) {
            // A service short of a worker would leave its callers waiting
            // for answers that may never come: none of it stays.
            _Undo();
            return false;
        }
    }
    return true;
}

void Service::_Undo()
{
    Stop();
    _Withdraw();
    for (size_t i = 0; i < _threads.size(); ++i)
        delete _threads[i];
    _threads.clear();
    delete[] _pool_begin;
    _pool_begin = _pool_end = _free = 0;
    _name.clear();
    _thrd_max_num = 1;
    _hook = 0;
    _break_cnt = 0;
    _local_id_cnt = 0;
    _thrd_id.store(0);
    _send_wait_thrd_id.store(&_thrd_id);
    // Stopped as before Init, and as reachable: a later Init serves through
    // the same link.
    Mutex::ScopedLock lock(_ServiceGImpl::Get().router.route_mutex);
    _link->service.store(this);
}

void __ServiceEntrance(void* arg)
{
    Service* svc = static_cast<Service*>(arg);
    svc->Start();
    svc->Run();
    svc->Stop();
}

void Service::Start()
{
    kivo_thread_t me = SelfId();
    if (_thrd_max_num == 1) {
        // Starting a service that was never initialised is a broken contract;
        // one that was stopped before its worker got here is not: the worker
        // then neither aborts nor brings the service back, and its Run
        // returns at once. The state is read once: a Stop from another
        // thread may change it at any moment.
        const uint8_t state = _running.load();
        const bool stopped_early = state == 0 && _pool_begin != 0;
        KIVO_ASSERT_TEXT(stopped_early || state == 1, "_running == 1");
        (void)stopped_early;
        _thrd_id.store(me);
    }
    uint8_t expected = 1;
    _running.compare_exchange_strong(expected, 2);
    int32_t local = kivo_atomic_fetch_add(&_local_id_cnt, 1);
    IntrusivePtr<Binding> b(new Binding(this, local, Thread::Id(me)));
    {
        _ServiceGImpl& g = _ServiceGImpl::Get();
        Mutex::ScopedLock lock(g.mutex);
        g.bindings.push_back(b);
    }
    t_binding = b;
    if (_thrd_max_num == 1)
        _send_wait_thrd_id.store(&b->send_wait);
}

void Service::Stop()
{
    _running.store(0, std::memory_order_release);
    kivo_event_post(&_event);
}

uint32_t Service::QueuedCount() const
{
    KernelLock lock;
    return _queue_num;
}

void Service::_Append(Combine* node)
{
    node->queue = this;
    if (_queue_head == 0) {
        node->next = node;
        node->prev = node;
        _queue_head = node;
    } else {
        Combine* tail = _queue_head->prev;
        node->prev = tail;
        node->next = _queue_head;
        tail->next = node;
        _queue_head->prev = node;
    }
}

void Service::_Unlink(Combine* node)
{
    if (node->next == node) {
        _queue_head = 0;
    } else {
        node->prev->next = node->next;
        node->next->prev = node->prev;
        if (_queue_head == node)
            _queue_head = node->next;
    }
    node->next = 0;
    node->prev = 0;
    node->queue = 0;
}

bool Service::MessagePost(MsgFunc func, Message& msg, svc_trains::BackImpl* back, Combine* node)
{
    if (back != 0)
        msg.controller._back = back;
    // A post reads the service to its end: its destructor waits for it.
    svc_trains::ServiceUse use(_link);
    if (use.Get() == 0)
        return false;
    Message old;  // a re-posted caller node's former message, destroyed after unlocking
    bool was_empty;
    {
        KernelLock lock;
        // Tested under the lock: the destructor empties the queue under it
        // after stopping, so nothing is appended once it has.
        if (_running.load(std::memory_order_acquire) == 0)
            return false;
        assert(msg.CanBeMove());
        if (node != 0) {
            // Off the queue that holds it, which need not be this one.
            if (node->prev != 0) {
                Service* holder = node->queue;
                holder->_Unlink(node);
                --holder->_queue_num;
            }
            old._Swap(node->msg);
        } else {
            node = _free;
            if (node == 0)
                return false;
            _free = node->next;
            node->next = 0;
        }
        node->func = func;
        node->msg._Swap(msg);
        was_empty = _queue_head == 0;
        _Append(node);
        ++_queue_num;
    }
    kivo_event_post(&_event);
    if (was_empty && _hook != 0)
        _hook(this);
    return true;
}

bool Service::ProcessAll()
{
    for (;;) {
        Message msg;
        MsgFunc func = 0;
        bool stop;
        bool taken = false;
        bool more = false;
        {
            KernelLock lock;
            stop = _break_cnt >= 1 || _running.load(std::memory_order_acquire) == 0;
            if (!stop && _queue_head != 0) {
                Combine* node = _queue_head;
                _Unlink(node);
                --_queue_num;
                func = node->func;
                node->func = 0;
                msg._Swap(node->msg);
                if (_IsPoolNode(node)) {
                    node->next = _free;
                    _free = node;
                }
                taken = true;
                more = _thrd_max_num > 1 && _queue_head != 0;
            }
            if (_break_cnt > 0)
                --_break_cnt;
        }
        if (more)
            kivo_event_post(&_event);
        if (!taken)
            return !stop;
        _Dispatch(func, msg);
    }
}

void Service::_Wait(uint32_t ms)
{
    {
        KernelLock lock;
        if (_running.load(std::memory_order_acquire) == 0 || _queue_head != 0)
            return;
    }
    kivo_event_wait(&_event, ms);
}

void Service::Run()
{
    while (ProcessAll())
        _Wait(KIVO_WAIT_FOREVER);
    // One Stop signal wakes one worker: pass it on to the next.
    if (_thrd_max_num > 1 && _running.load() == 0)
        kivo_event_post(&_event);
}

bool Service::RunFor(uint32_t ms)
{
    uint32_t start = kivo_tick_ms();
    for (;;) {
        if (!ProcessAll())
            return false;
        uint32_t elapsed = kivo_tick_ms() - start;
        if (elapsed >= ms)
            return true;
        _Wait(ms - elapsed);
    }
}

bool Service::RunOnce()
{
    return ProcessAll();
}

void Service::Break()
{
    assert(_thrd_max_num == 1);
    {
        KernelLock lock;
        ++_break_cnt;
    }
    kivo_event_post(&_event);
}

void Service::_Dispatch(MsgFunc func, Message& msg)
{
    Binding* b = CurrentBinding();
    Message* saved_msg = 0;
    // This message's description, then (swapped) the outer one's: dispatch
    // nests when a handler sends to its own service.
    Binding::Handling now;
    if (b != 0) {
        saved_msg = b->curr_msg;
        b->curr_msg = &msg;
        now.func = func;
        now.start_ms = kivo_tick_ms();
        now.valid = msg.valid;
        now.id = msg.id;
        now.value = msg.value;
        now.sender = msg.controller.sender;
        now.receiver = msg.controller.receiver;
        Mutex::ScopedLock lock(b->handling_lock);
        b->handling.Swap(now);
    }
    func(msg);
    if (b != 0) {
        b->curr_msg = saved_msg;
        Mutex::ScopedLock lock(b->handling_lock);
        b->handling.Swap(now);
    }
    // Every message is answered exactly once.
    if (msg.HasBack())
        msg.Back();
}

// ---- sends

bool Service::MessageSend(MsgFunc func, Message& msg, Message::Value* ret, uint32_t timeout_ms)
{
    return _MessageSend(func, msg, ret, timeout_ms, 0);
}

bool Service::_MessageSend(MsgFunc func, Message& msg, Message::Value* ret, uint32_t timeout_ms, uint8_t* end_flag)
{
    if (_thrd_id.load() == SelfId())
        return _MessageSendSync(func, msg, ret, end_flag);
    return _MessageSendASync(func, msg, ret, timeout_ms, end_flag);
}

bool Service::_MessageSendSync(MsgFunc func, Message& msg, Message::Value* ret, uint8_t* end_flag)
{
    if (t_inline_sends >= kInlineSendDepth) {
        printf("[error]send to service %s nested deeper than %u, refused\n",
               _name.empty() ? "(unnamed)" : _name.c_str(), kInlineSendDepth);
        return false;
    }
    svc_trains::BackForSendSync send_sync_back(ret);
    send_sync_back.AddRef();  // the stack owns it: no holder may delete it
    msg.controller._back = &send_sync_back;
    {
        // Counted back however the handler leaves.
        struct Nesting {
            Nesting() { ++t_inline_sends; }
            ~Nesting() { --t_inline_sends; }
        } nesting;
        _Dispatch(func, msg);
    }
    assert(send_sync_back.GetRefCnt() == 1);
    if (end_flag != 0)
        *end_flag = send_sync_back.EndFlag();
    return true;
}

namespace {

// Each send gets a channel nobody else refers to: the thread's reusable one
// when no late message still holds it, else a fresh one.
IntrusivePtr<svc_trains::BackForSendASync> SendChannel(Service::Binding* b)
{
    if (b != 0 && !b->back.Empty() && b->back->GetRefCntAcquire() == 1)
        return b->back;
    IntrusivePtr<svc_trains::BackForSendASync> chan(new svc_trains::BackForSendASync);
    if (b != 0)
        b->back = chan;
    return chan;
}

// The next wait on the channel: one step, or less when the time-out ends
// sooner (one millisecond past it, so that the last look sees it passed).
uint32_t SendStep(uint32_t start, uint32_t timeout_ms)
{
    uint32_t step = kSendStepMs;
    if (timeout_ms != KIVO_WAIT_FOREVER) {
        uint32_t elapsed = kivo_tick_ms() - start;
        uint32_t left = elapsed >= timeout_ms ? 0 : timeout_ms - elapsed;
        if (left + 1 < step)
            step = left + 1;
    }
    return step;
}

}  // namespace

bool Service::_MessageSendASync(MsgFunc func, Message& msg, Message::Value* ret, uint32_t timeout_ms,
                                uint8_t* end_flag)
{
    const kivo_thread_t me = SelfId();
    // Held while the send waits: the destructor waits for it in turn.
    svc_trains::ServiceUse use(_link);
    if (use.Get() == 0)
        return false;
    Binding* b = CurrentBinding();
    IntrusivePtr<svc_trains::BackForSendASync> chan = SendChannel(b);
    chan->Arm(ret, b != 0 ? &b->send_wait : 0);
    if (!_MarkSendWait(b, me)) {
        chan->Disarm();
        if (b != 0)
            b->send_wait.store(0);
        return false;
    }

    Combine node;
    bool answered = false;
    bool stopped = false;
    if (MessagePost(func, msg, chan.Get(), &node)) {
        answered = _AwaitAnswer(*chan, b, me, timeout_ms, &stopped);
    } else {
        // A failed post leaves the channel in msg: take it out again so that
        // the caller's message does not keep this thread's channel.
        msg.controller._back = IntrusivePtr<svc_trains::BackImpl>();
    }
    if (!answered)
        answered = _GiveUpSend(*chan, b, stopped, node);
    if (answered && end_flag != 0)
        *end_flag = chan->EndFlag();
    return answered;
}

bool Service::_MarkSendWait(Binding* b, kivo_thread_t me) const
{
    // When the thread that serves the target waits on this one, directly or
    // through other threads each waiting on the next, none could go on:
    // refused. This thread's own mark is published before the target's is
    // read (both sequentially consistent), so of threads that send to each
    // other at the same moment at least one sees the others' marks; at
    // worst all refuse.
    if (b != 0)
        b->send_wait.store(_thrd_id.load());
    return !_WaitsOn(me);
}

bool Service::_AwaitAnswer(svc_trains::BackForSendASync& chan, Binding* b, kivo_thread_t me, uint32_t timeout_ms,
                           bool* stopped)
{
    const uint32_t start = kivo_tick_ms();
    for (;;) {
        if (_running.load(std::memory_order_acquire) == 0) {
            *stopped = true;
            return false;
        }
        // This worker's own service is being destroyed: its destructor
        // joins this thread, perhaps from the very thread that would
        // answer. The send is given up.
        Service* own = b != 0 ? b->service.load() : 0;
        if (own != 0 && own != this && own->_dying.load() != 0)
            return false;
        if (chan.Wait(SendStep(start, timeout_ms)))
            return true;
        // Tested again at each step: the target's thread may have begun
        // to wait on this one since.
        if (_WaitsOn(me))
            return false;
        if (timeout_ms != KIVO_WAIT_FOREVER && kivo_tick_ms() - start > timeout_ms)
            return false;
    }
}

bool Service::_GiveUpSend(svc_trains::BackForSendASync& chan, Binding* b, bool stopped, Combine& node)
{
    const bool answered = chan.Disarm();
    if (b != 0)
        b->send_wait.store(0);
    if (stopped && !answered)
        this_thread::Sleep(kStoppedPauseMs);
    if (answered)
        return true;
    // The node is on this stack: it must be off the target's queue before
    // the send returns. An answered message was dequeued before it was
    // answered (the channel's lock orders that before this point), so only a
    // send that gave up needs the look under the kernel lock. The message is
    // destroyed after unlocking.
    Message left;
    {
        KernelLock lock;
        if (node.prev != 0) {
            _Unlink(&node);
            --_queue_num;
            left._Swap(node.msg);
        }
    }
    return false;
}

bool Service::_WaitsOn(kivo_thread_t me) const
{
    kivo_thread_t t = _send_wait_thrd_id.load()->load();
    if (t == me)
        return true;
    if (t == 0)
        return false;
    // A longer chain: the thread t waits in a send too. Its mark is on its
    // current binding, the only one of its bindings that can be waiting.
    // A chain that does not come back within the bound is no cycle
    // through this thread.
    _ServiceGImpl& g = _ServiceGImpl::Get();
    Mutex::ScopedLock lock(g.mutex);
    for (uint32_t hop = 0; hop < kWaitChainHops && t != 0; ++hop) {
        kivo_thread_t next = 0;
        for (std::list<IntrusivePtr<Binding>>::const_iterator it = g.bindings.begin(); it != g.bindings.end(); ++it) {
            if ((*it)->thread_id.Get() == t && (next = (*it)->send_wait.load()) != 0)
                break;
        }
        if (next == me)
            return true;
        t = next;
    }
    return false;
}

// ---- pause

// The wake-up id alone cannot tell the parked worker that it was freed: a
// Pause right after the Resume makes it valid again before the worker
// looks. So each parked worker has its own flag, set by the Resume that
// frees it. A Pause from a second thread parks a further worker; the
// Resume that ends the pause frees them all.
struct Service::_PauseSlot {
    _PauseSlot() : released(false), next(0) { kivo_event_init(&event, 0); }
    ~_PauseSlot() { kivo_event_destroy(&event); }
    bool released;
    _PauseSlot* next;
    kivo_event_t event;
};

void Service::_PauseHandler(Message& msg)
{
    Service* svc = Service::Current();
    kivo_thread_t tid = static_cast<kivo_thread_t>(msg.value.ToUInt64());
    _PauseSlot slot;
    {
        KernelLock lock;
        slot.next = svc->_pause_slot;
        svc->_pause_slot = &slot;
        svc->_pause_cnt.store(1);
        svc->_pause_wakeup_tid.store(tid);
    }
    msg.Back();
    for (;;) {
        {
            KernelLock lock;
            if (slot.released || !svc->IsRunning()) {
                for (_PauseSlot** p = &svc->_pause_slot; *p != 0; p = &(*p)->next) {
                    if (*p == &slot) {
                        *p = slot.next;
                        break;
                    }
                }
                return;
            }
        }
        kivo_event_wait(&slot.event, kSendStepMs);
    }
}

void Service::Pause()
{
    assert(_thrd_max_num != 1);
    kivo_thread_t me = SelfId();
    KIVO_ASSERT_TEXT(_thrd_id.load() != me, "_thrd_id != curr_tid");
    if (_pause_wakeup_tid.load() != me) {
        Message m(Message::Value(Var(static_cast<uint64_t>(me))));
        MessageSend(&Service::_PauseHandler, m, 0, KIVO_WAIT_FOREVER);
    } else {
        _pause_cnt.fetch_add(1);
    }
}

void Service::Resume()
{
    kivo_thread_t me = SelfId();
    KIVO_ASSERT_TEXT(_thrd_id.load() != me, "_thrd_id != curr_tid");
    if (_pause_wakeup_tid.load() != me)
        return;
    if (_pause_cnt.fetch_sub(1) - 1 <= 0) {
        // The slot's event is signalled under the lock: the worker destroys
        // it only after seeing the flag under the same lock.
        KernelLock lock;
        _pause_wakeup_tid.store(0);
        for (_PauseSlot* p = _pause_slot; p != 0; p = p->next) {
            p->released = true;
            kivo_event_post(&p->event);
        }
        _pause_slot = 0;
    }
}

// ---- current thread

Service* Service::Current()
{
    Binding* b = CurrentBinding();
    return b != 0 ? b->service.load() : 0;
}

Message* Service::CurrentMessage()
{
    Binding* b = CurrentBinding();
    return b != 0 && b->service.load() != 0 ? b->curr_msg : 0;
}

int32_t Service::CurrentThreadNum()
{
    Service* s = Current();
    return s != 0 ? s->_thrd_max_num : 0;
}

uint32_t Service::CurrentLocalId()
{
    Binding* b = CurrentBinding();
    return b != 0 && b->service.load() != 0 ? static_cast<uint32_t>(b->local_id) : 0xFFFFFFFFu;
}

void Service::TlsData(uint32_t index, void* value)
{
    assert(index < 8);
    Service* s = Current();
    if (s != 0)  // a thread without a service has no slots
        s->_tls_data[index] = value;
}

void* Service::TlsData(uint32_t index)
{
    assert(index < 8);
    Service* s = Current();
    return s != 0 ? s->_tls_data[index] : 0;
}

Service* Service::Find(const std::string& name)
{
    _ServiceGImpl& g = _ServiceGImpl::Get();
    Mutex::ScopedLock lock(g.mutex);
    std::map<std::string, Service*>::iterator it = g.services.find(name);
    return it != g.services.end() ? it->second : 0;
}

// ---- entry points

namespace {

void AnswerOnly(Message& msg)
{
    msg.Back();
}

IntrusivePtr<svc_trains::Sender> AnonymousSender()
{
    return IntrusivePtr<svc_trains::Sender>(new svc_trains::Sender(Service::Current(), Slot::Observer(), 0));
}

void MakeFunctionMessage(Message& m, const Function1<void, Message&>& fn)
{
    m.controller.sender = AnonymousSender();
    svc_trains::Sender anon(m.controller.sender->service, Slot::Anonymous(), 0);
    m.controller.receiver = new svc_trains::ReceiverFunction(anon, fn);
}

}  // namespace

bool Service::Ping(Service* svc, uint32_t timeout_ms)
{
    if (svc->_thrd_id.load() == SelfId())
        return true;
    Message m;
    return svc->MessageSend(&AnswerOnly, m, 0, timeout_ms);
}

bool Service::PostFunc(Service* svc, MsgFunc func, const Message::Value& v, Combine* node)
{
    Message m(v);
    return svc->MessagePost(func, m, 0, node);
}

bool Service::PostFunction(Service* svc, const Function1<void, Message&>& fn, const Message::Value& v, Combine* node)
{
    Message m(v);
    MakeFunctionMessage(m, fn);
    return svc->MessagePost(&svc_trains::ReceiverCall, m, 0, node);
}

bool Service::SendFunc(Service* svc, MsgFunc func, const Message::Value& v)
{
    Message m(v);
    return svc->MessageSend(func, m, 0, KIVO_WAIT_FOREVER);
}

bool Service::CallFunc(Service* svc, MsgFunc func, Message::Value& inout)
{
    Message m(inout);
    return svc->MessageSend(func, m, &inout, KIVO_WAIT_FOREVER);
}

bool Service::SendFunction(Service* svc, const Function1<void, Message&>& fn, const Message::Value& v)
{
    Message m(v);
    MakeFunctionMessage(m, fn);
    return svc->MessageSend(&svc_trains::ReceiverCall, m, 0, KIVO_WAIT_FOREVER);
}

Service::Combine* Service::GetNode(uint32_t key)
{
    _RouterGData& r = _ServiceGImpl::Get().router;
    Mutex::ScopedLock lock(r.node_mutex);
    Combine*& node = r.nodes[key];
    if (node == 0)
        node = new Combine;
    return node;
}

// ================================================================ reply channels

namespace svc_trains {

ServiceLink::ServiceLink(Service* svc) : service(svc), _users(0)
{
    kivo_cond_init(&_unused);
}

ServiceLink::~ServiceLink()
{
    kivo_cond_destroy(&_unused);
}

void ServiceLink::WaitUnused()
{
    Mutex::ScopedLock lock(_mutex);
    while (_users.load() != 0)
        kivo_cond_wait(&_unused, _mutex.Handle(), KIVO_WAIT_FOREVER);
}

void ServiceLink::_Release()
{
    if (_users.fetch_sub(1) != 1)
        return;
    // Signalled under the mutex: a waiter that saw a use left is already
    // waiting when the signal comes.
    Mutex::ScopedLock lock(_mutex);
    kivo_cond_signal(&_unused);
}

ServiceUse::ServiceUse(const IntrusivePtr<ServiceLink>& link) : _link(link), _service(0)
{
    if (_link.Empty())
        return;
    // Counted before the look: the destructor clears the link first and
    // counts afterwards, so one of the two sees the other.
    _link->_users.fetch_add(1);
    _service = _link->service.load();
    if (_service == 0) {
        _link->_Release();
        _link = IntrusivePtr<ServiceLink>();
    }
}

ServiceUse::~ServiceUse()
{
    if (!_link.Empty())
        _link->_Release();
}

Sender::Sender(Service* svc, const Slot::Observer& obs, MsgRouter* router)
    : service(svc != 0 ? svc->_Link() : IntrusivePtr<ServiceLink>()), key(0), observer(obs), owner(router)
{
}

uint32_t BackForSendSync::Deliver(Message& answer, uint8_t end_flag)
{
    if (_ret != 0)
        answer.CopyTo(*_ret);
    _end_flag = end_flag;
    return 1;
}

BackForSendASync::BackForSendASync() : _armed(false), _delivered(false), _end_flag(0), _ret(0), _send_wait(0)
{
    kivo_event_init(&_event, 0);
}

BackForSendASync::~BackForSendASync()
{
    kivo_event_destroy(&_event);
}

uint32_t BackForSendASync::Kind() const
{
    Mutex::ScopedLock lock(const_cast<Mutex&>(_lock));
    return _ret != 0 ? 3 : 2;
}

void BackForSendASync::Arm(Message::Value* ret, std::atomic<kivo_thread_t>* send_wait)
{
    Mutex::ScopedLock lock(_lock);
    kivo_event_reset(&_event);  // a late answer to an earlier send may have signalled it
    _armed = true;
    _delivered = false;
    _end_flag = 0;
    _ret = ret;
    _send_wait = send_wait;
}

uint32_t BackForSendASync::Deliver(Message& answer, uint8_t end_flag)
{
    {
        Mutex::ScopedLock lock(_lock);
        if (!_armed)
            return 1;  // the sender gave up: drop the answer
        if (_send_wait != 0)
            _send_wait->store(0);
        if (_ret != 0)
            answer.CopyTo(*_ret);
        _end_flag = end_flag;
        _delivered = true;
        _armed = false;
        _ret = 0;
        _send_wait = 0;
    }
    kivo_event_post(&_event);
    return 1;
}

bool BackForSendASync::Wait(uint32_t ms)
{
    kivo_event_wait(&_event, ms);
    Mutex::ScopedLock lock(_lock);
    return _delivered;
}

bool BackForSendASync::Disarm()
{
    Mutex::ScopedLock lock(_lock);
    _armed = false;
    _ret = 0;
    _send_wait = 0;
    return _delivered;
}

std::string Sender::PrivateKey() const
{
    if (!name.empty())
        return name;
    // Not the router's address: a new router may get the address of a
    // destroyed one, and with it the old one's entries and answers.
    char buf[2 * sizeof(uint64_t) + 3];
    snprintf(buf, sizeof(buf), "0x%llx", static_cast<unsigned long long>(key));
    return buf;
}

void ReceiverCall(Message& msg)
{
    Receiver* r = msg.controller.receiver.Get();
    if (r != 0 && r->observer.IsLive())
        r->Invoke(msg);
}

BackForPost::BackForPost(const SharedSignalType& list, const SignalList::EachItem& cursor)
    : _list(list), _cursor(cursor), _is_end(false)
{
}

BackForPost::~BackForPost()
{
    _RouterGData& r = _ServiceGImpl::Get().router;
    Mutex::ScopedLock lock(r.route_mutex);
    r.EachEnd(_list, _is_end);
}

bool BackForPost::_Forward(Message& answer, uint8_t end_flag, uint32_t* result)
{
    _RouterGData& r = _ServiceGImpl::Get().router;
    Mutex::ScopedLock lock(r.route_mutex);
    if (end_flag != 1 && !_is_end && r.EachNext(_list, _cursor, _is_end)) {
        _RouterGData::ReceiverEntry* e = static_cast<_RouterGData::ReceiverEntry*>(_cursor.item.Get());
        answer.controller.receiver = e->value;
        ServiceUse svc(e->value->service);
        *result = svc.Get() != 0 && svc.Get()->MessagePost(&ReceiverCall, answer) ? 1u : 0u;
        return true;
    }
    r.EachEnd(_list, _is_end);
    return false;
}

uint32_t BackForPost::Deliver(Message& answer, uint8_t end_flag)
{
    uint32_t result = 1;
    _Forward(answer, end_flag, &result);
    return result;
}

BackForPostBack::BackForPostBack(const SharedSignalType& list, const SignalList::EachItem& cursor,
                                 const IntrusivePtr<ReceiverFunction>& callback)
    : BackForPost(list, cursor), _callback(callback)
{
}

BackForPostBack::~BackForPostBack() {}

namespace {

// Releases the delivering thread first, then runs the poster's callback.
void AnswerThenCall(Message& msg)
{
    msg.Back();
    ReceiverCall(msg);
}

}  // namespace

uint32_t BackForPostBack::Deliver(Message& answer, uint8_t end_flag)
{
    uint32_t result = 1;
    if (_Forward(answer, end_flag, &result))
        return result;
    // The walk is over (routes mutex released): hand the final answer over.
    if (_callback.Empty() || !_callback->observer.IsLive())
        return 0;
    ServiceUse svc(_callback->service);
    if (svc.Get() == 0)
        return 0;
    Message call;
    answer._Swap(call);
    call.controller.receiver = _callback.Get();
    return svc.Get()->MessageSend(&AnswerThenCall, call, 0, KIVO_WAIT_FOREVER) ? 1u : 0u;
}

}  // namespace svc_trains

// ================================================================ routing

_RouterGData::RouteEntry& _RouterGData::_Entry(const std::string& path)
{
    return routes[path];
}

_RouterGData::RouteEntry* _RouterGData::_FindEntry(const std::string& path)
{
    std::map<std::string, RouteEntry>::iterator it = routes.find(path);
    return it != routes.end() ? &it->second : 0;
}

bool _RouterGData::Walk(const std::string& path, Visitor visitor, void* arg)
{
    Mutex::ScopedLock lock(route_mutex);
    RouteEntry* e = _FindEntry(path);
    if (e == 0)
        return false;
    SharedSignalType list = e->signals;
    list->BeginWalk();
    bool result = true;
    SignalList::EachItem it;
    uint32_t r = kContinue;
    while (list->Next(it)) {
        r = visitor(list, it, arg, &result);
        if (r != kContinue)
            break;
    }
    if (r != kKeepOpen)
        list->EndWalk();
    return result;
}

bool _RouterGData::EachNext(const SharedSignalType& list, SignalList::EachItem& it, bool& is_end)
{
    assert(!is_end);
    return list->Next(it);
}

void _RouterGData::EachEnd(const SharedSignalType& list, bool& is_end)
{
    if (is_end)
        return;
    is_end = true;
    list->EndWalk();
}

// ---- visitors

namespace {

enum { kModePost = 0, kModeChain = 1, kModeAnswer = 2 };

struct PostArg {
    const IntrusivePtr<svc_trains::Sender>* sender;
    const Message::Value* value;
    const SharedPtr<short>* token;
    uint32_t mode;
    const MsgRouter::Handler* answer;
};

svc_trains::Receiver* EntryReceiver(SignalList::EachItem& it)
{
    return static_cast<_RouterGData::ReceiverEntry*>(it.item.Get())->value.Get();
}

void BuildMessage(Message& m, const IntrusivePtr<svc_trains::Sender>& sender, svc_trains::Receiver* recv,
                  const SharedPtr<short>& token, const Message::Value& v)
{
    Message::Controller c;
    c.sender = sender;
    c.receiver = recv;
    c.shared_seq = token;
    Message built(v, c);
    built._Swap(m);
}

uint32_t PostVisitor(const _RouterGData::SharedSignalType& list, SignalList::EachItem& it, void* arg, bool* result)
{
    PostArg* a = static_cast<PostArg*>(arg);
    svc_trains::Receiver* recv = EntryReceiver(it);
    Message m;
    BuildMessage(m, *a->sender, recv, *a->token, *a->value);
    svc_trains::ServiceUse svc(recv->service);
    if (a->mode == kModePost) {
        bool ok = svc.Get() != 0 && svc.Get()->MessagePost(&svc_trains::ReceiverCall, m);
        *result = *result && ok;
        return _RouterGData::kContinue;
    }
    svc_trains::BackImpl* back;
    if (a->mode == kModeChain) {
        back = new svc_trains::BackForPost(list, it);
    } else {
        svc_trains::Sender& self = **a->sender;
        back = new svc_trains::BackForPostBack(
            list, it, IntrusivePtr<svc_trains::ReceiverFunction>(new svc_trains::ReceiverFunction(self, *a->answer)));
    }
    m.controller._back = back;
    *result = svc.Get() != 0 && svc.Get()->MessagePost(&svc_trains::ReceiverCall, m);
    // A refused post leaves the channel in m; destroying m below ends the
    // walk (the routes mutex is recursive).
    return _RouterGData::kKeepOpen;
}

struct SendArg {
    const IntrusivePtr<svc_trains::Sender>* sender;
    Message::Value* value;
    bool keep_answer;
    Mutex* mutex;
};

uint32_t SendVisitor(const _RouterGData::SharedSignalType&, SignalList::EachItem& it, void* arg, bool* result)
{
    SendArg* a = static_cast<SendArg*>(arg);
    IntrusivePtr<svc_trains::Receiver> recv(EntryReceiver(it));
    uint8_t end_flag = 0;
    bool ok;
    {
        // Taken under the routes mutex, held while it is released.
        svc_trains::ServiceUse svc(recv->service);
        Mutex::ScopedUnlock unlock(*a->mutex);
        Message m;
        BuildMessage(m, *a->sender, recv.Get(), SharedPtr<short>(), *a->value);
        ok = svc.Get() != 0 && svc.Get()->_MessageSend(&svc_trains::ReceiverCall, m, a->keep_answer ? a->value : 0,
                                                       KIVO_WAIT_FOREVER, &end_flag);
    }
    if (!ok) {
        *result = false;
        return _RouterGData::kStop;
    }
    return end_flag == 1 ? _RouterGData::kStop : _RouterGData::kContinue;
}

uint32_t PreparedVisitor(const _RouterGData::SharedSignalType&, SignalList::EachItem& it, void* arg, bool* result)
{
    Message* m = static_cast<Message*>(arg);
    svc_trains::ServiceUse svc(EntryReceiver(it)->service);
    bool ok = svc.Get() != 0 && svc.Get()->MessagePost(&svc_trains::ReceiverCall, *m);
    *result = *result && ok;
    return _RouterGData::kContinue;
}

}  // namespace

// ---- MsgRouter

MsgRouter::MsgRouter() : _sender(new svc_trains::Sender(Service::Current(), GetObserver(), this))
{
    _sender->key = g_router_keys.fetch_add(1) + 1;
}

MsgRouter::~MsgRouter()
{
    // Stop calls into this router before its members go; under the routes
    // mutex, so that no walk that judged it live is still posting to it.
    {
        Mutex::ScopedLock lock(_ServiceGImpl::Get().router.route_mutex);
        _MarkDead();
    }
    if (!_sender->name.empty()) {
        _RouterGData& r = _ServiceGImpl::Get().router;
        Mutex::ScopedLock lock(r.name_mutex);
        std::map<std::string, IntrusivePtr<svc_trains::Sender>>::iterator it = r.names.find(_sender->name);
        if (it != r.names.end() && it->second.Get() == _sender.Get())
            r.names.erase(it);
    }
    _sender->owner.store(0);
}

void MsgRouter::SetName(const std::string& name)
{
    if (name.empty())
        return;
    _sender->name = name;
    _RouterGData& r = _ServiceGImpl::Get().router;
    Mutex::ScopedLock lock(r.name_mutex);
    r.names[name] = _sender;
}

MsgRouter::Connection MsgRouter::Connect(const std::string& path, const Handler& fn, int32_t priority)
{
    IntrusivePtr<svc_trains::Receiver> recv(new svc_trains::ReceiverFunction(*_sender, fn));
    Connection entry(new _RouterGData::ReceiverEntry(GetObserver(), priority, recv));
    _RouterGData& r = _ServiceGImpl::Get().router;
    Mutex::ScopedLock lock(r.route_mutex);
    r._Entry(path).signals->Insert(entry);
    return entry;
}

bool MsgRouter::Connect(const std::string& path, const Handler& fn)
{
    std::string full = _sender->PrivateKey() + "::" + path;
    _RouterGData& r = _ServiceGImpl::Get().router;
    IntrusivePtr<svc_trains::Receiver> recv(new svc_trains::ReceiverFunction(*_sender, fn));
    Connection entry(new _RouterGData::ReceiverEntry(GetObserver(), 0x7FFFFFFF, recv));
    Mutex::ScopedLock lock(r.route_mutex);
    SignalList& list = *r._Entry(full).signals;
    if (list.Count() != 0)
        return false;
    list.Insert(entry);
    return true;
}

void MsgRouter::Disconnect(const std::string& path)
{
    _RouterGData& r = _ServiceGImpl::Get().router;
    Slot::Observer mine = GetObserver();
    Mutex::ScopedLock lock(r.route_mutex);
    _RouterGData::RouteEntry* e = r._FindEntry(path);
    if (e == 0)
        return;
    SignalList& list = *e->signals;
    for (SignalList::List::iterator it = list.items.begin(); it != list.items.end(); ++it) {
        if ((*it)->observer.SameMark(mine)) {
            (*it)->observer.enabled = 0;
            list.dirty = true;
        }
    }
    if (list.walking == 0) {
        list.BeginWalk();
        list.EndWalk();
    }
}

bool MsgRouter::_Post(const std::string& path, const Message::Value& v, uint32_t mode, const Handler* answer,
                      const SharedPtr<short>& token)
{
    PostArg a = {&_sender, &v, &token, mode, answer};
    return _ServiceGImpl::Get().router.Walk(path, &PostVisitor, &a);
}

bool MsgRouter::PostTo(const std::string& path, const Message::Value& v, bool chain)
{
    return _Post(path, v, chain ? kModeChain : kModePost, 0, SharedPtr<short>());
}

bool MsgRouter::PostTo(const std::string& path, const Message::Value& v, bool chain, const SharedPtr<short>& token)
{
    return _Post(path, v, chain ? kModeChain : kModePost, 0, token);
}

bool MsgRouter::PostPath(const std::string& path, const Message::Value& v, const Handler& answer)
{
    return _Post(path, v, kModeAnswer, &answer, SharedPtr<short>());
}

bool MsgRouter::PostPath(const std::string& path, const Message::Value& v, const Handler& answer,
                         const SharedPtr<short>& token)
{
    return _Post(path, v, kModeAnswer, &answer, token);
}

bool MsgRouter::_Send(const std::string& path, Message::Value& v, bool keep_answer)
{
    _RouterGData& r = _ServiceGImpl::Get().router;
    SendArg a = {&_sender, &v, keep_answer, &r.route_mutex};
    return r.Walk(path, &SendVisitor, &a);
}

bool MsgRouter::SendPath(const std::string& path, const Message::Value& v)
{
    Message::Value copy(v);
    return _Send(path, copy, false);
}

bool MsgRouter::CallPath(const std::string& path, Message::Value& inout)
{
    return _Send(path, inout, true);
}

bool MsgRouter::Send(Message* current, const std::string& path, Message::Value& inout)
{
    if (current == 0 || current->BackKind() > 1 || current->controller.sender.Empty())
        return false;
    IntrusivePtr<svc_trains::Sender> to = current->controller.sender;
    std::string full = to->PrivateKey() + "::" + path;
    IntrusivePtr<svc_trains::Receiver> recv;
    {
        _RouterGData& r = _ServiceGImpl::Get().router;
        Mutex::ScopedLock lock(r.route_mutex);
        _RouterGData::RouteEntry* e = r._FindEntry(full);
        if (e == 0)
            return false;
        SignalList::EachItem it;
        SignalList& list = *e->signals;
        list.BeginWalk();
        if (list.Next(it))
            recv = EntryReceiver(it);
        list.EndWalk();
    }
    if (recv.Empty())
        return false;
    svc_trains::ServiceUse svc(recv->service);
    if (svc.Get() == 0)
        return false;
    Message::Controller c;
    c.sender = to;
    c.receiver = recv;
    c.shared_seq = current->controller.shared_seq;
    Message m(inout, c);
    m.sequence = current->sequence;
    return svc.Get()->MessageSend(&svc_trains::ReceiverCall, m, &inout, KIVO_WAIT_FOREVER);
}

bool MsgRouter::Send(Message* current, const std::string& path, const Message::Value& v)
{
    Message::Value copy(v);
    return Send(current, path, copy);
}

bool MsgRouter::PostToSelf(const Handler& fn, const Message::Value& v, Service::Combine* node)
{
    svc_trains::ServiceUse svc(_sender->service);
    if (svc.Get() == 0)
        return false;
    Message::Controller c;
    c.sender = _sender;
    c.receiver = new svc_trains::ReceiverFunction(*_sender, fn);
    Message m(v, c);
    return svc.Get()->MessagePost(&svc_trains::ReceiverCall, m, 0, node);
}

MsgRouter::Connection RouteAlias(const std::string& new_path, const std::string& path, int32_t priority)
{
    _RouterGData& r = _ServiceGImpl::Get().router;
    Mutex::ScopedLock lock(r.route_mutex);
    _RouterGData::RouteEntry* e = r._FindEntry(path);
    if (e == 0)
        return MsgRouter::Connection();
    SignalList& list = *e->signals;
    SignalList::EachItem it;
    list.BeginWalk();
    MsgRouter::Connection entry;
    if (list.Next(it)) {
        _RouterGData::ReceiverEntry* first = static_cast<_RouterGData::ReceiverEntry*>(it.item.Get());
        entry = new _RouterGData::ReceiverEntry(first->observer, priority, first->value);
    }
    list.EndWalk();
    if (!entry.Empty())
        r._Entry(new_path).signals->Insert(entry);
    return entry;
}

bool PostPrepared(const std::string& path, Message& msg)
{
    return _ServiceGImpl::Get().router.Walk(path, &PreparedVisitor, &msg);
}

}  // namespace kivo
