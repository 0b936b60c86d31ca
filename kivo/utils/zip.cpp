#include "kivo/utils/zip.h"

#include <assert.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <new>
#include <vector>

#include <ioapi.h>
#include <unzip.h>
#include <zip.h>
#include <zlib.h>

#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/common/stream.h"
#include "kivo/filesystem/dir.h"
#include "kivo/filesystem/fs_utils.h"

// ---- minizip file access over the virtual file system

namespace {

// minizip's seek origins as the file layer's whence values; -1 for others.
int _Whence(int origin)
{
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET: return SEEK_SET;
    case ZLIB_FILEFUNC_SEEK_CUR: return SEEK_CUR;
    case ZLIB_FILEFUNC_SEEK_END: return SEEK_END;
    default: return -1;
    }
}

// What the archive's file could not do, for a cause line that names the
// step and the system's cause rather than blaming the format. The reader
// hands one to its table as the opaque pointer (the public table's is null).
struct ZipIoReport {
    ZipIoReport() : step(nullptr), err(0), stream(nullptr) {}

    const char* step;  // "open", "read", "seek in", "write"; null: no failure
    kivo_err_t err;
    voidpf stream;     // the archive as the library has it open
};

// An archive file open through the file layer, as a byte channel. Every
// failure leaves its error in errno (the table's error callback reads it)
// and in the report, when there is one.
class ZipFile : public kivo::IOContext {
public:
    ZipFile() : handle(kivo_file_handle_invalid), report(nullptr) {}

    bool IsValid() const override { return kivo_file_handle_is_valid(handle); }
    int64_t Seek(int64_t offset, int32_t whence) override
    {
        int64_t pos = -1;
        kivo_err_t e = kivo_file_lseek64(handle, offset, whence, &pos);
        if (e != 0 || pos < 0)
            return Failed("seek in", e), -1;
        return pos;
    }
    int64_t GetPos() const override
    {
        int64_t pos = -1;
        kivo_err_t e = kivo_file_lseek64(handle, 0, SEEK_CUR, &pos);
        if (e != 0 || pos < 0)
            return Failed("seek in", e), -1;
        return pos;
    }
    ssize_t Read(void* buffer, size_t count, kivo_err_t* err) override
    {
        ssize_t done = -1;
        kivo_err_t e = kivo_file_read(handle, buffer, count, &done);
        if (e != 0 || done < 0)
            e = Failed("read", e);
        if (err)
            *err = e;
        return done;
    }
    ssize_t Write(const void* buffer, size_t count, kivo_err_t* err) override
    {
        ssize_t done = -1;
        kivo_err_t e = kivo_file_write(handle, buffer, count, &done);
        if (e != 0 || done < 0)
            e = Failed("write", e);
        if (err)
            *err = e;
        return done;
    }

    // Records a failure (EIO when the layer gave no cause) and returns it.
    kivo_err_t Failed(const char* step, kivo_err_t e) const
    {
        if (e == 0)
            e = EIO;
        errno = e;
        if (report != nullptr) {
            report->step = step;
            report->err = e;
        }
        return e;
    }

    int32_t handle;
    ZipIoReport* report;
};

// minizip reads headers a field, often a byte, at a time: through the
// buffer a header costs one read of the file, not dozens.
struct ZipStream {
    ZipStream() : buffer(&file) {}

    ZipFile file;
    kivo::ReadBuffer buffer;
};

ZipStream* _Stream(voidpf stream)
{
    return static_cast<ZipStream*>(stream);
}

voidpf ZCALLBACK kivo_zip_open_file(voidpf opaque, const void* filename, int mode)
{
    if (filename == nullptr)
        return nullptr;
    int flags;
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ)
        flags = 0;
    else if (mode & ZLIB_FILEFUNC_MODE_EXISTING)
        flags = 2;
    else if (mode & ZLIB_FILEFUNC_MODE_CREATE)
        flags = KIVO_FILE_CREATE_FLAGS;
    else
        return nullptr;
    ZipStream* s = new (std::nothrow) ZipStream;
    if (s == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    s->file.report = static_cast<ZipIoReport*>(opaque);
    kivo_err_t e = kivo_file_open(&s->file.handle, static_cast<const char*>(filename), flags);
    if (e == 0 && s->file.IsValid()) {
        if (s->file.report != nullptr)
            s->file.report->stream = s;
        return s;
    }
    s->file.Failed("open", e);
    s->file.handle = kivo_file_handle_invalid;
    delete s;
    return nullptr;
}

voidpf ZCALLBACK kivo_zip_open_file32(voidpf opaque, const char* filename, int mode)
{
    return kivo_zip_open_file(opaque, filename, mode);
}

uLong ZCALLBACK kivo_zip_read_file(voidpf, voidpf stream, void* buf, uLong size)
{
    if (stream == nullptr)
        return 0;
    kivo_err_t e = 0;
    ssize_t done = _Stream(stream)->buffer.Read(buf, size, &e);
    if (e != 0 || done < 0)
        return 0;
    return (uLong)done;
}

uLong ZCALLBACK kivo_zip_write_file(voidpf, voidpf stream, const void* buf, uLong size)
{
    if (stream == nullptr)
        return 0;
    kivo_err_t e = 0;
    ssize_t done = _Stream(stream)->buffer.Write(buf, size, &e);
    if (e != 0 || done < 0)
        return 0;
    return (uLong)done;
}

ZPOS64_T ZCALLBACK kivo_zip_tell_file64(voidpf, voidpf stream)
{
    const int64_t pos = stream == nullptr ? -1 : _Stream(stream)->buffer.GetPos();
    return pos < 0 ? (ZPOS64_T)-1 : (ZPOS64_T)pos;
}

long ZCALLBACK kivo_zip_seek_file64(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    const int whence = _Whence(origin);
    if (whence < 0 || stream == nullptr)
        return -1;
    return _Stream(stream)->buffer.Seek((int64_t)offset, whence) < 0 ? -1 : 0;
}

// The 32-bit table: minizip reads the position as an unsigned 32-bit value
// (all ones meaning failure), so an archive up to 4 GiB works even where
// long is 32 bits; the seeks beneath are 64-bit so that nothing fails past
// 2 GiB.
long ZCALLBACK kivo_zip_tell_file(voidpf, voidpf stream)
{
    const int64_t pos = stream == nullptr ? -1 : _Stream(stream)->buffer.GetPos();
    if (pos < 0 || (uint64_t)pos >= (uint64_t)MAXU32)
        return -1;
    return (long)(uLong)pos;
}

long ZCALLBACK kivo_zip_seek_file(voidpf, voidpf stream, uLong offset, int origin)
{
    const int whence = _Whence(origin);
    if (whence < 0 || stream == nullptr)
        return -1;
    return _Stream(stream)->buffer.Seek((int64_t)offset, whence) < 0 ? -1 : 0;
}

int ZCALLBACK kivo_zip_close_file(voidpf, voidpf stream)
{
    if (stream == nullptr)
        return -1;
    ZipStream* s = _Stream(stream);
    kivo_err_t e = kivo_file_close(s->file.handle);
    if (e != 0) {
        errno = e;
        return -1;
    }
    if (s->file.report != nullptr && s->file.report->stream == s)
        s->file.report->stream = nullptr;
    s->file.handle = kivo_file_handle_invalid;
    delete s;
    return 0;
}

int ZCALLBACK kivo_zip_error_file(voidpf, voidpf)
{
    return errno;
}

}  // namespace

void kivo_zip_fill_filefunc64(zlib_filefunc64_def_s* def)
{
    def->zopen64_file = kivo_zip_open_file;
    def->zread_file = kivo_zip_read_file;
    def->zwrite_file = kivo_zip_write_file;
    def->ztell64_file = kivo_zip_tell_file64;
    def->zseek64_file = kivo_zip_seek_file64;
    def->zclose_file = kivo_zip_close_file;
    def->zerror_file = kivo_zip_error_file;
    def->opaque = nullptr;
}

void kivo_zip_fill_filefunc(zlib_filefunc_def_s* def)
{
    def->zopen_file = kivo_zip_open_file32;
    def->zread_file = kivo_zip_read_file;
    def->zwrite_file = kivo_zip_write_file;
    def->ztell_file = kivo_zip_tell_file;
    def->zseek_file = kivo_zip_seek_file;
    def->zclose_file = kivo_zip_close_file;
    def->zerror_file = kivo_zip_error_file;
    def->opaque = nullptr;
}

namespace kivo {
namespace zip {

namespace {

// Fixed parts of the archive's records, before their variable fields.
const uint64_t kLocalHeaderSize = 30;
const uint64_t kCentralRecordSize = 46;
const int64_t kEndRecordSize = 22;
// The end record is searched for within its own size and the longest
// comment that can follow it.
const int64_t kEndSearchSize = kEndRecordSize + 0xFFFF;

// Makes a directory and its missing parents. Only '/' separates: on the
// device's file system '\' and ':' are parts of a name, and splitting there
// would make directories the archive never named. Each directory that
// gained an entry goes to `changed` (when given).
bool _MakeDirsAt(const std::string& path, std::set<std::string>* changed)
{
    if (path.empty() || kivo::filesystem::IsDir(path))
        return true;
    const std::string parent = kivo::filesystem::DeviceDirOfPath(path);
    if (!parent.empty() && !_MakeDirsAt(parent, changed))
        return false;
    if (kivo_file_mkdir(path.c_str()) != 0)
        return kivo::filesystem::IsDir(path);
    if (changed != nullptr && !parent.empty())
        changed->insert(parent);
    return true;
}

}  // namespace

// ---- sinks

FilePathExtractDelegate::~FilePathExtractDelegate()
{
    if (_file.IsValid())
        _file.Close();
}

bool FilePathExtractDelegate::Begin()
{
    _failure.clear();
    // No directory part (a relative name, or one just under "/"): nothing to make.
    const std::string dir = kivo::filesystem::DeviceDirOfPath(_path);
    if (!dir.empty() && !_MakeDirsAt(dir, _changed)) {
        _failure = "cannot make the directory " + dir;
        return false;
    }
    // The file may be new: its directory gained an entry.
    if (_changed != nullptr && !dir.empty())
        _changed->insert(dir);
    // Emptied on open: an older, longer file must not keep its tail behind
    // the new bytes.
    kivo_err_t err = 0;
    if (!_file.Open(_path.c_str(), 3, &err)) {
        _failure = "cannot create " + _path + ": " + strerror(err != 0 ? err : EIO);
        return false;
    }
    return true;
}

bool FilePathExtractDelegate::Write(const void* data, size_t len)
{
    if (!_file.IsValid())
        return false;
    // A short count is not a failure by itself (the file system may take a
    // block at a time); the rest is written again, so a full disk is told
    // by its own error.
    const char* at = static_cast<const char*>(data);
    while (len > 0) {
        kivo_err_t err = 0;
        ssize_t n = _file.Write(at, len, &err);
        if (n <= 0) {
            _failure = "cannot write " + _path + ": " + strerror(err != 0 ? err : ENOSPC);
            return false;
        }
        at += n;
        len -= (size_t)n;
    }
    return true;
}

bool FilePathExtractDelegate::Finish()
{
    if (!_file.IsValid())
        return false;
    kivo_err_t err = 0;
    const bool flushed = _changed == nullptr || _file.Flush(&err);
    if (!flushed)
        _failure = "cannot flush " + _path + ": " + strerror(err != 0 ? err : EIO);
    _file.Close();
    return flushed;
}

bool FileExtractDelegate::Write(const void* data, size_t len)
{
    return _file != nullptr && _file->IsValid() && _file->Write(data, len, nullptr) == (ssize_t)len;
}

bool StringExtractDelegate::Write(const void* data, size_t len)
{
    if (_output->size() + len > _max)
        return false;
    _output->append(static_cast<const char*>(data), len);
    return true;
}

// ---- reader

class ZipReaderPrivate {
public:
    ZipReaderPrivate() : _zipFile(nullptr), _count(0), _name_size(0), _name_whole(false) { _Clear(); }

    void _Clear()
    {
        _info.name.clear();
        _info.size = 0;
        _info.time = 0;
        _info.is_directory = false;
        _name_size = 0;
        _name_whole = false;
    }

    bool _ReadCurrentInfo();
    // Why the current entry may not be written under a directory, as the
    // end of a line that begins with the entry; empty when it may.
    std::string _NameRefusal() const;
    // `why` (when given) gets what went wrong, as the end of a line that
    // begins with the entry; empty when the sink refused the bytes.
    bool _Extract(ExtractDelegate& sink, const std::string& password, std::string* why = nullptr);
    // The steps of _Extract: opening the current entry for reading (fi gets
    // its central record), and handing its bytes to the sink.
    bool _OpenCurrent(const std::string& password, unz_file_info64* fi, std::string* why);
    bool _Pump(ExtractDelegate& sink, const char* wrong, std::string* why, ZPOS64_T* total);
    // A directory entry is made, a file entry written to path with its time.
    // `written` (when given) tells a failure of the target (then `why` is a
    // whole line naming the path) from one of the entry.
    // `changed` (when given) makes the file durable; see FilePathExtractDelegate.
    bool _ExtractToPath(const std::string& path, const std::string& password, std::string* why,
                        bool* written = nullptr, std::set<std::string>* changed = nullptr);

    // The archive's file failed since _io was last cleared: the step and
    // the system's cause as a whole line; empty when it did not.
    std::string _IoCause() const
    {
        if (_io.step == nullptr)
            return std::string();
        return std::string("cannot ") + _io.step + " " + _path + ": " + strerror(_io.err);
    }
    void _IoClear()
    {
        _io.step = nullptr;
        _io.err = 0;
    }

    unzFile _zipFile;
    std::string _path;
    ZipIoReport _io;
    int32_t _count;
    ZipReader::EntryInfo _info;
    uint64_t _name_size;  // of the name as the archive holds it
    // The name was read as the archive holds it: not cut at kNameMax nor at
    // a zero byte. Only such a name may be written under a directory.
    bool _name_whole;
};

bool ZipReaderPrivate::_ReadCurrentInfo()
{
    char* raw_file_name_in_zip = static_cast<char*>(malloc(ZipReader::kNameMax + 1));
    assert(raw_file_name_in_zip);
    // The 64-bit record: the sizes of the 32-bit one are uLong, 32 bits on
    // the device.
    unz_file_info64 fi;
    memset(&fi, 0, sizeof(fi));
    int rc = unzGetCurrentFileInfo64(_zipFile, &fi, raw_file_name_in_zip, ZipReader::kNameMax + 1,
                                     nullptr, 0, nullptr, 0);
    raw_file_name_in_zip[ZipReader::kNameMax] = '\0';
    if (rc != UNZ_OK || raw_file_name_in_zip[0] == '\0') {
        free(raw_file_name_in_zip);
        return false;
    }
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_sec = (int)fi.tmu_date.tm_sec;
    tm.tm_min = (int)fi.tmu_date.tm_min;
    tm.tm_hour = (int)fi.tmu_date.tm_hour;
    tm.tm_mday = (int)fi.tmu_date.tm_mday;
    tm.tm_mon = (int)fi.tmu_date.tm_mon;
    tm.tm_year = (int)fi.tmu_date.tm_year - 1900;
    tm.tm_isdst = -1;
    _info.time = kivo_time_mktime(&tm);
    _info.name = raw_file_name_in_zip;
    free(raw_file_name_in_zip);
    _name_size = fi.size_filename;
    _name_whole = fi.size_filename <= ZipReader::kNameMax && _info.name.size() == fi.size_filename;
    _info.size = (int64_t)fi.uncompressed_size;
    if (_info.name[_info.name.size() - 1] == '/') {
        _info.name.erase(_info.name.size() - 1);
        _info.is_directory = true;
    } else {
        _info.is_directory = (fi.external_fa & 0x10) != 0;
    }
    return true;
}

// Why an entry cannot be read here, or empty: only stored and deflated
// entries, in the clear or under the traditional encryption. The library
// would hand out a bzip2 stream (method 12) raw and skip its CRC check.
static std::string _Unreadable(const unz_file_info64& fi)
{
    if (fi.compression_method == 99)
        return "uses AES encryption (method 99)";
    if ((fi.flag & 0x40) != 0)
        return "uses strong encryption";
    if (fi.compression_method != 0 && fi.compression_method != Z_DEFLATED)
        return "uses compression method " + std::to_string(fi.compression_method);
    return std::string();
}

bool ZipReaderPrivate::_OpenCurrent(const std::string& password, unz_file_info64* fi, std::string* why)
{
    if (_zipFile == nullptr)
        return false;
    if (unzGetCurrentFileInfo64(_zipFile, fi, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        *why = "has a damaged central record";
        return false;
    }
    *why = _Unreadable(*fi);
    if (!why->empty())
        return false;
    // Without a password the library would hand out the encrypted bytes as
    // they are; with one, it would decrypt bytes that never were encrypted.
    const bool encrypted = (fi->flag & 1) != 0;
    if (encrypted && password.empty()) {
        *why = "is encrypted and no password was given";
        return false;
    }
    _IoClear();
    if (unzOpenCurrentFilePassword(_zipFile, encrypted ? password.c_str() : nullptr) != UNZ_OK) {
        *why = _io.step != nullptr ? "could not be read from the archive: " + std::string(strerror(_io.err))
                                   : std::string("has a damaged local header");
        return false;
    }
    return true;
}

bool ZipReaderPrivate::_Pump(ExtractDelegate& sink, const char* wrong, std::string* why, ZPOS64_T* total)
{
    char* chunk = static_cast<char*>(malloc(ZipReader::kChunkSize));
    assert(chunk);
    bool ok = true;
    for (;;) {
        int n = unzReadCurrentFile(_zipFile, chunk, (unsigned)ZipReader::kChunkSize);
        if (n == 0)
            break;
        if (n < 0) {
            *why = n == UNZ_ERRNO ? "could not be read from the archive" +
                                        (_io.step != nullptr ? ": " + std::string(strerror(_io.err)) : std::string())
                                  : std::string("holds damaged data") + wrong;
            ok = false;
            break;
        }
        if (!sink.Write(chunk, (size_t)n)) {
            ok = false;
            break;
        }
        *total += (ZPOS64_T)n;
    }
    free(chunk);
    return ok;
}

bool ZipReaderPrivate::_Extract(ExtractDelegate& sink, const std::string& password, std::string* why)
{
    std::string scratch;
    if (why == nullptr)
        why = &scratch;
    why->clear();
    unz_file_info64 fi;
    if (!_OpenCurrent(password, &fi, why))
        return false;
    const char* const wrong = (fi.flag & 1) != 0 ? " (or the password is wrong)" : "";
    ZPOS64_T total = 0;
    bool ok = sink.Begin() && _Pump(sink, wrong, why, &total);
    // The CRC is checked on close, and only when the entry's whole recorded
    // size was read: a stream that ends early (a damaged archive, or a wrong
    // password whose garbage happens to inflate) would otherwise pass.
    if (ok && total != fi.uncompressed_size) {
        *why = std::string("ends before its recorded size") + wrong;
        ok = false;
    }
    int rc = unzCloseCurrentFile(_zipFile);
    if (ok && rc != UNZ_OK) {
        *why = std::string("fails its CRC check") + wrong;
        ok = false;
    }
    // A sink that refused leaves `why` empty: the caller knows the sink.
    return ok;
}

bool ZipReaderPrivate::_ExtractToPath(const std::string& path, const std::string& password, std::string* why,
                                       bool* written, std::set<std::string>* changed)
{
    std::string scratch;
    if (why == nullptr)
        why = &scratch;
    bool target_failed = false;
    if (written == nullptr)
        written = &target_failed;
    *written = false;
    if (_zipFile == nullptr)
        return false;
    if (_info.is_directory) {
        if (_MakeDirsAt(path, changed))
            return true;
        *why = "cannot make the directory " + path;
        *written = true;
        return false;
    }
    FilePathExtractDelegate sink(path, changed);
    bool ok = _Extract(sink, password, why);
    // A DOS date is never before 1980, so -1 is a date the platform could
    // not convert: the file then keeps the time its extraction gave it. Set
    // before the file is flushed, so that the flush holds it too.
    if (ok && _info.time != -1) {
        kivo_utimbuf_t times;
        times.actime = _info.time;
        times.modtime = _info.time;
        kivo_file_utime(path.c_str(), &times);
    }
    if (ok)
        ok = sink.Finish();
    if (!ok && why->empty()) {
        *why = sink.Failure().empty() ? "cannot write " + path : sink.Failure();
        *written = true;
    }
    return ok;
}

ZipReader::ZipReader() : m_ctx(new ZipReaderPrivate())
{
    assert(m_ctx);
}

ZipReader::ZipReader(const std::string& path) : m_ctx(new ZipReaderPrivate())
{
    assert(m_ctx);
    Open(path);
}

ZipReader::~ZipReader()
{
    Close();
    delete m_ctx;
}

bool ZipReader::Open(const std::string& path)
{
    assert(!m_ctx->_zipFile);
    zlib_filefunc64_def ff;
    kivo_zip_fill_filefunc64(&ff);
    // The reader's own report: a failing file is told from a bad format.
    m_ctx->_path = path;
    m_ctx->_IoClear();
    m_ctx->_io.stream = nullptr;
    ff.opaque = &m_ctx->_io;
    m_ctx->_zipFile = unzOpen2_64(path.c_str(), &ff);
    if (m_ctx->_zipFile == nullptr)
        return false;
    unz_global_info64 gi;
    if (unzGetGlobalInfo64(m_ctx->_zipFile, &gi) != UNZ_OK || gi.number_entry > 0x7FFFFFFF) {
        Close();
        return false;
    }
    m_ctx->_count = (int32_t)gi.number_entry;
    if (unzGoToFirstFile(m_ctx->_zipFile) != UNZ_OK || !m_ctx->_ReadCurrentInfo()) {
        Close();
        return false;
    }
    return true;
}

void ZipReader::Close()
{
    if (m_ctx->_zipFile != nullptr) {
        unzClose(m_ctx->_zipFile);
        m_ctx->_zipFile = nullptr;
    }
    m_ctx->_count = 0;
    m_ctx->_Clear();
}

int32_t ZipReader::GetEntryCount() const
{
    return m_ctx->_count;
}

bool ZipReader::GoToFirstEntry()
{
    if (m_ctx->_zipFile == nullptr || unzGoToFirstFile(m_ctx->_zipFile) != UNZ_OK)
        return false;
    return m_ctx->_ReadCurrentInfo();
}

bool ZipReader::GoToNextEntry()
{
    if (m_ctx->_zipFile == nullptr || unzGoToNextFile(m_ctx->_zipFile) != UNZ_OK)
        return false;
    return m_ctx->_ReadCurrentInfo();
}

bool ZipReader::LocateEntry(const std::string& name, int caseSensitivity)
{
    if (m_ctx->_zipFile == nullptr ||
        unzLocateFile(m_ctx->_zipFile, name.c_str(), caseSensitivity) != UNZ_OK)
        return false;
    return m_ctx->_ReadCurrentInfo();
}

bool ZipReader::GetCurrentEntryInfo(EntryInfo& out) const
{
    if (m_ctx->_zipFile == nullptr)
        return false;
    out = m_ctx->_info;
    return true;
}

bool ZipReader::ExtractCurrentEntry(ExtractDelegate& sink, const std::string& password)
{
    return m_ctx->_Extract(sink, password);
}

bool ZipReader::ExtractCurrentEntryToFilePath(const std::string& path, const std::string& password)
{
    return m_ctx->_ExtractToPath(path, password, nullptr);
}

// Bytes below 0x20 and 0x7F: in a name they could break a log line.
static bool _HasControl(const std::string& name)
{
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

bool IsSafeEntryName(const std::string& name)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\')
        return false;
    if (_HasControl(name))
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

// An archive must not write outside the directory it is unpacked under,
// nor under a name other than its own.
std::string ZipReaderPrivate::_NameRefusal() const
{
    if (_name_size > ZipReader::kNameMax)
        return "has a name longer than " + std::to_string(ZipReader::kNameMax) + " bytes";
    if (!_name_whole)
        return "has a name holding a zero byte";
    if (_HasControl(_info.name))
        return "has a name holding control characters";
    if (!IsSafeEntryName(_info.name))
        return "\"" + _info.name + "\" leaves the directory";
    return std::string();
}

bool ZipReader::ExtractCurrentEntryToDir(const std::string& dir, const std::string& password)
{
    if (m_ctx->_zipFile == nullptr || !m_ctx->_NameRefusal().empty())
        return false;
    return ExtractCurrentEntryToFilePath(dir + "/" + m_ctx->_info.name, password);
}

bool ZipReader::ExtractCurrentEntryToFile(kivo::filesystem::File* file, const std::string& password)
{
    if (m_ctx->_zipFile == nullptr || m_ctx->_info.is_directory)
        return false;
    FileExtractDelegate sink(file);
    return m_ctx->_Extract(sink, password);
}

bool ZipReader::ExtractCurrentEntryToString(size_t maxReadBytes, std::string* output,
                                            const std::string& password) const
{
    assert(output);
    assert(0U < maxReadBytes);
    if (m_ctx->_zipFile == nullptr)
        return false;
    if (m_ctx->_info.is_directory) {
        output->clear();
        return false;
    }
    std::string scratch;
    const uint64_t size = m_ctx->_info.size > 0 ? (uint64_t)m_ctx->_info.size : 0;
    // An entry must be read whole, so one over the limit (or over what a
    // string can hold: on the device a 64-bit size may exceed any size_t)
    // fails before anything is read or reserved.
    if (size > (uint64_t)maxReadBytes || size > (uint64_t)scratch.max_size())
        return false;
    // The recorded size is the archive's claim: reserve at most 1 MiB on its
    // word, the text grows with the bytes that really come.
    scratch.reserve((size_t)(size < (1u << 20) ? size : (1u << 20)));
    StringExtractDelegate sink(maxReadBytes, &scratch);
    if (!m_ctx->_Extract(sink, password))
        return false;
    output->swap(scratch);
    return true;
}

// ---- whole archives

namespace {

std::string _Entry(uint64_t index)
{
    char text[48];
    snprintf(text, sizeof text, "entry %llu", (unsigned long long)index);
    return text;
}

// Free bytes of the file system that really holds `dir`. statfs takes the
// system's own paths, so the directory is resolved through its mount first;
// one not made yet is measured at its nearest existing parent. False when
// nothing could be measured.
bool _FreeBytes(const std::string& dir, uint64_t* avail)
{
    std::string path = dir;
    for (;;) {
        std::vector<char> native(path.size() + 4096);
        kivo_statfs_t usage;
        if (kivo_file_system_path(path.c_str(), native.data(), native.size()) == 0 &&
            kivo_statfs(native.data(), &usage) == 0) {
            *avail = usage.avail;
            return true;
        }
        size_t cut = path.find_last_of("/\\");
        if (path.size() <= 1 || cut == std::string::npos)
            return false;
        path = cut == 0 ? "/" : path.substr(0, cut);
    }
}

}  // namespace

struct ZipUnpacker {
    typedef kivo::Function1<bool, const ZipReader::EntryInfo&> Filter;

    // Where an entry's stored bytes lie in the archive.
    struct Span {
        uint64_t start;
        uint64_t end;
    };

    // What the walk over the central directory gathered.
    struct Tally {
        Tally() : declared(0), index(0), dir_bytes(0) {}

        std::vector<Span> spans;
        uint64_t declared;   // bytes the entries taken will take
        uint64_t index;      // entries read
        uint64_t dir_bytes;  // of the central records read
    };

    // Looks at every entry before anything is written: its name, how it is
    // stored, where its bytes lie, what it will take on the medium.
    static bool Survey(ZipReader& reader, const std::string& dir, const Filter* filter,
                       std::vector<bool>* taken, std::string* cause)
    {
        ZipReaderPrivate* ctx = reader.m_ctx;
        Tally tally;
        if (!WalkDirectory(reader, filter, taken, &tally, cause) || !CheckCounts(reader, tally, cause) ||
            !CheckOverlaps(&tally.spans, cause) || !CheckSpace(dir, tally.declared, cause))
            return false;
        ctx->_IoClear();
        if (!reader.GoToFirstEntry()) {
            *cause = ctx->_io.step != nullptr ? ctx->_IoCause() : "the archive cannot be read again";
            return false;
        }
        return true;
    }

    static bool WalkDirectory(ZipReader& reader, const Filter* filter, std::vector<bool>* taken, Tally* tally,
                              std::string* cause)
    {
        for (;;) {
            if (!SurveyEntry(reader.m_ctx, filter, taken, tally, cause))
                return false;
            ++tally->index;
            reader.m_ctx->_IoClear();
            if (!reader.GoToNextEntry())
                return true;
        }
    }

    // The current entry's central record: its name and method, when the
    // filter takes it, then where its bytes lie.
    static bool SurveyEntry(ZipReaderPrivate* ctx, const Filter* filter, std::vector<bool>* taken, Tally* tally,
                            std::string* cause)
    {
        const ZipReader::EntryInfo& info = ctx->_info;
        unz_file_info64 fi;
        // The raw central name, to hold against the local one.
        char central[ZipReader::kNameMax + 1];
        if (unzGetCurrentFileInfo64(ctx->_zipFile, &fi, central, sizeof central, nullptr, 0, nullptr, 0) != UNZ_OK) {
            *cause = _Entry(tally->index) + " has a damaged central record";
            return false;
        }
        tally->dir_bytes += kCentralRecordSize + (uint64_t)fi.size_filename + fi.size_file_extra + fi.size_file_comment;
        const bool take = filter == nullptr || (*filter)(info);
        taken->push_back(take);
        const std::string unreadable = _Unreadable(fi);
        if (take) {
            std::string refusal = ctx->_NameRefusal();
            if (refusal.empty() && !unreadable.empty())
                refusal = "\"" + info.name + "\" " + unreadable;
            if (!refusal.empty()) {
                *cause = _Entry(tally->index) + " " + refusal;
                return false;
            }
            if (!info.is_directory)
                tally->declared = fi.uncompressed_size > UINT64_MAX - tally->declared
                                      ? UINT64_MAX
                                      : tally->declared + fi.uncompressed_size;
        }
        // An entry left out in a method the library cannot open is never
        // read, so its bytes are not placed.
        if (!unreadable.empty() && !take)
            return true;
        return PlaceEntry(ctx, fi, central, take, tally, cause);
    }

    // Where the stored bytes begin is known only once the entry's own
    // header was read; raw, so that nothing is decrypted.
    static bool PlaceEntry(ZipReaderPrivate* ctx, const unz_file_info64& fi, const char* central, bool take,
                           Tally* tally, std::string* cause)
    {
        int method = 0;
        int level = 0;
        ctx->_IoClear();
        if (unzOpenCurrentFile2(ctx->_zipFile, &method, &level, 1) != UNZ_OK) {
            *cause = ctx->_io.step != nullptr ? ctx->_IoCause() : _Entry(tally->index) + " has a damaged local header";
            return false;
        }
        // From the entry's own header to the end of its stored bytes.
        Span span;
        const uint64_t data = unzGetCurrentFileZStreamPos64(ctx->_zipFile);
        const int local_extra = unzGetLocalExtrafield(ctx->_zipFile, nullptr, 0);
        const uint64_t header = kLocalHeaderSize + (uint64_t)fi.size_filename + (local_extra > 0 ? local_extra : 0);
        span.start = data >= header ? data - header : 0;
        span.end = data + fi.compressed_size;
        unzCloseCurrentFile(ctx->_zipFile);
        if (span.end < span.start) {
            *cause = _Entry(tally->index) + " claims more bytes than an archive can hold";
            return false;
        }
        // No CRC covers a name: one damaged in the central directory
        // alone would install the entry's bytes under a name no one
        // packed. The library compares only the lengths.
        ctx->_IoClear();
        if (take && !LocalNameIs(ctx, span.start + kLocalHeaderSize, central, fi.size_filename)) {
            *cause = ctx->_io.step != nullptr
                         ? ctx->_IoCause()
                         : _Entry(tally->index) + " \"" + ctx->_info.name + "\" is named otherwise in its local header";
            return false;
        }
        tally->spans.push_back(span);
        return true;
    }

    // The archive's directory ended (or its file failed) after `read` of
    // the entries its end record counts.
    static std::string EndedEarly(ZipReader& reader, uint64_t read)
    {
        if (reader.m_ctx->_io.step != nullptr)
            return reader.m_ctx->_IoCause();
        return "the archive's directory ends after " + std::to_string(read) + " of " +
               std::to_string(reader.GetEntryCount()) + " entries";
    }

    // The records read against the count and size the end record gives.
    static bool CheckCounts(ZipReader& reader, const Tally& tally, std::string* cause)
    {
        ZipReaderPrivate* ctx = reader.m_ctx;
        if (tally.index < (uint64_t)reader.GetEntryCount()) {
            *cause = EndedEarly(reader, tally.index);
            return false;
        }
        // The library stops at the count, but for a count of 0 (and 0xFFFF,
        // a count too large for its field) it reads records until none
        // follows: an end record that counts none for a directory that holds
        // some is damaged.
        if (reader.GetEntryCount() == 0 && tally.index > 0) {
            *cause = "the archive's directory holds more entries than its end record counts (0)";
            return false;
        }
        // For other counts it stops there, so records past the count would be
        // left out unseen: the records read must fill the directory.
        uint64_t dir_size = 0;
        ctx->_IoClear();
        const int sized = reader.GetEntryCount() != 0xFFFF ? DirectorySize(ctx, &dir_size) : 0;
        if (sized < 0) {
            *cause = ctx->_io.step != nullptr ? ctx->_IoCause() : "the archive's end record cannot be read again";
            return false;
        }
        if (sized > 0 && tally.dir_bytes < dir_size) {
            *cause = "the archive's directory holds more than the " + std::to_string(reader.GetEntryCount()) +
                     " entries its end record counts";
            return false;
        }
        return true;
    }

    // Entries are laid one after another; two that claim the same bytes
    // (one stream unpacked many times over) are a crafted archive.
    static bool CheckOverlaps(std::vector<Span>* spans, std::string* cause)
    {
        std::sort(spans->begin(), spans->end(), [](const Span& a, const Span& b) { return a.start < b.start; });
        for (size_t i = 1; i < spans->size(); ++i) {
            const Span& prev = (*spans)[i - 1];
            if ((*spans)[i].start < prev.end || (*spans)[i].start == prev.start) {
                *cause = "entries overlap in the archive";
                return false;
            }
        }
        return true;
    }

    static bool CheckSpace(const std::string& dir, uint64_t declared, std::string* cause)
    {
        uint64_t avail = 0;
        if (_FreeBytes(dir, &avail) && declared > avail) {
            *cause = "the entries need " + std::to_string(declared) + " bytes, " + dir + " has " +
                     std::to_string(avail) + " free";
            return false;
        }
        return true;
    }

    // Where the last end record begins in the archive's tail, or npos.
    static size_t LastEndRecord(const std::vector<unsigned char>& bytes)
    {
        for (size_t at = bytes.size() - (size_t)kEndRecordSize + 1; at-- > 0;) {
            const unsigned char* r = &bytes[at];
            if (r[0] == 'P' && r[1] == 'K' && r[2] == 5 && r[3] == 6)
                return at;
        }
        return std::string::npos;
    }

    // The size of the central directory as the last end record gives it:
    // 1, or 0 when the archive gives it in its zip64 record (the field is
    // then 0xFFFFFFFF), -1 when the archive cannot be read (it was opened,
    // so its end record is there).
    static int DirectorySize(ZipReaderPrivate* ctx, uint64_t* size)
    {
        ZipStream* s = _Stream(ctx->_io.stream);
        if (s == nullptr)
            return -1;
        const int64_t end = s->buffer.Seek(0, SEEK_END);
        if (end < kEndRecordSize)
            return -1;
        const int64_t tail = std::min(end, kEndSearchSize);
        std::vector<unsigned char> bytes((size_t)tail);
        if (s->buffer.Seek(end - tail, SEEK_SET) < 0)
            return -1;
        size_t got = 0;
        while (got < bytes.size()) {
            kivo_err_t e = 0;
            const ssize_t n = s->buffer.Read(bytes.data() + got, bytes.size() - got, &e);
            if (n <= 0 || e != 0)
                return -1;
            got += (size_t)n;
        }
        const size_t at = LastEndRecord(bytes);
        if (at == std::string::npos)
            return -1;
        const unsigned char* r = &bytes[at];
        const uint32_t field = (uint32_t)r[12] | (uint32_t)r[13] << 8 | (uint32_t)r[14] << 16 | (uint32_t)r[15] << 24;
        *size = field;
        return field != 0xFFFFFFFFu ? 1 : 0;
    }

    // Whether the entry's local header, whose name begins at `at`, holds
    // the same name bytes as its central record. Read through the stream
    // the library has open, whose buffer still holds that header.
    static bool LocalNameIs(ZipReaderPrivate* ctx, uint64_t at, const char* central, uint64_t size)
    {
        ZipStream* s = _Stream(ctx->_io.stream);
        if (s == nullptr || size > ZipReader::kNameMax || at > (uint64_t)INT64_MAX ||
            s->buffer.Seek((int64_t)at, SEEK_SET) < 0)
            return false;
        char local[ZipReader::kNameMax + 1];
        size_t got = 0;
        while (got < size) {
            kivo_err_t e = 0;
            const ssize_t n = s->buffer.Read(local + got, (size_t)size - got, &e);
            if (n <= 0 || e != 0)
                return false;
            got += (size_t)n;
        }
        return memcmp(local, central, (size_t)size) == 0;
    }

    // Whether the archive is an end record alone that counts no entries
    // (the library does not open an archive whose end record is at byte 0).
    static bool EndRecordOnly(int32_t handle)
    {
        int64_t size = 0;
        if (kivo_file_lseek64(handle, 0, SEEK_END, &size) != 0 || size < kEndRecordSize)
            return false;
        const int64_t tail = std::min(size, kEndSearchSize);
        std::vector<unsigned char> bytes((size_t)tail);
        int64_t pos = 0;
        ssize_t got = 0;
        if (kivo_file_lseek64(handle, size - tail, SEEK_SET, &pos) != 0 ||
            kivo_file_read(handle, bytes.data(), bytes.size(), &got) != 0 || got != (ssize_t)tail)
            return false;
        const size_t at = LastEndRecord(bytes);
        if (at == std::string::npos)
            return false;
        return bytes[at + 10] == 0 && bytes[at + 11] == 0 && size - tail + (int64_t)at == 0;
    }

    // Why an archive does not open: the file, the format, or no entries.
    static std::string WhyNotOpen(const std::string& zipPath)
    {
        int32_t handle = kivo_file_handle_invalid;
        kivo_err_t err = kivo_file_open(&handle, zipPath.c_str(), 0);
        if (err != 0 || !kivo_file_handle_is_valid(handle))
            return "cannot open " + zipPath + ": " + strerror(err != 0 ? err : EIO);
        const bool empty = EndRecordOnly(handle);
        kivo_file_close(handle);
        if (empty)
            return "the archive holds no entries";
        zlib_filefunc64_def ff;
        kivo_zip_fill_filefunc64(&ff);
        unzFile zf = unzOpen2_64(zipPath.c_str(), &ff);
        if (zf == nullptr)
            return zipPath + " is not a zip archive";
        unz_global_info64 gi;
        std::string why = "the archive's first entry cannot be read";
        if (unzGetGlobalInfo64(zf, &gi) != UNZ_OK)
            why = zipPath + " is not a zip archive";
        else if (gi.number_entry == 0)
            why = "the archive holds no entries";
        else if (gi.number_entry > 0x7FFFFFFF)
            why = "the archive claims " + std::to_string(gi.number_entry) + " entries";
        unzClose(zf);
        return why;
    }

    // Every failure gets its cause line: the archive's, or the first
    // failing entry's (with the system's cause of a failed write).
    static bool Unzip(const std::string& zipPath, const std::string& dir, const Filter* filter,
                      const std::string& password, std::string* cause, int options)
    {
        // The directories that gained entries, when the unpacking is to be
        // durable.
        std::set<std::string> dirs;
        std::set<std::string>* changed = (options & kUnzipDurable) != 0 ? &dirs : nullptr;
        std::string scratch;
        if (cause == nullptr)
            cause = &scratch;
        cause->clear();
        ZipReader reader;
        if (!reader.Open(zipPath)) {
            // A file that fails to be read is no verdict on its format.
            *cause = reader.m_ctx->_io.step != nullptr ? reader.m_ctx->_IoCause() : WhyNotOpen(zipPath);
            return false;
        }
        // The filter is asked once an entry, during the survey.
        std::vector<bool> taken;
        if (!Survey(reader, dir, filter, &taken, cause) || !ExtractTaken(reader, dir, taken, password, changed, cause))
            return false;
        // Each file was flushed as it was closed; the entries of the
        // directories last, once no more are made.
        if (changed != nullptr) {
            for (const std::string& d : *changed) {
                if (!FlushDir(d, cause))
                    return false;
            }
        }
        return true;
    }

    // Walks the entries once more, writing those the survey took.
    static bool ExtractTaken(ZipReader& reader, const std::string& dir, const std::vector<bool>& taken,
                             const std::string& password, std::set<std::string>* changed, std::string* cause)
    {
        ZipReaderPrivate* ctx = reader.m_ctx;
        size_t visited = 0;
        bool more = true;
        while (more) {
            if (visited >= taken.size()) {
                *cause = "the archive holds more entries than it did when surveyed";
                return false;
            }
            if (taken[visited] && !ExtractEntry(ctx, visited, dir, password, changed, cause))
                return false;
            ++visited;
            ctx->_IoClear();
            more = reader.GoToNextEntry();
        }
        if (visited < (size_t)reader.GetEntryCount()) {
            *cause = EndedEarly(reader, visited);
            return false;
        }
        return true;
    }

    static bool ExtractEntry(ZipReaderPrivate* ctx, size_t index, const std::string& dir,
                             const std::string& password, std::set<std::string>* changed, std::string* cause)
    {
        if (!ctx->_NameRefusal().empty()) {
            *cause = _Entry(index) + " has a name that changed since the survey";
            return false;
        }
        std::string why;
        bool written = false;
        if (!ctx->_ExtractToPath(dir + "/" + ctx->_info.name, password, &why, &written, changed)) {
            *cause = written ? why : _Entry(index) + " \"" + ctx->_info.name + "\" " + why;
            return false;
        }
        return true;
    }

    static bool FlushDir(const std::string& dir, std::string* cause)
    {
        int32_t handle = kivo_file_handle_invalid;
        kivo_err_t err = kivo_file_open(&handle, dir.c_str(), 0);
        if (err == 0 && kivo_file_handle_is_valid(handle)) {
            err = kivo_file_fsync(handle);
            kivo_file_close(handle);
        } else if (err == 0) {
            err = EIO;
        }
        if (err != 0)
            *cause = "cannot flush the directory " + dir + ": " + strerror(err);
        return err == 0;
    }
};

bool UnzipToDir(const std::string& zipPath, const std::string& dir, const std::string& password,
                std::string* cause, int options)
{
    return ZipUnpacker::Unzip(zipPath, dir, nullptr, password, cause, options);
}

bool UnzipToDirFiltered(const std::string& zipPath, const std::string& dir,
                        const kivo::Function1<bool, const ZipReader::EntryInfo&>& filter,
                        const std::string& password, std::string* cause, int options)
{
    return ZipUnpacker::Unzip(zipPath, dir, &filter, password, cause, options);
}

// ---- writer

class ZipWriterPrivate {
public:
    ZipWriterPrivate() : _zipFile(nullptr) {}

    static bool CalcFileCrc(const char* path, uLong* crc);

    zipFile _zipFile;
};

bool ZipWriterPrivate::CalcFileCrc(const char* path, uLong* crc)
{
    kivo::filesystem::File file;
    if (!file.Open(path, 0))
        return false;
    char* chunk = static_cast<char*>(malloc(ZipWriter::kChunkSize));
    assert(chunk);
    uLong value = crc32(0L, Z_NULL, 0);
    bool ok = true;
    for (;;) {
        ssize_t n = file.Read(chunk, ZipWriter::kChunkSize, nullptr);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        value = crc32(value, reinterpret_cast<const Bytef*>(chunk), (uInt)n);
    }
    free(chunk);
    *crc = value;
    return ok;
}

ZipWriter::ZipWriter() : m_ctx(new ZipWriterPrivate())
{
    assert(m_ctx);
}

ZipWriter::ZipWriter(const std::string& path, OpenMode mode) : m_ctx(new ZipWriterPrivate())
{
    assert(m_ctx);
    Open(path, mode);
}

ZipWriter::~ZipWriter()
{
    Close();
    delete m_ctx;
}

bool ZipWriter::Open(const std::string& path, OpenMode mode)
{
    assert(!m_ctx->_zipFile);
    if (!kivo::filesystem::IsFile(path))
        mode = kCreate;
    zlib_filefunc64_def ff;
    kivo_zip_fill_filefunc64(&ff);
    m_ctx->_zipFile = zipOpen2_64(path.c_str(), (int)mode, nullptr, &ff);
    return m_ctx->_zipFile != nullptr;
}

bool ZipWriter::Close()
{
    if (m_ctx->_zipFile == nullptr)
        return true;
    // The central directory and the end record are written here: without
    // them the archive cannot be opened.
    const bool ok = zipClose(m_ctx->_zipFile, nullptr) == ZIP_OK;
    m_ctx->_zipFile = nullptr;
    return ok;
}

static bool _OpenEntry(zipFile zf, const std::string& name, const zip_fileinfo& zi,
                       const std::string& password, int level, uLong crc)
{
    // minizip's writer overflows its header buffer on names over 0xFFFF
    // bytes; the format cannot hold them anyway.
    if (name.empty() || name.size() > ZipWriter::kNameMax)
        return false;
    return zipOpenNewFileInZip3(zf, name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                level, 0, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY,
                                password.empty() ? nullptr : password.c_str(),
                                password.empty() ? 0 : crc) == ZIP_OK;
}

// An entry without bytes (a directory).
static bool _AddBareEntry(zipFile zf, const std::string& name, const zip_fileinfo& zi,
                          const std::string& password, int level)
{
    if (!_OpenEntry(zf, name, zi, password, level, 0))
        return false;
    return zipCloseFileInZip(zf) == ZIP_OK;
}

// The entry's time (the source's modification time, as local time) and
// attributes.
static zip_fileinfo _EntryInfoOf(const std::string& srcPath, bool isDir)
{
    zip_fileinfo zi;
    memset(&zi, 0, sizeof(zi));
    kivo_stat64_t st;
    kivo_time_t mtime = 0;
    if (kivo_file_stat64(srcPath.c_str(), &st) == 0)
        mtime = st.mtime;
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    kivo_time_localtime(mtime, &tm);
    zi.tmz_date.tm_sec = (uInt)tm.tm_sec;
    zi.tmz_date.tm_min = (uInt)tm.tm_min;
    zi.tmz_date.tm_hour = (uInt)tm.tm_hour;
    zi.tmz_date.tm_mday = (uInt)tm.tm_mday;
    zi.tmz_date.tm_mon = (uInt)tm.tm_mon;
    zi.tmz_date.tm_year = (uInt)(tm.tm_year + 1900);
    zi.external_fa = isDir ? 0x10 : 0;
    return zi;
}

// Copies the source into the entry open in zf, then closes the entry.
static bool _CopyIntoEntry(zipFile zf, kivo::filesystem::File& src)
{
    char* chunk = static_cast<char*>(malloc(ZipWriter::kChunkSize));
    assert(chunk);
    bool ok = true;
    for (;;) {
        ssize_t n = src.Read(chunk, ZipWriter::kChunkSize, nullptr);
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (zipWriteInFileInZip(zf, chunk, (unsigned)n) != ZIP_OK) {
            ok = false;
            break;
        }
    }
    free(chunk);
    int rc = zipCloseFileInZip(zf);
    return ok && rc == ZIP_OK;
}

bool ZipWriter::AddDirEntry(const std::string& name, const std::string& password, int level)
{
    if (m_ctx->_zipFile == nullptr)
        return false;
    zip_fileinfo zi;
    memset(&zi, 0, sizeof(zi));
    zi.external_fa = 0x10;
    return _AddBareEntry(m_ctx->_zipFile, name + "/", zi, password, level);
}

bool ZipWriter::AddEntry(const std::string& srcPath, const std::string& nameInZip,
                         const std::string& password, int level)
{
    if (m_ctx->_zipFile == nullptr)
        return false;
    bool isDir = kivo::filesystem::IsDir(srcPath);
    std::string name = isDir ? nameInZip + "/" : nameInZip;
    if (name.size() > kNameMax)
        return false;
    uLong crc = 0;
    if (!isDir && !password.empty() && !ZipWriterPrivate::CalcFileCrc(srcPath.c_str(), &crc))
        return false;
    const zip_fileinfo zi = _EntryInfoOf(srcPath, isDir);
    if (isDir)
        return _AddBareEntry(m_ctx->_zipFile, name, zi, password, level);
    // Open the source before the entry, so a missing file leaves no
    // half-made entry behind.
    kivo::filesystem::File src;
    if (!src.Open(srcPath.c_str(), 0))
        return false;
    if (!_OpenEntry(m_ctx->_zipFile, name, zi, password, level, crc))
        return false;
    return _CopyIntoEntry(m_ctx->_zipFile, src);
}

bool ZipWriter::AddDirRecursive(const std::string& dir, const std::string& prefix,
                                const kivo::Function1<bool, const std::string&>* filter,
                                const std::string& password, int level)
{
    kivo::filesystem::Dir d;
    if (!d.Open(dir.c_str())) {
        printf("zip: add dir recursive failed, %s is invalid\n", dir.c_str());
        return false;
    }
    while (d.FindNext()) {
        if (d.IsDots())
            continue;
        kivo::filesystem::File::Status st;
        if (!d.GetFileStatus(st))
            continue;
        std::string name = prefix.empty() ? d.GetFileName() : prefix + "/" + d.GetFileName();
        if (filter != nullptr && !(*filter)(name))
            continue;
        std::string path = d.GetFilePath();
        if (!AddEntry(path, name, password, level)) {
            printf("zip: add endry %s failed\n", name.c_str());
            return false;
        }
        if (st.is_dir && !AddDirRecursive(path, name, filter, password, level))
            return false;
    }
    return true;
}

// A writer on zipPath with the tree under srcDir added; false when the
// archive does not open, an entry cannot be added, or the archive cannot be
// finished.
static bool _ZipTree(const std::string& srcDir, const std::string& zipPath,
                     const kivo::Function1<bool, const std::string&>* filter, const std::string& password,
                     ZipWriter::OpenMode mode, int level)
{
    ZipWriter writer;
    if (!writer.Open(zipPath, mode)) {
        printf("zip: open file %s failed\n", zipPath.c_str());
        return false;
    }
    const bool added = writer.AddDirRecursive(srcDir, "", filter, password, level);
    const bool closed = writer.Close();
    return added && closed;
}

bool ZipDir(const std::string& srcDir, const std::string& zipPath,
            const kivo::Function1<bool, const std::string&>& filter, const std::string& password,
            ZipWriter::OpenMode mode, int level)
{
    // An empty filter accepts every name.
    return _ZipTree(srcDir, zipPath, filter.TargetIdentity() != 0 ? &filter : nullptr, password, mode, level);
}

static bool _NotHidden(const std::string& name)
{
    size_t slash = name.find_last_of("/\\");
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    return start >= name.size() || name[start] != '.';
}

bool ZipDirSkipHidden(const std::string& srcDir, const std::string& zipPath, bool skipHidden,
                      const std::string& password, ZipWriter::OpenMode mode, int level)
{
    kivo::Function1<bool, const std::string&> filter(&_NotHidden);
    return _ZipTree(srcDir, zipPath, skipHidden ? &filter : nullptr, password, mode, level);
}

}  // namespace zip
}  // namespace kivo
