// A send that could never end is refused with false: one to the thread that
// waits on the sender. (A handler's send to its own receiver runs inline,
// see service_test.cpp.)

#include "kivo/service/service.h"

#include <gtest/gtest.h>

#include <atomic>

#include "wait_for.h"

using kivo::Message;
using kivo::Service;
using kivo::Var;

namespace {

std::atomic<int> s_reply{-1};  // 1 delivered, 0 refused
Service* s_worker = nullptr;
Service* s_local = nullptr;

void Noop(Message&) {}

// On the local thread, while the worker waits for this handler.
void SendBackToTheWorker(Message&)
{
    s_reply = Service::SendFunc(s_worker, &Noop, Message::Value(Var(1))) ? 1 : 0;
}

// On the worker: waits for the local service.
void SendToTheLocal(Message&)
{
    Service::SendFunc(s_local, &SendBackToTheWorker, Message::Value(Var(2)));
}

TEST(SendRefusalTest, SendToAThreadThatWaitsOnTheSenderIsRefused)
{
    const Service::ThreadParam one = {0, 0, "refusal worker", 1};
    Service worker("refusal_worker", 16, one);
    Service local("refusal_local", 16);
    local.Start();
    s_worker = &worker;
    s_local = &local;
    s_reply = -1;
    ASSERT_TRUE(Service::PostFunc(&worker, &SendToTheLocal, Message::Value()));
    EXPECT_TRUE(kivo_test::WaitFor([&] {
        local.RunFor(2);
        return s_reply.load() != -1;
    }));
    EXPECT_EQ(0, s_reply.load());
    // Both go on: the worker still answers a send from here.
    EXPECT_TRUE(Service::SendFunc(&worker, &Noop, Message::Value()));
    local.Stop();
    worker.Stop();
}

}  // namespace
