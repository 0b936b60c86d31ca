#pragma once

// The native file system with a log of what reaches the medium's order:
// each creation (mkdir, an open that may create), write and flush, by the
// framework path it was made on, numbered in the order they happened. A
// flush of one path can be made to fail (error 5). Mount Ops() at "/system"
// with the sandbox root in place of platform_file_ops.

#include <fcntl.h>

#include <map>
#include <mutex>
#include <string>

#include "kivo/base/kivo_fs_types.h"
#include "kivo/base/platform/linux/__platform_unistd.h"

class FlushLog {
public:
    static FlushLog& Get()
    {
        static FlushLog log;
        return log;
    }

    void Reset(const std::string& failingFlush = std::string())
    {
        std::lock_guard<std::mutex> lock(_m);
        _seq = 0;
        _open.clear();
        created.clear();
        last_write.clear();
        flushed.clear();
        flushes = 0;
        _failing = failingFlush;
    }

    // Path -> number of its event (the last one of its kind).
    std::map<std::string, int> created;
    std::map<std::string, int> last_write;
    std::map<std::string, int> flushed;
    int flushes = 0;

    static const kivo_fs_ops_t& Ops()
    {
        static const kivo_fs_ops_t ops = [] {
            kivo_fs_ops_t o = platform_file_ops;
            o.mkdir = &FlushLog::Mkdir;
            o.open = &FlushLog::Open;
            o.close = &FlushLog::Close;
            o.write = &FlushLog::Write;
            o.fsync = &FlushLog::Fsync;
            return o;
        }();
        return ops;
    }

private:
    static kivo_err_t Mkdir(void* ctx, const char* path)
    {
        kivo_err_t e = platform_file_ops.mkdir(ctx, path);
        FlushLog& log = Get();
        std::lock_guard<std::mutex> lock(log._m);
        if (e == 0)
            log.created[path] = ++log._seq;
        return e;
    }

    static kivo_err_t Open(void* ctx, intptr_t* out, const char* path, int flags)
    {
        kivo_err_t e = platform_file_ops.open(ctx, out, path, flags);
        FlushLog& log = Get();
        std::lock_guard<std::mutex> lock(log._m);
        if (e == 0) {
            log._open[*out] = path;
            if (flags & O_CREAT)
                log.created[path] = ++log._seq;
        }
        return e;
    }

    static kivo_err_t Close(void* ctx, intptr_t fh)
    {
        {
            FlushLog& log = Get();
            std::lock_guard<std::mutex> lock(log._m);
            log._open.erase(fh);
        }
        return platform_file_ops.close(ctx, fh);
    }

    static kivo_err_t Write(void* ctx, intptr_t fh, const void* buffer, size_t size, ssize_t* done)
    {
        kivo_err_t e = platform_file_ops.write(ctx, fh, buffer, size, done);
        FlushLog& log = Get();
        std::lock_guard<std::mutex> lock(log._m);
        auto it = log._open.find(fh);
        if (it != log._open.end())
            log.last_write[it->second] = ++log._seq;
        return e;
    }

    static kivo_err_t Fsync(void* ctx, intptr_t fh)
    {
        {
            FlushLog& log = Get();
            std::lock_guard<std::mutex> lock(log._m);
            auto it = log._open.find(fh);
            const std::string path = it == log._open.end() ? std::string() : it->second;
            if (!log._failing.empty() && path == log._failing)
                return 5;  // EIO
            ++log.flushes;
            log.flushed[path] = ++log._seq;
        }
        return platform_file_ops.fsync(ctx, fh);
    }

    std::mutex _m;
    int _seq = 0;
    std::map<intptr_t, std::string> _open;
    std::string _failing;
};
