// One-thread services whose handlers send to each other at the same moment,
// without a time limit (two to each other, three in a ring): not every send
// may wait (a refused send returns false), and no thread may stay blocked.

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

// Three services in a ring, each handler sending to the next at once: each
// sender's own target waits on a third thread, never on the sender itself,
// so only the whole chain of waits shows the ring.
Service* s_ring[3];
std::atomic<int> s_ring_arrived{0};
std::atomic<int> s_ring_done{0};
std::atomic<int> s_ring_delivered{0};

void SendOnInTheRing(Message& m)
{
    const int i = m.value.ToInt32();
    s_ring_arrived.fetch_add(1);
    while (s_ring_arrived.load() < 3)
        kivo_thread_yield();
    if (Service::SendFunc(s_ring[(i + 1) % 3], &Answer, Message::Value(Var(i))))
        s_ring_delivered.fetch_add(1);
    s_ring_done.fetch_add(1);
}

TEST(CrossSendConcurrencyTest, SimultaneousSendsInARingOfThreeOneThreadServicesNeverDeadlock)
{
    const Service::ThreadParam one = {0, 0, "ring send", 1};
    Service a("ring_send_a", 16, one);
    Service b("ring_send_b", 16, one);
    Service c("ring_send_c", 16, one);
    s_ring[0] = &a;
    s_ring[1] = &b;
    s_ring[2] = &c;
    bool hung = false;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        s_ring_arrived = 0;
        s_ring_done = 0;
        s_ring_delivered = 0;
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(Service::PostFunc(s_ring[i], &SendOnInTheRing, Message::Value(Var(i))));
        if (!kivo_test::WaitFor([] { return s_ring_done.load() == 3; }, 30000)) {
            ADD_FAILURE() << "the three sends wait on each other";
            hung = true;
            a.Stop();
            b.Stop();
            c.Stop();
            break;
        }
        // A refused send breaks the ring: the others are answered.
        EXPECT_LT(s_ring_delivered.load(), 3);
    }
    if (!hung) {
        for (Service* s : s_ring)
            EXPECT_TRUE(Service::Ping(s, 5000));
    }
    a.Stop();
    b.Stop();
    c.Stop();
}

}  // namespace
