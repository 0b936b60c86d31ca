// Path values, shared objects, element objects with validators and
// watchers, and element access by router name, on one thread: the test
// thread serves its service itself. Cross-thread behaviour is in
// elem_concurrency_test.cpp.

#include "kivo/service/elem.h"
#include "kivo/service/dump.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using kivo::ElemBase;
using kivo::Message;
using kivo::MsgRouter;
using kivo::Service;
using kivo::Var;

namespace {

// A plain element holding one Var.
class VarElem : public ElemBase {
public:
    explicit VarElem(const Var& v = Var(0)) : value(v), refuse_unchecked(false) {}
    void ValueText(std::string& out) const override { out += value.ToString(); }
    Var Value() const override { return value; }
    bool SetValue(Var& v, int32_t*) override
    {
        value = v;
        return true;
    }
    bool SetValueUnchecked(Var& v, int32_t*) override
    {
        if (refuse_unchecked)
            return false;
        value = v;
        return true;
    }
    Var value;
    bool refuse_unchecked;
};

struct Local {
    Local() : svc("svc_elem_local", 64) { svc.Start(); }
    ~Local() { svc.Stop(); }
    Service svc;
};

std::vector<std::string> g_got;
std::vector<int> g_ids;

void Collect(Message& m)
{
    g_got.push_back(m.value.ToString());
    g_ids.push_back(m.id);
}

class ElemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_got.clear();
        g_ids.clear();
    }
};

TEST_F(ElemTest, ReadWithTakeSucceedsOnceUntilTheNextWrite)
{
    Var out;
    EXPECT_FALSE(kivo::ElemRead("/elem_test/never", out, false));
    EXPECT_EQ(0, kivo::ElemRead("/elem_test/never").ToInt32());

    // A path without receivers: stored, true.
    EXPECT_TRUE(kivo::ElemWrite("/elem_test/take", Var(5)));
    EXPECT_TRUE(kivo::ElemRead("/elem_test/take", out, false));
    EXPECT_EQ(5, out.ToInt32());
    EXPECT_TRUE(kivo::ElemRead("/elem_test/take", out, true));
    EXPECT_EQ(5, out.ToInt32());
    out = Var(-1);
    EXPECT_FALSE(kivo::ElemRead("/elem_test/take", out, true));
    EXPECT_EQ(-1, out.ToInt32());
    EXPECT_EQ(0, kivo::ElemRead("/elem_test/take").ToInt32());

    EXPECT_TRUE(kivo::ElemWrite("@/elem_test/take", Var("six")));
    EXPECT_TRUE(kivo::ElemWrite("/elem_test/take", Var("six")));
    EXPECT_EQ("six", kivo::ElemRead("/elem_test/take").ToString());
    // The prefix means nothing: "@/x" and "/x" are two paths.
    EXPECT_TRUE(kivo::ElemRead("@/elem_test/take", out, true));
    EXPECT_FALSE(kivo::ElemRead("@/elem_test/take", out, true));
    EXPECT_TRUE(kivo::ElemRead("/elem_test/take", out, false));
}

void WriteFromAScope(const std::string& path)
{
    std::string text(200, 'x');  // long enough to live on the heap
    Var local(text);
    EXPECT_TRUE(kivo::ElemWrite(path, local, 7, false));
}

TEST_F(ElemTest, PostedWriteCarriesItsValueAndFlag)
{
    Local l;
    MsgRouter router;
    router.Connect("/elem_test/posted", MsgRouter::Handler(&Collect), 0);
    router.Connect("/elem_test/posted", MsgRouter::Handler(&Collect), 1);
    WriteFromAScope("/elem_test/posted");
    EXPECT_TRUE(g_got.empty());  // posted: nobody ran yet
    l.svc.ProcessAll();
    ASSERT_EQ(2u, g_got.size());
    EXPECT_EQ(std::string(200, 'x'), g_got[0]);
    EXPECT_EQ(g_got[0], g_got[1]);
    EXPECT_EQ(7, g_ids[0]);
    EXPECT_EQ(std::string(200, 'x'), kivo::ElemRead("/elem_test/posted").ToString());

    // Delivery without storing.
    EXPECT_TRUE(kivo::ElemPost("/elem_test/posted", Var(3), 2));
    EXPECT_TRUE(kivo::ElemSend("/elem_test/posted", Var(4)));  // served by this thread: runs at once
    EXPECT_EQ(4u, g_got.size());
    l.svc.ProcessAll();
    ASSERT_EQ(6u, g_got.size());
    EXPECT_EQ((std::vector<std::string>{"4", "4", "3", "3"}),
              std::vector<std::string>(g_got.begin() + 2, g_got.end()));
    EXPECT_EQ(std::string(200, 'x'), kivo::ElemRead("/elem_test/posted").ToString());
    EXPECT_FALSE(kivo::ElemPost("/elem_test/no_entry", Var(1)));
    EXPECT_FALSE(kivo::ElemSend("/elem_test/no_entry", Var(1)));
}

TEST_F(ElemTest, RangeClampsAndAlwaysPasses)
{
    struct Case {
        int32_t mode;
        Var in;
        int64_t expect;
        int32_t err;
        bool number;
    } cases[] = {
        {3, Var(150), 100, 0 - 4, true}, {3, Var(-5), 0, -3, true},   {3, Var("50"), 50, 0, true},
        {3, Var(100), 100, 0, true},     {1, Var(-1), 0, -3, true},   {1, Var(150), 150, 0, true},
        {2, Var(150), 100, -4, true},    {2, Var(-5), -5, 0, true},   {0, Var(150), 150, 0, true},
        {3, Var(7.9), 8, 0, true},       {7, Var("abc"), 0, 0, false},
    };
    for (const Case& c : cases) {
        kivo::Range r(c.mode, Var(0), Var(100));
        Var v(c.in);
        int32_t err = 0;
        EXPECT_TRUE(r.Check(v, &err));
        EXPECT_EQ(c.err, err) << c.mode << " " << c.in.ToString();
        if (c.number) {
            EXPECT_LE(v.GetType(), Var::TYPE_DOUBLE) << c.in.ToString();
            EXPECT_EQ(c.expect, v.ToInt64()) << c.mode << " " << c.in.ToString();
        } else {
            EXPECT_EQ("abc", v.ToString());
        }
        Var again(c.in);
        EXPECT_TRUE(r.Check(again, 0));  // no error pointer: no write
    }
}

TEST_F(ElemTest, ValidatorAndWatchers)
{
    std::vector<std::string> calls;
    kivo::Slot alive;
    std::unique_ptr<kivo::Slot> dying(new kivo::Slot);
    VarElem e;
    kivo::Range range(3, Var(0), Var(100));
    e.validator = range.AsValidator();
    e.AddWatcher(alive.GetObserver(), [&calls](ElemBase& el) { calls.push_back("b" + el.Value().ToString()); }, 5);
    e.AddWatcher(alive.GetObserver(), [&calls](ElemBase& el) { calls.push_back("a" + el.Value().ToString()); }, 1);
    e.AddWatcher(dying->GetObserver(), [&calls](ElemBase&) { calls.push_back("dead"); }, 0);
    dying.reset();

    int32_t err = 0;
    EXPECT_TRUE(e.Set(Var(150), &err));
    EXPECT_EQ(-4, err);
    EXPECT_EQ(100, e.Value().ToInt32());
    EXPECT_EQ((std::vector<std::string>{"a100", "b100"}), calls);
    EXPECT_EQ(2u, e.watchers.Count());  // the dead one went when the walk ended
    EXPECT_TRUE(e.Check(Var(-3), 0));

    // A refusing validator: nothing set, nobody told.
    calls.clear();
    e.validator = ElemBase::Validator([](Var&, int32_t* er) {
        if (er)
            *er = -9;
        return false;
    });
    err = 0;
    EXPECT_FALSE(e.Set(Var(1), &err));
    EXPECT_EQ(-9, err);
    EXPECT_FALSE(e.Check(Var(1), 0));
    EXPECT_EQ(100, e.Value().ToInt32());
    EXPECT_TRUE(calls.empty());

    // ForceSet skips the validator and tells the watchers whatever happened.
    e.ForceSet(Var(-50));
    EXPECT_EQ(-50, e.Value().ToInt32());
    e.refuse_unchecked = true;
    e.ForceSet(Var(1));
    EXPECT_EQ(-50, e.Value().ToInt32());
    EXPECT_EQ((std::vector<std::string>{"a-50", "b-50", "a-50", "b-50"}), calls);
}

TEST_F(ElemTest, WatcherMaySetTheElementAndAddWatchers)
{
    kivo::Slot owner;
    VarElem e;
    int inner = 0;
    int outer = 0;
    e.AddWatcher(owner.GetObserver(), [&](ElemBase& el) {
        if (++outer == 1) {
            el.AddWatcher(owner.GetObserver(), [&inner](ElemBase&) { ++inner; }, 9);
            el.Set(Var(2));
        }
    });
    EXPECT_TRUE(e.Set(Var(1)));
    EXPECT_EQ(2, e.Value().ToInt32());
    EXPECT_EQ(2, outer);
    EXPECT_GE(inner, 1);
    EXPECT_EQ(2u, e.watchers.Count());
}

TEST_F(ElemTest, RouterElementsLocalGlobalAndRemote)
{
    Local l;
    std::unique_ptr<MsgRouter> owner(new MsgRouter);
    owner->SetName("elem_test_owner");
    kivo::IntrusivePtr<VarElem> a(new VarElem(Var(1)));
    kivo::IntrusivePtr<VarElem> g(new VarElem(Var("g")));
    owner->AddElem("a", a.Get());
    owner->AddElem("$elem_test_g", g.Get());

    MsgRouter other;
    EXPECT_EQ(a.Get(), owner->FindElem("a"));
    EXPECT_EQ(nullptr, other.FindElem("a"));
    EXPECT_EQ(g.Get(), other.FindElem("$elem_test_g"));  // global
    EXPECT_FALSE(other.SetElem("a", Var(3)));

    EXPECT_TRUE(owner->SetElem("a", Var(2)));
    std::string text;
    EXPECT_TRUE(owner->GetElemText("a", text));
    EXPECT_EQ("2", text);

    // By router name (this thread serves the service: handled at once).
    EXPECT_TRUE(kivo::ElemSet("elem_test_owner", "a", Var(9)));
    Var out;
    EXPECT_TRUE(kivo::ElemGet("elem_test_owner", "a", out));
    EXPECT_EQ(9, out.ToInt32());
    EXPECT_TRUE(kivo::ElemGetText("elem_test_owner", "$elem_test_g", text));
    EXPECT_EQ("g", text);
    EXPECT_FALSE(kivo::ElemSet("elem_test_owner", "missing", Var(1)));
    EXPECT_FALSE(kivo::ElemGet("elem_test_nobody", "a", out));

    EXPECT_TRUE(kivo::ElemSetMany("elem_test_owner", Var("{'a':4,'$elem_test_g':'h'}", true)));
    EXPECT_EQ(4, a->value.ToInt32());
    EXPECT_EQ("h", g->value.ToString());
    EXPECT_FALSE(kivo::ElemSetMany("elem_test_owner", Var("{'a':5,'zz':1}", true)));

    std::vector<Var> vals;
    std::vector<std::string> texts;
    EXPECT_TRUE(kivo::ElemGetList("elem_test_owner", {"a", "$elem_test_g"}, vals));
    ASSERT_EQ(2u, vals.size());
    EXPECT_EQ(5, vals[0].ToInt32());
    EXPECT_TRUE(kivo::ElemGetList("elem_test_owner", {"a", "$elem_test_g"}, texts));
    EXPECT_EQ((std::vector<std::string>{"5", "h"}), texts);
    EXPECT_FALSE(kivo::ElemGetList("elem_test_owner", {"a", "nope"}, texts));
    EXPECT_FALSE(kivo::ElemGetList("elem_test_owner", {}, texts));

    // The owner goes: its global element is not found any more.
    owner.reset();
    EXPECT_EQ(nullptr, other.FindElem("$elem_test_g"));
    EXPECT_FALSE(kivo::ElemGet("elem_test_owner", "a", out));
}

struct Tracked {
    explicit Tracked(int* c) : count(c) {}
    ~Tracked() { ++*count; }
    int* count;
    std::vector<std::string> list;
};

TEST_F(ElemTest, SharedObjectsAndCounters)
{
    // Shared objects stay in the path table for good: paths of their own
    // for each run of this case (--gtest_repeat).
    static int run = 0;
    ++run;
    const std::string shared = "/elem_test/shared/" + std::to_string(run);
    const std::string counter = "/elem_test/counter/" + std::to_string(run);
    int deleted = 0;
    EXPECT_EQ(nullptr, kivo::GetShared<Tracked>(shared));  // nothing given, nothing made
    Tracked* first = new Tracked(&deleted);
    EXPECT_EQ(first, kivo::GetShared<Tracked>(shared, first));
    first->list.push_back("sys/update.elf");
    EXPECT_EQ(first, kivo::GetShared<Tracked>(shared, new Tracked(&deleted)));
    EXPECT_EQ(1, deleted);  // the second one was not taken
    EXPECT_EQ(first, kivo::GetShared<Tracked>(shared));
    EXPECT_EQ(nullptr, kivo::GetShared<int>(shared));  // another type
    EXPECT_EQ(1u, first->list.size());
    // A shared object that takes no values refuses writes.
    EXPECT_FALSE(kivo::ElemWrite(shared, Var(1)));
    EXPECT_EQ(first, kivo::GetShared<Tracked>(shared));
    EXPECT_TRUE(kivo::SharedRegistryCounter(shared, 0).Empty());

    kivo::SharedPtr<kivo::impl::Atomic<int>> c = kivo::SharedRegistryCounter(counter, 3);
    ASSERT_FALSE(c.Empty());
    EXPECT_EQ(3, c->Load());
    EXPECT_EQ(3, kivo::ElemRead(counter).ToInt32());
    EXPECT_TRUE(kivo::ElemWrite(counter, Var(1)));
    EXPECT_EQ(1, c->Load());
    EXPECT_TRUE(kivo::ElemWrite(counter, Var("12")));
    EXPECT_EQ(12, c->Load());
    // The same counter again, the initial value ignored.
    kivo::SharedPtr<kivo::impl::Atomic<int>> again = kivo::SharedRegistryCounter(counter, 0);
    EXPECT_EQ(&*c, &*again);
    EXPECT_EQ(12, kivo::ElemRead(counter).ToInt32());

    // A read with take, then a write: the counter holds a value again, for
    // reads and for the path dump. A refused write leaves it taken.
    Var out;
    EXPECT_TRUE(kivo::ElemRead(counter, out, true));
    EXPECT_FALSE(kivo::ElemRead(counter, out, false));
    EXPECT_NE(std::string::npos, kivo::DumpPaths(counter).find(counter + ": null"));
    EXPECT_TRUE(kivo::ElemWrite(counter, Var(4)));
    ASSERT_TRUE(kivo::ElemRead(counter, out, true));
    EXPECT_EQ(4, out.ToInt32());
    EXPECT_NE(std::string::npos, kivo::DumpPaths(counter).find(counter + ": null"));
    EXPECT_TRUE(kivo::ElemWrite(counter, Var(5)));
    EXPECT_NE(std::string::npos, kivo::DumpPaths(counter).find(counter + ": data=5"));
    EXPECT_TRUE(kivo::ElemRead(shared, out, true));
    EXPECT_FALSE(kivo::ElemWrite(shared, Var(1)));
    EXPECT_FALSE(kivo::ElemRead(shared, out, false));
}

}  // namespace

namespace {

using kivo::ElemStamp;

// Assigning a stamp takes its value, marks a change when the value differs
// or this stamp was forced, and drops the force mark.
TEST(ElemStampTest, AssignmentMarksChanges)
{
    struct Case {
        const char* what;
        uint32_t before;  // this stamp's whole word
        uint32_t other;   // the assigned stamp's whole word
        bool changed;
        uint32_t after;
    };
    const Case cases[] = {
        {"same value", 5, 5, false, 5},
        {"other value", 5, 6, true, 0x80000006u},
        {"forced, same value", 0x40000005u, 5, true, 0x80000005u},
        {"forced, other value", 0x40000005u, 9, true, 0x80000009u},
        {"old change mark dropped", 0x80000005u, 5, false, 5},
        {"only the other's stamp bits count", 7, 0xC0000007u, false, 7},
        {"other's marks are not taken", 7, 0xC0000008u, true, 0x80000008u},
        {"widest stamp", 0, 0x3FFFFFFFu, true, 0xBFFFFFFFu},
    };
    for (const Case& c : cases) {
        ElemStamp stamp = ElemStamp::FromWord(c.before);
        const ElemStamp other = ElemStamp::FromWord(c.other);
        EXPECT_EQ(stamp.Assign(other), c.changed) << c.what;
        EXPECT_EQ(stamp.Word(), c.after) << c.what;
        EXPECT_EQ(stamp.Changed(), c.changed) << c.what;
        EXPECT_FALSE(stamp.Forced()) << c.what;
        EXPECT_EQ(stamp.Stamp(), c.other & 0x3FFFFFFFu) << c.what;
    }
}

TEST(ElemStampTest, OneWordWithStampAndMarks)
{
    static_assert(sizeof(ElemStamp) == 4, "one 32-bit word");
    ElemStamp stamp(0xFFFFFFFFu);  // only the stamp bits are taken
    EXPECT_EQ(stamp.Word(), 0x3FFFFFFFu);
    EXPECT_FALSE(stamp.Forced());
    EXPECT_FALSE(stamp.Changed());
    stamp.Force();
    EXPECT_TRUE(stamp.Forced());
    EXPECT_EQ(stamp.Word(), 0x7FFFFFFFu);
    EXPECT_EQ(stamp.Stamp(), 0x3FFFFFFFu);

    // Plain assignment follows the same rule.
    ElemStamp other(12);
    stamp = other;
    EXPECT_EQ(stamp.Word(), 0x8000000Cu);
    EXPECT_EQ(ElemStamp().Word(), 0u);
}

}  // namespace
