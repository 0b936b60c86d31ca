// Two one-thread services whose handlers send to each other at the same
// moment, without a time limit: at most one of the two sends may wait (a
// refused send returns false), and neither thread may stay blocked.

#include "kivo/service/service.h"

#include <gtest/gtest.h>

#include <atomic>

#include "kivo/common/thread.h"
#include "wait_for.h"

using kivo::Message;
using kivo::Service;
using kivo::Var;

namespace {

Service* s_peer[2];
std::atomic<int> s_arrived{0};
std::atomic<int> s_done{0};
std::atomic<int> s_delivered{0};

void Answer(Message&) {}

// Runs in service `i`: meets the other handler, then both send at once.
void SendToThePeer(Message& m)
{
    const int i = m.value.ToInt32();
    s_arrived.fetch_add(1);
    while (s_arrived.load() < 2)
        kivo_thread_yield();
    if (Service::SendFunc(s_peer[1 - i], &Answer, Message::Value(Var(i))))
        s_delivered.fetch_add(1);
    s_done.fetch_add(1);
}

TEST(CrossSendConcurrencyTest, SimultaneousSendsBetweenTwoOneThreadServicesNeverDeadlock)
{
    const Service::ThreadParam one = {0, 0, "cross send", 1};
    Service a("cross_send_a", 16, one);
    Service b("cross_send_b", 16, one);
    s_peer[0] = &a;
    s_peer[1] = &b;
    int both_refused = 0;
    bool hung = false;
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        s_arrived = 0;
        s_done = 0;
        s_delivered = 0;
        ASSERT_TRUE(Service::PostFunc(&a, &SendToThePeer, Message::Value(Var(0))));
        ASSERT_TRUE(Service::PostFunc(&b, &SendToThePeer, Message::Value(Var(1))));
        // A deadline that only catches the hang; stopping the services then
        // makes both senders give up, so that the test can end.
        if (!kivo_test::WaitFor([] { return s_done.load() == 2; }, 30000)) {
            ADD_FAILURE() << "the two sends wait on each other";
            hung = true;
            a.Stop();
            b.Stop();
            break;
        }
        if (s_delivered.load() == 0)
            ++both_refused;
    }
    if (!hung) {
        // Both services still serve and answer.
        EXPECT_TRUE(Service::Ping(&a, 5000));
        EXPECT_TRUE(Service::Ping(&b, 5000));
    }
    RecordProperty("both_refused", both_refused);
    a.Stop();
    b.Stop();
}

}  // namespace
