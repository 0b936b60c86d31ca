#pragma once

// kivo::filesystem::File: one open file of the virtual file system, offered
// as a kivo::IOContext so that streams, copies, the zip code and the
// application read and write files alike. Besides the byte channel it opens
// a path in one of six modes and moves large amounts of data in blocks with
// a progress callback and a cancel flag (ReadHuge, WriteHuge).
//
// Open modes and the flags handed to the file system:
//   0 read only                     (existing file)
//   1 read-write                    (existing file)
//   2 read-write, create            (contents kept)
//   3 read-write, create, truncate  (new or emptied file)
//   4 read-write, append            (existing file)
//   5 read-write, create, append
//
// Using a closed File for anything but IsValid, Close and Open is a broken
// contract (asserted).

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "kivo/base/kivo_fs_types.h"
#include "kivo/base/kivo_types.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/noncopyable.h"
#include "kivo/common/function.h"
#include "kivo/common/stream.h"

// The framework's 32-bit truth word (cancel flags): non-zero means true.
#ifndef KIVO_BOOL_DEFINED
#define KIVO_BOOL_DEFINED
typedef int32_t BOOL;
#endif

namespace kivo {
namespace filesystem {

class File : private kivo::NonCopyable, public kivo::IOContext {
public:
    // The open modes; their numbers are those callers and scripts pass.
    enum OpenMode {
        OpenRead = 0,          // read only, existing file
        OpenReadWrite = 1,     // read-write, existing file
        OpenCreate = 2,        // read-write, create, contents kept
        OpenTruncate = 3,      // read-write, create, truncate
        OpenAppend = 4,        // read-write, append, existing file
        OpenCreateAppend = 5,  // read-write, create, append
    };

    enum SeekType {
        SeekBegin = 0,
        SeekCurrent = 1,
        SeekEnd = 2,
    };

    // Progress of a block transfer, handed to the callback after each block.
    struct ProgStatus {
        int64_t total;           // size asked for
        int64_t done;            // bytes moved so far, this block included
        int32_t block_index;     // number of this block, from 0
        int32_t block_size;      // bytes moved in this block
        const void* block_data;  // the block's bytes
    };

    typedef kivo::Function1<void, const ProgStatus&> Callback;

    struct Status {
        bool is_dir;
        int64_t size;
        int64_t atime;
        int64_t mtime;
        int64_t ctime;
    };

    // Error of a cancelled block transfer (operation cancelled).
    static const kivo_err_t kErrCancelled = 125;
    static const uint32_t kModeCount = 6;

    File() : _handle(kivo_file_handle_invalid) {}
    // Opens without an error out-parameter: test IsValid().
    File(const char* path, uint32_t mode);
    ~File() override;

    // False (err untouched) when already open (the open file stays) or when
    // mode is 6 or more; otherwise the file system's result is stored
    // through err (when given) and the result is true when it is 0.
    bool Open(const char* path, uint32_t mode, kivo_err_t* err = nullptr);

    bool IsValid() const override { return kivo_file_handle_is_valid(_handle); }
    void Close() override;
    // Close that says whether the file system closed the handle cleanly
    // (a deferred write error may show only here); the cause through err
    // when given. The object is closed afterwards either way.
    bool Close(kivo_err_t* err);

    bool SetLength(int64_t length) override;
    // 0 when the size cannot be read.
    int64_t GetLength() const override;
    // The size, or -1 when it cannot be read, its cause through err (when
    // given): callers that copy or check by length must not take a failed
    // query for an empty file.
    int64_t GetLength(kivo_err_t* err) const;
    int64_t Seek(int64_t offset, int32_t whence) override;
    int64_t GetPos() const override;
    // The count the file system reports (-1 when none); its error through
    // err when given.
    ssize_t Read(void* buffer, size_t count, kivo_err_t* err) override;
    ssize_t Write(const void* buffer, size_t count, kivo_err_t* err) override;
    // The byte channel's flush, which has no result: writers that must know
    // whether their data reached the medium call Flush(err).
    void Flush() override;
    // fsync of the handle; false when it failed (a full disk or a failing
    // medium may show only here), its error through err when given.
    bool Flush(kivo_err_t* err);

    bool GetStatus(Status& st) const;
    // The new position, or -1.
    int64_t Seek(int64_t offset, SeekType type);
    // The same with the file system's cause through err (when given).
    int64_t Seek(int64_t offset, SeekType type, kivo_err_t* err);

    // Moves `size` bytes in blocks of blockSize, calling cb after each block
    // that moved bytes. A null buf makes ReadHuge read every block into one
    // scratch block (the callback sees each in turn); WriteHuge needs buf.
    // Setting *cancel during a whole block's callback stops with error 125.
    // Returns the bytes moved (less than size when the file ended), or -1
    // on an error or cancellation.
    int64_t ReadHuge(void* buf, int64_t size, const Callback& cb, BOOL* cancel, size_t blockSize);
    int64_t WriteHuge(const void* buf, int64_t size, const Callback& cb, BOOL* cancel,
                      size_t blockSize);

    int32_t GetHandle() const { return _handle; }

private:
    int32_t _handle;
};

static_assert(File::OpenRead == 0 && File::OpenReadWrite == 1 && File::OpenCreate == 2 &&
                  File::OpenTruncate == 3 && File::OpenAppend == 4 && File::OpenCreateAppend == 5 &&
                  File::kModeCount == File::OpenCreateAppend + 1,
              "open mode numbers are fixed");

// Writes all of [data, data + len), writing on after short writes; false
// when the file system fails (its cause through err) or takes nothing more
// (ENOSPC). err gets 0 on success; written (when given) the count that went.
bool WriteAll(File& f, const void* data, size_t len, kivo_err_t* err, size_t* written = nullptr);
// Reads up to len bytes, reading on after short reads until the end of the
// file or an error (its cause through err, 0 otherwise); the count read.
size_t ReadFull(File& f, void* data, size_t len, kivo_err_t* err = nullptr);

namespace detail {
// Fills a Status from the framework's 64-bit stat record.
void FillStatus(const kivo_stat64_t& s, File::Status& st);
}  // namespace detail

}  // namespace filesystem
}  // namespace kivo
