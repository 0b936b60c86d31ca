#include "kivo/service/elem.h"

#include <assert.h>

#include "kivo/common/thread.h"

namespace kivo {

// ================================================================ path values

bool SharedCounter::Assign(const Var& value)
{
    Var v(static_cast<int32_t>(counter->Load()));
    if (!v.Assign(value))
        return false;
    counter->Store(v.ToInt32());
    return true;
}

bool SharedCounter::ToVar(Var& out) const
{
    out = Var(static_cast<int32_t>(counter->Load()));
    return true;
}

namespace {

_RouterGData& Router()
{
    return _ServiceGImpl::Get().router;
}

// The shared object that an entry holds (routes mutex held).
SharedObjectPtr EntryObject(const _RouterGData::RouteEntry& e)
{
    SharedObjectPtr obj;
    if (e.shared_obj != 0)
        var_trains::FromVar(e.value, &obj);
    return obj;
}

svc_trains::Receiver* EntryReceiver(SignalList::EachItem& it)
{
    return static_cast<_RouterGData::ReceiverEntry*>(it.item.Get())->value.Get();
}

void BuildElemMessage(Message& m, svc_trains::Receiver* recv, const Message::Value& v)
{
    Message::Controller c;
    c.receiver = recv;
    Message built(v, c);
    built._Swap(m);
}

// Posts a copy of the value to each receiver: the message owns its value,
// so the writer may return (and its stack go) before any receiver runs.
uint32_t ElemPostVisitor(const _RouterGData::SharedSignalType&, SignalList::EachItem& it, void* arg, bool* result)
{
    const ElemSetParam* p = static_cast<const ElemSetParam*>(arg);
    svc_trains::Receiver* recv = EntryReceiver(it);
    Message m;
    BuildElemMessage(m, recv, p->value);
    svc_trains::ServiceUse svc(recv->service);
    bool ok = svc.Get() != 0 && svc.Get()->MessagePost(&svc_trains::ReceiverCall, m);
    *result = *result && ok;
    return _RouterGData::kContinue;
}

// Sends to each receiver in turn with the routes mutex released, so that
// receivers may read and write elements themselves.
uint32_t ElemSendVisitor(const _RouterGData::SharedSignalType&, SignalList::EachItem& it, void* arg, bool* result)
{
    const ElemSetParam* p = static_cast<const ElemSetParam*>(arg);
    IntrusivePtr<svc_trains::Receiver> recv(EntryReceiver(it));
    uint8_t end_flag = 0;
    bool ok;
    {
        svc_trains::ServiceUse svc(recv->service);
        Mutex::ScopedUnlock unlock(p->route->route_mutex);
        Message m;
        BuildElemMessage(m, recv.Get(), p->value);
        ok = svc.Get() != 0 && svc.Get()->_MessageSend(&svc_trains::ReceiverCall, m, 0, KIVO_WAIT_FOREVER, &end_flag);
    }
    if (!ok) {
        *result = false;
        return _RouterGData::kStop;
    }
    return end_flag == 1 ? _RouterGData::kStop : _RouterGData::kContinue;
}

bool Deliver(const std::string& path, const ElemSetParam& p, bool sync)
{
    return Router().Walk(path, sync ? &ElemSendVisitor : &ElemPostVisitor, const_cast<ElemSetParam*>(&p));
}

}  // namespace

bool ElemWrite(const std::string& path, const Var& value, uint8_t flag, bool sync)
{
    _RouterGData& r = Router();
    bool stored = true;
    {
        Mutex::ScopedLock lock(r.route_mutex);
        _RouterGData::RouteEntry& e = r._Entry(path);
        if (e.shared_obj != 0) {
            SharedObjectPtr obj = EntryObject(e);
            stored = !obj.Empty() && obj->Assign(value);
            // Readable again after a read that took the value.
            if (stored)
                e.has_value = 1;
        } else {
            e.value = value;
            e.has_value = 1;
        }
    }
    ElemSetParam p(value, flag, stored, &r);
    Deliver(path, p, sync);
    return stored;
}

bool ElemPost(const std::string& path, const Var& value, uint8_t flag)
{
    ElemSetParam p(value, flag, true, &Router());
    return Deliver(path, p, false);
}

bool ElemSend(const std::string& path, const Var& value)
{
    ElemSetParam p(value, 0, true, &Router());
    return Deliver(path, p, true);
}

void _EntryValue(const _RouterGData::RouteEntry& e, Var& out)
{
    if (e.shared_obj != 0) {
        SharedObjectPtr obj = EntryObject(e);
        if (obj.Empty() || !obj->ToVar(out))
            out = e.value;
    } else {
        out = e.value;
    }
}

bool ElemRead(const std::string& path, Var& out, bool take)
{
    _RouterGData& r = Router();
    Mutex::ScopedLock lock(r.route_mutex);
    _RouterGData::RouteEntry* e = r._FindEntry(path);
    if (e == 0 || e->has_value == 0)
        return false;
    _EntryValue(*e, out);
    if (take)
        e->has_value = 0;
    return true;
}

Var ElemRead(const std::string& path)
{
    Var out;
    if (!ElemRead(path, out, false))
        return Var(0);
    return out;
}

bool SharedRegistryGet(const std::string& key, SharedObjectPtr* out, SharedCreator creator, void* arg)
{
    _RouterGData& r = Router();
    Mutex::ScopedLock lock(r.route_mutex);
    _RouterGData::RouteEntry& e = r._Entry(key);
    e.has_value = 1;
    if (e.shared_obj != 0) {
        if (out != 0)
            *out = EntryObject(e);
        return false;
    }
    if (arg == 0 || creator == 0)
        return false;
    SharedObjectPtr obj(creator(arg));
    if (obj.Empty())
        return false;
    e.value = Var(obj);
    e.shared_obj = 1;
    if (out != 0)
        *out = obj;
    return true;
}

SharedPtr<impl::Atomic<int>> SharedRegistryCounter(const std::string& path, int32_t init)
{
    struct Make {
        static SharedObjectBase* Counter(void* arg) { return new SharedCounter(*static_cast<int32_t*>(arg)); }
    };
    SharedObjectPtr held;
    SharedRegistryGet(path, &held, &Make::Counter, &init);
    SharedCounter* c = dynamic_cast<SharedCounter*>(held.Get());
    return c != 0 ? c->counter : SharedPtr<impl::Atomic<int>>();
}

// ================================================================ element objects

bool ElemBase::Set(const Var& value, int32_t* err)
{
    Var copy(value);
    if (validator.TargetIdentity() != 0 && !validator(copy, err))
        return false;
    if (!SetValue(copy, err))
        return false;
    _Notify();
    return true;
}

void ElemBase::ForceSet(const Var& value, int32_t* err)
{
    Var copy(value);
    SetValueUnchecked(copy, err);
    _Notify();
}

bool ElemBase::Check(const Var& value, int32_t* err) const
{
    if (validator.TargetIdentity() == 0)
        return true;
    Var copy(value);
    return validator(copy, err);
}

ElemBase::Connection ElemBase::AddWatcher(const Slot::Observer& observer, const Watcher& fn, int32_t priority)
{
    Connection entry(new WatcherEntry(observer, priority, fn));
    Mutex::ScopedLock lock(_watch_lock);
    watchers.Insert(entry);
    return entry;
}

void ElemBase::_Notify()
{
    // The list lock is released around each call: a watcher may add
    // watchers or set the element again.
    Mutex::ScopedLock lock(_watch_lock);
    watchers.BeginWalk();
    SignalList::EachItem it;
    while (watchers.Next(it)) {
        IntrusivePtr<SignalList::Base> item = it.item;
        Mutex::ScopedUnlock unlock(_watch_lock);
        static_cast<WatcherEntry*>(item.Get())->value(*this);
    }
    watchers.EndWalk();
}

namespace {

bool IsNumber(const Var& v)
{
    return v.GetType() <= Var::TYPE_DOUBLE;
}

// The value in the bound's type; conversion errors keep the stored result.
void ToBoundType(Var& value, const Var& bound)
{
    if (!IsNumber(bound) || value.GetType() == bound.GetType())
        return;
    Var conv(bound);
    int32_t ignored = 0;
    conv.Assign(value, &ignored);
    value.Swap(conv);
}

}  // namespace

bool Range::Check(Var& value, int32_t* err)
{
    switch (mode) {
    case 1:
        ToBoundType(value, lower);
        if (value.Compare(lower) < 0) {
            value = lower;
            if (err != 0)
                *err = -3;
        }
        break;
    case 2:
        ToBoundType(value, upper);
        if (value.Compare(upper) > 0) {
            value = upper;
            if (err != 0)
                *err = -4;
        }
        break;
    case 3:
        ToBoundType(value, upper);
        if (value.Compare(upper) > 0) {
            value = upper;
            if (err != 0)
                *err = -4;
        }
        if (value.Compare(lower) < 0) {
            value = lower;
            if (err != 0)
                *err = -3;
        }
        break;
    default:
        break;
    }
    return true;
}

void Range::Serial(Stream& s)
{
    (void)s;
    assert(!"a range has no serial form");
}

// ================================================================ element stamps

bool ElemStamp::Assign(const ElemStamp& other)
{
    const uint32_t stamp = other._word & kStampMask;
    const bool changed = stamp != (_word & kStampMask) || (_word & kForceMark) != 0;
    _word = stamp | (changed ? kChangedMark : 0u);
    return changed;
}

// ================================================================ router's elements

void MsgRouter::AddElem(const std::string& name, const IntrusivePtr<ElemBase>& elem)
{
    if (!name.empty() && name[0] == '$') {
        _RouterGData& r = Router();
        _RouterGData::GlobalElem g;
        g.thread_id = this_thread::GetId();
        g.router = _sender;
        g.observer = GetObserver();
        g.elem = elem;
        Mutex::ScopedLock lock(r.elem_mutex);
        r.elems[name] = g;
        return;
    }
    _elems[name] = elem;
}

ElemBase* MsgRouter::FindElem(const std::string& name)
{
    if (!name.empty() && name[0] == '$') {
        _RouterGData& r = Router();
        IntrusivePtr<ElemBase> gone;  // released after the lock
        Mutex::ScopedLock lock(r.elem_mutex);
        std::map<std::string, _RouterGData::GlobalElem>::iterator it = r.elems.find(name);
        if (it == r.elems.end())
            return 0;
        if (!it->second.observer.IsLive()) {
            gone = it->second.elem;
            r.elems.erase(it);
            return 0;
        }
        return it->second.elem.Get();
    }
    std::map<std::string, IntrusivePtr<ElemBase>>::iterator it = _elems.find(name);
    return it != _elems.end() ? it->second.Get() : 0;
}

bool MsgRouter::SetElem(const std::string& name, const Var& value, int32_t* err)
{
    ElemBase* e = FindElem(name);
    return e != 0 && e->Set(value, err);
}

bool MsgRouter::SetElems(const Var& dict)
{
    var_trains::VarDict d;
    if (!var_trains::FromVar(dict, &d))
        return false;
    bool all = true;
    for (var_trains::VarDict::const_iterator it = d.begin(); it != d.end(); ++it)
        all = SetElem(it->first, it->second) && all;
    return all;
}

bool MsgRouter::GetElem(const std::string& name, Var& out)
{
    ElemBase* e = FindElem(name);
    if (e == 0)
        return false;
    out = e->Value();
    return true;
}

bool MsgRouter::GetElemText(const std::string& name, std::string& out)
{
    ElemBase* e = FindElem(name);
    if (e == 0)
        return false;
    out.clear();
    e->ValueText(out);
    return true;
}

// ================================================================ remote access

namespace {

typedef _ServiceGImpl::ElemStatusParam ElemStatusParam;

// Runs in the owning router's service.
void ElemStatusHandler(Message& msg)
{
    ElemStatusParam* p = static_cast<ElemStatusParam*>(msg.shared.Get());
    bool ok = false;
    MsgRouter* router = 0;
    if (p != 0 && !p->router.Empty() && p->router->observer.IsLive())
        router = p->router->owner;
    if (router != 0) {
        switch (p->op) {
        case ElemStatusParam::kSet:
            ok = router->SetElem(p->name, p->value);
            break;
        case ElemStatusParam::kSetMany:
            ok = router->SetElems(p->value);
            break;
        case ElemStatusParam::kGet:
            ok = router->GetElem(p->name, p->value);
            break;
        case ElemStatusParam::kGetText:
            ok = router->GetElemText(p->name, p->text);
            break;
        case ElemStatusParam::kGetList:
            ok = !p->names.empty();
            p->values.assign(p->names.size(), Var());
            for (size_t i = 0; i < p->names.size(); ++i)
                ok = router->GetElem(p->names[i], p->values[i]) && ok;
            break;
        case ElemStatusParam::kGetListText:
            ok = !p->names.empty();
            p->texts.assign(p->names.size(), std::string());
            for (size_t i = 0; i < p->names.size(); ++i)
                ok = router->GetElemText(p->names[i], p->texts[i]) && ok;
            break;
        }
    }
    msg.Back(Var(ok));
}

// Sends the request into the router's service and waits for the verdict.
// The request is carried as the message's shared data, so a send that
// gives up never leaves the handler with a dangling pointer.
bool Request(const std::string& module, const IntrusivePtr<ElemStatusParam>& p, bool* answered = 0)
{
    _RouterGData& r = Router();
    {
        Mutex::ScopedLock lock(r.name_mutex);
        std::map<std::string, IntrusivePtr<svc_trains::Sender>>::iterator it = r.names.find(module);
        if (it == r.names.end())
            return false;
        p->router = it->second;
    }
    svc_trains::ServiceUse svc(p->router->service);
    if (svc.Get() == 0)
        return false;
    Message msg(Message::Value(Var(0), true, 0, IntrusivePtr<SharedDataBase>(p.Get())));
    Message::Value ret(Var(0), false);
    if (!svc.Get()->MessageSend(&ElemStatusHandler, msg, &ret, KIVO_WAIT_FOREVER))
        return false;
    if (answered != 0)
        *answered = true;
    return ret.value.ToBool();
}

}  // namespace

bool ElemSet(const std::string& module, const std::string& name, const Var& value)
{
    IntrusivePtr<ElemStatusParam> p(new ElemStatusParam);
    p->op = ElemStatusParam::kSet;
    p->name = name;
    p->value = value;
    return Request(module, p);
}

bool ElemSetMany(const std::string& module, const Var& dict)
{
    IntrusivePtr<ElemStatusParam> p(new ElemStatusParam);
    p->op = ElemStatusParam::kSetMany;
    p->value = dict;
    return Request(module, p);
}

bool ElemGet(const std::string& module, const std::string& name, Var& out)
{
    IntrusivePtr<ElemStatusParam> p(new ElemStatusParam);
    p->op = ElemStatusParam::kGet;
    p->name = name;
    if (!Request(module, p))
        return false;
    out = p->value;
    return true;
}

bool ElemGetText(const std::string& module, const std::string& name, std::string& out)
{
    IntrusivePtr<ElemStatusParam> p(new ElemStatusParam);
    p->op = ElemStatusParam::kGetText;
    p->name = name;
    if (!Request(module, p))
        return false;
    out = p->text;
    return true;
}

bool ElemGetList(const std::string& module, const std::vector<std::string>& names, std::vector<Var>& out)
{
    IntrusivePtr<ElemStatusParam> p(new ElemStatusParam);
    p->op = ElemStatusParam::kGetList;
    p->names = names;
    bool answered = false;
    bool ok = Request(module, p, &answered);
    if (answered && p->values.size() == names.size())
        out = p->values;
    return ok;
}

bool ElemGetList(const std::string& module, const std::vector<std::string>& names, std::vector<std::string>& out)
{
    IntrusivePtr<ElemStatusParam> p(new ElemStatusParam);
    p->op = ElemStatusParam::kGetListText;
    p->names = names;
    bool answered = false;
    bool ok = Request(module, p, &answered);
    if (answered && p->texts.size() == names.size())
        out = p->texts;
    return ok;
}

}  // namespace kivo
