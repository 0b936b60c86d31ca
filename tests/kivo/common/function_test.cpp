#include "kivo/common/function.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

namespace {

using kivo::PlaceHolder::_1;
using kivo::PlaceHolder::_2;

int Sub(int a, int b) { return a - b; }
int Twice(int a) { return 2 * a; }
int Negate(int a) { return -a; }

static_assert(std::is_same<kivo::Function<void(const std::string&)>, kivo::Function1<void, const std::string&>>::value,
              "the signature form is Function1");

TEST(FunctionTest, PlainFunctionsOfEachArity)
{
    kivo::Function1<int, int> twice(&Twice);
    kivo::Function2<int, int, int> sub(&Sub);
    kivo::Function0<int> bound = kivo::Bind(&Twice, 21);
    EXPECT_EQ(8, twice(4));
    EXPECT_EQ(7, sub(10, 3));
    EXPECT_EQ(42, bound());
}

TEST(FunctionTest, PlaceholdersPickTheirCallArguments)
{
    struct Case {
        const char* name;
        kivo::Function2<int, int, int> fn;
        int expected;
    };
    const Case cases[] = {
        {"in order", kivo::Bind(&Sub, _1, _2), 7},
        {"swapped", kivo::Bind(&Sub, _2, _1), -7},
        {"first twice", kivo::Bind(&Sub, _1, _1), 0},
        {"stored and second", kivo::Bind(&Sub, 100, _2), 97},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, c.fn(10, 3)) << c.name;
}

// A message-like object: handlers must answer the caller's own object.
struct Msg {
    int answer = 0;
    const Msg* seen = nullptr;
};

void AnswerWith(Msg& m, int code)
{
    m.answer = code;
    m.seen = &m;
}

class Handler {
public:
    virtual ~Handler() {}
    virtual void OnMsg(Msg& m) { m.answer = 1; }
    virtual void OnEntry(const char* path, bool is_dir, std::string a, std::string b)
    {
        log += std::string("base:") + path + (is_dir ? "/" : "") + a + b;
    }
    std::string log;
};

class DerivedHandler : public Handler {
public:
    void OnMsg(Msg& m) override
    {
        m.answer = 2;
        m.seen = &m;
    }
    void OnEntry(const char* path, bool is_dir, std::string a, std::string b) override
    {
        log += std::string("derived:") + path + (is_dir ? "/" : "") + a + b;
    }
};

TEST(FunctionTest, ReferenceParameterReachesTheCallersObject)
{
    DerivedHandler h;
    Msg direct;
    kivo::Function1<void, Msg&> member(&Handler::OnMsg, static_cast<Handler*>(&h));
    member(direct);
    EXPECT_EQ(2, direct.answer);
    EXPECT_EQ(&direct, direct.seen);

    Msg bound_msg;
    kivo::Function1<void, Msg&> bound = kivo::Bind(&AnswerWith, _1, 42);
    bound(bound_msg);
    EXPECT_EQ(42, bound_msg.answer);
    EXPECT_EQ(&bound_msg, bound_msg.seen);
}

TEST(FunctionTest, MemberBinderDispatchesVirtually)
{
    DerivedHandler h;
    Handler* base = &h;
    kivo::Function2<void, const char*, bool> walk =
        kivo::Bind(&Handler::OnEntry, base, _1, _2, std::string("[a]"), std::string("[b]"));
    walk("etc", true);
    walk("x", false);
    EXPECT_EQ("derived:etc/[a][b]derived:x[a][b]", h.log);
}

// A structure bound to a reference parameter: calls change the binder's copy.
struct Tally {
    int calls = 0;
    std::string text;
};

int Bump(Tally& t, std::string suffix)
{
    suffix += "!";  // a by-value parameter is the callee's own copy
    t.text += suffix;
    return ++t.calls;
}

TEST(FunctionTest, StoredValuesBelongToEachCopy)
{
    Tally outside;
    kivo::Function0<int> f = kivo::Bind(&Bump, outside, std::string("a"));
    EXPECT_EQ(1, f());
    EXPECT_EQ(2, f());
    EXPECT_EQ(0, outside.calls);

    kivo::Function0<int> copy(f);
    EXPECT_EQ(3, copy());
    EXPECT_EQ(3, f());  // the copy cloned the tally; they go on separately
    EXPECT_EQ(4, copy());
}

// Like the update module's walk callback: a stored structure by reference
// and a buffer pointer, after two placeholders.
class Walker {
public:
    void Visit(const char* path, bool is_dir, Tally& seen, char* out)
    {
        seen.text += path;
        if (!is_dir)
            out[seen.calls++] = path[0];
    }
};

TEST(FunctionTest, CopyOutlivesTheSourceAndKeepsBoundValues)
{
    Walker w;
    char out[4] = {0, 0, 0, 0};
    kivo::Function2<void, const char*, bool>* source =
        new kivo::Function2<void, const char*, bool>(kivo::Bind(&Walker::Visit, &w, _1, _2, Tally(), out));
    kivo::Function2<void, const char*, bool> copy(*source);
    delete source;
    copy("a", false);
    copy("dir", true);
    copy("b", false);
    EXPECT_STREQ("ab", out);
}

TEST(FunctionTest, AssignmentCopiesAndSurvivesSelfAssignment)
{
    kivo::Function1<int, int> f(&Twice);
    kivo::Function1<int, int> g(&Negate);
    f = g;
    g = kivo::Function1<int, int>();
    EXPECT_EQ(-5, f(5));
    kivo::Function1<int, int>& alias = f;
    f = alias;
    EXPECT_EQ(-6, f(6));
    f = g;
    EXPECT_EQ(0u, f.TargetIdentity());
}

// A class with a call operator, as the service worker entrance is.
struct Entrance {
    int* runs;
    void operator()() const { ++*runs; }
};

TEST(FunctionTest, TargetIdentity)
{
    EXPECT_EQ(0u, kivo::Function0<void>().TargetIdentity());
    EXPECT_EQ(0u, (kivo::Function2<void, int, int>().TargetIdentity()));

    int runs = 0;
    kivo::Function0<void> e(Entrance{&runs});
    e();
    EXPECT_EQ(1, runs);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(typeid(Entrance).name()), e.TargetIdentity());

    kivo::Function1<int, int> a(&Twice), b(&Negate);
    EXPECT_EQ(a.TargetIdentity(), b.TargetIdentity());  // same function pointer type

    DerivedHandler h;
    kivo::Function1<void, Msg&> m(&Handler::OnMsg, static_cast<Handler*>(&h));
    void (Handler::*mf)(Msg&) = &Handler::OnMsg;
    uintptr_t word;
    memcpy(&word, &mf, sizeof(word));
    EXPECT_EQ(word, m.TargetIdentity());
}

TEST(FunctionInvokerTest, EqualsComparesTargets)
{
    typedef kivo::Fn::Function1CCfuncInvoker<int, int (*)(int), int> PtrInvoker;
    PtrInvoker twice_a(&Twice), twice_b(&Twice), negate(&Negate);
    EXPECT_TRUE(twice_a.Equals(twice_b));
    EXPECT_FALSE(twice_a.Equals(negate));

    int runs = 0;
    typedef kivo::Fn::Function0CCfuncInvoker<void, Entrance> ObjInvoker;
    ObjInvoker first(Entrance{&runs}), second(Entrance{&runs});
    EXPECT_FALSE(first.Equals(second));
    EXPECT_TRUE(first.Equals(first));

    // Same identity word, other class: never equal.
    kivo::Fn::Function0CCfuncInvoker<void, void (*)()> other_class(nullptr);
    kivo::Fn::Function0CCfuncInvoker<void, Entrance> entrance(Entrance{&runs});
    EXPECT_FALSE(entrance.Equals(other_class));

    DerivedHandler h1, h2;
    typedef kivo::Fn::Function1MemObjectInvoker<void, Handler*, void (Handler::*)(Msg&), Msg&> MemInvoker;
    MemInvoker on_h1(&Handler::OnMsg, &h1), again_h1(&Handler::OnMsg, &h1), on_h2(&Handler::OnMsg, &h2);
    EXPECT_TRUE(on_h1.Equals(again_h1));
    EXPECT_FALSE(on_h1.Equals(on_h2));
}

TEST(FunctionDeathTest, CallingAnEmptyFunctionAborts)
{
    kivo::Function0<void> f0;
    kivo::Function1<void, int> f1;
    kivo::Function2<int, int, int> f2;
    EXPECT_DEATH(f0(), "_base != 0");
    EXPECT_DEATH(f1(1), "_base != 0");
    EXPECT_DEATH(f2(1, 2), "_base != 0");
}

}  // namespace
