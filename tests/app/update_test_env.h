#pragma once

// Update in its own worker service against a recording receiver that stands
// in for Gui: a router in a service the test thread serves, connected to the
// private paths and answering as Gui does. The framework's root is a fresh
// sandbox directory; packages come from update_pack.py (Python's zipfile and
// Info-ZIP), never from our own zip writer or CRC code.

#include <gtest/gtest.h>

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/update.h"
#include "app/update_info.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/base/platform/linux/__platform_unistd.h"
#include "kivo/service/elem.h"
#include "kivo/service/service.h"
#include "tests/kivo/filesystem/flush_log.h"

namespace update_test {

inline std::string TempDir(const char* stem)
{
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + stem + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

// 64-bit calls throughout: in the 32-bit ARM build under qemu the plain ones
// fail with EOVERFLOW on a host file system's large inode numbers and
// directory offsets (and a sandbox's 4 GiB sparse "/dev/mem" must go with
// its tree).
inline int RemoveEntry(const char* path, const struct stat64*, int, struct FTW*)
{
    return remove(path);
}

inline void RemoveTree(const std::string& dir)
{
    if (!dir.empty())
        nftw64(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

inline void MakeDirs(const std::string& real)
{
    for (size_t i = 1; i <= real.size(); ++i) {
        if (i == real.size() || real[i] == '/')
            mkdir(real.substr(0, i).c_str(), 0777);
    }
}

inline void WriteReal(const std::string& real, const std::string& bytes)
{
    MakeDirs(real.substr(0, real.rfind('/')));
    std::ofstream f(real, std::ios::binary | std::ios::trunc);
    f << bytes;
    ASSERT_TRUE(f.good()) << real;
}

inline std::string ReadReal(const std::string& real)
{
    std::ifstream f(real, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline bool RealExists(const std::string& real)
{
    struct stat64 st;
    return lstat64(real.c_str(), &st) == 0;
}

// Deterministic bytes of any length.
inline std::string Pattern(size_t n, uint32_t seed)
{
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

inline void PutLe32(std::string& s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>(v >> (8 * i));
}

// The sandbox's file system with one failing file: once `after` bytes of
// one open of `path` (a framework path) were read (or written), the next
// read (or write) fails, as on a failing medium or a full disk; later calls
// succeed again, so nothing done after a failure is masked by it. With
// kFsync every flush of the file fails instead (a disk that reports itself
// full only there), with kOpen every open of it (no file handle left).
// The call faults fail `times` calls (one unless set), from the one numbered
// `after` (from 0) among the calls of their kind on `path` since Plan: kFstat (the size of an
// open file, EIO), kSeek (a seek of an open file, EIO), kStat (the status of
// the path, EIO), kOpenCall (EMFILE), kOpendir (EIO), kReaddir (reading the directory's entries,
// EIO) and kUnlink (EROFS).
// Mount Ops() at "/system" with the sandbox root, as platform_file_ops is.
// Below it lies FlushLog, which keeps the order of the changes (Record).
struct FaultPlan {
    enum Fault { kData, kFsync, kOpen, kWatch, kFstat, kSeek, kStat, kOpenCall, kOpendir, kReaddir, kUnlink };
    std::string path;
    bool on_write = false;
    int64_t after = 0;
    Fault fault = kData;
    int64_t times = 1;
};

class FaultyFs {
public:
    static FaultyFs& Get()
    {
        static FaultyFs fs;
        return fs;
    }

    void Plan(const FaultPlan& plan)
    {
        std::lock_guard<std::mutex> lock(_m);
        _plan = plan;
        _passed.clear();
        _flushes = 0;
        _calls = 0;
        _failed = 0;
        _dirs.clear();
    }

    // Calls that the plan made fail since Plan.
    int Failed()
    {
        std::lock_guard<std::mutex> lock(_m);
        return _failed;
    }

    // The operations that change what is on the medium, in order, from the
    // next call on (FlushLog::Record).
    void Record(bool on) { FlushLog::Get().Record(on); }

    std::vector<std::string> Log() { return FlushLog::Get().Log(); }

    // Flushes of the planned file since Plan.
    int Flushes()
    {
        std::lock_guard<std::mutex> lock(_m);
        return _flushes;
    }

    static const kivo_fs_ops_t& Ops()
    {
        static const kivo_fs_ops_t ops = [] {
            kivo_fs_ops_t o = Lower();
            o.open = &FaultyFs::Open;
            o.close = &FaultyFs::Close;
            o.read = &FaultyFs::Read;
            o.write = &FaultyFs::Write;
            o.fsync = &FaultyFs::Fsync;
            o.fstat64 = &FaultyFs::Fstat64;
            o.lseek64 = &FaultyFs::Lseek64;
            o.stat64 = &FaultyFs::Stat64;
            o.opendir = &FaultyFs::Opendir;
            o.closedir = &FaultyFs::Closedir;
            o.readdir_ex = &FaultyFs::Readdir;
            o.unlink = &FaultyFs::Unlink;
            return o;
        }();
        return ops;
    }

private:
    // What a call that does not fail goes on to.
    static const kivo_fs_ops_t& Lower() { return FlushLog::Ops(); }

    // True when this call of kind `fault` on `path` is the one to fail.
    bool Hits(FaultPlan::Fault fault, const std::string& path)
    {
        if (_plan.fault != fault || _plan.path != path)
            return false;
        const int64_t call = _calls++;
        if (call < _plan.after || call >= _plan.after + _plan.times)
            return false;
        ++_failed;
        return true;
    }

    static std::string Text(const char* path) { return path != nullptr ? path : ""; }

    static kivo_err_t Open(void* ctx, intptr_t* out, const char* path, int flags)
    {
        FaultyFs& fs = Get();
        {
            std::lock_guard<std::mutex> lock(fs._m);
            if ((fs._plan.fault == FaultPlan::kOpen && path != nullptr && fs._plan.path == path) ||
                fs.Hits(FaultPlan::kOpenCall, Text(path))) {
                if (fs._plan.fault == FaultPlan::kOpen)
                    ++fs._failed;
                return 24;  // EMFILE
            }
        }
        kivo_err_t e = Lower().open(ctx, out, path, flags);
        std::lock_guard<std::mutex> lock(fs._m);
        if (e == 0 && path != nullptr && !fs._plan.path.empty() && fs._plan.path == path)
            fs._passed[*out] = 0;
        return e;
    }

    static kivo_err_t Close(void* ctx, intptr_t fh)
    {
        {
            FaultyFs& fs = Get();
            std::lock_guard<std::mutex> lock(fs._m);
            fs._passed.erase(fh);
        }
        return Lower().close(ctx, fh);
    }

    static std::string NameOf(intptr_t fh) { return FlushLog::Get().PathOf(fh); }

    static kivo_err_t Fstat64(void* ctx, intptr_t fh, kivo_stat64_t* st)
    {
        {
            FaultyFs& fs = Get();
            std::lock_guard<std::mutex> lock(fs._m);
            if (fs.Hits(FaultPlan::kFstat, NameOf(fh)))
                return 5;  // EIO
        }
        return Lower().fstat64(ctx, fh, st);
    }

    static kivo_err_t Lseek64(void* ctx, intptr_t fh, int64_t offset, int whence, int64_t* result)
    {
        {
            FaultyFs& fs = Get();
            std::lock_guard<std::mutex> lock(fs._m);
            if (fs.Hits(FaultPlan::kSeek, NameOf(fh)))
                return 5;  // EIO
        }
        return Lower().lseek64(ctx, fh, offset, whence, result);
    }

    static kivo_err_t Stat64(void* ctx, const char* path, kivo_stat64_t* st)
    {
        {
            FaultyFs& fs = Get();
            std::lock_guard<std::mutex> lock(fs._m);
            if (fs.Hits(FaultPlan::kStat, Text(path)))
                return 5;  // EIO
        }
        return Lower().stat64(ctx, path, st);
    }

    static kivo_err_t Opendir(void* ctx, kivo_dir_handle_t* out, const char* path)
    {
        FaultyFs& fs = Get();
        {
            std::lock_guard<std::mutex> lock(fs._m);
            if (fs.Hits(FaultPlan::kOpendir, Text(path)))
                return 5;  // EIO
        }
        kivo_err_t e = Lower().opendir(ctx, out, path);
        std::lock_guard<std::mutex> lock(fs._m);
        if (e == 0)
            fs._dirs[out->stream] = Text(path);
        return e;
    }

    static kivo_err_t Closedir(void* ctx, kivo_dir_handle_t dir)
    {
        {
            FaultyFs& fs = Get();
            std::lock_guard<std::mutex> lock(fs._m);
            fs._dirs.erase(dir.stream);
        }
        return Lower().closedir(ctx, dir);
    }

    static kivo_dirent_t* Readdir(void* ctx, kivo_dir_handle_t dir, kivo_err_t* err)
    {
        {
            FaultyFs& fs = Get();
            std::lock_guard<std::mutex> lock(fs._m);
            auto it = fs._dirs.find(dir.stream);
            if (it != fs._dirs.end() && fs.Hits(FaultPlan::kReaddir, it->second)) {
                if (err)
                    *err = 5;  // EIO
                return nullptr;
            }
        }
        return Lower().readdir_ex(ctx, dir, err);
    }

    static kivo_err_t Unlink(void* ctx, const char* path)
    {
        FaultyFs& fs = Get();
        {
            std::lock_guard<std::mutex> lock(fs._m);
            if (fs.Hits(FaultPlan::kUnlink, Text(path)))
                return 30;  // EROFS
        }
        return Lower().unlink(ctx, path);
    }

    // How much of size may pass; -1: the call fails.
    static int64_t Allowance(intptr_t fh, bool write, size_t size)
    {
        FaultyFs& fs = Get();
        std::lock_guard<std::mutex> lock(fs._m);
        auto it = fs._passed.find(fh);
        if (it == fs._passed.end() || fs._plan.on_write != write || fs._plan.fault != FaultPlan::kData)
            return static_cast<int64_t>(size);
        int64_t left = fs._plan.after - it->second;
        if (left <= 0) {
            fs._passed.erase(it);
            ++fs._failed;
            return -1;
        }
        int64_t n = static_cast<int64_t>(size) < left ? static_cast<int64_t>(size) : left;
        it->second += n;
        return n;
    }

    static kivo_err_t Read(void* ctx, intptr_t fh, void* buffer, size_t size, ssize_t* done)
    {
        int64_t n = Allowance(fh, false, size);
        if (n < 0) {
            *done = -1;
            return 5;  // EIO
        }
        return Lower().read(ctx, fh, buffer, static_cast<size_t>(n), done);
    }

    static kivo_err_t Write(void* ctx, intptr_t fh, const void* buffer, size_t size, ssize_t* done)
    {
        int64_t n = Allowance(fh, true, size);
        if (n < 0) {
            *done = -1;
            return 28;  // ENOSPC
        }
        return Lower().write(ctx, fh, buffer, static_cast<size_t>(n), done);
    }

    static kivo_err_t Fsync(void* ctx, intptr_t fh)
    {
        {
            FaultyFs& fs = Get();
            std::lock_guard<std::mutex> lock(fs._m);
            if (fs._passed.count(fh) != 0) {
                if (fs._plan.fault == FaultPlan::kFsync) {
                    ++fs._failed;
                    return 28;  // ENOSPC
                }
                ++fs._flushes;
            }
        }
        return Lower().fsync(ctx, fh);
    }

    std::mutex _m;
    FaultPlan _plan;
    std::map<intptr_t, int64_t> _passed;
    std::map<void*, std::string> _dirs;      // every open directory's path
    int _flushes = 0;
    int64_t _calls = 0;
    int _failed = 0;
};

// One recorded report, as text: "<kind>:<value>" for "update_info",
// "<route>:<value>" for the other routes.
class Recorder {
public:
    std::vector<std::string> events;
    int32_t start_answer = 1;
    // Called on every event after it was recorded (Gui-like side effects).
    std::function<void(const std::string&)> on_event;

    void Connect(kivo::MsgRouter& r)
    {
        r.Connect("update_info", [this](kivo::Message& m) {
            _update_output_info info;
            std::string text = "?";
            if (kivo::var_trains::FromVar(m.value, &info))
                text = std::to_string(info.kind) + ":" + info.value.ToString();
            Add(text);
            m.Back();
        });
        r.Connect("update_start", [this](kivo::Message& m) {
            Add("update_start:" + m.value.ToString());
            m.Back(kivo::Var(start_answer));
        });
        r.Connect("normal_update_start", [this](kivo::Message& m) {
            Add("normal_update_start:" + m.value.ToString());
            m.Back();
        });
        r.Connect("update_end", [this](kivo::Message& m) { Add("update_end:" + m.value.ToString()); });
    }

    void Add(const std::string& e)
    {
        events.push_back(e);
        if (on_event)
            on_event(e);
    }

    bool Has(const std::string& e) const
    {
        for (const std::string& x : events) {
            if (x == e)
                return true;
        }
        return false;
    }

    size_t CountPrefix(const std::string& p) const
    {
        size_t n = 0;
        for (const std::string& x : events)
            n += x.compare(0, p.size(), p) == 0 ? 1 : 0;
        return n;
    }

    std::string Dump() const
    {
        std::string s;
        for (const std::string& x : events)
            s += "  " + x + "\n";
        return s;
    }
};

// The request Gui makes, over the sandbox.
inline _update_info_st DefaultRequest()
{
    _update_info_st info;
    info.zip_file = "/pkg/code.bin";
    info.unzip_dir = "/tmp/update";
    info.hw_version = "HW1";
    info.serial = "SN1";
    info.dir_map = {{"sys", "/opt/sys_disk"}, {"qspi", "/dev"}};
    info.pre_update_files = {"sys/update.elf"};
    return info;
}

class UpdateEnv : public ::testing::Test {
protected:
    UpdateEnv() : gui("update_test_gui", 1000), worker("SVC_UPDATE", 1000, kWorker) {}

    void SetUp() override
    {
        root = TempDir("qlx-upd");
        stage = TempDir("qlx-stage");
        ASSERT_FALSE(root.empty());
        ASSERT_FALSE(stage.empty());
        ASSERT_EQ(0, kivo_mount("/system", &platform_file_ops, (void*)root.c_str(), nullptr));
        for (const char* d : {"/pkg", "/tmp", "/opt/sys_disk", "/opt/app_disk", "/dev"})
            MakeDirs(root + d);
        gui.Start();
        receiver.reset(new kivo::MsgRouter);
        // Private paths are keyed by the router's name, else by its address:
        // a fixture's receiver may reuse the address of the one before, whose
        // dead entries would then refuse its connections (or take its
        // reports), so each gets a name of its own.
        static int fixtures = 0;
        receiver->SetName("update_test_recorder_" + std::to_string(++fixtures));
        rec.Connect(*receiver);
        kivo::ElemWrite("/update/force", kivo::Var(0));
        kivo::ElemWrite("/update/PreNeedReboot", kivo::Var(0));
    }

    void TearDown() override
    {
        receiver.reset();
        worker.Stop();
        gui.Stop();
        kivo_umount("/system");
        RemoveTree(root);
        RemoveTree(stage);
    }

    std::string Real(const std::string& rel) const { return root + rel; }
    void Board(const std::string& rel, const std::string& bytes) { WriteReal(root + rel, bytes); }
    std::string BoardBytes(const std::string& rel) const { return ReadReal(root + rel); }
    bool BoardHas(const std::string& rel) const { return RealExists(root + rel); }
    void Stage(const std::string& rel, const std::string& bytes) { WriteReal(stage + "/" + rel, bytes); }

    // Packs the stage into /pkg/code.bin. infos: the JSON object of
    // "info.ini" descriptions. Returns the packer's CRC-16 per "dir/file".
    std::map<std::string, int> Pack(const std::string& infos, const std::string& password = "",
                                    const std::string& corrupt = "")
    {
        std::map<std::string, int> crcs;
        std::string recipe_path = root + "/pkg/recipe.json";
        std::string recipe = "{\"stage\": \"" + stage + "\", \"out\": \"" + root + "/pkg/code.bin\", \"password\": \"" +
                           password + "\", \"corrupt\": \"" + corrupt + "\", \"infos\": " + infos + "}";
        WriteReal(recipe_path, recipe);
#ifdef QLX_PACKER
        const std::string packer = QLX_PACKER;
#else
        // Only right where the compiler saw this file by its absolute path
        // (a compiler cache may have made it relative to the build).
        std::string packer(__FILE__);
        packer = packer.substr(0, packer.rfind('/')) + "/update_pack.py";
#endif
        std::string cmd = "python3 '" + packer + "' '" + recipe_path + "'";
        FILE* p = popen(cmd.c_str(), "r");
        EXPECT_NE(nullptr, p);
        if (p == nullptr)
            return crcs;
        char line[512];
        while (fgets(line, sizeof line, p)) {
            char name[400];
            int crc = 0;
            if (sscanf(line, "%399s %d", name, &crc) == 2)
                crcs[name] = crc;
        }
        EXPECT_EQ(0, pclose(p)) << cmd;
        unlink(recipe_path.c_str());
        return crcs;
    }

    // One "update.run" as Gui posts it, with a new Update module in its
    // service (a module's rewrite flag lives as long as the module).
    int32_t Run(const _update_info_st& info, uint32_t timeout_ms = 60000)
    {
        rec.events.clear();
        Update* module = nullptr;
        kivo::Service::SendFunction(&worker, [&module](kivo::Message&) {
            module = new Update;
            module->Init();
        }, kivo::Message::Value());
        EXPECT_NE(nullptr, module);
        running = module;
        bool done = false;
        int32_t status = -1;
        EXPECT_TRUE(receiver->PostPath("update.run", kivo::Message::Value(kivo::Var(kivo::MakeHeapValue(info))),
                                       [&](kivo::Message& m) {
                                           status = m.value.ToInt32();
                                           done = true;
                                       }));
        uint32_t start = kivo_tick_ms();
        while (!done && kivo_tick_ms() - start < timeout_ms)
            gui.RunFor(20);
        EXPECT_TRUE(done) << "no answer to update.run";
        running = nullptr;
        kivo::Service::SendFunction(&worker, [module](kivo::Message&) { delete module; }, kivo::Message::Value());
        return status;
    }

    static constexpr kivo::Service::ThreadParam kWorker = {0, 0, "update", 1};

    std::string root;
    std::string stage;
    kivo::Service gui;
    kivo::Service worker;
    std::unique_ptr<kivo::MsgRouter> receiver;
    Recorder rec;
    // The module of the run in progress (Run), for the recorder's handlers.
    Update* running = nullptr;
};

}  // namespace update_test
