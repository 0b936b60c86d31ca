#pragma once

// Sets and reads a file's times through the kernel's 64-bit interfaces,
// whatever width the build's time_t has, so that a test can lay out files
// dated after 2038 and check them without going through the code under test.

#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

namespace raw_times {

// 2040-01-01 00:00:00 UTC, and 2106-06-01 00:00:00 UTC (past 2^32 seconds:
// a time cut to 32 bits lands in 1970 or fails).
const int64_t k2040 = 2208988800ll;
const int64_t k2106 = 4304793600ll;

// The kernel's own record, the same on every architecture.
struct KernelTimespec {
    long long sec;
    long long nsec;
};

// Access and modification time of `path` (not following a final link).
inline bool Set(const std::string& path, int64_t atime, int64_t mtime)
{
#ifdef SYS_utimensat_time64
    const long nr = SYS_utimensat_time64;  // 32-bit systems
#else
    const long nr = SYS_utimensat;  // its timespec is already 64-bit
#endif
    KernelTimespec ts[2] = {{atime, 0}, {mtime, 0}};
    return syscall(nr, AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0;
}

inline bool Set(const std::string& path, int64_t t)
{
    return Set(path, t, t);
}

// Modification time of `path`; INT64_MIN when it cannot be read.
inline int64_t Mtime(const std::string& path)
{
    struct statx stx;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_MTIME, &stx) != 0)
        return INT64_MIN;
    return stx.stx_mtime.tv_sec;
}

}  // namespace raw_times
