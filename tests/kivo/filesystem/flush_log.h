#pragma once

// The native file system with a log of what reaches the medium's order:
// each creation (mkdir, an open that may create), write and flush, by the
// framework path it was made on, numbered in the order they happened. A
// flush of one path can be made to fail (error 5). Mount Ops() at "/system"
// with the sandbox root in place of platform_file_ops, or call them from a
// file system stacked on this one (the application tests' faulty one).
//
// While Record is on, the same order is kept as text as well, with what
// else changes a directory: see Record.

#include <fcntl.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

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

    // The operations that change what is on the medium and succeeded, in
    // order, from the next call on: "create <path>" (an open that may
    // create), "write <path>" (one that wrote bytes), "fsync <path>" (a
    // directory's path for a directory), "rename <from> <to>", "unlink
    // <path>", "mkdir <path>", "rmdir <path>".
    void Record(bool on)
    {
        std::lock_guard<std::mutex> lock(_m);
        _recording = on;
        _log.clear();
    }

    std::vector<std::string> Log()
    {
        std::lock_guard<std::mutex> lock(_m);
        return _log;
    }

    // The framework path an open file was opened by ("" for none).
    std::string PathOf(intptr_t fh)
    {
        std::lock_guard<std::mutex> lock(_m);
        auto it = _open.find(fh);
        return it != _open.end() ? it->second : std::string();
    }

    static const kivo_fs_ops_t& Ops()
    {
        static const kivo_fs_ops_t ops = [] {
            kivo_fs_ops_t o = platform_file_ops;
            o.mkdir = &FlushLog::Mkdir;
            o.open = &FlushLog::Open;
            o.close = &FlushLog::Close;
            o.write = &FlushLog::Write;
            o.fsync = &FlushLog::Fsync;
            o.rename = &FlushLog::Rename;
            o.unlink = &FlushLog::Unlink;
            o.rmdir = &FlushLog::Rmdir;
            return o;
        }();
        return ops;
    }

private:
    static std::string Text(const char* path) { return path != nullptr ? path : ""; }

    // Under _m.
    void Note(const std::string& what)
    {
        if (_recording)
            _log.push_back(what);
    }

    static kivo_err_t Mkdir(void* ctx, const char* path)
    {
        kivo_err_t e = platform_file_ops.mkdir(ctx, path);
        FlushLog& log = Get();
        std::lock_guard<std::mutex> lock(log._m);
        if (e == 0) {
            log.created[path] = ++log._seq;
            log.Note("mkdir " + Text(path));
        }
        return e;
    }

    static kivo_err_t Open(void* ctx, intptr_t* out, const char* path, int flags)
    {
        kivo_err_t e = platform_file_ops.open(ctx, out, path, flags);
        FlushLog& log = Get();
        std::lock_guard<std::mutex> lock(log._m);
        if (e == 0) {
            log._open[*out] = Text(path);
            if (flags & O_CREAT) {
                log.created[path] = ++log._seq;
                log.Note("create " + Text(path));
            }
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
        if (e == 0 && *done > 0)
            log.Note("write " + (it != log._open.end() ? it->second : std::string()));
        return e;
    }

    static kivo_err_t Fsync(void* ctx, intptr_t fh)
    {
        FlushLog& log = Get();
        std::string path;
        {
            std::lock_guard<std::mutex> lock(log._m);
            auto it = log._open.find(fh);
            path = it == log._open.end() ? std::string() : it->second;
            if (!log._failing.empty() && path == log._failing)
                return 5;  // EIO
            ++log.flushes;
            log.flushed[path] = ++log._seq;
        }
        kivo_err_t e = platform_file_ops.fsync(ctx, fh);
        std::lock_guard<std::mutex> lock(log._m);
        if (e == 0)
            log.Note("fsync " + path);
        return e;
    }

    // The call's result, noted as `what` when it succeeded.
    static kivo_err_t Noted(kivo_err_t e, const std::string& what)
    {
        FlushLog& log = Get();
        std::lock_guard<std::mutex> lock(log._m);
        if (e == 0)
            log.Note(what);
        return e;
    }

    static kivo_err_t Rename(void* ctx, const char* from, const char* to)
    {
        return Noted(platform_file_ops.rename(ctx, from, to), "rename " + Text(from) + " " + Text(to));
    }

    static kivo_err_t Unlink(void* ctx, const char* path)
    {
        return Noted(platform_file_ops.unlink(ctx, path), "unlink " + Text(path));
    }

    static kivo_err_t Rmdir(void* ctx, const char* path)
    {
        return Noted(platform_file_ops.rmdir(ctx, path), "rmdir " + Text(path));
    }

    std::mutex _m;
    int _seq = 0;
    std::map<intptr_t, std::string> _open;
    std::string _failing;
    bool _recording = false;
    std::vector<std::string> _log;
};
