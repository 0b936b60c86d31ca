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

// Indent of a file's first report and of the reports on its steps.
const int32_t kIndentFile = 1;
const int32_t kIndentStep = 2;

// File::Open modes: the packaged file is read, the board file created or
// emptied.
const uint32_t kOpenRead = 0;
const uint32_t kOpenCreateTruncate = 3;

// The type bits of a status mode and those of a directory.
const uint32_t kModeTypeMask = 0xF000u;
const uint32_t kModeDir = 0x4000u;

// What the header region holds while the image is not yet whole.
const uint8_t kBlankByte = 0xFF;

// The version recorded for a file whose installation failed: older than
// any, so the next run installs it again.
const char* const kUninstalledVersion = "V0.0";

const int64_t kWholePercent = 100;

// A request whose package path is no longer than this is refused.
const size_t kShortPackagePath = 2;

// "info.ini" ends in a byte the check leaves out and the check byte.
const size_t kInfoIniTail = 2;

// The register of CRC-16/MODBUS before the first byte.
const uint16_t kCrc16Start = 0xFFFF;

bool ElemIsOne(const char* path)
{
    return kivo::ElemRead(path).ToInt32() == 1;
}

std::string IntText(int64_t v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    return buf;
}

// Every '\' and '/' written as '/'.
std::string Slashes(const std::string& path)
{
    return kivo::filesystem::NormalizePath(path);
}

// The stem of a file name: without its extension (from its last '.'). The
// name is a whole device name: a ':' or '\' in it is part of the stem.
std::string Stem(const std::string& name)
{
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

bool IsBootImage(const std::string& name)
{
    std::string lower(name);
    kivo::StrToLower(lower);
    return lower == "boot.bin";
}

using kivo::filesystem::ReadFull;
using kivo::filesystem::WriteAll;

// ": " and the system's text of err; "" without one.
std::string Cause(kivo_err_t err)
{
    return err != 0 ? std::string(": ") + strerror(err) : std::string();
}

// The line for a packaged file whose `step` failed with e (0: it ended
// early).
std::string ReadFailLine(const std::string& path, const char* step, kivo_err_t e)
{
    return "read file fail " + path + ": " + step + (e != 0 ? Cause(e) : std::string(": the file ends early"));
}

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// The status of path; *is_dir when it was read and is a directory.
kivo_err_t StatPath(const std::string& path, bool* is_dir)
{
    kivo_stat64_t st;
    const kivo_err_t e = kivo_file_stat64(path.c_str(), &st);
    *is_dir = e == 0 && (st.mode & kModeTypeMask) == kModeDir;
    return e;
}

// True when the unpacked package is a directory; else why not in *cause.
bool IsWorkDir(const std::string& dir, std::string* cause)
{
    bool is_dir = false;
    const kivo_err_t e = StatPath(dir, &is_dir);
    if (e != 0)
        *cause = "cannot read the status of " + dir + Cause(e);
    else if (!is_dir)
        *cause = dir + " is not a directory";
    return is_dir;
}

// IniFile loads on construction; the object is then reused for each load.
bool LoadIni(std::unique_ptr<kivo::IniFile>& ini, const std::string& path, bool must_exist)
{
    if (!ini) {
        ini.reset(new kivo::IniFile(path.c_str()));
        if (!must_exist)
            return true;
        ini->Close();
    }
    return ini->Load(path.c_str(), must_exist);
}

void CloseIni(std::unique_ptr<kivo::IniFile>& ini)
{
    if (ini)
        ini->Close();
}

}  // namespace

Update::Update()
    : _flash_info_type(FLASH_INFO_TYPE_INFO), _started(false), _updated(false), _status(kStatusDone), _running(false)
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
        msg.Back(Var(kStatusBadRequest));
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
    _status = kStatusNothingDone;
    _started = false;
    _unsafe.clear();
    _update_info_st info;
    if (!kivo::var_trains::FromVar(msg.value, &info) || info.zip_file.size() <= kShortPackagePath || info.dir_map.empty()) {
        SendInfo(kInfoError, "input param error");
        return kStatusBadRequest;
    }
    if (!UnpackPackage(info))
        return kStatusUnpackFailed;
    SendInfo(kInfoText, "unzip update file finish");

    Message::Value answer(Var(info.unzip_dir));
    const int32_t go_on = Send(Message::Current(), "update_start", answer) ? answer.value.ToInt32() : 0;
    if (go_on != 0) {
        // The device reboots at once: no walk, no "update_end", and the
        // work directory is left as it is.
        if (RunPreUpdate(info))
            return kStatusRewritten;
        WalkPackage(info);
        EndRun();
    }
    ClearWorkDir(info.unzip_dir);
    return _status;
}

bool Update::UnpackPackage(const _update_info_st& info)
{
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
    bool cleared = package_inside || ClearWorkDir(info.unzip_dir);
    bool unpacked = cleared && kivo::zip::UnzipToDir(info.zip_file, info.unzip_dir, "", &cause);
    if (!unpacked && cleared) {
        cleared = package_inside || ClearWorkDir(info.unzip_dir);
        unpacked = cleared && kivo::zip::UnzipToDir(info.zip_file, info.unzip_dir, kZipPassword, &cause);
    }
    if (!cleared)
        cause = info.unzip_dir + " cannot be emptied";
    if (unpacked && IsWorkDir(info.unzip_dir, &cause))
        return true;
    if (!cause.empty())
        SendInfo(kInfoError, "unzip fail: " + cause);
    SendInfo(kInfoError, "unzip fail in " + info.unzip_dir);
    return false;
}

bool Update::RunPreUpdate(_update_info_st& info)
{
    if (ElemIsOne("/update/force"))
        return false;
    std::vector<std::string>* shared = kivo::GetShared<std::vector<std::string>>(kPreUpdateList);
    if (info.pre_update_files.empty() && shared == nullptr)
        return false;
    if (shared != nullptr)
        info.pre_update_files.insert(info.pre_update_files.end(), shared->begin(), shared->end());
    SendInfo(kInfoText, "PreUpdateFileList size is " + IntText(static_cast<int64_t>(info.pre_update_files.size())));
    for (const std::string& entry : info.pre_update_files) {
        const std::string path = Slashes(info.unzip_dir + "/" + entry);
        SendInfo(kInfoText, "Start PreUpdate file :  " + path);
        if (kivo::filesystem::IsFile(path)) {
            const std::string name = kivo::filesystem::DeviceFileName(path);
            ProcessDir(kivo::filesystem::DeviceDirOfPath(path).c_str(), true, info, &name);
        }
    }
    // Not into a file that was left damaged: the run goes on, and ends
    // without a reboot.
    if (!_updated || !_unsafe.empty() || !ElemIsOne("/update/PreNeedReboot"))
        return false;
    SendUpdateInfo(kInfoRewriting, kRewritingEnded);
    return true;
}

void Update::WalkPackage(const _update_info_st& info)
{
    Send(Message::Current(), "normal_update_start", Message::Value(Var(info.unzip_dir)));
    std::string failure;
    if (!kivo::filesystem::ForEachFile(info.unzip_dir.c_str(), false,
                                       [this, &info](const char* path, bool is_dir) {
                                           ProcessDir(path, is_dir, info, nullptr);
                                       },
                                       &failure)) {
        SendInfo(kInfoError, failure);
        MarkUnsafe(info.unzip_dir + " not read whole");
    }
}

void Update::EndRun()
{
    // Rewriting that started but left no file whole is no reason to reboot
    // (the device would boot into what failed to install), nor a finished
    // update: nothing counts as rewritten.
    if (_updated)
        _status = kStatusRewritten;
    // Nor is a run that left a file damaged, or that could not read all of
    // the package: the device would boot into a broken or half installed
    // system, and the rerun that repairs it would never come. Said before
    // the end of rewriting, which stays the last state.
    if (!_unsafe.empty()) {
        std::string what;
        for (const std::string& u : _unsafe)
            what += (what.empty() ? "" : ", ") + u;
        SendInfo(kInfoError, "update incomplete, no reboot: " + what);
        _status = kStatusNothingDone;
    }
    if (_started)
        SendUpdateInfo(kInfoRewriting, kRewritingEnded);
    Send(Message::Current(), "update_end", Message::Value(Var(_status)));
}

bool Update::ClearWorkDir(const std::string& dir)
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

bool Update::SendFinished(const std::string& board_file)
{
    _update_output_info info;
    info.kind = kInfoFileDone;
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
    const std::string dir(path != nullptr ? path : "");
    if (!is_dir || dir.size() < 2)
        return;
    SendInfo(kInfoText, "zip dir :" + dir);

    std::string board = kivo::filesystem::DeviceFileName(dir);
    kivo::StrReplaceAll(board, "@", "/");
    SendInfo(kInfoText, "flash dir :" + board);
    if (!FindBoardDir(info, &board))
        return;

    const std::string info_path = dir + "/" + "info.ini";
    if (!CheckDirInfo(info_path))
        return;
    SendInfo(kInfoText, "Enter Dir " + board);
    if (!LoadIni(_zip_ini, info_path, true)) {
        SendInfo(kInfoWarning, "info file of zip dir open error:" + info_path);
        return;
    }
    ProcessDirFiles(dir, board, single);
    CloseIni(_zip_ini);
    SendInfo(kInfoText, "Exit Dir " + board);
}

bool Update::FindBoardDir(const _update_info_st& info, std::string* board)
{
    bool found = false;
    if (!board->empty() && (*board)[0] == '/') {
        const kivo_err_t e = StatPath(*board, &found);
        // Not there is a warning; there but not readable is an error.
        if (e != 0 && e != ENOENT && e != ENOTDIR) {
            SendInfo(kInfoError, "cannot read the status of " + *board + Cause(e));
            MarkUnsafe(*board + " not read");
            return false;
        }
    }
    if (!found) {
        for (const _update_dir_entry& entry : info.dir_map) {
            _dir_entry = entry;
            if (_dir_entry.name == *board) {
                *board = _dir_entry.board_dir;
                found = true;
            }
        }
    }
    if (!found)
        SendInfo(kInfoWarning, "flash dir in board not exist:" + *board + " !!!!");
    return found;
}

bool Update::CheckDirInfo(const std::string& info_path)
{
    bool is_dir = false;
    const kivo_err_t err = StatPath(info_path, &is_dir);
    if (err != 0 && err != ENOENT) {
        SendInfo(kInfoError, "info file of zip dir in zip read fail:" + info_path + ": cannot read its status" + Cause(err));
        MarkUnsafe(info_path + " not read");
        return false;
    }
    if (err != 0 || is_dir) {
        SendInfo(kInfoWarning, "info file of zip dir in zip not exist:" + info_path);
        return false;
    }
    std::string cause;
    if (CheckInfoIniCrc(info_path, &cause) > 0)
        return true;
    // A file that could not be read is no failed check: the directory is
    // not installed, and the run must not reboot.
    if (!cause.empty()) {
        SendInfo(kInfoError, "info file of zip dir in zip read fail:" + info_path + ": " + cause);
        MarkUnsafe(info_path + " not read");
    } else {
        SendInfo(kInfoWarning, "info file of zip dir in zip crc check error:" + info_path);
    }
    return false;
}

void Update::ProcessDirFiles(const std::string& dir, const std::string& board, const std::string* single)
{
    if (single != nullptr) {
        ProcessFile((dir + "/" + *single).c_str(), false, board, dir);
        return;
    }
    std::string failure;
    if (!kivo::filesystem::ForEachFile(dir.c_str(), false,
                                       [this, &board, &dir](const char* entry, bool entry_is_dir) {
                                           ProcessFile(entry, entry_is_dir, board, dir);
                                       },
                                       &failure)) {
        SendInfo(kInfoError, failure);
        MarkUnsafe(dir + " not read whole");
    }
}

void Update::ProcessFile(const char* path, bool is_dir, const std::string& board_dir, const std::string& zip_dir)
{
    if (is_dir || path == nullptr)
        return;
    FileJob job;
    job.zip_path = Slashes(path);
    job.name = kivo::filesystem::DeviceFileName(job.zip_path);
    if (job.name == "info.ini")
        return;
    job.board_dir = board_dir;
    job.board_file = board_dir + "/" + job.name;
    job.version_file = board_dir + "/" + Stem(job.name) + "-info.ini";

    SendInfo(kInfoText, "-> file name : " + job.zip_path, kIndentFile);
    _flash_info_type = IsBootImage(job.name) ? FLASH_INFO_TYPE_INFO : FLASH_INFO_TYPE_INI;
    job.ini_kind = _flash_info_type == FLASH_INFO_TYPE_INI;
    SendInfo(kInfoText, zip_dir + (job.ini_kind ? " FLASH_INFO_TYPE_INI" : " FLASH_INFO_TYPE_INFO"), kIndentStep);

    const FileDecision decision = DecideFile(&job);
    if (decision == kFileUndecided)
        return;
    if (decision == kFileKept)
        SendInfo(kInfoWarning, "check no need update", kIndentStep);
    else
        InstallFile(job);
    if (job.ini_kind)
        CloseIni(_flash_ini);
}

Update::FileDecision Update::DecideFile(FileJob* job)
{
    bool unused = false;
    const kivo_err_t board_err = StatPath(job->board_file, &unused);
    if (board_err != 0 && board_err != ENOENT) {
        // Neither missing nor known: nothing is decided on it.
        SendInfo(kInfoError, "cannot read the status of " + job->board_file + Cause(board_err), kIndentStep);
        MarkUnsafe(job->board_file + " not read");
        return kFileUndecided;
    }
    job->created = board_err != 0;
    if (job->created) {
        if (!job->ini_kind) {
            SendInfo(kInfoWarning, "no_fs flash file no exist:" + job->board_file, kIndentStep);
            return kFileUndecided;
        }
        SendInfo(kInfoWarning, "fs flash file no exist, need update:" + job->board_file, kIndentStep);
        LoadIni(_flash_ini, job->version_file, false);
        return kFileNeeded;
    }
    if (job->ini_kind) {
        if (!kivo::filesystem::IsFile(job->version_file)) {
            SendInfo(kInfoWarning, "ini type file no exist info.ini, need update" + job->version_file, kIndentStep);
            LoadIni(_flash_ini, job->version_file, false);
            return kFileNeeded;
        }
        LoadIni(_flash_ini, job->version_file, false);
    }
    return NeedUpdate(job->zip_path, job->board_dir) == 1 ? kFileNeeded : kFileKept;
}

bool Update::CheckPackagedFile(const FileJob& job)
{
    std::string failure;
    if (CheckZipFileCrc16(job.zip_path, &failure) > 0)
        return true;
    // A package file that could not be checked is no CRC mismatch.
    if (!failure.empty())
        SendInfo(kInfoError, failure, kIndentStep);
    else
        SendInfo(kInfoWarning, "check update file crc fail:" + job.zip_path, kIndentStep);
    return false;
}

void Update::InstallFile(const FileJob& job)
{
    SendInfo(kInfoText, "-> need update, check zip file crc16...", kIndentStep);
    if (job.ini_kind && !CheckPackagedFile(job))
        return;
    if (!_started)
        SendUpdateInfo(kInfoRewriting, kRewritingStarts);
    // The old record must be gone before the file is emptied: left in
    // place, it would claim bytes the file no longer holds.
    const kivo_err_t gone = job.ini_kind ? kivo_file_unlink(job.version_file.c_str()) : 0;
    _started = true;
    SendUpdateInfo(kInfoFileStart, job.name);
    if (gone != 0 && gone != ENOENT) {
        SendInfo(kInfoError, "remove file fail " + job.version_file + Cause(gone), kIndentStep);
        return;
    }
    // Allocated before the installed file is truncated, so that a failure
    // here leaves it as it was.
    uint8_t* buf = new (std::nothrow) uint8_t[kCopyBlock];
    if (buf == nullptr) {
        SendInfo(kInfoError, "alloc space fail ", kIndentStep);
        return;
    }
    bool damaged = false;
    bool whole = _CopyFile(job.zip_path, job.board_file, !job.ini_kind, buf, &damaged);
    delete[] buf;
    whole = whole && PutInPlace(job, &damaged);
    if (damaged)
        MarkUnsafe(job.board_file + " left damaged");
    // Only a file that is whole, and recorded so, is finished and counts as
    // rewritten.
    if (RecordVersion(job, whole)) {
        _updated = true;
        SendInfo(kInfoText, "finish update file " + job.name, kIndentStep);
    }
}

bool Update::PutInPlace(const FileJob& job, bool* damaged)
{
    // A file made by this copy has its directory entry on the medium before
    // a record vouches for it.
    kivo_err_t dir_err = 0;
    if (job.created && !kivo::filesystem::FlushDir(job.board_dir, &dir_err)) {
        SendInfo(kInfoError, "write file fail " + job.board_dir + Cause(dir_err), kIndentStep);
        return false;
    }
    // Installing a copied file ends with what the receiver does on this
    // report (an archive is unpacked beside itself): what it could not put
    // in place is neither old nor new.
    if (!SendFinished(job.board_file)) {
        SendInfo(kInfoError, "unzip fail " + job.board_file, kIndentStep);
        *damaged = true;
        return false;
    }
    return true;
}

bool Update::RecordVersion(const FileJob& job, bool whole)
{
    if (!job.ini_kind)
        return whole;
    // The record comes last, so that a run stopped before it finds the file
    // still to install; after a failure it says the file is not installed.
    std::string version = kUninstalledVersion;
    int crc = 0;
    if (whole) {
        version = _zip_ini->GetString(job.name, "version", "");
        crc = _zip_ini->GetInt(job.name, "check_crc", 0);
    }
    // A record with a key that could not be set is not written as if whole.
    const bool set = _flash_ini->SetString(job.name, "version", version) && _flash_ini->SetInt(job.name, "check_crc", crc);
    kivo_err_t err = 0;
    if (set && _flash_ini->Save(job.version_file.c_str(), &err))
        return whole;
    SendInfo(kInfoError,
             "write file fail " + job.version_file + (set ? Cause(err) : std::string(": a key could not be set")),
             kIndentStep);
    // Its bytes may be in place although the store failed (a flush or close
    // that failed): a record not stored whole goes, so the next run installs
    // the file again.
    const kivo_err_t e = kivo_file_unlink(job.version_file.c_str());
    if (e != 0 && e != ENOENT) {
        SendInfo(kInfoError, "remove file fail " + job.version_file + Cause(e), kIndentStep);
        MarkUnsafe(job.version_file + " not removed");
    }
    return false;
}

bool Update::_CopyFile(const std::string& zip_path, const std::string& board_file, bool boot, uint8_t* buf,
                       bool* damaged)
{
    *damaged = false;
    kivo_err_t err = 0;
    File src;
    if (!src.Open(zip_path.c_str(), kOpenRead, &err)) {
        SendInfo(kInfoError, "open file fail " + zip_path + Cause(err), kIndentStep);
        return false;
    }
    // Taken before the board file is emptied: a size that cannot be read
    // leaves it as it was.
    const int64_t length = src.GetLength(&err);
    if (length < 0) {
        SendInfo(kInfoError, "read file fail " + zip_path + ": cannot read its size" + Cause(err), kIndentStep);
        return false;
    }
    File dst;
    if (!dst.Open(board_file.c_str(), kOpenCreateTruncate, &err)) {
        SendInfo(kInfoError, "open file fail " + board_file + Cause(err), kIndentStep);
        return false;
    }
    // Emptied: from here until the copy is whole it holds neither its old
    // nor its new bytes.
    *damaged = true;
    SendUpdateInfo(kInfoProgress, 0);

    // Every write, seek, flush and the close are checked: a file system may
    // report a full disk only at the flush or the close.
    CopyRun run{src, dst, zip_path, board_file, buf, length};
    // Every copied block and the boot header get their own flush; the
    // closing flush is needed only when no block was copied (an empty file,
    // a boot image no longer than its header), not a second fsync per file.
    bool flushed = false;
    bool ok = !boot || BlankBootHeader(run);
    if (ok)
        ok = CopyBlocks(run, boot ? static_cast<int64_t>(kBootHeader) : 0, &flushed);
    // After a failed copy the header stays blank: the image is not taken
    // for valid, and the next run finds it different and rewrites it.
    if (boot && ok)
        ok = PlaceBootHeader(run);
    if (ok && !flushed && !dst.Flush(&err))
        ok = WriteFailed(board_file, err);
    if (!dst.Close(&err) && ok)
        ok = WriteFailed(board_file, err);
    src.Close();
    if (ok)
        *damaged = false;
    return ok;
}

bool Update::WriteFailed(const std::string& board_file, kivo_err_t err)
{
    SendInfo(kInfoError, "write file fail " + board_file + Cause(err), kIndentStep);
    return false;
}

bool Update::ReadFailed(const std::string& zip_path, kivo_err_t err)
{
    SendInfo(kInfoError, "read file fail " + zip_path + (err != 0 ? Cause(err) : std::string(": the file ends early")),
             kIndentStep);
    return false;
}

bool Update::SeekTo(File& f, const std::string& path, int64_t to)
{
    kivo_err_t err = 0;
    if (f.Seek(to, File::SeekBegin, &err) == to)
        return true;
    SendInfo(kInfoError, "seek file fail " + path + Cause(err), kIndentStep);
    return false;
}

bool Update::BlankBootHeader(const CopyRun& run)
{
    // The header region stays blank until the whole image is in place, so
    // an interrupted copy never looks like a valid image.
    kivo_err_t err = 0;
    memset(run.buf, kBlankByte, kBootFill);
    if (!WriteAll(run.dst, run.buf, kBootFill, &err) || !run.dst.Flush(&err))
        return WriteFailed(run.board_file, err);
    return SeekTo(run.src, run.zip_path, static_cast<int64_t>(kBootHeader)) &&
           SeekTo(run.dst, run.board_file, static_cast<int64_t>(kBootHeader));
}

bool Update::CopyBlocks(const CopyRun& run, int64_t copied, bool* flushed)
{
    kivo_err_t err = 0;
    int64_t last_percent = 0;
    while (copied < run.length) {
        int64_t want = run.length - copied;
        if (want > static_cast<int64_t>(kCopyBlock))
            want = static_cast<int64_t>(kCopyBlock);
        const ssize_t n = run.src.Read(run.buf, static_cast<size_t>(want), &err);
        if (n <= 0 || err != 0)
            return ReadFailed(run.zip_path, err);
        if (!WriteAll(run.dst, run.buf, static_cast<size_t>(n), &err) || !run.dst.Flush(&err))
            return WriteFailed(run.board_file, err);
        *flushed = true;
        copied += n;
        const int64_t percent = copied * kWholePercent / run.length;
        if (percent > last_percent) {
            last_percent = percent;
            SendUpdateInfo(kInfoProgress, static_cast<int32_t>(percent));
        }
    }
    return true;
}

bool Update::PlaceBootHeader(const CopyRun& run)
{
    const size_t head = run.length < static_cast<int64_t>(kBootHeader) ? static_cast<size_t>(run.length) : kBootHeader;
    if (!SeekTo(run.src, run.zip_path, 0))
        return false;
    if (ReadFull(run.src, run.buf, head) != head)
        return ReadFailed(run.zip_path, 0);
    return WriteBootHeader(run.dst, run.board_file, run.buf, head);
}

bool Update::WriteBootHeader(File& dst, const std::string& board_file, const uint8_t* head, size_t size)
{
    // The words at kBootCrcOffset (CRC) and kBootVersionOffset (version) say
    // which image this is; the CRC word goes last, so a header written only
    // in part (a write that stopped, a failed one after it) still has its
    // blank CRC word and the next run rewrites the image.
    const size_t crc_at = kBootCrcOffset;
    const size_t crc_end = kBootCrcOffset + kHeaderWord;
    struct Piece {
        size_t from;
        size_t to;
    } pieces[] = {{crc_end, size}, {0, crc_at < size ? crc_at : size}, {crc_at, crc_end < size ? crc_end : size}};
    kivo_err_t err = 0;
    bool ok = true;
    for (const Piece& p : pieces) {
        if (p.from >= p.to)
            continue;
        ok = SeekTo(dst, board_file, static_cast<int64_t>(p.from));
        if (ok && !WriteAll(dst, head + p.from, p.to - p.from, &err))
            ok = WriteFailed(board_file, err);
        if (!ok)
            break;
    }
    if (ok && !dst.Flush(&err))
        ok = WriteFailed(board_file, err);
    // The CRC word may be in place already (the flush failed, or the write
    // stopped inside it): blanked again, best effort, so that the header
    // does not claim an image that is not known to be whole.
    if (!ok && size >= crc_end)
        BlankBootCrc(dst);
    return ok;
}

void Update::BlankBootCrc(File& dst)
{
    const uint8_t blank[kHeaderWord] = {kBlankByte, kBlankByte, kBlankByte, kBlankByte};
    kivo_err_t err = 0;
    if (dst.Seek(static_cast<int64_t>(kBootCrcOffset), File::SeekBegin, &err) == static_cast<int64_t>(kBootCrcOffset) &&
        WriteAll(dst, blank, sizeof blank, &err))
        dst.Flush(&err);
}

void Update::MarkUnsafe(const std::string& what)
{
    _unsafe.push_back(what);
}

bool Update::ReadRecord(const kivo::IniFile& ini, const char* side, const std::string& name, uint32_t* crc,
                         uint32_t ver[4], bool* missing)
{
    const std::string version = ini.GetString(name, "version", "");
    *crc = static_cast<uint32_t>(ini.GetInt(name, "check_crc", 0));
    *missing = true;
    if (*crc == 0) {
        SendInfo(kInfoWarning, std::string(side) + " file info crc16 read fail :" + name, kIndentStep);
        return false;
    }
    if (version.empty()) {
        SendInfo(kInfoWarning, std::string(side) + " file info version read fail :" + name, kIndentStep);
        return false;
    }
    *missing = false;
    if (ParseVersion(version, ver) != 1) {
        SendInfo(kInfoWarning, std::string(side) + " file get version int fail :" + name + "  " + version, kIndentStep);
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
    if (!ReadRecord(*_zip_ini, "zip", name, &zip_crc, zv, &missing))
        return 0;

    // Without a usable installed record the file is installed; with one
    // whose version does not parse it is left alone.
    uint32_t fv[4] = {0, 0, 0, 0};
    uint32_t flash_crc = 0;
    if (_flash_info_type == FLASH_INFO_TYPE_INI) {
        if (!ReadRecord(*_flash_ini, "flash", name, &flash_crc, fv, &missing))
            return missing ? 1 : 0;
    } else if (ReadFlashHeader(board_dir + "/" + name, &flash_crc, &fv[0]) != 1) {
        // A header that cannot be read never matches: the image is rewritten.
        flash_crc = 0;
        fv[0] = 0;
    }

    if (ElemIsOne("/update/force"))
        return 1;

    char line[64];
    snprintf(line, sizeof line, "update_crc16 :%d  flash_crc16 :%d", static_cast<int32_t>(zip_crc),
             static_cast<int32_t>(flash_crc));
    SendInfo(kInfoText, line, kIndentStep);
    if (zip_crc != flash_crc)
        return 1;
    // Any newer component counts, whatever the ones before it say.
    for (int i = 0; i < kVersionParts; ++i) {
        if (zv[i] > fv[i])
            return 1;
    }
    return 0;
}

int32_t Update::CheckZipFileCrc16(const std::string& zip_path)
{
    return CheckZipFileCrc16(zip_path, nullptr);
}

int32_t Update::CheckZipFileCrc16(const std::string& zip_path, std::string* failure)
{
    auto fail = [failure](const std::string& line) {
        if (failure)
            *failure = line;
        return 0;
    };
    const std::string name = kivo::filesystem::DeviceFileName(zip_path);
    const int expected = _zip_ini ? _zip_ini->GetInt(name, "check_crc", 0) : 0;
    if (expected == 0)
        return 0;
    File f;
    kivo_err_t err = 0;
    if (!f.Open(zip_path.c_str(), kOpenRead, &err))
        return fail(ReadFailLine(zip_path, "cannot open it", err != 0 ? err : EIO));
    const int64_t length = f.GetLength(&err);
    if (length < 0)
        return fail(ReadFailLine(zip_path, "cannot read its size", err != 0 ? err : EIO));
    if (length > kCrcMaxLength)
        return 0;
    uint8_t* buf = new (std::nothrow) uint8_t[kCrcBlock];
    if (buf == nullptr)
        return fail("alloc space fail " + zip_path + Cause(ENOMEM));
    uint16_t reg = kCrc16Start;
    int64_t done = 0;
    while (done < length) {
        int64_t want = length - done;
        if (want > static_cast<int64_t>(kCrcBlock))
            want = static_cast<int64_t>(kCrcBlock);
        err = 0;
        ssize_t n = f.Read(buf, static_cast<size_t>(want), &err);
        if (n <= 0) {
            delete[] buf;
            return fail(ReadFailLine(zip_path, "cannot read it", n < 0 ? (err != 0 ? err : EIO) : 0));
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
            *cause = std::string(step) + (e != 0 ? Cause(e) : std::string(": the file ends early"));
        return 0;
    };
    File f;
    kivo_err_t err = 0;
    if (!f.Open(path.c_str(), kOpenRead, &err))
        return fail("cannot open it", err);
    const int64_t length = f.GetLength(&err);
    if (length < 0)
        return fail("cannot read its size", err);
    // Too short to hold a check byte and the byte before it.
    if (length < static_cast<int64_t>(kInfoIniTail) || length > kInfoIniMaxLength)
        return 0;
    // A device short of memory gets a failure to report, not an exception.
    const size_t size = static_cast<size_t>(length);
    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]);
    if (!data)
        return fail("alloc space fail", ENOMEM);
    size_t done = 0;
    while (done < size) {
        ssize_t n = f.Read(data.get() + done, size - done, &err);
        if (n <= 0 || err != 0)
            return fail("cannot read it", err);
        done += static_cast<size_t>(n);
    }
    std::unique_ptr<kivo::check::CrcBuilder> crc = MakeCrcBuilder();
    crc->Update(data.get(), size - kInfoIniTail);
    return crc->Final(nullptr) == data[size - 1] ? 1 : 0;
}

std::unique_ptr<kivo::check::CrcBuilder> Update::MakeCrcBuilder()
{
    const int width = 8;
    const kivo::check::CrcData polynomial = 0x07;
    const kivo::check::CrcData initial = 0;
    const uint32_t final_xor = 0x55;
    return std::unique_ptr<kivo::check::CrcBuilder>(
        new kivo::check::CrcBuilder(width, polynomial, initial, false, false, final_xor));
}

namespace {

// The device's strtoul, whose unsigned long is 32 bits: a magnitude above
// 0xFFFFFFFF saturates whatever its sign, and a negative text that fits
// wraps modulo 2^32. Every build reads a version as the device does.
uint32_t DeviceStrtoul(const char* s, int base)
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
uint32_t VersionComponent(const std::string& s)
{
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        return DeviceStrtoul(s.c_str() + 2, 16);
    return DeviceStrtoul(s.c_str(), 10);
}

}  // namespace

int32_t Update::ParseVersion(const std::string& text, uint32_t ver[4])
{
    std::vector<std::string> parts;
    size_t count = kivo::StrSplit(text, ".", parts);
    if (count < 1 || count > static_cast<size_t>(kVersionParts))
        return 0;
    if (!parts[0].empty() && parts[0][0] == 'V')
        parts[0].erase(0, 1);
    std::string& last = parts[count - 1];
    if (count >= 2 && !last.empty() && last[last.size() - 1] == 'T')
        last.erase(last.size() - 1);
    for (size_t i = 0; i < count; ++i)
        ver[i] = VersionComponent(parts[i]);
    return 1;
}

// The version word is read straight after the CRC word.
static_assert(Update::kBootVersionOffset == Update::kBootCrcOffset + Update::kHeaderWord,
              "the boot header's version word follows its CRC word");

int32_t Update::ReadFlashHeader(const std::string& path, uint32_t* crc, uint32_t* ver0)
{
    File f;
    if (!f.Open(path.c_str(), kOpenRead))
        return 0;
    uint8_t word[kHeaderWord];
    if (f.Seek(static_cast<int64_t>(kBootCrcOffset), File::SeekBegin) != static_cast<int64_t>(kBootCrcOffset) ||
        ReadFull(f, word, sizeof word) != sizeof word)
        return 0;
    *crc = Le32(word);
    if (ReadFull(f, word, sizeof word) != sizeof word)
        return 0;
    *ver0 = Le32(word);
    return 1;
}
