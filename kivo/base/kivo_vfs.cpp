#include "kivo/base/kivo_vfs.h"

#include <errno.h>
#include <string.h>

#include "kivo/base/kivo_handle.h"
#include "kivo/base/kivo_pool.h"
#include "kivo/base/platform/linux/__platform_atomic.h"
#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/base/platform/linux/__platform_unistd.h"

namespace {

const kivo_err_t kNoFs = 6;         // ENXIO: no usable file system
const kivo_err_t kMountFailed = 5;  // EIO: the record could not be made
const kivo_err_t kTableFull = 14;   // the mount table is full / nothing mounted

struct _MountRec {
    volatile int32_t refs;  // atomic
    int32_t valid;          // atomic: 1 while mounted
    char path[KIVO_MOUNT_PATH_MAX + 1];
    int32_t path_len;
    const kivo_fs_ops_t* ops;
    void* ctx;
};

// Never released below its own first reference, so never freed.
_MountRec s_default = {1, 1, "/system", 7, &platform_file_ops, nullptr};

// Under the kernel lock.
_MountRec* s_mounts[KIVO_MOUNT_MAX];
_MountRec* s_system;

// The third payload word of a file handle: the table is shared with other
// kinds of handles, whose payload must never be read as a mount record.
const uintptr_t kFileTag = 0x4B46494Cu;

bool is_sep(char c)
{
    return c == '/' || c == '\\';
}

bool rec_valid(_MountRec* rec)
{
    return __atomic_load_n(&rec->valid, __ATOMIC_ACQUIRE) != 0;
}

void rec_retain(_MountRec* rec)
{
    kivo_atomic_fetch_add(&rec->refs, 1);
}

void rec_release(_MountRec* rec)
{
    if (kivo_atomic_fetch_add(&rec->refs, -1) != 1)
        return;
    if (rec->ops->deinit)
        rec->ops->deinit(rec->ctx);
    kivo_align_free(rec);
}

class _KernelLock {
public:
    _KernelLock() : _token(kivo_kernel_lock()) {}
    ~_KernelLock() { kivo_kernel_unlock(_token); }

    _KernelLock(const _KernelLock&) = delete;
    _KernelLock& operator=(const _KernelLock&) = delete;

private:
    int32_t _token;
};

// The mount serving `path`, with a reference for the caller; *rest is what
// the file system is given. Never null.
_MountRec* mount_lookup(const char* path, const char** rest)
{
    _KernelLock lock;
    if (is_sep(path[0])) {
        for (_MountRec* rec : s_mounts) {
            if (!rec)
                continue;
            int32_t len = rec->path_len;
            if (strncmp(path + 1, rec->path + 1, (size_t)len - 1) != 0)
                continue;
            char end = path[len];
            if (end != '\0' && !is_sep(end))
                continue;
            rec_retain(rec);
            *rest = path + len;
            return rec;
        }
    }
    _MountRec* rec = s_system ? s_system : &s_default;
    rec_retain(rec);
    *rest = path;
    return rec;
}

// Holds a resolution's reference for one operation.
class _Resolved {
public:
    explicit _Resolved(const char* path) : _rec(mount_lookup(path, &_rest)) {}
    ~_Resolved()
    {
        if (_rec)
            rec_release(_rec);
    }

    _Resolved(const _Resolved&) = delete;
    _Resolved& operator=(const _Resolved&) = delete;

    _MountRec* rec() const { return _rec; }
    const char* rest() const { return _rest; }
    const kivo_fs_ops_t* ops() const { return _rec->ops; }
    void* ctx() const { return _rec->ctx; }
    bool valid() const { return rec_valid(_rec); }
    // Hands the reference over (to a handle).
    _MountRec* take()
    {
        _MountRec* rec = _rec;
        _rec = nullptr;
        return rec;
    }

private:
    const char* _rest;
    _MountRec* _rec;
};

// An open file's mount and file-system handle, with a reference on the
// mount for the duration of one call: a close on another thread cannot free
// the record under the call.
class _OpenFile {
public:
    explicit _OpenFile(int32_t handle) : _rec(nullptr), _fh(-1)
    {
        _KernelLock lock;
        kivo_handle_payload_t p;
        if (kivo_handle_get(handle, &p) != 1 || p.word[2] != kFileTag || !p.word[1])
            return;
        _rec = reinterpret_cast<_MountRec*>(p.word[1]);
        _fh = (intptr_t)p.word[0];
        rec_retain(_rec);
    }
    ~_OpenFile()
    {
        if (_rec)
            rec_release(_rec);
    }

    _OpenFile(const _OpenFile&) = delete;
    _OpenFile& operator=(const _OpenFile&) = delete;

    // The operations table when the file's mount still serves, else null.
    const kivo_fs_ops_t* ops() const { return _rec && rec_valid(_rec) ? _rec->ops : nullptr; }
    _MountRec* rec() const { return _rec; }
    void* ctx() const { return _rec->ctx; }
    intptr_t fh() const { return _fh; }

private:
    _MountRec* _rec;
    intptr_t _fh;
};

}  // namespace

// ---- mounts

kivo_err_t kivo_mount(const char* path, const kivo_fs_ops_t* ops, void* arg1, void* arg2)
{
    if (!path || !ops)
        return EINVAL;
    size_t len = strnlen(path, KIVO_MOUNT_PATH_MAX + 1);
    if (len == 0 || len > KIVO_MOUNT_PATH_MAX || !is_sep(path[0]))
        return kMountFailed;
    _MountRec* rec = static_cast<_MountRec*>(kivo_align_alloc(sizeof(_MountRec), 8));
    if (!rec)
        return kMountFailed;
    void* ctx = arg1;
    if (ops->init) {
        ctx = ops->init(arg1, arg2);
        if (!ctx) {
            kivo_align_free(rec);
            return kMountFailed;
        }
    }
    rec->refs = 1;
    rec->valid = 1;
    memcpy(rec->path, path, len + 1);
    rec->path_len = (int32_t)len;
    rec->ops = ops;
    rec->ctx = ctx;

    _MountRec* replaced = nullptr;
    bool placed = false;
    {
        _KernelLock lock;
        if (strcmp(path, "/system") == 0) {
            replaced = s_system;
            s_system = rec;
            placed = true;
        } else {
            for (_MountRec*& entry : s_mounts) {
                if (!entry) {
                    entry = rec;
                    placed = true;
                    break;
                }
            }
        }
    }
    if (!placed) {
        rec_release(rec);
        return kTableFull;
    }
    if (replaced)
        rec_release(replaced);
    return 0;
}

kivo_err_t kivo_umount(const char* path)
{
    if (!path)
        return EINVAL;
    _MountRec* removed = nullptr;
    {
        _KernelLock lock;
        if (strcmp(path, "/system") == 0) {
            removed = s_system;
            s_system = nullptr;
        } else {
            for (_MountRec*& entry : s_mounts) {
                if (entry && strcmp(entry->path, path) == 0) {
                    removed = entry;
                    entry = nullptr;
                    break;
                }
            }
        }
        if (removed)
            __atomic_store_n(&removed->valid, 0, __ATOMIC_RELEASE);
    }
    if (!removed)
        return kTableFull;
    rec_release(removed);
    return 0;
}

void* kivo_mount_context(const char* path)
{
    if (!path)
        return nullptr;
    _KernelLock lock;
    if (strcmp(path, "/system") == 0)
        return s_system ? s_system->ctx : s_default.ctx;
    for (_MountRec* entry : s_mounts) {
        if (entry && strcmp(entry->path, path) == 0)
            return entry->ctx;
    }
    return nullptr;
}

// ---- files

kivo_err_t kivo_file_open(int32_t* handle, const char* path, int flags)
{
    if (!handle || !path)
        return EINVAL;
    _Resolved r(path);
    int32_t h = kivo_handle_alloc(nullptr);
    if (h < 0 || !r.valid() || !r.ops()->open) {
        kivo_handle_free(h, nullptr);
        return kNoFs;
    }
    intptr_t fh = -1;
    kivo_err_t err = r.ops()->open(r.ctx(), &fh, r.rest(), flags);
    if (err != 0) {
        kivo_handle_free(h, nullptr);
        return err;
    }
    kivo_handle_payload_t p;
    p.word[0] = (uintptr_t)fh;
    p.word[1] = reinterpret_cast<uintptr_t>(r.take());
    p.word[2] = kFileTag;
    kivo_handle_set(h, &p, nullptr);
    *handle = h;
    return 0;
}

kivo_err_t kivo_file_create(int32_t* handle, const char* path)
{
    return kivo_file_open(handle, path, KIVO_FILE_CREATE_FLAGS);
}

kivo_err_t kivo_file_close(int32_t handle)
{
    kivo_handle_payload_t p;
    {
        // Only file handles are freed here; the lock keeps the check and the
        // free one step.
        _KernelLock lock;
        if (kivo_handle_get(handle, &p) != 1 || p.word[2] != kFileTag || !p.word[1])
            return kNoFs;
        kivo_handle_free(handle, nullptr);
    }
    _MountRec* rec = reinterpret_cast<_MountRec*>(p.word[1]);
    kivo_err_t err = 0;
    if (rec->ops->close)
        err = rec->ops->close(rec->ctx, (intptr_t)p.word[0]);
    rec_release(rec);
    return err;
}

// A call on an open file: the table entry, then its arguments after the
// context and the file-system handle.
namespace {

template <typename Fn, typename... Args>
kivo_err_t file_call(int32_t handle, Fn kivo_fs_ops_t::*entry, Args... args)
{
    _OpenFile f(handle);
    const kivo_fs_ops_t* ops = f.ops();
    if (!ops || !(ops->*entry))
        return kNoFs;
    return (ops->*entry)(f.ctx(), f.fh(), args...);
}

}  // namespace

kivo_err_t kivo_file_read(int32_t handle, void* buffer, size_t size, ssize_t* done)
{
    return file_call(handle, &kivo_fs_ops_t::read, buffer, size, done);
}

kivo_err_t kivo_file_reserved(int32_t handle, uintptr_t arg1, uintptr_t arg2)
{
    return file_call(handle, &kivo_fs_ops_t::reserved, arg1, arg2);
}

kivo_err_t kivo_file_write(int32_t handle, const void* buffer, size_t size, ssize_t* done)
{
    return file_call(handle, &kivo_fs_ops_t::write, buffer, size, done);
}

kivo_err_t kivo_file_lseek(int32_t handle, off_t offset, int whence, off_t* result)
{
    return file_call(handle, &kivo_fs_ops_t::lseek, offset, whence, result);
}

kivo_err_t kivo_file_lseek64(int32_t handle, int64_t offset, int whence, int64_t* result)
{
    return file_call(handle, &kivo_fs_ops_t::lseek64, offset, whence, result);
}

kivo_err_t kivo_file_fstat(int32_t handle, kivo_stat_t* st)
{
    return file_call(handle, &kivo_fs_ops_t::fstat, st);
}

kivo_err_t kivo_file_fstat64(int32_t handle, kivo_stat64_t* st)
{
    return file_call(handle, &kivo_fs_ops_t::fstat64, st);
}

kivo_err_t kivo_file_ftruncate(int32_t handle, off_t length)
{
    return file_call(handle, &kivo_fs_ops_t::ftruncate, length);
}

kivo_err_t kivo_file_ftruncate64(int32_t handle, int64_t length)
{
    return file_call(handle, &kivo_fs_ops_t::ftruncate64, length);
}

kivo_err_t kivo_file_fsync(int32_t handle)
{
    return file_call(handle, &kivo_fs_ops_t::fsync);
}

kivo_err_t kivo_file_native_handle(int32_t handle, void** context, intptr_t* fs_handle)
{
    _OpenFile f(handle);
    if (!f.rec())
        return kNoFs;
    if (context)
        *context = f.ctx();
    if (fs_handle)
        *fs_handle = f.fh();
    return 0;
}

// ---- paths

// A path operation: resolve, call the entry with the rest, release.
namespace {

template <typename Fn, typename... Args>
kivo_err_t path_call(const char* path, Fn kivo_fs_ops_t::*entry, Args... args)
{
    if (!path)
        return EINVAL;
    _Resolved r(path);
    if (!r.valid() || !(r.ops()->*entry))
        return kNoFs;
    return (r.ops()->*entry)(r.ctx(), r.rest(), args...);
}

}  // namespace

kivo_err_t kivo_file_mkdir(const char* path)
{
    return path_call(path, &kivo_fs_ops_t::mkdir);
}

kivo_err_t kivo_file_rmdir(const char* path)
{
    return path_call(path, &kivo_fs_ops_t::rmdir);
}

kivo_err_t kivo_file_unlink(const char* path)
{
    return path_call(path, &kivo_fs_ops_t::unlink);
}

kivo_err_t kivo_file_utime(const char* path, const kivo_utimbuf_t* times)
{
    return path_call(path, &kivo_fs_ops_t::utime, times);
}

kivo_err_t kivo_file_stat(const char* path, kivo_stat_t* st)
{
    return path_call(path, &kivo_fs_ops_t::stat, st);
}

kivo_err_t kivo_file_stat64(const char* path, kivo_stat64_t* st)
{
    return path_call(path, &kivo_fs_ops_t::stat64, st);
}

kivo_err_t kivo_file_lstat64(const char* path, kivo_stat64_t* st)
{
    if (!path)
        return EINVAL;
    _Resolved r(path);
    if (!r.valid())
        return kNoFs;
    if (r.ops() == &platform_file_ops)
        return platform_file_lstat64(r.ctx(), r.rest(), st);
    if (!r.ops()->stat64)
        return kNoFs;
    return r.ops()->stat64(r.ctx(), r.rest(), st);
}

kivo_err_t kivo_file_identity(const char* path, uint64_t* device, uint64_t* inode)
{
    if (!path)
        return EINVAL;
    _Resolved r(path);
    if (!r.valid() || r.ops() != &platform_file_ops)
        return kNoFs;
    return platform_file_identity(r.ctx(), r.rest(), device, inode);
}

kivo_err_t kivo_file_readlink(const char* path, char* out, size_t size, size_t* len)
{
    if (!path)
        return EINVAL;
    _Resolved r(path);
    if (!r.valid() || r.ops() != &platform_file_ops)
        return kNoFs;
    return platform_file_readlink(r.ctx(), r.rest(), out, size, len);
}

kivo_err_t kivo_file_take_owner_mode(int32_t handle, const char* from)
{
    if (!from)
        return EINVAL;
    _OpenFile f(handle);
    _Resolved r(from);
    if (f.ops() != &platform_file_ops || !r.valid() || r.ops() != &platform_file_ops)
        return kNoFs;
    return platform_file_take_owner_mode(r.ctx(), f.fh(), r.rest());
}

kivo_err_t kivo_statfs(const char* path, kivo_statfs_t* usage)
{
    return path_call(path, &kivo_fs_ops_t::statfs, usage);
}

kivo_err_t kivo_mkfs(const char* path, const char* device, const char* type)
{
    return path_call(path, &kivo_fs_ops_t::mkfs, device, type);
}

kivo_err_t kivo_file_mount(const char* path, const char* device, const char* type)
{
    return path_call(path, &kivo_fs_ops_t::mount, device, type);
}

kivo_err_t kivo_file_umount(const char* path)
{
    return path_call(path, &kivo_fs_ops_t::umount);
}

kivo_err_t kivo_file_system_path(const char* path, char* out, size_t size)
{
    if (!path || !out)
        return EINVAL;
    _Resolved r(path);
    if (!r.valid() || r.ops() != &platform_file_ops)
        return kNoFs;
    return platform_file_system_path(r.ctx(), r.rest(), out, size);
}

kivo_err_t kivo_file_rename(const char* old_path, const char* new_path)
{
    if (!old_path || !new_path)
        return EINVAL;
    _Resolved from(old_path);
    _Resolved to(new_path);
    if (from.rec() != to.rec() || !from.valid() || !from.ops()->rename)
        return kNoFs;
    return from.ops()->rename(from.ctx(), from.rest(), to.rest());
}

// ---- directories

kivo_err_t kivo_file_opendir(kivo_dir_handle_t* dir, const char* path)
{
    if (!dir || !path)
        return EINVAL;
    memset(dir, 0, sizeof *dir);
    _Resolved r(path);
    if (!r.valid() || !r.ops()->opendir)
        return kNoFs;
    kivo_err_t err = r.ops()->opendir(r.ctx(), dir, r.rest());
    if (err != 0) {
        memset(dir, 0, sizeof *dir);
        return err;
    }
    dir->mount = r.take();
    return 0;
}

kivo_err_t kivo_file_closedir(kivo_dir_handle_t dir)
{
    _MountRec* rec = static_cast<_MountRec*>(dir.mount);
    if (!rec)
        return kNoFs;
    kivo_err_t err = 0;
    if (rec->ops->closedir)
        err = rec->ops->closedir(rec->ctx, dir);
    rec_release(rec);
    return err;
}

kivo_dirent_t* kivo_file_readdir(kivo_dir_handle_t dir, kivo_err_t* err)
{
    _MountRec* rec = static_cast<_MountRec*>(dir.mount);
    kivo_err_t e = kNoFs;
    kivo_dirent_t* entry = nullptr;
    if (rec && rec_valid(rec) && rec->ops->readdir_ex)
        entry = rec->ops->readdir_ex(rec->ctx, dir, &e);
    if (err)
        *err = e;
    return entry;
}
