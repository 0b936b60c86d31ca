#pragma once

// Elements: named values of the service runtime.
//
// Path values live in the route table: every route entry can keep the last
// value written to its path (or a shared object that several parts of the
// program hold directly). They are read and written from any thread under
// the routes mutex; a write is then delivered to the path's receivers.
//
// Element objects (kivo::ElemBase) are owned by a router by name and only
// touched in the router's service; other services reach them through a
// synchronous request into that service.

#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "kivo/common/function.h"
#include "kivo/common/shared_ptr.h"
#include "kivo/common/variant.h"
#include "kivo/service/service.h"

namespace kivo {

class Stream;

namespace impl {

// A 32-bit (or other integral) counter shared by value holders.
template <typename T>
class Atomic {
public:
    explicit Atomic(T v = T()) : _v(v) {}
    T Load() const { return _v.load(std::memory_order_acquire); }
    void Store(T v) { _v.store(v, std::memory_order_release); }
    T FetchAdd(T d) { return _v.fetch_add(d, std::memory_order_acq_rel); }

private:
    std::atomic<T> _v;
};

}  // namespace impl

// ---------------------------------------------------------------- path values

// What a path's shared object offers to the path-value calls.
class SharedObjectBase : public RefObject {
public:
    ~SharedObjectBase() override {}
    // A write to the path: false when the object refuses the value.
    virtual bool Assign(const Var& value) { (void)value; return false; }
    // What a read of the path gives; false leaves out as it is.
    virtual bool ToVar(Var& out) const { (void)out; return false; }
};

// A heap object of any type held under a path; deletes it at the end.
template <typename T>
class SharedClass : public SharedObjectBase {
public:
    explicit SharedClass(T* obj) : _obj(obj) {}
    ~SharedClass() override { delete _obj; }
    T* Get() const { return _obj; }

private:
    T* _obj;
};

// The shared counter of kivo::SharedRegistryCounter.
class SharedCounter : public SharedObjectBase {
public:
    explicit SharedCounter(int32_t init) : counter(new impl::Atomic<int>(init)) {}
    ~SharedCounter() override {}
    bool Assign(const Var& value) override;
    bool ToVar(Var& out) const override;

    SharedPtr<impl::Atomic<int>> counter;
};

typedef IntrusivePtr<SharedObjectBase> SharedObjectPtr;
typedef SharedObjectBase* (*SharedCreator)(void* arg);

// What a write delivers to the path's receivers: the message is built from
// the value part (value, valid true, the flag as id, no shared data), so the
// value travels inside the message.
struct ElemSetParam {
    ElemSetParam(const Var& v, uint8_t flag, bool stored, _RouterGData* r)
        : value(v, true, static_cast<int8_t>(flag)), result(stored), route(r)
    {
    }
    Message::Value value;
    bool result;
    _RouterGData* route;
};

// Stores value under path (making the entry), then delivers it: posted to
// every receiver at once, or with sync sent to each in turn. The result is
// that of storing: false only when a shared object refused the value.
bool ElemWrite(const std::string& path, const Var& value, uint8_t flag = 0, bool sync = false);
// The delivery step alone, posted; false for a path without an entry.
bool ElemPost(const std::string& path, const Var& value, uint8_t flag = 0);
// The delivery step alone, sent to each receiver in turn.
bool ElemSend(const std::string& path, const Var& value);
// The stored value of path; with take the value is consumed (the next read
// fails until the next write). False for an unknown path or no value.
bool ElemRead(const std::string& path, Var& out, bool take = false);
// The stored value, or the integer 0 when there is none.
Var ElemRead(const std::string& path);
// What a read of the entry gives: a shared object's own value when it
// offers one, else the stored value (routes mutex held).
void _EntryValue(const _RouterGData::RouteEntry& e, Var& out);

// The shared object of key, made by creator(arg) when the entry holds none
// and arg is not 0. True only when this call made it.
bool SharedRegistryGet(const std::string& key, SharedObjectPtr* out, SharedCreator creator, void* arg);
// A shared 32-bit counter under path, set to init when made here; empty
// when the path holds another kind of shared object.
SharedPtr<impl::Atomic<int>> SharedRegistryCounter(const std::string& path, int32_t init);

namespace impl {
template <typename T>
SharedObjectBase* CreateSharedClass(void* arg)
{
    return new SharedClass<T>(static_cast<T*>(arg));
}
}  // namespace impl

// The object of type T shared under key. obj (may be null) becomes the
// shared object when the key has none yet, and is deleted otherwise. Null
// when the key holds no object or one of another type.
template <typename T>
T* GetShared(const std::string& key, T* obj = 0)
{
    SharedObjectPtr held;
    bool made = SharedRegistryGet(key, &held, &impl::CreateSharedClass<T>, obj);
    if (!made)
        delete obj;
    SharedClass<T>* typed = dynamic_cast<SharedClass<T>*>(held.Get());
    return typed != 0 ? typed->Get() : 0;
}

// ---------------------------------------------------------------- element stamps

// A stamp of an element's value in one 32-bit word: the low 30 bits the
// stamp, bit 30 a force mark (the next assignment counts as a change), bit
// 31 the changed mark of the last assignment.
class ElemStamp {
public:
    static constexpr uint32_t kStampMask = 0x3FFFFFFFu;
    static constexpr uint32_t kForceMark = 0x40000000u;
    static constexpr uint32_t kChangedMark = 0x80000000u;

    explicit ElemStamp(uint32_t stamp = 0) : _word(stamp & kStampMask) {}
    ElemStamp(const ElemStamp& other) = default;
    // The stamp of a whole word, marks included.
    static ElemStamp FromWord(uint32_t word)
    {
        ElemStamp s;
        s._word = word;
        return s;
    }

    // Takes the other's stamp bits; marks a change when they differ from
    // this stamp's or this stamp was forced, and drops the force mark.
    // Returns the changed mark.
    bool Assign(const ElemStamp& other);
    ElemStamp& operator=(const ElemStamp& other)
    {
        Assign(other);
        return *this;
    }

    void Force() { _word |= kForceMark; }
    uint32_t Stamp() const { return _word & kStampMask; }
    bool Forced() const { return (_word & kForceMark) != 0; }
    bool Changed() const { return (_word & kChangedMark) != 0; }
    uint32_t Word() const { return _word; }

private:
    uint32_t _word;
};

// ---------------------------------------------------------------- element objects

class ElemBase : public RefObject {
public:
    typedef Function1<void, ElemBase&> Watcher;
    typedef Function2<bool, Var&, int32_t*> Validator;
    typedef SignalList::Wrap<Watcher> WatcherEntry;
    typedef IntrusivePtr<SignalList::Base> Connection;

    ElemBase() {}
    ~ElemBase() override {}

    virtual void ValueText(std::string& out) const = 0;
    virtual Var Value() const = 0;
    virtual bool SetValue(Var& value, int32_t* err) = 0;
    virtual bool SetValueUnchecked(Var& value, int32_t* err) = 0;

    // Validates a copy of value (the validator may change it), sets it and
    // tells the watchers. Nothing happens when the validator refuses.
    bool Set(const Var& value, int32_t* err = 0);
    // Sets without validation, then tells the watchers whatever happened.
    void ForceSet(const Var& value, int32_t* err = 0);
    // The validator's verdict on a copy; true without a validator.
    bool Check(const Var& value, int32_t* err = 0) const;

    // Watchers are called in ascending priority, equal ones in the order
    // they were added, while their observer is live.
    Connection AddWatcher(const Slot::Observer& observer, const Watcher& fn, int32_t priority = 0);

    SignalList watchers;
    Validator validator;

protected:
    void _Notify();

private:
    Mutex _watch_lock;
};

// A ready-made validator: mode 1 lower bound, 2 upper bound, 3 both, any
// other value no check. Values out of range are clamped (error -3 below,
// -4 above); the check always passes.
class Range {
public:
    Range() : mode(0) {}
    Range(int32_t m, const Var& lo, const Var& hi) : mode(m), lower(lo), upper(hi) {}

    bool Check(Var& value, int32_t* err);
    // As a validator of an element; the range must outlive it.
    ElemBase::Validator AsValidator() { return ElemBase::Validator(&Range::Check, this); }
    // A range has no serial form.
    void Serial(Stream& s);

    int32_t mode;
    Var lower;
    Var upper;
};

// ---------------------------------------------------------------- remote access

// The request sent into the owning router's service.
class _ServiceGImpl::ElemStatusParam : public SharedDataBase {
public:
    enum Op { kSet, kSetMany, kGet, kGetText, kGetList, kGetListText };

    ElemStatusParam() : op(kSet), flag(0) {}
    ~ElemStatusParam() override {}

    IntrusivePtr<svc_trains::Sender> router;
    Op op;
    std::string name;
    std::vector<std::string> names;
    Var value;  // the value to set, the dictionary, or the output
    std::string text;
    std::vector<Var> values;
    std::vector<std::string> texts;
    uint8_t flag;
};

// Element access by router (module) name; false when the router is unknown,
// gone, or the operation failed.
bool ElemSet(const std::string& module, const std::string& name, const Var& value);
bool ElemSetMany(const std::string& module, const Var& dict);
bool ElemGet(const std::string& module, const std::string& name, Var& out);
bool ElemGetText(const std::string& module, const std::string& name, std::string& out);
// True only when names is not empty and every name was found.
bool ElemGetList(const std::string& module, const std::vector<std::string>& names, std::vector<Var>& out);
bool ElemGetList(const std::string& module, const std::vector<std::string>& names, std::vector<std::string>& out);

}  // namespace kivo
