// CopyFileReplace when the mode or the owner of the file it replaces cannot
// be carried over to the new one. This program's fchown and fchmod stand in
// for the C library's: they fail on demand and make the system call
// otherwise.

#include <gtest/gtest.h>

#include <errno.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "kivo/filesystem/fs_utils.h"
#include "tests/kivo/filesystem/fs_test_sandbox.h"

namespace {

// The error of the next fchmod, and while set of every fchown that gives
// the file an owner or of every one that sets only its group; 0: they pass.
std::atomic<int> g_fchmod_err(0);
std::atomic<int> g_fchown_err(0);
std::atomic<int> g_fchgrp_err(0);
std::atomic<int> g_fchown_calls(0);

}  // namespace

extern "C" int fchmod(int fd, mode_t mode) noexcept
{
    const int e = g_fchmod_err.exchange(0);
    if (e != 0) {
        errno = e;
        return -1;
    }
    return (int)syscall(SYS_fchmod, fd, mode);
}

extern "C" int fchown(int fd, uid_t owner, gid_t group) noexcept
{
    ++g_fchown_calls;
    const int e = owner == (uid_t)-1 ? g_fchgrp_err.load() : g_fchown_err.load();
    if (e != 0) {
        errno = e;
        return -1;
    }
#ifdef SYS_fchown32
    return (int)syscall(SYS_fchown32, fd, owner, group);  // 32-bit ids on ARM
#else
    return (int)syscall(SYS_fchown, fd, owner, group);
#endif
}

namespace {

namespace fs = kivo::filesystem;

class ReplaceModeTest : public FsSandbox {
protected:
    void TearDown() override
    {
        g_fchmod_err = 0;
        g_fchown_err = 0;
        g_fchgrp_err = 0;
        FsSandbox::TearDown();
    }

    mode_t ModeOf(const std::string& rel) const
    {
        struct stat st;
        return stat(Real(rel).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
};

// An owner or group the process may not give is no failure (the file stays
// the process's own); an owner, group or mode that cannot be written fails
// the copy with its cause, and the old file stays as it was, mode and all,
// with no temporary left.
TEST_F(ReplaceModeTest, ModeThatCannotBeSetFailsTheCopy)
{
    const std::string data = "new bytes";
    Put("/src.bin", data);
    Mkdir("/app");
    const struct {
        const char* what;
        int fchown_err;
        int fchgrp_err;
        int fchmod_err;
        kivo_err_t err;  // 0: the copy succeeds
    } cases[] = {
        {"both carried over", 0, 0, 0, 0},
        {"the owner refused", EPERM, EPERM, 0, 0},
        {"the owner refused, the group given", EPERM, 0, 0, 0},
        {"the owner not written", EIO, 0, 0, EIO},
        {"the owner on a read-only medium", EROFS, 0, 0, EROFS},
        {"the owner refused, the group not written", EPERM, EIO, 0, EIO},
        {"the mode not written", 0, 0, EIO, EIO},
        {"the mode refused", 0, 0, EPERM, EPERM},
        {"the owner refused and the mode on a read-only medium", EPERM, EPERM, EROFS, EROFS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Put("/app/run.sh", "old");
        ASSERT_EQ(chmod(Real("/app/run.sh").c_str(), 0750), 0);
        g_fchown_calls = 0;
        g_fchown_err = c.fchown_err;
        g_fchgrp_err = c.fchgrp_err;
        g_fchmod_err = c.fchmod_err;
        kivo_err_t err = -1;
        EXPECT_EQ(fs::CopyFileReplace("/src.bin", "/app/run.sh", &err), c.err == 0);
        EXPECT_EQ(g_fchmod_err.load(), 0) << "the mode was not carried over";
        EXPECT_GT(g_fchown_calls.load(), 0) << "the owner was not carried over";
        g_fchown_err = 0;
        g_fchgrp_err = 0;
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(Get("/app/run.sh"), c.err == 0 ? data : std::string("old"));
        EXPECT_EQ(ModeOf("/app/run.sh"), 0750u);
        EXPECT_FALSE(RawExists(fs::ReplaceTempPath("/app/run.sh")));
    }
}

}  // namespace
