#include "kivo/filesystem/fs_utils.h"

#include <assert.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <vector>

#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_unistd.h"
#include "kivo/common/str_utils.h"

namespace kivo {

// ---- PathParts

PathParts::PathParts(const char* path)
{
    SetPath(path ? std::string(path) : std::string());
}

PathParts::PathParts(const std::string& path)
{
    SetPath(path);
}

void PathParts::SetPath(const std::string& path)
{
    _path = path;
    SplitPath(_path, _drive, _dir, _name, _ext);
}

std::string PathParts::GetFileName() const
{
    return _name + _ext;
}

std::string PathParts::DirPath() const
{
    std::string s = _drive + _dir;
    size_t end = s.find_last_not_of("\\/");
    if (end == std::string::npos)
        return std::string();
    s.erase(end + 1);
    return s;
}

namespace filesystem {

const BomFlag kBomUtf8 = {{0xEF, 0xBB, 0xBF, 0}};
const BomFlag kBomUtf16Le = {{0xFF, 0xFE, 0, 0}};
const BomFlag kBomUtf16Be = {{0xFE, 0xFF, 0, 0}};
const BomFlag kBomNone = {{0, 0, 0, 0}};

namespace {

static_assert(S_IFMT == 0xF000 && S_IFDIR == 0x4000 && S_IFLNK == 0xA000,
              "file type bits differ from the stat records'");

bool is_sep(char c)
{
    return c == '/' || c == '\\';
}

// What a walk does with one entry.
enum EntryKind {
    kEntryFail,  // status unreadable: the walk cannot tell what it is
    kEntryFile,  // anything but a directory
    kEntryDir,   // a directory, also when reached through a link
};

// Classifies the current entry of `dir` by its status, which follows links;
// the cause of a failure through err.
EntryKind walk_kind(const Dir& dir, kivo_err_t* err)
{
    kivo_stat64_t s;
    *err = kivo_file_stat64(dir.GetFilePath().c_str(), &s);
    if (*err != 0)
        return kEntryFail;
    return (s.mode & S_IFMT) == S_IFDIR ? kEntryDir : kEntryFile;
}

// The first failure of a walk, as a line naming the step, the path and the
// cause; later ones are printed only.
void walk_failed(std::string* failure, const char* caller, const char* step, const std::string& path,
                 kivo_err_t err)
{
    std::string line = std::string(step) + " " + path + ": " + strerror(err);
    printf("%s %s\r\n", caller, line.c_str());
    if (failure && failure->empty())
        *failure = line;
}

// The directories on the current walk's path, by device and inode. Links
// can lead back to one of them; entering it again would never end.
class WalkPath {
public:
    // Puts the directory on the path; false (and nothing put) when it is
    // on it already. A directory without an identity cannot be reached
    // again through a link and is always entered.
    bool Enter(const std::string& path)
    {
        Id id = {0, 0, false};
        id.known = kivo_file_identity(path.c_str(), &id.device, &id.inode) == 0;
        if (id.known) {
            for (const Id& on : _ids) {
                if (on.known && on.device == id.device && on.inode == id.inode)
                    return false;
            }
        }
        _ids.push_back(id);
        return true;
    }
    void Leave() { _ids.pop_back(); }

private:
    struct Id {
        uint64_t device;
        uint64_t inode;
        bool known;
    };
    std::vector<Id> _ids;
};

bool same_path(const std::string& a, const std::string& b)
{
    return GetFullPath(a) == GetFullPath(b);
}

// dst is src or lies below it.
bool path_within(const std::string& dst, const std::string& src)
{
    std::string s = GetFullPath(src);
    std::string d = GetFullPath(dst);
    while (s.size() > 1 && s[s.size() - 1] == '/')
        s.erase(s.size() - 1);
    while (d.size() > 1 && d[d.size() - 1] == '/')
        d.erase(d.size() - 1);
    if (d.compare(0, s.size(), s) != 0)
        return false;
    return d.size() == s.size() || d[s.size()] == '/' || s[s.size() - 1] == '/';
}

bool is_empty_cb(const File::Callback& cb)
{
    return cb.TargetIdentity() == 0;
}

// Walks dir pre-order, each entry to visit(path, is_dir); false (after
// printing the caller's name) when dir cannot be opened. A directory that
// cannot be read to its end, an entry whose status cannot be read and a
// nested directory that cannot be opened fail the walk too (the rest is
// still visited), the first of them described in *failure.
template <typename Visit>
bool walk_tree(const char* dir, bool recursive, const char* caller, Visit& visit, WalkPath* on_path,
               std::string* failure)
{
    Dir d;
    if (!d.Open(dir)) {
        printf("%s open dir %s error\r\n", caller, dir);
        if (failure && failure->empty())
            *failure = std::string("cannot open directory ") + dir + ": " + strerror(d.Error());
        return false;
    }
    bool ok = true;
    while (d.FindNext()) {
        if (d.IsDots())
            continue;
        kivo_err_t err = 0;
        EntryKind kind = walk_kind(d, &err);
        std::string path = d.GetFilePath();
        if (kind == kEntryFail) {
            walk_failed(failure, caller, "cannot read the status of", path, err);
            ok = false;
            continue;
        }
        visit(path, kind == kEntryDir);
        if (kind == kEntryDir && recursive && on_path->Enter(path)) {
            if (!walk_tree(path.c_str(), true, caller, visit, on_path, failure))
                ok = false;
            on_path->Leave();
        }
    }
    if (d.Error() != 0) {
        walk_failed(failure, caller, "cannot read directory", dir, d.Error());
        ok = false;
    }
    return ok;
}

bool copy_file(const std::string& src, const std::string& dst, bool failIfExists,
               const File::Callback* cb, BOOL* cancel, size_t blockSize)
{
    if (!IsFile(src))
        return false;
    if (failIfExists && IsFile(dst))
        return false;
    // Opening the target would empty the source before a byte is read.
    if (same_path(src, dst))
        return false;
    File in(src.c_str(), File::OpenRead);
    if (!in.IsValid())
        return false;
    File out(dst.c_str(), File::OpenTruncate);
    if (!out.IsValid())
        return false;
    // A size that cannot be read is no empty source.
    const int64_t total = in.GetLength(nullptr);
    if (total < 0)
        return false;
    int64_t written = 0;
    int64_t got;
    if (cb)
        got = in.ReadHuge(nullptr, total, kivo::Bind(&__CopyFileExReadProc, &out, &written, *cb,
                                                     kivo::PlaceHolder::_1),
                          cancel, blockSize);
    else
        got = in.ReadHuge(nullptr, total,
                          kivo::Bind(&__CopyFileReadProc, &out, &written, kivo::PlaceHolder::_1),
                          cancel, blockSize);
    // A file system may report a full disk only when the data is flushed,
    // a deferred write error only at the close: until then the copy is not
    // known to be whole.
    return got == total && written == total && out.Flush(nullptr) && out.Close(nullptr);
}

// Copies the tree of `src`, which the caller has put on the walk's path.
// The target's directories go on the path too: a link in the source that
// leads into the target must not copy the copy again.
bool copy_dir_entries(const std::string& src, const std::string& dst, File::ProgStatus* record,
                      const File::Callback* cb, BOOL* cancel, size_t blockSize, WalkPath* on_path)
{
    // A target inside the source would be copied into itself without end.
    if (path_within(dst, src))
        return false;
    Dir d;
    if (!d.Open(src.c_str()))
        return false;
    MakeDirs(dst);
    // A target that is a directory on the way down under another name (the
    // source itself through a link) would have its files emptied as they
    // are read.
    if (!on_path->Enter(dst))
        return false;
    bool ok = true;
    const File::Callback none;
    while (ok && d.FindNext()) {
        if (d.IsDots())
            continue;
        kivo_err_t err = 0;
        EntryKind kind = walk_kind(d, &err);
        // An entry the copy cannot tell is one it cannot copy.
        if (kind == kEntryFail) {
            ok = false;
            break;
        }
        std::string path = d.GetFilePath();
        std::string target = dst + "/" + d.GetFileName();
        if (kind == kEntryDir) {
            if (on_path->Enter(path)) {
                ok = copy_dir_entries(path, target, record, cb, cancel, blockSize, on_path);
                on_path->Leave();
            } else {
                // Already on the way down: copied as a directory, not again.
                ok = MakeDirs(target);
            }
        } else if (!record) {
            ok = CopyFile(path, target, false);
        } else {
            ok = CopyFileEx(path, target, false, none, cancel, blockSize);
            if (ok) {
                if (record->done + 1 < record->total)
                    ++record->done;
                ++record->block_index;
                if (cb && !is_empty_cb(*cb))
                    (*cb)(*record);
            }
        }
    }
    // A directory not read to its end is not copied whole.
    if (ok && d.Error() != 0)
        ok = false;
    on_path->Leave();
    return ok;
}

bool copy_dir(const std::string& src, const std::string& dst, File::ProgStatus* record,
              const File::Callback* cb, BOOL* cancel, size_t blockSize)
{
    WalkPath on_path;
    on_path.Enter(src);
    return copy_dir_entries(src, dst, record, cb, cancel, blockSize, &on_path);
}

}  // namespace

// ---- path and state tests

bool Exists(const std::string& path)
{
    kivo_stat64_t st;
    return kivo_file_stat64(path.c_str(), &st) == 0;
}

bool IsFile(const std::string& path)
{
    kivo_stat64_t st;
    return kivo_file_stat64(path.c_str(), &st) == 0 && (st.mode & S_IFMT) != S_IFDIR;
}

bool IsDir(const std::string& path)
{
    kivo_stat64_t st;
    return kivo_file_stat64(path.c_str(), &st) == 0 && (st.mode & S_IFMT) == S_IFDIR;
}

bool IsValidName(const std::string& name)
{
    return name.find_first_of("\\/:*?\"<>|") == std::string::npos;
}

std::string GetDirOfPath(const std::string& path, bool stripSeparators)
{
    PathParts parts(path);
    if (stripSeparators)
        return parts.DirPath();
    return parts.GetDrive() + parts.GetDir();
}

std::string GetFileNameOfPath(const std::string& path)
{
    return PathParts(path).GetFileName();
}

std::string DeviceFileName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DeviceDirOfPath(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return std::string();
    const size_t end = path.find_last_not_of('/', slash);
    return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

std::string ReplaceFileName(const std::string& path, const std::string& name)
{
    return GetDirOfPath(path, false) + name;
}

std::string NormalizePath(const std::string& path)
{
    std::string s = path;
    for (char& c : s) {
        if (c == '\\')
            c = '/';
    }
    return s;
}

namespace {

// Segments left to right; a drive segment (holding ':') is a floor that
// ".." never removes, nor does it climb above the start.
std::string collapse_segments(const std::string& full)
{
    std::vector<std::string> segs;
    size_t floor = 0;
    bool absolute = !full.empty() && full[0] == '/';
    size_t pos = 0;
    while (pos <= full.size()) {
        size_t end = full.find('/', pos);
        if (end == std::string::npos)
            end = full.size();
        std::string seg = full.substr(pos, end - pos);
        pos = end + 1;
        if (seg.empty() || seg == ".")
            continue;
        if (seg == "..") {
            if (segs.size() > floor)
                segs.pop_back();
            continue;
        }
        segs.push_back(seg);
        if (seg.find(':') != std::string::npos)
            floor = segs.size();
    }
    std::string out = absolute ? "/" : "";
    for (size_t i = 0; i < segs.size(); ++i) {
        if (i > 0)
            out += '/';
        out += segs[i];
    }
    if (full.size() > 1 && full[full.size() - 1] == '/' && !segs.empty())
        out += '/';
    return out;
}

}  // namespace

std::string GetFullPath(const std::string& path)
{
    if (path.find_first_not_of(' ') == std::string::npos)
        return std::string();

    PathParts parts(path);
    std::string full;
    if (!parts.GetDrive().empty()) {
        full = path;
    } else {
        PathParts cwd(GetCurrentDir());
        if (parts.GetDir().empty() || !is_sep(parts.GetDir()[0]))
            full = cwd.GetPath() + "/" + path;
        else
            full = cwd.GetDrive() + path;
    }
    return collapse_segments(NormalizePath(full));
}

std::string GetCurrentDir()
{
    char buffer[255];
    if (kivo_getcwd(buffer, sizeof buffer) != 0)
        return std::string();
    return std::string(buffer);
}

bool SetCurrentDir(const std::string& path)
{
    return kivo_chdir(path.c_str()) == 0;
}

std::string GetExeDir()
{
    char buffer[255];
    if (kivo_get_exe_path(buffer, (int)sizeof buffer) != 0)
        return std::string();
    return PathParts(buffer).DirPath();
}

// ---- single operations

bool FlushDir(const std::string& path, kivo_err_t* err)
{
    File d;
    kivo_err_t e = 0;
    if (d.Open(path.empty() ? "/" : path.c_str(), File::OpenRead, &e) && d.Flush(&e))
        d.Close(&e);
    if (err)
        *err = e;
    return e == 0;
}

bool RemoveFile(const std::string& path)
{
    return kivo_file_unlink(path.c_str()) == 0;
}

bool MakeDir(const std::string& path)
{
    return kivo_file_mkdir(path.c_str()) == 0;
}

bool RemoveEmptyDir(const std::string& path)
{
    return kivo_file_rmdir(path.c_str()) == 0;
}

bool MoveFile(const std::string& from, const std::string& to, kivo_err_t* err)
{
    kivo_err_t e = IsFile(to) ? EEXIST : kivo_file_rename(from.c_str(), to.c_str());
    if (err)
        *err = e;
    return e == 0;
}

// ---- text files

namespace {

// Opens path in mode and hands the file to body; true when both succeeded,
// the cause of the first failure through err (when given), 0 on success.
template <typename Body>
bool on_file(const std::string& path, uint32_t mode, kivo_err_t* err, Body body)
{
    File f;
    kivo_err_t e = 0;
    if (f.Open(path.c_str(), mode, &e))
        e = body(f);
    if (err)
        *err = e;
    return e == 0;
}

// The mark at the start of f (kBomNone when there is none), and f placed
// after it; the cause of a read or a seek that failed (the text would keep
// the mark's bytes or lose its own).
kivo_err_t read_mark(File& f, BomFlag* found)
{
    uint8_t mark[4] = {0, 0, 0, 0};
    kivo_err_t e = 0;
    const size_t got = ReadFull(f, mark, sizeof mark, &e);
    if (e != 0)
        return e;
    *found = kBomNone;
    int64_t skip = 0;
    if (got >= 3 && mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF) {
        *found = kBomUtf8;
        skip = 3;
    } else if (got >= 2 && ((mark[0] == 0xFF && mark[1] == 0xFE) || (mark[0] == 0xFE && mark[1] == 0xFF))) {
        found->bytes[0] = mark[0];
        found->bytes[1] = mark[1];
        skip = 2;
    }
    f.Seek(skip, File::SeekBegin, &e);
    return e;
}

// The rest of f, up to len bytes and its first NUL, into text (untouched
// when a read fails: a part is no text); the cause of a failure.
kivo_err_t read_text(File& f, size_t len, std::string& text)
{
    char* buf = static_cast<char*>(malloc(len + 1));
    if (!buf)
        return ENOMEM;
    kivo_err_t e = 0;
    const size_t rlen = ReadFull(f, buf, len, &e);
    assert(rlen <= len);
    buf[rlen] = '\0';
    if (e == 0)
        text.assign(buf);
    free(buf);
    return e;
}

kivo_err_t read_text_file(File& f, std::string& text, BomFlag* bom)
{
    kivo_err_t e = 0;
    const int64_t len = f.GetLength(&e);
    if (e != 0)
        return e;
    if ((uint64_t)len >= (uint64_t)SIZE_MAX)
        return EFBIG;
    BomFlag found = kBomNone;
    if (bom && (e = read_mark(f, &found)) != 0)
        return e;
    if ((e = read_text(f, (size_t)len, text)) != 0)
        return e;
    if (bom)
        *bom = found;
    return 0;
}

}  // namespace

bool ReadTextFile(const std::string& path, std::string& text, BomFlag* bom, kivo_err_t* err)
{
    return on_file(path, File::OpenRead, err, [&](File& f) { return read_text_file(f, text, bom); });
}

namespace {

// The mark (when given and its fourth byte is 0), the text, the flush and
// the close; the cause of the first that fails.
kivo_err_t write_text(File& f, const kivo::StringView& text, const BomFlag* bom)
{
    kivo_err_t e = 0;
    if (bom && bom->bytes[3] == 0) {
        size_t n = strnlen(reinterpret_cast<const char*>(bom->bytes), sizeof bom->bytes);
        if (!WriteAll(f, bom->bytes, n, &e))
            return e;
    }
    // The flush's and the close's results count: a full disk or a deferred
    // write error may show only there.
    if (WriteAll(f, text.Data(), text.Size(), &e) && f.Flush(&e))
        f.Close(&e);
    return e;
}

}  // namespace

bool WriteTextFile(const std::string& path, const kivo::StringView& text, const BomFlag* bom,
                   kivo_err_t* err)
{
    return on_file(path, File::OpenTruncate, err, [&](File& f) { return write_text(f, text, bom); });
}

// ---- trees

bool MakeDirs(const std::string& path)
{
    MakeDir(path);
    if (IsDir(path))
        return true;
    // The file system has no drives: a ':' is part of a name, and the text
    // before it must stay in front of the rest (dropping it would rebuild
    // the rest from the working directory or the root).
    std::string acc;
    if (!path.empty() && is_sep(path[0]))
        acc = "/";
    std::vector<std::string> pieces;
    StrSplit(path, "\\/", pieces);
    for (const std::string& piece : pieces) {
        acc += piece;
        if (!IsDir(acc))
            MakeDir(acc);
        acc += "/";
    }
    return IsDir(path);
}

bool RemoveDir(const std::string& path)
{
    // A link in place of the directory: only the link goes, never the tree
    // it points to. A path whose status is unknown may be such a link, and
    // opening it would walk into that tree: it is left alone.
    kivo_stat64_t top;
    const kivo_err_t top_err = kivo_file_lstat64(path.c_str(), &top);
    if (top_err == 0 && (top.mode & S_IFMT) == S_IFLNK)
        return RemoveFile(path);
    if (top_err != 0 && top_err != ENOENT)
        return false;
    Dir d;
    if (!d.Open(path.c_str()))
        return false;
    // An entry that cannot be looked at or removed, or a directory not read
    // to its end, leaves the tree in place: false, even where the final
    // removal would hide it (a mount point that is never removed).
    bool ok = true;
    while (d.FindNext()) {
        if (d.IsDots())
            continue;
        std::string entry = d.GetFilePath();
        // The entry itself, not what a link points to (a dangling link too).
        kivo_stat64_t ls;
        if (kivo_file_lstat64(entry.c_str(), &ls) != 0) {
            ok = false;
            continue;
        }
        if (!((ls.mode & S_IFMT) == S_IFDIR ? RemoveDir(entry) : RemoveFile(entry)))
            ok = false;
    }
    if (d.Error() != 0)
        ok = false;
    d.Close();
    return RemoveEmptyDir(path) && ok;
}

bool RemoveDirUnder(const std::string& path, const std::string& root)
{
    if (root.empty() || path.compare(0, root.size(), root) != 0)
        return false;
    // "/opt/app_disk2" does not lie under "/opt/app_disk".
    if (path.size() > root.size() && !is_sep(path[root.size()]) && !is_sep(root[root.size() - 1]))
        return false;
    if (path.find("..") != std::string::npos)
        return false;
    return RemoveDir(path);
}

bool ForEachFile(const char* dir, bool recursive, const kivo::Function2<void, const char*, bool>& cb)
{
    return ForEachFile(dir, recursive, cb, nullptr);
}

bool ForEachFile(const char* dir, bool recursive, const kivo::Function2<void, const char*, bool>& cb,
                 std::string* failure)
{
    if (!dir) {
        printf("ForEachFile open dir (null) error\r\n");
        if (failure && failure->empty())
            *failure = "cannot open directory (null)";
        return false;
    }
    WalkPath on_path;
    on_path.Enter(dir);
    auto visit = [&cb](const std::string& path, bool is_dir) { cb(path.c_str(), is_dir); };
    return walk_tree(dir, recursive, "ForEachFile", visit, &on_path, failure);
}

uint64_t ForEachFileCount(const char* dir, bool recursive)
{
    const char* top = dir ? dir : "";
    uint64_t count = 0;
    WalkPath on_path;
    on_path.Enter(top);
    auto visit = [&count](const std::string&, bool is_dir) {
        if (!is_dir)
            ++count;
    };
    walk_tree(top, recursive, "ForEachFileCount", visit, &on_path, nullptr);
    return count;
}

// ---- copies

void __CopyFileReadProc(File* file_dst, int64_t* writen, const File::ProgStatus& ps)
{
    assert(file_dst && writen);
    size_t n = 0;
    WriteAll(*file_dst, ps.block_data, (size_t)ps.block_size, nullptr, &n);
    *writen += (int64_t)n;
}

void __CopyFileExReadProc(File* file_dst, int64_t* writen, const File::Callback& cb,
                          const File::ProgStatus& ps)
{
    assert(file_dst && writen);
    size_t n = 0;
    WriteAll(*file_dst, ps.block_data, (size_t)ps.block_size, nullptr, &n);
    // A failed flush is a failed write: a file system reports a write-back
    // error to one flush only, so a later one may pass.
    if ((ps.block_size == 0 || ps.block_size >= kCopyFlushInterval ||
         (ps.block_index >= 1 && ps.block_index % (kCopyFlushInterval / ps.block_size) == 0)) &&
        !file_dst->Flush(nullptr))
        n = 0;
    *writen += (int64_t)n;
    // The tree copies pass an empty callback: nothing to report to.
    if (!is_empty_cb(cb))
        cb(ps);
}

bool CopyFile(const std::string& src, const std::string& dst, bool failIfExists)
{
    return copy_file(src, dst, failIfExists, nullptr, nullptr, kCopyBlockSize);
}

bool CopyFileEx(const std::string& src, const std::string& dst, bool failIfExists,
                const File::Callback& cb, BOOL* cancel, size_t blockSize)
{
    return copy_file(src, dst, failIfExists, &cb, cancel, blockSize);
}

namespace {

// The longest name of a directory entry (Linux's NAME_MAX, the same on every
// file system the device uses).
const size_t kNameMax = 255;
// Links followed before a chain counts as a loop (the kernel's own bound).
const int kLinkHopsMax = 40;

// 32-bit FNV-1a: tells apart long names cut to the same beginning.
uint32_t name_hash(const std::string& name)
{
    uint32_t h = 2166136261u;
    for (unsigned char c : name) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

// The file that `path` names once its links are followed, as a path of the
// tree: a link's text is itself such a path (absolute from the tree's root,
// or relative to the link's directory), so a sandboxed tree stays inside its
// root. A missing name ends the chain (the copy creates it there); a name
// whose status cannot be read ends the copy (a link taken for a file would
// be replaced by one).
kivo_err_t follow_links(const std::string& path, std::string* out)
{
    std::string p = path;
    for (int hop = 0; hop < kLinkHopsMax; ++hop) {
        kivo_stat64_t ls;
        const kivo_err_t se = kivo_file_lstat64(p.c_str(), &ls);
        if (se != 0 && se != ENOENT)
            return se;
        if (se != 0 || (ls.mode & S_IFMT) != S_IFLNK) {
            *out = p;
            return 0;
        }
        std::vector<char> text(4096);
        size_t len = 0;
        kivo_err_t e = kivo_file_readlink(p.c_str(), text.data(), text.size(), &len);
        if (e != 0)
            return e;
        const std::string to(text.data(), len);
        const size_t slash = p.rfind('/');
        p = to[0] == '/' || slash == std::string::npos ? to : p.substr(0, slash + 1) + to;
    }
    return ELOOP;
}

}  // namespace

std::string ReplaceTempPath(const std::string& dst)
{
    const std::string name = DeviceFileName(dst);
    const std::string dir = dst.substr(0, dst.size() - name.size());
    static const char kTail[] = ".part.";
    const size_t fixed = 1 + sizeof kTail - 1;
    if (fixed + name.size() <= kNameMax)
        return dir + "." + name + kTail;
    // Too long to carry whole: its beginning and a hash of all of it, so
    // that the temporary fits wherever the name does.
    char hash[9];
    snprintf(hash, sizeof hash, "%08x", name_hash(name));
    return dir + "." + name.substr(0, kNameMax - fixed - 8) + hash + kTail;
}

namespace {

// Why src cannot replace dst, 0 when it can. Through a link, the file it
// points to is replaced and the link stays: target is that file, temp the
// temporary beside it.
kivo_err_t plan_replace(const std::string& src, const std::string& dst, std::string* target,
                        std::string* temp)
{
    kivo_err_t le = follow_links(dst, target);
    if (le == 0)
        *temp = ReplaceTempPath(*target);
    if (!IsFile(src))
        return ENOENT;
    if (le != 0)
        return le;
    if (same_path(src, *target) || same_path(src, *temp))
        return EINVAL;  // the copy would empty its own source
    return 0;
}

// Copies all of in to out in blocks; the size query stores its result
// through e first (so e holds no earlier failure), then the first failure
// lands there.
void copy_bytes(File& in, File& out, kivo_err_t* e)
{
    const size_t block = 0x10000;
    std::vector<uint8_t> buf(block);
    // A size that cannot be read is an error, not an empty file.
    const int64_t total = in.GetLength(e);
    for (int64_t done = 0; *e == 0 && done < total;) {
        const size_t want = total - done < (int64_t)block ? (size_t)(total - done) : block;
        const size_t n = ReadFull(in, buf.data(), want, e);
        if (*e != 0)
            return;
        if (n < want) {
            *e = EIO;  // the source ended before its length
            return;
        }
        if (!WriteAll(out, buf.data(), n, e))
            return;
        done += (int64_t)n;
    }
}

// Flushes and closes the temporary, renames it over target and makes the
// rename durable; the first failure.
kivo_err_t put_in_place(File& out, const std::string& temp, const std::string& target)
{
    kivo_err_t e = 0;
    out.Flush(&e);
    // A write error the file system defers may show only at the close.
    kivo_err_t ce = 0;
    out.Close(&ce);
    if (e == 0)
        e = ce;
    if (e == 0)
        e = kivo_file_rename(temp.c_str(), target.c_str());
    // The rename is on the medium only once the directory is: until then a
    // power cut may leave the old name over other bytes.
    if (e == 0) {
        const std::string dir = DeviceDirOfPath(target);
        FlushDir(dir.empty() ? std::string(target[0] == '/' ? "/" : ".") : dir, &e);
    }
    return e;
}

// Gives out what the old file at target had: an executable stays
// executable, a file of another user stays theirs (as far as the process
// may). 0 when there is no old file; a mode that cannot be set, or an old
// file whose status cannot be read, is the cause of a failure.
kivo_err_t take_old_mode(File& out, const std::string& target)
{
    kivo_stat64_t ts;
    const kivo_err_t se = kivo_file_stat64(target.c_str(), &ts);
    if (se == ENOENT || (se == 0 && (ts.mode & S_IFMT) == S_IFDIR))
        return 0;
    if (se != 0)
        return se;
    const kivo_err_t me = kivo_file_take_owner_mode(out.GetHandle(), target.c_str());
    return me == ENXIO ? 0 : me;  // ENXIO: a file system without modes
}

// The copy into the temporary and its move over target; the first failure.
kivo_err_t replace_through(const std::string& src, const std::string& target, const std::string& temp)
{
    File in;
    File out;
    kivo_err_t e = 0;
    if (!in.Open(src.c_str(), File::OpenRead, &e) || !out.Open(temp.c_str(), File::OpenTruncate, &e))
        return e;
    e = take_old_mode(out, target);
    if (e == 0)
        copy_bytes(in, out, &e);
    if (e != 0) {
        out.Close();
        return e;
    }
    return put_in_place(out, temp, target);
}

}  // namespace

bool CopyFileReplace(const std::string& src, const std::string& dst, kivo_err_t* err)
{
    std::string target;
    std::string temp;
    kivo_err_t e = plan_replace(src, dst, &target, &temp);
    if (e == 0) {
        e = replace_through(src, target, temp);
        if (e != 0)
            RemoveFile(temp);
    }
    if (err)
        *err = e;
    return e == 0;
}

bool CopyDir(const std::string& srcDir, const std::string& dstDir)
{
    return copy_dir(srcDir, dstDir, nullptr, nullptr, nullptr, kCopyBlockSize);
}

bool CopyDirEx(const std::string& srcDir, const std::string& dstDir, File::ProgStatus* record,
               const File::Callback& cb, BOOL* cancel, size_t blockSize)
{
    assert(record);
    return copy_dir(srcDir, dstDir, record, &cb, cancel, blockSize);
}

bool Copy(const std::string& src, const std::string& dst)
{
    if (IsDir(src))
        return CopyDir(src, dst);
    if (IsFile(src))
        MakeDirs(GetDirOfPath(dst, true));
    return CopyFile(src, dst, false);
}

bool CopyEx(const std::string& src, const std::string& dst, const File::Callback& cb, BOOL* cancel,
            size_t blockSize, int64_t fileCount)
{
    if (IsDir(src)) {
        File::ProgStatus record;
        memset(&record, 0, sizeof record);
        record.total = fileCount;
        bool ok = CopyDirEx(src, dst, &record, cb, cancel, blockSize);
        if (ok) {
            record.done = record.total;
            if (!is_empty_cb(cb))
                cb(record);
        }
        return ok;
    }
    if (IsFile(src))
        MakeDirs(GetDirOfPath(dst, true));
    const File::Callback none;
    return CopyFileEx(src, dst, false, none, cancel, blockSize);
}

}  // namespace filesystem
}  // namespace kivo
