// The check stage end to end on hostile check scripts, one sandbox per case
// (natively, or the ARM build under qemu-arm-static). Whatever the script
// does, the run ends cleanly: no abort and no sanitizer report, exactly one
// error line when the script fails, the verdict line, the board untouched
// when the verdict is 0 and installed when it is 1, "/tmp/update" removed.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/app/updater_run.h"

using e2e::Outcome;
using e2e::Sandbox;

namespace {

struct CheckCase {
    const char* name;
    std::string script;
    int verdict;
    // The step of the one error line (">> Lua <step> error: ..."), or "".
    const char* step;
    // Text the error line holds, or a line the run prints when step is "".
    const char* text;
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

// Leaves a table whose finalizer fails (or yields) behind, then a list long
// enough that printing it runs collection steps.
std::string FailingFinalizerAndLongList(const char* body)
{
    return std::string("PreUpdateList = {}\n"
                       "for i = 1, 60000 do PreUpdateList[i] = i end\n"
                       "setmetatable({}, {__gc = function() ") +
           body +
           " end})\n"
           "function Check() return true end\n";
}

// A _G whose __index gives "Check" once and then fails (or yields).
std::string StrictGlobals(const char* fail)
{
    return std::string("local seen = 0\n"
                       "setmetatable(_G, {__index = function(_, k)\n"
                       "  if k ~= 'Check' then return nil end\n"
                       "  seen = seen + 1\n"
                       "  if seen > 1 then ") +
           fail +
           " end\n"
           "  return function() return true end\n"
           "end})\n";
}

// A _G whose __index runs `fail` when the global `name` is looked up.
std::string RaisingGlobals(const char* name, const char* fail)
{
    return std::string("setmetatable(_G, {__index = function(_, k) if k == '") + name + "' then " + fail +
           " end end})\n";
}

// A Check that gives vector_int a setter "refuse" that raises, assigns to
// `field` and then goes on (the object is deleted first: the assignment
// needs only its class).
std::string RefusingSetter(const char* field)
{
    return std::string("function Check()\n"
                       "  local v = vector_int:new()\n"
                       "  getmetatable(v).refuse = function() error('refuse: battery low') end\n"
                       "  v:delete()\n"
                       "  v.") +
           field + " = 1\n  return true\nend\n";
}

std::vector<CheckCase> Cases()
{
    std::string shared_tree = "local t = {} for i = 1, 40 do t = {t, t} end\n";
    return {
        // Ordinary ones: every kind of error in the chunk, in Check and in
        // PrintRoute, and a script that does not load.
        {"ChunkErrorText", "function Check() return true end error('bad package')", 0, "script", "bad package"},
        {"ChunkErrorTable", "function Check() return true end error({})", 0, "script", "table value"},
        {"ChunkErrorNumber", "function Check() return true end error(42)", 0, "script", "42"},
        {"ChunkErrorNil", "function Check() return true end error()", 0, "script", "nil value"},
        {"DoesNotLoad", "function Check( return true end", 0, "script", "near 'return'"},
        {"CheckFails", "function Check() error('no disk') end", 0, "Check", "no disk"},
        {"CheckYields", "function Check() coroutine.yield() end", 0, "Check", "yield"},
        {"PrintRouteFails", "function PrintRoute() local t; return t.x end function Check() return true end", 0,
         "PrintRoute", "nil value"},
        {"Refuses", "function Check() return false end", 0, "", ">> Lua check no update"},
        {"GoesOn", "function Check() return true end", 1, "", ">> Lua check need update"},
        // A finalizer that fails after the chunk ran, while the long list
        // is printed.
        {"FinalizerFailsWhileTheListPrints", FailingFinalizerAndLongList("error('gc boom')"), 0, "PreUpdateList",
         "gc boom"},
        {"FinalizerYieldsWhileTheListPrints", FailingFinalizerAndLongList("coroutine.yield()"), 0, "PreUpdateList",
         "yield"},
        // "Check" is looked up once: the second look-up that would fail is
        // never made.
        {"StrictGlobalsFailOnASecondLookup", StrictGlobals("error('strict: ' .. k)"), 1, "",
         ">> Lua check need update"},
        {"StrictGlobalsYieldOnASecondLookup", StrictGlobals("coroutine.yield()"), 1, "", ">> Lua check need update"},
        // A look-up of the read-out that raises is an error of its step, as
        // the same error raised inside Check is; one that gives nothing
        // keeps its meaning.
        {"CheckLookUpFails", RaisingGlobals("Check", "error('refuse: battery low')"), 0, "Check",
         "refuse: battery low"},
        {"CheckLookUpYields", RaisingGlobals("Check", "coroutine.yield()"), 0, "Check", "yield"},
        {"ListLookUpFails", RaisingGlobals("PreUpdateList", "error('no list')") + "function Check() return true end\n",
         0, "PreUpdateList", "no list"},
        {"CheckLookUpGivesNothing", RaisingGlobals("nothing", "error('unused')"), 1, "", ">> lua_check : 1"},
        // So is an assignment whose setter raises; one to a field that is
        // not there takes nothing, as before.
        {"CheckAssignmentFails", RefusingSetter("refuse"), 0, "Check", "refuse: battery low"},
        {"CheckAssignmentToNothing", RefusingSetter("nothing"), 1, "", ">> Lua check need update"},
        // Files left open are closed before the install: open until the
        // handles run out.
        {"FilesLeftOpen",
         "local n = 0\n"
         "while open('/tmp/update/check.lua') do n = n + 1 end\n"
         "print('opened', n > 1000)\n"
         "function Check() return true end\n",
         1, "", "opened\ttrue"},
        // Sends that would deadlock ("update.run" is served by the thread
        // that waits for this stage: refused) or run the stage inside itself
        // (delivered inline, and Gui turns it away while its stage runs).
        {"SendsToTheUpdatersOwnRoutes",
         "function Check()\n"
         "  print('sends', router_send('update.run', 1), router_send('Gui::update_start', '/tmp/update'))\n"
         "  return true\n"
         "end\n",
         1, "", "sends\tfalse\ttrue"},
        // A bound closure's finalizer called by hand, twice.
        {"BoundFinalizerCalledTwice",
         "local _, h = debug.getupvalue(timer_start, 2)\n"
         "local gc = getmetatable(h).__gc\n"
         "gc(h) gc(h)\n"
         "print('timer after gc', pcall(timer_start, function() end, 10))\n"
         "function Check() return true end\n",
         1, "", "timer after gc\tfalse\tfunction no longer available"},
        // An error report whose stack holds a tree that shares one table at
        // every level.
        {"ReportOfASharedTree", shared_tree + "print('written', router_write(t))\nfunction Check() return true end\n",
         1, "", "written"},
        // Recursion through a bound function until the interpreter's C
        // depth limit: each level's error is dropped by "dostring".
        {"RecursesThroughDostring",
         "depth = 0\n"
         "function Check() depth = depth + 1 dostring('Check()') return true end\n",
         1, "", ">> Lua check need update"},
        // Finalizers left for the state's close: one fails, one uses the
        // library after it went, one sends to the updater's own routes.
        {"FinalizersAtClose",
         "keep = {\n"
         "  setmetatable({}, {__gc = function() error('late') end}),\n"
         "  setmetatable({}, {__gc = function() dostring('open(\\'/tmp/update/x\\', \\'w\\')') end}),\n"
         "  setmetatable({}, {__gc = function() timer_start(function() end, 10) end}),\n"
         "  setmetatable({}, {__gc = function() router_send('Gui::update_start', '/tmp/update') end}),\n"
         "  setmetatable({}, {__gc = function() coroutine.yield() end}),\n"
         "}\n"
         "function Check() return false end\n",
         0, "", ">> Lua check no update"},
        // A finalizer that destroys the running bound function's holder
        // while that function allocates.
        {"BoundHolderCollectedWhileItRuns",
         "local _, h = debug.getupvalue(timer_start, 2)\n"
         "local gc = getmetatable(h).__gc\n"
         "local function arm() setmetatable({}, {__gc = function() gc(h) end}) end\n"
         "for i = 1, 200 do arm() pcall(timer_start, function() end, 100000, 1) end\n"
         "function Check() return false end\n",
         0, "", ">> Lua check no update"},
    };
}

class CheckScriptTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckScriptTest, EndsCleanlyWithItsVerdict)
{
    const CheckCase& c = GetParam();
    Sandbox sb;
    ASSERT_TRUE(sb.Ok());
    sb.Install("/opt/sys_disk", "uImage", "old kernel", "V1");
    const std::string out = sb.Path("/opt/update_disk/code.bin");
    ASSERT_TRUE(sb.Pack("{\"out\":" + e2e::JsonText(out) +
                        ",\"raw\":{\"entries\":["
                        "{\"name\":\"sys/uImage\",\"data\":\"new kernel\"},"
                        "{\"name\":\"sys/info.ini\",\"info\":{\"sections\":{\"uImage\":{\"version\":\"V2\","
                        "\"check_crc\":\"auto\"}}}},"
                        "{\"name\":\"check.lua\",\"data\":" +
                        e2e::JsonText(c.script) + "}]}}"))
        << c.name;

    Outcome run = sb.Start({"/opt/update_disk/code.bin"}, nullptr, true, 300);
    EXPECT_FALSE(run.timed_out) << run.All();
    EXPECT_EQ(run.exit_status, 1) << run.All();
    EXPECT_EQ(run.err, "") << run.All();
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "kivo deinit") << run.All();

    std::vector<std::string> errors;
    for (const std::string& line : run.lines) {
        if (line.compare(0, 7, ">> Lua ") == 0 && line.find(" error: ") != std::string::npos)
            errors.push_back(line);
    }
    if (*c.step != 0) {
        ASSERT_EQ(errors.size(), 1u) << run.All();
        const std::string head = std::string(">> Lua ") + c.step + " error: ";
        EXPECT_EQ(errors[0].compare(0, head.size(), head), 0) << errors[0];
        EXPECT_NE(errors[0].find(c.text), std::string::npos) << errors[0];
    } else {
        EXPECT_TRUE(errors.empty()) << run.All();
        EXPECT_TRUE(run.Printed(c.text)) << run.All();
    }
    EXPECT_TRUE(run.Printed(">> lua_check : " + std::to_string(c.verdict))) << run.All();
    if (c.verdict == 0) {
        EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "old kernel");
        EXPECT_FALSE(sb.Has("/commands.log"));
    } else {
        EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "new kernel") << run.All();
        for (const std::string& line : run.Reports())
            EXPECT_NE(line.compare(0, 7, "[error]"), 0) << run.All();
    }
    EXPECT_FALSE(sb.Has("/tmp/update"));
}

INSTANTIATE_TEST_SUITE_P(Scripts, CheckScriptTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

}  // namespace
