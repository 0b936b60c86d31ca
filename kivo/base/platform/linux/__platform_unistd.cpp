#include "kivo/base/platform/linux/__platform_unistd.h"

#include <assert.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include "kivo/base/platform/linux/__platform_kernel.h"

// The 64-bit calls are used throughout so that large files and the large
// inode numbers of big host file systems also work on the 32-bit device.
// Their records must carry 64-bit times as well: on the device a stat of a
// file dated after 2038-01-19 fails outright with 32-bit ones.
static_assert(sizeof(time_t) == 8, "build with 64-bit time_t (_TIME_BITS=64)");
static_assert(sizeof(off_t) == 8, "build with 64-bit off_t (_FILE_OFFSET_BITS=64)");
static_assert(sizeof(((struct stat64*)nullptr)->st_mtime) == 8, "stat64 must carry 64-bit times");

namespace {

// ---- path preparation

bool has_dotdot(const char* path)
{
    for (const char* p = path; *p;) {
        const char* end = strchr(p, '/');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if (n == 2 && p[0] == '.' && p[1] == '.')
            return true;
        if (!end)
            break;
        p = end + 1;
    }
    return false;
}

// Writes `path` read from the root, without "." and with ".." resolved
// lexically (never above the root), into `out` (room for strlen(path) + 2).
void normalise(const char* path, char* out)
{
    size_t len = 0;
    out[len++] = '/';
    for (const char* p = path; *p;) {
        const char* end = strchr(p, '/');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if (n == 2 && p[0] == '.' && p[1] == '.') {
            // Drop the last name; at the root ".." stays at the root.
            while (len > 1 && out[len - 1] != '/')
                --len;
            if (len > 1)
                --len;
        } else if (n > 0 && !(n == 1 && p[0] == '.')) {
            if (len > 1)
                out[len++] = '/';
            memcpy(out + len, p, n);
            len += n;
        }
        if (!end)
            break;
        p = end + 1;
    }
    // A trailing slash asks the system for a directory; keep it.
    size_t in_len = strlen(path);
    if (in_len > 0 && path[in_len - 1] == '/' && len > 1)
        out[len++] = '/';
    out[len] = '\0';
}

// The path handed to the system for one call: the given path, or the
// prefix followed by it. The joined string lives as long as this object.
class _NativePath {
public:
    _NativePath(void* ctx, const char* path) : _path(path), _joined(nullptr), _err(0)
    {
        if (!path) {
            _err = EINVAL;
            return;
        }
        const char* prefix = static_cast<const char*>(ctx);
        if (!prefix || !*prefix)
            return;
        size_t plen = strlen(prefix);
        size_t len = strlen(path);
        // prefix + '/' + path + NUL; normalising never makes a path longer
        // than '/' + path + '/'.
        _joined = static_cast<char*>(malloc(plen + len + 3));
        if (!_joined) {
            _err = ENOMEM;
            return;
        }
        memcpy(_joined, prefix, plen);
        char* rest = _joined + plen;
        if (has_dotdot(path)) {
            normalise(path, rest);
        } else {
            size_t at = 0;
            if (path[0] != '/')
                rest[at++] = '/';
            memcpy(rest + at, path, len + 1);
        }
        _path = _joined;
    }
    ~_NativePath() { free(_joined); }

    _NativePath(const _NativePath&) = delete;
    _NativePath& operator=(const _NativePath&) = delete;

    kivo_err_t error() const { return _err; }
    const char* c_str() const { return _path; }

private:
    const char* _path;
    char* _joined;
    kivo_err_t _err;
};

kivo_err_t result_of(int rc)
{
    return rc == 0 ? 0 : errno;
}

// The outcome of a call that returns a count or position (negative on a
// failure), which is also stored through `out` when it is given.
template <typename N, typename Out>
kivo_err_t counted_result(N n, Out* out)
{
    kivo_err_t err = n >= 0 ? 0 : errno;
    if (out)
        *out = n;
    return err;
}

// ---- shell

int default_system(const char* command)
{
    return system(command);
}

platform_system_fn s_system_fn = default_system;

// A bounded command line: appends text and quoted arguments, and remembers
// whether everything fitted.
class _Command {
public:
    _Command(char* buffer, size_t size) : _buf(buffer), _size(size), _len(0), _fits(true)
    {
        memset(_buf, 0, _size);
    }

    void Text(const char* text)
    {
        for (; *text; ++text)
            Put(*text);
    }

    // Between double quotes; the characters that keep a meaning there are
    // escaped so that the argument cannot end the quotes or expand.
    void Quoted(const char* arg)
    {
        Put('"');
        for (; *arg; ++arg) {
            if (*arg == '"' || *arg == '\\' || *arg == '$' || *arg == '`')
                Put('\\');
            Put(*arg);
        }
        Put('"');
    }

    bool Fits() const { return _fits; }
    const char* c_str() const { return _buf; }

private:
    void Put(char c)
    {
        if (_len + 1 >= _size) {
            _fits = false;
            return;
        }
        _buf[_len++] = c;
    }

    char* _buf;
    size_t _size;
    size_t _len;
    bool _fits;
};

kivo_err_t run_command(const _Command& cmd)
{
    if (!cmd.Fits())
        return -1;
    platform_system_fn fn = __atomic_load_n(&s_system_fn, __ATOMIC_ACQUIRE);
    int status = fn(cmd.c_str());
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// ---- records

void fill_stat(const struct stat64& s, kivo_stat_t* st)
{
    st->mode = s.st_mode;
    st->size = s.st_size > (off64_t)UINT32_MAX ? UINT32_MAX : (uint32_t)s.st_size;
    st->atime = kivo_time_from_sys(s.st_atime);
    st->mtime = kivo_time_from_sys(s.st_mtime);
    st->ctime = kivo_time_from_sys(s.st_ctime);
}

void fill_stat64(const struct stat64& s, kivo_stat64_t* st)
{
    st->mode = s.st_mode;
    st->size = s.st_size;
    st->atime = kivo_time_from_sys(s.st_atime);
    st->mtime = kivo_time_from_sys(s.st_mtime);
    st->ctime = kivo_time_from_sys(s.st_ctime);
}

// The record of an open file in the caller's form; a missing record is
// EINVAL.
template <typename Record>
kivo_err_t fstat_record(int fd, Record* st, void (*fill)(const struct stat64&, Record*))
{
    if (!st)
        return EINVAL;
    struct stat64 s;
    if (fstat64(fd, &s) != 0)
        return errno;
    fill(s, st);
    return 0;
}

}  // namespace

// ---- shell seam

platform_system_fn platform_set_system_fn(platform_system_fn fn)
{
    return __atomic_exchange_n(&s_system_fn, fn ? fn : default_system, __ATOMIC_ACQ_REL);
}

// ---- shell-backed operations

kivo_err_t platform_file_mkfs(void* ctx, const char* path, const char* device, const char* type)
{
    (void)ctx;
    (void)path;
    if (!device || !type)
        return EINVAL;
    char buffer[256];
    _Command cmd(buffer, sizeof buffer);
    cmd.Text("mkfs -t ");
    cmd.Quoted(type);
    cmd.Text(" ");
    cmd.Quoted(device);
    return run_command(cmd);
}

// mount, umount and statfs take the system's own paths: the root prefix is
// not applied (a caller resolves a path of the tree with
// platform_file_system_path first).
kivo_err_t platform_file_mount(void* ctx, const char* path, const char* device, const char* type)
{
    (void)ctx;
    if (!device || !path)
        return EINVAL;
    char buffer[512];
    _Command cmd(buffer, sizeof buffer);
    if (type && *type) {
        cmd.Text("mount -t ");
        cmd.Quoted(type);
        cmd.Text(" ");
    } else {
        cmd.Text("mount ");
    }
    cmd.Quoted(device);
    cmd.Text(" ");
    cmd.Quoted(path);
    return run_command(cmd);
}

kivo_err_t platform_file_umount(void* ctx, const char* path)
{
    (void)ctx;
    if (!path)
        return EINVAL;
    char buffer[256];
    _Command cmd(buffer, sizeof buffer);
    cmd.Text("umount ");
    cmd.Quoted(path);
    return run_command(cmd);
}

kivo_err_t platform_file_statfs(void* ctx, const char* path, kivo_statfs_t* usage)
{
    (void)ctx;
    if (!usage || !path)
        return EINVAL;
    struct statvfs64 s;
    if (statvfs64(path, &s) != 0)
        return errno;
    uint64_t unit = s.f_frsize ? s.f_frsize : s.f_bsize;
    usage->avail = (uint64_t)s.f_bavail * unit;
    usage->total = (uint64_t)s.f_blocks * unit;
    usage->free = (uint64_t)s.f_bfree * unit;
    usage->used = usage->total - usage->avail;
    return 0;
}

kivo_err_t platform_file_system_path(void* ctx, const char* path, char* out, size_t size)
{
    if (!out)
        return EINVAL;
    _NativePath p(ctx, path);
    if (p.error())
        return p.error();
    size_t len = strlen(p.c_str());
    if (len >= size)
        return ERANGE;
    memcpy(out, p.c_str(), len + 1);
    return 0;
}

// ---- directories

kivo_err_t platform_file_opendir(void* ctx, kivo_dir_handle_t* hdir_ret, const char* path)
{
    assert(hdir_ret);
    memset(hdir_ret, 0, sizeof *hdir_ret);
    _NativePath p(ctx, path);
    if (p.error())
        return p.error();
    DIR* stream = opendir(p.c_str());
    if (!stream)
        return errno;
    kivo_dirent_t* entry = static_cast<kivo_dirent_t*>(malloc(sizeof(kivo_dirent_t)));
    if (!entry) {
        closedir(stream);
        return ENOMEM;
    }
    entry->name = nullptr;
    hdir_ret->stream = stream;
    hdir_ret->entry = entry;
    return 0;
}

kivo_err_t platform_file_closedir(void* ctx, kivo_dir_handle_t hdir)
{
    (void)ctx;
    assert((kivo_is_dir_handle_valid(hdir)));
    free(hdir.entry);
    return result_of(closedir(static_cast<DIR*>(hdir.stream)));
}

kivo_dirent_t* platform_file_readdir_ex(void* ctx, kivo_dir_handle_t hdir, kivo_err_t* err)
{
    (void)ctx;
    assert((kivo_is_dir_handle_valid(hdir)));
    // readdir leaves errno alone at the end of the directory: clear it so
    // that the end reads as 0 and not as an earlier failure.
    errno = 0;
    struct dirent64* de = readdir64(static_cast<DIR*>(hdir.stream));
    if (!de) {
        if (err)
            *err = errno;
        return nullptr;
    }
    kivo_dirent_t* entry = static_cast<kivo_dirent_t*>(hdir.entry);
    entry->name = de->d_name;
    if (err)
        *err = 0;
    return entry;
}

// ---- paths

kivo_err_t platform_file_mkdir(void* ctx, const char* path)
{
    _NativePath p(ctx, path);
    if (p.error())
        return p.error();
    return result_of(mkdir(p.c_str(), 0777));
}

kivo_err_t platform_file_rmdir(void* ctx, const char* path)
{
    _NativePath p(ctx, path);
    if (p.error())
        return p.error();
    return result_of(rmdir(p.c_str()));
}

kivo_err_t platform_file_unlink(void* ctx, const char* path)
{
    _NativePath p(ctx, path);
    if (p.error())
        return p.error();
    return result_of(unlink(p.c_str()));
}

kivo_err_t platform_file_rename(void* ctx, const char* old_path, const char* new_path)
{
    _NativePath from(ctx, old_path);
    if (from.error())
        return from.error();
    _NativePath to(ctx, new_path);
    if (to.error())
        return to.error();
    return result_of(rename(from.c_str(), to.c_str()));
}

kivo_err_t platform_file_utime(void* ctx, const char* path, const kivo_utimbuf_t* times)
{
    if (!times)
        return EINVAL;
    _NativePath p(ctx, path);
    if (p.error())
        return p.error();
    struct utimbuf t;
    t.actime = kivo_time_to_sys(times->actime);
    t.modtime = kivo_time_to_sys(times->modtime);
    return result_of(utime(p.c_str(), &t));
}

namespace {

// One stat of a prefixed path, by the system call given (stat64 follows
// links, lstat64 does not).
kivo_err_t stat_path(void* ctx, const char* path, int (*call)(const char*, struct stat64*), struct stat64* s)
{
    _NativePath p(ctx, path);
    if (p.error())
        return p.error();
    if (call(p.c_str(), s) != 0)
        return errno;
    return 0;
}

// The record of a prefixed path in the caller's form (`fill` turns the
// system's record into it); a missing record is EINVAL.
template <typename Record>
kivo_err_t stat_record(void* ctx, const char* path, int (*call)(const char*, struct stat64*), Record* st,
                       void (*fill)(const struct stat64&, Record*))
{
    if (!st)
        return EINVAL;
    struct stat64 s;
    kivo_err_t err = stat_path(ctx, path, call, &s);
    if (err == 0)
        fill(s, st);
    return err;
}

}  // namespace

kivo_err_t platform_file_stat(void* ctx, const char* path, kivo_stat_t* st)
{
    return stat_record(ctx, path, &stat64, st, fill_stat);
}

kivo_err_t platform_file_stat64(void* ctx, const char* path, kivo_stat64_t* st)
{
    return stat_record(ctx, path, &stat64, st, fill_stat64);
}

kivo_err_t platform_file_lstat64(void* ctx, const char* path, kivo_stat64_t* st)
{
    return stat_record(ctx, path, &lstat64, st, fill_stat64);
}

kivo_err_t platform_file_identity(void* ctx, const char* path, uint64_t* device, uint64_t* inode)
{
    if (!device || !inode)
        return EINVAL;
    struct stat64 s;
    kivo_err_t err = stat_path(ctx, path, &stat64, &s);
    if (err == 0) {
        *device = (uint64_t)s.st_dev;
        *inode = (uint64_t)s.st_ino;
    }
    return err;
}

kivo_err_t platform_file_readlink(void* ctx, const char* path, char* out, size_t size, size_t* len)
{
    if (!out || !len || size == 0)
        return EINVAL;
    _NativePath p(ctx, path);
    if (p.error())
        return p.error();
    ssize_t n = readlink(p.c_str(), out, size);
    if (n < 0)
        return errno;
    // readlink does not end the text and says nothing of a cut one.
    if ((size_t)n >= size)
        return ERANGE;
    out[n] = 0;
    *len = (size_t)n;
    return 0;
}

kivo_err_t platform_file_take_owner_mode(void* ctx, intptr_t hfile, const char* from)
{
    struct stat64 s;
    kivo_err_t err = stat_path(ctx, from, &stat64, &s);
    if (err != 0)
        return err;
    const int fd = (int)hfile;
    // Without the right to give a file away, the group may still be ours
    // to set; a refusal of both leaves the process's own. Any other failure
    // (the medium's) would lose the owner: it is the result.
    if (fchown(fd, s.st_uid, s.st_gid) != 0) {
        if (errno != EPERM)
            return errno;
        if (fchown(fd, (uid_t)-1, s.st_gid) != 0 && errno != EPERM)
            return errno;
    }
    return result_of(fchmod(fd, s.st_mode & 07777));
}

// ---- files

kivo_err_t platform_file_open(void* ctx, intptr_t* hfile_ret, const char* path, int flags)
{
    assert(hfile_ret);
    *hfile_ret = -1;
    _NativePath p(ctx, path);
    if (p.error())
        return p.error();
    int fd = open64(p.c_str(), flags, 0666);
    *hfile_ret = fd;
    return fd >= 0 ? 0 : errno;
}

kivo_err_t platform_file_close(void* ctx, intptr_t hfile)
{
    (void)ctx;
    assert(hfile >= 0);
    return result_of(close((int)hfile));
}

kivo_err_t platform_file_read(void* ctx, intptr_t hfile, void* buffer, size_t size, ssize_t* done)
{
    (void)ctx;
    assert(hfile >= 0);
    return counted_result(read((int)hfile, buffer, size), done);
}

kivo_err_t platform_file_write(void* ctx, intptr_t hfile, const void* buffer, size_t size,
                               ssize_t* done)
{
    (void)ctx;
    assert(hfile >= 0);
    return counted_result(write((int)hfile, buffer, size), done);
}

kivo_err_t platform_file_lseek(void* ctx, intptr_t hfile, off_t offset, int whence, off_t* result)
{
    (void)ctx;
    assert(hfile >= 0);
    return counted_result(lseek((int)hfile, offset, whence), result);
}

kivo_err_t platform_file_lseek64(void* ctx, intptr_t hfile, int64_t offset, int whence,
                                 int64_t* result)
{
    (void)ctx;
    assert(hfile >= 0);
    return counted_result(lseek64((int)hfile, (off64_t)offset, whence), result);
}

kivo_err_t platform_file_fstat(void* ctx, intptr_t hfile, kivo_stat_t* st)
{
    (void)ctx;
    assert(hfile >= 0);
    return fstat_record((int)hfile, st, fill_stat);
}

kivo_err_t platform_file_fstat64(void* ctx, intptr_t hfile, kivo_stat64_t* st)
{
    (void)ctx;
    assert(hfile >= 0);
    return fstat_record((int)hfile, st, fill_stat64);
}

kivo_err_t platform_file_ftruncate(void* ctx, intptr_t hfile, off_t length)
{
    (void)ctx;
    assert(hfile >= 0);
    return result_of(ftruncate((int)hfile, length));
}

kivo_err_t platform_file_ftruncate64(void* ctx, intptr_t hfile, int64_t length)
{
    (void)ctx;
    assert(hfile >= 0);
    return result_of(ftruncate64((int)hfile, (off64_t)length));
}

kivo_err_t platform_file_fsync(void* ctx, intptr_t hfile)
{
    (void)ctx;
    assert(hfile >= 0);
    return result_of(fsync((int)hfile));
}

// ---- the table, in the order of kivo_fs_ops_t

const kivo_fs_ops_t platform_file_ops = {
    nullptr,  // init: the mount's first argument is the root prefix
    nullptr,  // deinit
    platform_file_mount,
    platform_file_umount,
    platform_file_statfs,
    platform_file_mkfs,
    platform_file_opendir,
    platform_file_closedir,
    platform_file_readdir_ex,
    platform_file_mkdir,
    platform_file_rmdir,
    platform_file_unlink,
    platform_file_rename,
    platform_file_utime,
    platform_file_open,
    platform_file_close,
    platform_file_read,
    nullptr,  // reserved
    platform_file_write,
    platform_file_lseek,
    platform_file_lseek64,
    platform_file_stat,
    platform_file_fstat,
    platform_file_stat64,
    platform_file_fstat64,
    platform_file_ftruncate,
    platform_file_ftruncate64,
    platform_file_fsync,
};

// ---- process functions

kivo_err_t kivo_getcwd(char* buffer, size_t size)
{
    // getcwd(NULL, ...) would allocate a buffer nobody frees.
    if (!buffer)
        return EINVAL;
    return getcwd(buffer, size) ? 0 : errno;
}

kivo_err_t kivo_chdir(const char* path)
{
    if (!path)
        return EINVAL;
    return result_of(chdir(path));
}

int32_t kivo_get_exe_path(char* buffer, int size)
{
    if (!buffer || size <= 0)
        return -1;
    ssize_t n = readlink("/proc/self/exe", buffer, (size_t)size);
    if (n < 0 || n >= size) {
        buffer[0] = '\0';
        return -1;
    }
    buffer[n] = '\0';
    return 0;
}
