#pragma once

// kivo::zip: zip archives over minizip. ZipReader walks the entries of an
// archive and extracts the current one into a sink (a file at a path, an
// open File, a string); UnzipToDir unpacks a whole archive under a
// directory. ZipWriter adds files and directory trees, optionally with the
// traditional PKWARE password. All archive I/O goes through the framework's
// virtual file system (kivo_zip_fill_filefunc64).
//
// Unpacking under a directory refuses entries whose names would land outside
// it (absolute names, ".." components) or could not be written as they stand
// (longer than kNameMax, a zero byte, control characters); only '/' makes
// directories, a '\' is part of a name. A wrong password fails the entry (data error or
// CRC mismatch) instead of leaving garbage reported as done. A password is
// applied only to entries marked encrypted. Only stored and deflated entries
// are read, in the clear or under the traditional encryption; any other
// method (bzip2, LZMA, deflate64, AES) fails in every sink.

#include <stddef.h>
#include <stdint.h>

#include <set>
#include <string>

#include "kivo/base/noncopyable.h"
#include "kivo/common/function.h"
#include "kivo/filesystem/file.h"

struct zlib_filefunc64_def_s;
struct zlib_filefunc_def_s;

namespace kivo {
namespace zip {

class ZipReaderPrivate;
class ZipWriterPrivate;

// A sink for the bytes of one entry.
class ExtractDelegate : private kivo::NonCopyable {
public:
    virtual ~ExtractDelegate() {}
    virtual bool Begin() { return true; }
    virtual bool Write(const void* data, size_t len) = 0;
};

// Writes the entry to a file at a path, making its directory first (only
// '/' separates: '\' is part of a name). The target is emptied on open,
// so the result is exactly the entry's bytes.
class FilePathExtractDelegate : public ExtractDelegate {
public:
    // changedDirs (may be null) makes the file durable: Finish flushes it,
    // and every directory that may have gained an entry (the file's, each
    // made and its parent) is added for the caller to flush.
    explicit FilePathExtractDelegate(const std::string& path, std::set<std::string>* changedDirs = nullptr)
        : _path(path), _changed(changedDirs)
    {
    }
    ~FilePathExtractDelegate() override;
    bool Begin() override;
    bool Write(const void* data, size_t len) override;
    // After the last Write: flushes the file when it is to be durable, and
    // closes it; false (with Failure) when the flush failed.
    bool Finish();
    // After a failed Begin, Write or Finish: what could not be done and the
    // system's cause, one line ("cannot write PATH: No space left on device").
    const std::string& Failure() const { return _failure; }

private:
    std::string _path;
    std::set<std::string>* _changed;
    kivo::filesystem::File _file;
    std::string _failure;
};

// Writes the entry to a file the caller opened.
class FileExtractDelegate : public ExtractDelegate {
public:
    explicit FileExtractDelegate(kivo::filesystem::File* file) : _file(file) {}
    bool Write(const void* data, size_t len) override;

private:
    kivo::filesystem::File* _file;
};

// Appends the entry to a string, refusing to grow it past a byte limit.
class StringExtractDelegate : public ExtractDelegate {
public:
    StringExtractDelegate(size_t maxBytes, std::string* output) : _max(maxBytes), _output(output) {}
    bool Write(const void* data, size_t len) override;

private:
    size_t _max;
    std::string* _output;
};

class ZipReader : private kivo::NonCopyable {
public:
    struct EntryInfo {
        std::string name;   // raw name in the archive, without a trailing '/'
        int64_t size;       // uncompressed size (from the 64-bit record)
        int64_t time;       // entry date and time as local time
        bool is_directory;
    };

    // Read chunk and longest entry name (a longer one is read cut and can
    // only be listed, never extracted under a directory).
    static const size_t kChunkSize = 8192;
    static const size_t kNameMax = 255;

    ZipReader();
    explicit ZipReader(const std::string& path);
    ~ZipReader();

    // Opens the archive and reads its first entry; false when it cannot be
    // read or holds no entries.
    bool Open(const std::string& path);
    void Close();

    int32_t GetEntryCount() const;
    bool GoToFirstEntry();
    bool GoToNextEntry();
    // caseSensitivity as minizip's unzLocateFile takes it.
    bool LocateEntry(const std::string& name, int caseSensitivity);
    bool GetCurrentEntryInfo(EntryInfo& out) const;

    // An empty password means none.
    bool ExtractCurrentEntry(ExtractDelegate& sink, const std::string& password);
    // A directory entry makes the directory; a file entry is written to path
    // and gets the entry's time.
    bool ExtractCurrentEntryToFilePath(const std::string& path, const std::string& password);
    // To dir + "/" + name; refused when the name is not IsSafeEntryName,
    // or did not fit kNameMax or held a zero byte.
    bool ExtractCurrentEntryToDir(const std::string& dir, const std::string& password);
    bool ExtractCurrentEntryToFile(kivo::filesystem::File* file, const std::string& password);
    // Fails, leaving output unchanged, when the entry exceeds maxReadBytes.
    bool ExtractCurrentEntryToString(size_t maxReadBytes, std::string* output,
                                     const std::string& password) const;

private:
    friend struct ZipUnpacker;
    ZipReaderPrivate* m_ctx;
};

// Whether an entry name stays inside the directory it is unpacked under:
// not empty, not absolute, no ".." component, no control characters (bytes
// below 0x20 and 0x7F). Here '\' separates as '/' does, although it makes no
// directory: later steps may read it as a separator.
bool IsSafeEntryName(const std::string& name);

// Before anything is written the whole archive is surveyed, and refused when
// an entry name is refused, an entry's local header names it otherwise than
// the central directory, an entry uses a method or encryption that is not
// read, two entries claim the same bytes of the archive, or the declared
// sizes add up to more than the free space of the file system that holds
// dir. False then, or when the archive does not open (no entries, not an
// archive, or its file fails to be read: the step and the system's cause),
// at the first entry that fails (with the system's cause of a failed read
// or write), or when the archive's directory ends before its entry
// count; `cause` (when given) then always gets one line saying which, and is
// empty after a success.
//
// kUnzipDurable: before a success is returned, every file written is
// flushed to the medium, and so is every directory that gained an entry
// (the target's parent too, when the target was made), so that a record
// written after it never vouches for files a power cut could still lose.
// A flush that fails fails the unpacking with its path and cause.
enum UnzipOption {
    kUnzipDurable = 1,
};
bool UnzipToDir(const std::string& zipPath, const std::string& dir, const std::string& password,
                std::string* cause = nullptr, int options = 0);
// Only entries the filter accepts are surveyed and extracted; all are counted.
bool UnzipToDirFiltered(const std::string& zipPath, const std::string& dir,
                        const kivo::Function1<bool, const ZipReader::EntryInfo&>& filter,
                        const std::string& password, std::string* cause = nullptr, int options = 0);

class ZipWriter : private kivo::NonCopyable {
public:
    // minizip's append modes.
    enum OpenMode {
        kCreate = 0,
        kCreateAfter = 1,
        kAddInZip = 2,
    };

    static const size_t kChunkSize = 8192;
    // Longest name the archive format holds (a 16-bit length field).
    static const size_t kNameMax = 0xFFFF;

    ZipWriter();
    ZipWriter(const std::string& path, OpenMode mode);
    ~ZipWriter();

    // A path that is not an existing file is always created (mode 0).
    bool Open(const std::string& path, OpenMode mode);
    // Writes the central directory and closes the archive; false when that
    // failed (the archive cannot be opened then). Nothing open: true.
    bool Close();

    bool AddDirEntry(const std::string& name, const std::string& password, int level);
    // A directory source becomes a directory entry (name + "/"). Names
    // longer than kNameMax are refused.
    bool AddEntry(const std::string& srcPath, const std::string& nameInZip,
                  const std::string& password, int level);
    // The tree under dir, named prefix + "/" + relative path (no prefix when
    // empty); a filter (may be null) that refuses a name skips its subtree.
    bool AddDirRecursive(const std::string& dir, const std::string& prefix,
                         const kivo::Function1<bool, const std::string&>* filter,
                         const std::string& password, int level);

private:
    ZipWriterPrivate* m_ctx;
};

bool ZipDir(const std::string& srcDir, const std::string& zipPath,
            const kivo::Function1<bool, const std::string&>& filter, const std::string& password,
            ZipWriter::OpenMode mode, int level);
// skipHidden leaves out every name whose last component begins with '.'.
bool ZipDirSkipHidden(const std::string& srcDir, const std::string& zipPath, bool skipHidden,
                      const std::string& password, ZipWriter::OpenMode mode, int level);

}  // namespace zip
}  // namespace kivo

// minizip's file access over the virtual file system (64-bit table, and the
// 32-bit one beside it). The opaque pointer is null.
void kivo_zip_fill_filefunc64(zlib_filefunc64_def_s* def);
void kivo_zip_fill_filefunc(zlib_filefunc_def_s* def);
