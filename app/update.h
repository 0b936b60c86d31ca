#pragma once

// Update: the module that installs an update package. It lives in service
// "SVC_UPDATE" and answers "update.run" (request _update_info_st) with a
// status: 1 bad request, 2 nothing rewritten whole (none needed it, the
// check refused, or every write failed) or a run that must not reboot (a
// file left damaged, a directory or entry of the package that could not be
// read), 3 unpacking failed, 5 at least one file rewritten whole and none
// left damaged (the device is to reboot).
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
    // Limits of the packaged-file CRC and of "info.ini".
    static const size_t kCrcBlock = 1000000;
    static const int64_t kCrcMaxLength = 0x9600000;
    static const int64_t kInfoIniMaxLength = 10000;

    Update();
    ~Update() override;

    // Connects "update.run".
    bool Init() override;

    // Runs the update and answers the message with the status; a request
    // that arrives while a run is under way is answered 1 and not run.
    void OnUpdateRun(kivo::Message& msg);
    int32_t RunUpdate(kivo::Message& msg);

    // Level 0 information, 1 warning, 2 error; the text after indent tabs.
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
    // As above; when the file could not be read (open, size or read), the
    // step and its cause go to *cause, which stays empty for a CRC that is
    // missing or does not match.
    int32_t CheckZipFileCrc16(const std::string& zip_path, std::string* cause);

    // 1 when the last byte of the file is the CRC-8 of all but its last two.
    static int32_t CheckInfoIniCrc(const std::string& path);
    // The same; when the file could not be read (not when it fails its
    // check) *cause names the step and the system's text.
    static int32_t CheckInfoIniCrc(const std::string& path, std::string* cause);
    // One to four '.'-separated components, "V" before the first and "T"
    // after the last of several allowed; components not given are left as
    // they are. 1 when parsed.
    static int32_t ParseVersion(const std::string& text, uint32_t ver[4]);
    // The boot image's CRC word (byte 80) and version word (byte 84).
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
    // [name] of a version record: "check_crc" and the parsed "version". A
    // fault is reported ("zip" or "flash" side); missing tells a missing
    // value from a version that does not parse.
    bool _ReadRecord(const kivo::IniFile& ini, const char* side, const std::string& name, uint32_t* crc,
                     uint32_t ver[4], bool* missing);
    // The copy of one file through buf (kCopyBlock bytes); false when it did
    // not complete (reported). *damaged: the board file was emptied and is
    // not whole (neither its old nor its new bytes).
    bool _CopyFile(const std::string& zip_path, const std::string& board_file, bool boot, uint8_t* buf,
                   bool* damaged);
    // The boot image's header, written so that it claims the new image only
    // once all of it is in place (the CRC word last); false when that failed
    // (reported; the CRC word is blanked again where that is possible).
    bool _WriteBootHeader(kivo::filesystem::File& dst, const std::string& board_file, const uint8_t* head,
                          size_t size);
    // What keeps this run from rebooting: the device would boot into it.
    void _Unsafe(const std::string& what);
    // Report 5 (the file's copy has finished); false when the receiver
    // answers that what the file holds could not be put in place (an
    // archive that did not unpack whole).
    bool _SendFinished(const std::string& board_file);
    // Removes the work directory (never "/"); false when something of it
    // is left (it may stay as an empty directory, a mount point for one).
    static bool _ClearWorkDir(const std::string& dir);

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
