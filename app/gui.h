#pragma once

// Gui: the module of service "SVC_GUI", served by the application thread.
// Its Init starts the update (code file from the command line, request
// posted on "update.run") and then serves "SVC_GUI" until the update flow
// stops it. Update reports to it on its private paths: "update_start" (the
// package's say: hook, flag files, check script), "update_info" (log lines
// and the status mailbox), "normal_update_start", "update_end" (copy of the
// package's top files to "/opt/app_disk/"), and the answer of "update.run"
// (keeping the code file, GPIO 7 blink and reboot).

#include <stdint.h>

#include <string>

#include "common/hardware_port/linux_a9/io.h"
#include "kivo/service/module.h"

// Command line, written by main before any other thread exists and read
// only by Gui::Init.
extern int32_t g_app_argc;
extern char** g_app_argv;

// Virtual address of the status mailbox page (physical 0xFFFF0000, 4096
// bytes); 0 when it is not mapped, and then reports skip the mailbox.
extern hw_vaddr_t g_mailbox_vaddr;

const hw_vaddr_t kMailboxPhysical = 0xFFFF0000u;
const uint32_t kMailboxSize = 4096;

// Status words of the mailbox.
const uint32_t kMailboxStart = 0x80A55A01u;
const uint32_t kMailboxFile = 0x80A55A02u;
const uint32_t kMailboxError = 0x80A55A03u;
const uint32_t kMailboxProgress = 0x80A55A04u;
const uint32_t kMailboxEnd = 0x80A55A05u;

class Gui : public kivo::ModuleBase {
public:
    Gui();
    ~Gui() override;

    // False when no usable code file was named ("SVC_GUI" is stopped);
    // true after the "SVC_GUI" loop has ended.
    bool Init() override;

    void OnSetTimerCnt(kivo::Message& msg);
    void OnUpdateStart(kivo::Message& msg);
    void OnNormalUpdateStart(kivo::Message& msg);
    void OnUpdateInfo(kivo::Message& msg);
    void OnUpdateEnd(kivo::Message& msg);
    void OnUpdateRun(kivo::Message& msg);

    // Up to the first zero byte of the file's first 64 bytes; "" when it
    // cannot be read.
    static std::string ReadSmallFile(const std::string& path);
    // The little-endian word at offset; 0 when 4 bytes cannot be read.
    static uint32_t ReadWord(const std::string& path, uint32_t offset);
    // The shown version of an installed file: the boot image's version word
    // in hexadecimal, otherwise the "version" of its version file
    // (stem + "-info.ini") trimmed, without its first character when it
    // holds a 'V'. False when there is none.
    static bool ReadFileVersion(const std::string& path, std::string& out);
    // Writes the "@/system/..." version elements.
    static void SetVersions();
    // The verdict of the package's check script: 1 (go on) without a script
    // or a "Check" function, 0 when "Check" says no or raises an error, and
    // 0 when the script does not load or run to its end.
    static int32_t LuaCheck(const std::string& script);

    // Walk callback of OnUpdateEnd: a file goes to "/opt/app_disk/" under
    // its own name.
    void CopyToAppDisk(const char* path, bool is_dir);

    int32_t TimerCnt() const { return _timer_cnt; }
    int32_t Result() const { return _result; }
    int32_t LastProgress() const { return _last_progress; }

private:
    // One handler per kind of "update_info" report (UpdateInfoKind).
    void OnInfoText(const kivo::Var& value);
    void OnInfoWarning(const kivo::Var& value);
    void OnInfoError(const kivo::Var& value);
    void OnInfoRewriting(const kivo::Var& value);
    void OnInfoFileStart(const kivo::Var& value);
    // Unpacks a finished ".zip" beside itself; false when its folder is not
    // whole (the report is then answered with 0).
    bool OnInfoFileDone(const kivo::Var& value);
    void OnInfoProgress(const kivo::Var& value);
    // Moves the code file to "/opt/update_disk" when the package asked for
    // it to be kept ("/update/force" or "/update/once").
    void KeepCodeFile();
    // Leaves the mark that an install's copy to "/opt/app_disk/" is owed
    // (written and flushed; said when it cannot be).
    void MarkCopy();
    // Answers a request that the check script sent while the check stage
    // runs (0, with one line), instead of running it inside the stage.
    void RefuseDuringCheck(const char* route, kivo::Message& msg);

    int32_t _timer_cnt;
    int32_t _result;
    int32_t _last_progress;
    bool _checking;     // OnUpdateStart is running the hook and the check
    bool _copy_failed;  // a file of this copy to "/opt/app_disk/" did not land
    // The end's copy to the application disk could not read the whole work
    // directory: the run is not finished and does not reboot.
    bool _copy_unread;
    std::string _code_file;
};
