#pragma once

// The native file system with a medium that fills up: writes take at most
// `write_budget` bytes in all (then ENOSPC), and flushes fail with `fsync_err`
// (a file system that reports a full disk only at the flush). FailNext makes
// the next call of one kind fail once, as on a failing medium: the size or a
// seek of an open file, its close, reading a directory, or the status or
// removal of one path. Mount Ops() at "/system" with the sandbox root in
// place of platform_file_ops.

#include <atomic>
#include <mutex>
#include <string>

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

    // -1: a read takes all it is asked for.
    static std::atomic<int64_t>& ReadChunk()
    {
        static std::atomic<int64_t> chunk(-1);
        return chunk;
    }

    enum Call { kNone, kFstat, kSeek, kClose, kReaddir, kStat, kUnlink, kRead };

    // The next call of kind `call` (for kStat and kUnlink: on `path`, a
    // framework path) after `pass` more of that kind fails with err; the
    // calls after it pass.
    static void FailNext(Call call, kivo_err_t err, const std::string& path = std::string(), int pass = 0)
    {
        std::lock_guard<std::mutex> lock(Next().m);
        Next().call = call;
        Next().err = err;
        Next().path = path;
        Next().pass = pass;
    }

    static void Reset()
    {
        WriteBudget() = -1;
        FsyncErr() = 0;
        ReadChunk() = -1;
        FailNext(kNone, 0);
    }

    static const kivo_fs_ops_t& Ops()
    {
        static const kivo_fs_ops_t ops = [] {
            kivo_fs_ops_t o = platform_file_ops;
            o.read = &FailingFs::Read;
            o.write = &FailingFs::Write;
            o.fsync = &FailingFs::Fsync;
            o.fstat64 = [](void* ctx, intptr_t fh, kivo_stat64_t* st) {
                kivo_err_t e = Take(kFstat, nullptr);
                return e != 0 ? e : platform_file_ops.fstat64(ctx, fh, st);
            };
            o.lseek64 = [](void* ctx, intptr_t fh, int64_t offset, int whence, int64_t* result) {
                kivo_err_t e = Take(kSeek, nullptr);
                return e != 0 ? e : platform_file_ops.lseek64(ctx, fh, offset, whence, result);
            };
            o.close = [](void* ctx, intptr_t fh) {
                kivo_err_t e = Take(kClose, nullptr);
                kivo_err_t c = platform_file_ops.close(ctx, fh);
                return e != 0 ? e : c;
            };
            o.readdir_ex = [](void* ctx, kivo_dir_handle_t dir, kivo_err_t* err) -> kivo_dirent_t* {
                kivo_err_t e = Take(kReaddir, nullptr);
                if (e == 0)
                    return platform_file_ops.readdir_ex(ctx, dir, err);
                if (err)
                    *err = e;
                return nullptr;
            };
            o.stat64 = [](void* ctx, const char* path, kivo_stat64_t* st) {
                kivo_err_t e = Take(kStat, path);
                return e != 0 ? e : platform_file_ops.stat64(ctx, path, st);
            };
            o.unlink = [](void* ctx, const char* path) {
                kivo_err_t e = Take(kUnlink, path);
                return e != 0 ? e : platform_file_ops.unlink(ctx, path);
            };
            return o;
        }();
        return ops;
    }

private:
    struct Planned {
        std::mutex m;
        Call call = kNone;
        kivo_err_t err = 0;
        std::string path;
        int pass = 0;
    };

    static Planned& Next()
    {
        static Planned next;
        return next;
    }

    // The planned error when this call is the planned one (then no longer
    // planned), else 0.
    static kivo_err_t Take(Call call, const char* path)
    {
        Planned& n = Next();
        std::lock_guard<std::mutex> lock(n.m);
        if (n.call != call || (path != nullptr && n.path != path))
            return 0;
        if (n.pass > 0) {
            --n.pass;
            return 0;
        }
        n.call = kNone;
        return n.err;
    }

    static kivo_err_t Read(void* ctx, intptr_t fh, void* buffer, size_t size, ssize_t* done)
    {
        kivo_err_t e = Take(kRead, nullptr);
        if (e != 0) {
            if (done)
                *done = -1;
            return e;
        }
        const int64_t chunk = ReadChunk().load();
        if (chunk >= 0 && (int64_t)size > chunk)
            size = (size_t)chunk;
        return platform_file_ops.read(ctx, fh, buffer, size, done);
    }

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
