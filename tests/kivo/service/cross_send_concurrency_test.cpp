// One-thread services whose handlers send to each other at the same moment,
// without a time limit (two to each other, three in a ring): not every send
// may wait (a refused send returns false), and no thread may stay blocked.

#include "kivo/service/service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "kivo/common/thread.h"
#include "wait_for.h"

using kivo::Message;
using kivo::Service;
using kivo::Var;

namespace {

// The services of one test; the handler of s_ring[i] sends to the next one.
const int kMaxRing = 3;
Service* s_ring[kMaxRing];
int s_ring_size = 0;
std::atomic<int> s_arrived{0};
std::atomic<int> s_done{0};
std::atomic<int> s_delivered{0};

void Answer(Message&) {}

// Runs in service `i`: meets the other handlers, then all send at once.
void SendToTheNext(Message& m)
{
    const int i = m.value.ToInt32();
    s_arrived.fetch_add(1);
    while (s_arrived.load() < s_ring_size)
        kivo_thread_yield();
    if (Service::SendFunc(s_ring[(i + 1) % s_ring_size], &Answer, Message::Value(Var(i))))
        s_delivered.fetch_add(1);
    s_done.fetch_add(1);
}

// Rounds of simultaneous sends around the ring of `n` services; each
// round's count of answered sends goes to `delivered` (-1: the round hung,
// and the services were stopped so that the test can end).
void SendAround(int n, int rounds, std::vector<int>* delivered)
{
    const Service::ThreadParam one = {0, 0, "cross send", 1};
    Service a("cross_send_a", 16, one);
    Service b("cross_send_b", 16, one);
    Service c("cross_send_c", 16, one);
    Service* all[kMaxRing] = {&a, &b, &c};
    s_ring_size = n;
    for (int i = 0; i < n; ++i)
        s_ring[i] = all[i];
    for (int round = 0; round < rounds; ++round) {
        s_arrived = 0;
        s_done = 0;
        s_delivered = 0;
        for (int i = 0; i < n; ++i)
            ASSERT_TRUE(Service::PostFunc(s_ring[i], &SendToTheNext, Message::Value(Var(i))));
        // A deadline that only catches the hang.
        if (!kivo_test::WaitFor([n] { return s_done.load() == n; }, 30000)) {
            delivered->push_back(-1);
            break;
        }
        delivered->push_back(s_delivered.load());
    }
    if (delivered->empty() || delivered->back() >= 0) {
        // Every service still serves and answers.
        for (int i = 0; i < n; ++i)
            EXPECT_TRUE(Service::Ping(s_ring[i], 5000));
    }
    for (Service* s : all)
        s->Stop();
}

TEST(CrossSendConcurrencyTest, SimultaneousSendsBetweenTwoOneThreadServicesNeverDeadlock)
{
    std::vector<int> delivered;
    SendAround(2, 200, &delivered);
    int both_refused = 0;
    for (size_t round = 0; round < delivered.size(); ++round) {
        ASSERT_GE(delivered[round], 0) << "the two sends wait on each other, round " << round;
        if (delivered[round] == 0)
            ++both_refused;
    }
    RecordProperty("both_refused", both_refused);
}

// Each sender's own target waits on a third thread, never on the sender
// itself: only the whole chain of waits shows the ring.
TEST(CrossSendConcurrencyTest, SimultaneousSendsInARingOfThreeOneThreadServicesNeverDeadlock)
{
    std::vector<int> delivered;
    SendAround(3, 40, &delivered);
    for (size_t round = 0; round < delivered.size(); ++round) {
        ASSERT_GE(delivered[round], 0) << "the three sends wait on each other, round " << round;
        // A refused send breaks the ring: the others are answered.
        EXPECT_LT(delivered[round], 3) << round;
    }
}

}  // namespace
