// Service diagnostics on one thread: the test thread serves its service
// itself, so every router answers at once and every row is predictable.
// Busy services, waiting senders, pauses and routers that go away while a
// report is written are in dump_concurrency_test.cpp.

#include "kivo/service/dump.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "kivo/service/elem.h"
#include "kivo/service/service.h"
#include "tests/kivo/service/text_elem.h"

using kivo::Message;
using kivo::MsgRouter;
using kivo::Service;
using kivo::Var;
using kivo_test::TextElem;

namespace {

const char* const kSvc = "dg_local";

class VersionedRouter : public MsgRouter {
public:
    std::string Version() const override { return "2.1"; }
};

std::string Hex(uintptr_t v)
{
    char buf[32];
    snprintf(buf, sizeof(buf), "0x%X", static_cast<unsigned>(v));
    return buf;
}

std::string TidText(pthread_t t)
{
    return std::to_string(static_cast<int>(static_cast<uintptr_t>(t)));
}

// The row of one service's thread without its number, with a run time
// replaced by "#": rows are numbered in order, and the continuation lines
// of a row start with four spaces.
std::string RowOf(const std::string& dump, const std::string& svc)
{
    std::vector<std::string> rows;
    size_t pos = 0;
    while (pos < dump.size()) {
        size_t end = dump.find("\r\n", pos);
        if (end == std::string::npos)
            return "unterminated line: " + dump.substr(pos);
        std::string line = dump.substr(pos, end + 2 - pos);
        if (line.compare(0, 4, "    ") == 0 && !rows.empty())
            rows.back() += line;
        else
            rows.push_back(line);
        pos = end + 2;
    }
    std::string found;
    for (size_t i = 0; i < rows.size(); ++i) {
        char number[16];
        snprintf(number, sizeof(number), "%02d: ", static_cast<int>(i));
        if (rows[i].compare(0, 4, number) != 0)
            return "row " + std::to_string(i) + " misnumbered: " + rows[i];
        const std::string key = "SVC:" + svc + ",";
        if (rows[i].compare(4, key.size(), key) == 0)
            found = rows[i].substr(4);
    }
    size_t t = found.find("Run time: ");
    if (t != std::string::npos) {
        size_t start = t + 10;
        size_t stop = found.find("s, ", start);
        double secs = -1;
        if (stop == std::string::npos || sscanf(found.c_str() + start, "%lf", &secs) != 1 || secs < 0 || secs > 5)
            return "bad run time: " + found;
        found.replace(start, stop - start, "#");
    }
    return found;
}

std::vector<std::string> g_dumps;

void DumpHere(Message&)
{
    g_dumps.push_back(Service::Dump());
}

class DumpTest : public ::testing::Test {
protected:
    DumpTest() : svc(kSvc, 64) {}
    void SetUp() override
    {
        svc.Start();
        g_dumps.clear();
        me = TidText(pthread_self());
    }

    Service svc;
    std::string me;
};

TEST(IndexedNameTest, Formats)
{
    const std::string long_name(300, 'n');
    struct Case {
        std::string name;
        int32_t index;
        std::string want;
    } cases[] = {
        {"elem", 0, "elem[0]"},
        {"x", -3, "x[-3]"},
        {"", 12, "[12]"},
        {long_name, 2147483647, long_name + "[2147483647]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, kivo::IndexedName(c.name, c.index));
}

TEST_F(DumpTest, PathsWithValuesTakenValuesAndFilters)
{
    Var out;
    kivo::ElemWrite("/dg/a", Var(5));
    kivo::ElemWrite("/dg/b", Var(std::string("on")));
    kivo::ElemWrite("/dg/c", Var(1));
    ASSERT_TRUE(kivo::ElemRead("/dg/c", out, true));  // taken: no value left
    kivo::SharedRegistryCounter("/dg/n", 7);            // shows the counter's value
    kivo::ElemWrite("/dgx/a", Var(9));                  // outside the pattern
    const std::string long_text(600, 'v');
    kivo::ElemWrite("/dg_long", Var(long_text));

    struct Case {
        const char* pattern;
        std::string want;
    } cases[] = {
        {"/dg/*", "000. /dg/a: data=5\n001. /dg/b: data=on\n002. /dg/c: null\n003. /dg/n: data=7\n"},
        {"/dg?/a", "000. /dgx/a: data=9\n"},
        {"*/c", "000. /dg/c: null\n"},
        {"/dg_long", "000. /dg_long: data=" + long_text + "\n"},
        {"/nothing/*", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.want, kivo::DumpPaths(c.pattern)) << c.pattern;

    // Written again, the value is back.
    kivo::ElemWrite("/dg/c", Var(2));
    EXPECT_EQ("000. /dg/c: data=2\n", kivo::DumpPaths("/dg/c"));
}

TEST_F(DumpTest, ElementsAndModulesOfMatchingRouters)
{
    VersionedRouter m1;
    m1.SetName("dg_m1");
    m1.AddElem("volume", new TextElem(Var(5)));
    m1.AddElem("voltage", new TextElem(Var(std::string("3.3V"))));
    m1.AddElem("name", new TextElem(Var(std::string("box"))));
    MsgRouter m2;
    m2.SetName("dg_m2");
    m2.AddElem("volume", new TextElem(Var(9)));
    {
        MsgRouter gone;
        gone.SetName("dg_m0");  // destroyed before any report: not listed
    }

    struct Case {
        const char* modules;
        const char* elems;
        const char* want;
    } elem_cases[] = {
        {"dg_m*", "vol*", "000. dg_m1.voltage=3.3V\n001. dg_m1.volume=5\n002. dg_m2.volume=9\n"},
        {"dg_m2", "*", "000. dg_m2.volume=9\n"},
        {"dg_m?", "n*", "000. dg_m1.name=box\n"},
        {"dg_m1", "none", ""},
        {"other*", "*", ""},
    };
    for (const Case& c : elem_cases)
        EXPECT_EQ(c.want, kivo::DumpElems(c.modules, c.elems)) << c.modules << " " << c.elems;

    // Rows are numbered by position among all routers, matching or not.
    const Case module_cases[] = {
        {"dg_m*", "", "000. dg_m1, version:2.1, busy:0\n001. dg_m2, version:Unkown, busy:0\n"},
        {"dg_m2", "", "001. dg_m2, version:Unkown, busy:0\n"},
        {"x*", "", ""},
    };
    for (const Case& c : module_cases)
        EXPECT_EQ(c.want, kivo::DumpModules(c.modules)) << c.modules;
}

TEST_F(DumpTest, IdleAndStoppedThreads)
{
    EXPECT_EQ("SVC:dg_local, tid: " + me + ", local id: 0, run, idle\r\n", RowOf(Service::Dump(), kSvc));
    svc.Stop();
    EXPECT_EQ("SVC:dg_local, tid: " + me + ", local id: 0, stop, idle\r\n", RowOf(Service::Dump(), kSvc));
}

TEST_F(DumpTest, RowOfAThreadHandlingAMessage)
{
    const std::string head = "SVC:dg_local, tid: " + me + ", local id: 0, run\r\n    Run time: #s, ";
    const std::string cfunc = "recv cfunc:" + Hex(reinterpret_cast<uintptr_t>(&DumpHere));

    // Plain message: its value alone.
    ASSERT_TRUE(Service::PostFunc(&svc, &DumpHere, Message::Value(Var(42))));
    // Not valid or with an id: all three fields.
    ASSERT_TRUE(Service::PostFunc(&svc, &DumpHere, Message::Value(Var(std::string("abc")), false, 3)));
    ASSERT_TRUE(Service::PostFunc(&svc, &DumpHere, Message::Value(Var(1), true, -2)));
    svc.ProcessAll();
    ASSERT_EQ(3u, g_dumps.size());
    EXPECT_EQ(head + cfunc + "\r\n    Message: 42\r\n", RowOf(g_dumps[0], kSvc));
    EXPECT_EQ(head + cfunc + "\r\n    Message: valid=0,id=3,data=abc\r\n", RowOf(g_dumps[1], kSvc));
    EXPECT_EQ(head + cfunc + "\r\n    Message: valid=1,id=-2,data=1\r\n", RowOf(g_dumps[2], kSvc));

    // Done: idle again.
    EXPECT_EQ("SVC:dg_local, tid: " + me + ", local id: 0, run, idle\r\n", RowOf(Service::Dump(), kSvc));
}

TEST_F(DumpTest, RowOfARoutedMessageNamesSenderAndReceiver)
{
    MsgRouter snd;
    snd.SetName("dg_snd");
    MsgRouter rcv;
    rcv.SetName("dg_rcv");
    uintptr_t identity = 0;
    rcv.Connect("/dg_route", [&identity](Message& m) {
        identity = m.controller.receiver->Identity();
        g_dumps.push_back(Service::Dump());
    }, 0);
    ASSERT_TRUE(snd.PostTo("/dg_route", Message::Value(Var(1))));
    // A functor posted to the service: neither side has a name.
    ASSERT_TRUE(Service::PostFunction(&svc, [](Message&) { g_dumps.push_back(Service::Dump()); },
                                      Message::Value(Var(2))));
    svc.ProcessAll();
    ASSERT_EQ(2u, g_dumps.size());
    ASSERT_NE(0u, identity);
    const std::string head = "SVC:dg_local, tid: " + me + ", local id: 0, run\r\n    Run time: #s, ";
    EXPECT_EQ(head + "recv func:" + Hex(identity) +
                  " @ dg_rcv\r\n    Message: 1\r\n    Sender: dg_snd, receiver: dg_rcv\r\n",
              RowOf(g_dumps[0], kSvc));
    const std::string anon = RowOf(g_dumps[1], kSvc);
    EXPECT_NE(std::string::npos, anon.find("\r\n    Message: 2\r\n    Sender: unkown, receiver: unkown\r\n")) << anon;
}

void Inner(Message& m)
{
    g_dumps.push_back(Service::Dump());
    m.Back();
}

void Outer(Message&)
{
    // A send to one's own service runs inline: the row shows the inner
    // message, then the outer one again.
    Service::SendFunc(Service::Current(), &Inner, Message::Value(Var(2)));
    g_dumps.push_back(Service::Dump());
}

TEST_F(DumpTest, NestedHandlingShowsTheInnerMessageThenTheOuterOne)
{
    ASSERT_TRUE(Service::PostFunc(&svc, &Outer, Message::Value(Var(1))));
    svc.ProcessAll();
    ASSERT_EQ(2u, g_dumps.size());
    const std::string head = "SVC:dg_local, tid: " + me + ", local id: 0, run\r\n    Run time: #s, ";
    EXPECT_EQ(head + "recv cfunc:" + Hex(reinterpret_cast<uintptr_t>(&Inner)) + "\r\n    Message: 2\r\n",
              RowOf(g_dumps[0], kSvc));
    EXPECT_EQ(head + "recv cfunc:" + Hex(reinterpret_cast<uintptr_t>(&Outer)) + "\r\n    Message: 1\r\n",
              RowOf(g_dumps[1], kSvc));
}

}  // namespace
