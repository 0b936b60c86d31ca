#pragma once

// The native file system with a medium that fills up: writes take at most
// `write_budget` bytes in all (then ENOSPC), and flushes fail with `fsync_err`
// (a file system that reports a full disk only at the flush). Mount Ops() at
// "/system" with the sandbox root in place of platform_file_ops.

#include <atomic>

#include "kivo/base/kivo_fs_types.h"
#include "kivo/base/platform/linux/__platform_unistd.h"

class FailingFs {
public:
    static constexpr kivo_err_t kNoSpace = 28;  // ENOSPC

    // -1: no limit.
    static std::atomic<int64_t>& WriteBudget()
    {
        static std::atomic<int64_t> budget(-1);
        return budget;
    }

    // 0: flushes pass.
    static std::atomic<int>& FsyncErr()
    {
        static std::atomic<int> err(0);
        return err;
    }

    static void Reset()
    {
        WriteBudget() = -1;
        FsyncErr() = 0;
    }

    static const kivo_fs_ops_t& Ops()
    {
        static const kivo_fs_ops_t ops = [] {
            kivo_fs_ops_t o = platform_file_ops;
            o.write = &FailingFs::Write;
            o.fsync = &FailingFs::Fsync;
            return o;
        }();
        return ops;
    }

private:
    static kivo_err_t Write(void* ctx, intptr_t fh, const void* buffer, size_t size, ssize_t* done)
    {
        int64_t left = WriteBudget().load();
        if (left >= 0) {
            if (left == 0) {
                *done = -1;
                return kNoSpace;
            }
            if ((int64_t)size > left)
                size = (size_t)left;
        }
        kivo_err_t e = platform_file_ops.write(ctx, fh, buffer, size, done);
        if (e == 0 && left >= 0 && *done > 0)
            WriteBudget() -= *done;
        return e;
    }

    static kivo_err_t Fsync(void* ctx, intptr_t fh)
    {
        int e = FsyncErr().load();
        if (e != 0)
            return e;
        return platform_file_ops.fsync(ctx, fh);
    }
};
