// Service diagnostics against worker services: a service held up longer
// than the busy limit, a router (and its service) destroyed while a report
// waits for another one, a thread waiting in a send, a parked worker, and
// reports written while threads handle messages and routers come and go.
// Waits use generous limits; durations are checked with tolerances.

#include "kivo/service/dump.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/service/elem.h"
#include "kivo/service/service.h"
#include "tests/kivo/service/gate.h"
#include "tests/kivo/service/text_elem.h"
#include "tests/kivo/service/wait_for.h"

using kivo::Message;
using kivo::MsgRouter;
using kivo::Service;
using kivo::Var;
using kivo_test::g_gate_open;
using kivo_test::g_in_gate;
using kivo_test::Gate;
using kivo_test::WaitFor;

namespace {

const Service::ThreadParam kOneWorker = {0, 0, "dump worker", 1};

class Versioned : public MsgRouter {
public:
    std::string Version() const override { return "v-7"; }
};

// A named router with one element, built and destroyed in a worker service.
struct Module {
    Module(const char* svc_name, const char* router_name) : svc(new Service(svc_name, 16, kOneWorker))
    {
        Build(router_name);
    }
    ~Module() { Drop(); }
    void Build(const std::string& name)
    {
        Service::SendFunction(svc.get(), [this, name](Message&) {
            router.reset(new Versioned);
            router->SetName(name);
            router->AddElem("level", new kivo_test::TextElem(Var(3)));
        }, Message::Value());
    }
    void DropRouter()
    {
        Service::SendFunction(svc.get(), [this](Message&) { router.reset(); }, Message::Value());
    }
    // Destroys the router in its service, then the service.
    void Drop()
    {
        if (svc) {
            DropRouter();
            svc.reset();
        }
    }
    std::unique_ptr<Service> svc;
    std::unique_ptr<MsgRouter> router;
};

// A router whose version takes a while to read from a thread other than its
// service's, and counts such reads: the report must never make one.
std::atomic<int> g_foreign_reads{0};

class SlowToRead : public MsgRouter {
public:
    std::string Version() const override
    {
        if (Service::Current() != GetService()) {
            g_foreign_reads.fetch_add(1);
            kivo::this_thread::Sleep(300);
        }
        return version;
    }
    std::string version = "v-9";
};

std::string TidText(pthread_t t)
{
    return std::to_string(static_cast<int>(static_cast<uintptr_t>(t)));
}

// The row (all its lines) that starts with "NN: SVC:<svc>,".
std::string RowOf(const std::string& dump, const std::string& svc)
{
    const std::string key = ": SVC:" + svc + ",";
    size_t at = dump.find(key);
    if (at == std::string::npos || at < 2)
        return std::string();
    at -= 2;
    size_t end = at;
    for (;;) {
        end = dump.find("\r\n", end);
        if (end == std::string::npos)
            return std::string();
        end += 2;
        if (dump.compare(end, 4, "    ") != 0)
            return dump.substr(at, end - at);
    }
}

class DumpConcurrencyTest : public kivo_test::GateTest {
protected:
    // Holds the module's service in a handler until Release.
    void Block(Module& m)
    {
        g_gate_open = 0;
        g_in_gate = 0;
        ASSERT_TRUE(Service::PostFunc(m.svc.get(), &Gate, Message::Value(Var(7))));
        ASSERT_TRUE(WaitFor([] { return g_in_gate.load() == 1; }));
    }
    void Release() { g_gate_open = 1; }
};

TEST_F(DumpConcurrencyTest, BusyModuleAndARouterDestroyedWhileTheReportWaits)
{
    struct Report {
        const char* what;
        std::string (*run)();
        const char* want;  // the busy router's line; the destroyed one has none
    } reports[] = {
        {"modules", [] { return kivo::DumpModules("dgc_*"); }, "000. dgc_a, version:, busy:1\n"},
        {"elements", [] { return kivo::DumpElems("dgc_*", "*"); }, "000. read elem fail, module:dgc_a is busy!\n"},
    };
    for (const Report& r : reports) {
        SCOPED_TRACE(r.what);
        Module busy("dgc_busy", "dgc_a");
        Module doomed("dgc_doomed", "dgc_b");
        Block(busy);

        std::string text;
        uint32_t took = 0;
        std::thread reporter([&] {
            uint32_t start = kivo_tick_ms();
            text = r.run();
            took = kivo_tick_ms() - start;
        });
        // The report has copied the router table and waits for dgc_a: its
        // probe is queued behind the gate. Now dgc_b and its service go.
        ASSERT_TRUE(WaitFor([&] { return busy.svc->QueuedCount() == 1; }));
        doomed.Drop();
        reporter.join();
        Release();

        EXPECT_EQ(r.want, text);
        EXPECT_GE(took, 900u);  // waited out the busy limit once
        EXPECT_LT(took, 10000u);
        // The probe that gave up left nothing behind in the queue.
        EXPECT_TRUE(WaitFor([&] { return busy.svc->QueuedCount() == 0; }));
    }
}

TEST_F(DumpConcurrencyTest, BusyRouterDeletedByItsServiceWhileTheReportRunsIsNeverReadFromOutside)
{
    // The service is held up longer than the busy limit, then deletes its
    // router: once the report is over, or as soon as the report reads the
    // router itself.
    g_foreign_reads = 0;
    std::atomic<int> report_done{0};
    std::atomic<int> busy_from{0};
    std::unique_ptr<SlowToRead> router;
    Service svc("dgc_late", 16, kOneWorker);
    Service::SendFunction(&svc, [&router](Message&) {
        router.reset(new SlowToRead);
        router->SetName("dgc_late");
    }, Message::Value());
    Service::PostFunction(&svc, [&](Message&) {
        busy_from = 1;
        const uint32_t start = kivo_tick_ms();
        while (kivo_tick_ms() - start < 10000 &&
               (kivo_tick_ms() - start < 1150 || (report_done.load() == 0 && g_foreign_reads.load() == 0)))
            kivo::this_thread::Sleep(1);
        router.reset();
    }, Message::Value());
    ASSERT_TRUE(WaitFor([&] { return busy_from.load() == 1; }));

    const uint32_t start = kivo_tick_ms();
    const std::string text = kivo::DumpModules("*");
    const uint32_t took = kivo_tick_ms() - start;
    report_done = 1;
    ASSERT_TRUE(WaitFor([&] { return svc.QueuedCount() == 0 && Service::Ping(&svc, 200); }));

    EXPECT_EQ(0, g_foreign_reads.load());
    EXPECT_NE(std::string::npos, text.find(". dgc_late, version:, busy:1\n")) << text;
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 10000u);
    EXPECT_EQ(std::string(), kivo::DumpModules("dgc_late"));  // gone with its router
}

TEST_F(DumpConcurrencyTest, AnsweringAgainOnceTheServiceIsFree)
{
    Module m("dgc_free", "dgc_c");
    Block(m);
    EXPECT_EQ("000. dgc_c, version:, busy:1\n", kivo::DumpModules("dgc_c"));
    Release();
    EXPECT_EQ("000. dgc_c, version:v-7, busy:0\n", kivo::DumpModules("dgc_c"));
    EXPECT_EQ("000. dgc_c.level=3\n", kivo::DumpElems("dgc_c", "lev*"));
}

TEST_F(DumpConcurrencyTest, HeldUpThreadShowsItsRunTime)
{
    Module m("dgc_slow", "dgc_d");
    Block(m);
    kivo::this_thread::Sleep(1100);
    std::string row = RowOf(Service::Dump(), "dgc_slow");
    Release();
    char hex[32];
    snprintf(hex, sizeof(hex), "0x%X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(&Gate)));
    const std::string tail = std::string("s, recv cfunc:") + hex + "\r\n    Message: 7\r\n";
    ASSERT_GT(row.size(), tail.size()) << row;
    EXPECT_EQ(tail, row.substr(row.size() - tail.size())) << row;
    size_t t = row.find("run\r\n    Run time: ");
    ASSERT_NE(std::string::npos, t) << row;
    double secs = atof(row.c_str() + t + 19);
    EXPECT_GE(secs, 1.05) << row;
    EXPECT_LT(secs, 30.0) << row;
}

TEST_F(DumpConcurrencyTest, SenderWaitingOnAOneThreadServiceShowsWhom)
{
    Module target("dgc_target", "dgc_e");
    Block(target);
    const std::string worker_row = RowOf(Service::Dump(), "dgc_target");
    const size_t tid_at = worker_row.find("tid: ") + 5;
    const std::string worker_tid = worker_row.substr(tid_at, worker_row.find(',', tid_at) - tid_at);

    std::atomic<int> sent{0};
    std::string sender_tid;
    std::thread sender([&] {
        Service own("dgc_sender", 16);
        own.Start();  // a bound thread: its binding records the wait
        sender_tid = TidText(pthread_self());
        sent = Service::SendFunc(target.svc.get(), [](Message&) {}, Message::Value()) ? 1 : 2;
    });
    std::string row;
    EXPECT_TRUE(WaitFor([&] {
        row = RowOf(Service::Dump(), "dgc_sender");
        return row.find("send wait tid") != std::string::npos;
    }));
    Release();
    sender.join();
    EXPECT_EQ(1, sent.load());
    EXPECT_EQ("SVC:dgc_sender, tid: " + sender_tid + ", local id: 0, runsend wait tid: " + worker_tid + ", , idle\r\n",
              row.substr(4));
}

TEST_F(DumpConcurrencyTest, ParkedWorkerShowsThePause)
{
    const Service::ThreadParam two = {0, 0, "dump pair", 2};
    Service multi("dgc_multi", 16, two);
    ASSERT_TRUE(WaitFor([&] { return multi.State() == 2; }));
    multi.Pause();
    std::string dump = Service::Dump();
    multi.Resume();
    const std::string want = "pause func: Pause, wakeup tid " + TidText(pthread_self()) + "\r\n    Message: ";
    EXPECT_NE(std::string::npos, dump.find(want)) << dump;
}

TEST_F(DumpConcurrencyTest, ReportsWhileThreadsWorkAndRoutersComeAndGo)
{
    Module stable("dgc_stable", "dgc_s");
    std::atomic<bool> stop{false};
    std::atomic<int> handled{0};
    std::thread poster([&] {
        for (int i = 0; !stop.load(); ++i) {
            Message::Value v(Var(std::string("text ") + std::to_string(i)), (i % 3) != 0, static_cast<int8_t>(i % 5));
            Service::SendFunction(stable.svc.get(), [&handled](Message& m) {
                m.value = Var(0);  // the handler changes its message while reports copy it
                ++handled;
            }, v);
        }
    });
    // Routers come and go in a service that stays, as modules do.
    Module churning("dgc_churn", "dgc_t");
    std::thread churn([&] {
        while (!stop.load()) {
            churning.DropRouter();
            churning.Build("dgc_t");
        }
    });
    std::vector<std::string> seen;
    for (int i = 0; i < 60; ++i) {
        seen.push_back(Service::Dump());
        seen.push_back(kivo::DumpModules("dgc_*"));
        seen.push_back(kivo::DumpElems("dgc_*", "*"));
        seen.push_back(kivo::DumpPaths("*"));
    }
    // The reports may all be done before the poster got its first turn.
    EXPECT_TRUE(WaitFor([&] { return handled.load() > 0; }));
    stop = true;
    poster.join();
    churn.join();
    for (size_t i = 1; i < seen.size(); i += 4) {
        // The stable module is never busy; the churning one shows up whole or not at all.
        EXPECT_NE(std::string::npos, seen[i].find("dgc_s, version:v-7, busy:0\n")) << seen[i];
        EXPECT_NE(std::string::npos, seen[i + 1].find(". dgc_s.level=3\n")) << seen[i + 1];
    }
}

}  // namespace
