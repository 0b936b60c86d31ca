#pragma once

// The virtual file system: every file and directory access of the framework.
// A path is resolved by prefix to a mounted file system whose operations
// table (kivo_fs_ops_t) does the work; open files are handles of the handle
// table (kivo_handle.h).
//
// Mounts. Ten entries claim paths by prefix: a mount at "/sd" serves "/sd",
// "/sd/a.txt" and "\sd\a.txt" (either separator in the first position and
// after the mount path) and hands the operation the rest ("", "/a.txt",
// "\a.txt"); the first matching entry in table order wins. Every other path
// goes, whole, to the "/system" entry, or to the built-in default when that
// is empty: the native file system without a root prefix. Mounting
// "/system" with the native table and a root prefix therefore moves the
// default tree under that prefix (see __platform_unistd.h).
//
// Results: 0, 22 for a null argument that is needed, 6 when no usable file
// system serves the path or handle (operation missing, mount removed, stale
// or unknown handle, rename across mounts, handle table full on open), 5 and
// 14 from kivo_mount/kivo_umount, otherwise the file system's own result.
// Nothing is printed.
//
// Mount records are shared by reference count: each resolution, open file and
// open directory holds one. kivo_umount only takes a record out of the table
// and marks it invalid: operations on its open files then give 6, while close
// still reaches the file system. The record and its context go (deinit) with
// the last reference. File-system operations run outside the kernel lock.

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "kivo/base/kivo_fs_types.h"
#include "kivo/base/kivo_types.h"

#define KIVO_MOUNT_MAX 10
// Longest mount path (without the terminator).
#define KIVO_MOUNT_PATH_MAX 47

// File handles: -1 is the invalid value, a valid one is 0 or greater.
#define kivo_file_handle_invalid (-1)
inline bool kivo_file_handle_is_valid(int32_t handle)
{
    return handle >= 0;
}

// Open flags of kivo_file_create: write-only, create, truncate.
#define KIVO_FILE_CREATE_FLAGS 577

// ---- mounts

// Mounts `ops` at `path` (at most 47 characters, beginning with '/' or
// '\'). The context is ops->init(arg1, arg2), or arg1 when the table has no
// init. 22: null path or ops; 5: bad path, no memory or init refused; 14:
// all ten entries taken. "/system" replaces the "/system" entry (the one it
// replaces is released); the same other path may be mounted twice.
kivo_err_t kivo_mount(const char* path, const kivo_fs_ops_t* ops, void* arg1, void* arg2);
// Removes the entry mounted at exactly `path` ("/system": the built-in
// default serves again) and marks it invalid. 22: null; 14: nothing there.
kivo_err_t kivo_umount(const char* path);
// The context of the entry at exactly `path` ("/system": of the "/system"
// entry or the built-in default, i.e. null); null when none.
void* kivo_mount_context(const char* path);

// ---- files

// On success writes the handle; on failure leaves *handle untouched.
kivo_err_t kivo_file_open(int32_t* handle, const char* path, int flags);
kivo_err_t kivo_file_create(int32_t* handle, const char* path);
// Frees the handle and closes the file, also on a removed mount.
kivo_err_t kivo_file_close(int32_t handle);
kivo_err_t kivo_file_read(int32_t handle, void* buffer, size_t size, ssize_t* done);
// Forwards the table's reserved entry (empty in the native table: 6).
kivo_err_t kivo_file_reserved(int32_t handle, uintptr_t arg1, uintptr_t arg2);
kivo_err_t kivo_file_write(int32_t handle, const void* buffer, size_t size, ssize_t* done);
kivo_err_t kivo_file_lseek(int32_t handle, off_t offset, int whence, off_t* result);
kivo_err_t kivo_file_lseek64(int32_t handle, int64_t offset, int whence, int64_t* result);
kivo_err_t kivo_file_fstat(int32_t handle, kivo_stat_t* st);
kivo_err_t kivo_file_fstat64(int32_t handle, kivo_stat64_t* st);
kivo_err_t kivo_file_ftruncate(int32_t handle, off_t length);
kivo_err_t kivo_file_ftruncate64(int32_t handle, int64_t length);
kivo_err_t kivo_file_fsync(int32_t handle);
// The file system's context and handle of an open file (each written when
// its pointer is not null), or 6.
kivo_err_t kivo_file_native_handle(int32_t handle, void** context, intptr_t* fs_handle);

// ---- paths

kivo_err_t kivo_file_mkdir(const char* path);
kivo_err_t kivo_file_rmdir(const char* path);
kivo_err_t kivo_file_unlink(const char* path);
// Both paths must resolve to the same mount (else 6).
kivo_err_t kivo_file_rename(const char* old_path, const char* new_path);
kivo_err_t kivo_file_utime(const char* path, const kivo_utimbuf_t* times);
kivo_err_t kivo_file_stat(const char* path, kivo_stat_t* st);
kivo_err_t kivo_file_stat64(const char* path, kivo_stat64_t* st);
// As kivo_file_stat64, but a symbolic link of the native file system is
// described itself (so that walks and removals can tell a link from the
// directory it points to). Other file systems have no links: their stat64.
kivo_err_t kivo_file_lstat64(const char* path, kivo_stat64_t* st);
// Device and inode of what the path names on the native file system, links
// followed, so that a walk can tell a directory it already entered. Other
// file systems have no links and give 6.
kivo_err_t kivo_file_identity(const char* path, uint64_t* device, uint64_t* inode);
// The stored text of the symbolic link `path` of the native file system into
// `out` (size bytes with the terminator), its length through *len; 34 when it
// does not fit, 22 when `path` is no link. Other file systems have no links:
// 6.
kivo_err_t kivo_file_readlink(const char* path, char* out, size_t size, size_t* len);
// Gives the open file `handle` the permission bits of `from`, and its owner
// and group as far as the process may. Both must be of the native file
// system (else 6: the other file systems keep no modes).
kivo_err_t kivo_file_take_owner_mode(int32_t handle, const char* from);
// statfs, mkfs, mount and umount hand the native file system its path as
// the system's own (no root prefix); a path of the tree is resolved with
// kivo_file_system_path first.
kivo_err_t kivo_statfs(const char* path, kivo_statfs_t* usage);
kivo_err_t kivo_mkfs(const char* path, const char* device, const char* type);
kivo_err_t kivo_file_mount(const char* path, const char* device, const char* type);
kivo_err_t kivo_file_umount(const char* path);
// The system path behind `path` when the native file system serves it (its
// mount's root prefix applied), into `out` of `size` bytes. 22: null
// argument; 6: another file system serves it; 34: it does not fit.
kivo_err_t kivo_file_system_path(const char* path, char* out, size_t size);

// ---- directories

// On success *dir holds the stream and a reference to its mount; on failure
// it is zeroed (closedir of it gives 6).
kivo_err_t kivo_file_opendir(kivo_dir_handle_t* dir, const char* path);
// Close each opened handle once: the handle is a value and cannot be
// cleared here.
kivo_err_t kivo_file_closedir(kivo_dir_handle_t dir);
// The next entry, or null with *err (when given) 0 at the end, the file
// system's error, or 6 when no file system serves the handle.
kivo_dirent_t* kivo_file_readdir(kivo_dir_handle_t dir, kivo_err_t* err);
