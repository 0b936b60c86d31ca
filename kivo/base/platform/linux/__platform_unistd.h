#pragma once

// The native Linux file system: thin functions over the system's file and
// directory calls, file-system creation and mounting through shell commands,
// and the process functions (working directory, executable path).
//
// Root prefix. The context of these functions is an optional root prefix
// (`const char*`; null or "" means none). With a prefix every path handed to
// the system by the file and directory calls (not mkfs, mount, umount and
// statfs) is the prefix followed by the given path, so that a mount of
// this table with a prefix is a directory tree of its own, e.g. a sandbox:
//
//     kivo_mount("/system", &platform_file_ops, (void*)root, nullptr);
//
// makes `root` the root of every path that no other mount claims (the
// built-in default uses no prefix). The table has no init, so the string is
// not copied: it must stay alive while mounted. Under a prefix a path cannot
// leave the prefix: ".." never climbs above it, and a path that does not
// begin with '/' is taken from the prefix, not glued to its last name.
// Device arguments of mkfs and mount are passed as given.
//
// Results: 0, or the thread's errno (22 for a null argument that the call
// needs, 12 when a path could not be prepared). The shell-backed calls return
// the command's exit status (0-255), or -1 when it was not run or did not end
// normally. Records are filled only on success.
//
// Descriptors and directory handles are asserted: a negative descriptor
// ("hfile >= 0"), null out-pointers of open and opendir ("hfile_ret",
// "hdir_ret") and directory handles without a stream stop the program.

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "kivo/base/kivo_fs_types.h"
#include "kivo/base/kivo_types.h"

// The native operations table (init, deinit and the reserved entry empty).
extern const kivo_fs_ops_t platform_file_ops;

// ---- shell seam
// The command interpreter of mkfs, mount and umount: a function with the
// contract of system(3) (returns -1 or a wait status). Null restores
// system(3). Returns the function that was in place. Tests and sandboxes put
// a recorder here so that no real mount or mkfs ever runs.
typedef int (*platform_system_fn)(const char* command);
platform_system_fn platform_set_system_fn(platform_system_fn fn);

// ---- shell-backed operations
// Commands (arguments between double quotes; '"', '\\', '$' and '`' in them
// are escaped with a backslash so that they stay one argument):
//   mkfs -t "<type>" "<device>"                 (at most 255 characters)
//   mount -t "<type>" "<device>" "<path>"       (type given and not empty)
//   mount "<device>" "<path>"                   (at most 511 characters)
//   umount "<path>"                             (at most 255 characters)
// A command that would not fit is not run (-1). Null device, type of mkfs or
// path: 22. The path of mkfs is not used.
kivo_err_t platform_file_mkfs(void* ctx, const char* path, const char* device, const char* type);
kivo_err_t platform_file_mount(void* ctx, const char* path, const char* device, const char* type);
kivo_err_t platform_file_umount(void* ctx, const char* path);

// Usage of the file system holding `path`; null usage: 22.
kivo_err_t platform_file_statfs(void* ctx, const char* path, kivo_statfs_t* usage);

// mkfs, mount, umount and statfs take the system's own paths: the root
// prefix is not applied to them. This gives the path that the other calls
// hand to the system for `path` (prefix applied, kept inside it), into `out`
// of `size` bytes: 0, 22 for a null path or buffer, 34 when it does not fit.
kivo_err_t platform_file_system_path(void* ctx, const char* path, char* out, size_t size);

// ---- directories
// opendir zeroes *hdir_ret, opens the stream and makes the entry buffer.
kivo_err_t platform_file_opendir(void* ctx, kivo_dir_handle_t* hdir_ret, const char* path);
kivo_err_t platform_file_closedir(void* ctx, kivo_dir_handle_t hdir);
// The next entry, or null at the end (err 0) or on failure (err the errno).
kivo_dirent_t* platform_file_readdir_ex(void* ctx, kivo_dir_handle_t hdir, kivo_err_t* err);

// ---- paths
kivo_err_t platform_file_mkdir(void* ctx, const char* path);  // mode 0777
kivo_err_t platform_file_rmdir(void* ctx, const char* path);
kivo_err_t platform_file_unlink(void* ctx, const char* path);
kivo_err_t platform_file_rename(void* ctx, const char* old_path, const char* new_path);
// Null times: 22.
kivo_err_t platform_file_utime(void* ctx, const char* path, const kivo_utimbuf_t* times);
// Null record: 22.
kivo_err_t platform_file_stat(void* ctx, const char* path, kivo_stat_t* st);
kivo_err_t platform_file_stat64(void* ctx, const char* path, kivo_stat64_t* st);
// As stat64, but a symbolic link is described itself, not its target. Not
// an entry of the table: the virtual layer reaches it by kivo_file_lstat64.
kivo_err_t platform_file_lstat64(void* ctx, const char* path, kivo_stat64_t* st);
// Device and inode of what the path names, links followed. Not an entry of
// the table either: reached by kivo_file_identity.
kivo_err_t platform_file_identity(void* ctx, const char* path, uint64_t* device, uint64_t* inode);
// The text of the symbolic link `path` (as stored, not resolved) into `out`
// of `size` bytes with its terminator, its length through *len: 22 for a null
// argument, 34 when it does not fit, the system's error otherwise (22: not a
// link). Reached by kivo_file_readlink.
kivo_err_t platform_file_readlink(void* ctx, const char* path, char* out, size_t size, size_t* len);
// Gives the open file the permission bits of `from` and, as far as the
// process may, its owner and group (a refused change of owner is no error);
// the owner first, since a change of owner clears the set-ID bits. Reached by
// kivo_file_take_owner_mode.
kivo_err_t platform_file_take_owner_mode(void* ctx, intptr_t hfile, const char* from);

// ---- files (the handle is the descriptor)
// Mode 0666; stores the descriptor (-1 on failure).
kivo_err_t platform_file_open(void* ctx, intptr_t* hfile_ret, const char* path, int flags);
kivo_err_t platform_file_close(void* ctx, intptr_t hfile);
// read and write store the count (-1 on failure) when `done` is given.
kivo_err_t platform_file_read(void* ctx, intptr_t hfile, void* buffer, size_t size, ssize_t* done);
kivo_err_t platform_file_write(void* ctx, intptr_t hfile, const void* buffer, size_t size,
                               ssize_t* done);
// Store the new position (-1 on failure) when `result` is given.
kivo_err_t platform_file_lseek(void* ctx, intptr_t hfile, off_t offset, int whence, off_t* result);
kivo_err_t platform_file_lseek64(void* ctx, intptr_t hfile, int64_t offset, int whence,
                                 int64_t* result);
kivo_err_t platform_file_fstat(void* ctx, intptr_t hfile, kivo_stat_t* st);
kivo_err_t platform_file_fstat64(void* ctx, intptr_t hfile, kivo_stat64_t* st);
kivo_err_t platform_file_ftruncate(void* ctx, intptr_t hfile, off_t length);
kivo_err_t platform_file_ftruncate64(void* ctx, intptr_t hfile, int64_t length);
kivo_err_t platform_file_fsync(void* ctx, intptr_t hfile);

// ---- process functions (no prefix: they act on the process itself)
// Null buffer: 22.
kivo_err_t kivo_getcwd(char* buffer, size_t size);
kivo_err_t kivo_chdir(const char* path);
// The path of the running program and 0, or -1 and an empty string (when
// size > 0) if it does not fit in `size` bytes with its terminator; never a
// truncated path.
int32_t kivo_get_exe_path(char* buffer, int size);
