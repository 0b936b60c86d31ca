// Modules in worker services: each module is built, initialised and
// destroyed in its own service's thread, one step at a time, while the
// caller waits; the ready flag is seen by other threads afterwards.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kivo/service/elem.h"
#include "kivo/service/module.h"

using kivo::Module;
using kivo::ModuleBase;
using kivo::ModuleRegister;
using kivo::Service;
using kivo::Var;

namespace {

const Service::ThreadParam kWorker = {0, 0, "module worker", 1};

std::mutex g_lock;
std::vector<std::string> g_events;
std::atomic<int> g_wrong_thread{0};
std::atomic<int> g_running{0};
std::atomic<int> g_overlap{0};

void Event(const std::string& what, const char* svc)
{
    Service* cur = Service::Current();
    if (cur == 0 || cur->Name() != svc)
        ++g_wrong_thread;
    if (g_running.fetch_add(1) != 0)
        ++g_overlap;
    kivo::this_thread::Sleep(2);
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_events.push_back(what);
    }
    g_running.fetch_sub(1);
}

template <int N>
class Mod : public ModuleBase {
public:
    static const char* Name() { return N == 0 ? "A" : N == 1 ? "B" : "C"; }
    static const char* Svc() { return N == 1 ? "mc_two" : "mc_one"; }
    Mod() { Event(std::string("ctor ") + Name(), Svc()); }
    ~Mod() override { Event(std::string("dtor ") + Name(), Svc()); }
    bool Init() override
    {
        Event(std::string("init ") + Name(), Svc());
        // A module may use path values from its own thread.
        return kivo::ElemWrite(std::string("/mc/") + Name(), Var(N));
    }
    static ModuleBase* Make() { return new Mod<N>; }
};

std::atomic<int> g_pieces{0};
void CountPieces(const kivo::StringView&)
{
    ++g_pieces;
}

TEST(ModuleConcurrencyTest, StepsRunInTheirServicesOneAtATime)
{
    // Nothing of an earlier run (--gtest_repeat) may count for this one.
    {
        std::lock_guard<std::mutex> g(g_lock);
        g_events.clear();
    }
    g_wrong_thread = 0;
    g_overlap = 0;
    g_pieces = 0;
    kivo::ElemWrite("@/flag/module/ready", Var(0));
    kivo::ElemWrite("/mc/B", Var(-1));
    Service one("mc_one", 32, kWorker);
    Service two("mc_two", 32, kWorker);
    ModuleRegister a(&Mod<0>::Make, "A", "mc_one", 0);
    ModuleRegister b(&Mod<1>::Make, "B", "mc_two", 0);
    ModuleRegister c(&Mod<2>::Make, "C", "mc_one", 0);

    std::atomic<bool> stop{false};
    std::atomic<int> seen_ready{0};
    std::thread watcher([&] {
        while (!stop.load()) {
            if (kivo::ElemRead("@/flag/module/ready").ToInt32() == 1)
                seen_ready = 1;
            kivo::this_thread::Sleep(1);
        }
    });

    Module::Init(&CountPieces);
    EXPECT_EQ(1, kivo::ElemRead("@/flag/module/ready").ToInt32());
    for (int i = 0; i < 30000 && seen_ready.load() == 0; ++i)
        kivo::this_thread::Sleep(1);
    EXPECT_EQ(1, seen_ready.load());
    Module::Destroy(&CountPieces);
    stop = true;
    watcher.join();

    std::lock_guard<std::mutex> g(g_lock);
    EXPECT_EQ((std::vector<std::string>{"ctor A", "ctor B", "ctor C", "init A", "init B", "init C", "dtor C",
                                        "dtor B", "dtor A"}),
              g_events);
    EXPECT_EQ(0, g_wrong_thread.load());
    EXPECT_EQ(0, g_overlap.load());
    EXPECT_EQ(18, g_pieces.load());
    EXPECT_EQ(1, kivo::ElemRead("/mc/B").ToInt32());
    EXPECT_EQ(nullptr, b.instance);
}

}  // namespace
