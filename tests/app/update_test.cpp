// The update run end to end in its service: reports, statuses, installed
// files and version records, over packages made by an independent packer.

#include "app/update.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "kivo/utils/zip.h"
#include "tests/app/update_test_env.h"

using namespace update_test;

// The copy asks for its 512 KiB block, the CRC-16 check for its block and
// the "info.ini" check for the file's length with the non-throwing new[]; on
// demand that request fails, as on a device short of memory.
static std::atomic<bool> g_fail_copy_buffer(false);
static std::atomic<bool> g_fail_crc_buffer(false);
static std::atomic<size_t> g_fail_size(0);  // 0: no size fails

void* operator new[](size_t size, const std::nothrow_t&) noexcept
{
    if (size == Update::kCopyBlock && g_fail_copy_buffer.load())
        return nullptr;
    if (size == Update::kCrcBlock && g_fail_crc_buffer.load())
        return nullptr;
    if (size != 0 && size == g_fail_size.load())
        return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

// "123456789": its CRC-16/MODBUS is the published check value 0x4B37.
const char* const kCheckText = "123456789";
const int kCheckCrc = 0x4B37;

std::string VersionFile(const std::string& section, const std::string& version, int crc)
{
    return "[" + section + "]\r\nversion=" + version + "\r\ncheck_crc=" + std::to_string(crc) + "\r\n";
}

// Every run that gets as far as the pre-update stage begins so.
const std::vector<std::string> kRunStart = {
    "0:unzip update file finish",
    "update_start:/tmp/update",
    "0:PreUpdateFileList size is 1",
    "0:Start PreUpdate file :  /tmp/update/sys/update.elf",
};

std::vector<std::string> Then(std::vector<std::string> head, const std::vector<std::string>& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

class UpdateRunTest : public UpdateEnv {
protected:
    // app.bin V2 in the package; installed "old", recorded as V1.
    void StageAppOverOld()
    {
        Stage("sys/app.bin", kCheckText);
        Pack(R"({"sys": {"sections": {"app.bin": {"version": "V2", "check_crc": "auto"}}}})");
        Board("/opt/sys_disk/app.bin", "old");
        Board("/opt/sys_disk/app-info.ini", VersionFile("app.bin", "V1", 77));
    }
};

TEST_F(UpdateRunTest, FreshInstallReportsEveryStepAndRecordsTheVersion)
{
    Stage("sys/uImage", kCheckText);
    std::map<std::string, int> crcs = Pack(R"({"sys": {"sections": {"uImage": {"version": "V1.2.3T", "check_crc": "auto"}}}})");
    ASSERT_EQ(kCheckCrc, crcs["sys/uImage"]);

    EXPECT_EQ(5, Run(DefaultRequest()));
    const std::vector<std::string> expect = Then(kRunStart, {
        "normal_update_start:/tmp/update",
        "0:zip dir :/tmp/update/sys",
        "0:flash dir :sys",
        "0:Enter Dir /opt/sys_disk",
        "0:\t-> file name : /tmp/update/sys/uImage",
        "0:\t\t/tmp/update/sys FLASH_INFO_TYPE_INI",
        "1:\t\tfs flash file no exist, need update:/opt/sys_disk/uImage",
        "0:\t\t-> need update, check zip file crc16...",
        "3:0",
        "4:uImage",
        "6:0",
        "6:100",
        "5:/opt/sys_disk/uImage",
        "0:\t\tfinish update file uImage",
        "0:Exit Dir /opt/sys_disk",
        "3:1",
        "update_end:5",
    });
    EXPECT_EQ(expect, rec.events) << rec.Dump();
    EXPECT_EQ(kCheckText, BoardBytes("/opt/sys_disk/uImage"));
    EXPECT_EQ(VersionFile("uImage", "V1.2.3T", kCheckCrc), BoardBytes("/opt/sys_disk/uImage-info.ini"));
    EXPECT_FALSE(BoardHas("/tmp/update")) << "work directory removed";

    // The same package again: everything matches, nothing is rewritten.
    EXPECT_EQ(2, Run(DefaultRequest()));
    EXPECT_TRUE(rec.Has("0:\t\tupdate_crc16 :19255  flash_crc16 :19255")) << rec.Dump();
    EXPECT_TRUE(rec.Has("1:\t\tcheck no need update"));
    EXPECT_EQ("update_end:2", rec.events.back());
    EXPECT_EQ(0u, rec.CountPrefix("3:"));
    EXPECT_FALSE(BoardHas("/tmp/update"));
}

// A request that reaches the module while its run waits in one of its sends
// (here from the receiver's "update_start" handler) is answered 1 and not
// run: running it would empty the work directory under the run.
TEST_F(UpdateRunTest, RequestDuringTheRunIsRefused)
{
    Stage("sys/uImage", kCheckText);
    Pack(R"({"sys": {"sections": {"uImage": {"version": "V1.2", "check_crc": "auto"}}}})");
    rec.on_event = [this](const std::string& e) {
        if (e.compare(0, 13, "update_start:") != 0 || running == nullptr)
            return;
        kivo::Message again(kivo::Message::Value(kivo::Var(kivo::MakeHeapValue(DefaultRequest()))));
        running->OnUpdateRun(again);
    };
    EXPECT_EQ(5, Run(DefaultRequest()));
    rec.on_event = nullptr;
    EXPECT_EQ(1u, rec.CountPrefix("update_start:")) << rec.Dump();
    EXPECT_EQ(kCheckText, BoardBytes("/opt/sys_disk/uImage"));
    EXPECT_FALSE(BoardHas("/tmp/update"));
}

// One packaged file "app.bin" against an installed copy and its record.
struct DecisionCase {
    const char* what;
    const char* zip_keys;      // JSON keys of the package's [app.bin]
    const char* installed;     // installed version file; null: none
    bool board_file;           // the installed file exists
    bool force;                // "/update/force" is 1
    bool updated;
    const char* line;          // a report that must appear
    const char* record;        // the version file afterwards; null: the standard one
};

TEST_F(UpdateRunTest, DecisionTable)
{
    const DecisionCase cases[] = {
        {"zip crc 0", R"("version": "V2.0", "check_crc": 0)", "[app.bin]\nversion=V1.0\ncheck_crc=5\n", true, false,
         false, "1:\t\tzip file info crc16 read fail :app.bin", nullptr},
        {"zip version missing", R"("check_crc": "auto")", "[app.bin]\nversion=V1.0\ncheck_crc=5\n", true, false,
         false, "1:\t\tzip file info version read fail :app.bin", nullptr},
        {"zip version of five components", R"("version": "1.2.3.4.5", "check_crc": "auto")",
         "[app.bin]\nversion=V1.0\ncheck_crc=5\n", true, false, false,
         "1:\t\tzip file get version int fail :app.bin  1.2.3.4.5", nullptr},
        {"installed crc 0", R"("version": "V1.0", "check_crc": "auto")", "[app.bin]\nversion=V9.0\ncheck_crc=0\n",
         true, false, true, "1:\t\tflash file info crc16 read fail :app.bin", nullptr},
        {"installed version missing", R"("version": "V1.0", "check_crc": "auto")", "[app.bin]\ncheck_crc=19255\n",
         true, false, true, "1:\t\tflash file info version read fail :app.bin",
         // the loaded record is updated in place: its keys keep their order
         "[app.bin]\r\ncheck_crc=19255\r\nversion=V1.0\r\n"},
        {"installed version unparsable", R"("version": "V9.0", "check_crc": "auto")",
         "[app.bin]\nversion=1.2.3.4.5\ncheck_crc=7\n", true, false, false,
         "1:\t\tflash file get version int fail :app.bin  1.2.3.4.5", nullptr},
        {"equal crc, equal version", R"("version": "1.2.3.4", "check_crc": "auto")",
         "[app.bin]\nversion=1.2.3.4\ncheck_crc=19255\n", true, false, false,
         "0:\t\tupdate_crc16 :19255  flash_crc16 :19255", nullptr},
        {"equal crc, component 3 newer", R"("version": "1.2.3.5", "check_crc": "auto")",
         "[app.bin]\nversion=1.2.4.0\ncheck_crc=19255\n", true, false, true, "0:\t\tupdate_crc16 :19255  flash_crc16 :19255", nullptr},
        {"equal crc, 1.9.0 against 2.0.0", R"("version": "1.9.0", "check_crc": "auto")",
         "[app.bin]\nversion=2.0.0\ncheck_crc=19255\n", true, false, true, "4:app.bin", nullptr},
        {"equal crc, V1.2.3T against 1.2.3", R"("version": "V1.2.3T", "check_crc": "auto")",
         "[app.bin]\nversion=1.2.3\ncheck_crc=19255\n", true, false, false, "1:\t\tcheck no need update", nullptr},
        {"equal crc, V1.2.3T against 1.2.2", R"("version": "V1.2.3T", "check_crc": "auto")",
         "[app.bin]\nversion=1.2.2\ncheck_crc=19255\n", true, false, true, "4:app.bin", nullptr},
        {"different crc, older version", R"("version": "V1.0", "check_crc": "auto")",
         "[app.bin]\nversion=V2.0\ncheck_crc=1234\n", true, false, true, "0:\t\tupdate_crc16 :19255  flash_crc16 :1234", nullptr},
        {"no version file", R"("version": "V1.0", "check_crc": "auto")", nullptr, true, false, true,
         "1:\t\tini type file no exist info.ini, need update/opt/sys_disk/app-info.ini", nullptr},
        {"no installed file", R"("version": "V1.0", "check_crc": "auto")", "[app.bin]\nversion=V9.0\ncheck_crc=19255\n",
         false, false, true, "1:\t\tfs flash file no exist, need update:/opt/sys_disk/app.bin", nullptr},
        {"wrong packaged crc", R"("version": "V2.0", "check_crc": 1234)", "[app.bin]\nversion=V1.0\ncheck_crc=99\n",
         true, false, false, "1:\t\tcheck update file crc fail:/tmp/update/sys/app.bin", nullptr},
        {"force over equal records", R"("version": "1.0", "check_crc": "auto")",
         "[app.bin]\nversion=1.0\ncheck_crc=19255\n", true, true, true, "4:app.bin", nullptr},
    };
    for (const DecisionCase& c : cases) {
        SCOPED_TRACE(c.what);
        RemoveTree(stage);
        MakeDirs(stage);
        RemoveTree(Real("/opt/sys_disk"));
        MakeDirs(Real("/opt/sys_disk"));
        Stage("sys/app.bin", kCheckText);
        Pack(std::string(R"({"sys": {"sections": {"app.bin": {)") + c.zip_keys + "}}}}");
        if (c.board_file)
            Board("/opt/sys_disk/app.bin", "old bytes");
        if (c.installed != nullptr)
            Board("/opt/sys_disk/app-info.ini", c.installed);
        kivo::ElemWrite("/update/force", kivo::Var(c.force ? 1 : 0));

        EXPECT_EQ(c.updated ? 5 : 2, Run(DefaultRequest()));
        EXPECT_TRUE(rec.Has(c.line)) << rec.Dump();
        if (c.updated) {
            EXPECT_EQ(kCheckText, BoardBytes("/opt/sys_disk/app.bin"));
            std::string version = c.zip_keys;
            size_t at = version.find("\"version\": \"");
            version = version.substr(at + 12, version.find('"', at + 12) - at - 12);
            EXPECT_EQ(c.record ? c.record : VersionFile("app.bin", version, kCheckCrc),
                      BoardBytes("/opt/sys_disk/app-info.ini"));
        } else {
            EXPECT_EQ(0u, rec.CountPrefix("3:")) << rec.Dump();
            EXPECT_EQ(c.board_file ? "old bytes" : "", BoardBytes("/opt/sys_disk/app.bin"));
            EXPECT_EQ(c.installed ? c.installed : "", BoardBytes("/opt/sys_disk/app-info.ini"));
        }
    }
    kivo::ElemWrite("/update/force", kivo::Var(0));
}

TEST_F(UpdateRunTest, DirectoryMappingAndInfoIniChecks)
{
    Stage("sys/a.bin", "sys file");
    Stage("@opt@app_disk/b.bin", "app file");
    Stage("qspi/c.bin", "raw file");
    Stage("@opt@nodir/d.bin", "lost");
    Stage("unknown/e.bin", "lost");
    Stage("noinfo/f.bin", "lost");
    Stage("big/g.bin", "g");
    Stage("toobig/h.bin", "h");
    Stage("badcheck/i.bin", "i");
    Stage("tiny/j.bin", "j");
    Stage("tiny/info.ini", "x");  // one byte: no room for a check byte
    Stage("top.txt", "top level files are not installed");
    Stage("sys/nested/k.bin", "sub-directories are passed over");
    const char* sec = R"("version": "V1", "check_crc": "auto")";
    std::string infos = std::string("{") + R"("sys": {"sections": {"a.bin": {)" + sec + "}}}," +
                        R"("@opt@app_disk": {"sections": {"b.bin": {)" + sec + "}}}," +
                        R"("qspi": {"sections": {"c.bin": {)" + sec + "}}}," +
                        R"("@opt@nodir": {"sections": {"d.bin": {)" + sec + "}}}," +
                        R"("unknown": {"sections": {"e.bin": {)" + sec + "}}}," +
                        R"("big": {"sections": {"g.bin": {)" + sec + "}}, \"pad_to\": 10000}," +
                        R"("toobig": {"sections": {"h.bin": {)" + sec + "}}, \"pad_to\": 10001}," +
                        R"("badcheck": {"sections": {"i.bin": {)" + sec + "}}, \"bad_check\": true}}";
    Pack(infos);
    _update_info_st req = DefaultRequest();
    // Extra names: "big" maps to a directory that is not tested for
    // existence; a later entry of the same name re-maps the result.
    req.dir_map.push_back({"big", "/opt/big_first"});
    req.dir_map.push_back({"/opt/big_first", "/opt/app_disk/big"});
    req.dir_map.push_back({"toobig", "/opt/app_disk"});
    req.dir_map.push_back({"badcheck", "/opt/app_disk"});
    req.dir_map.push_back({"tiny", "/opt/app_disk"});
    req.dir_map.push_back({"noinfo", "/opt/app_disk"});
    MakeDirs(Real("/opt/app_disk/big"));

    EXPECT_EQ(5, Run(req));
    EXPECT_EQ("sys file", BoardBytes("/opt/sys_disk/a.bin"));
    EXPECT_EQ("app file", BoardBytes("/opt/app_disk/b.bin"));
    EXPECT_EQ("raw file", BoardBytes("/dev/c.bin"));
    EXPECT_EQ("g", BoardBytes("/opt/app_disk/big/g.bin"));
    for (const char* gone : {"/opt/nodir", "/opt/app_disk/h.bin", "/opt/app_disk/i.bin", "/opt/app_disk/j.bin",
                             "/opt/app_disk/f.bin", "/opt/app_disk/top.txt", "/opt/sys_disk/k.bin",
                             "/opt/sys_disk/info.ini", "/opt/sys_disk/nested"})
        EXPECT_FALSE(BoardHas(gone)) << gone;
    const char* lines[] = {
        "0:flash dir :/opt/app_disk",
        "0:Enter Dir /opt/app_disk",
        "0:Enter Dir /dev",
        "0:Enter Dir /opt/app_disk/big",
        "1:flash dir in board not exist:/opt/nodir !!!!",
        "1:flash dir in board not exist:unknown !!!!",
        "1:info file of zip dir in zip not exist:/tmp/update/noinfo/info.ini",
        "1:info file of zip dir in zip crc check error:/tmp/update/toobig/info.ini",
        "1:info file of zip dir in zip crc check error:/tmp/update/badcheck/info.ini",
        "1:info file of zip dir in zip crc check error:/tmp/update/tiny/info.ini",
    };
    for (const char* l : lines)
        EXPECT_TRUE(rec.Has(l)) << l << "\n" << rec.Dump();
    EXPECT_EQ(4u, rec.CountPrefix("4:"));
    EXPECT_EQ(1u, rec.CountPrefix("3:0"));
    EXPECT_EQ(0u, rec.CountPrefix("0:zip dir :/tmp/update/top.txt"));
}

// The check byte of "info.ini" may be any byte: versions chosen so that it
// comes out as a NUL, a line end or a backslash, and each package installs.
TEST_F(UpdateRunTest, InfoIniWithAnyCheckByteInstalls)
{
    const struct {
        const char* version;
        char check;
    } cases[] = {{"V1.41", '\0'}, {"V1.24", '\n'}, {"V1.884", '\r'}, {"V1.1859", '\\'}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.version);
        RemoveTree(stage);
        MakeDirs(stage);
        RemoveTree(Real("/opt/sys_disk"));
        MakeDirs(Real("/opt/sys_disk"));
        Stage("sys/app.bin", kCheckText);
        Pack(std::string(R"({"sys": {"sections": {"app.bin": {"version": ")") + c.version +
             R"(", "check_crc": "auto"}}}})");
        const std::string info = ReadReal(stage + "/sys/info.ini");
        ASSERT_FALSE(info.empty());
        ASSERT_EQ(c.check, info.back());

        EXPECT_EQ(5, Run(DefaultRequest()));
        EXPECT_EQ(kCheckText, BoardBytes("/opt/sys_disk/app.bin")) << rec.Dump();
        EXPECT_EQ(VersionFile("app.bin", c.version, kCheckCrc), BoardBytes("/opt/sys_disk/app-info.ini"));
        EXPECT_FALSE(rec.Has("1:info file of zip dir open error:/tmp/update/sys/info.ini"));
    }
}

// The boot image: version words in its header, no CRC-16 check, header
// region blank until the rest is written.
TEST_F(UpdateRunTest, BootImageHeaderWrittenLast)
{
    std::string image = Pattern(0x180000 + 77, 3);
    PutLe32(image, 80, 4660);        // CRC word = the package's check_crc
    PutLe32(image, 84, 0x20230101);  // boot version
    Stage("qspi/boot.bin", image);
    Pack(R"({"qspi": {"sections": {"boot.bin": {"version": "V1", "check_crc": 4660}}}})");
    std::string old = Pattern(4096, 9);
    PutLe32(old, 80, 1111);
    Board("/dev/boot.bin", old);

    std::vector<std::string> headers;  // the installed header at each progress step
    rec.on_event = [&](const std::string& e) {
        if (e.compare(0, 2, "6:") == 0)
            headers.push_back(BoardBytes("/dev/boot.bin").substr(0, 256));
    };
    EXPECT_EQ(5, Run(DefaultRequest()));
    rec.on_event = nullptr;
    EXPECT_TRUE(rec.Has("0:\t\t/tmp/update/qspi FLASH_INFO_TYPE_INFO")) << rec.Dump();
    EXPECT_TRUE(rec.Has("0:\t\tupdate_crc16 :4660  flash_crc16 :1111"));
    // 256 bytes count as copied from the start; then 512 KiB blocks.
    std::vector<std::string> progress;
    for (const std::string& e : rec.events) {
        if (e.compare(0, 2, "6:") == 0)
            progress.push_back(e);
    }
    EXPECT_EQ((std::vector<std::string>{"6:0", "6:33", "6:66", "6:100"}), progress);
    // Emptied when opened, then blank through the last block.
    ASSERT_EQ(progress.size(), headers.size());
    EXPECT_EQ("", headers[0]);
    for (size_t i = 1; i < headers.size(); ++i)
        EXPECT_EQ(std::string(256, '\xFF'), headers[i]) << progress[i];
    EXPECT_TRUE(BoardBytes("/dev/boot.bin") == image);
    EXPECT_FALSE(BoardHas("/dev/boot-info.ini"));

    // Installed now: the header's CRC word matches.
    EXPECT_EQ(2, Run(DefaultRequest()));
    EXPECT_TRUE(rec.Has("0:\t\tupdate_crc16 :4660  flash_crc16 :4660")) << rec.Dump();

    // A newer boot version with the same CRC word is installed (component 0
    // of the package's text against the word at byte 84).
    RemoveTree(stage);
    Stage("qspi/boot.bin", image);
    Pack(R"({"qspi": {"sections": {"boot.bin": {"version": "0x20230102", "check_crc": 4660}}}})");
    EXPECT_EQ(5, Run(DefaultRequest()));

    // No installed image: nothing is written.
    unlink(Real("/dev/boot.bin").c_str());
    EXPECT_EQ(2, Run(DefaultRequest()));
    EXPECT_TRUE(rec.Has("1:\t\tno_fs flash file no exist:/dev/boot.bin")) << rec.Dump();
    EXPECT_FALSE(BoardHas("/dev/boot.bin"));
}

// A packaged file that ends before its recorded length (here cut while it
// is being copied): the copy stops, is reported as failed and recorded so that
// the next run rewrites it; a boot image keeps a blank header.
TEST_F(UpdateRunTest, ShortReadFailsTheCopy)
{
    std::string image = Pattern(0x100000, 5);
    PutLe32(image, 80, 4660);
    Stage("qspi/boot.bin", image);
    Stage("sys/app.bin", Pattern(0x100000, 6));
    Pack(R"({"qspi": {"sections": {"boot.bin": {"version": "V1", "check_crc": 4660}}},
             "sys": {"sections": {"app.bin": {"version": "V3", "check_crc": "auto"}}}})");
    Board("/dev/boot.bin", std::string(4096, 'o'));
    Board("/opt/sys_disk/app.bin", "old");
    // Cut once the copy has taken the length (the first progress report).
    std::string in_copy;
    rec.on_event = [&](const std::string& e) {
        if (e.compare(0, 2, "4:") == 0)
            in_copy = e.substr(2);
        if (e == "6:0" && in_copy == "boot.bin") {
            ASSERT_EQ(0, truncate(Real("/tmp/update/qspi/boot.bin").c_str(), 0x90000));
        }
        if (e == "6:0" && in_copy == "app.bin") {
            ASSERT_EQ(0, truncate(Real("/tmp/update/sys/app.bin").c_str(), 1000));
        }
    };
    // Neither file is whole: neither is finished, nothing counts as
    // rewritten, no reboot.
    EXPECT_EQ(2, Run(DefaultRequest(), 20000));
    rec.on_event = nullptr;
    EXPECT_TRUE(rec.Has("2:\t\tread file fail /tmp/update/qspi/boot.bin: the file ends early")) << rec.Dump();
    EXPECT_TRUE(rec.Has("2:\t\tread file fail /tmp/update/sys/app.bin: the file ends early")) << rec.Dump();
    EXPECT_EQ(0u, rec.CountPrefix("5:"));
    EXPECT_EQ(0u, rec.CountPrefix("0:\t\tfinish update file"));
    EXPECT_TRUE(rec.Has("3:1"));
    EXPECT_EQ("update_end:2", rec.events.back());
    std::string boot = BoardBytes("/dev/boot.bin");
    ASSERT_GE(boot.size(), 0x90000u);
    EXPECT_EQ(std::string(256, '\xFF'), boot.substr(0, 256));
    EXPECT_TRUE(boot.substr(256, 0x90000 - 256) == image.substr(256, 0x90000 - 256));
    EXPECT_EQ(VersionFile("app.bin", "V0.0", 0), BoardBytes("/opt/sys_disk/app-info.ini"));

    // The next run finds both different and rewrites them whole.
    RemoveTree(stage);
    Stage("qspi/boot.bin", image);
    Stage("sys/app.bin", Pattern(0x100000, 6));
    std::map<std::string, int> crcs = Pack(R"({"qspi": {"sections": {"boot.bin": {"version": "V1", "check_crc": 4660}}},
             "sys": {"sections": {"app.bin": {"version": "V3", "check_crc": "auto"}}}})");
    EXPECT_EQ(5, Run(DefaultRequest()));
    EXPECT_TRUE(rec.Has("0:\t\tupdate_crc16 :4660  flash_crc16 :-1")) << rec.Dump();
    EXPECT_TRUE(BoardBytes("/dev/boot.bin").substr(0, image.size()) == image);
    EXPECT_TRUE(BoardBytes("/opt/sys_disk/app.bin") == Pattern(0x100000, 6));
    EXPECT_EQ(VersionFile("app.bin", "V3", crcs["sys/app.bin"]), BoardBytes("/opt/sys_disk/app-info.ini"));
}

// A medium that fails part-way (read errors, a full disk at a write or only
// at the flush, no file handle left, a version record that cannot be
// written): the CRC check or the copy stops with a line that names the file
// and the cause; a failed file is not finished, does not count as rewritten
// (no reboot) and is recorded so that the next run rewrites it; a boot image
// keeps a blank header.
TEST_F(UpdateRunTest, FailingMediumStopsTheCheckOrTheCopy)
{
    const std::string v00 = VersionFile("app.bin", "V0.0", 0);
    struct {
        const char* what;
        const char* packaged;  // package-relative
        FaultPlan fault;
        int32_t status;
        const char* line;
        const std::string* record;  // the version file afterwards; null: not checked
    } cases[] = {
        {"CRC-16 read error", "sys/app.bin", {"/tmp/update/sys/app.bin", false, 1000000}, 2,
         "2:\t\tread file fail /tmp/update/sys/app.bin: cannot read it: Input/output error", nullptr},
        {"copy write error", "sys/app.bin", {"/opt/sys_disk/app.bin", true, 0x80000}, 2,
         "2:\t\twrite file fail /opt/sys_disk/app.bin: No space left on device", &v00},
        {"copy flush error", "sys/app.bin", {"/opt/sys_disk/app.bin", true, 0, FaultPlan::kFsync}, 2,
         "2:\t\twrite file fail /opt/sys_disk/app.bin: No space left on device", &v00},
        {"board file open error", "sys/app.bin", {"/opt/sys_disk/app.bin", true, 0, FaultPlan::kOpen}, 2,
         "2:\t\topen file fail /opt/sys_disk/app.bin: Too many open files", &v00},
        {"version record write error", "sys/app.bin", {"/opt/sys_disk/app-info.ini", true, 0}, 2,
         "2:\t\twrite file fail /opt/sys_disk/app-info.ini: No space left on device", nullptr},
        {"boot image read error", "qspi/boot.bin", {"/tmp/update/qspi/boot.bin", false, 0x80000}, 2,
         "2:\t\tread file fail /tmp/update/qspi/boot.bin: Input/output error", nullptr},
        {"boot image write error", "qspi/boot.bin", {"/dev/boot.bin", true, 0x10000 + 0x80000}, 2,
         "2:\t\twrite file fail /dev/boot.bin: No space left on device", nullptr},
        {"boot image flush error", "qspi/boot.bin", {"/dev/boot.bin", true, 0, FaultPlan::kFsync}, 2,
         "2:\t\twrite file fail /dev/boot.bin: No space left on device", nullptr},
    };
    ASSERT_EQ(0, kivo_mount("/system", &FaultyFs::Ops(), (void*)root.c_str(), nullptr));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool boot = std::string(c.packaged) == "qspi/boot.bin";
        const bool copied = c.fault.path != "/tmp/update/sys/app.bin";
        const std::string board = boot ? "/dev/boot.bin" : "/opt/sys_disk/app.bin";
        const std::string record = "/opt/sys_disk/app-info.ini";
        const std::string old_record = VersionFile("app.bin", "V1", 77);
        std::string bytes = Pattern(0x180000, 11);
        PutLe32(bytes, 80, 4660);
        RemoveTree(stage);
        MakeDirs(stage);
        Stage(c.packaged, bytes);
        std::map<std::string, int> crcs =
            Pack(boot ? R"({"qspi": {"sections": {"boot.bin": {"version": "V2", "check_crc": 4660}}}})"
                      : R"({"sys": {"sections": {"app.bin": {"version": "V2", "check_crc": "auto"}}}})");
        Board(board, "old");
        if (!boot)
            Board(record, old_record);

        FaultyFs::Get().Plan(c.fault);
        EXPECT_EQ(c.status, Run(DefaultRequest(), 20000));
        FaultyFs::Get().Plan(FaultPlan());
        EXPECT_TRUE(rec.Has(c.line)) << rec.Dump();
        EXPECT_EQ(0u, rec.CountPrefix("0:\t\tfinish update file")) << rec.Dump();
        EXPECT_EQ("update_end:2", rec.events.back());
        if (!copied) {
            EXPECT_EQ(0u, rec.CountPrefix("3:")) << rec.Dump();
            EXPECT_EQ("old", BoardBytes(board));
            EXPECT_EQ(old_record, BoardBytes(record));
        } else {
            // Rewriting started and ended; the file is not whole, or not
            // recorded as whole.
            EXPECT_TRUE(rec.Has("3:0")) << rec.Dump();
            EXPECT_TRUE(rec.Has("3:1")) << rec.Dump();
            if (boot) {
                EXPECT_FALSE(BoardBytes(board) == bytes);
                EXPECT_EQ(std::string(256, '\xFF'), BoardBytes(board).substr(0, 256));
            }
            if (c.record) {
                EXPECT_EQ(*c.record, BoardBytes(record));
            } else if (!boot) {
                EXPECT_NE(old_record, BoardBytes(record));
            }
        }

        // Sound again, the next run of the same package rewrites the file.
        EXPECT_EQ(5, Run(DefaultRequest()));
        EXPECT_TRUE(BoardBytes(board) == bytes);
        if (!boot) {
            EXPECT_EQ(VersionFile("app.bin", "V2", crcs["sys/app.bin"]), BoardBytes(record));
        }
    }
}

// The copy flushes each 512 KiB block once, and the boot image's blank
// header region and its header once more; an empty file is flushed once at
// the close. A flush left out loses data on a power cut; one more per file
// is a second fsync for every small file of a package.
TEST_F(UpdateRunTest, EveryCopiedBlockIsFlushedOnce)
{
    const struct {
        const char* packaged;
        size_t size;
        int flushes;
    } cases[] = {
        {"sys/app.bin", 0, 1},
        {"sys/app.bin", 1, 1},
        {"sys/app.bin", 0x80000, 1},
        {"sys/app.bin", 0x80001, 2},
        {"sys/app.bin", 0x180000, 3},
        // Blank region, three blocks from byte 256 on, the header.
        {"qspi/boot.bin", 0x180000, 5},
        {"qspi/boot.bin", 0x100100, 4},
    };
    ASSERT_EQ(0, kivo_mount("/system", &FaultyFs::Ops(), (void*)root.c_str(), nullptr));
    for (const auto& c : cases) {
        const bool boot = std::string(c.packaged) == "qspi/boot.bin";
        SCOPED_TRACE(std::string(c.packaged) + " of " + std::to_string(c.size) + " bytes");
        const std::string board = boot ? "/dev/boot.bin" : "/opt/sys_disk/app.bin";
        std::string bytes = Pattern(c.size, 5);
        if (boot)
            PutLe32(bytes, 80, 4660);
        RemoveTree(stage);
        MakeDirs(stage);
        Stage(c.packaged, bytes);
        Pack(boot ? R"({"qspi": {"sections": {"boot.bin": {"version": "V2", "check_crc": 4660}}}})"
                  : R"({"sys": {"sections": {"app.bin": {"version": "V2", "check_crc": "auto"}}}})");
        Board(board, "old");
        Board("/opt/sys_disk/app-info.ini", VersionFile("app.bin", "V1", 77));
        FaultyFs::Get().Plan({board, true, 0, FaultPlan::kWatch});
        EXPECT_EQ(5, Run(DefaultRequest()));
        EXPECT_EQ(c.flushes, FaultyFs::Get().Flushes());
        FaultyFs::Get().Plan(FaultPlan());
        EXPECT_TRUE(BoardBytes(board) == bytes);
    }
}

// No copy buffer: the installed file is left as it was (never truncated);
// its version record is gone already, so the next run rewrites it.
TEST_F(UpdateRunTest, NoCopyBufferLeavesTheInstalledFile)
{
    StageAppOverOld();
    g_fail_copy_buffer = true;
    EXPECT_EQ(2, Run(DefaultRequest()));
    g_fail_copy_buffer = false;
    EXPECT_TRUE(rec.Has("2:\t\talloc space fail ")) << rec.Dump();
    EXPECT_EQ(0u, rec.CountPrefix("6:"));
    EXPECT_EQ(0u, rec.CountPrefix("5:"));
    EXPECT_EQ("old", BoardBytes("/opt/sys_disk/app.bin"));
    EXPECT_FALSE(BoardHas("/opt/sys_disk/app-info.ini"));

    EXPECT_EQ(5, Run(DefaultRequest()));
    EXPECT_TRUE(rec.Has("1:\t\tini type file no exist info.ini, need update/opt/sys_disk/app-info.ini")) << rec.Dump();
    EXPECT_EQ(kCheckText, BoardBytes("/opt/sys_disk/app.bin"));
    EXPECT_EQ(VersionFile("app.bin", "V2", kCheckCrc), BoardBytes("/opt/sys_disk/app-info.ini"));
}

// No block for the CRC-16 check: the file is passed over as it was, and the
// report names the allocation, not a CRC mismatch. With memory again the
// same package installs.
TEST_F(UpdateRunTest, NoCrcBufferIsNoCrcMismatch)
{
    StageAppOverOld();
    g_fail_crc_buffer = true;
    EXPECT_EQ(2, Run(DefaultRequest()));
    g_fail_crc_buffer = false;
    EXPECT_TRUE(rec.Has(std::string("2:\t\talloc space fail /tmp/update/sys/app.bin: ") + strerror(ENOMEM)))
        << rec.Dump();
    EXPECT_EQ(0u, rec.CountPrefix("1:\t\tcheck update file crc fail:")) << rec.Dump();
    EXPECT_EQ(0u, rec.CountPrefix("3:")) << rec.Dump();
    EXPECT_EQ("old", BoardBytes("/opt/sys_disk/app.bin"));
    EXPECT_EQ(VersionFile("app.bin", "V1", 77), BoardBytes("/opt/sys_disk/app-info.ini"));

    EXPECT_EQ(5, Run(DefaultRequest()));
    EXPECT_EQ(kCheckText, BoardBytes("/opt/sys_disk/app.bin"));
    EXPECT_EQ(VersionFile("app.bin", "V2", kCheckCrc), BoardBytes("/opt/sys_disk/app-info.ini"));
}

// No memory to read "info.ini": the directory is passed over as for an
// unreadable file, with the allocation named, and the run does not reboot.
// With memory again the same package installs.
TEST_F(UpdateRunTest, NoInfoIniBufferIsNoCrash)
{
    StageAppOverOld();
    const size_t info_length = ReadReal(stage + "/sys/info.ini").size();
    ASSERT_NE(0u, info_length);
    g_fail_size = info_length;
    int32_t status = -1;
    EXPECT_NO_THROW(status = Run(DefaultRequest()));
    g_fail_size = 0;
    EXPECT_EQ(2, status) << rec.Dump();
    EXPECT_TRUE(rec.Has(std::string("2:info file of zip dir in zip read fail:/tmp/update/sys/info.ini: "
                                    "alloc space fail: ") +
                        strerror(ENOMEM)))
        << rec.Dump();
    EXPECT_EQ(0u, rec.CountPrefix("1:info file of zip dir in zip crc check error:")) << rec.Dump();
    EXPECT_EQ(1u, rec.CountPrefix("2:update incomplete, no reboot: ")) << rec.Dump();
    EXPECT_EQ("old", BoardBytes("/opt/sys_disk/app.bin"));
    EXPECT_EQ(VersionFile("app.bin", "V1", 77), BoardBytes("/opt/sys_disk/app-info.ini"));

    EXPECT_EQ(5, Run(DefaultRequest()));
    EXPECT_EQ(kCheckText, BoardBytes("/opt/sys_disk/app.bin"));
    EXPECT_EQ(VersionFile("app.bin", "V2", kCheckCrc), BoardBytes("/opt/sys_disk/app-info.ini"));
}

TEST_F(UpdateRunTest, EmptyFileGetsOnlyTheStartReport)
{
    Stage("sys/empty.cfg", "");
    std::map<std::string, int> crcs = Pack(R"({"sys": {"sections": {"empty.cfg": {"version": "V1", "check_crc": "auto"}}}})");
    ASSERT_EQ(0xFFFF, crcs["sys/empty.cfg"]);
    Board("/opt/sys_disk/empty.cfg", "was not empty");
    EXPECT_EQ(5, Run(DefaultRequest()));
    EXPECT_EQ(1u, rec.CountPrefix("6:"));
    EXPECT_TRUE(rec.Has("6:0"));
    EXPECT_EQ("", BoardBytes("/opt/sys_disk/empty.cfg"));
    EXPECT_EQ(VersionFile("empty.cfg", "V1", 0xFFFF), BoardBytes("/opt/sys_disk/empty-info.ini"));
}

TEST_F(UpdateRunTest, PreUpdateListWithRebootStopsBeforeTheWalk)
{
    Stage("sys/update.elf", "new updater");
    Stage("sys/uImage", "new kernel");
    Stage("@opt@app_disk/app", "new app");
    Pack(R"({"sys": {"sections": {"update.elf": {"version": "V2", "check_crc": "auto"},
                                   "uImage": {"version": "V2", "check_crc": "auto"}}},
             "@opt@app_disk": {"sections": {"app": {"version": "V2", "check_crc": "auto"}}}})");
    rec.on_event = [](const std::string& e) {
        if (e.compare(0, 13, "update_start:") == 0)
            kivo::ElemWrite("/update/PreNeedReboot", kivo::Var(1));
    };
    EXPECT_EQ(5, Run(DefaultRequest()));
    const std::vector<std::string> expect = Then(kRunStart, {
        "0:zip dir :/tmp/update/sys",
        "0:flash dir :sys",
        "0:Enter Dir /opt/sys_disk",
        "0:\t-> file name : /tmp/update/sys/update.elf",
        "0:\t\t/tmp/update/sys FLASH_INFO_TYPE_INI",
        "1:\t\tfs flash file no exist, need update:/opt/sys_disk/update.elf",
        "0:\t\t-> need update, check zip file crc16...",
        "3:0",
        "4:update.elf",
        "6:0",
        "6:100",
        "5:/opt/sys_disk/update.elf",
        "0:\t\tfinish update file update.elf",
        "0:Exit Dir /opt/sys_disk",
        "3:1",
    });
    EXPECT_EQ(expect, rec.events) << rec.Dump();
    EXPECT_EQ("new updater", BoardBytes("/opt/sys_disk/update.elf"));
    EXPECT_FALSE(BoardHas("/opt/sys_disk/uImage"));
    EXPECT_FALSE(BoardHas("/opt/app_disk/app"));
    EXPECT_TRUE(BoardHas("/tmp/update/sys/uImage")) << "work directory kept for the next run";

    // After the reboot: the pre-update file is current, the rest goes in.
    rec.on_event = nullptr;
    kivo::ElemWrite("/update/PreNeedReboot", kivo::Var(0));
    EXPECT_EQ(5, Run(DefaultRequest()));
    EXPECT_EQ("new kernel", BoardBytes("/opt/sys_disk/uImage"));
    EXPECT_EQ("new app", BoardBytes("/opt/app_disk/app"));
    EXPECT_EQ(2u, rec.CountPrefix("4:")) << rec.Dump();
    EXPECT_EQ("update_end:5", rec.events.back());
}

TEST_F(UpdateRunTest, SharedPreUpdateListAndForce)
{
    Stage("sys/update.elf", "u");
    Stage("sys/uImage", "k");
    Pack(R"({"sys": {"sections": {"update.elf": {"version": "V2", "check_crc": "auto"},
                                   "uImage": {"version": "V2", "check_crc": "auto"}}}})");
    std::vector<std::string>* list = kivo::GetShared<std::vector<std::string>>(
        "/update/PreUpdateList", new std::vector<std::string>{"sys\\uImage", "sys/missing.bin"});
    ASSERT_NE(nullptr, list);
    // An earlier run (--gtest_repeat) made the list already: fill it again.
    *list = {"sys\\uImage", "sys/missing.bin"};

    EXPECT_EQ(5, Run(DefaultRequest()));
    EXPECT_TRUE(rec.Has("0:PreUpdateFileList size is 3")) << rec.Dump();
    EXPECT_TRUE(rec.Has("0:Start PreUpdate file :  /tmp/update/sys/uImage"));
    EXPECT_TRUE(rec.Has("0:Start PreUpdate file :  /tmp/update/sys/missing.bin"));
    // Both pre-update files first (list order), then the walk.
    std::vector<std::string> starts;
    for (const std::string& e : rec.events) {
        if (e.compare(0, 2, "4:") == 0 || e.compare(0, 20, "normal_update_start:") == 0)
            starts.push_back(e);
    }
    EXPECT_EQ((std::vector<std::string>{"4:update.elf", "4:uImage", "normal_update_start:/tmp/update"}), starts);

    // Force: the list is not looked at, versions and CRCs neither.
    kivo::ElemWrite("/update/force", kivo::Var(1));
    EXPECT_EQ(5, Run(DefaultRequest()));
    EXPECT_EQ(0u, rec.CountPrefix("0:PreUpdateFileList")) << rec.Dump();
    EXPECT_EQ(0u, rec.CountPrefix("0:Start PreUpdate"));
    EXPECT_EQ(2u, rec.CountPrefix("4:"));
    kivo::ElemWrite("/update/force", kivo::Var(0));
    list->clear();
}

TEST_F(UpdateRunTest, PasswordFallbackAndBadPackages)
{
    Stage("sys/uImage", kCheckText);
    Pack(R"({"sys": {"sections": {"uImage": {"version": "V1", "check_crc": "auto"}}}})", "kth507316");
    EXPECT_EQ(5, Run(DefaultRequest()));
    EXPECT_EQ("0:unzip update file finish", rec.events.at(0)) << rec.Dump();
    EXPECT_EQ(kCheckText, BoardBytes("/opt/sys_disk/uImage"));

    Pack(R"({"sys": {"sections": {"uImage": {"version": "V2", "check_crc": "auto"}}}})", "wrong password");
    EXPECT_EQ(3, Run(DefaultRequest()));
    // The garbage of a wrong password fails the inflation or the CRC check,
    // as the random encryption header falls.
    ASSERT_EQ(2u, rec.events.size()) << rec.Dump();
    const std::string wrong = " (or the password is wrong)";
    EXPECT_EQ(0u, rec.events[0].find("2:unzip fail: entry ")) << rec.Dump();
    EXPECT_TRUE(rec.events[0].size() > wrong.size() &&
                rec.events[0].compare(rec.events[0].size() - wrong.size(), wrong.size(), wrong) == 0)
        << rec.Dump();
    EXPECT_EQ("2:unzip fail in /tmp/update", rec.events[1]);

    Stage("sys/big.bin", Pattern(200000, 1));
    Pack(R"({"sys": {"sections": {"uImage": {"version": "V2", "check_crc": "auto"}}}})", "", "flip");
    EXPECT_EQ(3, Run(DefaultRequest()));
    EXPECT_EQ((std::vector<std::string>{"2:unzip fail: entry 1 \"sys/big.bin\" fails its CRC check",
                                        "2:unzip fail in /tmp/update"}),
              rec.events);
    EXPECT_EQ(VersionFile("uImage", "V1", kCheckCrc), BoardBytes("/opt/sys_disk/uImage-info.ini"));

    struct {
        const char* zip;
        bool empty_map;
        int32_t status;
    } requests[] = {{"ab", false, 1}, {"abc", false, 3}, {"/pkg/code.bin", true, 1}};
    for (const auto& r : requests) {
        _update_info_st req = DefaultRequest();
        req.zip_file = r.zip;
        if (r.empty_map)
            req.dir_map.clear();
        EXPECT_EQ(r.status, Run(req)) << r.zip;
        if (r.status == 1) {
            EXPECT_EQ((std::vector<std::string>{"2:input param error"}), rec.events);
        } else {
            EXPECT_EQ((std::vector<std::string>{"2:unzip fail: cannot open abc: No such file or directory",
                                                "2:unzip fail in /tmp/update"}),
                      rec.events);
        }
    }
}

// What an earlier run left in the work directory (here a whole unpacked
// package with a boot image) is never installed by the next package, which
// holds only a top-level file.
TEST_F(UpdateRunTest, LeftoversInTheWorkDirectoryAreNotInstalled)
{
    std::string image = Pattern(0x20000, 4);
    PutLe32(image, 80, 4660);
    Stage("qspi/boot.bin", image);
    Stage("sys/app.elf", "app of package A");
    Pack(R"({"qspi": {"sections": {"boot.bin": {"version": "V1", "check_crc": 4660}}},
             "sys": {"sections": {"app.elf": {"version": "V9", "check_crc": "auto"}}}})");
    ASSERT_TRUE(kivo::zip::UnzipToDir("/pkg/code.bin", "/tmp/update", "", nullptr));
    Board("/dev/boot.bin", std::string(4096, 'o'));

    RemoveTree(stage);
    Stage("notes.txt", "package B");
    Pack("{}");
    EXPECT_EQ(2, Run(DefaultRequest()));
    EXPECT_EQ(0u, rec.CountPrefix("4:")) << rec.Dump();
    EXPECT_EQ(0u, rec.CountPrefix("0:zip dir :")) << rec.Dump();
    EXPECT_EQ(std::string(4096, 'o'), BoardBytes("/dev/boot.bin"));
    EXPECT_FALSE(BoardHas("/opt/sys_disk/app.elf"));
    EXPECT_FALSE(BoardHas("/tmp/update"));

    // A package kept in the work directory itself is not emptied away.
    Pack(R"({})");
    MakeDirs(Real("/tmp/update"));
    ASSERT_EQ(0, rename(Real("/pkg/code.bin").c_str(), Real("/tmp/update/code.bin").c_str()));
    _update_info_st inside = DefaultRequest();
    inside.zip_file = "/tmp/update/code.bin";
    EXPECT_EQ(2, Run(inside));
    EXPECT_EQ("0:unzip update file finish", rec.events.at(0)) << rec.Dump();
}

TEST_F(UpdateRunTest, CheckRefusalTouchesNothing)
{
    Stage("sys/uImage", kCheckText);
    Pack(R"({"sys": {"sections": {"uImage": {"version": "V1", "check_crc": "auto"}}}})");
    Board("/opt/sys_disk/uImage", "old");
    rec.start_answer = 0;
    EXPECT_EQ(2, Run(DefaultRequest()));
    EXPECT_EQ((std::vector<std::string>{"0:unzip update file finish", "update_start:/tmp/update"}), rec.events);
    EXPECT_EQ("old", BoardBytes("/opt/sys_disk/uImage"));
    EXPECT_FALSE(BoardHas("/tmp/update"));
}

// ---------------------------------------------------------------- pieces

TEST(UpdatePieces, ParseVersion)
{
    struct {
        const char* text;
        int32_t ok;
        uint32_t v[4];
    } cases[] = {
        {"V1.2.3T", 1, {1, 2, 3, 9}},
        {"1.2.3.4", 1, {1, 2, 3, 4}},
        {"0x10.0X1F", 1, {16, 31, 9, 9}},
        {"V1T", 1, {1, 9, 9, 9}},  // one part: its 'T' stays for the number parser
        {"V2.1T", 1, {2, 1, 9, 9}},
        {"4294967296.7", 1, {0xFFFFFFFFu, 7, 9, 9}},
        // Each component reads as the device's 32-bit strtoul reads it: a
        // negative text whose magnitude fits wraps modulo 2^32, a magnitude
        // that does not fit saturates, whatever its sign.
        {"V1.-5", 1, {1, 4294967291u, 9, 9}},
        {"1.-4294967295", 1, {1, 1, 9, 9}},
        {"-1", 1, {0xFFFFFFFFu, 9, 9, 9}},
        {"-4294967296.2", 1, {0xFFFFFFFFu, 2, 9, 9}},
        {"18446744073709551615.-18446744073709551615.-18446744073709551616", 1,
         {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 9}},
        {"V-1.2.-3.4294967297", 1, {0xFFFFFFFFu, 2, 4294967293u, 0xFFFFFFFFu}},
        {"1. -7.+5.-0", 1, {1, 4294967289u, 5, 0}},
        {"1.--5.- 5.-", 1, {1, 0, 0, 0}},
        {"0x-5.0x-FFFFFFFF.0x-100000000.-0x5", 1, {4294967291u, 1, 0xFFFFFFFFu, 0}},
        {"2.-4294967295T", 1, {2, 1, 9, 9}},
        {"7.-12abc", 1, {7, 4294967284u, 9, 9}},
        {"1.2.3.4.5", 0, {9, 9, 9, 9}},
        {"", 0, {9, 9, 9, 9}},
        {"...", 0, {9, 9, 9, 9}},
    };
    for (const auto& c : cases) {
        uint32_t v[4] = {9, 9, 9, 9};
        EXPECT_EQ(c.ok, Update::ParseVersion(c.text, v)) << c.text;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(c.v[i], v[i]) << c.text << " component " << i;
    }
}

class UpdateFilePieces : public UpdateEnv {};

TEST_F(UpdateFilePieces, InfoIniCheckAndFlashHeader)
{
    // CRC-8/I-432-1 of nothing is 0x55; of "123456789" it is 0xA1.
    struct {
        std::string bytes;
        int32_t ok;
    } cases[] = {
        {"", 0},
        {"\x55", 0},
        {std::string("x\x55"), 1},
        {std::string("123456789;\xA1"), 1},
        {std::string("123456789;\xA0"), 0},
    };
    for (const auto& c : cases) {
        Board("/f.ini", c.bytes);
        EXPECT_EQ(c.ok, Update::CheckInfoIniCrc("/f.ini")) << c.bytes.size();
    }
    EXPECT_EQ(0, Update::CheckInfoIniCrc("/missing.ini"));

    // No memory for the file's bytes: a failure with its cause, not a
    // check that did not pass.
    const std::string good("123456789;\xA1");
    Board("/f.ini", good);
    std::string cause;
    g_fail_size = good.size();
    int32_t result = -1;
    EXPECT_NO_THROW(result = Update::CheckInfoIniCrc("/f.ini", &cause));
    g_fail_size = 0;
    EXPECT_EQ(0, result);
    EXPECT_EQ(std::string("alloc space fail: ") + strerror(ENOMEM), cause);
    cause.clear();
    EXPECT_EQ(1, Update::CheckInfoIniCrc("/f.ini", &cause));
    EXPECT_EQ("", cause);

    std::string head(88, '\0');
    PutLe32(head, 80, 0xA1B2C3D4);
    PutLe32(head, 84, 0x01020304);
    Board("/boot.bin", head);
    uint32_t crc = 0, ver = 0;
    EXPECT_EQ(1, Update::ReadFlashHeader("/boot.bin", &crc, &ver));
    EXPECT_EQ(0xA1B2C3D4u, crc);
    EXPECT_EQ(0x01020304u, ver);
    Board("/short.bin", head.substr(0, 87));
    EXPECT_EQ(0, Update::ReadFlashHeader("/short.bin", &crc, &ver));
    EXPECT_EQ(0, Update::ReadFlashHeader("/missing.bin", &crc, &ver));
}

}  // namespace

namespace {

// Every file under the sandbox's board directories, by path.
std::map<std::string, std::string> BoardFiles(const std::string& root)
{
    std::map<std::string, std::string> files;
    std::vector<std::string> dirs = {"/opt", "/dev"};
    while (!dirs.empty()) {
        const std::string dir = dirs.back();
        dirs.pop_back();
        std::vector<std::string> names;
        if (DIR* d = opendir((root + dir).c_str())) {
            while (struct dirent64* e = readdir64(d)) {
                const std::string n = e->d_name;
                if (n != "." && n != "..")
                    names.push_back(n);
            }
            closedir(d);
        }
        for (const std::string& name : names) {
            const std::string rel = dir + "/" + name;
            struct stat64 st;
            if (lstat64((root + rel).c_str(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode))
                dirs.push_back(rel);
            else
                files[rel] = ReadReal(root + rel);
        }
    }
    return files;
}

// A small package (a board file, a file whose name ends in '.', a boot
// image) over a board with older versions, installed with one call of the
// file system failing. Whatever a run says, it never finishes, records or
// reboots into bytes it did not write: a record that claims the new
// version, or a boot header that claims the new image, stands beside the
// new bytes; a run that reboots (status 5) left every board file old or
// new. A clean rerun then ends equal to an uninterrupted install.
class FaultTableTest : public UpdateEnv {
protected:
    void SetUp() override
    {
        UpdateEnv::SetUp();
        if (HasFatalFailure())
            return;
        image = Pattern(0x90000 + 77, 21);
        PutLe32(image, 80, 4660);
        PutLe32(image, 84, 0x20240101);
        Stage("sys/uImage", kernel);
        Stage("sys/kernel.", dotted);
        Stage("qspi/boot.bin", image);
        crcs = Pack(R"({"sys": {"sections": {"uImage": {"version": "V1.1", "check_crc": "auto"},
                                             "kernel.": {"version": "V3", "check_crc": "auto"}}},
                        "qspi": {"sections": {"boot.bin": {"version": "V1", "check_crc": 4660}}}})");
        old_boot = Pattern(4096, 22);
        PutLe32(old_boot, 80, 1111);
    }

    void Reset()
    {
        RemoveTree(Real("/opt"));
        RemoveTree(Real("/dev"));
        RemoveTree(Real("/tmp/update"));
        MakeDirs(Real("/opt/app_disk"));
        Board("/opt/sys_disk/uImage", "old kernel");
        Board("/opt/sys_disk/uImage-info.ini", VersionFile("uImage", "V1.0", 77));
        Board("/dev/boot.bin", old_boot);
    }

    // The invariants of every outcome, faulted or not.
    void ExpectSound(int32_t status)
    {
        const std::string k = BoardBytes("/opt/sys_disk/uImage");
        const std::string b = BoardBytes("/dev/boot.bin");
        const std::string record = BoardBytes("/opt/sys_disk/uImage-info.ini");
        if (record.find("version=V1.1") != std::string::npos) {
            EXPECT_TRUE(k == kernel) << "the record claims bytes the file lacks";
        }
        if (BoardBytes("/opt/sys_disk/kernel-info.ini").find("version=V3") != std::string::npos) {
            EXPECT_EQ(dotted, BoardBytes("/opt/sys_disk/kernel."));
        }
        if (b.size() >= 84 && b.compare(80, 4, image, 80, 4) == 0) {
            EXPECT_TRUE(b == image) << "the boot header claims an image that is not whole";
        }
        if (status == 5) {
            EXPECT_TRUE(k == kernel || k == "old kernel") << "rebooting into a damaged uImage";
            EXPECT_TRUE(b == image || b == old_boot) << "rebooting into a damaged boot image";
        }
        for (const std::string& e : rec.events) {
            if (e.compare(0, 22, "0:\t\tfinish update file") == 0) {
                const std::string name = e.substr(23);
                const std::string bytes = BoardBytes((name == "boot.bin" ? "/dev/" : "/opt/sys_disk/") + name);
                EXPECT_TRUE(bytes == (name == "boot.bin" ? image : name == "uImage" ? kernel : dotted))
                    << "finished but not whole: " << name;
            }
        }
    }

    const std::string kernel = Pattern(0x30000 + 5, 20);
    const std::string dotted = "a file whose name ends in a dot";
    std::string image;
    std::string old_boot;
    std::map<std::string, int> crcs;
};

TEST_F(FaultTableTest, OneFailingCallNeverFinishesRecordsOrRebootsIntoLostData)
{
    ASSERT_EQ(0, kivo_mount("/system", &FaultyFs::Ops(), (void*)root.c_str(), nullptr));
    // The uninterrupted install.
    Reset();
    FaultyFs::Get().Plan(FaultPlan());
    ASSERT_EQ(5, Run(DefaultRequest())) << rec.Dump();
    ExpectSound(5);
    const std::map<std::string, std::string> reference = BoardFiles(root);
    ASSERT_EQ(dotted, reference.at("/opt/sys_disk/kernel.")) << rec.Dump();
    ASSERT_TRUE(reference.at("/dev/boot.bin") == image);

    const size_t header_half = 0x10000 + (image.size() - 256) + 128;
    const struct {
        const char* what;
        FaultPlan fault;
        int32_t status;
        const char* line;
    } rows[] = {
        // The CRC check takes the size first, the copy second.
        {"size of the packaged uImage", {"/tmp/update/sys/uImage", false, 1, FaultPlan::kFstat}, 5,
         "2:\t\tread file fail /tmp/update/sys/uImage: cannot read its size: Input/output error"},
        {"size of the packaged boot image", {"/tmp/update/qspi/boot.bin", false, 0, FaultPlan::kFstat}, 5,
         "2:\t\tread file fail /tmp/update/qspi/boot.bin: cannot read its size: Input/output error"},
        {"reading the package directory", {"/tmp/update/sys", false, 0, FaultPlan::kReaddir}, 2,
         "2:cannot read directory /tmp/update/sys: Input/output error"},
        {"reading the work directory", {"/tmp/update", false, 2, FaultPlan::kReaddir}, 2,
         "2:cannot read directory /tmp/update: Input/output error"},
        {"opening the package directory", {"/tmp/update/sys", false, 0, FaultPlan::kOpendir}, 2,
         "2:cannot open directory /tmp/update/sys: Input/output error"},
        {"status of the packaged uImage", {"/tmp/update/sys/uImage", false, 0, FaultPlan::kStat}, 2,
         "2:cannot read the status of /tmp/update/sys/uImage: Input/output error"},
        {"status of the installed uImage", {"/opt/sys_disk/uImage", false, 0, FaultPlan::kStat}, 2,
         "2:\t\tcannot read the status of /opt/sys_disk/uImage: Input/output error"},
        // The packaged file's CRC check reads it before anything is
        // truncated: what it cannot read is said with its cause, not taken
        // for a CRC that does not match, and the file stays as it was.
        {"opening the packaged uImage for its CRC", {"/tmp/update/sys/uImage", false, 1, FaultPlan::kOpenCall}, 5,
         "2:\t\tread file fail /tmp/update/sys/uImage: cannot open it: Too many open files"},
        {"size of the packaged uImage for its CRC", {"/tmp/update/sys/uImage", false, 0, FaultPlan::kFstat}, 5,
         "2:\t\tread file fail /tmp/update/sys/uImage: cannot read its size: Input/output error"},
        {"reading the packaged uImage for its CRC", {"/tmp/update/sys/uImage", false, 0}, 5,
         "2:\t\tread file fail /tmp/update/sys/uImage: cannot read it: Input/output error"},
        // The unpacking opens it first, the check second.
        {"opening info.ini", {"/tmp/update/sys/info.ini", false, 1, FaultPlan::kOpenCall}, 2,
         "2:info file of zip dir in zip read fail:/tmp/update/sys/info.ini: cannot open it: Too many open files"},
        // The header check seeks the installed image first, the copy next.
        {"seek of the boot image's target", {"/dev/boot.bin", false, 1, FaultPlan::kSeek}, 2,
         "2:\t\tseek file fail /dev/boot.bin: Input/output error"},
        {"seek of the packaged boot image", {"/tmp/update/qspi/boot.bin", false, 0, FaultPlan::kSeek}, 2,
         "2:\t\tseek file fail /tmp/update/qspi/boot.bin: Input/output error"},
        {"seek back in the packaged boot image", {"/tmp/update/qspi/boot.bin", false, 1, FaultPlan::kSeek}, 2,
         "2:\t\tseek file fail /tmp/update/qspi/boot.bin: Input/output error"},
        {"seek back to the boot header", {"/dev/boot.bin", false, 2, FaultPlan::kSeek}, 2,
         "2:\t\tseek file fail /dev/boot.bin: Input/output error"},
        {"boot header written in part", {"/dev/boot.bin", true, static_cast<int64_t>(header_half)}, 2,
         "2:\t\twrite file fail /dev/boot.bin: No space left on device"},
        {"full disk at the uImage copy", {"/opt/sys_disk/uImage", true, 0}, 2,
         "2:\t\twrite file fail /opt/sys_disk/uImage: No space left on device"},
        {"flush of the uImage record", {"/opt/sys_disk/uImage-info.ini", true, 0, FaultPlan::kFsync}, 5,
         "2:\t\twrite file fail /opt/sys_disk/uImage-info.ini: No space left on device"},
        {"removal of the old uImage record", {"/opt/sys_disk/uImage-info.ini", false, 0, FaultPlan::kUnlink}, 5,
         "2:\t\tremove file fail /opt/sys_disk/uImage-info.ini: Read-only file system"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Reset();
        FaultyFs::Get().Plan(r.fault);
        const int32_t status = Run(DefaultRequest());
        EXPECT_EQ(1, FaultyFs::Get().Failed()) << "the fault did not happen";
        FaultyFs::Get().Plan(FaultPlan());
        EXPECT_EQ(r.status, status) << rec.Dump();
        EXPECT_TRUE(rec.Has(r.line)) << r.line << "\n" << rec.Dump();
        EXPECT_EQ("update_end:" + std::to_string(r.status), rec.events.back());
        if (r.status != 5) {
            EXPECT_EQ(1u, rec.CountPrefix("2:update incomplete, no reboot: ")) << rec.Dump();
        }
        ExpectSound(status);

        EXPECT_EQ(5, Run(DefaultRequest())) << rec.Dump();
        EXPECT_EQ(0u, rec.CountPrefix("2:")) << rec.Dump();
        EXPECT_TRUE(BoardFiles(root) == reference) << rec.Dump();
    }
}

// Each record is written only once what it vouches for is on the medium:
// the file's bytes flushed after their last write and, for a file this run
// created, its directory flushed after the creation.
TEST_F(FaultTableTest, RecordsFollowTheFlushesOfWhatTheyVouchFor)
{
    ASSERT_EQ(0, kivo_mount("/system", &FaultyFs::Ops(), (void*)root.c_str(), nullptr));
    Reset();
    unlink(Real("/opt/sys_disk/uImage").c_str());
    FaultyFs::Get().Plan(FaultPlan());
    FaultyFs::Get().Record(true);
    ASSERT_EQ(5, Run(DefaultRequest())) << rec.Dump();
    const std::vector<std::string> log = FaultyFs::Get().Log();
    FaultyFs::Get().Record(false);

    int records = 0;
    for (const char* name : {"uImage", "kernel."}) {
        SCOPED_TRACE(name);
        const std::string file = std::string("/opt/sys_disk/") + name;
        const std::string record = std::string("/opt/sys_disk/") + (name[0] == 'u' ? "uImage" : "kernel") + "-info.ini";
        size_t last_write = log.size(), created = log.size(), written = log.size();
        for (size_t i = 0; i < log.size(); ++i) {
            if (log[i] == "write " + file)
                last_write = i;
            if (log[i] == "create " + file && created == log.size())
                created = i;
            if (log[i] == "write " + record)
                written = i;
        }
        ASSERT_LT(last_write, log.size());
        ASSERT_LT(created, log.size());
        ASSERT_LT(written, log.size()) << "no record written";
        ASSERT_LT(last_write, written);
        ++records;
        bool file_flushed = false, dir_flushed = false;
        for (size_t i = last_write + 1; i < written; ++i)
            file_flushed = file_flushed || log[i] == "fsync " + file;
        for (size_t i = created + 1; i < written; ++i)
            dir_flushed = dir_flushed || log[i] == "fsync /opt/sys_disk";
        EXPECT_TRUE(file_flushed) << "bytes not flushed before the record";
        EXPECT_TRUE(dir_flushed) << "the new file's directory entry not flushed before the record";
    }
    EXPECT_EQ(2, records);
}

}  // namespace
