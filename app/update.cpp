#include "app/update.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "app/crc16_modbus.h"
#include "kivo/common/str_utils.h"
#include "kivo/filesystem/file.h"
#include "kivo/filesystem/fs_utils.h"
#include "kivo/service/elem.h"
#include "kivo/utils/zip.h"

using kivo::Message;
using kivo::Var;
using kivo::filesystem::File;

namespace {

const char* const kZipPassword = "kth507316";
const char* const kPreUpdateList = "/update/PreUpdateList";

bool _ElemIsOne(const char* path)
{
    return kivo::ElemRead(path).ToInt32() == 1;
}

std::string _Int(int64_t v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    return buf;
}

// Every '\' and '/' written as '/'.
std::string _Slashes(const std::string& path)
{
    return kivo::filesystem::NormalizePath(path);
}

// The stem of a file name: without its extension (from its last '.'). The
// name is a whole device name: a ':' or '\' in it is part of the stem.
std::string _Stem(const std::string& name)
{
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

bool _IsBootImage(const std::string& name)
{
    std::string lower(name);
    kivo::StrToLower(lower);
    return lower == "boot.bin";
}

// Reads until count bytes arrived or the file gives no more.
size_t _ReadFull(File& f, uint8_t* buf, size_t count)
{
    size_t done = 0;
    while (done < count) {
        ssize_t n = f.Read(buf + done, count - done, nullptr);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

// Writes all of buf unless the file system fails; false then, its cause
// through err (0 when a write took nothing without saying why).
bool _WriteAll(File& f, const uint8_t* buf, size_t count, kivo_err_t* err)
{
    size_t done = 0;
    *err = 0;
    while (done < count) {
        ssize_t n = f.Write(buf + done, count - done, err);
        if (*err != 0 || n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// ": " and the system's text of err; "" without one.
std::string _Cause(kivo_err_t err)
{
    return err != 0 ? std::string(": ") + strerror(err) : std::string();
}

uint32_t _Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// IniFile loads on construction; the object is then reused for each load.
bool _LoadIni(std::unique_ptr<kivo::IniFile>& ini, const std::string& path, bool must_exist)
{
    if (!ini) {
        ini.reset(new kivo::IniFile(path.c_str()));
        if (!must_exist)
            return true;
        ini->Close();
    }
    return ini->Load(path.c_str(), must_exist);
}

void _CloseIni(std::unique_ptr<kivo::IniFile>& ini)
{
    if (ini)
        ini->Close();
}

}  // namespace

Update::Update()
    : _flash_info_type(FLASH_INFO_TYPE_INFO), _started(false), _updated(false), _status(0), _running(false)
{
}

Update::~Update() {}

bool Update::Init()
{
    Connect("update.run", [this](Message& msg) { OnUpdateRun(msg); }, 0);
    return true;
}

void Update::OnUpdateRun(Message& msg)
{
    // A request that reaches the module while its run is under way (sent
    // from inside one of the run's own sends) is a bad request: running it
    // there would unpack over the package in use.
    if (_running) {
        msg.Back(Var(1));
        return;
    }
    _running = true;
    int32_t status = RunUpdate(msg);
    _running = false;
    msg.Back(Var(status));
}

void Update::SendUpdateInfo(int32_t kind, const std::string& value)
{
    _update_output_info info;
    info.kind = kind;
    info.value = Var(value);
    Send(Message::Current(), "update_info", Message::Value(Var(kivo::MakeHeapValue(info))));
}

void Update::SendUpdateInfo(int32_t kind, int32_t value)
{
    _update_output_info info;
    info.kind = kind;
    info.value = Var(value);
    Send(Message::Current(), "update_info", Message::Value(Var(kivo::MakeHeapValue(info))));
}

void Update::SendInfo(int32_t level, const std::string& text, int32_t indent)
{
    std::string line(indent > 0 ? static_cast<size_t>(indent) : 0, '\t');
    line += text;
    SendUpdateInfo(level, line);
}

int32_t Update::RunUpdate(Message& msg)
{
    _status = 2;
    _started = false;
    _unsafe.clear();
    _update_info_st info;
    if (!kivo::var_trains::FromVar(msg.value, &info) || info.zip_file.size() <= 2 || info.dir_map.empty()) {
        SendInfo(2, "input param error");
        return 1;
    }

    // Encrypted entries are opened with the fixed password on the second
    // attempt; a refused archive is refused by both, for the same cause.
    // Each attempt starts from an empty work directory: what an earlier run
    // or attempt left there (a damaged entry, another package's files) must
    // never be installed, nor count against the free space.
    // A package that lies in the work directory itself is unpacked over
    // what is there, as it always was.
    std::string cause;
    const std::string work = kivo::filesystem::GetFullPath(info.unzip_dir);
    const bool package_inside = kivo::filesystem::GetFullPath(info.zip_file).compare(0, work.size() + 1, work + "/") == 0;
    // Leftovers that cannot be removed would be installed with the package:
    // no unpacking then.
    bool cleared = package_inside || _ClearWorkDir(info.unzip_dir);
    bool unpacked = cleared && kivo::zip::UnzipToDir(info.zip_file, info.unzip_dir, "", &cause);
    if (!unpacked && cleared) {
        cleared = package_inside || _ClearWorkDir(info.unzip_dir);
        unpacked = cleared && kivo::zip::UnzipToDir(info.zip_file, info.unzip_dir, kZipPassword, &cause);
    }
    if (!cleared)
        cause = info.unzip_dir + " cannot be emptied";
    bool work_dir = false;
    if (unpacked) {
        kivo_stat64_t st;
        const kivo_err_t e = kivo_file_stat64(info.unzip_dir.c_str(), &st);
        work_dir = e == 0 && (st.mode & 0xF000u) == 0x4000u;
        if (e != 0)
            cause = "cannot read the status of " + info.unzip_dir + _Cause(e);
        else if (!work_dir)
            cause = info.unzip_dir + " is not a directory";
    }
    if (!work_dir) {
        if (!cause.empty())
            SendInfo(2, "unzip fail: " + cause);
        SendInfo(2, "unzip fail in " + info.unzip_dir);
        return 3;
    }
    SendInfo(0, "unzip update file finish");

    Message::Value answer(Var(info.unzip_dir));
    int32_t go_on = Send(Message::Current(), "update_start", answer) ? answer.value.ToInt32() : 0;
    if (go_on != 0) {
        if (!_ElemIsOne("/update/force")) {
            std::vector<std::string>* shared = kivo::GetShared<std::vector<std::string>>(kPreUpdateList);
            if (!info.pre_update_files.empty() || shared != nullptr) {
                if (shared != nullptr)
                    info.pre_update_files.insert(info.pre_update_files.end(), shared->begin(), shared->end());
                SendInfo(0, "PreUpdateFileList size is " + _Int(static_cast<int64_t>(info.pre_update_files.size())));
                for (const std::string& entry : info.pre_update_files) {
                    std::string path = _Slashes(info.unzip_dir + "/" + entry);
                    SendInfo(0, "Start PreUpdate file :  " + path);
                    if (kivo::filesystem::IsFile(path)) {
                        std::string name = kivo::filesystem::DeviceFileName(path);
                        ProcessDir(kivo::filesystem::DeviceDirOfPath(path).c_str(), true, info, &name);
                    }
                }
                // Not into a file that was left damaged: the run goes on, and
                // ends without a reboot.
                if (_updated && _unsafe.empty() && _ElemIsOne("/update/PreNeedReboot")) {
                    // The device reboots at once: no walk, no "update_end",
                    // and the work directory is left as it is.
                    SendUpdateInfo(3, 1);
                    return 5;
                }
            }
        }

        Send(Message::Current(), "normal_update_start", Message::Value(Var(info.unzip_dir)));
        std::string failure;
        if (!kivo::filesystem::ForEachFile(info.unzip_dir.c_str(), false,
                                           [this, &info](const char* path, bool is_dir) {
                                               ProcessDir(path, is_dir, info, nullptr);
                                           },
                                           &failure)) {
            SendInfo(2, failure);
            _Unsafe(info.unzip_dir + " not read whole");
        }
        // Rewriting that started but left no file whole is no reason to
        // reboot (the device would boot into what failed to install), nor
        // a finished update: nothing counts as rewritten.
        if (_updated)
            _status = 5;
        // Nor is a run that left a file damaged, or that could not read all
        // of the package: the device would boot into a broken or half
        // installed system, and the rerun that repairs it would never come.
        // Said before the end of rewriting, which stays the last state.
        if (!_unsafe.empty()) {
            std::string what;
            for (const std::string& u : _unsafe)
                what += (what.empty() ? "" : ", ") + u;
            SendInfo(2, "update incomplete, no reboot: " + what);
            _status = 2;
        }
        if (_started)
            SendUpdateInfo(3, 1);
        Send(Message::Current(), "update_end", Message::Value(Var(_status)));
    }

    _ClearWorkDir(info.unzip_dir);
    return _status;
}

bool Update::_ClearWorkDir(const std::string& dir)
{
    // Never the root itself, whatever the request says.
    const std::string full = kivo::filesystem::GetFullPath(dir);
    if (full.empty() || full == "/")
        return false;
    if (kivo::filesystem::RemoveDirUnder(dir, dir) || !kivo::filesystem::IsDir(dir))
        return true;
    // The directory itself may not go (a mount point); what matters is that
    // none of its entries are left to be unpacked around and installed.
    kivo::filesystem::Dir d;
    if (!d.Open(dir.c_str()))
        return false;
    bool empty = true;
    while (empty && d.FindNext())
        empty = d.IsDots();
    // A directory that could not be read to its end is not known empty.
    if (d.Error() != 0)
        empty = false;
    d.Close();
    return empty;
}

bool Update::_SendFinished(const std::string& board_file)
{
    _update_output_info info;
    info.kind = 5;
    info.value = Var(board_file);
    Message::Value answer(Var(kivo::MakeHeapValue(info)));
    if (!Send(Message::Current(), "update_info", answer))
        return true;
    // The receiver answers an archive's report with the result of unpacking
    // it beside itself: an answer marked not valid when it is not whole.
    return answer.valid;
}

void Update::ProcessDir(const char* path, bool is_dir, const _update_info_st& info, const std::string* single)
{
    std::string dir(path != nullptr ? path : "");
    if (!is_dir || dir.size() < 2)
        return;
    SendInfo(0, "zip dir :" + dir);

    std::string board = kivo::filesystem::DeviceFileName(dir);
    kivo::StrReplaceAll(board, "@", "/");
    SendInfo(0, "flash dir :" + board);

    bool found = false;
    if (!board.empty() && board[0] == '/') {
        kivo_stat64_t st;
        const kivo_err_t e = kivo_file_stat64(board.c_str(), &st);
        found = e == 0 && (st.mode & 0xF000u) == 0x4000u;
        // Not there is a warning; there but not readable is an error.
        if (e != 0 && e != ENOENT && e != ENOTDIR) {
            SendInfo(2, "cannot read the status of " + board + _Cause(e));
            _Unsafe(board + " not read");
            return;
        }
    }
    if (!found) {
        for (const _update_dir_entry& entry : info.dir_map) {
            _dir_entry = entry;
            if (_dir_entry.name == board) {
                board = _dir_entry.board_dir;
                found = true;
            }
        }
    }
    if (!found) {
        SendInfo(1, "flash dir in board not exist:" + board + " !!!!");
        return;
    }

    std::string info_path = dir + "/" + "info.ini";
    kivo_stat64_t info_st;
    const kivo_err_t info_err = kivo_file_stat64(info_path.c_str(), &info_st);
    if (info_err != 0 && info_err != ENOENT) {
        SendInfo(2, "info file of zip dir in zip read fail:" + info_path + ": cannot read its status" + _Cause(info_err));
        _Unsafe(info_path + " not read");
        return;
    }
    if (info_err != 0 || (info_st.mode & 0xF000u) == 0x4000u) {
        SendInfo(1, "info file of zip dir in zip not exist:" + info_path);
        return;
    }
    std::string info_cause;
    if (CheckInfoIniCrc(info_path, &info_cause) <= 0) {
        // A file that could not be read is no failed check: the directory
        // is not installed, and the run must not reboot.
        if (!info_cause.empty()) {
            SendInfo(2, "info file of zip dir in zip read fail:" + info_path + ": " + info_cause);
            _Unsafe(info_path + " not read");
        } else {
            SendInfo(1, "info file of zip dir in zip crc check error:" + info_path);
        }
        return;
    }
    SendInfo(0, "Enter Dir " + board);
    if (!_LoadIni(_zip_ini, info_path, true)) {
        SendInfo(1, "info file of zip dir open error:" + info_path);
        return;
    }

    if (single != nullptr) {
        ProcessFile((dir + "/" + *single).c_str(), false, board, dir);
    } else {
        std::string failure;
        if (!kivo::filesystem::ForEachFile(dir.c_str(), false,
                                           [this, &board, &dir](const char* entry, bool entry_is_dir) {
                                               ProcessFile(entry, entry_is_dir, board, dir);
                                           },
                                           &failure)) {
            SendInfo(2, failure);
            _Unsafe(dir + " not read whole");
        }
    }
    _CloseIni(_zip_ini);
    SendInfo(0, "Exit Dir " + board);
}

void Update::ProcessFile(const char* path, bool is_dir, const std::string& board_dir, const std::string& zip_dir)
{
    if (is_dir || path == nullptr)
        return;
    const std::string zip_path = _Slashes(path);
    const std::string name = kivo::filesystem::DeviceFileName(zip_path);
    if (name == "info.ini")
        return;
    const std::string board_file = board_dir + "/" + name;
    const std::string version_file = board_dir + "/" + _Stem(name) + "-info.ini";

    SendInfo(0, "-> file name : " + zip_path, 1);
    _flash_info_type = _IsBootImage(name) ? FLASH_INFO_TYPE_INFO : FLASH_INFO_TYPE_INI;
    const bool ini_kind = _flash_info_type == FLASH_INFO_TYPE_INI;
    SendInfo(0, zip_dir + (ini_kind ? " FLASH_INFO_TYPE_INI" : " FLASH_INFO_TYPE_INFO"), 2);

    bool need = false;
    kivo_stat64_t board_st;
    const kivo_err_t board_err = kivo_file_stat64(board_file.c_str(), &board_st);
    if (board_err != 0 && board_err != ENOENT) {
        // Neither missing nor known: nothing is decided on it.
        SendInfo(2, "cannot read the status of " + board_file + _Cause(board_err), 2);
        _Unsafe(board_file + " not read");
        return;
    }
    if (board_err != 0) {
        if (!ini_kind) {
            SendInfo(1, "no_fs flash file no exist:" + board_file, 2);
            return;
        }
        SendInfo(1, "fs flash file no exist, need update:" + board_file, 2);
        _LoadIni(_flash_ini, version_file, false);
        need = true;
    } else if (ini_kind) {
        if (kivo::filesystem::IsFile(version_file)) {
            _LoadIni(_flash_ini, version_file, false);
            need = NeedUpdate(zip_path, board_dir) == 1;
        } else {
            SendInfo(1, "ini type file no exist info.ini, need update" + version_file, 2);
            _LoadIni(_flash_ini, version_file, false);
            need = true;
        }
    } else {
        need = NeedUpdate(zip_path, board_dir) == 1;
    }

    if (!need) {
        SendInfo(1, "check no need update", 2);
    } else {
        SendInfo(0, "-> need update, check zip file crc16...", 2);
        std::string unread;
        if (ini_kind && CheckZipFileCrc16(zip_path, &unread) <= 0) {
            // A package file that could not be read is no CRC mismatch.
            if (!unread.empty())
                SendInfo(2, "read file fail " + zip_path + ": " + unread, 2);
            else
                SendInfo(1, "check update file crc fail:" + zip_path, 2);
        } else {
            if (!_started)
                SendUpdateInfo(3, 0);
            // The old record must be gone before the file is emptied: left
            // in place, it would claim bytes the file no longer holds.
            kivo_err_t gone = ini_kind ? kivo_file_unlink(version_file.c_str()) : 0;
            _started = true;
            SendUpdateInfo(4, name);

            // Allocated before the installed file is truncated, so that a
            // failure here leaves it as it was.
            uint8_t* buf = gone != 0 && gone != ENOENT ? nullptr : new (std::nothrow) uint8_t[kCopyBlock];
            if (gone != 0 && gone != ENOENT) {
                SendInfo(2, "remove file fail " + version_file + _Cause(gone), 2);
            } else if (buf == nullptr) {
                SendInfo(2, "alloc space fail ", 2);
            } else {
                const bool created = board_err != 0;
                bool damaged = false;
                bool whole = _CopyFile(zip_path, board_file, !ini_kind, buf, &damaged);
                delete[] buf;
                // A file made by this copy has its directory entry on the
                // medium before a record vouches for it.
                kivo_err_t dir_err = 0;
                if (whole && created && !kivo::filesystem::FlushDir(board_dir, &dir_err)) {
                    SendInfo(2, "write file fail " + board_dir + _Cause(dir_err), 2);
                    whole = false;
                }
                // Installing a copied file ends with what the receiver does
                // on this report (an archive is unpacked beside itself): what
                // it could not put in place is neither old nor new.
                if (whole && !_SendFinished(board_file)) {
                    SendInfo(2, "unzip fail " + board_file, 2);
                    whole = false;
                    damaged = true;
                }
                if (damaged)
                    _Unsafe(board_file + " left damaged");
                // The record comes last, so that a run stopped before it
                // finds the file still to install; after a failure it says
                // the file is not installed.
                std::string version = "V0.0";
                int crc = 0;
                if (whole) {
                    version = _zip_ini->GetString(name, "version", "");
                    crc = _zip_ini->GetInt(name, "check_crc", 0);
                }
                if (ini_kind) {
                    // A record with a key that could not be set is not
                    // written as if whole.
                    const bool set = _flash_ini->SetString(name, "version", version) &&
                                     _flash_ini->SetInt(name, "check_crc", crc);
                    errno = 0;
                    if (!set || !_flash_ini->Save(version_file.c_str())) {
                        SendInfo(2, "write file fail " + version_file +
                                        (set ? _Cause(errno) : std::string(": a key could not be set")),
                                 2);
                        whole = false;
                        // Its bytes may be in place although the store
                        // failed (a flush or close that failed): a record
                        // not stored whole goes, so the next run installs
                        // the file again.
                        const kivo_err_t e = kivo_file_unlink(version_file.c_str());
                        if (e != 0 && e != ENOENT) {
                            SendInfo(2, "remove file fail " + version_file + _Cause(e), 2);
                            _Unsafe(version_file + " not removed");
                        }
                    }
                }
                // Only a file that is whole, and recorded so, is finished
                // and counts as rewritten.
                if (whole) {
                    _updated = true;
                    SendInfo(0, "finish update file " + name, 2);
                }
            }
        }
    }
    if (ini_kind)
        _CloseIni(_flash_ini);
}

bool Update::_CopyFile(const std::string& zip_path, const std::string& board_file, bool boot, uint8_t* buf,
                       bool* damaged)
{
    *damaged = false;
    kivo_err_t err = 0;
    File src;
    if (!src.Open(zip_path.c_str(), 0, &err)) {
        SendInfo(2, "open file fail " + zip_path + _Cause(err), 2);
        return false;
    }
    // Taken before the board file is emptied: a size that cannot be read
    // leaves it as it was.
    const int64_t length = src.GetLength(&err);
    if (length < 0) {
        SendInfo(2, "read file fail " + zip_path + ": cannot read its size" + _Cause(err), 2);
        return false;
    }
    File dst;
    if (!dst.Open(board_file.c_str(), 3, &err)) {
        SendInfo(2, "open file fail " + board_file + _Cause(err), 2);
        return false;
    }
    // Emptied: from here until the copy is whole it holds neither its old
    // nor its new bytes.
    *damaged = true;
    SendUpdateInfo(6, 0);

    // Every write, seek, flush and the close are checked: a file system may
    // report a full disk only at the flush or the close.
    auto write_fail = [&](kivo_err_t e) {
        SendInfo(2, "write file fail " + board_file + _Cause(e), 2);
        return false;
    };
    auto read_fail = [&](kivo_err_t e) {
        SendInfo(2, "read file fail " + zip_path + (e != 0 ? _Cause(e) : std::string(": the file ends early")), 2);
        return false;
    };
    auto seek = [&](File& f, const std::string& path, int64_t to) {
        kivo_err_t e = 0;
        if (f.Seek(to, File::SeekBegin, &e) == to)
            return true;
        SendInfo(2, "seek file fail " + path + _Cause(e), 2);
        return false;
    };

    bool ok = true;
    // Every copied block and the boot header get their own flush; the
    // closing flush is needed only when no block was copied (an empty file,
    // a boot image no longer than its header), not a second fsync per file.
    bool flushed = false;
    int64_t copied = 0;
    if (boot) {
        // The header region stays blank until the whole image is in place,
        // so an interrupted copy never looks like a valid image.
        memset(buf, 0xFF, kBootFill);
        if (!_WriteAll(dst, buf, kBootFill, &err) || !dst.Flush(&err))
            ok = write_fail(err);
        else
            ok = seek(src, zip_path, static_cast<int64_t>(kBootHeader)) &&
                 seek(dst, board_file, static_cast<int64_t>(kBootHeader));
        copied = static_cast<int64_t>(kBootHeader);
    }

    int64_t last_percent = 0;
    while (ok && copied < length) {
        int64_t want = length - copied;
        if (want > static_cast<int64_t>(kCopyBlock))
            want = static_cast<int64_t>(kCopyBlock);
        ssize_t n = src.Read(buf, static_cast<size_t>(want), &err);
        if (n <= 0 || err != 0) {
            ok = read_fail(err);
            break;
        }
        if (!_WriteAll(dst, buf, static_cast<size_t>(n), &err) || !dst.Flush(&err)) {
            ok = write_fail(err);
            break;
        }
        flushed = true;
        copied += n;
        int64_t percent = copied * 100 / length;
        if (percent > last_percent) {
            last_percent = percent;
            SendUpdateInfo(6, static_cast<int32_t>(percent));
        }
    }

    // After a failed copy the header stays blank: the image is not taken
    // for valid, and the next run finds it different and rewrites it.
    if (boot && ok) {
        const size_t head = length < static_cast<int64_t>(kBootHeader) ? static_cast<size_t>(length) : kBootHeader;
        ok = seek(src, zip_path, 0);
        if (ok && _ReadFull(src, buf, head) != head)
            ok = read_fail(0);
        if (ok)
            ok = _WriteBootHeader(dst, board_file, buf, head);
    }
    if (ok && !flushed && !dst.Flush(&err))
        ok = write_fail(err);
    if (!dst.Close(&err) && ok)
        ok = write_fail(err);
    src.Close();
    if (ok)
        *damaged = false;
    return ok;
}

bool Update::_WriteBootHeader(File& dst, const std::string& board_file, const uint8_t* head, size_t size)
{
    // The words at 80 (CRC) and 84 (version) say which image this is; the
    // CRC word goes last, so a header written only in part (a write that
    // stopped, a failed one after it) still has its blank CRC word and the
    // next run rewrites the image.
    const size_t crc_at = 80;
    const size_t crc_end = 84;
    struct Piece {
        size_t from;
        size_t to;
    } pieces[] = {{crc_end, size}, {0, crc_at < size ? crc_at : size}, {crc_at, crc_end < size ? crc_end : size}};
    kivo_err_t err = 0;
    bool ok = true;
    for (const Piece& p : pieces) {
        if (p.from >= p.to)
            continue;
        if (dst.Seek(static_cast<int64_t>(p.from), File::SeekBegin, &err) != static_cast<int64_t>(p.from)) {
            SendInfo(2, "seek file fail " + board_file + _Cause(err), 2);
            ok = false;
            break;
        }
        if (!_WriteAll(dst, head + p.from, p.to - p.from, &err)) {
            SendInfo(2, "write file fail " + board_file + _Cause(err), 2);
            ok = false;
            break;
        }
    }
    if (ok && !dst.Flush(&err)) {
        SendInfo(2, "write file fail " + board_file + _Cause(err), 2);
        ok = false;
    }
    if (!ok && size >= crc_end) {
        // The CRC word may be in place already (the flush failed, or the
        // write stopped inside it): blanked again, best effort, so that the
        // header does not claim an image that is not known to be whole.
        const uint8_t blank[4] = {0xFF, 0xFF, 0xFF, 0xFF};
        if (dst.Seek(static_cast<int64_t>(crc_at), File::SeekBegin, &err) == static_cast<int64_t>(crc_at) &&
            _WriteAll(dst, blank, sizeof blank, &err))
            dst.Flush(&err);
    }
    return ok;
}

void Update::_Unsafe(const std::string& what)
{
    _unsafe.push_back(what);
}

bool Update::_ReadRecord(const kivo::IniFile& ini, const char* side, const std::string& name, uint32_t* crc,
                         uint32_t ver[4], bool* missing)
{
    const std::string version = ini.GetString(name, "version", "");
    *crc = static_cast<uint32_t>(ini.GetInt(name, "check_crc", 0));
    *missing = true;
    if (*crc == 0) {
        SendInfo(1, std::string(side) + " file info crc16 read fail :" + name, 2);
        return false;
    }
    if (version.empty()) {
        SendInfo(1, std::string(side) + " file info version read fail :" + name, 2);
        return false;
    }
    *missing = false;
    if (ParseVersion(version, ver) != 1) {
        SendInfo(1, std::string(side) + " file get version int fail :" + name + "  " + version, 2);
        return false;
    }
    return true;
}

int32_t Update::NeedUpdate(const std::string& zip_path, const std::string& board_dir)
{
    const std::string name = kivo::filesystem::DeviceFileName(zip_path);
    uint32_t zv[4] = {0, 0, 0, 0};
    uint32_t zip_crc = 0;
    bool missing = false;
    if (!_ReadRecord(*_zip_ini, "zip", name, &zip_crc, zv, &missing))
        return 0;

    // Without a usable installed record the file is installed; with one
    // whose version does not parse it is left alone.
    uint32_t fv[4] = {0, 0, 0, 0};
    uint32_t flash_crc = 0;
    if (_flash_info_type == FLASH_INFO_TYPE_INI) {
        if (!_ReadRecord(*_flash_ini, "flash", name, &flash_crc, fv, &missing))
            return missing ? 1 : 0;
    } else if (ReadFlashHeader(board_dir + "/" + name, &flash_crc, &fv[0]) != 1) {
        // A header that cannot be read never matches: the image is rewritten.
        flash_crc = 0;
        fv[0] = 0;
    }

    if (_ElemIsOne("/update/force"))
        return 1;

    char line[64];
    snprintf(line, sizeof line, "update_crc16 :%d  flash_crc16 :%d", static_cast<int32_t>(zip_crc),
             static_cast<int32_t>(flash_crc));
    SendInfo(0, line, 2);
    if (zip_crc != flash_crc)
        return 1;
    // Any newer component counts, whatever the ones before it say.
    for (int i = 0; i < 4; ++i) {
        if (zv[i] > fv[i])
            return 1;
    }
    return 0;
}

int32_t Update::CheckZipFileCrc16(const std::string& zip_path)
{
    return CheckZipFileCrc16(zip_path, nullptr);
}

int32_t Update::CheckZipFileCrc16(const std::string& zip_path, std::string* cause)
{
    auto fail = [cause](const char* step, kivo_err_t e) {
        if (cause)
            *cause = std::string(step) + (e != 0 ? _Cause(e) : std::string(": the file ends early"));
        return 0;
    };
    const std::string name = kivo::filesystem::DeviceFileName(zip_path);
    const int expected = _zip_ini ? _zip_ini->GetInt(name, "check_crc", 0) : 0;
    if (expected == 0)
        return 0;
    File f;
    kivo_err_t err = 0;
    if (!f.Open(zip_path.c_str(), 0, &err))
        return fail("cannot open it", err != 0 ? err : EIO);
    const int64_t length = f.GetLength(&err);
    if (length < 0)
        return fail("cannot read its size", err != 0 ? err : EIO);
    if (length > kCrcMaxLength)
        return 0;
    uint8_t* buf = new (std::nothrow) uint8_t[kCrcBlock];
    if (buf == nullptr)
        return 0;
    uint16_t reg = 0xFFFF;
    int64_t done = 0;
    while (done < length) {
        int64_t want = length - done;
        if (want > static_cast<int64_t>(kCrcBlock))
            want = static_cast<int64_t>(kCrcBlock);
        err = 0;
        ssize_t n = f.Read(buf, static_cast<size_t>(want), &err);
        if (n <= 0) {
            delete[] buf;
            return fail("cannot read it", n < 0 ? (err != 0 ? err : EIO) : 0);
        }
        reg = Crc16ModbusUpdate(reg, buf, static_cast<size_t>(n));
        done += n;
    }
    delete[] buf;
    f.Close();
    return static_cast<uint32_t>(expected) == reg ? 1 : 0;
}

int32_t Update::CheckInfoIniCrc(const std::string& path)
{
    return CheckInfoIniCrc(path, nullptr);
}

int32_t Update::CheckInfoIniCrc(const std::string& path, std::string* cause)
{
    auto fail = [cause](const char* step, kivo_err_t e) {
        if (cause)
            *cause = std::string(step) + (e != 0 ? _Cause(e) : std::string(": the file ends early"));
        return 0;
    };
    File f;
    kivo_err_t err = 0;
    if (!f.Open(path.c_str(), 0, &err))
        return fail("cannot open it", err);
    const int64_t length = f.GetLength(&err);
    if (length < 0)
        return fail("cannot read its size", err);
    // Too short to hold a check byte and the byte before it.
    if (length < 2 || length > kInfoIniMaxLength)
        return 0;
    std::vector<uint8_t> data(static_cast<size_t>(length));
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = f.Read(data.data() + done, data.size() - done, &err);
        if (n <= 0 || err != 0)
            return fail("cannot read it", err);
        done += static_cast<size_t>(n);
    }
    std::unique_ptr<kivo::check::CrcBuilder> crc = MakeCrcBuilder();
    crc->Update(data.data(), data.size() - 2);
    return crc->Final(nullptr) == data.back() ? 1 : 0;
}

std::unique_ptr<kivo::check::CrcBuilder> Update::MakeCrcBuilder()
{
    return std::unique_ptr<kivo::check::CrcBuilder>(new kivo::check::CrcBuilder(8, 0x07, 0, false, false, 0x55));
}

namespace {

// The device's strtoul, whose unsigned long is 32 bits: a magnitude above
// 0xFFFFFFFF saturates whatever its sign, and a negative text that fits
// wraps modulo 2^32. Every build reads a version as the device does.
uint32_t _DeviceStrtoul(const char* s, int base)
{
    while (isspace((unsigned char)*s))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }
    // One sign, and nothing blank after it.
    if (*s == '+' || *s == '-' || isspace((unsigned char)*s))
        return 0;
    const int saved = errno;
    errno = 0;
    const unsigned long long magnitude = strtoull(s, nullptr, base);
    const bool range = errno == ERANGE;
    errno = saved;
    if (range || magnitude > 0xFFFFFFFFull)
        return 0xFFFFFFFFu;
    const uint32_t v = static_cast<uint32_t>(magnitude);
    return negative ? 0u - v : v;
}

// As kivo::ParseUInt: hexadecimal after "0x" or "0X", else decimal.
uint32_t _VersionComponent(const std::string& s)
{
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        return _DeviceStrtoul(s.c_str() + 2, 16);
    return _DeviceStrtoul(s.c_str(), 10);
}

}  // namespace

int32_t Update::ParseVersion(const std::string& text, uint32_t ver[4])
{
    std::vector<std::string> parts;
    size_t count = kivo::StrSplit(text, ".", parts);
    if (count < 1 || count > 4)
        return 0;
    if (!parts[0].empty() && parts[0][0] == 'V')
        parts[0].erase(0, 1);
    std::string& last = parts[count - 1];
    if (count >= 2 && !last.empty() && last[last.size() - 1] == 'T')
        last.erase(last.size() - 1);
    for (size_t i = 0; i < count; ++i)
        ver[i] = _VersionComponent(parts[i]);
    return 1;
}

int32_t Update::ReadFlashHeader(const std::string& path, uint32_t* crc, uint32_t* ver0)
{
    File f;
    if (!f.Open(path.c_str(), 0))
        return 0;
    uint8_t word[4];
    if (f.Seek(80, File::SeekBegin) != 80 || _ReadFull(f, word, 4) != 4)
        return 0;
    *crc = _Le32(word);
    if (_ReadFull(f, word, 4) != 4)
        return 0;
    *ver0 = _Le32(word);
    return 1;
}
