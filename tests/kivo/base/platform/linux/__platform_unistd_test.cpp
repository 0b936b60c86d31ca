#include "kivo/base/platform/linux/__platform_unistd.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

// The native operations, called directly with a root prefix (or none) as the
// context. The shell-backed ones run through a recorder only.

namespace {

// nftw64: the 32-bit walk fails on the large sparse file of the seek test.
int remove_entry(const char* path, const struct stat64*, int, struct FTW*)
{
    return remove(path);
}

class TempDir {
public:
    TempDir()
    {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kivo-test-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()))
            _path = buf.data();
    }
    ~TempDir()
    {
        if (!_path.empty())
            nftw64(_path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
    const std::string& path() const { return _path; }
    std::string operator/(const std::string& rest) const { return _path + "/" + rest; }

private:
    std::string _path;
};

bool exists(const std::string& path)
{
    struct stat s;
    return lstat(path.c_str(), &s) == 0;
}

void write_file(const std::string& path, const std::string& text)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

void* prefix_ctx(const std::string& prefix)
{
    return const_cast<char*>(prefix.c_str());
}

class NativeFsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(_dir.path().empty()); }
    TempDir _dir;
};

TEST_F(NativeFsTest, PrefixRootsEveryPathOperation)
{
    void* ctx = prefix_ctx(_dir.path());
    kivo_utimbuf_t times = {1000000000, 1200000000};
    kivo_stat_t st;
    kivo_stat64_t st64;

    ASSERT_EQ(platform_file_mkdir(ctx, "/d"), 0);
    EXPECT_TRUE(exists(_dir / "d"));

    intptr_t fd = -1;
    ASSERT_EQ(platform_file_open(ctx, &fd, "/d/f.txt", O_WRONLY | O_CREAT | O_TRUNC), 0);
    ASSERT_GE(fd, 0);
    ssize_t done = 0;
    EXPECT_EQ(platform_file_write(ctx, fd, "hello", 5, &done), 0);
    EXPECT_EQ(done, 5);
    EXPECT_EQ(platform_file_close(ctx, fd), 0);
    EXPECT_TRUE(exists(_dir / "d/f.txt"));

    ASSERT_EQ(platform_file_stat(ctx, "/d/f.txt", &st), 0);
    EXPECT_EQ(st.size, 5u);
    EXPECT_TRUE(S_ISREG(st.mode));
    ASSERT_EQ(platform_file_stat64(ctx, "/d", &st64), 0);
    EXPECT_TRUE(S_ISDIR(st64.mode));

    ASSERT_EQ(platform_file_utime(ctx, "/d/f.txt", &times), 0);
    struct stat real;
    ASSERT_EQ(stat((_dir / "d/f.txt").c_str(), &real), 0);
    EXPECT_EQ(real.st_atime, 1000000000);
    EXPECT_EQ(real.st_mtime, 1200000000);

    ASSERT_EQ(platform_file_rename(ctx, "/d/f.txt", "/g.txt"), 0);
    EXPECT_TRUE(exists(_dir / "g.txt"));
    EXPECT_FALSE(exists(_dir / "d/f.txt"));

    kivo_dir_handle_t dir;
    ASSERT_EQ(platform_file_opendir(ctx, &dir, "/"), 0);
    std::set<std::string> names;
    kivo_err_t err = -1;
    while (kivo_dirent_t* e = platform_file_readdir_ex(ctx, dir, &err))
        names.insert(e->name);
    EXPECT_EQ(err, 0);  // the end, not a failure
    EXPECT_EQ(platform_file_closedir(ctx, dir), 0);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "d", "g.txt"}));

    EXPECT_EQ(platform_file_unlink(ctx, "/g.txt"), 0);
    EXPECT_EQ(platform_file_rmdir(ctx, "/d"), 0);
    EXPECT_FALSE(exists(_dir / "g.txt"));
    EXPECT_FALSE(exists(_dir / "d"));
}

TEST_F(NativeFsTest, IdentityFollowsLinksUnderThePrefix)
{
    ASSERT_EQ(mkdir((_dir / "a").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((_dir / "b").c_str(), 0777), 0);
    ASSERT_EQ(symlink((_dir / "a").c_str(), (_dir / "to_a").c_str()), 0);
    void* ctx = prefix_ctx(_dir.path());
    struct stat real;
    ASSERT_EQ(stat((_dir / "a").c_str(), &real), 0);
    uint64_t dev_a = 0, ino_a = 0, dev_l = 0, ino_l = 0, dev_b = 0, ino_b = 0;
    ASSERT_EQ(platform_file_identity(ctx, "/a", &dev_a, &ino_a), 0);
    EXPECT_EQ(dev_a, (uint64_t)real.st_dev);
    EXPECT_EQ(ino_a, (uint64_t)real.st_ino);
    ASSERT_EQ(platform_file_identity(ctx, "/to_a", &dev_l, &ino_l), 0);
    EXPECT_EQ(dev_l, dev_a);
    EXPECT_EQ(ino_l, ino_a);
    ASSERT_EQ(platform_file_identity(ctx, "/b", &dev_b, &ino_b), 0);
    EXPECT_NE(ino_b, ino_a);
    EXPECT_EQ(platform_file_identity(ctx, "/missing", &dev_b, &ino_b), ENOENT);
    EXPECT_EQ(platform_file_identity(ctx, "/a", nullptr, &ino_b), EINVAL);
}


TEST_F(NativeFsTest, PathRecordsFollowLinksButLstatDoesNot)
{
    write_file(_dir / "f", "hello");
    ASSERT_EQ(symlink("f", (_dir / "to_f").c_str()), 0);
    ASSERT_EQ(symlink("gone", (_dir / "dangling").c_str()), 0);
    void* ctx = prefix_ctx(_dir.path());

    enum Call { kStat, kStat64, kLstat64 };
    struct Case {
        Call call;
        const char* path;
        kivo_err_t err;
        bool link;      // the record is of a link (else of a regular file)
        uint64_t size;  // 5 for the file, 1 for the link text "f", 4 for "gone"
    };
    const Case cases[] = {
        {kStat, "/f", 0, false, 5},        {kStat64, "/f", 0, false, 5},
        {kLstat64, "/f", 0, false, 5},     {kStat, "/to_f", 0, false, 5},
        {kStat64, "/to_f", 0, false, 5},   {kLstat64, "/to_f", 0, true, 1},
        {kStat, "/dangling", ENOENT, false, 0}, {kStat64, "/dangling", ENOENT, false, 0},
        {kLstat64, "/dangling", 0, true, 4},    {kLstat64, "/missing", ENOENT, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " call " + std::to_string(c.call));
        kivo_stat_t st;
        kivo_stat64_t st64;
        memset(&st, 0xAB, sizeof st);
        memset(&st64, 0xAB, sizeof st64);
        kivo_err_t err = c.call == kStat     ? platform_file_stat(ctx, c.path, &st)
                         : c.call == kStat64 ? platform_file_stat64(ctx, c.path, &st64)
                                             : platform_file_lstat64(ctx, c.path, &st64);
        ASSERT_EQ(err, c.err);
        if (err != 0)
            continue;
        const uint32_t mode = c.call == kStat ? st.mode : st64.mode;
        const uint64_t size = c.call == kStat ? st.size : (uint64_t)st64.size;
        EXPECT_EQ(S_ISLNK(mode), c.link);
        EXPECT_EQ(S_ISREG(mode), !c.link);
        EXPECT_EQ(size, c.size);
    }
    // A missing record is refused before the path is looked at.
    EXPECT_EQ(platform_file_lstat64(ctx, "/f", nullptr), EINVAL);
    EXPECT_EQ(platform_file_lstat64(ctx, "/missing", nullptr), EINVAL);
}
TEST_F(NativeFsTest, NoPrefixUsesThePathAsGiven)
{
    for (const char* empty : {(const char*)nullptr, ""}) {
        std::string path = _dir / "plain";
        ASSERT_EQ(platform_file_mkdir(const_cast<char*>(empty), path.c_str()), 0);
        EXPECT_TRUE(exists(path));
        EXPECT_EQ(platform_file_mkdir(const_cast<char*>(empty), path.c_str()), EEXIST);
        ASSERT_EQ(platform_file_rmdir(const_cast<char*>(empty), path.c_str()), 0);
    }
}

TEST_F(NativeFsTest, PathsCannotLeaveThePrefix)
{
    // The prefix lies three levels down in the temporary directory, so that
    // an escape by up to three ".." would land where it can be seen.
    std::string root = _dir / "1/2/root";
    ASSERT_EQ(mkdir((_dir / "1").c_str(), 0777), 0);
    ASSERT_EQ(mkdir((_dir / "1/2").c_str(), 0777), 0);
    ASSERT_EQ(mkdir(root.c_str(), 0777), 0);
    void* ctx = prefix_ctx(root);

    struct Case {
        const char* path;
        const char* inside;  // where it must land, under root ("": root itself)
    };
    const Case cases[] = {
        {"/../a", "a"},
        {"/../../../b", "b"},
        {"/x/../../c", "c"},
        {"/./d/../e", "e"},
        {"f", "f"},  // relative: from the prefix, not glued to "root"
        {"..", ""},
        {"../g", "g"},
        {"/h/..", ""},
    };
    for (const Case& c : cases) {
        std::string target = c.inside[0] ? root + "/" + c.inside : root;
        EXPECT_EQ(platform_file_mkdir(ctx, c.path), c.inside[0] ? 0 : EEXIST) << c.path;
        EXPECT_TRUE(exists(target)) << c.path;
    }
    // Nothing appeared beside the prefix or above it.
    for (const char* outside : {"a", "b", "c", "g", "1/a", "1/b", "1/2/a", "1/2/b", "1/2/rootf"})
        EXPECT_FALSE(exists(_dir / outside)) << outside;

    // The path handed to the system, for callers of the calls that take
    // system paths (statfs): the same containment.
    char real[256];
    for (const Case& c : cases) {
        std::string target = c.inside[0] ? root + "/" + c.inside : root;
        ASSERT_EQ(platform_file_system_path(ctx, c.path, real, sizeof real), 0) << c.path;
        EXPECT_EQ(std::string(real).find(root), 0u) << c.path << " " << real;
        struct stat a, b;
        ASSERT_EQ(stat(real, &a), 0) << real;
        ASSERT_EQ(stat(target.c_str(), &b), 0) << target;
        EXPECT_EQ(a.st_ino, b.st_ino) << c.path << " " << real;
    }
    EXPECT_EQ(platform_file_system_path(ctx, "x.txt", real, sizeof real), 0);
    EXPECT_EQ(std::string(real), root + "/x.txt");
    EXPECT_EQ(platform_file_system_path(nullptr, "/as/given", real, sizeof real), 0);
    EXPECT_EQ(std::string(real), "/as/given");
    EXPECT_EQ(platform_file_system_path(ctx, "/y", real, root.size() + 2), ERANGE);
    EXPECT_EQ(platform_file_system_path(ctx, "/y", real, root.size() + 3), 0);
    EXPECT_EQ(platform_file_system_path(ctx, nullptr, real, sizeof real), EINVAL);
    EXPECT_EQ(platform_file_system_path(ctx, "/y", nullptr, 0), EINVAL);

    // A trailing slash still asks for a directory after "..".
    write_file(root + "/file", "x");
    kivo_stat_t st;
    EXPECT_EQ(platform_file_stat(ctx, "/z/../file/", &st), ENOTDIR);
    EXPECT_EQ(platform_file_stat(ctx, "/z/../file", &st), 0);
}

TEST_F(NativeFsTest, ReadsWritesSeeksAndTruncates)
{
    void* ctx = nullptr;
    std::string path = _dir / "data.bin";
    intptr_t fd = -1;
    ASSERT_EQ(platform_file_open(ctx, &fd, path.c_str(), O_RDWR | O_CREAT), 0);

    ssize_t done = -2;
    ASSERT_EQ(platform_file_write(ctx, fd, "0123456789", 10, &done), 0);
    EXPECT_EQ(done, 10);

    off_t pos = -2;
    EXPECT_EQ(platform_file_lseek(ctx, fd, 2, SEEK_SET, &pos), 0);
    EXPECT_EQ(pos, 2);
    char buf[16] = {};
    EXPECT_EQ(platform_file_read(ctx, fd, buf, 3, &done), 0);
    EXPECT_EQ(done, 3);
    EXPECT_STREQ(buf, "234");

    int64_t pos64 = -2;
    EXPECT_EQ(platform_file_lseek64(ctx, fd, -1, SEEK_END, &pos64), 0);
    EXPECT_EQ(pos64, 9);
    EXPECT_EQ(platform_file_lseek64(ctx, fd, 0, SEEK_END, &pos64), 0);
    done = -2;
    EXPECT_EQ(platform_file_read(ctx, fd, buf, sizeof buf, &done), 0);  // end of file
    EXPECT_EQ(done, 0);

    EXPECT_EQ(platform_file_lseek(ctx, fd, -100, SEEK_SET, &pos), EINVAL);
    EXPECT_EQ(pos, -1);

    kivo_stat_t st;
    kivo_stat64_t st64;
    EXPECT_EQ(platform_file_ftruncate(ctx, fd, 4), 0);
    ASSERT_EQ(platform_file_fstat(ctx, fd, &st), 0);
    EXPECT_EQ(st.size, 4u);
    // Beyond 4 GiB: the 64-bit calls carry the size (a sparse file).
    const int64_t big = (int64_t)5 << 30;
    kivo_err_t err = platform_file_ftruncate64(ctx, fd, big);
    if (err != EFBIG) {
        ASSERT_EQ(err, 0);
        ASSERT_EQ(platform_file_fstat64(ctx, fd, &st64), 0);
        EXPECT_EQ(st64.size, big);
        ASSERT_EQ(platform_file_fstat(ctx, fd, &st), 0);
        EXPECT_EQ(st.size, 0xFFFFFFFFu);  // saturated, not wrapped to 1 GiB
        EXPECT_EQ(platform_file_lseek64(ctx, fd, 0, SEEK_END, &pos64), 0);
        EXPECT_EQ(pos64, big);
    }
    EXPECT_EQ(platform_file_fsync(ctx, fd), 0);
    EXPECT_EQ(platform_file_close(ctx, fd), 0);

    // The descriptor is closed now: the system's bad-descriptor error.
    done = 0;
    EXPECT_EQ(platform_file_read(ctx, fd, buf, 1, &done), EBADF);
    EXPECT_EQ(done, -1);
    EXPECT_EQ(platform_file_write(ctx, fd, buf, 1, nullptr), EBADF);
    EXPECT_EQ(platform_file_close(ctx, fd), EBADF);
}

TEST_F(NativeFsTest, FailuresGiveErrnoAndLeaveRecordsAlone)
{
    void* ctx = prefix_ctx(_dir.path());
    intptr_t fd = 42;
    EXPECT_EQ(platform_file_open(ctx, &fd, "/missing", O_RDONLY), ENOENT);
    EXPECT_EQ(fd, -1);

    kivo_stat_t st;
    memset(&st, 0xAB, sizeof st);
    kivo_stat_t untouched = st;
    EXPECT_EQ(platform_file_stat(ctx, "/missing", &st), ENOENT);
    EXPECT_EQ(memcmp(&st, &untouched, sizeof st), 0);

    kivo_dir_handle_t dir;
    memset(&dir, 0xAB, sizeof dir);
    EXPECT_EQ(platform_file_opendir(ctx, &dir, "/missing"), ENOENT);
    EXPECT_FALSE(kivo_is_dir_handle_valid(dir));
    EXPECT_EQ(dir.entry, nullptr);

    kivo_statfs_t usage;
    EXPECT_EQ(platform_file_statfs(ctx, (_dir / "missing").c_str(), &usage), ENOENT);

    // Null records and arguments that the calls need.
    write_file(_dir / "f", "x");
    EXPECT_EQ(platform_file_stat(ctx, "/f", nullptr), EINVAL);
    EXPECT_EQ(platform_file_stat64(ctx, "/f", nullptr), EINVAL);
    EXPECT_EQ(platform_file_utime(ctx, "/f", nullptr), EINVAL);
    EXPECT_EQ(platform_file_statfs(ctx, "/", nullptr), EINVAL);
    EXPECT_EQ(platform_file_mkdir(ctx, nullptr), EINVAL);
    EXPECT_EQ(platform_file_rename(ctx, "/f", nullptr), EINVAL);
    ASSERT_EQ(platform_file_open(ctx, &fd, "/f", O_RDONLY), 0);
    EXPECT_EQ(platform_file_fstat(ctx, fd, nullptr), EINVAL);
    EXPECT_EQ(platform_file_fstat64(ctx, fd, nullptr), EINVAL);
    EXPECT_EQ(platform_file_close(ctx, fd), 0);
}

TEST_F(NativeFsTest, StatfsGivesByteCountsIn64Bits)
{
    // The path is the system's own: a root prefix is not put in front.
    kivo_statfs_t usage;
    ASSERT_EQ(platform_file_statfs(prefix_ctx(_dir / "no-such-prefix"), _dir.path().c_str(), &usage), 0);
    struct statvfs s;
    ASSERT_EQ(statvfs(_dir.path().c_str(), &s), 0);
    uint64_t unit = s.f_frsize ? s.f_frsize : s.f_bsize;
    EXPECT_EQ(usage.total, (uint64_t)s.f_blocks * unit);
    EXPECT_EQ(usage.used, usage.total - usage.avail);
    EXPECT_LE(usage.avail, usage.free);
    EXPECT_LE(usage.free, usage.total);
}

// ---- shell-backed operations

std::vector<std::string> s_commands;
int s_status;

int record_command(const char* command)
{
    s_commands.push_back(command);
    return s_status;
}

class NativeShellTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        s_commands.clear();
        s_status = 0;
        _previous = platform_set_system_fn(record_command);
    }
    void TearDown() override { platform_set_system_fn(_previous); }

    platform_system_fn _previous = nullptr;
};

TEST_F(NativeShellTest, BuildsTheExactCommandLines)
{
    struct Case {
        const char* what;
        kivo_err_t (*run)();
        const char* command;
    };
    const Case cases[] = {
        {"mkfs", [] { return platform_file_mkfs(nullptr, "/unused", "/dev/sdx1", "vfat"); },
         "mkfs -t \"vfat\" \"/dev/sdx1\""},
        {"mount with type",
         [] { return platform_file_mount(nullptr, "/mnt/sd", "/dev/sdx1", "vfat"); },
         "mount -t \"vfat\" \"/dev/sdx1\" \"/mnt/sd\""},
        {"mount, empty type", [] { return platform_file_mount(nullptr, "/mnt/sd", "/dev/sdx1", ""); },
         "mount \"/dev/sdx1\" \"/mnt/sd\""},
        {"mount, null type",
         [] { return platform_file_mount(nullptr, "/mnt/sd", "/dev/sdx1", nullptr); },
         "mount \"/dev/sdx1\" \"/mnt/sd\""},
        {"umount", [] { return platform_file_umount(nullptr, "/mnt/sd"); }, "umount \"/mnt/sd\""},
        // The root prefix is not applied: the path is the system's own.
        {"mount under a prefix",
         [] { return platform_file_mount((void*)"/sbx", "/mnt/sd", "/dev/sdx1", "ext4"); },
         "mount -t \"ext4\" \"/dev/sdx1\" \"/mnt/sd\""},
        {"umount under a prefix", [] { return platform_file_umount((void*)"/sbx", "/../mnt"); },
         "umount \"/../mnt\""},
        {"arguments stay arguments",
         [] { return platform_file_mount(nullptr, "/m$(id)", "a\"; reboot; \"b", "t`x`\\"); },
         "mount -t \"t\\`x\\`\\\\\" \"a\\\"; reboot; \\\"b\" \"/m\\$(id)\""},
    };
    for (const Case& c : cases) {
        s_commands.clear();
        EXPECT_EQ(c.run(), 0) << c.what;
        ASSERT_EQ(s_commands.size(), 1u) << c.what;
        EXPECT_EQ(s_commands[0], c.command) << c.what;
    }
}

TEST_F(NativeShellTest, ResultIsTheExitStatusOrMinusOne)
{
    struct Case {
        int wait_status;
        kivo_err_t result;
    };
    const Case cases[] = {
        {0, 0},
        {32 << 8, 32},  // exited with 32 (mount's "mount failure")
        {255 << 8, 255},
        {-1, -1},  // the interpreter could not be run
        {9, -1},   // killed by a signal
    };
    for (const Case& c : cases) {
        s_status = c.wait_status;
        EXPECT_EQ(platform_file_umount(nullptr, "/mnt/x"), c.result) << c.wait_status;
        EXPECT_EQ(platform_file_mkfs(nullptr, nullptr, "/dev/x", "ext4"), c.result);
        EXPECT_EQ(platform_file_mount(nullptr, "/mnt/x", "/dev/x", "ext4"), c.result);
    }
}

TEST_F(NativeShellTest, CommandsThatDoNotFitOrLackArgumentsAreNotRun)
{
    // 255 characters in all fit the umount buffer, 256 do not.
    const size_t frame = strlen("umount \"\"");
    std::string fits(255 - frame, 'p');
    std::string too_long(256 - frame, 'p');
    EXPECT_EQ(platform_file_umount(nullptr, fits.c_str()), 0);
    ASSERT_EQ(s_commands.size(), 1u);
    EXPECT_EQ(s_commands[0].size(), 255u);
    EXPECT_EQ(platform_file_umount(nullptr, too_long.c_str()), -1);
    // Escapes count: 127 quotes take 254 characters.
    std::string quotes(127, '"');
    EXPECT_EQ(platform_file_umount(nullptr, quotes.c_str()), -1);

    std::string long_dev(600, 'd');
    EXPECT_EQ(platform_file_mount(nullptr, "/m", long_dev.c_str(), "ext4"), -1);
    EXPECT_EQ(platform_file_mkfs(nullptr, nullptr, long_dev.c_str(), "ext4"), -1);

    EXPECT_EQ(platform_file_mkfs(nullptr, "/m", nullptr, "ext4"), EINVAL);
    EXPECT_EQ(platform_file_mkfs(nullptr, "/m", "/dev/x", nullptr), EINVAL);
    EXPECT_EQ(platform_file_mount(nullptr, "/m", nullptr, "ext4"), EINVAL);
    EXPECT_EQ(platform_file_mount(nullptr, nullptr, "/dev/x", "ext4"), EINVAL);
    EXPECT_EQ(platform_file_umount(nullptr, nullptr), EINVAL);
    EXPECT_EQ(s_commands.size(), 1u);
}

TEST_F(NativeShellTest, SeamReturnsThePreviousFunctionAndNullRestoresSystem)
{
    platform_system_fn mine = platform_set_system_fn(nullptr);
    EXPECT_EQ(mine, record_command);
    platform_system_fn real = platform_set_system_fn(record_command);
    EXPECT_NE(real, nullptr);
    EXPECT_NE(real, record_command);
}

// ---- process functions

TEST(NativeProcessTest, WorkingDirectoryRoundTrip)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    char before[PATH_MAX];
    ASSERT_EQ(kivo_getcwd(before, sizeof before), 0);

    ASSERT_EQ(kivo_chdir(dir.path().c_str()), 0);
    char now[PATH_MAX];
    ASSERT_EQ(kivo_getcwd(now, sizeof now), 0);
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    EXPECT_STREQ(now, real);

    char tiny[2];
    EXPECT_EQ(kivo_getcwd(tiny, sizeof tiny), ERANGE);
    EXPECT_EQ(kivo_getcwd(nullptr, 100), EINVAL);
    EXPECT_EQ(kivo_chdir((dir.path() + "/missing").c_str()), ENOENT);
    EXPECT_EQ(kivo_chdir(nullptr), EINVAL);
    ASSERT_EQ(kivo_chdir(before), 0);
}

TEST(NativeProcessTest, ExePathIsWholeOrEmpty)
{
    char path[PATH_MAX];
    ASSERT_EQ(kivo_get_exe_path(path, sizeof path), 0);
    EXPECT_EQ(path[0], '/');
    struct stat s;
    ASSERT_EQ(stat(path, &s), 0) << path;
    EXPECT_TRUE(S_ISREG(s.st_mode));
    int len = (int)strlen(path);

    // Exactly fitting needs room for the terminator too.
    std::vector<char> exact(len + 1);
    EXPECT_EQ(kivo_get_exe_path(exact.data(), len + 1), 0);
    EXPECT_STREQ(exact.data(), path);
    std::vector<char> short_by_one(len, 'x');
    EXPECT_EQ(kivo_get_exe_path(short_by_one.data(), len), -1);
    EXPECT_EQ(short_by_one[0], '\0');
    EXPECT_EQ(kivo_get_exe_path(nullptr, 10), -1);
    EXPECT_EQ(kivo_get_exe_path(path, 0), -1);
}

// ---- broken contracts

TEST(NativeFsDeathTest, AssertsDescriptorsAndHandles)
{
    char buf[4];
    kivo_dir_handle_t closed = {};
    EXPECT_DEATH(platform_file_read(nullptr, -1, buf, 1, nullptr), "Assertion `hfile >= 0' failed");
    EXPECT_DEATH(platform_file_fsync(nullptr, -1), "Assertion `hfile >= 0' failed");
    EXPECT_DEATH(platform_file_open(nullptr, nullptr, "/x", O_RDONLY),
                 "Assertion `hfile_ret' failed");
    EXPECT_DEATH(platform_file_opendir(nullptr, nullptr, "/"), "Assertion `hdir_ret' failed");
    EXPECT_DEATH(platform_file_closedir(nullptr, closed),
                 "__platform_unistd\\.cpp:[0-9]+: .*Assertion `\\(kivo_is_dir_handle_valid\\(hdir\\)\\)' failed");
    EXPECT_DEATH(platform_file_readdir_ex(nullptr, closed, nullptr),
                 "Assertion `\\(kivo_is_dir_handle_valid\\(hdir\\)\\)' failed");
}

}  // namespace
