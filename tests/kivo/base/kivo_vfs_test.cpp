#include "kivo/base/kivo_vfs.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "kivo/base/kivo_handle.h"
#include "kivo/base/platform/linux/__platform_unistd.h"

// The virtual layer over a recording fake file system, and over the native
// one with a root prefix in a temporary directory (the sandbox set-up).
// Mounts are process-wide: every case removes what it mounts.

namespace {

// ---- the fake file system: its context records what reaches it

struct FakeFs {
    std::vector<std::string> calls;  // "op:path" as the file system got them
    int deinits = 0;
    intptr_t next_fh = 100;
    kivo_err_t close_result = 0;
    kivo_dirent_t entry = {"entry"};
};

FakeFs* fake(void* ctx)
{
    return static_cast<FakeFs*>(ctx);
}

kivo_err_t fake_path(void* ctx, const char* path)
{
    fake(ctx)->calls.push_back(std::string("path:") + path);
    return 0;
}

const kivo_fs_ops_t kFakeOps = {
    nullptr,
    [](void* ctx) { fake(ctx)->deinits++; },
    [](void* ctx, const char* path, const char* device, const char*) {
        fake(ctx)->calls.push_back(std::string("mount:") + path + " " + device);
        return 0;
    },
    fake_path,
    [](void* ctx, const char* path, kivo_statfs_t*) { return fake_path(ctx, path); },
    [](void* ctx, const char* path, const char*, const char*) { return fake_path(ctx, path); },
    [](void* ctx, kivo_dir_handle_t* out, const char* path) {
        fake(ctx)->calls.push_back(std::string("opendir:") + path);
        out->stream = ctx;
        out->entry = &fake(ctx)->entry;
        return 0;
    },
    [](void* ctx, kivo_dir_handle_t dir) {
        fake(ctx)->calls.push_back(dir.stream == ctx ? "closedir" : "closedir:wrong");
        return 0;
    },
    [](void* ctx, kivo_dir_handle_t dir, kivo_err_t* err) {
        *err = 0;
        return dir.stream == ctx ? &fake(ctx)->entry : nullptr;
    },
    fake_path,
    fake_path,
    fake_path,
    [](void* ctx, const char* from, const char* to) {
        fake(ctx)->calls.push_back(std::string("rename:") + from + " " + to);
        return 0;
    },
    [](void* ctx, const char* path, const kivo_utimbuf_t*) { return fake_path(ctx, path); },
    [](void* ctx, intptr_t* out, const char* path, int) {
        fake(ctx)->calls.push_back(std::string("open:") + path);
        *out = fake(ctx)->next_fh++;
        return 0;
    },
    [](void* ctx, intptr_t fh) {
        fake(ctx)->calls.push_back("close:" + std::to_string(fh));
        return fake(ctx)->close_result;
    },
    [](void* ctx, intptr_t fh, void*, size_t size, ssize_t* done) {
        fake(ctx)->calls.push_back("read:" + std::to_string(fh));
        *done = (ssize_t)size;
        return 0;
    },
    nullptr,
    [](void*, intptr_t, const void*, size_t size, ssize_t* done) {
        *done = (ssize_t)size;
        return 0;
    },
    [](void*, intptr_t, off_t, int, off_t* r) {
        *r = 0;
        return 0;
    },
    [](void*, intptr_t, int64_t, int, int64_t* r) {
        *r = 0;
        return 0;
    },
    [](void* ctx, const char* path, kivo_stat_t*) { return fake_path(ctx, path); },
    [](void*, intptr_t, kivo_stat_t*) { return 0; },
    [](void* ctx, const char* path, kivo_stat64_t*) { return fake_path(ctx, path); },
    [](void*, intptr_t, kivo_stat64_t*) { return 0; },
    [](void*, intptr_t, off_t) { return 0; },
    [](void*, intptr_t, int64_t) { return 0; },
    [](void*, intptr_t) { return 0; },
};

// The same without any file operation but close.
kivo_fs_ops_t bare_ops()
{
    kivo_fs_ops_t ops = {};
    ops.deinit = kFakeOps.deinit;
    ops.close = kFakeOps.close;
    return ops;
}

// Removes the mounts a case made, also when it fails half-way.
class VfsTest : public ::testing::Test {
protected:
    void SetUp() override { _handles_before = kivo_handle_free_count(); }
    void TearDown() override
    {
        for (auto it = _mounted.rbegin(); it != _mounted.rend(); ++it)
            kivo_umount(it->c_str());
        EXPECT_EQ(kivo_handle_free_count(), _handles_before) << "handles left open";
    }

    // Fake file systems and tables outlive the case's mounts (TearDown removes those).
    FakeFs& NewFs()
    {
        _fs.emplace_back();
        return _fs.back();
    }

    kivo_fs_ops_t& NewOps(const kivo_fs_ops_t& base = kFakeOps)
    {
        _ops.push_back(base);
        return _ops.back();
    }

    kivo_err_t Mount(const char* path, void* ctx, const kivo_fs_ops_t* ops = &kFakeOps)
    {
        kivo_err_t err = kivo_mount(path, ops, ctx, nullptr);
        if (err == 0)
            _mounted.push_back(path);
        return err;
    }
    kivo_err_t Umount(const char* path)
    {
        for (auto it = _mounted.begin(); it != _mounted.end(); ++it) {
            if (*it == path) {
                _mounted.erase(it);
                break;
            }
        }
        return kivo_umount(path);
    }

    std::deque<FakeFs> _fs;
    std::deque<kivo_fs_ops_t> _ops;
    std::vector<std::string> _mounted;
    int32_t _handles_before = 0;
};

// ---- mounting

TEST_F(VfsTest, MountRefusesBadArguments)
{
    FakeFs& fs = NewFs();
    std::string longest = "/" + std::string(46, 'm');  // 47 characters
    std::string too_long = longest + "m";
    struct Case {
        const char* path;
        const kivo_fs_ops_t* ops;
        kivo_err_t result;
    };
    const Case cases[] = {
        {nullptr, &kFakeOps, EINVAL},
        {"/x", nullptr, EINVAL},
        {too_long.c_str(), &kFakeOps, 5},
        {"", &kFakeOps, 5},
        {"x", &kFakeOps, 5},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kivo_mount(c.path, c.ops, &fs, nullptr), c.result) << (c.path ? c.path : "null");
    EXPECT_EQ(Mount(longest.c_str(), &fs), 0);
    EXPECT_EQ(Mount("\\back", &fs), 0);

    // An init that refuses; one that makes the context from both arguments.
    kivo_fs_ops_t& refusing = NewOps();
    refusing.init = [](void*, void*) -> void* { return nullptr; };
    EXPECT_EQ(kivo_mount("/r", &refusing, &fs, nullptr), 5);
    kivo_fs_ops_t& second = NewOps();
    second.init = [](void*, void* arg2) { return arg2; };
    FakeFs& other = NewFs();
    ASSERT_EQ(kivo_mount("/i", &second, &fs, &other), 0);
    _mounted.push_back("/i");
    EXPECT_EQ(kivo_mount_context("/i"), &other);
    EXPECT_EQ(fs.deinits, 0);
}

TEST_F(VfsTest, EleventhMountGivesFourteenAndReleasesIt)
{
    FakeFs& fs = NewFs();
    FakeFs& extra = NewFs();
    for (int i = 0; i < KIVO_MOUNT_MAX; ++i)
        ASSERT_EQ(Mount(("/m" + std::to_string(i)).c_str(), &fs), 0) << i;
    EXPECT_EQ(kivo_mount("/m10", &kFakeOps, &extra, nullptr), 14);
    EXPECT_EQ(extra.deinits, 1);
    EXPECT_EQ(kivo_mount_context("/m10"), nullptr);
    // "/system" has its own entry and still mounts.
    EXPECT_EQ(Mount("/system", &extra), 0);
    EXPECT_EQ(Umount("/m3"), 0);
    EXPECT_EQ(Mount("/m3b", &fs), 0);
}

TEST_F(VfsTest, SystemMountReplacesAndFallsBackToTheBuiltInDefault)
{
    FakeFs& first = NewFs();
    FakeFs& second = NewFs();
    EXPECT_EQ(kivo_mount_context("/system"), nullptr);  // the built-in default
    ASSERT_EQ(Mount("/system", &first), 0);
    EXPECT_EQ(kivo_mount_context("/system"), &first);
    ASSERT_EQ(kivo_mount("/system", &kFakeOps, &second, nullptr), 0);
    EXPECT_EQ(first.deinits, 1);  // released by the replacement
    EXPECT_EQ(kivo_mount_context("/system"), &second);

    ASSERT_EQ(kivo_file_mkdir("/anything"), 0);
    EXPECT_EQ(second.calls, (std::vector<std::string>{"path:/anything"}));

    EXPECT_EQ(Umount("/system"), 0);
    EXPECT_EQ(second.deinits, 1);
    EXPECT_EQ(kivo_mount_context("/system"), nullptr);
    EXPECT_EQ(kivo_umount("/system"), 14);
}

TEST_F(VfsTest, UmountAndContextLookups)
{
    FakeFs& a = NewFs();
    FakeFs& b = NewFs();
    EXPECT_EQ(kivo_umount(nullptr), EINVAL);
    EXPECT_EQ(kivo_umount("/none"), 14);
    EXPECT_EQ(kivo_mount_context(nullptr), nullptr);
    ASSERT_EQ(Mount("/sd", &a), 0);
    ASSERT_EQ(Mount("/sd", &b), 0);  // the same path twice: first wins
    EXPECT_EQ(kivo_mount_context("/sd"), &a);
    EXPECT_EQ(kivo_mount_context("/sd/"), nullptr);  // exact comparison
    EXPECT_EQ(kivo_umount("/sd/"), 14);

    ASSERT_EQ(kivo_file_mkdir("/sd/x"), 0);
    EXPECT_EQ(a.calls.size(), 1u);
    EXPECT_EQ(Umount("/sd"), 0);
    EXPECT_EQ(a.deinits, 1);
    EXPECT_EQ(kivo_mount_context("/sd"), &b);
    ASSERT_EQ(kivo_file_mkdir("/sd/x"), 0);
    EXPECT_EQ(b.calls.size(), 1u);
}

// ---- resolution

TEST_F(VfsTest, PathsResolveByPrefixWithEitherSeparator)
{
    FakeFs& sd = NewFs();
    FakeFs& def = NewFs();
    ASSERT_EQ(Mount("/sd", &sd), 0);
    ASSERT_EQ(Mount("/system", &def), 0);
    struct Case {
        const char* path;
        FakeFs* fs;
        const char* rest;
    };
    const Case cases[] = {
        {"/sd/a.txt", &sd, "/a.txt"},
        {"\\sd\\a.txt", &sd, "\\a.txt"},
        {"\\sd/a.txt", &sd, "/a.txt"},
        {"/sd", &sd, ""},
        {"/sdcard/x", &def, "/sdcard/x"},
        {"/s", &def, "/s"},
        {"sd/a", &def, "sd/a"},  // no leading separator: not a mount path
        {"", &def, ""},
    };
    for (const Case& c : cases) {
        sd.calls.clear();
        def.calls.clear();
        ASSERT_EQ(kivo_file_unlink(c.path), 0) << c.path;
        const std::vector<std::string> expected = {std::string("path:") + c.rest};
        const std::vector<std::string> none;
        EXPECT_EQ(sd.calls, c.fs == &sd ? expected : none) << c.path;
        EXPECT_EQ(def.calls, c.fs == &def ? expected : none) << c.path;
    }
}

TEST_F(VfsTest, PathOperationsReachTheirEntriesOrGiveSix)
{
    FakeFs& fs = NewFs();
    kivo_fs_ops_t& bare = NewOps(bare_ops());
    ASSERT_EQ(Mount("/f", &fs), 0);
    ASSERT_EQ(Mount("/bare", &fs, &bare), 0);
    kivo_utimbuf_t times = {1, 2};
    kivo_stat_t st;
    kivo_stat64_t st64;
    kivo_statfs_t usage;
    struct Case {
        const char* what;
        kivo_err_t (*run)(const char* path, void* arg);
        void* arg;
    };
    const Case cases[] = {
        {"mkdir", [](const char* p, void*) { return kivo_file_mkdir(p); }, nullptr},
        {"rmdir", [](const char* p, void*) { return kivo_file_rmdir(p); }, nullptr},
        {"unlink", [](const char* p, void*) { return kivo_file_unlink(p); }, nullptr},
        {"utime", [](const char* p, void* a) { return kivo_file_utime(p, (kivo_utimbuf_t*)a); }, &times},
        {"stat", [](const char* p, void* a) { return kivo_file_stat(p, (kivo_stat_t*)a); }, &st},
        {"stat64", [](const char* p, void* a) { return kivo_file_stat64(p, (kivo_stat64_t*)a); }, &st64},
        {"statfs", [](const char* p, void* a) { return kivo_statfs(p, (kivo_statfs_t*)a); }, &usage},
        {"mkfs", [](const char* p, void*) { return kivo_mkfs(p, "/dev/x", "ext4"); }, nullptr},
        {"mount", [](const char* p, void*) { return kivo_file_mount(p, "/dev/x", "ext4"); }, nullptr},
        {"umount", [](const char* p, void*) { return kivo_file_umount(p); }, nullptr},
    };
    for (const Case& c : cases) {
        fs.calls.clear();
        EXPECT_EQ(c.run(nullptr, c.arg), EINVAL) << c.what;
        EXPECT_EQ(c.run("/f/p", c.arg), 0) << c.what;
        ASSERT_EQ(fs.calls.size(), 1u) << c.what;
        EXPECT_NE(fs.calls[0].find(":/p"), std::string::npos) << c.what << " " << fs.calls[0];
        EXPECT_EQ(c.run("/bare/p", c.arg), 6) << c.what;
    }
    // Only the native file system has system paths.
    char real[64];
    EXPECT_EQ(kivo_file_system_path("/f/p", real, sizeof real), 6);
    EXPECT_EQ(fs.calls.size(), 1u);
}

TEST_F(VfsTest, RenameOnlyWithinOneMount)
{
    FakeFs& sd = NewFs();
    FakeFs& other = NewFs();
    ASSERT_EQ(Mount("/sd", &sd), 0);
    ASSERT_EQ(Mount("/usb", &other), 0);
    EXPECT_EQ(kivo_file_rename(nullptr, "/sd/b"), EINVAL);
    EXPECT_EQ(kivo_file_rename("/sd/a", nullptr), EINVAL);
    EXPECT_EQ(kivo_file_rename("/sd/a", "/b"), 6);  // to the default
    EXPECT_EQ(kivo_file_rename("/sd/a", "/usb/b"), 6);
    EXPECT_TRUE(sd.calls.empty());
    EXPECT_EQ(kivo_file_rename("/sd/a", "\\sd\\b"), 0);
    EXPECT_EQ(sd.calls, (std::vector<std::string>{"rename:/a \\b"}));
}

// ---- files

TEST_F(VfsTest, OpenFileOperationsAndClose)
{
    FakeFs& fs = NewFs();
    ASSERT_EQ(Mount("/f", &fs), 0);
    int32_t h = 12345;
    EXPECT_EQ(kivo_file_open(nullptr, "/f/a", O_RDONLY), EINVAL);
    EXPECT_EQ(kivo_file_open(&h, nullptr, O_RDONLY), EINVAL);
    EXPECT_EQ(h, 12345);

    ASSERT_EQ(kivo_file_open(&h, "/f/a", O_RDONLY), 0);
    EXPECT_TRUE(kivo_file_handle_is_valid(h));
    void* ctx = nullptr;
    intptr_t fh = 0;
    ASSERT_EQ(kivo_file_native_handle(h, &ctx, &fh), 0);
    EXPECT_EQ(ctx, &fs);
    EXPECT_EQ(fh, 100);

    char buf[8];
    ssize_t done = 0;
    EXPECT_EQ(kivo_file_read(h, buf, sizeof buf, &done), 0);
    EXPECT_EQ(done, 8);
    EXPECT_EQ(kivo_file_reserved(h, 1, 2), 6);  // no such operation
    EXPECT_EQ(kivo_file_fsync(h), 0);

    fs.close_result = 77;
    EXPECT_EQ(kivo_file_close(h), 77);
    EXPECT_EQ(fs.calls, (std::vector<std::string>{"open:/a", "read:100", "close:100"}));
    EXPECT_EQ(kivo_file_close(h), 6);

    // kivo_file_create opens with write-only, create, truncate.
    kivo_fs_ops_t& flags_ops = NewOps();
    flags_ops.open = [](void* c, intptr_t* out, const char*, int flags) {
        fake(c)->calls.push_back("flags:" + std::to_string(flags));
        *out = 1;
        return 0;
    };
    FakeFs& created = NewFs();
    ASSERT_EQ(Mount("/c", &created, &flags_ops), 0);
    ASSERT_EQ(kivo_file_create(&h, "/c/new"), 0);
    EXPECT_EQ(created.calls, (std::vector<std::string>{"flags:577"}));
    EXPECT_EQ(kivo_file_close(h), 0);
}

TEST_F(VfsTest, ClosedHandleIsRefusedByEveryOperation)
{
    FakeFs& fs = NewFs();
    ASSERT_EQ(Mount("/f", &fs), 0);
    int32_t h;
    ASSERT_EQ(kivo_file_open(&h, "/f/a", O_RDONLY), 0);
    ASSERT_EQ(kivo_file_close(h), 0);
    int32_t reused;
    ASSERT_EQ(kivo_file_open(&reused, "/f/b", O_RDONLY), 0);
    ASSERT_EQ(reused & 0xFFFF, h & 0xFFFF);  // same slot, new generation

    char buf[4];
    ssize_t done;
    off_t pos;
    int64_t pos64;
    kivo_stat_t st;
    kivo_stat64_t st64;
    void* ctx;
    const int32_t stale[] = {h, -1, 0x7FFFFFFF};
    for (int32_t s : stale) {
        fs.calls.clear();
        EXPECT_EQ(kivo_file_read(s, buf, 1, &done), 6);
        EXPECT_EQ(kivo_file_write(s, buf, 1, &done), 6);
        EXPECT_EQ(kivo_file_lseek(s, 0, SEEK_SET, &pos), 6);
        EXPECT_EQ(kivo_file_lseek64(s, 0, SEEK_SET, &pos64), 6);
        EXPECT_EQ(kivo_file_fstat(s, &st), 6);
        EXPECT_EQ(kivo_file_fstat64(s, &st64), 6);
        EXPECT_EQ(kivo_file_ftruncate(s, 0), 6);
        EXPECT_EQ(kivo_file_ftruncate64(s, 0), 6);
        EXPECT_EQ(kivo_file_fsync(s), 6);
        EXPECT_EQ(kivo_file_reserved(s, 0, 0), 6);
        EXPECT_EQ(kivo_file_native_handle(s, &ctx, nullptr), 6);
        EXPECT_EQ(kivo_file_close(s), 6);
        EXPECT_TRUE(fs.calls.empty());
    }
    EXPECT_EQ(kivo_file_read(reused, buf, 1, &done), 0);
    EXPECT_EQ(kivo_file_close(reused), 0);
}

TEST_F(VfsTest, HandlesOfAnotherKindAreNotFiles)
{
    // The table also names other objects (the script library's timers); a
    // file call must neither read their payload nor free them.
    kivo_handle_payload_t payload = {{0x1234, 0x5678, 0}};
    int32_t other = kivo_handle_alloc(nullptr);
    ASSERT_GE(other, 0);
    ASSERT_EQ(kivo_handle_set(other, &payload, nullptr), 1);
    char buf[4];
    EXPECT_EQ(kivo_file_read(other, buf, 1, nullptr), 6);
    EXPECT_EQ(kivo_file_native_handle(other, nullptr, nullptr), 6);
    EXPECT_EQ(kivo_file_close(other), 6);
    EXPECT_EQ(kivo_handle_get(other, nullptr), 1);
    EXPECT_EQ(kivo_handle_free(other, nullptr), 1);
}

TEST_F(VfsTest, FullHandleTableGivesSixAndLeavesTheCallerHandle)
{
    FakeFs& fs = NewFs();
    ASSERT_EQ(Mount("/f", &fs), 0);
    const int32_t start = kivo_handle_free_count();
    std::vector<int32_t> open;
    for (int32_t i = 0; i < start; ++i) {
        int32_t h;
        ASSERT_EQ(kivo_file_open(&h, "/f/x", O_RDONLY), 0) << i;
        open.push_back(h);
    }
    EXPECT_EQ(kivo_handle_free_count(), 0);
    int32_t h = -7;
    fs.calls.clear();
    EXPECT_EQ(kivo_file_open(&h, "/f/x", O_RDONLY), 6);
    EXPECT_EQ(h, -7);
    EXPECT_TRUE(fs.calls.empty());
    for (int32_t o : open)
        ASSERT_EQ(kivo_file_close(o), 0);
    EXPECT_EQ(kivo_handle_free_count(), start);
}

TEST_F(VfsTest, FailedOpenFreesItsHandleAndPassesTheError)
{
    kivo_fs_ops_t& failing = NewOps();
    failing.open = [](void*, intptr_t* out, const char*, int) {
        *out = -1;
        return (kivo_err_t)ENOENT;
    };
    FakeFs& fs = NewFs();
    ASSERT_EQ(Mount("/f", &fs, &failing), 0);
    kivo_fs_ops_t& bare = NewOps(bare_ops());
    ASSERT_EQ(Mount("/bare", &fs, &bare), 0);
    const int32_t start = kivo_handle_free_count();
    int32_t h = -7;
    EXPECT_EQ(kivo_file_open(&h, "/f/x", O_RDONLY), ENOENT);
    EXPECT_EQ(kivo_file_open(&h, "/bare/x", O_RDONLY), 6);
    EXPECT_EQ(h, -7);
    EXPECT_EQ(kivo_handle_free_count(), start);
    EXPECT_EQ(Umount("/f"), 0);
    EXPECT_EQ(fs.deinits, 1);  // no reference left behind by the failures
}

TEST_F(VfsTest, UnmountedFileFailsButStillClosesAndThenReleases)
{
    FakeFs& fs = NewFs();
    ASSERT_EQ(Mount("/f", &fs), 0);
    int32_t h;
    ASSERT_EQ(kivo_file_open(&h, "/f/a", O_RDONLY), 0);
    kivo_dir_handle_t dir;
    ASSERT_EQ(kivo_file_opendir(&dir, "/f/d"), 0);
    ASSERT_EQ(Umount("/f"), 0);
    EXPECT_EQ(fs.deinits, 0);  // the file and the directory still hold it

    char buf[4];
    ssize_t done = -5;
    EXPECT_EQ(kivo_file_read(h, buf, 1, &done), 6);
    EXPECT_EQ(done, -5);
    kivo_err_t err = 0;
    EXPECT_EQ(kivo_file_readdir(dir, &err), nullptr);
    EXPECT_EQ(err, 6);
    fs.close_result = 33;
    EXPECT_EQ(kivo_file_close(h), 33);
    EXPECT_EQ(fs.deinits, 0);
    EXPECT_EQ(kivo_file_closedir(dir), 0);
    EXPECT_EQ(fs.deinits, 1);
    EXPECT_EQ(fs.calls, (std::vector<std::string>{"open:/a", "opendir:/d", "close:100", "closedir"}));
}

// ---- directories

TEST_F(VfsTest, DirectoryHandleCarriesItsMount)
{
    FakeFs& fs = NewFs();
    ASSERT_EQ(Mount("/f", &fs), 0);
    kivo_dir_handle_t dir;
    EXPECT_EQ(kivo_file_opendir(nullptr, "/f"), EINVAL);
    EXPECT_EQ(kivo_file_opendir(&dir, nullptr), EINVAL);
    ASSERT_EQ(kivo_file_opendir(&dir, "/f"), 0);
    EXPECT_NE(dir.mount, nullptr);
    kivo_err_t err = -1;
    kivo_dirent_t* e = kivo_file_readdir(dir, &err);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->name, "entry");
    EXPECT_EQ(err, 0);
    EXPECT_NE(kivo_file_readdir(dir, nullptr), nullptr);
    EXPECT_EQ(kivo_file_closedir(dir), 0);
    EXPECT_EQ(fs.calls, (std::vector<std::string>{"opendir:", "closedir"}));

    kivo_dir_handle_t none = {};
    EXPECT_EQ(kivo_file_closedir(none), 6);
    err = 0;
    EXPECT_EQ(kivo_file_readdir(none, &err), nullptr);
    EXPECT_EQ(err, 6);

    // A failed open leaves a zeroed handle behind.
    kivo_fs_ops_t& bare = NewOps(bare_ops());
    ASSERT_EQ(Mount("/bare", &fs, &bare), 0);
    memset(&dir, 0xAB, sizeof dir);
    EXPECT_EQ(kivo_file_opendir(&dir, "/bare"), 6);
    EXPECT_EQ(dir.mount, nullptr);
    EXPECT_EQ(kivo_file_closedir(dir), 6);
}

// ---- the native file system under a root prefix

int remove_entry(const char* path, const struct stat64*, int, struct FTW*)
{
    return remove(path);
}

class SandboxTest : public VfsTest {
protected:
    void SetUp() override
    {
        VfsTest::SetUp();
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kivo-test-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        _root = buf.data();
        ASSERT_EQ(mkdir((_root + "/sandbox").c_str(), 0777), 0);
        _prefix = _root + "/sandbox";
        ASSERT_EQ(kivo_mount("/system", &platform_file_ops, (void*)_prefix.c_str(), nullptr), 0);
        _mounted.push_back("/system");
    }
    void TearDown() override
    {
        VfsTest::TearDown();
        if (!_root.empty())
            nftw64(_root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
    bool Exists(const std::string& rel) const
    {
        struct stat s;
        return lstat((_root + "/" + rel).c_str(), &s) == 0;
    }

    std::string _root;    // the temporary directory
    std::string _prefix;  // _root/sandbox, the default mount's root
    std::string _card;
};

TEST_F(SandboxTest, DefaultPathsLandUnderThePrefix)
{
    EXPECT_EQ(kivo_mount_context("/system"), (void*)_prefix.c_str());
    ASSERT_EQ(kivo_file_mkdir("/tmp"), 0);
    ASSERT_EQ(kivo_file_mkdir("/tmp/update"), 0);
    int32_t h;
    ASSERT_EQ(kivo_file_create(&h, "/tmp/update/a.txt"), 0);
    ssize_t done = 0;
    EXPECT_EQ(kivo_file_write(h, "abc", 3, &done), 0);
    EXPECT_EQ(done, 3);
    kivo_stat64_t st64;
    EXPECT_EQ(kivo_file_fstat64(h, &st64), 0);
    EXPECT_EQ(st64.size, 3);
    EXPECT_EQ(kivo_file_close(h), 0);
    EXPECT_TRUE(Exists("sandbox/tmp/update/a.txt"));

    ASSERT_EQ(kivo_file_open(&h, "/tmp/update/a.txt", O_RDONLY), 0);
    char buf[8] = {};
    EXPECT_EQ(kivo_file_read(h, buf, sizeof buf, &done), 0);
    EXPECT_EQ(std::string(buf, done), "abc");
    EXPECT_EQ(kivo_file_reserved(h, 0, 0), 6);
    EXPECT_EQ(kivo_file_close(h), 0);

    kivo_dir_handle_t dir;
    ASSERT_EQ(kivo_file_opendir(&dir, "/tmp/update"), 0);
    std::vector<std::string> names;
    kivo_err_t err = -1;
    while (kivo_dirent_t* e = kivo_file_readdir(dir, &err))
        names.push_back(e->name);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(kivo_file_closedir(dir), 0);
    EXPECT_EQ(names.size(), 3u);  // ".", ".." and a.txt

    ASSERT_EQ(kivo_file_rename("/tmp/update/a.txt", "/tmp/b.txt"), 0);
    kivo_stat_t st;
    EXPECT_EQ(kivo_file_stat("/tmp/b.txt", &st), 0);
    EXPECT_EQ(st.size, 3u);
    kivo_utimbuf_t times = {1500000000, 1600000000};
    EXPECT_EQ(kivo_file_utime("/tmp/b.txt", &times), 0);
    EXPECT_EQ(kivo_file_stat("/tmp/b.txt", &st), 0);
    EXPECT_EQ(st.mtime, 1600000000);

    // Climbing out of the sandbox stays in it.
    ASSERT_EQ(kivo_file_create(&h, "/../../escaped"), 0);
    EXPECT_EQ(kivo_file_close(h), 0);
    EXPECT_TRUE(Exists("sandbox/escaped"));
    EXPECT_FALSE(Exists("escaped"));

    EXPECT_EQ(kivo_file_unlink("/tmp/b.txt"), 0);
    EXPECT_EQ(kivo_file_rmdir("/tmp/update"), 0);
    EXPECT_FALSE(Exists("sandbox/tmp/update"));
    // statfs takes the system's own path; the caller resolves a path of the
    // tree through its mount first.
    kivo_statfs_t usage;
    EXPECT_EQ(kivo_statfs("/tmp", &usage), 0);
    EXPECT_GT(usage.total, 0u);
    EXPECT_EQ(kivo_statfs("/tmp/update-missing-here", &usage), ENOENT);
    char real[512];
    ASSERT_EQ(kivo_file_system_path("/tmp/../tmp", real, sizeof real), 0);
    EXPECT_EQ(std::string(real), _prefix + "/tmp");
    EXPECT_EQ(kivo_statfs(real, &usage), 0);
    EXPECT_EQ(kivo_file_system_path("/tmp", real, _prefix.size() + 4), ERANGE);
    EXPECT_EQ(kivo_file_system_path(nullptr, real, sizeof real), EINVAL);
    EXPECT_EQ(kivo_file_stat("/missing", &st), ENOENT);
}

TEST_F(SandboxTest, MountUnderAPrefixMountPassesTheRest)
{
    // A second native mount with its own prefix: "/sd/x" reaches <prefix>/x.
    _card = _root + "/card";
    ASSERT_EQ(mkdir(_card.c_str(), 0777), 0);
    ASSERT_EQ(Mount("/sd", (void*)_card.c_str(), &platform_file_ops), 0);
    ASSERT_EQ(kivo_file_mkdir("/sd/x"), 0);
    ASSERT_EQ(kivo_file_mkdir("/sdx"), 0);
    EXPECT_TRUE(Exists("card/x"));
    EXPECT_TRUE(Exists("sandbox/sdx"));
    // Renames between the two native mounts are refused: different records.
    EXPECT_EQ(kivo_file_rename("/sd/x", "/y"), 6);
    char real[512];
    ASSERT_EQ(kivo_file_system_path("/sd/x", real, sizeof real), 0);
    EXPECT_EQ(std::string(real), _card + "/x");
    ASSERT_EQ(kivo_file_system_path("/sdx", real, sizeof real), 0);
    EXPECT_EQ(std::string(real), _prefix + "/sdx");
}

}  // namespace
