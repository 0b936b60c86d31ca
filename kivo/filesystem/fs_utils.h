#pragma once

// File system utilities over the virtual file system and File: path tests
// and path pieces, whole text files with byte-order marks, single-call and
// recursive make/remove, walks over a tree with a callback, and copies of
// files and trees with progress.
//
// Failures are false, 0 or an empty string; nothing throws. Walks, removals
// and copies pass over "." and ".." (Dir::IsDots); an entry whose status
// cannot be read, or a directory that cannot be read to its end, fails them.
// They never follow a symbolic link to a directory: a walk reports such a link as a non-directory entry, a removal
// removes the link itself (never what it points to), a copy fails on it.

#include <stdint.h>

#include <string>

#include "kivo/common/function.h"
#include "kivo/common/string_view.h"
#include "kivo/filesystem/dir.h"
#include "kivo/filesystem/file.h"

namespace kivo {

// The pieces of a path (kivo::SplitPath): drive through the first ':',
// directory through the last '\' or '/' (separator kept), name, and the
// extension from the last '.' (the '.' included).
class PathParts {
public:
    PathParts(const char* path);
    PathParts(const std::string& path);

    void SetPath(const std::string& path);

    const std::string& GetPath() const { return _path; }
    const std::string& GetDrive() const { return _drive; }
    const std::string& GetDir() const { return _dir; }
    const std::string& GetName() const { return _name; }
    const std::string& GetExt() const { return _ext; }
    // Name followed by extension.
    std::string GetFileName() const;
    // Drive followed by directory, every trailing '\' and '/' removed (empty
    // when that text holds only separators).
    std::string DirPath() const;

private:
    std::string _path;
    std::string _drive;
    std::string _dir;
    std::string _name;
    std::string _ext;
};

namespace filesystem {

// The byte-order mark at the start of a text file, zero-padded.
struct BomFlag {
    uint8_t bytes[4];
};

extern const BomFlag kBomUtf8;     // EF BB BF
extern const BomFlag kBomUtf16Le;  // FF FE
extern const BomFlag kBomUtf16Be;  // FE FF
extern const BomFlag kBomNone;

// Block size of CopyFile and flush interval of CopyFileEx.
const size_t kCopyBlockSize = 4096;
const int64_t kCopyFlushInterval = 0x800000;

// ---- path and state tests

bool Exists(const std::string& path);
// Anything that is not a directory counts as a file (a link is followed).
bool IsFile(const std::string& path);
bool IsDir(const std::string& path);
// None of \ / : * ? " < > |.
bool IsValidName(const std::string& name);
// Drive and directory; with stripSeparators without the trailing separators.
std::string GetDirOfPath(const std::string& path, bool stripSeparators);
std::string GetFileNameOfPath(const std::string& path);
// A path of the device's own tree split at its last '/' only: there ':' and
// '\' are ordinary characters of a name, never a drive or a separator (the
// two above keep SplitPath's reading for their callers). The name after the
// last '/' (the whole path without one), and what comes before it without
// its trailing '/' ("" without one, and for a name just under "/").
std::string DeviceFileName(const std::string& path);
std::string DeviceDirOfPath(const std::string& path);
// The directory of path (separator kept) followed by name.
std::string ReplaceFileName(const std::string& path, const std::string& name);
// Every '\' written as '/'.
std::string NormalizePath(const std::string& path);
// Absolute form: relative paths are taken from the working directory; "."
// segments go, ".." removes the segment before it (never past a drive or
// the start), runs of '/' become one. Empty for an empty or blank path.
std::string GetFullPath(const std::string& path);
std::string GetCurrentDir();
bool SetCurrentDir(const std::string& path);
// The directory of the running program; empty when it cannot be read.
std::string GetExeDir();

// ---- single operations (true when the file system returned 0)

bool RemoveFile(const std::string& path);
bool MakeDir(const std::string& path);
bool RemoveEmptyDir(const std::string& path);
// fsync of the directory itself, which makes the creations, renames and
// removals of its entries durable; the cause through err (when given).
bool FlushDir(const std::string& path, kivo_err_t* err = nullptr);
// Refused (false, nothing called, EEXIST) when `to` is an existing file; an
// existing directory does not stop it. `err` gets the cause.
bool MoveFile(const std::string& from, const std::string& to, kivo_err_t* err = nullptr);

// ---- text files

// The whole file as text (up to its first NUL byte). With bom, a leading
// mark is taken off the text and stored there (kBomNone when there is
// none); without, a mark stays part of the text. False when the file cannot
// be opened, its size read, or a read or the seek past the mark fails (text
// and mark are left then); the cause through err when given, 0 on success.
bool ReadTextFile(const std::string& path, std::string& text, BomFlag* bom, kivo_err_t* err = nullptr);
// Creates or empties the file, writes the mark (when bom is given and its
// fourth byte is 0) and the text, and flushes; true when the mark and the
// whole text were written, flushed and closed; the cause of a failure (of
// the open, a write, the flush or the close) through err when given, 0 on
// success.
bool WriteTextFile(const std::string& path, const kivo::StringView& text, const BomFlag* bom,
                   kivo_err_t* err = nullptr);

// ---- trees

// Makes the directory and every missing parent; true when it is a
// directory afterwards.
bool MakeDirs(const std::string& path);
// Removes the tree at path; true when the directory itself went and every
// entry could be looked at and removed. A path that is a symbolic link
// loses only the link.
bool RemoveDir(const std::string& path);
// RemoveDir, but only for a path inside root (equal to it, or below it at a
// separator) that holds no ".." anywhere; false for an empty root.
bool RemoveDirUnder(const std::string& path, const std::string& root);
// Calls cb(path, isDir) for every entry, a directory before its contents
// (descended into when recursive). False when dir cannot be opened, when a
// directory cannot be read to its end or an entry's status cannot be read
// (a line is printed for each; the other entries are still visited). An
// empty cb is a broken contract.
bool ForEachFile(const char* dir, bool recursive, const kivo::Function2<void, const char*, bool>& cb);
// The same; the first failure, as a line naming what could not be read and
// why, is stored in *failure (when given and still empty).
bool ForEachFile(const char* dir, bool recursive, const kivo::Function2<void, const char*, bool>& cb,
                 std::string* failure);
// The number of non-directory entries the same walk meets; 0 when dir cannot
// be opened.
uint64_t ForEachFileCount(const char* dir, bool recursive);

// ---- copies

// Copies src (a file) to dst in blocks of 4096 bytes; false when src is not
// a file, when failIfExists and dst is a file, when both name the same file,
// or when not every byte arrived or could be flushed and closed. The target
// is created or emptied.
bool CopyFile(const std::string& src, const std::string& dst, bool failIfExists);
// CopyFile with the caller's block size and cancel flag; cb (may be empty)
// gets the record after each block. The target is flushed every 8 MiB (a
// failed flush fails the copy) and at the end.
bool CopyFileEx(const std::string& src, const std::string& dst, bool failIfExists,
                const File::Callback& cb, BOOL* cancel, size_t blockSize);
// Replaces dst with a copy of src so that dst is always whole, old or new:
// the bytes go to a temporary beside dst (ReplaceTempPath), are flushed, and
// the temporary is renamed over dst. The new file gets the permission bits
// of the file it replaces (bits that cannot be read or set fail the copy),
// and its owner and group as far as the process may. When dst is a symbolic
// link, the file it points to (links followed as paths of the tree) is
// replaced and the link is kept; a name on the way whose status cannot be
// read fails the copy. On failure the
// temporary is removed, dst is left as it was and the cause is stored
// through err (when given; 40 for a chain of links that does not end).
bool CopyFileReplace(const std::string& src, const std::string& dst, kivo_err_t* err);
// The temporary of CopyFileReplace beside dst (dst split at its last '/'
// only): "." + the name + ".part."; a name too long for that keeps its
// first 240 bytes and a hash of the whole name, so the temporary fits
// wherever the name fits (255 bytes). A temporary left by an interruption
// is taken over by the next copy to the same target.
std::string ReplaceTempPath(const std::string& dst);
// Copies the tree under srcDir into dstDir (made as needed); the first
// failure stops it. False when dstDir lies inside srcDir.
bool CopyDir(const std::string& srcDir, const std::string& dstDir);
// CopyDir counting files in *record: after each file block_index grows by
// one, done by one while done + 1 is below total, and cb(*record) is called.
bool CopyDirEx(const std::string& srcDir, const std::string& dstDir, File::ProgStatus* record,
               const File::Callback& cb, BOOL* cancel, size_t blockSize);
// A directory with CopyDir; a file with CopyFile after making dst's
// directory.
bool Copy(const std::string& src, const std::string& dst);
// As Copy; for a directory the record's total is fileCount and cb is called
// after each file and once more at the end with done = total. cb is not
// called for a single file.
bool CopyEx(const std::string& src, const std::string& dst, const File::Callback& cb, BOOL* cancel,
            size_t blockSize, int64_t fileCount);

// The block writers bound into the copies: write the block to file_dst and
// add the count written to *writen (the second also flushes and calls cb).
void __CopyFileReadProc(File* file_dst, int64_t* writen, const File::ProgStatus& ps);
void __CopyFileExReadProc(File* file_dst, int64_t* writen, const File::Callback& cb,
                          const File::ProgStatus& ps);

}  // namespace filesystem
}  // namespace kivo
