// Elements across threads: synchronous and posted writes to receivers on
// worker services, element access by router name into another service,
// and many writers and readers of one path.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/service/elem.h"
#include "tests/kivo/service/wait_for.h"

using kivo::ElemBase;
using kivo::Message;
using kivo::MsgRouter;
using kivo::Service;
using kivo::Var;

namespace {

const Service::ThreadParam kOneWorker = {0, 0, "elem worker", 1};

using kivo_test::WaitFor;

class IntElem : public ElemBase {
public:
    void ValueText(std::string& out) const override { out += std::to_string(value.load()); }
    Var Value() const override { return Var(value.load()); }
    bool SetValue(Var& v, int32_t*) override
    {
        value = v.ToInt32();
        return true;
    }
    bool SetValueUnchecked(Var& v, int32_t* err) override { return SetValue(v, err); }
    std::atomic<int> value{0};
};

// A router built and destroyed inside a worker service.
struct Remote {
    explicit Remote(const char* name) : svc(name, 64, kOneWorker)
    {
        Service::SendFunction(&svc, [this](Message&) { router.reset(new MsgRouter); }, Message::Value());
    }
    ~Remote()
    {
        Service::SendFunction(&svc, [this](Message&) { router.reset(); }, Message::Value());
        svc.Stop();
    }
    template <typename F>
    void In(F f)
    {
        Service::SendFunction(&svc, [f](Message&) { f(); }, Message::Value());
    }
    Service svc;
    std::unique_ptr<MsgRouter> router;
};

TEST(ElemConcurrencyTest, SyncWriteWaitsForEveryReceiverPostedDoesNot)
{
    Remote a("elem_conc_a");
    Remote b("elem_conc_b");
    std::atomic<int> gate{0};
    std::atomic<int> seen_a{-1};
    std::atomic<int> seen_b{-1};
    std::atomic<int> read_back{-1};
    const std::string path = "/elem_conc/sync";
    a.In([&] {
        a.router->Connect(path, MsgRouter::Handler([&](Message& m) {
            while (gate.load() == 0)
                kivo::this_thread::Sleep(1);
            seen_a = m.value.ToInt32();
        }), 0);
    });
    b.In([&] {
        b.router->Connect(path, MsgRouter::Handler([&](Message& m) {
            seen_b = m.value.ToInt32();
            // The writer holds no routes lock while it waits for us.
            read_back = kivo::ElemRead(path).ToInt32();
        }), 1);
    });

    // Posted: returns while the first receiver is still held at the gate.
    EXPECT_TRUE(kivo::ElemWrite(path, Var(1), 0, false));
    EXPECT_EQ(-1, seen_a.load());
    gate = 1;
    EXPECT_TRUE(WaitFor([&] { return seen_a.load() == 1 && seen_b.load() == 1; }));

    // Synchronous: both ran, in turn, before the write returned.
    gate = 0;
    std::thread opener([&] {
        kivo::this_thread::Sleep(50);
        gate = 1;
    });
    EXPECT_TRUE(kivo::ElemWrite(path, Var(2), 0, true));
    EXPECT_EQ(2, seen_a.load());
    EXPECT_EQ(2, seen_b.load());
    EXPECT_EQ(2, read_back.load());
    opener.join();
}

TEST(ElemConcurrencyTest, RemoteAccessRunsInTheOwnersThread)
{
    Remote owner("elem_conc_owner");
    kivo::IntrusivePtr<IntElem> e(new IntElem);
    std::atomic<int> watcher_calls{0};
    std::atomic<bool> wrong_thread{false};
    kivo::Thread::Id owner_tid;
    owner.In([&] {
        owner_tid = kivo::this_thread::GetId();
        owner.router->SetName("elem_conc_owner_router");
        e->AddWatcher(owner.router->GetObserver(), [&](ElemBase&) {
            if (kivo::this_thread::GetId() != owner_tid)
                wrong_thread = true;
            // Watchers may read path values: no routes lock is held.
            kivo::ElemWrite("/elem_conc/watch", Var(1));
            ++watcher_calls;
        });
        owner.router->AddElem("n", e.Get());
    });

    const int kThreads = 4;
    const int kEach = 25;
    std::vector<std::thread> ts;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                if (!kivo::ElemSet("elem_conc_owner_router", "n", Var(t * 100 + i)))
                    ++failures;
                Var out;
                if (!kivo::ElemGet("elem_conc_owner_router", "n", out))
                    ++failures;
            }
        });
    }
    for (std::thread& t : ts)
        t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(kThreads * kEach, watcher_calls.load());
    EXPECT_FALSE(wrong_thread.load());
    std::vector<std::string> texts;
    EXPECT_TRUE(kivo::ElemGetList("elem_conc_owner_router", {"n"}, texts));
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ(std::to_string(e->value.load()), texts[0]);
}

TEST(ElemConcurrencyTest, ManyWritersAndReadersOfOnePath)
{
    const std::string path = "/elem_conc/many";
    kivo::SharedPtr<kivo::impl::Atomic<int>> counter = kivo::SharedRegistryCounter("/elem_conc/counter", 0);
    std::vector<std::thread> ts;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                kivo::ElemWrite(path, Var(std::string(64, static_cast<char>('a' + t))));
                kivo::ElemWrite("/elem_conc/counter", Var(i));
                Var out;
                if (kivo::ElemRead(path, out, (i & 1) != 0)) {
                    std::string s = out.ToString();
                    if (s.size() != 64 || s.find_first_not_of(s[0]) != std::string::npos)
                        ++bad;
                }
            }
        });
    }
    for (std::thread& t : ts)
        t.join();
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(199, counter->Load());
}

}  // namespace
