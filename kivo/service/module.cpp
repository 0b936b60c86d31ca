#include "kivo/service/module.h"

#include <assert.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "kivo/base/platform/linux/__platform_atomic.h"
#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/common/stream.h"
#include "kivo/common/thread.h"
#include "kivo/service/elem.h"

namespace kivo {

namespace {

// Records register from static initialisers of other units, before main
// and in no known order: the lists are made on first use.
struct Registry {
    Registry() : head(0), tail(0) {}
    std::mutex lock;
    ModuleRegister* head;
    ModuleRegister* tail;
    std::vector<Module::StartHook> hooks;
};

Registry& GetRegistry()
{
    static Registry r;
    return r;
}

// A snapshot of the records in list order, so that no lock is held while
// modules are built or called.
std::vector<ModuleRegister*> Records()
{
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    std::vector<ModuleRegister*> out;
    for (ModuleRegister* p = r.head; p != 0; p = p->next)
        out.push_back(p);
    return out;
}

void Log(Module::log_ouput log, const char* fmt, const char* text)
{
    if (log == 0)
        return;
    char buf[256];
    snprintf(buf, sizeof(buf), fmt, text);
    log(StringView(buf));
}

void LogTime(Module::log_ouput log, const char* fmt, uint32_t start_ms)
{
    if (log == 0)
        return;
    char buf[64];
    snprintf(buf, sizeof(buf), fmt, static_cast<int>(kivo_tick_ms() - start_ms));
    log(StringView(buf));
}

Service* ServiceNamed(const char* name)
{
    Service* svc = Service::Find(name != 0 ? name : "");
    assert(svc != 0);
    return svc;
}

Service* ServiceOf(const ModuleRegister* rec)
{
    return ServiceNamed(rec->service);
}

ModuleRegister* RecordOf(const Message& msg)
{
    Module::ConstructContext ctx = {0};
    var_trains::FromVar(msg.value, &ctx);
    return ctx.record;
}

// The handlers run in the module's service.
void ConstructHandler(Message& msg)
{
    ModuleRegister* rec = RecordOf(msg);
    if (rec != 0 && rec->factory != 0)
        rec->instance = rec->factory();
    msg.Back(Var(0), true);
}

void InitHandler(Message& msg)
{
    ModuleRegister* rec = RecordOf(msg);
    bool ok = rec != 0 && rec->instance != 0 && rec->instance->Init();
    msg.Back(Var(ok), ok);
}

void DeleteHandler(Message& msg)
{
    ModuleRegister* rec = RecordOf(msg);
    if (rec != 0) {
        delete rec->instance;
        rec->instance = 0;
    }
    msg.Back(Var(0), true);
}

// The module a handler answered with, whichever of the two pointer types
// it used.
ModuleBase* ModuleIn(const Var& v)
{
    ModuleBase* m = 0;
    if (var_trains::FromVar(v, &m))
        return m;
    ModuleSingleton* single = 0;
    if (var_trains::FromVar(v, &single))
        return single;
    return 0;
}

void SingletonDeleteHandler(Message& msg)
{
    delete ModuleIn(msg.value);
    msg.Back(Var(0), true);
}

bool SendStep(Service* svc, Service::MsgFunc fn, ModuleRegister* rec, Message::Value* ret)
{
    Module::ConstructContext ctx = {rec};
    Message msg{Message::Value(Var(ctx))};
    return svc->MessageSend(fn, msg, ret, KIVO_WAIT_FOREVER);
}

}  // namespace

ModuleRegister::ModuleRegister(Factory f, const char* module_name, const char* service_name, int32_t ord)
    : next(0), prev(0), factory(f), name(module_name), order(ord), instance(0), service(service_name)
{
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    // After every record whose order is not greater.
    ModuleRegister* after = r.tail;
    while (after != 0 && after->order > order)
        after = after->prev;
    prev = after;
    next = after != 0 ? after->next : r.head;
    if (next != 0)
        next->prev = this;
    else
        r.tail = this;
    if (prev != 0)
        prev->next = this;
    else
        r.head = this;
}

ModuleRegister::~ModuleRegister()
{
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    if (prev != 0)
        prev->next = next;
    else if (r.head == this)
        r.head = next;
    if (next != 0)
        next->prev = prev;
    else if (r.tail == this)
        r.tail = prev;
    next = prev = 0;
}

void Module::Disable(const char* module_name)
{
    if (module_name == 0)
        return;
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    for (ModuleRegister* p = r.head; p != 0; p = p->next) {
        if (p->name != 0 && std::string(p->name) == module_name) {
            p->factory = 0;
            return;
        }
    }
}

void Module::AddStartHook(StartHook fn)
{
    if (fn == 0)
        return;
    Registry& r = GetRegistry();
    std::lock_guard<std::mutex> g(r.lock);
    r.hooks.push_back(fn);
}

void Module::Init(log_ouput log)
{
    SharedRegistryCounter("@/flag/module/ready", 0);
    std::vector<ModuleRegister*> recs = Records();

    for (size_t i = 0; i < recs.size(); ++i) {
        ModuleRegister* rec = recs[i];
        if (rec->factory == 0) {
            Log(log, "module: %s disable\n", rec->name);
            continue;
        }
        Log(log, "module: %s construct, ", rec->name);
        Service* svc = ServiceOf(rec);
        uint32_t start = kivo_tick_ms();
        SendStep(svc, &ConstructHandler, rec, 0);
        LogTime(log, "time=%dms\n", start);
    }

    for (size_t i = 0; i < recs.size(); ++i) {
        ModuleRegister* rec = recs[i];
        if (rec->instance == 0)
            continue;
        Service* svc = ServiceOf(rec);
        Log(log, "module: %s Init ", rec->name);
        uint32_t start = kivo_tick_ms();
        Message::Value ret(Var(0), false);
        bool sent = SendStep(svc, &InitHandler, rec, &ret);
        if (sent && ret.valid) {
            LogTime(log, "success, time=%dms\n", start);
        } else {
            LogTime(log, "fail, break, time=%dms\n", start);
            break;
        }
    }

    std::vector<StartHook> hooks;
    {
        Registry& r = GetRegistry();
        std::lock_guard<std::mutex> g(r.lock);
        hooks = r.hooks;
    }
    for (size_t i = 0; i < hooks.size(); ++i)
        hooks[i]();

    ElemWrite("@/flag/module/ready", Var(1), 0, false);
}

void Module::Destroy(log_ouput log)
{
    std::vector<ModuleRegister*> recs = Records();
    for (size_t i = recs.size(); i-- > 0;) {
        ModuleRegister* rec = recs[i];
        // A module disabled after it was built is still torn down.
        if (rec->factory == 0 && rec->instance == 0)
            continue;
        Log(log, "module: %s destroy, ", rec->name);
        Service* svc = ServiceOf(rec);
        uint32_t start = kivo_tick_ms();
        SendStep(svc, &DeleteHandler, rec, 0);
        LogTime(log, "time=%dms\n", start);
        rec->instance = 0;
    }
}

ModuleBase* Module::_SingletonNew(const ConstructContext& ctx, const char* service_name, Service::MsgFunc construct)
{
    Service* svc = ServiceNamed(service_name);
    Message msg{Message::Value(Var(ctx))};
    Message::Value ret(Var(0), false);
    if (!svc->MessageSend(construct, msg, &ret, KIVO_WAIT_FOREVER))
        return 0;
    return ModuleIn(ret.value);
}

void Module::SingletonDelete(ModuleBase* m)
{
    if (m == 0)
        return;
    svc_trains::ServiceUse use(m->GetSender()->service);
    Service* svc = use.Get();
    assert(svc != 0);
    Message msg{Message::Value(Var(m))};
    svc->MessageSend(&SingletonDeleteHandler, msg, 0, KIVO_WAIT_FOREVER);
}

}  // namespace kivo

// ================================================================ test runner

namespace kivo {

namespace {

struct TestRecord {
    Module::TestFactory factory;
    const char* name;
    const char* service;
};

std::mutex& TestsLock()
{
    static std::mutex m;
    return m;
}

std::vector<TestRecord>& Tests()
{
    static std::vector<TestRecord> t;
    return t;
}

// The runner state: one run at a time.
volatile int32_t g_busy = 0;
std::atomic<int32_t> g_pass{1};
std::atomic<int32_t> g_stop{0};
std::atomic<int32_t> g_few{0};

void Put(Stream& out, const std::string& text)
{
    out.Write(text.data(), text.size());
    out.Flush();
}

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return buf;
}

double Percent(int32_t part, int32_t whole)
{
    return whole > 0 ? 100.0 * part / whole : 0.0;
}

struct RunJob {
    TestRecord test;
    std::string arg;
    Stream* out;
    int32_t total;
    int32_t failed;
};

void RunOne(RunJob& job)
{
    Stream& out = *job.out;
    Put(out, std::string("[RUN  TEST] ") + (job.test.name != 0 ? job.test.name : ""));
    const std::string& arg = job.arg;
    bool timed = !arg.empty() && (arg[arg.size() - 1] == 's' || arg[arg.size() - 1] == 'S');
    uint32_t duration_ms = 0;
    int32_t count = 0;
    if (timed) {
        double sec = atof(arg.substr(0, arg.size() - 1).c_str());
        duration_ms = sec > 0 ? static_cast<uint32_t>(sec * 1000) : 0;
    } else {
        count = atoi(arg.c_str());
        g_few = count < 11 ? 1 : 0;
    }
    g_stop = 0;
    int64_t start_us = kivo_tick_ns() / 1000;
    uint32_t start_ms = kivo_tick_ms();
    uint32_t last_print = start_ms;
    int32_t total = 0;
    int32_t failed = 0;
    ModuleTestBase* t = job.test.factory();
    while (true) {
        g_pass = 1;
        t->Run();
        ++total;
        if (g_pass.load() == 0)
            ++failed;
        uint32_t elapsed = kivo_tick_ms() - start_ms;
        if (g_stop.load() != 0 || (timed ? elapsed >= duration_ms : total >= count))
            break;
        if (kivo_tick_ms() - last_print >= 2000) {
            last_print = kivo_tick_ms();
            int proc = timed ? (duration_ms > 0 ? static_cast<int>(100.0 * elapsed / duration_ms) : 100)
                             : (count > 0 ? static_cast<int>(100.0 * total / count) : 100);
            if (proc > 100)
                proc = 100;
            Put(out, Format("[ *PROC*  ] Time: %fms, PROC=%d%%, CNT F/T=%d/%d(%.1f%%)",
                            (kivo_tick_ns() / 1000 - start_us) / 1000.0, proc, failed, total,
                            Percent(failed, total)));
        }
    }
    delete t;
    g_pass = 1;
    g_stop = 0;
    g_few = 0;
    Put(out, Format("[%s] Time: %fms, CNT F/T=%d/%d(%.1f%%)\n", failed != 0 ? "  FAIL!!!" : "     PASS",
                    (kivo_tick_ns() / 1000 - start_us) / 1000.0, failed, total, Percent(failed, total)));
    job.total = total;
    job.failed = failed;
}

void RunHandler(Message& msg)
{
    RunJob* job = 0;
    var_trains::FromVar(msg.value, &job);
    if (job != 0)
        RunOne(*job);
    msg.Back(Var(0), true);
}

}  // namespace

void Module::AddTest(TestFactory factory, const char* test_name, const char* service_name)
{
    if (factory == 0)
        return;
    std::lock_guard<std::mutex> g(TestsLock());
    TestRecord r = {factory, test_name, service_name};
    Tests().push_back(r);
}

std::string Module::ListTests()
{
    std::string out;
    out.reserve(1024);
    std::lock_guard<std::mutex> g(TestsLock());
    for (size_t i = 0; i < Tests().size(); ++i)
        out += Format("%02d: %s\r\n", static_cast<int>(i + 1), Tests()[i].name != 0 ? Tests()[i].name : "");
    return out;
}

void Module::TestFail()
{
    g_pass = 0;
}

void Module::TestStop()
{
    g_stop = 1;
}

bool Module::TestFewIterations()
{
    return g_few.load() != 0;
}

bool Module::RunTests(const std::string& filter, const std::string& arg, Stream& out, bool wildcard)
{
    while (kivo_atomic_compare_and_swap(&g_busy, 0, 1) != 0)
        this_thread::Sleep(10);

    std::vector<TestRecord> tests;
    {
        std::lock_guard<std::mutex> g(TestsLock());
        tests = Tests();
    }
    StringView::WildCard pattern{StringView(filter)};
    Put(out, "\r\nRun test start...");
    uint32_t start = kivo_tick_ms();
    int32_t total = 0;
    int32_t failed = 0;
    for (size_t i = 0; i < tests.size(); ++i) {
        std::string name = tests[i].name != 0 ? tests[i].name : "";
        bool selected = wildcard ? pattern.Match(StringView(name)) : name == filter;
        if (!selected)
            continue;
        RunJob job = {tests[i], arg, &out, 0, 0};
        Service* svc = tests[i].service != 0 ? Service::Find(tests[i].service) : 0;
        if (svc != 0) {
            Message msg{Message::Value(Var(&job))};
            svc->MessageSend(&RunHandler, msg, 0, KIVO_WAIT_FOREVER);
        } else {
            RunOne(job);
        }
        total += job.total;
        failed += job.failed;
    }

    kivo_atomic_swap(&g_busy, 0);
    Put(out, Format("Test end, total num is: %d, fail num is: %d(%.1f%%)\r\nusing total time is: %ums\r\n", total,
                    failed, Percent(failed, total), static_cast<unsigned>(kivo_tick_ms() - start)));
    return failed == 0;
}

}  // namespace kivo
