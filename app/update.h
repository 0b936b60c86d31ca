#pragma once

// Update: the module that installs an update package. It lives in service
// "SVC_UPDATE" and answers "update.run" (request _update_info_st) with a
// status (UpdateStatus): kStatusBadRequest; kStatusNothingDone, nothing
// rewritten whole (none needed it, the check refused, or every write failed)
// or a run that must not reboot (a file left damaged, a directory or entry
// of the package that could not be read); kStatusUnpackFailed;
// kStatusRewritten, at least one file rewritten whole and none left damaged
// (the device is to reboot).
//
// A run unpacks the package into the work directory, asks the requester
// whether to go on ("update_start"), installs the pre-update list, walks the
// package's directories ("normal_update_start"), reports the outcome
// ("update_end") and removes the work directory. Each package directory
// stands for a board directory and holds an "info.ini" with a CRC-8 check
// byte; each file in it is compared with the installed copy (version and
// CRC-16 records) and copied over it when it is newer or different. Every
// step is reported on "update_info" (_update_output_info). All sends go to
// the private paths of the router that posted "update.run" and wait for its
// answer.

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "app/update_info.h"
#include "kivo/filesystem/file.h"
#include "kivo/service/module.h"
#include "kivo/utils/check.h"
#include "kivo/utils/ini_file.h"

class Update : public kivo::ModuleBase {
public:
    // Where the installed version of a file is recorded.
    enum {
        FLASH_INFO_TYPE_INFO = 0,  // words inside the file itself ("boot.bin")
        FLASH_INFO_TYPE_INI = 1,   // a version file "<stem>-info.ini" beside it
    };

    // Copy block and the boot image's header region (written last) and fill.
    static const size_t kCopyBlock = 0x80000;
    static const size_t kBootHeader = 256;
    static const size_t kBootFill = 0x10000;
    // The header words that tell the installed boot image: its CRC and the
    // first component of its version, each kHeaderWord bytes, little-endian.
    static const size_t kBootCrcOffset = 80;
    static const size_t kBootVersionOffset = 84;
    static const size_t kHeaderWord = 4;
    // Limits of the packaged-file CRC and of "info.ini".
    static const size_t kCrcBlock = 1000000;
    static const int64_t kCrcMaxLength = 0x9600000;
    static const int64_t kInfoIniMaxLength = 10000;
    // Components of a version number.
    static const int kVersionParts = 4;

    Update();
    ~Update() override;

    // Connects "update.run".
    bool Init() override;

    // Runs the update and answers the message with the status; a request
    // that arrives while a run is under way is answered kStatusBadRequest
    // and not run.
    void OnUpdateRun(kivo::Message& msg);
    int32_t RunUpdate(kivo::Message& msg);

    // Level kInfoText, kInfoWarning or kInfoError; the text after indent
    // tabs.
    void SendInfo(int32_t level, const std::string& text, int32_t indent = 0);
    void SendUpdateInfo(int32_t kind, const std::string& value);
    void SendUpdateInfo(int32_t kind, int32_t value);

    // One entry of the work directory; with single set only that file of it.
    void ProcessDir(const char* path, bool is_dir, const _update_info_st& info, const std::string* single);
    void ProcessFile(const char* path, bool is_dir, const std::string& board_dir, const std::string& zip_dir);
    // 1 when the packaged file must replace the installed one, else 0.
    int32_t NeedUpdate(const std::string& zip_path, const std::string& board_dir);
    // 1 when the file's CRC-16 equals its "check_crc" in the loaded "info.ini".
    int32_t CheckZipFileCrc16(const std::string& zip_path);
    // As above; when the file could not be checked (its open, size or read
    // failed, or there was no memory for the block), the error line that
    // says so goes to *failure, which stays empty for a CRC that is missing
    // or does not match.
    int32_t CheckZipFileCrc16(const std::string& zip_path, std::string* failure);

    // 1 when the last byte of the file is the CRC-8 of all but its last two.
    static int32_t CheckInfoIniCrc(const std::string& path);
    // The same; when the file could not be read or there was no memory for
    // its bytes (not when it fails its check) *cause names the step and the
    // system's text.
    static int32_t CheckInfoIniCrc(const std::string& path, std::string* cause);
    // One to four '.'-separated components, "V" before the first and "T"
    // after the last of several allowed; components not given are left as
    // they are. 1 when parsed.
    static int32_t ParseVersion(const std::string& text, uint32_t ver[4]);
    // The boot image's CRC word (kBootCrcOffset) and version word
    // (kBootVersionOffset).
    static int32_t ReadFlashHeader(const std::string& path, uint32_t* crc, uint32_t* ver0);
    // The check of "info.ini": CRC-8/I-432-1.
    static std::unique_ptr<kivo::check::CrcBuilder> MakeCrcBuilder();

    // Info blocks: "info", payload length, complemented payload byte sum, a
    // free word, complemented header sum, then the payload.
    static int32_t CheckInfoBlock(const uint8_t* buffer, uint32_t size);
    // The payload (length through *length) of a valid block, else null.
    static const uint8_t* GetInfoBlockPayload(const uint8_t* buffer, uint32_t* length);
    // Image record of 16 words: size / 4 twice, size, version in words 7 to
    // 10, extra in word 11, complemented sum of words 0 to 14 in word 15.
    static int32_t BuildFlashRecord(uint32_t record[16], const std::string& version, uint32_t size, uint32_t extra);
    static uint32_t RecordChecksum(const uint32_t record[16]);

private:
    // One packaged file and where it goes.
    struct FileJob {
        std::string zip_path;
        std::string name;
        std::string board_dir;
        std::string board_file;
        std::string version_file;  // "<stem>-info.ini" beside the board file
        bool ini_kind = false;     // FLASH_INFO_TYPE_INI
        bool created = false;      // the board file did not exist
    };
    enum FileDecision {
        kFileUndecided,  // nothing can be decided on it (reported)
        kFileKept,       // the installed copy stays
        kFileNeeded,     // the packaged file replaces it
    };
    // The two ends of one copy and its buffer (kCopyBlock bytes).
    struct CopyRun {
        kivo::filesystem::File& src;
        kivo::filesystem::File& dst;
        const std::string& zip_path;
        const std::string& board_file;
        uint8_t* buf;
        int64_t length;
    };

    // The steps of a run. Unpacking: false when it failed (reported). The
    // pre-update list: true when the device is to reboot at once.
    bool UnpackPackage(const _update_info_st& info);
    bool RunPreUpdate(_update_info_st& info);
    void WalkPackage(const _update_info_st& info);
    // The status of the run, the end of rewriting and "update_end".
    void EndRun();

    // The board directory a package directory stands for; false when there
    // is none (reported).
    bool FindBoardDir(const _update_info_st& info, std::string* board);
    // The directory's "info.ini" is there and passes its check; false when
    // not (reported).
    bool CheckDirInfo(const std::string& info_path);
    void ProcessDirFiles(const std::string& dir, const std::string& board, const std::string* single);

    // Loads the installed record into _flash_ini where one is needed.
    FileDecision DecideFile(FileJob* job);
    // The packaged file's CRC-16 matches its record; false when not
    // (reported).
    bool CheckPackagedFile(const FileJob& job);
    void InstallFile(const FileJob& job);
    // After a whole copy: the directory entry flushed and the receiver told;
    // false when that failed (reported).
    bool PutInPlace(const FileJob& job, bool* damaged);
    // The installed record of a kind INI file; true when the file is whole
    // and so recorded.
    bool RecordVersion(const FileJob& job, bool whole);

    // [name] of a version record: "check_crc" and the parsed "version". A
    // fault is reported ("zip" or "flash" side); missing tells a missing
    // value from a version that does not parse.
    bool ReadRecord(const kivo::IniFile& ini, const char* side, const std::string& name, uint32_t* crc,
                    uint32_t ver[4], bool* missing);
    // The copy of one file through buf (kCopyBlock bytes); false when it did
    // not complete (reported). *damaged: the board file was emptied and is
    // not whole (neither its old nor its new bytes).
    bool _CopyFile(const std::string& zip_path, const std::string& board_file, bool boot, uint8_t* buf,
                   bool* damaged);
    // Report a failed write, read or seek; the first two return false.
    bool WriteFailed(const std::string& board_file, kivo_err_t err);
    bool ReadFailed(const std::string& zip_path, kivo_err_t err);
    bool SeekTo(kivo::filesystem::File& f, const std::string& path, int64_t to);
    // The boot image's first kBootFill bytes blanked and both files past
    // its header.
    bool BlankBootHeader(const CopyRun& run);
    // The blocks from copied to the end, each flushed (*flushed then).
    bool CopyBlocks(const CopyRun& run, int64_t copied, bool* flushed);
    // The boot image's header, read again from the package and written.
    bool PlaceBootHeader(const CopyRun& run);
    // The boot image's header, written so that it claims the new image only
    // once all of it is in place (the CRC word last); false when that failed
    // (reported; the CRC word is blanked again where that is possible).
    bool WriteBootHeader(kivo::filesystem::File& dst, const std::string& board_file, const uint8_t* head,
                         size_t size);
    // Best effort: the CRC word blank again.
    static void BlankBootCrc(kivo::filesystem::File& dst);
    // What keeps this run from rebooting: the device would boot into it.
    void MarkUnsafe(const std::string& what);
    // Report kInfoFileDone (the file's copy has finished); false when the
    // receiver answers that what the file holds could not be put in place
    // (an archive that did not unpack whole).
    bool SendFinished(const std::string& board_file);
    // Removes the work directory (never "/"); false when something of it
    // is left (it may stay as an empty directory, a mount point for one).
    static bool ClearWorkDir(const std::string& dir);

    _update_dir_entry _dir_entry;
    int32_t _flash_info_type;
    std::unique_ptr<kivo::IniFile> _zip_ini;
    std::unique_ptr<kivo::IniFile> _flash_ini;
    bool _started;
    bool _updated;
    int32_t _status;
    bool _running;  // OnUpdateRun is inside RunUpdate
    std::vector<std::string> _unsafe;
};
