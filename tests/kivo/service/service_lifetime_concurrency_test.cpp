// Lifetimes between threads: routers that outlive their service, services
// destroyed while another thread posts to them or waits in a send to them,
// and rounds of routers and services made and destroyed under traffic.
// Nothing may read a destroyed service or router (ASan, TSan); a post or
// send that cannot reach its target any more returns false.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/service/dump.h"
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

const Service::ThreadParam kOneWorker = {0, 0, "life worker", 1};
const Service::ThreadParam kTwoWorkers = {0, 0, "life workers", 2};

// Runs fn inside svc (a send: done when it returns).
template <typename F>
bool RunIn(Service* svc, F fn)
{
    return Service::SendFunction(svc, kivo::Function1<void, Message&>([fn](Message&) { fn(); }), Message::Value());
}

void Double(Message& m)
{
    m.Back(Var(m.value.ToInt32() * 2));
}

class LifetimeTest : public kivo_test::GateTest {};

// A router made in a service that is then destroyed: everything aimed at
// it, or done through it, is refused instead of reaching the gone service.
TEST_F(LifetimeTest, RouterThatOutlivesItsServiceIsDetached)
{
    Service* svc = new Service("", 16, kOneWorker);
    MsgRouter* orphan = nullptr;
    ASSERT_TRUE(RunIn(svc, [&orphan] {
        orphan = new MsgRouter;
        orphan->SetName("life_orphan");
        orphan->Connect("life/orphan", MsgRouter::Handler([](Message& m) { m.Back(Var(1)); }), 0);
        orphan->AddElem("v", kivo::IntrusivePtr<kivo::ElemBase>(new kivo_test::TextElem("x")));
    }));
    ASSERT_NE(nullptr, orphan);
    EXPECT_EQ(svc, orphan->GetService());
    delete svc;
    EXPECT_EQ(nullptr, orphan->GetService());

    // A live service with a receiver that answers, for the orphan's posts.
    Service alive("", 16, kOneWorker);
    std::atomic<int> handled{0};
    MsgRouter* peer = nullptr;
    ASSERT_TRUE(RunIn(&alive, [&peer, &handled] {
        peer = new MsgRouter;
        peer->Connect("life/alive", MsgRouter::Handler([&handled](Message& m) {
                          handled.fetch_add(1);
                          m.Back(Var(7));
                      }),
                      0);
    }));

    MsgRouter poster;
    EXPECT_FALSE(poster.PostTo("life/orphan", Message::Value(Var(1))));
    EXPECT_FALSE(poster.PostTo("life/orphan", Message::Value(Var(1)), true));
    EXPECT_FALSE(poster.SendPath("life/orphan", Message::Value(Var(1))));
    Message::Value inout(Var(3));
    EXPECT_FALSE(poster.CallPath("life/orphan", inout));
    EXPECT_FALSE(kivo::ElemPost("life/orphan", Var(2)));
    EXPECT_FALSE(kivo::ElemSend("life/orphan", Var(2)));
    EXPECT_FALSE(orphan->PostToSelf(MsgRouter::Handler([](Message&) {}), Message::Value()));

    Var out;
    EXPECT_FALSE(kivo::ElemGet("life_orphan", "v", out));
    EXPECT_FALSE(kivo::ElemSet("life_orphan", "v", Var("y")));
    EXPECT_NE(std::string::npos, kivo::DumpModules("life_orphan").find("busy:1"));
    EXPECT_NE(std::string::npos, kivo::DumpElems("life_orphan", "*").find("read elem fail"));

    // Its answer handler belongs to the gone service: the receiver runs,
    // the final answer is dropped.
    std::atomic<int> answered{0};
    EXPECT_TRUE(orphan->PostPath("life/alive", Message::Value(Var(1)),
                                 MsgRouter::Handler([&answered](Message&) { answered.fetch_add(1); })));
    ASSERT_TRUE(WaitFor([&handled] { return handled.load() == 1; }));
    EXPECT_TRUE(Service::Ping(&alive, kivo_test::kHangMs));
    EXPECT_EQ(0, answered.load());

    delete orphan;
    ASSERT_TRUE(RunIn(&alive, [&peer] { delete peer; }));
}

// The sender's message is queued behind a parked handler when the target
// is destroyed: the sender gives up with false and never reads the target
// after it is gone.
TEST_F(LifetimeTest, SendWaitingOnADestroyedServiceReturnsFalse)
{
    for (int threads = 1; threads <= 2; ++threads) {
        g_gate_open = 0;
        g_in_gate = 0;
        Service* svc = new Service("", 16, threads == 1 ? kOneWorker : kTwoWorkers);
        for (int i = 0; i < threads; ++i)
            ASSERT_TRUE(Service::PostFunc(svc, &Gate, Message::Value()));
        ASSERT_TRUE(WaitFor([threads] { return g_in_gate.load() == threads; }));
        std::atomic<int> result{-1};
        std::thread sender([svc, &result] {
            Message m(Message::Value(Var(4)));
            Message::Value ret;
            result = svc->MessageSend(&Double, m, &ret, KIVO_WAIT_FOREVER) ? 1 : 0;
        });
        ASSERT_TRUE(WaitFor([svc] { return svc->QueuedCount() == 1; }));
        // The gate opens once the destructor has stopped the service (it
        // cannot free it before the parked workers return), not after a
        // sleep that a loaded machine may outlast.
        std::thread opener([svc] {
            while (svc->State() != 0)
                kivo::this_thread::Sleep(1);
            g_gate_open = 1;
        });
        delete svc;
        opener.join();
        sender.join();
        EXPECT_EQ(0, result.load()) << threads;
    }
}

// Bounded rounds: a router with a public path, a private path and an element
// is made in a fresh service, then the router and the service are destroyed
// while other threads post, send, call and read elements at them.
TEST_F(LifetimeTest, RoutersAndServicesComeAndGoUnderTraffic)
{
    const int kRounds = 20;
    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};
    std::vector<std::thread> traffic;
    for (int t = 0; t < 3; ++t) {
        traffic.emplace_back([t, &stop] {
            MsgRouter mine;
            Var out;
            std::string text;
            while (!stop.load()) {
                switch (t) {
                case 0:
                    mine.PostTo("life/stress", Message::Value(Var(1)));
                    mine.PostTo("life/stress", Message::Value(Var(1)), true);
                    kivo::ElemPost("life/stress", Var(5));
                    break;
                case 1: {
                    mine.SendPath("life/stress", Message::Value(Var(2)));
                    Message::Value inout(Var(3));
                    mine.CallPath("life/stress", inout);
                    break;
                }
                default:
                    kivo::ElemGet("life_stress", "v", out);
                    kivo::ElemGetText("life_stress", "v", text);
                    kivo::DumpModules("life_stress");
                    kivo::DumpElems("life_stress", "*");
                    break;
                }
            }
        });
    }
    for (int round = 0; round < kRounds; ++round) {
        // A router's own members are touched by one thread at a time only in
        // a one-thread service: the name and the element (reached by the
        // reports and element requests) only there.
        const bool one_thread = round % 4 < 2;
        Service* svc = new Service("", 16, one_thread ? kOneWorker : kTwoWorkers);
        MsgRouter* r = nullptr;
        ASSERT_TRUE(RunIn(svc, [&r, &delivered, one_thread] {
            r = new MsgRouter;
            if (one_thread) {
                r->SetName("life_stress");
                r->AddElem("v", kivo::IntrusivePtr<kivo::ElemBase>(new kivo_test::TextElem("x")));
            }
            r->Connect("life/stress", MsgRouter::Handler([&delivered](Message& m) {
                           delivered.fetch_add(1);
                           m.Back(Var(m.value.ToInt32() + 1));
                       }),
                       0);
        }));
        kivo::this_thread::Sleep(5 + round % 7);
        // Odd rounds destroy the router in its service first; even rounds
        // leave it to outlive the service by a moment.
        if (round % 2) {
            ASSERT_TRUE(RunIn(svc, [r] { delete r; }));
        }
        delete svc;
        if (round % 2 == 0)
            delete r;
    }
    stop = true;
    for (size_t i = 0; i < traffic.size(); ++i)
        traffic[i].join();
    EXPECT_GT(delivered.load(), 0);
}

}  // namespace
