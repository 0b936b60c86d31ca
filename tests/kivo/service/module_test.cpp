// The module registry, start-up and tear-down on one thread: every module
// lives in a service that the test thread serves itself, so each step runs
// at once and in order. Worker services are in module_concurrency_test.cpp;
// the singletons below use one worker to show where they are built.

#include "kivo/service/module.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/common/stream.h"
#include "kivo/service/elem.h"

using kivo::Message;
using kivo::Module;
using kivo::ModuleBase;
using kivo::ModuleRegister;
using kivo::Service;
using kivo::Var;

namespace {

const char* const kSvc = "mt_local";

std::vector<std::string> g_events;
std::vector<std::string> g_pieces;
std::string g_fail;  // the module whose Init fails
uint32_t g_ctor_sleep_ms = 0;

void Capture(const kivo::StringView& text)
{
    g_pieces.push_back(std::string(text.Data(), text.Size()));
}

class TestModule : public ModuleBase {
public:
    explicit TestModule(const char* name) : _name(name)
    {
        if (g_ctor_sleep_ms != 0)
            kivo::this_thread::Sleep(g_ctor_sleep_ms);
        g_events.push_back(std::string("ctor ") + _name);
    }
    ~TestModule() override { g_events.push_back(std::string("dtor ") + _name); }
    bool Init() override
    {
        g_events.push_back(std::string("init ") + _name);
        return g_fail != _name;
    }

private:
    const char* _name;
};

const char* const kNames[] = {"MS", "M1", "M2", "M3", "MX"};

template <int N>
ModuleBase* Make()
{
    return new TestModule(kNames[N]);
}

// Registered before main, as the application's modules are; it runs last.
ModuleRegister g_static_record(&Make<0>, "MS", kSvc, 100);

// True when text is prefix, "time=", one or more digits, "ms\n".
bool TimePiece(const std::string& text, const std::string& prefix)
{
    std::string head = prefix + "time=";
    if (text.compare(0, head.size(), head) != 0 || text.size() < head.size() + 4)
        return false;
    size_t i = head.size();
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        ++i;
        ++digits;
    }
    return digits > 0 && text.substr(i) == "ms\n";
}

// Times vary: "time=<n>ms" is compared as a pattern.
::testing::AssertionResult PiecesAre(const std::vector<std::string>& expect)
{
    if (g_pieces.size() != expect.size())
        return ::testing::AssertionFailure() << "got " << g_pieces.size() << " pieces, want " << expect.size();
    for (size_t i = 0; i < expect.size(); ++i) {
        const std::string& want = expect[i];
        size_t t = want.find("time=#ms");
        bool ok;
        if (t == std::string::npos) {
            ok = g_pieces[i] == want;
        } else {
            ok = TimePiece(g_pieces[i], want.substr(0, t));
        }
        if (!ok)
            return ::testing::AssertionFailure() << "piece " << i << ": got '" << g_pieces[i] << "', want '" << want
                                                 << "'";
    }
    return ::testing::AssertionSuccess();
}

class ModuleTest : public ::testing::Test {
protected:
    ModuleTest() : svc(kSvc, 64) {}
    void SetUp() override
    {
        svc.Start();
        g_events.clear();
        g_pieces.clear();
        g_fail.clear();
        g_ctor_sleep_ms = 0;
        kivo::ElemWrite("@/flag/module/ready", Var(0));
        // A case may have disabled the static record: each starts with it
        // enabled, in any order (--gtest_shuffle).
        g_static_record.factory = &Make<0>;
    }
    void TearDown() override { svc.Stop(); }

    Service svc;
};

// Tears down what a case built even when one of its assertions ended it
// early; declared after the case's records, so it runs before they go.
struct TearDownModules {
    ~TearDownModules() { Module::Destroy(nullptr); }
};

TEST_F(ModuleTest, OrderLogLinesAndReverseTeardown)
{
    ModuleRegister m1(&Make<1>, "M1", kSvc, 5);
    ModuleRegister m2(&Make<2>, "M2", kSvc, 1);
    ModuleRegister m3(&Make<3>, "M3", kSvc, 5);
    TearDownModules guard;
    g_ctor_sleep_ms = 30;

    Module::Init(&Capture);
    EXPECT_EQ((std::vector<std::string>{"ctor M2", "ctor M1", "ctor M3", "ctor MS", "init M2", "init M1", "init M3",
                                        "init MS"}),
              g_events);
    EXPECT_TRUE(PiecesAre({"module: M2 construct, ", "time=#ms", "module: M1 construct, ", "time=#ms",
                           "module: M3 construct, ", "time=#ms", "module: MS construct, ", "time=#ms",
                           "module: M2 Init ", "success, time=#ms", "module: M1 Init ", "success, time=#ms",
                           "module: M3 Init ", "success, time=#ms", "module: MS Init ", "success, time=#ms"}));
    // A construction that took 30 ms reports about that much.
    int ms = -1;
    ASSERT_EQ(1, sscanf(g_pieces[1].c_str(), "time=%dms", &ms));
    EXPECT_GE(ms, 25);
    EXPECT_LT(ms, 30000);  // only a hang takes this long
    EXPECT_EQ(1, kivo::ElemRead("@/flag/module/ready").ToInt32());

    g_events.clear();
    g_pieces.clear();
    Module::Destroy(&Capture);
    EXPECT_EQ((std::vector<std::string>{"dtor MS", "dtor M3", "dtor M1", "dtor M2"}), g_events);
    EXPECT_TRUE(PiecesAre({"module: MS destroy, ", "time=#ms", "module: M3 destroy, ", "time=#ms",
                           "module: M1 destroy, ", "time=#ms", "module: M2 destroy, ", "time=#ms"}));
    EXPECT_EQ(nullptr, m1.instance);
}

int g_hook_calls = 0;
void Hook()
{
    ++g_hook_calls;
    // Hooks run before the ready flag is written.
    EXPECT_EQ(0, kivo::ElemRead("@/flag/module/ready").ToInt32());
}

TEST_F(ModuleTest, FailingInitStopsThePassButReadyIsWritten)
{
    ModuleRegister m1(&Make<1>, "M1", kSvc, 1);
    ModuleRegister m2(&Make<2>, "M2", kSvc, 2);
    ModuleRegister m3(&Make<3>, "M3", kSvc, 3);
    TearDownModules guard;
    g_fail = "M2";
    static bool hooked = false;  // registered for good: once (--gtest_repeat)
    if (!hooked) {
        Module::AddStartHook(&Hook);
        hooked = true;
    }
    int hooks_before = g_hook_calls;

    Module::Init(&Capture);
    EXPECT_EQ((std::vector<std::string>{"ctor M1", "ctor M2", "ctor M3", "ctor MS", "init M1", "init M2"}),
              g_events);
    ASSERT_EQ(12u, g_pieces.size());
    EXPECT_EQ("module: M2 Init ", g_pieces[10]);
    EXPECT_TRUE(TimePiece(g_pieces[11], "fail, break, "));
    EXPECT_FALSE(TimePiece("fail, break, time=ms\n", "fail, break, "));
    EXPECT_EQ(hooks_before + 1, g_hook_calls);
    EXPECT_EQ(1, kivo::ElemRead("@/flag/module/ready").ToInt32());

    // All built modules are torn down, also the ones that got no Init.
    g_events.clear();
    Module::Destroy(&Capture);
    EXPECT_EQ((std::vector<std::string>{"dtor MS", "dtor M3", "dtor M2", "dtor M1"}), g_events);
}

TEST_F(ModuleTest, DisabledModuleAndNullLog)
{
    ModuleRegister mx(&Make<4>, "MX", kSvc, 0);
    ModuleRegister off(nullptr, "OFF", "no_such_service", 0);  // disabled: its service is never looked up
    Module::Disable("MX");
    Module::Disable("unknown");  // changes nothing

    Module::Init(&Capture);
    EXPECT_EQ((std::vector<std::string>{"ctor MS", "init MS"}), g_events);
    EXPECT_TRUE(PiecesAre({"module: MX disable\n", "module: OFF disable\n", "module: MS construct, ", "time=#ms",
                           "module: MS Init ", "success, time=#ms"}));
    Module::Destroy(&Capture);
    EXPECT_EQ((std::vector<std::string>{"ctor MS", "init MS", "dtor MS"}), g_events);

    // No log function: the same steps, nothing written.
    g_events.clear();
    g_pieces.clear();
    kivo::ElemWrite("@/flag/module/ready", Var(0));
    Module::Init(nullptr);
    Module::Destroy(nullptr);
    EXPECT_EQ((std::vector<std::string>{"ctor MS", "init MS", "dtor MS"}), g_events);
    EXPECT_TRUE(g_pieces.empty());
    EXPECT_EQ(1, kivo::ElemRead("@/flag/module/ready").ToInt32());
}

TEST_F(ModuleTest, DisablingABuiltModuleStillTearsItDown)
{
    Module::Init(nullptr);
    Module::Disable("MS");
    Module::Destroy(&Capture);
    EXPECT_EQ((std::vector<std::string>{"ctor MS", "init MS", "dtor MS"}), g_events);
    EXPECT_EQ(nullptr, g_static_record.instance);
}

TEST_F(ModuleTest, MissingServiceIsABrokenContract)
{
    ModuleRegister lost(&Make<1>, "M1", "mt_no_such_service", 0);
    EXPECT_DEATH(Module::Init(nullptr), "svc != 0");
}

// ---- singletons

struct Probe {
    int ctors = 0;
    int dtors = 0;
    Service* built_in = nullptr;
    Service* deleted_in = nullptr;
    ModuleRegister* record = nullptr;
};
Probe g_probe;

template <typename Base>
class Counted : public Base {
public:
    Counted()
    {
        ++g_probe.ctors;
        g_probe.built_in = Service::Current();
    }
    ~Counted() override
    {
        ++g_probe.dtors;
        g_probe.deleted_in = Service::Current();
    }
};

void NoteContext(Message& msg)
{
    Module::ConstructContext ctx = {nullptr};
    kivo::var_trains::FromVar(msg.value, &ctx);
    g_probe.record = ctx.record;
}

void BuildSingleton(Message& msg)
{
    NoteContext(msg);
    msg.Back(Var(static_cast<kivo::ModuleSingleton*>(new Counted<kivo::ModuleSingleton>)));
}

void BuildModule(Message& msg)
{
    NoteContext(msg);
    msg.Back(Var(static_cast<ModuleBase*>(new Counted<ModuleBase>)));
}

void BuildNothing(Message& msg)
{
    NoteContext(msg);
}

void AnswerOtherType(Message& msg)
{
    msg.Back(Var(42));
}

TEST(ModuleSingletonTest, BuiltAndDeletedInTheirService)
{
    const Service::ThreadParam worker_param = {0, 0, "singleton worker", 1};
    Service worker("mt_single", 16, worker_param);
    ModuleRegister rec(nullptr, "single", "mt_single", 0);
    const Module::ConstructContext ctx = {&rec};

    struct Case {
        const char* what;
        Service::MsgFunc handler;
        bool made;
    };
    const Case cases[] = {
        {"singleton pointer", &BuildSingleton, true},
        {"module pointer", &BuildModule, true},
        {"no answer", &BuildNothing, false},
        {"not a module", &AnswerOtherType, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_probe = Probe();
        ModuleBase* m = Module::_SingletonNew(ctx, "mt_single", c.handler);
        if (!c.made) {
            EXPECT_EQ(nullptr, m);
            EXPECT_EQ(0, g_probe.ctors);
            continue;
        }
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(1, g_probe.ctors);
        EXPECT_EQ(&rec, g_probe.record);  // the context reaches the handler
        // Built on the worker's thread, so the router belongs to that service.
        EXPECT_EQ(&worker, g_probe.built_in);
        EXPECT_EQ(&worker, m->GetService());

        Module::SingletonDelete(m);
        EXPECT_EQ(1, g_probe.dtors);  // deleted before the call returns
        EXPECT_EQ(&worker, g_probe.deleted_in);
    }
    Module::SingletonDelete(nullptr);  // nothing to delete
}

TEST(ModuleSingletonTest, StoppedServiceBuildsNothing)
{
    Service idle("mt_single_stopped", 16);
    idle.Stop();
    g_probe = Probe();
    const Module::ConstructContext ctx = {nullptr};
    EXPECT_EQ(nullptr, Module::_SingletonNew(ctx, "mt_single_stopped", &BuildModule));
    EXPECT_EQ(0, g_probe.ctors);
}

TEST(ModuleSingletonTest, MissingServiceIsABrokenContract)
{
    const Module::ConstructContext ctx = {nullptr};
    EXPECT_DEATH(Module::_SingletonNew(ctx, "mt_no_such_service", &BuildModule), "svc != 0");
    EXPECT_DEATH(
        {
            // Made on a thread without a service: the object has none.
            ModuleBase* orphan = nullptr;
            std::thread t([&orphan] { orphan = new kivo::ModuleSingleton; });
            t.join();
            Module::SingletonDelete(orphan);
        },
        "svc != 0");
}

// ---- test runner

int g_iterations = 0;
int g_fail_every = 0;  // fail iterations whose number is a multiple of this
int g_stop_at = 0;
bool g_few_seen = false;
std::string g_ran_in;

class CountingTest : public kivo::ModuleTestBase {
public:
    void Run() override
    {
        ++g_iterations;
        g_few_seen = Module::TestFewIterations();
        Service* cur = Service::Current();
        g_ran_in = cur != 0 ? cur->Name() : "";
        if (g_fail_every != 0 && g_iterations % g_fail_every == 0)
            Module::TestFail();
        if (g_stop_at != 0 && g_iterations == g_stop_at)
            Module::TestStop();
    }
};

kivo::ModuleTestBase* MakeCounting()
{
    return new CountingTest;
}

struct Captured {
    Captured() : stream(buf, sizeof(buf), 0, false) {}
    std::string Text() const { return std::string(buf, stream.DataLen()); }
    char buf[8192];
    kivo::StreamBuff stream;
};

class RunnerTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        g_iterations = 0;
        g_fail_every = 0;
        g_stop_at = 0;
        g_few_seen = false;
        g_ran_in.clear();
        static bool added = false;
        if (!added) {
            Module::AddTest(&MakeCounting, "count.a", kSvc);
            Module::AddTest(&MakeCounting, "count.b", "mt_no_such_service");
            added = true;
        }
    }
};

TEST_F(RunnerTest, ListAndCountMode)
{
    EXPECT_EQ("01: count.a\r\n02: count.b\r\n", Module::ListTests());

    Captured out;
    EXPECT_TRUE(Module::RunTests("count.a", "5", out.stream, false));
    EXPECT_EQ(5, g_iterations);
    EXPECT_TRUE(g_few_seen);
    EXPECT_EQ(kSvc, g_ran_in);  // in its service
    std::string text = out.Text();
    EXPECT_EQ(0u, text.find("\r\nRun test start...[RUN  TEST] count.a[     PASS] Time: ")) << text;
    EXPECT_NE(std::string::npos, text.find("ms, CNT F/T=0/5(0.0%)\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Test end, total num is: 5, fail num is: 0(0.0%)\r\nusing total time is: "))
        << text;
    EXPECT_EQ(text.size() - 4, text.rfind("ms\r\n"));

    // Wildcard: both tests; the second has no service and runs here.
    g_iterations = 0;
    Captured all;
    EXPECT_TRUE(Module::RunTests("count.?", "20", all.stream, true));
    EXPECT_EQ(40, g_iterations);
    EXPECT_FALSE(g_few_seen);
    EXPECT_NE(std::string::npos, all.Text().find("total num is: 40,"));

    // No match: nothing runs.
    g_iterations = 0;
    Captured none;
    EXPECT_TRUE(Module::RunTests("count", "5", none.stream, false));
    EXPECT_EQ(0, g_iterations);
}

TEST_F(RunnerTest, FailuresStopAndDuration)
{
    g_fail_every = 2;
    Captured out;
    EXPECT_FALSE(Module::RunTests("count.a", "6", out.stream, false));
    EXPECT_NE(std::string::npos, out.Text().find("[  FAIL!!!] Time: ")) << out.Text();
    EXPECT_NE(std::string::npos, out.Text().find("CNT F/T=3/6(50.0%)\n")) << out.Text();
    EXPECT_NE(std::string::npos, out.Text().find("fail num is: 3(50.0%)")) << out.Text();

    g_fail_every = 0;
    g_iterations = 0;
    g_stop_at = 3;
    Captured stopped;
    EXPECT_TRUE(Module::RunTests("count.a", "100", stopped.stream, false));
    EXPECT_EQ(3, g_iterations);

    g_stop_at = 0;
    g_iterations = 0;
    Captured timed;
    uint32_t start = kivo_tick_ms();
    EXPECT_TRUE(Module::RunTests("count.a", "0.3s", timed.stream, false));
    uint32_t took = kivo_tick_ms() - start;
    EXPECT_GE(took, 290u);
    EXPECT_LT(took, 30000u);  // only a hang takes this long
    EXPECT_GT(g_iterations, 1);

    // Over 2 s: progress lines, each without a line end of its own.
    Captured progress;
    EXPECT_TRUE(Module::RunTests("count.a", "2.2s", progress.stream, false));
    const std::string text = progress.Text();
    const size_t proc = text.find("[ *PROC*  ] Time: ");
    ASSERT_NE(std::string::npos, proc) << text;
    const size_t end = text.find("%)", proc);
    ASSERT_NE(std::string::npos, end) << text;
    EXPECT_EQ('[', text[end + 2]) << text;
    EXPECT_NE(std::string::npos, text.find("PROC=", proc)) << text;
}

}  // namespace
