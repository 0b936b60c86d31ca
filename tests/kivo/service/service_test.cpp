// Services, messages and routing on one thread: the test thread serves a
// one-thread service itself (Start, then ProcessAll/Run), so every step is
// deterministic. Cross-thread behaviour is in service_concurrency_test.cpp.

#include "kivo/service/service.h"
#include "kivo/service/elem.h"
#include "kivo/service/timer.h"

#include "kivo/base/platform/linux/__platform_kernel.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using kivo::Message;
using kivo::MsgRouter;
using kivo::Service;
using kivo::Var;

namespace {

std::vector<int> g_seen;

void Record(Message& m)
{
    g_seen.push_back(m.value.ToInt32());
}

void NoAnswer(Message&) {}

void AnswerSevenInvalid(Message& m)
{
    EXPECT_EQ(1u, m.Back(Var(7), false, 0));
    EXPECT_EQ(0u, m.Back(Var(8), true, 0));  // answered once only
}

void BreakHere(Message& m)
{
    g_seen.push_back(m.value.ToInt32());
    Service::Current()->Break();
}

void StopHere(Message& m)
{
    g_seen.push_back(m.value.ToInt32());
    Service::Current()->Stop();
}

struct Payload : kivo::SharedDataBase {
    int n = 0;
};

// A service served by the test thread.
struct Local {
    Local() : svc("svc_test_local", 64) { svc.Start(); }
    Service svc;
};

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override { g_seen.clear(); }
};

TEST_F(ServiceTest, PoolHasAtLeastSixteenNodes)
{
    struct Case {
        uint32_t asked;
        uint32_t nodes;
    } cases[] = {{0, 16}, {5, 16}, {16, 16}, {1000, 1000}};
    for (const Case& c : cases) {
        Service svc("", c.asked);
        EXPECT_EQ(c.nodes, svc.PoolSize()) << c.asked;
        EXPECT_EQ(1, svc.State());
    }
}

TEST_F(ServiceTest, FullPoolDropsTheMessageAndFifoOrderHolds)
{
    Service svc("", 5);  // 16 nodes; nobody serves it yet
    for (int i = 0; i < 16; ++i)
        EXPECT_TRUE(Service::PostFunc(&svc, &Record, Message::Value(Var(i)))) << i;
    EXPECT_FALSE(Service::PostFunc(&svc, &Record, Message::Value(Var(16))));
    EXPECT_EQ(16u, svc.QueuedCount());
    svc.Start();
    EXPECT_TRUE(svc.ProcessAll());
    ASSERT_EQ(16u, g_seen.size());
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(i, g_seen[i]);
    // Nodes went back to the free list.
    EXPECT_TRUE(Service::PostFunc(&svc, &Record, Message::Value(Var(99))));
}

TEST_F(ServiceTest, PostToStoppedServiceFailsAndKeepsTheMessage)
{
    Service never;  // state 0
    Message m(Message::Value(Var("keep"), false, 3));
    EXPECT_FALSE(never.MessagePost(&Record, m));
    EXPECT_EQ("keep", m.value.ToString());
    EXPECT_FALSE(m.valid);
    EXPECT_EQ(3, m.id);

    Service svc("", 16);
    svc.Stop();
    EXPECT_FALSE(Service::PostFunc(&svc, &Record, Message::Value(Var(1))));
}

TEST_F(ServiceTest, NamedServicesAreFoundUntilDestroyed)
{
    {
        Service svc("svc_test_named", 16);
        EXPECT_EQ(&svc, Service::Find("svc_test_named"));
    }
    EXPECT_EQ(nullptr, Service::Find("svc_test_named"));
    EXPECT_EQ(nullptr, Service::Find(""));
}

TEST_F(ServiceTest, SendToOwnServiceRunsInlineWithAnswers)
{
    Local l;
    EXPECT_EQ(&l.svc, Service::Current());
    EXPECT_EQ(0u, Service::CurrentLocalId());
    EXPECT_TRUE(Service::Ping(&l.svc, 0));

    // No answer from the handler: the automatic answer (0, valid, id 0)
    // with the request's shared data.
    kivo::IntrusivePtr<kivo::SharedDataBase> data(new Payload);
    Message req(Message::Value(Var("request"), true, 5, data));
    Message::Value ret(Var(42), false, 9);
    EXPECT_TRUE(l.svc.MessageSend(&NoAnswer, req, &ret, 0));
    EXPECT_EQ(Var::TYPE_INT32, ret.value.GetType());
    EXPECT_EQ(0, ret.value.ToInt32());
    EXPECT_TRUE(ret.valid);
    EXPECT_EQ(0, ret.id);
    EXPECT_EQ(data.Get(), ret.shared.Get());

    // An explicit answer with valid false: the send itself still succeeds.
    Message req2;
    EXPECT_TRUE(l.svc.MessageSend(&AnswerSevenInvalid, req2, &ret, 0));
    EXPECT_EQ(7, ret.value.ToInt32());
    EXPECT_FALSE(ret.valid);
}

TEST_F(ServiceTest, CallFuncReplacesTheValue)
{
    Local l;
    Message::Value v(Var(20));
    EXPECT_TRUE(Service::CallFunc(&l.svc, [](Message& m) { m.Back(Var(m.value.ToInt32() + 1)); }, v));
    EXPECT_EQ(21, v.value.ToInt32());
}

TEST_F(ServiceTest, BreakEndsOneRunOnly)
{
    Local l;
    Service::PostFunc(&l.svc, &BreakHere, Message::Value(Var(1)));
    Service::PostFunc(&l.svc, &Record, Message::Value(Var(2)));
    l.svc.Run();
    EXPECT_EQ(std::vector<int>({1}), g_seen);
    Service::PostFunc(&l.svc, &StopHere, Message::Value(Var(3)));
    Service::PostFunc(&l.svc, &Record, Message::Value(Var(4)));
    l.svc.Run();
    EXPECT_EQ(std::vector<int>({1, 2, 3}), g_seen);
    EXPECT_FALSE(l.svc.IsRunning());
}

TEST_F(ServiceTest, RunForReturnsAfterItsTime)
{
    Local l;
    uint32_t start = kivo_tick_ms();
    EXPECT_TRUE(l.svc.RunFor(60));
    uint32_t took = kivo_tick_ms() - start;
    EXPECT_GE(took, 60u);
    EXPECT_LT(took, 30000u);  // only a hang takes this long
}

TEST_F(ServiceTest, PostFunctionRunsTheFunctorWithItsValue)
{
    Local l;
    int got = 0;
    EXPECT_TRUE(Service::PostFunction(&l.svc, [&got](Message& m) { got = m.value.ToInt32(); }, Message::Value(Var(5))));
    EXPECT_EQ(0, got);
    l.svc.ProcessAll();
    EXPECT_EQ(5, got);
    EXPECT_TRUE(Service::SendFunction(&l.svc, [&got](Message& m) { got = m.value.ToInt32() * 10; }, Message::Value(Var(6))));
    EXPECT_EQ(60, got);
}

TEST_F(ServiceTest, CallerNodeIsRepostedToTheTail)
{
    Local l;
    Service::Combine node;
    Service::PostFunc(&l.svc, &Record, Message::Value(Var(1)), &node);
    Service::PostFunc(&l.svc, &Record, Message::Value(Var(2)));
    Service::PostFunc(&l.svc, &Record, Message::Value(Var(3)), &node);  // moves, does not queue twice
    EXPECT_EQ(2u, l.svc.QueuedCount());
    l.svc.ProcessAll();
    EXPECT_EQ(std::vector<int>({2, 3}), g_seen);
    EXPECT_EQ(Service::GetNode(77), Service::GetNode(77));
    EXPECT_NE(Service::GetNode(77), Service::GetNode(78));
}

// A node still queued in one service and posted to another: it leaves the
// queue that holds it, and the second service keeps its earlier message.
TEST_F(ServiceTest, CallerNodeQueuedElsewhereMovesToTheNewService)
{
    Service::Combine* persistent = Service::GetNode(0x27A0);
    Service::Combine stack_node;
    Service::Combine* nodes[] = {persistent, &stack_node};
    for (Service::Combine* node : nodes) {
        g_seen.clear();
        Service first("", 16);
        Local second;
        ASSERT_TRUE(Service::PostFunc(&second.svc, &Record, Message::Value(Var(1))));
        ASSERT_TRUE(Service::PostFunc(&first, &Record, Message::Value(Var(10)), node));
        ASSERT_TRUE(Service::PostFunc(&first, &Record, Message::Value(Var(11))));
        ASSERT_TRUE(Service::PostFunc(&second.svc, &Record, Message::Value(Var(20)), node));
        EXPECT_EQ(1u, first.QueuedCount());
        EXPECT_EQ(2u, second.svc.QueuedCount());
        second.svc.ProcessAll();
        EXPECT_EQ(std::vector<int>({1, 20}), g_seen);
        EXPECT_EQ(0u, second.svc.QueuedCount());
        EXPECT_EQ(nullptr, node->prev);
    }
}

TEST_F(ServiceTest, TlsSlotsBelongToTheCurrentService)
{
    int x = 0;
    {
        Local l;
        Service::TlsData(3, &x);
        EXPECT_EQ(&x, Service::TlsData(3));
        EXPECT_EQ(nullptr, Service::TlsData(4));
    }
    // The thread's service is gone: no slots.
    EXPECT_EQ(nullptr, Service::Current());
    EXPECT_EQ(nullptr, Service::TlsData(3));
    EXPECT_EQ(0xFFFFFFFFu, Service::CurrentLocalId());
    EXPECT_DEATH(Service::TlsData(8), "index < 8");
}

void AnswerIntoAMessageWithAChannel()
{
    Message::Controller answer;
    Message::Controller request;
    answer._back = new kivo::svc_trains::BackForSendSync(nullptr);
    request._back = new kivo::svc_trains::BackForSendSync(nullptr);
    kivo::_ServiceGImpl::CopyAndClearBack(answer, request);
}

TEST_F(ServiceTest, MisuseIsAnAssertion)
{
    EXPECT_DEATH(
        {
            Service s("", 16);
            s.Init("", 16);
        },
        "!_running");
    EXPECT_DEATH(
        {
            Service s("", 16, 2);
            s.Break();
        },
        "_thrd_max_num == 1");
    // The expression each broken contract prints, exactly.
    EXPECT_DEATH(
        {
            Service s;
            s.Start();
        },
        "Assertion `_running == 1' failed");
    EXPECT_DEATH(
        {
            Service s("", 16);
            s.Start();
            s.Resume();
        },
        "Assertion `_thrd_id != curr_tid' failed");
    EXPECT_DEATH(AnswerIntoAMessageWithAChannel(), "Assertion `rhs._back.Empty\\(\\)' failed");
}

TEST_F(ServiceTest, QueuedMessagesAreDestroyedUnansweredWithTheService)
{
    kivo::IntrusivePtr<kivo::SharedDataBase> data(new Payload);
    {
        Service svc("", 16);
        Service::PostFunc(&svc, &Record, Message::Value(Var(1), true, 0, data));
        EXPECT_EQ(2, data->GetRefCnt());
    }
    EXPECT_EQ(1, data->GetRefCnt());
    EXPECT_TRUE(g_seen.empty());
}

// ---------------------------------------------------------------- messages

TEST(MessageTest, ConstructAndCopyValues)
{
    Message d;
    EXPECT_EQ(0, d.value.ToInt32());
    EXPECT_TRUE(d.valid);
    EXPECT_EQ(0, d.id);
    EXPECT_EQ(0, d.sequence);
    EXPECT_FALSE(d.HasBack());
    EXPECT_EQ(0u, d.BackKind());
    EXPECT_EQ(0u, d.Back());

    kivo::SharedPtr<short> seq(new short(40));
    Message::Controller c;
    c.shared_seq = seq;
    Message m(Message::Value(Var("x"), false, -3), c);
    EXPECT_EQ(40, m.sequence);
    Message::Value out;
    m.CopyTo(out);
    EXPECT_EQ("x", out.value.ToString());
    EXPECT_FALSE(out.valid);
    EXPECT_EQ(-3, out.id);
}

TEST(MessageTest, InvalidateMarksTheMessageAndAdvancesTheSequence)
{
    Message plain;
    EXPECT_FALSE(plain.IsInvalid());
    plain.Invalidate();
    EXPECT_TRUE(plain.IsInvalid());

    kivo::SharedPtr<short> seq(new short(10));
    Message::Controller c;
    c.shared_seq = seq;
    Message a(Message::Value(), c);
    Message b(Message::Value(), c);
    EXPECT_FALSE(a.IsInvalid());
    a.Invalidate();
    EXPECT_EQ(12, *seq);
    EXPECT_TRUE(a.IsInvalid());
    EXPECT_TRUE(b.IsInvalid());  // sibling of the same token is stale now
    Message fresh(Message::Value(), c);
    EXPECT_FALSE(fresh.IsInvalid());
}

TEST(MessageTest, MoveTransfersTheChannelAndHeapMessagesAnswerLater)
{
    Service svc("", 16);
    svc.Start();
    kivo::SharedPtr<Message> kept;
    Message::Value ret;
    Message req(Message::Value(Var(3)));
    // A posted message (no sync channel) may be kept and answered later.
    bool answered = false;
    MsgRouter r;
    r.Connect("msg_test.keep", [&kept](Message& m) { kept = m.MoveToHeap(); }, 0);
    r.PostPath("msg_test.keep", Message::Value(Var(3)), [&answered](Message& m) { answered = m.value.ToInt32() == 9; });
    svc.ProcessAll();
    ASSERT_FALSE(kept.Empty());
    EXPECT_FALSE(answered);  // the automatic answer did not fire on the moved-from message
    EXPECT_EQ(3, kept->value.ToInt32());
    EXPECT_EQ(1u, kept->Back(Var(9)));
    svc.ProcessAll();
    EXPECT_TRUE(answered);

    // Moving the request of a synchronous send is refused.
    EXPECT_DEATH(svc.MessageSend([](Message& m) {
        Message other;
        m.Move(other);
    }, req, &ret, 0), "CanBeMove");
}

// ---------------------------------------------------------------- routing

class RouterTest : public ::testing::Test {
protected:
    RouterTest() : svc("", 256) { svc.Start(); }
    // Unique paths per test: the route table is process-wide.
    std::string P(const char* p) const
    {
        return std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "." + p;
    }
    Service svc;
    std::vector<std::string> order;
};

TEST_F(RouterTest, PlainPostReachesAllReceiversAtOnce)
{
    MsgRouter a, b;
    std::vector<int> got;
    a.Connect(P("p"), [&](Message& m) { got.push_back(m.value.ToInt32()); }, 0);
    b.Connect(P("p"), [&](Message& m) { got.push_back(m.value.ToInt32() + 100); }, 0);
    EXPECT_TRUE(a.PostTo(P("p"), Message::Value(Var(1))));
    EXPECT_EQ(2u, svc.QueuedCount());  // both queued before either ran
    svc.ProcessAll();
    EXPECT_EQ(std::vector<int>({1, 101}), got);

    EXPECT_FALSE(a.PostTo(P("unknown"), Message::Value()));
    EXPECT_FALSE(a.SendPath(P("unknown"), Message::Value()));
    a.Disconnect(P("p"));
    b.Disconnect(P("p"));
    EXPECT_TRUE(a.PostTo(P("p"), Message::Value()));  // known path, no receivers
    EXPECT_EQ(0u, svc.QueuedCount());
}

TEST_F(RouterTest, PriorityOrderWithStableTies)
{
    MsgRouter r;
    auto rec = [this](const char* name) {
        std::string n = name;
        return MsgRouter::Handler([this, n](Message& m) {
            order.push_back(n);
            m.Back(Var(m.value.ToInt32() + 1));
        });
    };
    r.Connect(P("p"), rec("five"), 5);
    r.Connect(P("p"), rec("zero-a"), 0);
    r.Connect(P("p"), rec("zero-b"), 0);
    r.Connect(P("p"), rec("minus"), -1);
    int final_value = -1;
    EXPECT_TRUE(r.PostPath(P("p"), Message::Value(Var(0)), [&](Message& m) { final_value = m.value.ToInt32(); }));
    svc.ProcessAll();
    EXPECT_EQ(std::vector<std::string>({"minus", "zero-a", "zero-b", "five"}), order);
    EXPECT_EQ(4, final_value);  // each receiver got the previous answer
}

TEST_F(RouterTest, ChainStopsAtTheEndFlag)
{
    MsgRouter r;
    r.Connect(P("p"), [this](Message& m) { order.push_back("1"); m.Back(Var("stop here"), false, 1); }, 0);
    r.Connect(P("p"), [this](Message&) { order.push_back("2"); }, 1);
    r.Connect(P("p"), [this](Message&) { order.push_back("3"); }, 2);
    std::string answer;
    bool valid = true;
    EXPECT_TRUE(r.PostPath(P("p"), Message::Value(Var(0)), [&](Message& m) {
        answer = m.value.ToString();
        valid = m.valid;
    }));
    svc.ProcessAll();
    EXPECT_EQ(std::vector<std::string>({"1"}), order);
    EXPECT_EQ("stop here", answer);
    EXPECT_FALSE(valid);

    // Chained post without handler: unanswered receivers still move it on.
    order.clear();
    MsgRouter r2;
    r2.Connect(P("q"), [this](Message&) { order.push_back("a"); }, 0);
    r2.Connect(P("q"), [this](Message&) { order.push_back("b"); }, 0);
    EXPECT_TRUE(r2.PostTo(P("q"), Message::Value(), true));
    EXPECT_EQ(1u, svc.QueuedCount());  // one after another
    svc.ProcessAll();
    EXPECT_EQ(std::vector<std::string>({"a", "b"}), order);
}

TEST_F(RouterTest, SendsVisitReceiversInTurnWithThePreviousAnswer)
{
    MsgRouter r;
    std::vector<int> seen;
    r.Connect(P("p"), [&](Message& m) { seen.push_back(m.value.ToInt32()); m.Back(Var(m.value.ToInt32() * 2)); }, 0);
    r.Connect(P("p"), [&](Message& m) { seen.push_back(m.value.ToInt32()); m.Back(Var(m.value.ToInt32() + 3)); }, 1);
    Message::Value v(Var(5));
    EXPECT_TRUE(r.CallPath(P("p"), v));
    EXPECT_EQ(std::vector<int>({5, 10}), seen);
    EXPECT_EQ(13, v.value.ToInt32());

    seen.clear();
    EXPECT_TRUE(r.SendPath(P("p"), Message::Value(Var(5))));
    EXPECT_EQ(std::vector<int>({5, 5}), seen);  // no answers kept

    // The end flag ends a send walk too.
    r.Connect(P("e"), [&](Message& m) { seen.push_back(1); m.Back(Var(7), true, 1); }, 0);
    r.Connect(P("e"), [&](Message&) { seen.push_back(2); }, 0);
    seen.clear();
    Message::Value e;
    EXPECT_TRUE(r.CallPath(P("e"), e));
    EXPECT_EQ(std::vector<int>({1}), seen);
    EXPECT_EQ(7, e.value.ToInt32());
}

TEST_F(RouterTest, PrivatePathTakesOneHandler)
{
    // The dead entry a run leaves stays until a walk: a name of its own for
    // each run of this case (--gtest_repeat).
    static int run = 0;
    const std::string name = "router_test_private" + std::to_string(++run);
    auto first = std::make_unique<MsgRouter>();
    first->SetName(name);
    EXPECT_EQ(name, first->Name());
    EXPECT_EQ(&svc, first->GetService());
    EXPECT_TRUE(first->Connect("x", [](Message&) {}));
    EXPECT_FALSE(first->Connect("x", [](Message&) {}));
    first.reset();
    MsgRouter second;
    second.SetName(name);
    EXPECT_FALSE(second.Connect("x", [](Message&) {}));  // the dead entry still counts
    EXPECT_TRUE(second.PostTo(name + "::x", Message::Value()));  // the walk removes it
    EXPECT_TRUE(second.Connect("x", [](Message&) {}));
}

// A router made where a destroyed one lived (the device's allocator hands
// the same address out again) gets a key of its own: its private Connect is
// not refused by the old router's dead entry.
TEST_F(RouterTest, UnnamedRouterAtAReusedAddressHasItsOwnKey)
{
    alignas(MsgRouter) unsigned char place[sizeof(MsgRouter)];
    MsgRouter* first = new (place) MsgRouter;
    const std::string first_key = first->GetSender()->PrivateKey();
    EXPECT_TRUE(first->Connect("reused", [](Message&) {}));
    first->~MsgRouter();
    MsgRouter* second = new (place) MsgRouter;
    EXPECT_NE(first_key, second->GetSender()->PrivateKey());
    EXPECT_TRUE(second->Connect("reused", [](Message&) {}));
    second->~MsgRouter();
}

TEST_F(RouterTest, SendAnswersTheSenderOnItsPrivatePath)
{
    MsgRouter gui, worker;  // gui is unnamed: its key is a number of its own
    std::vector<int> reports;
    EXPECT_TRUE(gui.Connect("report", [&](Message& m) {
        reports.push_back(m.value.ToInt32());
        m.Back(Var(m.value.ToInt32() + 1000));
    }));
    bool refused_in_send = false;
    worker.Connect(P("run"), [&](Message& m) {
        Message::Value v(Var(1));
        EXPECT_TRUE(worker.Send(Message::Current(), "report", v));
        EXPECT_EQ(1001, v.value.ToInt32());
        EXPECT_TRUE(worker.Send(&m, "report", Message::Value(Var(2))));
        EXPECT_FALSE(worker.Send(&m, "no such private path", Message::Value()));
    }, 0);
    worker.Connect(P("sent"), [&](Message& m) {
        // The sender of this message waits for it: answering it is refused.
        refused_in_send = !worker.Send(&m, "report", Message::Value(Var(3)));
    }, 0);
    EXPECT_TRUE(gui.PostTo(P("run"), Message::Value()));
    svc.ProcessAll();
    EXPECT_EQ(std::vector<int>({1, 2}), reports);
    EXPECT_TRUE(gui.SendPath(P("sent"), Message::Value()));
    EXPECT_TRUE(refused_in_send);
    EXPECT_EQ(2u, reports.size());
    EXPECT_FALSE(worker.Send(nullptr, "report", Message::Value()));
}

TEST_F(RouterTest, ReceiversThatGoAwayDuringAChainAreSkipped)
{
    auto a = std::make_unique<MsgRouter>();
    auto b = std::make_unique<MsgRouter>();
    auto c = std::make_unique<MsgRouter>();
    MsgRouter poster;
    a->Connect(P("p"), [&](Message& m) {
        order.push_back("a");
        b->Disconnect(P("p"));
        m.Back(Var(1));
    }, 0);
    b->Connect(P("p"), [&](Message&) { order.push_back("b"); }, 1);
    c->Connect(P("p"), [&](Message& m) { order.push_back("c:" + m.value.ToString()); }, 2);
    int answers = 0;
    EXPECT_TRUE(poster.PostPath(P("p"), Message::Value(), [&](Message&) { ++answers; }));
    svc.ProcessAll();
    EXPECT_EQ(std::vector<std::string>({"a", "c:1"}), order);
    EXPECT_EQ(1, answers);

    // A plain post whose receiver is destroyed while its message is queued:
    // the message is dropped, the others still arrive.
    order.clear();
    a->Connect(P("q"), [&](Message&) { order.push_back("a"); }, 0);
    c->Connect(P("q"), [&](Message&) { order.push_back("c"); }, 0);
    EXPECT_TRUE(poster.PostTo(P("q"), Message::Value()));
    a.reset();
    svc.ProcessAll();
    EXPECT_EQ(std::vector<std::string>({"c"}), order);
}

TEST_F(RouterTest, PostToSelfAliasAndPrepared)
{
    MsgRouter r;
    int got = 0;
    EXPECT_TRUE(r.PostToSelf([&](Message& m) { got = m.value.ToInt32(); }, Message::Value(Var(4))));
    svc.ProcessAll();
    EXPECT_EQ(4, got);

    r.Connect(P("orig"), [&](Message& m) { got = m.value.ToInt32() + 1; }, 0);
    EXPECT_TRUE(kivo::RouteAlias(P("alias"), P("none"), 0).Empty());
    EXPECT_FALSE(kivo::RouteAlias(P("alias"), P("orig"), 0).Empty());
    EXPECT_TRUE(r.PostTo(P("alias"), Message::Value(Var(10))));
    svc.ProcessAll();
    EXPECT_EQ(11, got);

    Message prepared(Message::Value(Var(20)));
    prepared.controller.receiver = new kivo::svc_trains::ReceiverFunction(
        *r.GetSender(), [&](Message& m) { got = m.value.ToInt32() * 2; });
    EXPECT_TRUE(kivo::PostPrepared(P("orig"), prepared));
    svc.ProcessAll();
    EXPECT_EQ(40, got);
}

// A handler that sends to its own path runs inline as often as it recurses;
// only a nesting deeper than the fixed bound is refused, with one line.
int g_self_runs;
int g_self_limit;
int g_self_refused;

void SendToSelf(Message&)
{
    if (++g_self_runs < g_self_limit && !Service::SendFunc(Service::Current(), &SendToSelf, Message::Value()))
        ++g_self_refused;
}

TEST_F(RouterTest, SendsToTheHandlersOwnReceiverRunInlineUpToTheNestingBound)
{
    const int bound = static_cast<int>(Service::kInlineSendDepth);
    struct Case {
        bool routed;
        int limit;  // how often the handler means to run
        int runs;
        int refused;
    };
    const Case cases[] = {
        {true, 3, 3, 0},        {false, 3, 3, 0},          {true, bound, bound, 0},
        {false, bound, bound, 0}, {true, 1000, bound, 1}, {false, 1000, bound, 1},
    };
    MsgRouter r;
    r.Connect(P("self"), [&](Message&) {
        if (++g_self_runs < g_self_limit && !kivo::ElemSend(P("self"), Var(1)))
            ++g_self_refused;
    }, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.routed ? "routed " : "plain ") + std::to_string(c.limit));
        g_self_runs = 0;
        g_self_limit = c.limit;
        g_self_refused = 0;
        ::testing::internal::CaptureStdout();
        const bool sent = c.routed ? kivo::ElemSend(P("self"), Var(0))
                                   : Service::SendFunc(&svc, &SendToSelf, Message::Value());
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(sent);
        EXPECT_EQ(c.runs, g_self_runs);
        EXPECT_EQ(c.refused, g_self_refused);
        size_t lines = 0;
        for (size_t at = out.find('\n'); at != std::string::npos; at = out.find('\n', at + 1))
            ++lines;
        EXPECT_EQ(static_cast<size_t>(c.refused), lines) << out;
        if (c.refused != 0) {
            EXPECT_NE(std::string::npos, out.find("nested deeper than")) << out;
        }
    }
    // The bound is per nesting, not per thread's lifetime: a send after the
    // refused ones runs again.
    g_self_runs = 0;
    g_self_limit = 1;
    EXPECT_TRUE(kivo::ElemSend(P("self"), Var(0)));
    EXPECT_EQ(1, g_self_runs);
}

// ---------------------------------------------------------------- destruction

const char kOwnDestructionContract[] =
    "Assertion `caller is none of the service's workers nor its bound thread in a handler' failed";

void DeleteOwnService(Message&)
{
    delete Service::Current();
}

void DeleteOwnServiceFromATimer()
{
    delete Service::Current();
}

void DeleteOnAWorker()
{
    const Service::ThreadParam one = {0, 0, "self delete", 1};
    Service* s = new Service("", 16, one);
    Service::PostFunc(s, &DeleteOwnService, Message::Value());
    for (;;)
        kivo::this_thread::Sleep(10);
}

TEST(ServiceDeathTest, DestroyedByItsOwnHandlerOrTimerIsABrokenContract)
{
    // A handler on the thread that serves the service.
    EXPECT_DEATH(
        {
            Service* s = new Service("", 16);
            s->Start();
            Service::PostFunc(s, &DeleteOwnService, Message::Value());
            s->ProcessAll();
        },
        kOwnDestructionContract);
    // A handler on a worker of the service.
    EXPECT_DEATH(DeleteOnAWorker(), kOwnDestructionContract);
    // A timer callback, which runs as a handler of the service.
    EXPECT_DEATH(
        {
            Service* s = new Service("", 16);
            s->Start();
            kivo::Timer t;
            t.Start(&DeleteOwnServiceFromATimer, 0, 1);
            s->ProcessAll();
        },
        kOwnDestructionContract);
}

// Its bound thread may destroy a service once no handler runs: the program
// does so at its end.
TEST(ServiceLifetimeTest, BoundThreadDestroysItsServiceOutsideAHandler)
{
    Service* s = new Service("", 16);
    s->Start();
    int runs = 0;
    EXPECT_TRUE(Service::SendFunction(s, [&](Message&) { ++runs; }, Message::Value()));
    EXPECT_EQ(1, runs);
    delete s;
    EXPECT_EQ(nullptr, Service::Current());
}

}  // namespace
