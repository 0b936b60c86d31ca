#include "kivo/service/dump.h"

#include <stdarg.h>

#include <utility>
#include <vector>

#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/common/number.h"
#include "kivo/common/string_view.h"
#include "kivo/service/elem.h"
#include "kivo/service/service.h"

namespace kivo {

namespace {

// How long a service may take to answer before it counts as busy.
const uint32_t kBusyMs = 1000;

void AppendF(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void AppendF(std::string& out, const char* fmt, ...)
{
    const size_t at = out.size();
    out.resize(at + 128);
    for (;;) {
        va_list ap;
        va_start(ap, fmt);
        const bool done = StrVPrintf(out, at, fmt, ap);
        va_end(ap);
        if (done)
            return;
    }
}

// Thread ids are shown as the device's 32-bit numbers.
int TidNumber(kivo_thread_t tid)
{
    return static_cast<int>(static_cast<uintptr_t>(tid));
}

const char* NameOr(const std::string& name, const char* absent)
{
    return name.empty() ? absent : name.c_str();
}

bool Matches(const StringView::WildCard& pattern, const std::string& text)
{
    return pattern.Match(StringView(text));
}

// ---- routers

typedef std::vector<std::pair<std::string, IntrusivePtr<svc_trains::Sender>>> RouterTable;

RouterTable CopyRouters()
{
    _RouterGData& r = _ServiceGImpl::Get().router;
    Mutex::ScopedLock lock(r.name_mutex);
    return RouterTable(r.names.begin(), r.names.end());
}

// A question put to a router inside its own service. It travels as the
// message's shared data, so a reporter that stops waiting leaves the
// handler nothing dangling.
class Inquiry : public SharedDataBase {
public:
    enum Kind { kElems, kVersion };

    Inquiry(const std::string& router_name, const IntrusivePtr<svc_trains::Sender>& r, Kind k,
            const std::string& elem_pattern)
        : name(router_name), router(r), kind(k), pattern(elem_pattern)
    {
    }
    ~Inquiry() override {}

    std::string name;
    IntrusivePtr<svc_trains::Sender> router;
    Kind kind;
    std::string pattern;
    std::vector<std::string> lines;
    std::string version;
};

// Runs in the router's service: the only place where the router is touched,
// and only while it is alive.
void InquiryHandler(Message& msg)
{
    Inquiry* q = static_cast<Inquiry*>(msg.shared.Get());
    MsgRouter* router = q != 0 && q->router->observer.IsLive() ? q->router->owner.load() : 0;
    if (router == 0) {
        msg.Back(Var(false));
        return;
    }
    if (q->kind == Inquiry::kVersion) {
        q->version = router->Version();
    } else {
        StringView::WildCard pattern{StringView(q->pattern)};
        const std::map<std::string, IntrusivePtr<ElemBase>>& elems = router->_ElemMap();
        for (std::map<std::string, IntrusivePtr<ElemBase>>::const_iterator it = elems.begin(); it != elems.end();
             ++it) {
            if (it->second.Empty() || !Matches(pattern, it->first))
                continue;
            std::string text;
            it->second->ValueText(text);
            q->lines.push_back(q->name + "." + it->first + "=" + text);
        }
    }
    msg.Back(Var(true));
}

enum Reply { kReplied, kGone, kSilent };

Reply Ask(const IntrusivePtr<Inquiry>& q, uint32_t timeout_ms)
{
    svc_trains::ServiceUse svc(q->router->service);
    if (svc.Get() == 0)
        return kSilent;
    Message msg(Message::Value(Var(false), true, 0, IntrusivePtr<SharedDataBase>(q.Get())));
    Message::Value ret(Var(false), false);
    if (!svc.Get()->MessageSend(&InquiryHandler, msg, &ret, timeout_ms))
        return kSilent;
    return ret.value.ToBool() ? kReplied : kGone;
}

// ---- thread bindings

struct ThreadRow {
    std::string service;
    int32_t local_id;
    bool running;
    kivo_thread_t tid;
    kivo_thread_t send_wait;
    kivo_thread_t wakeup;
    // The handler is the one that parks a worker for Pause.
    bool pausing;
    Service::Binding::Handling handling;
};

// What a busy thread is handling: for how long, which handler, the message
// and who sent it to whom.
void AppendHandling(std::string& out, const ThreadRow& row, uint32_t now)
{
    const Service::Binding::Handling& h = row.handling;
    out += "\r\n    Run time: ";
    AppendF(out, "%.2fs, ", static_cast<double>(now - h.start_ms) / 1000.0);
    if (row.pausing) {
        out += "pause func: Pause, wakeup tid ";
        AppendF(out, "%d", TidNumber(row.wakeup));
    } else if (!h.receiver.Empty()) {
        AppendF(out, "recv func:0x%X @ %s", static_cast<unsigned>(h.receiver->Identity()),
                h.receiver->name.c_str());
    } else {
        AppendF(out, "recv cfunc:0x%X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(h.func)));
    }
    const std::string data = h.value.ToString();
    if (h.valid && h.id == 0)
        AppendF(out, "\r\n    Message: %s", data.c_str());
    else
        AppendF(out, "\r\n    Message: valid=%d,id=%d,data=%s", h.valid ? 1 : 0, static_cast<int>(h.id),
                data.c_str());
    if (!h.sender.Empty() || !h.receiver.Empty()) {
        AppendF(out, "\r\n    Sender: %s, ", h.sender.Empty() ? "unkown" : NameOr(h.sender->name, "unkown"));
        AppendF(out, "receiver: %s", h.receiver.Empty() ? "unkown" : NameOr(h.receiver->name, "unkown"));
    }
    out += "\r\n";
}

// One row: the thread, its state and, when busy, what it handles.
void AppendThreadRow(std::string& out, size_t index, const ThreadRow& row, uint32_t now)
{
    AppendF(out, "%02d: SVC:%s, tid: %d, local id: %d, ", static_cast<int>(index), row.service.c_str(),
            TidNumber(row.tid), static_cast<int>(row.local_id));
    out += row.running ? "run" : "stop";
    if (Thread::Id(row.send_wait).IsValid()) {
        out += "send wait tid: ";
        AppendF(out, "%d", TidNumber(row.send_wait));
        out += ", ";
    }
    if (row.handling.func == 0) {
        out += ", idle\r\n";
        return;
    }
    AppendHandling(out, row, now);
}

}  // namespace

std::string Service::Dump()
{
    std::vector<ThreadRow> rows;
    {
        _ServiceGImpl& g = _ServiceGImpl::Get();
        Mutex::ScopedLock lock(g.mutex);
        rows.reserve(g.bindings.size());
        for (std::list<IntrusivePtr<Binding>>::const_iterator it = g.bindings.begin(); it != g.bindings.end(); ++it) {
            Binding& b = **it;
            // A binding's service lives while the binding is listed: it is
            // taken off the list under this mutex before the service goes.
            Service* svc = b.service.load();
            if (svc == 0)
                continue;
            rows.push_back(ThreadRow());
            ThreadRow& row = rows.back();
            row.service = svc->_name;
            row.local_id = b.local_id;
            row.running = svc->_running.load(std::memory_order_acquire) != 0;
            row.tid = b.thread_id.Get();
            row.send_wait = b.send_wait.load();
            row.wakeup = svc->_pause_wakeup_tid.load();
            Mutex::ScopedLock hold(b.handling_lock);
            row.handling = b.handling;
            row.pausing = row.handling.func == &Service::_PauseHandler;
        }
    }

    const uint32_t now = kivo_tick_ms();
    std::string out;
    out.reserve(1024);
    for (size_t i = 0; i < rows.size(); ++i)
        AppendThreadRow(out, i, rows[i], now);
    return out;
}

std::string DumpPaths(const std::string& pattern)
{
    struct Row {
        std::string path;
        bool has_value;
        Var value;
    };
    const StringView::WildCard match{StringView(pattern)};
    std::vector<Row> rows;
    {
        _RouterGData& r = _ServiceGImpl::Get().router;
        Mutex::ScopedLock lock(r.route_mutex);
        for (std::map<std::string, _RouterGData::RouteEntry>::const_iterator it = r.routes.begin();
             it != r.routes.end(); ++it) {
            if (!Matches(match, it->first))
                continue;
            rows.push_back(Row());
            Row& row = rows.back();
            row.path = it->first;
            row.has_value = it->second.has_value != 0;
            if (row.has_value)
                _EntryValue(it->second, row.value);
        }
    }
    std::string out;
    out.reserve(2048);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].has_value)
            AppendF(out, "%03d. %s: data=%s\n", static_cast<int>(i), rows[i].path.c_str(),
                    rows[i].value.ToString().c_str());
        else
            AppendF(out, "%03d. %s: null\n", static_cast<int>(i), rows[i].path.c_str());
    }
    return out;
}

std::string DumpElems(const std::string& module_pattern, const std::string& elem_pattern)
{
    const RouterTable routers = CopyRouters();
    const StringView::WildCard match{StringView(module_pattern)};
    std::string out;
    out.reserve(2048);
    int line = 0;
    for (RouterTable::const_iterator it = routers.begin(); it != routers.end(); ++it) {
        if (!Matches(match, it->first))
            continue;
        const svc_trains::Sender& router = *it->second;
        // Destroyed since the copy: its service may be gone with it.
        if (!router.observer.IsLive())
            continue;
        IntrusivePtr<Inquiry> q(new Inquiry(it->first, it->second, Inquiry::kElems, elem_pattern));
        Reply reply = kSilent;
        bool answers;
        {
            svc_trains::ServiceUse svc(router.service);
            answers = svc.Get() != 0 && Service::Ping(svc.Get(), kBusyMs);
        }
        if (answers)
            reply = Ask(q, KIVO_WAIT_FOREVER);
        if (reply == kGone)
            continue;
        if (reply == kSilent) {
            AppendF(out, "%03d. read elem fail, module:%s is busy!\n", line++, it->first.c_str());
            continue;
        }
        for (size_t i = 0; i < q->lines.size(); ++i)
            AppendF(out, "%03d. %s\n", line++, q->lines[i].c_str());
    }
    return out;
}

std::string DumpModules(const std::string& module_pattern)
{
    const RouterTable routers = CopyRouters();
    const StringView::WildCard match{StringView(module_pattern)};
    std::string out;
    out.reserve(2048);
    for (size_t i = 0; i < routers.size(); ++i) {
        if (!Matches(match, routers[i].first))
            continue;
        const svc_trains::Sender& router = *routers[i].second;
        if (!router.observer.IsLive())
            continue;
        // The answer to the busy probe carries the version, read in the
        // router's own service. A router that does not answer is busy and
        // shows no version: its service may delete it at any moment, so
        // nothing of it is read from here.
        IntrusivePtr<Inquiry> q(new Inquiry(routers[i].first, routers[i].second, Inquiry::kVersion, std::string()));
        const Reply reply = Ask(q, kBusyMs);
        if (reply == kGone || (reply == kSilent && !router.observer.IsLive()))
            continue;
        AppendF(out, "%03d. %s, version:%s, busy:%d\n", static_cast<int>(i), routers[i].first.c_str(),
                reply == kReplied ? q->version.c_str() : "", reply == kSilent ? 1 : 0);
    }
    return out;
}

std::string IndexedName(const std::string& name, int32_t index)
{
    std::string out;
    AppendF(out, "%s[%d]", name.c_str(), static_cast<int>(index));
    return out;
}

}  // namespace kivo
