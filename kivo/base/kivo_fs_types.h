#pragma once

// Records and the operations table shared by the virtual file system
// (kivo_vfs) and the file systems it mounts (the native one is
// platform/linux/__platform_unistd).

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "kivo/base/kivo_types.h"

// An open directory, passed by value (four words).
typedef struct kivo_dir_handle_t {
    void* mount;         // mount record; filled and owned by the virtual layer
    void* stream;        // platform directory stream; null: not open
    uintptr_t reserved;  // stays zero
    void* entry;         // the entry buffer (kivo_dirent_t*) made at open
} kivo_dir_handle_t;

inline bool kivo_is_dir_handle_valid(const kivo_dir_handle_t& h)
{
    return h.stream != nullptr;
}

// One directory entry. `name` points into the platform's entry and stays
// valid until the next read or the close of that directory.
typedef struct kivo_dirent_t {
    const char* name;
} kivo_dirent_t;

// File status. The size of the narrow record saturates at 0xFFFFFFFF; use
// the 64-bit record for sizes.
typedef struct kivo_stat_t {
    uint32_t mode;
    uint32_t size;
    kivo_time_t atime;
    kivo_time_t mtime;
    kivo_time_t ctime;
} kivo_stat_t;

typedef struct kivo_stat64_t {
    uint32_t mode;
    int64_t size;
    kivo_time_t atime;
    kivo_time_t mtime;
    kivo_time_t ctime;
} kivo_stat64_t;

// Usage of a file system in bytes (block counts times the block size).
typedef struct kivo_statfs_t {
    uint64_t avail;  // available to unprivileged users
    uint64_t total;
    uint64_t free;
    uint64_t used;   // total minus avail
} kivo_statfs_t;

// Times for utime, handed to the system whole (its time_t is 64-bit on
// every target; a kernel without the 64-bit calls refuses what does not fit
// in 32 bits).
typedef struct kivo_utimbuf_t {
    kivo_time_t actime;
    kivo_time_t modtime;
} kivo_utimbuf_t;

// The operations of one file system. Every entry gets the file system's
// context first; any entry may be null (the virtual layer then answers 6).
// Results are kivo_err_t unless noted. Paths are what follows the mount path
// in the caller's path (the whole path for the default mount).
typedef struct kivo_fs_ops_t {
    // Makes the context from the two mount arguments; null refuses the mount.
    void* (*init)(void* arg1, void* arg2);
    // Called once with the context when the last reference to the mount goes.
    void (*deinit)(void* ctx);
    kivo_err_t (*mount)(void* ctx, const char* path, const char* device, const char* type);
    kivo_err_t (*umount)(void* ctx, const char* path);
    kivo_err_t (*statfs)(void* ctx, const char* path, kivo_statfs_t* usage);
    kivo_err_t (*mkfs)(void* ctx, const char* path, const char* device, const char* type);
    kivo_err_t (*opendir)(void* ctx, kivo_dir_handle_t* out, const char* path);
    kivo_err_t (*closedir)(void* ctx, kivo_dir_handle_t dir);
    kivo_dirent_t* (*readdir_ex)(void* ctx, kivo_dir_handle_t dir, kivo_err_t* err);
    kivo_err_t (*mkdir)(void* ctx, const char* path);
    kivo_err_t (*rmdir)(void* ctx, const char* path);
    kivo_err_t (*unlink)(void* ctx, const char* path);
    kivo_err_t (*rename)(void* ctx, const char* old_path, const char* new_path);
    kivo_err_t (*utime)(void* ctx, const char* path, const kivo_utimbuf_t* times);
    kivo_err_t (*open)(void* ctx, intptr_t* out, const char* path, int flags);
    kivo_err_t (*close)(void* ctx, intptr_t fh);
    kivo_err_t (*read)(void* ctx, intptr_t fh, void* buffer, size_t size, ssize_t* done);
    // No operation of this system uses this entry.
    kivo_err_t (*reserved)(void* ctx, intptr_t fh, uintptr_t arg1, uintptr_t arg2);
    kivo_err_t (*write)(void* ctx, intptr_t fh, const void* buffer, size_t size, ssize_t* done);
    kivo_err_t (*lseek)(void* ctx, intptr_t fh, off_t offset, int whence, off_t* result);
    kivo_err_t (*lseek64)(void* ctx, intptr_t fh, int64_t offset, int whence, int64_t* result);
    kivo_err_t (*stat)(void* ctx, const char* path, kivo_stat_t* st);
    kivo_err_t (*fstat)(void* ctx, intptr_t fh, kivo_stat_t* st);
    kivo_err_t (*stat64)(void* ctx, const char* path, kivo_stat64_t* st);
    kivo_err_t (*fstat64)(void* ctx, intptr_t fh, kivo_stat64_t* st);
    kivo_err_t (*ftruncate)(void* ctx, intptr_t fh, off_t length);
    kivo_err_t (*ftruncate64)(void* ctx, intptr_t fh, int64_t length);
    kivo_err_t (*fsync)(void* ctx, intptr_t fh);
} kivo_fs_ops_t;
