#pragma once

// The service runtime: services (message queues served by threads), messages
// with their reply channels, and routing of messages by path.
//
// Locks, in the order they may be taken:
//   1. the registry mutex (_ServiceGImpl::mutex) and the router-name and
//      queue-node mutexes of _RouterGData: held only for table look-ups;
//   2. the routes mutex (_RouterGData::route_mutex): route table and every
//      signal list; posts are made while it is held, sends release it;
//   3. the kernel lock: every service queue;
//   4. a binding's handling lock: held only to copy what it describes;
//   5. a service link's mutex: only around the wait for its last use and
//      that use's signal.
// No handler ever runs under 1 or 2, and no message is destroyed under 3
// (a message may hold the last reference of a reply channel whose
// destructor takes the routes mutex).

#include <stdint.h>

#include <atomic>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "kivo/base/kivo_pthread.h"
#include "kivo/base/noncopyable.h"
#include "kivo/common/function.h"
#include "kivo/common/shared_ptr.h"
#include "kivo/common/thread.h"
#include "kivo/common/variant.h"
#include "kivo/service/slot.h"

namespace kivo {

class Service;
class Message;
class MsgRouter;
class SignalList;
class _RouterGData;
class _ServiceGImpl;
class ElemBase;

namespace svc_trains {
class Sender;
class Receiver;
class ReceiverFunction;
class BackImpl;
class BackForSendSync;
class BackForSendASync;
class ServiceLink;
}  // namespace svc_trains

// Base of the reference-counted payload a message may carry beside its value.
class SharedDataBase : public RefObject {
public:
    ~SharedDataBase() override {}
};

// ---------------------------------------------------------------- messages

class Message : public NonCopyable {
public:
    // What callers hand in to build a message and what a waiting sender gets
    // back as the answer.
    class Value {
    public:
        Value() : valid(true), id(0) {}
        Value(const Var& v, bool ok = true, int8_t msg_id = 0,
              const IntrusivePtr<SharedDataBase>& data = IntrusivePtr<SharedDataBase>())
            : value(v), valid(ok), id(msg_id), shared(data)
        {
        }

        Var value;
        bool valid;
        int8_t id;
        IntrusivePtr<SharedDataBase> shared;
    };

    // Who sent the message, who is to handle it, and whom to tell.
    // Members are released in reverse order: the reply channel first.
    class Controller {
    public:
        IntrusivePtr<svc_trains::Sender> sender;
        IntrusivePtr<svc_trains::Receiver> receiver;
        SharedPtr<short> shared_seq;
        IntrusivePtr<svc_trains::BackImpl> _back;

        void Swap(Controller& rhs);
    };

    Message();
    explicit Message(const Value& v);
    Message(const Value& v, const Controller& ctrl);
    ~Message();

    Message& operator=(const Value& v);
    void CopyTo(Value& out) const;

    // Moves the controller (reply channel included) into rhs and copies the
    // rest. rhs must have no channel, and this message must not be the
    // request of a synchronous send (its channel lives on the sender's stack).
    void Move(Message& rhs);
    // Moves this message into a new heap message, so that a handler can keep
    // it and answer later.
    SharedPtr<Message> MoveToHeap();

    bool HasBack() const { return !controller._back.Empty(); }
    // The reply channel's kind; 0 without a channel.
    uint32_t BackKind() const;
    bool CanBeMove() const { return BackKind() < 4; }

    // Answers the message; 0 when it has no channel (any longer). The answer
    // carries the request's sender, receiver, shared data and sequence.
    uint32_t Back();
    uint32_t Back(const Var& value, bool valid = true, uint8_t end_flag = 0);

    // The message being handled on the calling thread, or null.
    static Message* Current();

    void Invalidate();
    bool IsInvalid() const;

    // Everything at once, for the queue: leaves rhs with this message's
    // content and this one with rhs's.
    void _Swap(Message& rhs);

    Controller controller;
    IntrusivePtr<SharedDataBase> shared;
    Var value;
    bool valid;
    int8_t id;
    uint16_t sequence;
};

// ---------------------------------------------------------------- signal lists

// The receivers of one path (or the watchers of one element): entries in
// ascending priority, equal priorities in connection order. Dead entries are
// skipped by walks and erased only when the last walk in progress ends, so
// cursors of open walks stay valid. All access under the owner's lock (the
// routes mutex for routes).
class SignalList : public NonCopyable {
public:
    class Base : public RefObject {
    public:
        Base(const Slot::Observer& obs, int32_t prio) : observer(obs), priority(prio) {}
        ~Base() override {}
        bool IsLive() const { return observer.IsLive(); }

        Slot::Observer observer;
        int32_t priority;
    };

    template <typename T>
    class Wrap : public Base {
    public:
        Wrap(const Slot::Observer& obs, int32_t prio, const T& v) : Base(obs, prio), value(v) {}
        T value;
    };

    typedef std::list<IntrusivePtr<Base>> List;

    // Walk cursor: the position and the current entry.
    class EachItem {
    public:
        EachItem() : started(false) {}
        List::iterator pos;
        bool started;
        IntrusivePtr<Base> item;
    };

    SignalList() : walking(0), dirty(false) {}

    // Inserts after every entry whose priority is not greater.
    void Insert(const IntrusivePtr<Base>& entry);
    // Moves the cursor to the next live entry; false when none is left.
    bool Next(EachItem& it);
    void BeginWalk() { ++walking; }
    // Ends one walk; the last one erases the dead entries.
    void EndWalk();
    // The entry count, dead entries included.
    size_t Count() const { return items.size(); }

    List items;
    int32_t walking;
    bool dirty;
};

// ---------------------------------------------------------------- services

class Service : public NonCopyable {
public:
    typedef void (*MsgFunc)(Message& msg);
    typedef void (*WakeupHook)(Service* svc);

    // Queue node. A node whose previous link is null is not queued; a
    // queued node knows the service whose queue holds it (kernel lock).
    class Combine : public NonCopyable {
    public:
        Combine() : next(0), prev(0), func(0), queue(0) {}
        Combine* next;
        Combine* prev;
        MsgFunc func;
        Message msg;
        Service* queue;
    };

    // One row of the application's service table.
    struct ThreadParam {
        int32_t prio;
        int32_t stack_size;
        const char* name;
        int32_t thrd_num;
    };

    // One record per thread that called Start.
    class Binding : public RefObject {
    public:
        Binding(Service* svc, int32_t id, Thread::Id tid);
        ~Binding() override;

        // What the thread is handling, as the service dump shows it. Copied
        // when the handling begins: the handler may change or move its
        // message while another thread writes a report.
        struct Handling {
            Handling() : func(0), start_ms(0), valid(true), id(0) {}
            void Swap(Handling& rhs);

            MsgFunc func;  // null when idle
            uint32_t start_ms;
            bool valid;
            int8_t id;
            Var value;
            IntrusivePtr<svc_trains::Sender> sender;
            IntrusivePtr<svc_trains::Receiver> receiver;
        };

        std::atomic<Service*> service;
        int32_t local_id;
        Thread::Id thread_id;
        Message* curr_msg;
        Mutex handling_lock;
        Handling handling;
        // The one-thread service's thread this thread waits on in a send.
        std::atomic<kivo_thread_t> send_wait;
        IntrusivePtr<svc_trains::BackForSendASync> back;
    };

    // A send to the calling thread's own one-thread service runs its handler
    // inline; a handler may send to its own receiver again. Sends nested on
    // one thread deeper than this are refused (false, one line), so that a
    // handler that re-enters itself without end cannot exhaust the stack.
    static const uint32_t kInlineSendDepth = 32;

    Service();
    Service(const std::string& name, uint32_t msg_num, int32_t thrd_num = 1, WakeupHook hook = 0);
    Service(const std::string& name, uint32_t msg_num, const ThreadParam& param, WakeupHook hook = 0);
    ~Service();

    bool Init(const std::string& name, uint32_t msg_num, int32_t thrd_num = 1, WakeupHook hook = 0);
    // As Init above, then creates the workers. False when one of them cannot
    // be created: the service is then stopped as it was before, its other
    // workers ended, nothing of it registered.
    bool Init(const std::string& name, uint32_t msg_num, const ThreadParam& param, WakeupHook hook = 0);

    void Start();
    void Stop();
    void Run();
    bool RunFor(uint32_t ms);
    bool RunOnce();
    bool ProcessAll();
    void Break();
    void Pause();
    void Resume();

    const std::string& Name() const { return _name; }
    uint8_t State() const { return _running.load(std::memory_order_acquire); }
    bool IsRunning() const { return State() != 0; }
    // Nodes in the pool and messages queued now (a snapshot).
    uint32_t PoolSize() const { return static_cast<uint32_t>(_pool_end - _pool_begin); }
    uint32_t QueuedCount() const;

    static Service* Current();
    static Message* CurrentMessage();
    static int32_t CurrentThreadNum();
    static uint32_t CurrentLocalId();
    static void TlsData(uint32_t index, void* value);
    static void* TlsData(uint32_t index);
    static Service* Find(const std::string& name);
    // Every thread binding with what it is doing, one row each
    // (kivo/service/dump).
    static std::string Dump();

    bool MessagePost(MsgFunc func, Message& msg, svc_trains::BackImpl* back = 0, Combine* node = 0);
    bool MessageSend(MsgFunc func, Message& msg, Message::Value* ret = 0, uint32_t timeout_ms = KIVO_WAIT_FOREVER);
    // MessageSend that also reports the answer's end flag (route walks).
    bool _MessageSend(MsgFunc func, Message& msg, Message::Value* ret, uint32_t timeout_ms, uint8_t* end_flag);

    static bool Ping(Service* svc, uint32_t timeout_ms);
    static bool PostFunc(Service* svc, MsgFunc func, const Message::Value& v, Combine* node = 0);
    static bool PostFunction(Service* svc, const Function1<void, Message&>& fn, const Message::Value& v,
                             Combine* node = 0);
    static bool SendFunc(Service* svc, MsgFunc func, const Message::Value& v);
    static bool CallFunc(Service* svc, MsgFunc func, Message::Value& inout);
    static bool SendFunction(Service* svc, const Function1<void, Message&>& fn, const Message::Value& v);
    // A persistent queue node for a key, made on first use, never freed.
    static Combine* GetNode(uint32_t key);

    // What routers and messages keep of this service instead of its address.
    const IntrusivePtr<svc_trains::ServiceLink>& _Link() const { return _link; }

private:
    friend class _ServiceGImpl;
    friend void __ServiceEntrance(void* arg);

    bool _MessageSendSync(MsgFunc func, Message& msg, Message::Value* ret, uint8_t* end_flag);
    bool _MessageSendASync(MsgFunc func, Message& msg, Message::Value* ret, uint32_t timeout_ms, uint8_t* end_flag);
    // Steps of an asynchronous send: the caller's "send wait" mark (false
    // when the send would close a wait cycle), the wait for the answer (false
    // when the send gives up; *stopped when the target stopped), and giving
    // up (true when the answer came after all).
    bool _MarkSendWait(Binding* b, kivo_thread_t me) const;
    bool _AwaitAnswer(svc_trains::BackForSendASync& chan, Binding* b, kivo_thread_t me, uint32_t timeout_ms,
                      bool* stopped);
    bool _GiveUpSend(svc_trains::BackForSendASync& chan, Binding* b, bool stopped, Combine& node);
    void _Dispatch(MsgFunc func, Message& msg);
    // Whether the thread that serves this service waits in a send on `me`,
    // itself or through a chain of threads each waiting on the next.
    bool _WaitsOn(kivo_thread_t me) const;
    void _Wait(uint32_t ms);
    void _Append(Combine* node);
    void _Unlink(Combine* node);
    // Takes back an Init whose workers could not all be created.
    void _Undo();
    // Parts of the tear-down: the check that no handler of this service
    // destroys it; the service withdrawn (what the destructor and _Undo
    // share): the link cleared, the registry entry, the queued messages (not
    // answered), the workers joined, the wait for the uses still in, the
    // thread bindings.
    void _AssertNotOwnHandler() const;
    void _Withdraw();
    void _Unpublish();
    void _Unregister();
    void _DropQueued();
    void _DropBindings();
    bool _IsPoolNode(const Combine* node) const { return node >= _pool_begin && node < _pool_end; }
    static void _PauseHandler(Message& msg);

    kivo_event_t _event;
    std::atomic<uint8_t> _running;
    // Set by the destructor before it joins the workers: a worker's send then
    // gives up, since its answer may depend on the thread that joins.
    std::atomic<uint8_t> _dying;
    int32_t _break_cnt;
    std::string _name;
    int32_t _thrd_max_num;
    std::vector<Thread*> _threads;
    std::atomic<kivo_thread_t> _thrd_id;
    std::atomic<std::atomic<kivo_thread_t>*> _send_wait_thrd_id;
    volatile int32_t _local_id_cnt;
    std::atomic<kivo_thread_t> _pause_wakeup_tid;
    std::atomic<int32_t> _pause_cnt;
    // The worker parked by the latest Pause: its own wake-up flag and event
    // (kernel lock), so that Resume frees exactly that one.
    struct _PauseSlot;
    _PauseSlot* _pause_slot;
    Combine* _pool_begin;
    Combine* _pool_end;
    Combine* _queue_head;
    uint32_t _queue_num;
    Combine* _free;
    WakeupHook _hook;
    void* _tls_data[8];
    IntrusivePtr<svc_trains::ServiceLink> _link;
};

// The body of a service's worker threads: Start, Run, Stop.
void __ServiceEntrance(void* arg);

// ---------------------------------------------------------------- reply channels

namespace svc_trains {

// A service as routers, receivers and reply channels know it. The
// destructor of the service clears it under the routes mutex and then
// waits until no ServiceUse of it is left, so whoever holds a use may call
// the service, and whoever finds it cleared knows the service is gone. An
// Init whose workers cannot be created does the same, and then sets it again
// to the stopped service.
class ServiceLink : public RefObject {
public:
    explicit ServiceLink(Service* svc);
    ~ServiceLink() override;
    // A snapshot, for comparisons; call the service only through a use.
    Service* Peek() const { return service.load(); }
    // Returns once no use is left; the use that ends last wakes it.
    void WaitUnused();

    std::atomic<Service*> service;

private:
    friend class ServiceUse;
    void _Release();

    std::atomic<int32_t> _users;
    Mutex _mutex;
    kivo_cond_t _unused;
};

// Keeps a linked service from being destroyed while in scope; Get is null
// when the service is gone or going. The only way in for whoever may meet
// a service during its destruction, the service's own posts and sends
// included.
class ServiceUse : public NonCopyable {
public:
    explicit ServiceUse(const IntrusivePtr<ServiceLink>& link);
    ~ServiceUse();
    Service* Get() const { return _service; }

private:
    // Held so that the link outlives the use's own release: the waiter may
    // let go of the link as soon as the count is 0.
    IntrusivePtr<ServiceLink> _link;
    Service* _service;
};

class BackImpl : public RefObject {
public:
    ~BackImpl() override {}
    virtual uint32_t Kind() const = 0;
    virtual uint32_t Deliver(Message& answer, uint8_t end_flag) = 0;
};

// A chained post to a route: each answer moves the walk on.
class BackForPost : public BackImpl {
public:
    typedef SharedPtr<SignalList> SharedSignalType;

    BackForPost(const SharedSignalType& list, const SignalList::EachItem& cursor);
    ~BackForPost() override;
    uint32_t Kind() const override { return 0; }
    uint32_t Deliver(Message& answer, uint8_t end_flag) override;

protected:
    // Steps the walk and posts the answer to the next receiver. Returns true
    // when the answer went on (result in *result), false when the walk ended.
    bool _Forward(Message& answer, uint8_t end_flag, uint32_t* result);

    SharedSignalType _list;
    SignalList::EachItem _cursor;
    bool _is_end;
};

// The same, ending at the poster's answer handler.
class BackForPostBack : public BackForPost {
public:
    BackForPostBack(const SharedSignalType& list, const SignalList::EachItem& cursor,
                    const IntrusivePtr<ReceiverFunction>& callback);
    ~BackForPostBack() override;
    uint32_t Deliver(Message& answer, uint8_t end_flag) override;

private:
    IntrusivePtr<ReceiverFunction> _callback;
};

// A send to the calling thread's own service: lives on the sender's stack.
class BackForSendSync : public BackImpl {
public:
    explicit BackForSendSync(Message::Value* ret) : _ret(ret), _end_flag(0) {}
    ~BackForSendSync() override {}
    uint32_t Kind() const override { return _ret != 0 ? 5 : 4; }
    uint32_t Deliver(Message& answer, uint8_t end_flag) override;
    uint8_t EndFlag() const { return _end_flag; }

private:
    Message::Value* _ret;
    uint8_t _end_flag;
};

// A send to another thread. The sender arms the channel, the answering
// thread delivers into it, the sender disarms it when it gives up. Arming,
// delivering and disarming are serialised on the channel's lock, so an
// answer either lands completely before the sender returns or is dropped,
// and never touches the sender's (by then gone) stack.
class BackForSendASync : public BackImpl {
public:
    BackForSendASync();
    ~BackForSendASync() override;
    uint32_t Kind() const override;
    uint32_t Deliver(Message& answer, uint8_t end_flag) override;

    // Prepares the channel for one send. Only while no message refers to it.
    void Arm(Message::Value* ret, std::atomic<kivo_thread_t>* send_wait);
    // Waits up to ms for the answer; true once it was delivered.
    bool Wait(uint32_t ms);
    // Stops accepting the answer; true when it had been delivered already.
    bool Disarm();
    uint8_t EndFlag() const { return _end_flag; }

private:
    Mutex _lock;
    bool _armed;
    bool _delivered;
    uint8_t _end_flag;
    Message::Value* _ret;
    std::atomic<kivo_thread_t>* _send_wait;
    kivo_event_t _event;
};

// The router that sent a message.
class Sender : public RefObject {
public:
    Sender(Service* svc, const Slot::Observer& obs, MsgRouter* router);
    Sender(const IntrusivePtr<ServiceLink>& svc, const Slot::Observer& obs, MsgRouter* router)
        : service(svc), key(0), observer(obs), owner(router)
    {
    }
    ~Sender() override {}

    // The key of the router's private paths: its name, or, when it has none,
    // a number no other router of the process gets.
    std::string PrivateKey() const;
    // The service now: null once it is gone (a snapshot, see ServiceLink).
    Service* PeekService() const { return service.Empty() ? 0 : service->Peek(); }

    IntrusivePtr<ServiceLink> service;
    uint64_t key;
    std::string name;
    Slot::Observer observer;
    // Cleared by the router's destructor while other threads may look.
    std::atomic<MsgRouter*> owner;
};

// A connected handler: runs in the connecting router's service.
class Receiver : public Sender {
public:
    explicit Receiver(const Sender& from) : Sender(from.service, from.observer, from.owner.load())
    {
        key = from.key;
        name = from.name;
    }
    ~Receiver() override {}
    virtual void Invoke(Message& msg) = 0;
    virtual uintptr_t Identity() const = 0;
};

class ReceiverFunction : public Receiver {
public:
    ReceiverFunction(const Sender& from, const Function1<void, Message&>& fn) : Receiver(from), handler(fn) {}
    ~ReceiverFunction() override {}
    void Invoke(Message& msg) override { handler(msg); }
    uintptr_t Identity() const override { return handler.TargetIdentity(); }

    Function1<void, Message&> handler;
};

// The handler of every routed message: calls the message's receiver while
// it is live, else drops the message (the automatic answer still follows).
void ReceiverCall(Message& msg);

}  // namespace svc_trains

// ---------------------------------------------------------------- routing

class _RouterGData : public NonCopyable {
public:
    typedef SharedPtr<SignalList> SharedSignalType;
    typedef SignalList::Wrap<IntrusivePtr<svc_trains::Receiver>> ReceiverEntry;

    // Visitor results: go on, stop, keep the walk open (a reply channel
    // continues it).
    static const uint32_t kContinue = 0;
    static const uint32_t kStop = 1;
    static const uint32_t kKeepOpen = 0xFFFFFFFF;
    typedef uint32_t (*Visitor)(const SharedSignalType& list, SignalList::EachItem& it, void* arg, bool* result);

    // One path. The stored value and its flags belong to the path values.
    struct RouteEntry {
        RouteEntry() : has_value(0), shared_obj(0), signals(new SignalList) {}
        uint8_t has_value;
        uint8_t shared_obj;
        Var value;
        SharedSignalType signals;
    };

    // Walks the receivers of a path under the routes mutex; false for an
    // unknown path. The visitor may release the mutex around a call.
    bool Walk(const std::string& path, Visitor visitor, void* arg);
    // The route entry of a path, made when missing (routes mutex held).
    RouteEntry& _Entry(const std::string& path);
    RouteEntry* _FindEntry(const std::string& path);

    // Continuation of a walk kept open by a reply channel. EachNext takes the
    // next live receiver; EachEnd ends the walk once.
    bool EachNext(const SharedSignalType& list, SignalList::EachItem& it, bool& is_end);
    void EachEnd(const SharedSignalType& list, bool& is_end);

    Mutex name_mutex;
    std::map<std::string, IntrusivePtr<svc_trains::Sender>> names;
    Mutex route_mutex;
    std::map<std::string, RouteEntry> routes;
    Mutex node_mutex;
    std::map<uint32_t, Service::Combine*> nodes;

    // The global ('$') elements: who entered each, and the element.
    struct GlobalElem {
        Thread::Id thread_id;
        IntrusivePtr<svc_trains::Sender> router;
        Slot::Observer observer;
        IntrusivePtr<ElemBase> elem;
    };
    Mutex elem_mutex;
    std::map<std::string, GlobalElem> elems;
};

class _ServiceGImpl : public NonCopyable {
public:
    static _ServiceGImpl& Get();

    // Moves the request's channel into the answer's (empty) controller.
    static IntrusivePtr<svc_trains::BackImpl> CopyAndClearBack(Message::Controller& answer,
                                                               Message::Controller& request);

    // The request of remote element access (kivo/service/elem).
    class ElemStatusParam;

    Mutex mutex;
    std::map<std::string, Service*> services;
    std::list<IntrusivePtr<Service::Binding>> bindings;
    _RouterGData router;
};

class MsgRouter : public Slot {
public:
    typedef Function1<void, Message&> Handler;
    // Owns a reference to its list entry; need not be kept.
    typedef IntrusivePtr<SignalList::Base> Connection;

    MsgRouter();
    virtual ~MsgRouter();
    virtual std::string Version() const { return "Unkown"; }

    void SetName(const std::string& name);
    const std::string& Name() const { return _sender->name; }
    // Null once the service is gone.
    Service* GetService() const { return _sender->PeekService(); }
    const IntrusivePtr<svc_trains::Sender>& GetSender() const { return _sender; }

    Connection Connect(const std::string& path, const Handler& fn, int32_t priority);
    // Private path "<name>::<path>": one handler only.
    bool Connect(const std::string& path, const Handler& fn);
    void Disconnect(const std::string& path);

    bool PostTo(const std::string& path, const Message::Value& v, bool chain = false);
    bool PostTo(const std::string& path, const Message::Value& v, bool chain, const SharedPtr<short>& token);
    bool PostPath(const std::string& path, const Message::Value& v, const Handler& answer);
    bool PostPath(const std::string& path, const Message::Value& v, const Handler& answer,
                  const SharedPtr<short>& token);
    bool SendPath(const std::string& path, const Message::Value& v);
    bool CallPath(const std::string& path, Message::Value& inout);

    // Sends to the private path of the sender of `current` (the message
    // being handled), the answer replacing inout.
    bool Send(Message* current, const std::string& path, Message::Value& inout);
    bool Send(Message* current, const std::string& path, const Message::Value& v);

    bool PostToSelf(const Handler& fn, const Message::Value& v, Service::Combine* node = 0);

    // Element objects (kivo/service/elem), used in this router's service.
    // Names beginning with '$' are global.
    void AddElem(const std::string& name, const IntrusivePtr<ElemBase>& elem);
    ElemBase* FindElem(const std::string& name);
    bool SetElem(const std::string& name, const Var& value, int32_t* err = 0);
    bool SetElems(const Var& dict);
    bool GetElem(const std::string& name, Var& out);
    bool GetElemText(const std::string& name, std::string& out);
    // The router's own element map; only in the router's service.
    const std::map<std::string, IntrusivePtr<ElemBase>>& _ElemMap() const { return _elems; }

private:
    bool _Post(const std::string& path, const Message::Value& v, uint32_t mode, const Handler* answer,
               const SharedPtr<short>& token);
    bool _Send(const std::string& path, Message::Value& v, bool keep_answer);

    IntrusivePtr<svc_trains::Sender> _sender;
    std::map<std::string, IntrusivePtr<ElemBase>> _elems;
};

MsgRouter::Connection RouteAlias(const std::string& new_path, const std::string& path, int32_t priority);
bool PostPrepared(const std::string& path, Message& msg);

}  // namespace kivo
