#include "kivo/filesystem/file.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace kivo {
namespace filesystem {

namespace {

static_assert(S_IFMT == 0xF000 && S_IFDIR == 0x4000, "file type bits differ from the stat records'");

const int kOpenFlags[File::kModeCount] = {
    O_RDONLY,
    O_RDWR,
    O_RDWR | O_CREAT,
    O_RDWR | O_CREAT | O_TRUNC,
    O_RDWR | O_APPEND,
    O_RDWR | O_CREAT | O_APPEND,
};

// The file systems take Linux's flag numbers, on every target alike.
static_assert(O_RDONLY == 0 && O_RDWR == 2 && (O_RDWR | O_CREAT) == 66 &&
                  (O_RDWR | O_CREAT | O_TRUNC) == 578 && (O_RDWR | O_APPEND) == 1026 &&
                  (O_RDWR | O_CREAT | O_APPEND) == 1090,
              "open flags differ from the file systems' numbers");

// One step of a block transfer: the read or the write of `len` bytes.
typedef ssize_t (*BlockIo)(File* f, void* p, size_t len, kivo_err_t* err);

ssize_t block_read(File* f, void* p, size_t len, kivo_err_t* err)
{
    return f->Read(p, len, err);
}

ssize_t block_write(File* f, void* p, size_t len, kivo_err_t* err)
{
    return f->Write(p, len, err);
}

// The shared loop of ReadHuge and WriteHuge. `scratch` keeps the working
// pointer at the start of the buffer for every block.
int64_t transfer(File* f, BlockIo io, uint8_t* buf, bool scratch, int64_t size,
                 const File::Callback& cb, BOOL* cancel, size_t blockSize)
{
    File::ProgStatus ps;
    memset(&ps, 0, sizeof ps);
    ps.total = size;
    const int64_t bs = (int64_t)blockSize;
    const int64_t n = size / bs;
    const int64_t r = size % bs;

    kivo_err_t err = 0;
    uint8_t* at = buf;
    int64_t i = 0;
    for (; i < n && err == 0; ++i) {
        kivo_err_t e = 0;
        ssize_t moved = io(f, at, blockSize, &e);
        if (e != 0) {
            err = e;
            break;
        }
        if (moved <= 0)
            break;
        ps.done += moved;
        ps.block_index = (int32_t)i;
        ps.block_size = (int32_t)moved;
        ps.block_data = at;
        cb(ps);
        if (!scratch)
            at += moved;
        if (cancel && *cancel)
            err = File::kErrCancelled;
    }
    if (r > 0 && err == 0) {
        kivo_err_t e = 0;
        ssize_t moved = io(f, at, (size_t)r, &e);
        if (e != 0) {
            err = e;
        } else if (moved > 0) {
            ps.done += moved;
            ps.block_index = (int32_t)n;
            ps.block_size = (int32_t)moved;
            ps.block_data = at;
            cb(ps);
        }
    }
    return err != 0 ? -1 : ps.done;
}

}  // namespace

bool WriteAll(File& f, const void* data, size_t len, kivo_err_t* err, size_t* written)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    kivo_err_t e = 0;
    while (done < len) {
        ssize_t n = f.Write(p + done, len - done, &e);
        if (e != 0)
            break;
        if (n <= 0) {
            e = ENOSPC;  // nothing more was taken
            break;
        }
        done += (size_t)n;
    }
    if (err)
        *err = e;
    if (written)
        *written = done;
    return done == len;
}

size_t ReadFull(File& f, void* data, size_t len, kivo_err_t* err)
{
    uint8_t* p = static_cast<uint8_t*>(data);
    size_t done = 0;
    kivo_err_t e = 0;
    while (done < len) {
        ssize_t n = f.Read(p + done, len - done, &e);
        if (e == 0 && n < 0)
            e = EIO;  // a failure the file system gave no cause for
        if (e != 0 || n == 0)
            break;
        done += (size_t)n;
    }
    if (err)
        *err = e;
    return done;
}

namespace detail {

void FillStatus(const kivo_stat64_t& s, File::Status& st)
{
    st.is_dir = (s.mode & S_IFMT) == S_IFDIR;
    st.size = s.size;
    st.atime = s.atime;
    st.mtime = s.mtime;
    st.ctime = s.ctime;
}

}  // namespace detail

File::File(const char* path, uint32_t mode) : _handle(kivo_file_handle_invalid)
{
    Open(path, mode, nullptr);
}

File::~File()
{
    Close();
}

bool File::Open(const char* path, uint32_t mode, kivo_err_t* err)
{
    if (IsValid() || mode >= kModeCount)
        return false;
    int32_t h = kivo_file_handle_invalid;
    kivo_err_t e = kivo_file_open(&h, path, kOpenFlags[mode]);
    if (err)
        *err = e;
    if (e != 0)
        return false;
    _handle = h;
    return true;
}

void File::Close()
{
    Close(nullptr);
}

bool File::Close(kivo_err_t* err)
{
    kivo_err_t e = 0;
    if (IsValid()) {
        e = kivo_file_close(_handle);
        _handle = kivo_file_handle_invalid;
    }
    if (err)
        *err = e;
    return e == 0;
}

bool File::SetLength(int64_t length)
{
    assert(IsValid());
    return kivo_file_ftruncate64(_handle, length) == 0;
}

int64_t File::GetLength() const
{
    int64_t n = GetLength(nullptr);
    return n < 0 ? 0 : n;
}

int64_t File::GetLength(kivo_err_t* err) const
{
    assert(IsValid());
    kivo_stat64_t s;
    kivo_err_t e = kivo_file_fstat64(_handle, &s);
    if (err)
        *err = e;
    return e == 0 ? s.size : -1;
}

int64_t File::Seek(int64_t offset, int32_t whence)
{
    return Seek(offset, (SeekType)whence);
}

int64_t File::Seek(int64_t offset, SeekType type)
{
    return Seek(offset, type, nullptr);
}

int64_t File::Seek(int64_t offset, SeekType type, kivo_err_t* err)
{
    assert(IsValid());
    int64_t pos = -1;
    kivo_err_t e = kivo_file_lseek64(_handle, offset, (int)type, &pos);
    if (err)
        *err = e;
    return e != 0 ? -1 : pos;
}

int64_t File::GetPos() const
{
    assert(IsValid());
    int64_t pos = -1;
    if (kivo_file_lseek64(_handle, 0, SeekCurrent, &pos) != 0)
        return -1;
    return pos;
}

ssize_t File::Read(void* buffer, size_t count, kivo_err_t* err)
{
    assert(IsValid());
    ssize_t done = -1;
    kivo_err_t e = kivo_file_read(_handle, buffer, count, &done);
    if (err)
        *err = e;
    return done;
}

ssize_t File::Write(const void* buffer, size_t count, kivo_err_t* err)
{
    assert(IsValid());
    ssize_t done = -1;
    kivo_err_t e = kivo_file_write(_handle, buffer, count, &done);
    if (err)
        *err = e;
    return done;
}

void File::Flush()
{
    Flush(nullptr);
}

bool File::Flush(kivo_err_t* err)
{
    assert(IsValid());
    kivo_err_t e = kivo_file_fsync(_handle);
    if (err)
        *err = e;
    return e == 0;
}

bool File::GetStatus(Status& st) const
{
    assert(IsValid());
    kivo_stat64_t s;
    if (kivo_file_fstat64(_handle, &s) != 0)
        return false;
    detail::FillStatus(s, st);
    return true;
}

int64_t File::ReadHuge(void* buf, int64_t size, const Callback& cb, BOOL* cancel, size_t blockSize)
{
    assert(IsValid());
    assert(blockSize > 0);
    if (buf)
        return transfer(this, block_read, static_cast<uint8_t*>(buf), false, size, cb, cancel,
                        blockSize);
    uint8_t* scratch = static_cast<uint8_t*>(malloc(blockSize));
    if (!scratch)
        return -1;
    int64_t result = transfer(this, block_read, scratch, true, size, cb, cancel, blockSize);
    free(scratch);
    return result;
}

int64_t File::WriteHuge(const void* buf, int64_t size, const Callback& cb, BOOL* cancel,
                        size_t blockSize)
{
    assert(IsValid());
    assert(blockSize > 0);
    if (!buf)
        return -1;  // invalid argument: nothing to write from
    // The write step only reads through the pointer.
    return transfer(this, block_write, static_cast<uint8_t*>(const_cast<void*>(buf)), false, size,
                    cb, cancel, blockSize);
}

}  // namespace filesystem
}  // namespace kivo
