// The sandbox that stands in for the device: paths, hardware port and shell
// seam under UPDATER_ROOT, and the refusal without it.

#include "app/sandbox.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "common/hardware_port/linux_a9/io.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_unistd.h"
#include "kivo/filesystem/fs_utils.h"
#include "tests/app/updater_run.h"

namespace {

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        _root = e2e::TempDir("sandbox");
        ASSERT_FALSE(_root.empty());
    }

    void TearDown() override
    {
        kivo_umount("/system");
        hw_port_set_root(nullptr);
        platform_set_system_fn(nullptr);
        e2e::RemoveTree(_root);
    }

    std::string _root;
};

TEST_F(SandboxTest, HookCommandTakesScriptAndWorkDirectoryUnderTheRoot)
{
    struct Case {
        const char* command;
        const char* expected;
    };
    const Case cases[] = {
        {"sh /tmp/update/sys_cmd.sh /tmp/update ", "sh '/r/tmp/update/sys_cmd.sh' '/r/tmp/update' "},
        {"sh /tmp/update/sys_cmd.sh /tmp/update V3", "sh '/r/tmp/update/sys_cmd.sh' '/r/tmp/update' V3"},
        {"sh /tmp/update/sys_cmd.sh /tmp/update", "sh '/r/tmp/update/sys_cmd.sh' '/r/tmp/update'"},
        {"sync", ""},
        {"reboot -f", ""},
        {"sh relative.sh /tmp/update", ""},
        {"sh /tmp/update/sys_cmd.sh", ""},
        {"shutdown now", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SandboxHookCommand("/r", c.command), c.expected) << c.command;
    EXPECT_EQ(SandboxHookCommand("/a b'c", "sh /s.sh /w"), "sh '/a b'\\''c/s.sh' '/a b'\\''c/w'");
}

TEST_F(SandboxTest, EveryPathOfTheProgramLivesUnderTheRoot)
{
    ASSERT_EQ(SandboxInit(_root.c_str()), kSandboxActive);
    EXPECT_EQ(SandboxRoot(), _root);

    // Framework paths.
    ASSERT_TRUE(kivo::filesystem::MakeDirs("/opt/sys_disk"));
    ASSERT_TRUE(kivo::filesystem::WriteTextFile("/opt/sys_disk/a.txt", kivo::StringView("abc"), nullptr));
    EXPECT_EQ(e2e::ReadFile(_root + "/opt/sys_disk/a.txt"), "abc");

    // Hardware port: GPIO 7 is sysfs number 913 under the root.
    ASSERT_EQ(mkdir((_root + "/sys").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((_root + "/sys/class").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((_root + "/sys/class/gpio").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((_root + "/sys/class/gpio/gpio913").c_str(), 0755), 0);
    e2e::WriteFile(_root + "/sys/class/gpio/export", "");
    e2e::WriteFile(_root + "/sys/class/gpio/gpio913/direction", "");
    e2e::WriteFile(_root + "/sys/class/gpio/gpio913/value", "");
    hw_gpio_config(7, 34);
    EXPECT_EQ(e2e::ReadFile(_root + "/sys/class/gpio/export"), std::string("913\0", 4));
    EXPECT_EQ(e2e::ReadFile(_root + "/sys/class/gpio/gpio913/direction"), std::string("out\0", 4));
    EXPECT_EQ(e2e::ReadFile(_root + "/sys/class/gpio/gpio913/value"), std::string("1\0", 2));
}

TEST_F(SandboxTest, CommandsAreLoggedInOrderAndOnlySyncAndTheHookRun)
{
    ASSERT_EQ(SandboxInit(_root.c_str()), kSandboxActive);
    ASSERT_TRUE(kivo::filesystem::MakeDirs("/tmp/update"));
    // The hook leaves its arguments where the test can see them.
    e2e::WriteFile(_root + "/tmp/update/sys_cmd.sh", "echo \"$0|$1|$2\" > \"$1/args.txt\"\n");

    const std::string touch = "touch " + _root + "/must-not-exist";
    EXPECT_EQ(SandboxSystem("sync"), 0);
    EXPECT_EQ(SandboxSystem("sh /tmp/update/sys_cmd.sh /tmp/update hw7"), 0);
    EXPECT_EQ(SandboxSystem("reboot -f"), 0);
    EXPECT_EQ(SandboxSystem(touch.c_str()), 0);
    // The framework's own shell-backed calls take the same seam.
    EXPECT_EQ(kivo_mkfs("/dev/mmcblk0p3", "/dev/mmcblk0p3", "ext4"), 0);

    EXPECT_EQ(e2e::ReadFile(_root + "/commands.log"),
              "sync\n"
              "sh /tmp/update/sys_cmd.sh /tmp/update hw7\n"
              "reboot -f\n" +
                  touch +
                  "\n"
                  "mkfs -t \"ext4\" \"/dev/mmcblk0p3\"\n");
    EXPECT_EQ(e2e::ReadFile(_root + "/tmp/update/args.txt"),
              _root + "/tmp/update/sys_cmd.sh|" + _root + "/tmp/update|hw7\n");
    EXPECT_NE(access((_root + "/must-not-exist").c_str(), F_OK), 0);
}

// The end of a refusal line: the device build also updates without a
// sandbox (its own paths), so only the other builds say that they update
// only inside one.
#if defined(__arm__)
const char* const kRefusalEnd = ", exit update";
#else
const char* const kRefusalEnd = ": this build updates only inside a sandbox directory, exit update";
#endif

// Every build refuses a root that is no usable directory, or that is the
// machine's own root under any spelling, with one line that says why.
TEST_F(SandboxTest, RootThatIsNoSandboxIsRefused)
{
    const std::string file = _root + "/plain";
    e2e::WriteFile(file, "x");
    const std::string to_root = _root + "/to-root";
    ASSERT_EQ(symlink("/", to_root.c_str()), 0);
    struct Case {
        std::string root;
        const char* problem;
    };
    const Case cases[] = {
        {file, "is not a directory"},
        {_root + "/missing", "does not exist"},
        {file + "/below", "does not exist"},
        {"/", "is the machine's own root"},
        {"//", "is the machine's own root"},
        {"/.", "is the machine's own root"},
        {"/tmp/..", "is the machine's own root"},
        {to_root, "is the machine's own root"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SandboxInit(c.root.c_str()), kSandboxRefused) << c.root;
        EXPECT_EQ(SandboxGetState(), kSandboxRefused);
        EXPECT_EQ(SandboxRefusal(), "[sandbox] UPDATER_ROOT=" + c.root + " " + c.problem + kRefusalEnd);
        EXPECT_TRUE(SandboxRoot().empty());
        EXPECT_EQ(SandboxSystem("sync"), -1);
    }
    EXPECT_EQ(access((_root + "/commands.log").c_str(), F_OK), -1);
}

// A mount namespace of the calling process's own in which nothing mounted
// reaches the machine: every mount below "/" made private. 0, or why the
// machine cannot give it (no privilege; "/" not a mount point, as in a
// chroot, where the mounts above it cannot be named to make them private).
int PrivateMountNamespace()
{
    if (unshare(CLONE_NEWNS) != 0)
        return errno;
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return errno;
    return 0;
}

// Whether a child process gets such a namespace here; the test's own
// process keeps the machine's.
int ProbePrivateMountNamespace()
{
    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0)
        _exit(PrivateMountNamespace() & 0xFF);
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return errno;
    return WIFEXITED(status) ? WEXITSTATUS(status) : EINTR;
}

// A bind mount of the machine's root is the machine under another name: no
// spelling of the path shows it, only the directory itself. In a child with
// a private mount namespace, so the machine never sees the mount.
TEST_F(SandboxTest, BindMountOfTheMachineRootIsRefused)
{
    const int why = ProbePrivateMountNamespace();
    if (why != 0)
        GTEST_SKIP() << "no private mount namespace to bind \"/\" in (" << strerror(why)
                     << (why == EINVAL ? ": \"/\" is not a mount point, as in a chroot" : "") << ")";
    const std::string machine = _root + "/machine";
    ASSERT_EQ(mkdir(machine.c_str(), 0755), 0);
    EXPECT_EXIT(
        {
            if (PrivateMountNamespace() != 0 || mount("/", machine.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                fprintf(stderr, "no private bind mount: %s\n", strerror(errno));
                _exit(2);
            }
            const bool refused = SandboxInit(machine.c_str()) == kSandboxRefused;
            fprintf(stderr, "%s\n", SandboxRefusal().c_str());
            _exit(refused && SandboxRefusal() ==
                                 "[sandbox] UPDATER_ROOT=" + machine + " is the machine's own root" + kRefusalEnd
                      ? 0
                      : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(SandboxTest, EmptyRootIsNoRoot)
{
    setenv("UPDATER_ROOT", "", 1);
    SandboxState state = SandboxInit(nullptr);
    unsetenv("UPDATER_ROOT");
#if defined(__arm__)
    EXPECT_EQ(state, kSandboxDevice);
#else
    EXPECT_EQ(state, kSandboxRefused);
    EXPECT_EQ(SandboxRefusal(),
              "[sandbox] UPDATER_ROOT is empty: this build updates only inside a sandbox directory, exit update");
#endif
    EXPECT_TRUE(SandboxRoot().empty());
}

TEST_F(SandboxTest, WithoutRootOnlyTheDeviceBuildGoesOn)
{
    unsetenv("UPDATER_ROOT");
    SandboxState state = SandboxInit(nullptr);
#if defined(__arm__)
    EXPECT_EQ(state, kSandboxDevice);
    EXPECT_TRUE(SandboxRefusal().empty());
#else
    EXPECT_EQ(state, kSandboxRefused);
    EXPECT_EQ(SandboxRefusal(),
              "[sandbox] UPDATER_ROOT is not set: this build updates only inside a sandbox directory, exit update");
    // Nothing reaches a shell.
    EXPECT_EQ(SandboxSystem("true"), -1);
#endif
    EXPECT_TRUE(SandboxRoot().empty());
}

}  // namespace
