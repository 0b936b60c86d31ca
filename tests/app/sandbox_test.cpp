// The sandbox that stands in for the device: paths, hardware port and shell
// seam under UPDATER_ROOT, and the refusal without it.

#include "app/sandbox.h"

#include <gtest/gtest.h>

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "common/hardware_port/linux_a9/io.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_unistd.h"
#include "kivo/filesystem/fs_utils.h"

namespace {

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteAll(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary);
    out << data;
}

int RemoveEntry(const char* path, const struct stat64*, int, struct FTW*)
{
    return remove(path);
}

class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/sandbox-XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        _root = tmpl;
    }

    void TearDown() override
    {
        kivo_umount("/system");
        hw_port_set_root(nullptr);
        platform_set_system_fn(nullptr);
        nftw64(_root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
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
    EXPECT_EQ(ReadAll(_root + "/opt/sys_disk/a.txt"), "abc");

    // Hardware port: GPIO 7 is sysfs number 913 under the root.
    ASSERT_EQ(mkdir((_root + "/sys").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((_root + "/sys/class").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((_root + "/sys/class/gpio").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((_root + "/sys/class/gpio/gpio913").c_str(), 0755), 0);
    WriteAll(_root + "/sys/class/gpio/export", "");
    WriteAll(_root + "/sys/class/gpio/gpio913/direction", "");
    WriteAll(_root + "/sys/class/gpio/gpio913/value", "");
    hw_gpio_config(7, 34);
    EXPECT_EQ(ReadAll(_root + "/sys/class/gpio/export"), std::string("913\0", 4));
    EXPECT_EQ(ReadAll(_root + "/sys/class/gpio/gpio913/direction"), std::string("out\0", 4));
    EXPECT_EQ(ReadAll(_root + "/sys/class/gpio/gpio913/value"), std::string("1\0", 2));
}

TEST_F(SandboxTest, CommandsAreLoggedInOrderAndOnlySyncAndTheHookRun)
{
    ASSERT_EQ(SandboxInit(_root.c_str()), kSandboxActive);
    ASSERT_TRUE(kivo::filesystem::MakeDirs("/tmp/update"));
    // The hook leaves its arguments where the test can see them.
    WriteAll(_root + "/tmp/update/sys_cmd.sh", "echo \"$0|$1|$2\" > \"$1/args.txt\"\n");

    const std::string touch = "touch " + _root + "/must-not-exist";
    EXPECT_EQ(SandboxSystem("sync"), 0);
    EXPECT_EQ(SandboxSystem("sh /tmp/update/sys_cmd.sh /tmp/update hw7"), 0);
    EXPECT_EQ(SandboxSystem("reboot -f"), 0);
    EXPECT_EQ(SandboxSystem(touch.c_str()), 0);
    // The framework's own shell-backed calls take the same seam.
    EXPECT_EQ(kivo_mkfs("/dev/mmcblk0p3", "/dev/mmcblk0p3", "ext4"), 0);

    EXPECT_EQ(ReadAll(_root + "/commands.log"),
              "sync\n"
              "sh /tmp/update/sys_cmd.sh /tmp/update hw7\n"
              "reboot -f\n" +
                  touch +
                  "\n"
                  "mkfs -t \"ext4\" \"/dev/mmcblk0p3\"\n");
    EXPECT_EQ(ReadAll(_root + "/tmp/update/args.txt"),
              _root + "/tmp/update/sys_cmd.sh|" + _root + "/tmp/update|hw7\n");
    EXPECT_NE(access((_root + "/must-not-exist").c_str(), F_OK), 0);
}

TEST_F(SandboxTest, RootThatIsNotADirectoryIsRefused)
{
    const std::string file = _root + "/plain";
    WriteAll(file, "x");
    EXPECT_EQ(SandboxInit(file.c_str()), kSandboxRefused);
    EXPECT_EQ(SandboxGetState(), kSandboxRefused);
    EXPECT_NE(SandboxRefusal().find("is not a directory"), std::string::npos);
    EXPECT_EQ(SandboxSystem("sync"), -1);
    EXPECT_EQ(access((_root + "/commands.log").c_str(), F_OK), -1);
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
    EXPECT_NE(SandboxRefusal().find("UPDATER_ROOT"), std::string::npos);
    // Nothing reaches a shell.
    EXPECT_EQ(SandboxSystem("true"), -1);
#endif
    EXPECT_TRUE(SandboxRoot().empty());
}

}  // namespace
