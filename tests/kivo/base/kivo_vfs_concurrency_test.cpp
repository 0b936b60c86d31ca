#include "kivo/base/kivo_vfs.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kivo/base/kivo_handle.h"
#include "kivo/base/kivo_pthread.h"
#include "kivo/base/platform/linux/__platform_unistd.h"

// Files opened and closed from several threads while mounts come and go;
// also run under ThreadSanitizer.

namespace {

// A thread-safe fake: counts what reaches it. `read` can be made to wait so
// that other threads act while a call is inside the file system.
struct CountingFs {
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::atomic<int> deinits{0};
    std::atomic<int> reads_inside{0};
    std::atomic<bool> deinit_during_read{false};
    uint32_t read_ms = 0;
};

CountingFs* counting(void* ctx)
{
    return static_cast<CountingFs*>(ctx);
}

kivo_fs_ops_t counting_ops()
{
    kivo_fs_ops_t ops = {};
    ops.deinit = [](void* ctx) {
        CountingFs* fs = counting(ctx);
        if (fs->reads_inside.load() != 0)
            fs->deinit_during_read = true;
        fs->deinits++;
    };
    ops.open = [](void* ctx, intptr_t* out, const char*, int) {
        *out = counting(ctx)->opens++;
        return 0;
    };
    ops.close = [](void* ctx, intptr_t) {
        counting(ctx)->closes++;
        return 0;
    };
    ops.read = [](void* ctx, intptr_t, void*, size_t size, ssize_t* done) {
        CountingFs* fs = counting(ctx);
        fs->reads_inside++;
        if (fs->read_ms)
            kivo_thread_msleep(fs->read_ms);
        fs->reads_inside--;
        *done = (ssize_t)size;
        return 0;
    };
    ops.mkdir = [](void*, const char*) { return 0; };
    return ops;
}

const kivo_fs_ops_t kCountingOps = counting_ops();

TEST(VfsConcurrencyTest, OpensAndClosesWhileMountsChange)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 400;
    const int32_t start = kivo_handle_free_count();
    CountingFs fs;
    ASSERT_EQ(kivo_mount("/cfs", &kCountingOps, &fs, nullptr), 0);

    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    // Another thread keeps mounting and removing other paths and the
    // "/system" entry, so lookups race table changes.
    std::vector<CountingFs> churn(2);
    std::atomic<int> churn_mounts{0};
    std::thread mounter([&] {
        int i = 0;
        while (!stop.load()) {
            CountingFs* c = &churn[i & 1];
            const char* path = (i & 1) ? "/system" : "/churn";
            if (kivo_mount(path, &kCountingOps, c, nullptr) == 0)
                churn_mounts++;
            if (kivo_umount(path) != 0)
                wrong++;
            ++i;
        }
    });

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                int32_t h = -1;
                if (kivo_file_open(&h, (i & 1) ? "/cfs/a" : "\\cfs\\b", O_RDONLY) != 0) {
                    wrong++;
                    continue;
                }
                char buf[4];
                ssize_t done = 0;
                if (kivo_file_read(h, buf, sizeof buf, &done) != 0 || done != 4)
                    wrong++;
                if (kivo_file_close(h) != 0)
                    wrong++;
                if (kivo_file_close(h) != 6)  // a second close of the same handle
                    wrong++;
                kivo_file_mkdir("/churn/x");  // either mount may serve it
            }
        });
    for (auto& th : threads)
        th.join();
    stop = true;
    mounter.join();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(fs.opens.load(), kThreads * kRounds);
    EXPECT_EQ(fs.closes.load(), kThreads * kRounds);
    EXPECT_EQ(kivo_handle_free_count(), start);
    EXPECT_EQ(churn[0].deinits.load() + churn[1].deinits.load(), churn_mounts.load());
    EXPECT_EQ(kivo_umount("/cfs"), 0);
    EXPECT_EQ(fs.deinits.load(), 1);
}

// A close and an unmount on one thread while another thread is inside a
// read of the same handle: the record (and its context) must outlive the
// read.
TEST(VfsConcurrencyTest, MountOutlivesACallInProgress)
{
    CountingFs fs;
    fs.read_ms = 50;
    ASSERT_EQ(kivo_mount("/slow", &kCountingOps, &fs, nullptr), 0);
    int32_t h = -1;
    ASSERT_EQ(kivo_file_open(&h, "/slow/f", O_RDONLY), 0);

    std::thread reader([&] {
        char buf[2];
        ssize_t done = 0;
        EXPECT_EQ(kivo_file_read(h, buf, sizeof buf, &done), 0);
    });
    // Wait until the reader is inside the file system (generously, for qemu).
    for (int i = 0; i < 5000 && fs.reads_inside.load() == 0; ++i)
        kivo_thread_msleep(1);
    EXPECT_EQ(kivo_file_close(h), 0);
    EXPECT_EQ(kivo_umount("/slow"), 0);
    reader.join();
    EXPECT_FALSE(fs.deinit_during_read.load());
    EXPECT_EQ(fs.deinits.load(), 1);
}

int remove_entry(const char* path, const struct stat64*, int, struct FTW*)
{
    return remove(path);
}

// Native files through a sandbox prefix, each thread with its own file.
TEST(VfsConcurrencyTest, NativeFilesFromSeveralThreads)
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kivo-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    const std::string root = buf.data();
    ASSERT_EQ(kivo_mount("/nat", &platform_file_ops, (void*)root.c_str(), nullptr), 0);

    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::string path = "/nat/f" + std::to_string(t);
            for (int i = 0; i < kRounds; ++i) {
                int32_t h = -1;
                if (kivo_file_create(&h, path.c_str()) != 0) {
                    wrong++;
                    continue;
                }
                const std::string text = std::to_string(t * 1000 + i);
                ssize_t done = 0;
                if (kivo_file_write(h, text.data(), text.size(), &done) != 0 ||
                    done != (ssize_t)text.size())
                    wrong++;
                kivo_file_close(h);
                kivo_stat_t st;
                if (kivo_file_stat(path.c_str(), &st) != 0 || st.size != text.size())
                    wrong++;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(kivo_umount("/nat"), 0);
    nftw64(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace
