// The updater when one of its threads cannot be created: one line naming
// what failed, and the program ends (exit status 1, as always). Runs a copy
// of the program whose thread creations fail on demand
// (tests/app/thread_fault_shim.cpp).

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "tests/app/update_test_env.h"

namespace {

#if defined(QLX_UPDATER_THREAD_FAULT) && defined(QLX_EMULATOR)

struct ProgramRun {
    std::string out;
    int status;
};

// Runs the program in an empty sandbox with creation `n` failing; the
// `timeout` only catches a hang.
ProgramRun RunWithFailingCreation(const std::string& root, int n)
{
    const std::string cmd = "UPDATER_ROOT='" + root + "' QLX_FAIL_THREAD_CREATE=" + std::to_string(n) +
                            " timeout 120 " + QLX_EMULATOR + " '" + QLX_UPDATER_THREAD_FAULT + "' 2>&1";
    ProgramRun r{"", -1};
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, got);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(MainThreadStartTest, AThreadThatCannotBeCreatedGivesOneLineAndTheProgramEnds)
{
    struct Case {
        int creation;  // 1: the application thread, then the table's workers
        const char* line;
        bool started;  // the library was set up (and is shut down again)
    };
    const Case cases[] = {
        {1, "[error]the application thread could not be created: Resource temporarily unavailable\n", false},
        {2, "[error]service SVC_UPDATE cannot start: its thread \"update\" could not be created\n", true},
        {3, "[error]service SVC_GPIO_PWM cannot start: its thread \"gpio pwm\" could not be created\n", true},
    };
    const std::string root = update_test::TempDir("qlx-thread-start");
    ASSERT_FALSE(root.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.creation);
        const ProgramRun r = RunWithFailingCreation(root, c.creation);
        EXPECT_EQ(1, r.status) << r.out;
        EXPECT_EQ(1u, Count(r.out, c.line)) << r.out;
        EXPECT_EQ(1u, Count(r.out, "[error]")) << r.out;
        // No module was started: the update never began.
        EXPECT_EQ(0u, Count(r.out, "module:")) << r.out;
        EXPECT_EQ(c.started ? 1u : 0u, Count(r.out, "kivo deinit")) << r.out;
    }
    update_test::RemoveTree(root);
}

#endif

}  // namespace
