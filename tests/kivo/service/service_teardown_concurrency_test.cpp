// Tear-down under the service's own traffic: a service destroyed while its
// handlers, its timers and other threads keep posting to it, and Pause and
// Resume from several threads interleaved with Stop. Each case is bounded by
// a watchdog: a hang fails instead of blocking the run.

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/service/service.h"
#include "kivo/service/timer.h"

using kivo::Message;
using kivo::MsgRouter;
using kivo::Service;
using kivo::Var;

namespace {

const Service::ThreadParam kTwoWorkers = {0, 0, "down workers", 2};
const Service::ThreadParam kOneWorker = {0, 0, "down worker", 1};

// Aborts the process when a case has not finished in time.
class Watchdog {
public:
    explicit Watchdog(int seconds) : _done(false), _thread([this, seconds] {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!_done.load()) {
            if (std::chrono::steady_clock::now() > until) {
                fprintf(stderr, "watchdog: hang\n");
                abort();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }) {}
    ~Watchdog()
    {
        _done = true;
        _thread.join();
    }

private:
    std::atomic<bool> _done;
    std::thread _thread;
};

std::atomic<int> g_reposts{0};

// Posts itself again to the service it runs in, for as long as it may.
void Repost(Message&)
{
    g_reposts.fetch_add(1);
    Service::PostFunc(Service::Current(), &Repost, Message::Value());
}

}  // namespace

// Handlers that post to their own service, a timer of the service that posts
// to it, and a router path in it that another thread sends to with a short
// time-out: the destructor ends, and the sender gets false once it is gone.
TEST(TeardownTest, DestroyedWhileItsOwnHandlersTimersAndSendersPost)
{
    Watchdog dog(60);
    for (int round = 0; round < 20; ++round) {
        const bool one = round % 2 == 0;
        Service* svc = new Service("", 16, one ? kOneWorker : kTwoWorkers);
        kivo::Timer* timer = nullptr;
        MsgRouter* r = nullptr;
        g_reposts = 0;
        bool reposting = false;
        ASSERT_TRUE(Service::SendFunction(svc, kivo::Function1<void, Message&>([&timer, &r, &reposting](Message&) {
            r = new MsgRouter;
            r->Connect("down/path", MsgRouter::Handler([](Message& m) { m.Back(Var(1)); }), 0);
            // Before the timer starts: its posts and the reposts soon fill
            // the 16 nodes, after which a post is rightly refused.
            reposting = Service::PostFunc(Service::Current(), &Repost, Message::Value());
            timer = new kivo::Timer;
            timer->Start(kivo::Function0<void>([] {
                Service::PostFunc(Service::Current(), &Repost, Message::Value());
            }), 1, 1000000);
        }), Message::Value()));
        ASSERT_TRUE(reposting);
        std::atomic<bool> stop{false};
        std::thread sender([&stop] {
            MsgRouter mine;
            while (!stop.load())
                mine.SendPath("down/path", Message::Value(Var(2)));
        });
        while (g_reposts.load() < 5)
            kivo::this_thread::Sleep(1);
        MsgRouter* rr = r;
        kivo::Timer* tt = timer;
        if (one) {
            delete svc;
        } else {
            std::thread killer([svc] { delete svc; });
            killer.join();
        }
        stop = true;
        sender.join();
        delete tt;
        delete rr;
    }
}

// Two threads pause and resume a two-worker service while a third posts and
// the service is stopped and destroyed: nobody is left waiting.
TEST(TeardownTest, PauseAndResumeFromSeveralThreadsWithStop)
{
    Watchdog dog(60);
    for (int round = 0; round < 20; ++round) {
        Service* svc = new Service("", 64, kTwoWorkers);
        std::atomic<bool> stop{false};
        std::vector<std::thread> ts;
        for (int t = 0; t < 2; ++t) {
            ts.emplace_back([svc, &stop] {
                while (!stop.load()) {
                    svc->Pause();
                    svc->Resume();
                }
            });
        }
        ts.emplace_back([svc, &stop] {
            while (!stop.load())
                Service::PostFunc(svc, [](Message&) {}, Message::Value());
        });
        kivo::this_thread::Sleep(20 + round);
        svc->Stop();
        stop = true;
        for (size_t i = 0; i < ts.size(); ++i)
            ts[i].join();
        delete svc;
    }
}

// A handler of A sends to B without a time-out, and B's handler destroys A:
// A's destructor waits for A's worker, which waits for B's answer. The send
// of a worker whose own service is being destroyed gives up instead.
TEST(TeardownTest, DestroyedByTheServiceItsWorkerWaitsOn)
{
    Watchdog dog(30);
    for (int threads = 1; threads <= 2; ++threads) {
        Service* a = new Service("", 16, threads == 1 ? kOneWorker : kTwoWorkers);
        Service b("", 16, kOneWorker);
        std::atomic<int> sent{-1};
        std::atomic<bool> destroyed{false};
        ASSERT_TRUE(Service::PostFunction(a, kivo::Function1<void, Message&>([a, &b, &sent, &destroyed](Message&) {
            bool ok = Service::SendFunction(&b, kivo::Function1<void, Message&>([a, &destroyed](Message&) {
                delete a;
                destroyed = true;
            }), Message::Value());
            sent = ok ? 1 : 0;
        }), Message::Value()));
        while (!destroyed.load())
            kivo::this_thread::Sleep(1);
        EXPECT_EQ(0, sent.load()) << threads;
        EXPECT_TRUE(Service::Ping(&b, 30000));
    }
}
