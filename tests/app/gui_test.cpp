// Gui's parts that stand on their own: version texts and elements, the
// reports on standard output and in the status mailbox, the unpacking of a
// finished ".zip", and the check script. The whole flow (command line, hook,
// flag files, end of update) is run by the updater tests in main_test.cpp.

#include "app/gui.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/sandbox.h"
#include "app/update_info.h"
#include "kivo/base/kivo_vfs.h"
#include "kivo/base/platform/linux/__platform_unistd.h"
#include "kivo/filesystem/fs_utils.h"
#include "kivo/service/elem.h"
#include "kivo/service/service.h"
#include "kivo/utils/zip.h"
#include "tests/app/updater_run.h"
#include "tests/kivo/filesystem/flush_log.h"

namespace {

// A temporary directory as the root of every framework path.
class GuiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        _root = e2e::TempDir("gui");
        ASSERT_FALSE(_root.empty());
        ASSERT_EQ(kivo_mount("/system", &platform_file_ops, (void*)_root.c_str(), nullptr), 0);
        // The board directory of the version records, as on the device.
        ASSERT_TRUE(kivo::filesystem::MakeDirs("/opt/sys_disk"));
        memset(_page, 0xEE, sizeof _page);
        g_mailbox_vaddr = reinterpret_cast<hw_vaddr_t>(_page);
        // Path values live as long as the process: none that an earlier run
        // of the cases (--gtest_repeat) wrote may be seen as this run's.
        kivo::Var gone;
        for (const char* path : {"@/system/version/fpga", "@/system/version/uboot", "@/system/version/fsbl",
                                 "@/system/version/rootfs", "/update/PreNeedReboot"})
            kivo::ElemRead(path, gone, true);
    }

    void TearDown() override
    {
        g_mailbox_vaddr = 0;
        kivo_umount("/system");
        e2e::RemoveTree(_root);
    }

    // Writes a file at a framework path, making its directory.
    void Put(const std::string& path, const std::string& data)
    {
        ASSERT_TRUE(kivo::filesystem::MakeDirs(kivo::filesystem::GetDirOfPath(path, true)));
        std::ofstream out(_root + path, std::ios::binary);
        out << data;
    }

    // One report through the handler; returns what it printed.
    std::string Report(Gui& gui, int32_t kind, const kivo::Var& value)
    {
        _update_output_info info;
        info.kind = kind;
        info.value = value;
        kivo::Message msg(kivo::Message::Value(kivo::Var(kivo::MakeHeapValue(info))));
        testing::internal::CaptureStdout();
        gui.OnUpdateInfo(msg);
        return testing::internal::GetCapturedStdout();
    }

    uint32_t Word() const
    {
        uint32_t w;
        memcpy(&w, _page, 4);
        return w;
    }

    std::string Text() const { return std::string(reinterpret_cast<const char*>(_page) + 4); }

    // "/opt/app_disk/res.zip", an archive of one entry "a.txt" ("alpha").
    void PutResZip()
    {
        Put("/src/a.txt", "alpha");
        ASSERT_TRUE(kivo::filesystem::MakeDirs("/opt/app_disk"));
        kivo::zip::ZipWriter writer;
        ASSERT_TRUE(writer.Open("/opt/app_disk/res.zip", kivo::zip::ZipWriter::kCreate));
        ASSERT_TRUE(writer.AddEntry("/src/a.txt", "a.txt", "", 6));
        writer.Close();
    }

    static std::string Elem(const char* path)
    {
        kivo::Var v;
        return kivo::ElemRead(path, v) ? v.ToString() : std::string("<none>");
    }

    std::string _root;
    alignas(8) uint8_t _page[4096];
};

TEST_F(GuiTest, SmallFilesAndWords)
{
    Put("/dev/hwversion.bin", std::string("HW-2.1\0junk", 11));
    Put("/dev/serial.bin", std::string(100, 'S'));
    Put("/dev/short.bin", "abc");
    EXPECT_EQ(Gui::ReadSmallFile("/dev/hwversion.bin"), "HW-2.1");
    EXPECT_EQ(Gui::ReadSmallFile("/dev/serial.bin"), std::string(64, 'S'));
    EXPECT_EQ(Gui::ReadSmallFile("/dev/missing.bin"), "");

    Put("/dev/words.bin", std::string(84, '\0') + e2e::Le32(0x01020304) + "xy");
    EXPECT_EQ(Gui::ReadWord("/dev/words.bin", 84), 0x01020304u);
    EXPECT_EQ(Gui::ReadWord("/dev/words.bin", 87), 0u);  // 3 bytes left
    EXPECT_EQ(Gui::ReadWord("/dev/short.bin", 0), 0u);
    EXPECT_EQ(Gui::ReadWord("/dev/missing.bin", 0), 0u);
}

TEST_F(GuiTest, ShownVersionOfAnInstalledFile)
{
    struct Case {
        const char* ini;  // contents of uImage-info.ini, null: no file
        bool found;
        const char* shown;
    };
    const Case cases[] = {
        {"[uImage]\r\nversion = V4.19   \r\ncheck_crc=5\r\n", true, "4.19"},
        {"[uImage]\r\nversion=2.1\r\n", true, "2.1"},
        {"[uImage]\r\nversion=1.V\r\n", true, ".V"},
        {"[uImage]\r\nversion=\r\n", false, ""},
        {"[other]\r\nversion=V9\r\n", false, ""},
        {nullptr, false, ""},
    };
    Put("/opt/sys_disk/uImage", "kernel");
    for (const Case& c : cases) {
        kivo::filesystem::RemoveFile("/opt/sys_disk/uImage-info.ini");
        if (c.ini)
            Put("/opt/sys_disk/uImage-info.ini", c.ini);
        std::string out = "unchanged";
        EXPECT_EQ(Gui::ReadFileVersion("/opt/sys_disk/uImage", out), c.found) << (c.ini ? c.ini : "none");
        EXPECT_EQ(out, c.found ? c.shown : "unchanged") << (c.ini ? c.ini : "none");
    }

    // The boot image carries its version itself, shown in hexadecimal; a
    // missing image still gives a text.
    std::string out;
    EXPECT_TRUE(Gui::ReadFileVersion("/dev/boot.bin", out));
    EXPECT_EQ(out, "0");
    Put("/dev/boot.bin", std::string(84, '\0') + e2e::Le32(0x1A2B));
    EXPECT_TRUE(Gui::ReadFileVersion("/dev/boot.bin", out));
    EXPECT_EQ(out, "1a2b");
}

TEST_F(GuiTest, VersionElements)
{
    Put("/dev/hwversion.bin", "HW1");
    Put("/dev/serial.bin", "SN42");
    Put("/opt/sys_disk/uImage-info.ini", "[uImage]\r\nversion = V4.19  \r\n");
    Put("/opt/app_disk/app/app.elf-info.ini", "[wrong]\r\n");
    Put("/opt/app_disk/app/app-info.ini", "[app.elf]\r\nversion=V2.0.1\r\n");

    // Without a boot image: no fpga, uboot or fsbl; boot is "0".
    Gui::SetVersions();
    EXPECT_EQ(Elem("@/system/version/hw"), "HW1");
    EXPECT_EQ(Elem("@/system/device/id"), "SN42");
    EXPECT_EQ(Elem("@/system/version/boot"), "0");
    EXPECT_EQ(Elem("@/system/version/linux"), "4.19");
    EXPECT_EQ(Elem("@/system/version/app"), "2.0.1");
    EXPECT_EQ(Elem("@/system/version/fpga"), "<none>");
    EXPECT_EQ(Elem("@/system/version/uboot"), "<none>");
    EXPECT_EQ(Elem("@/system/version/fsbl"), "<none>");
    EXPECT_EQ(Elem("@/system/version/rootfs"), "<none>");

    std::string boot(256, '\0');
    boot.replace(84, 4, e2e::Le32(0x20));
    boot.replace(92, 4, e2e::Le32(7));
    boot.replace(100, 4, e2e::Le32(12));
    boot.replace(108, 4, e2e::Le32(2019));
    Put("/dev/boot.bin", boot);
    Gui::SetVersions();
    EXPECT_EQ(Elem("@/system/version/boot"), "20");
    EXPECT_EQ(Elem("@/system/version/fsbl"), "7");
    EXPECT_EQ(Elem("@/system/version/fpga"), "12");
    EXPECT_EQ(Elem("@/system/version/uboot"), "2019");
}

TEST_F(GuiTest, ProgressIsShownInStepsOfTenAndAlwaysAtTheEnds)
{
    Gui gui;
    std::string out = Report(gui, 4, kivo::Var("uImage"));
    EXPECT_EQ(out, "[update]\t\tstart update uImage\n");
    EXPECT_EQ(Word(), kMailboxFile);
    EXPECT_EQ(Text(), "[update]\tuImage");

    struct Step {
        int64_t percent;  // beyond 32 bits: clamped, so dropped
        bool shown;
    };
    const Step steps[] = {{0, true},  {5, false},   {9, false},   {10, true},         {11, false},
                          {25, true}, {95, true},   {100, true},  {101, false},       {-3, false},
                          {100, true}, {1LL << 32, false}, {-(1LL << 32), false}};
    for (const Step& s : steps) {
        memset(_page, 0xEE, sizeof _page);
        const bool fits = s.percent == static_cast<int32_t>(s.percent);
        out = Report(gui, 6, fits ? kivo::Var(static_cast<int32_t>(s.percent))
                                  : kivo::Var(static_cast<long long>(s.percent)));
        if (s.shown) {
            EXPECT_EQ(out, "[progress]\t\t" + std::to_string(s.percent) + "%\n");
            EXPECT_EQ(Word(), kMailboxProgress);
            EXPECT_EQ(Text(), "     [progress]\t" + std::to_string(s.percent) + "%");
            // The 128-byte block is written whole, zero after the text.
            for (size_t i = 4 + Text().size(); i < 4 + 128; ++i)
                ASSERT_EQ(_page[i], 0) << i;
            EXPECT_EQ(_page[4 + 128], 0xEE);
            EXPECT_EQ(gui.LastProgress(), s.percent);
        } else {
            EXPECT_EQ(out, "") << s.percent;
            EXPECT_EQ(Word(), 0xEEEEEEEEu) << s.percent;
        }
    }

    // A new file starts counting from 0 again.
    Report(gui, 4, kivo::Var("boot.bin"));
    EXPECT_EQ(gui.LastProgress(), 0);
    EXPECT_EQ(Report(gui, 6, kivo::Var(10)), "[progress]\t\t10%\n");
}

TEST_F(GuiTest, TextsStartEndAndErrors)
{
    Gui gui;
    EXPECT_EQ(Report(gui, 0, kivo::Var("\thello")), "[info]\thello\n");
    EXPECT_EQ(Report(gui, 1, kivo::Var("careful")), "[warn]careful\n");
    EXPECT_EQ(Word(), 0xEEEEEEEEu);  // neither touches the mailbox

    EXPECT_EQ(Report(gui, 3, kivo::Var(0)), "[start_end]****** start ******\n");
    EXPECT_EQ(Word(), kMailboxStart);
    EXPECT_EQ(Elem("/led/sys/on"), "0");
    EXPECT_EQ(Report(gui, 3, kivo::Var(1)), "[start_end]****** end ******\n");
    EXPECT_EQ(Word(), kMailboxEnd);
    EXPECT_EQ(Elem("/led/sys/off"), "0");
    // Only a value of 0 means the start, also when it does not fit 32 bits.
    memset(_page, 0xEE, sizeof _page);
    EXPECT_EQ(Report(gui, 3, kivo::Var(1LL << 32)), "[start_end]****** end ******\n");
    EXPECT_EQ(Word(), kMailboxEnd);

    std::string long_error(400, 'e');
    EXPECT_EQ(Report(gui, 2, kivo::Var(long_error)), "[error]" + long_error + "\n");
    EXPECT_EQ(Word(), kMailboxError);
    // At most 256 bytes of text area, its zero included.
    EXPECT_EQ(Text(), std::string(255, 'e'));

    memset(_page, 0xEE, sizeof _page);
    EXPECT_EQ(Report(gui, 7, kivo::Var("x")), "");
    EXPECT_EQ(Report(gui, -1, kivo::Var("x")), "");
    EXPECT_EQ(Word(), 0xEEEEEEEEu);
}

TEST_F(GuiTest, WithoutAMailboxReportsStillPrint)
{
    g_mailbox_vaddr = 0;
    Gui gui;
    EXPECT_EQ(Report(gui, 4, kivo::Var("a.bin")), "[update]\t\tstart update a.bin\n");
    EXPECT_EQ(Report(gui, 6, kivo::Var(50)), "[progress]\t\t50%\n");
    EXPECT_EQ(Report(gui, 3, kivo::Var(0)), "[start_end]****** start ******\n");
    EXPECT_EQ(Word(), 0xEEEEEEEEu);
}

TEST_F(GuiTest, FinishedZipIsUnpackedBesideItself)
{
    // A package file that is itself an archive.
    ASSERT_NO_FATAL_FAILURE(PutResZip());
    Put("/opt/app_disk/res/stale.txt", "old");
    Gui gui;
    EXPECT_EQ(Report(gui, 5, kivo::Var("/opt/app_disk/res.zip")),
              "[info]\t\tdirname: /opt/app_disk/res\n"
              "[info]\t\tfinish unzip /opt/app_disk/res.zip\n");
    EXPECT_TRUE(kivo::filesystem::IsFile("/opt/app_disk/res/a.txt"));
    EXPECT_FALSE(kivo::filesystem::Exists("/opt/app_disk/res/stale.txt"));

    // An archive that does not unpack gives its cause and is not finished.
    Put("/opt/app_disk/bad.zip", "not an archive");
    const std::string bad = Report(gui, 5, kivo::Var("/opt/app_disk/bad.zip"));
    EXPECT_EQ(bad.compare(0, 56, "[info]\t\tdirname: /opt/app_disk/bad\n[error]\t\tunzip fail: "), 0) << bad;
    EXPECT_EQ(bad.find("finish unzip"), std::string::npos) << bad;

    // Other extensions, another case, and archives whose directory would be
    // the board directory itself (".zip", "..zip") or its parent ("...zip")
    // are left alone: nothing removed, nothing unpacked.
    for (const char* name : {".zip", "..zip", "...zip"})
        ASSERT_TRUE(kivo::filesystem::CopyFile("/opt/app_disk/res.zip", std::string("/opt/app_disk/") + name, false));
    Put("/opt/app_disk/keep.txt", "keep");
    for (const char* path : {"/opt/app_disk/res.ZIP", "/opt/app_disk/res.bin", "/opt/app_disk/.zip",
                             "/opt/app_disk/..zip", "/opt/app_disk/...zip"})
        EXPECT_EQ(Report(gui, 5, kivo::Var(path)), "") << path;
    EXPECT_TRUE(kivo::filesystem::IsFile("/opt/app_disk/keep.txt"));
    EXPECT_TRUE(kivo::filesystem::IsFile("/opt/app_disk/res/a.txt"));
    EXPECT_FALSE(kivo::filesystem::Exists("/opt/app_disk/a.txt"));
    EXPECT_FALSE(kivo::filesystem::Exists("/opt/a.txt"));
}

// A finished ".zip" that cannot be unpacked names its cause, and is not
// said to be finished.
TEST_F(GuiTest, FinishedZipThatFailsSaysWhy)
{
    ASSERT_TRUE(kivo::filesystem::MakeDirs("/opt/app_disk"));
    {
        kivo::zip::ZipWriter writer;
        ASSERT_TRUE(writer.Open("/opt/app_disk/empty.zip", kivo::zip::ZipWriter::kCreate));
    }
    Put("/opt/app_disk/junk.zip", "not an archive");
    Gui gui;
    EXPECT_EQ(Report(gui, 5, kivo::Var("/opt/app_disk/empty.zip")),
              "[info]\t\tdirname: /opt/app_disk/empty\n"
              "[error]\t\tunzip fail: the archive holds no entries\n");
    EXPECT_EQ(Report(gui, 5, kivo::Var("/opt/app_disk/junk.zip")),
              "[info]\t\tdirname: /opt/app_disk/junk\n"
              "[error]\t\tunzip fail: /opt/app_disk/junk.zip is not a zip archive\n");
}

// Writes a file whose name may hold ':' or '\\' into an existing directory.
void PutRaw(const std::string& real, const std::string& data, mode_t mode = 0644)
{
    std::ofstream(real, std::ios::binary | std::ios::trunc) << data;
    ASSERT_EQ(chmod(real.c_str(), mode), 0) << real;
}

// The entries of a directory with their contents; directories as name + "/".
std::map<std::string, std::string> FilesIn(const std::string& real)
{
    std::map<std::string, std::string> files;
    DIR* d = opendir(real.c_str());
    if (d == nullptr)
        return files;
    while (struct dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (lstat((real + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            files[name + "/"] = "";
        else
            files[name] = e2e::ReadFile(real + "/" + name);
    }
    closedir(d);
    return files;
}

const char* const kMark = "/opt/sys_disk/.app_disk_copy.";

// The end of an update copies the package's top-level files to
// "/opt/app_disk/" under their own names, each keeping the mode of the file
// it replaces; with nothing rewritten (2) only while the mark of an
// unfinished copy is there. The mark goes once every file has landed.
TEST_F(GuiTest, UpdateEndCopiesTopLevelFilesWhileOwed)
{
    const struct {
        const char* name;
        int32_t status;
        bool marked;   // the mark is there when "update_end" arrives
        bool blocked;  // a directory stands where one file must land
        bool copies;
        bool mark_after;
    } cases[] = {
        {"Rewritten", 5, true, false, true, false},
        {"RewrittenWithoutAMark", 5, false, false, true, false},
        {"StartReported", 0, true, false, true, false},
        {"NothingRewritten", 2, false, false, false, false},
        {"NothingRewrittenAfterACut", 2, true, false, true, false},
        {"Unpacking failed", 3, true, false, false, true},
        {"CopyFails", 5, true, true, true, true},
    };
    const std::string work = _root + "/tmp/update";
    const std::string app = _root + "/opt/app_disk";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::RemoveTree(work);
        e2e::RemoveTree(app);
        e2e::MakeDirs(work + "/sys");
        e2e::MakeDirs(app);
        PutRaw(work + "/readme.txt", "package notes");
        PutRaw(work + "/notes:readme.txt", "colon notes");
        PutRaw(work + "/a\\b.txt", "backslash");
        PutRaw(work + "/run.sh", "new script");
        PutRaw(work + "/sys/uImage", "kernel");
        PutRaw(app + "/readme.txt", "edited on the device");
        PutRaw(app + "/run.sh", "old script", 0755);
        if (c.blocked)
            e2e::MakeDirs(app + "/a\\b.txt");
        if (c.marked)
            PutRaw(_root + kMark, "");
        else
            unlink((_root + kMark).c_str());
        const std::map<std::string, std::string> before = FilesIn(app);

        Gui gui;
        kivo::Message msg(kivo::Message::Value(kivo::Var(c.status)));
        testing::internal::CaptureStdout();
        gui.OnUpdateEnd(msg);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find("[error]") != std::string::npos, c.blocked) << out;

        std::map<std::string, std::string> expected = before;
        if (c.copies) {
            expected = {{"readme.txt", "package notes"}, {"notes:readme.txt", "colon notes"},
                        {"a\\b.txt", "backslash"}, {"run.sh", "new script"}};
            if (c.blocked) {
                expected.erase("a\\b.txt");
                expected["a\\b.txt/"] = "";
            }
            struct stat st;
            ASSERT_EQ(stat((app + "/run.sh").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0755u);
        }
        EXPECT_EQ(FilesIn(app), expected);
        EXPECT_EQ(kivo::filesystem::IsFile(kMark), c.mark_after);
    }

    // The start of rewriting leaves the mark, empty, before anything else.
    unlink((_root + kMark).c_str());
    Gui gui;
    g_mailbox_vaddr = 0;
    EXPECT_EQ(Report(gui, 3, kivo::Var(0)), "[start_end]****** start ******\n");
    EXPECT_TRUE(kivo::filesystem::IsFile(kMark));
    EXPECT_EQ(e2e::ReadFile(_root + kMark), "");
    EXPECT_EQ(Report(gui, 3, kivo::Var(1)), "[start_end]****** end ******\n");
    EXPECT_TRUE(kivo::filesystem::IsFile(kMark));
}

// A check script that sends to Gui's own routes while the check stage runs
// is refused there: the stage does not run inside itself, and nothing is
// copied before the check has said yes. Gui serves its routes in a service
// of its own; the stage runs on the test thread, as the script's sends wait.
TEST_F(GuiTest, RequestsDuringTheCheckStageAreRefused)
{
    const kivo::Service::ThreadParam param = {0, 0, "gui_test", 1};
    kivo::Service svc("SVC_GUI_TEST", 100, param);
    Gui* gui = nullptr;
    ASSERT_TRUE(kivo::Service::SendFunction(&svc, [&gui](kivo::Message&) {
        gui = new Gui;
        gui->SetName("Gui");
        gui->Connect("update_start", kivo::MsgRouter::Handler(&Gui::OnUpdateStart, gui));
        gui->Connect("update_end", kivo::MsgRouter::Handler(&Gui::OnUpdateEnd, gui));
    }, kivo::Message::Value()));
    ASSERT_NE(gui, nullptr);
    ASSERT_TRUE(kivo::filesystem::MakeDirs("/opt/app_disk"));
    Put("/tmp/update/readme.txt", "notes");
    Put("/tmp/update/check.lua",
        "function Check()\n"
        "  print('sends', router_send('Gui::update_start', '/tmp/update'), router_send('Gui::update_end', 5))\n"
        "  return true\n"
        "end\n");

    kivo::Message msg(kivo::Message::Value(kivo::Var("/tmp/update")));
    testing::internal::CaptureStdout();
    gui->OnUpdateStart(msg);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[warn]update_start refused: the check stage is running\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[warn]update_end refused: the check stage is running\n"), std::string::npos) << out;
    size_t verdicts = 0;
    for (size_t at = out.find(">> lua_check : "); at != std::string::npos; at = out.find(">> lua_check : ", at + 1))
        ++verdicts;
    EXPECT_EQ(verdicts, 1u) << out;
    EXPECT_NE(out.find(">> lua_check : 1\n"), std::string::npos) << out;
    EXPECT_FALSE(kivo::filesystem::Exists("/opt/app_disk/readme.txt"));

    // Once the stage is over, the end is served again.
    testing::internal::CaptureStdout();
    EXPECT_TRUE(kivo::ElemSend("Gui::update_end", kivo::Var(5)));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(e2e::ReadFile(_root + "/opt/app_disk/readme.txt"), "notes");
    kivo::Service::SendFunction(&svc, [gui](kivo::Message&) { delete gui; }, kivo::Message::Value());
    svc.Stop();
}

// The hook gets the power board's version text as one argument after the
// work directory, however it reads: a text the program does not control
// runs no command of its own and splits into no further arguments. An empty
// text adds no argument, and a plain one is logged as it reads.
TEST_F(GuiTest, HookTakesThePowerBoardVersionAsOneArgument)
{
    ASSERT_EQ(SandboxInit(_root.c_str()), kSandboxActive);
    // Leaves the sandbox again (a root that is no directory is refused).
    struct Leave {
        ~Leave() { SandboxInit((root + "/none").c_str()); }
        std::string root;
    } leave{_root};
    const char* const kHw = "@/system/version/powerboard/hw";
    const std::string injected = _root + "/injected";
    const std::string head = "sh /tmp/update/sys_cmd.sh /tmp/update";
    // The hook leaves its argument count and its second argument (the
    // first is the work directory).
    Put("/tmp/update/sys_cmd.sh", "printf '%s|%s' \"$#\" \"$2\" > \"$1/args.txt\"\n");
    const struct {
        const char* what;
        const char* hw;  // null: the element was never written
        std::string logged;
        std::string args;
    } cases[] = {
        {"no element", nullptr, head + " ", "1|"},
        {"empty", "", head + " ", "1|"},
        {"plain", "V3.1_a-b,c:d+e=f@g%h/i", head + " V3.1_a-b,c:d+e=f@g%h/i", "2|V3.1_a-b,c:d+e=f@g%h/i"},
        {"command after ;", "1.0; touch /x", head + " '1.0; touch /x'", "2|1.0; touch /x"},
        {"command substitution", "$(touch /x)", head + " '$(touch /x)'", "2|$(touch /x)"},
        {"backquotes", "`touch /x`", head + " '`touch /x`'", "2|`touch /x`"},
        {"line break", "1.0\ntouch /x", head + " '1.0 touch /x'", "2|1.0\ntouch /x"},
        {"blanks", "A 2  B", head + " 'A 2  B'", "2|A 2  B"},
        {"quote", "it's", head + " 'it'\\''s'", "2|it's"},
        {"glob", "*", head + " '*'", "2|*"},
    };
    // "/x" stands for the file that an injected command would make; in
    // the logged line it is inside the quotes, its own quotes escaped.
    std::string quoted_injected;
    for (char ch : injected)
        quoted_injected += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    auto place = [](std::string& text, const std::string& to) {
        for (size_t at = text.find("/x"); at != std::string::npos; at = text.find("/x", at + to.size()))
            text.replace(at, 2, to);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kivo::Var gone;
        kivo::ElemRead(kHw, gone, true);
        std::string hw = c.hw != nullptr ? c.hw : "";
        std::string logged = c.logged;
        std::string args = c.args;
        place(hw, injected);
        place(logged, quoted_injected);
        place(args, injected);
        if (c.hw != nullptr)
            kivo::ElemWrite(kHw, kivo::Var(hw), 0, false);
        unlink((_root + "/commands.log").c_str());
        unlink((_root + "/tmp/update/args.txt").c_str());
        kivo::Message msg(kivo::Message::Value(kivo::Var("/tmp/update")));
        testing::internal::CaptureStdout();
        Gui gui;
        gui.OnUpdateStart(msg);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), ">> lua_check : 1\n");
        EXPECT_EQ(e2e::ReadFile(_root + "/commands.log"), logged + "\n");
        EXPECT_EQ(e2e::ReadFile(_root + "/tmp/update/args.txt"), args);
        EXPECT_NE(access(injected.c_str(), F_OK), 0) << "the version text ran a command";
        unlink(injected.c_str());
    }
    kivo::Var gone;
    kivo::ElemRead(kHw, gone, true);
}

// The folder of a finished ".zip" is durable before the answer that lets
// the sender record the archive: every file flushed after its last write,
// every directory that gained an entry flushed after it. A name holding
// '\' is one file of that name.
TEST_F(GuiTest, FinishedZipFolderIsFlushedBeforeTheAnswer)
{
    Put("/src/a.txt", "alpha");
    Put("/src/b.txt", "beta");
    ASSERT_TRUE(kivo::filesystem::MakeDirs("/opt/app_disk"));
    {
        kivo::zip::ZipWriter writer;
        ASSERT_TRUE(writer.Open("/opt/app_disk/res.zip", kivo::zip::ZipWriter::kCreate));
        ASSERT_TRUE(writer.AddEntry("/src/a.txt", "a.txt", "", 6));
        ASSERT_TRUE(writer.AddEntry("/src/b.txt", "sub/deep/b.txt", "", 6));
        ASSERT_TRUE(writer.AddEntry("/src/b.txt", "qspi\\boot.bin", "", 6));
        writer.Close();
    }
    Put("/opt/app_disk/res/stale.txt", "old");
    FlushLog& log = FlushLog::Get();
    log.Reset();
    ASSERT_EQ(kivo_mount("/system", &FlushLog::Ops(), (void*)_root.c_str(), nullptr), 0);
    Gui gui;
    const std::string out = Report(gui, 5, kivo::Var("/opt/app_disk/res.zip"));
    kivo_umount("/system");
    ASSERT_EQ(kivo_mount("/system", &platform_file_ops, (void*)_root.c_str(), nullptr), 0);
    EXPECT_NE(out.find("finish unzip /opt/app_disk/res.zip"), std::string::npos) << out;
    std::ifstream in(_root + "/opt/app_disk/res/qspi\\boot.bin", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "beta");
    EXPECT_FALSE(kivo::filesystem::Exists("/opt/app_disk/res/qspi"));
    for (const char* file : {"/opt/app_disk/res/a.txt", "/opt/app_disk/res/sub/deep/b.txt",
                             "/opt/app_disk/res/qspi\\boot.bin"}) {
        ASSERT_EQ(log.flushed.count(file), 1u) << file << " not flushed";
        EXPECT_GT(log.flushed[file], log.last_write[file]) << file;
    }
    ASSERT_FALSE(log.created.empty());
    for (const auto& made : log.created) {
        const std::string parent = made.first.substr(0, made.first.rfind('/'));
        ASSERT_EQ(log.flushed.count(parent), 1u) << parent << " gained " << made.first << " unflushed";
        EXPECT_GT(log.flushed[parent], made.second) << parent;
    }
    log.Reset();
}

// The old folder of a finished ".zip" that cannot be emptied (an entry that
// cannot be looked at or removed, a folder that cannot be read) is said so,
// and the archive is not unpacked over what is left of it, nor finished.
// The same archive unpacks whole once the medium is sound again.
TEST_F(GuiTest, OldFolderThatCannotBeEmptiedIsNotUnpackedOver)
{
    using update_test::FaultPlan;
    using update_test::FaultyFs;
    ASSERT_EQ(kivo_mount("/system", &FaultyFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    ASSERT_NO_FATAL_FAILURE(PutResZip());
    const FaultPlan faults[] = {
        {"/opt/app_disk/res/stale.txt", false, 0, FaultPlan::kStat},
        {"/opt/app_disk/res/stale.txt", false, 0, FaultPlan::kUnlink},
        {"/opt/app_disk/res", false, 0, FaultPlan::kReaddir},
    };
    Gui gui;
    for (const FaultPlan& f : faults) {
        SCOPED_TRACE(f.fault);
        e2e::RemoveTree(_root + "/opt/app_disk/res");
        Put("/opt/app_disk/res/stale.txt", "old");
        FaultyFs::Get().Plan(f);
        EXPECT_EQ(Report(gui, 5, kivo::Var("/opt/app_disk/res.zip")),
                  "[info]\t\tdirname: /opt/app_disk/res\n"
                  "[error]\t\tcannot empty /opt/app_disk/res\n");
        EXPECT_EQ(FaultyFs::Get().Failed(), 1);
        FaultyFs::Get().Plan(FaultPlan());
        EXPECT_TRUE(kivo::filesystem::IsFile("/opt/app_disk/res/stale.txt"));
        EXPECT_FALSE(kivo::filesystem::Exists("/opt/app_disk/res/a.txt"));

        EXPECT_EQ(Report(gui, 5, kivo::Var("/opt/app_disk/res.zip")),
                  "[info]\t\tdirname: /opt/app_disk/res\n"
                  "[info]\t\tfinish unzip /opt/app_disk/res.zip\n");
        EXPECT_FALSE(kivo::filesystem::Exists("/opt/app_disk/res/stale.txt"));
        EXPECT_EQ(e2e::ReadFile(_root + "/opt/app_disk/res/a.txt"), "alpha");
    }
}

// The mark of an owed copy goes once the copy has ended, also when looking
// for it failed; a mark that cannot be removed is said (a later run with
// nothing to rewrite would copy over files edited on the device).
TEST_F(GuiTest, MarkOfAnEndedCopyGoesOrItsRemovalIsSaid)
{
    using update_test::FaultPlan;
    using update_test::FaultyFs;
    ASSERT_EQ(kivo_mount("/system", &FaultyFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    Put("/tmp/update/notes.txt", "new notes");
    e2e::MakeDirs(_root + "/opt/app_disk");
    Gui gui;
    const struct {
        const char* what;
        FaultPlan fault;
        const char* out;
        bool mark_after;
    } rows[] = {
        {"status of the mark", {kMark, false, 0, FaultPlan::kStat}, "", false},
        {"removal of the mark", {kMark, false, 0, FaultPlan::kUnlink},
         "[error]remove file fail /opt/sys_disk/.app_disk_copy.: Read-only file system\n", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Put(kMark, "");
        FaultyFs::Get().Plan(r.fault);
        kivo::Message msg(kivo::Message::Value(kivo::Var(5)));
        testing::internal::CaptureStdout();
        gui.OnUpdateEnd(msg);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(FaultyFs::Get().Failed(), 1);
        FaultyFs::Get().Plan(FaultPlan());
        EXPECT_EQ(out, r.out);
        EXPECT_EQ(e2e::ReadFile(_root + "/opt/app_disk/notes.txt"), "new notes");
        EXPECT_EQ(kivo::filesystem::IsFile(kMark), r.mark_after);
    }
}

// The end's copy of the top-level files: a size that cannot be read
// replaces nothing, a work directory that cannot be read is said so, and a
// replaced file's directory is flushed after the rename that put it there.
TEST_F(GuiTest, CopyToTheAppDiskFailsClearlyAndFlushesTheRename)
{
    using update_test::FaultPlan;
    using update_test::FaultyFs;
    ASSERT_EQ(kivo_mount("/system", &FaultyFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    Put("/tmp/update/notes.txt", "new notes");
    Put("/opt/app_disk/notes.txt", "old notes");
    Gui gui;
    auto end = [&](const FaultPlan& f) {
        FaultyFs::Get().Plan(f);
        kivo::Message msg(kivo::Message::Value(kivo::Var(5)));
        testing::internal::CaptureStdout();
        gui.OnUpdateEnd(msg);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(FaultyFs::Get().Failed(), f.path.empty() ? 0 : 1);
        FaultyFs::Get().Plan(FaultPlan());
        return out;
    };
    EXPECT_EQ(end({"/tmp/update/notes.txt", false, 0, FaultPlan::kFstat}),
              "[error]copy file fail /opt/app_disk/notes.txt: Input/output error\n");
    EXPECT_EQ(e2e::ReadFile(_root + "/opt/app_disk/notes.txt"), "old notes");
    // Nothing rewritten after a cut copy: only files that differ are copied.
    // A size that cannot be read is no proof of sameness, even beside an
    // empty file: the file is not passed over, its copy is tried (and here
    // fails on the same fault, which is said).
    Put(kMark, "");
    Put("/opt/app_disk/notes.txt", "");
    FaultPlan both_sizes{"/tmp/update/notes.txt", false, 0, FaultPlan::kFstat};
    both_sizes.times = 2;
    FaultyFs::Get().Plan(both_sizes);
    kivo::Message nothing_rewritten{kivo::Message::Value(kivo::Var(2))};
    testing::internal::CaptureStdout();
    gui.OnUpdateEnd(nothing_rewritten);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[error]copy file fail /opt/app_disk/notes.txt: Input/output error\n");
    EXPECT_EQ(FaultyFs::Get().Failed(), 2);
    FaultyFs::Get().Plan(FaultPlan());
    EXPECT_EQ(e2e::ReadFile(_root + "/opt/app_disk/notes.txt"), "");
    // The mark stays after that failure, so the next end copies it.
    EXPECT_TRUE(kivo::filesystem::IsFile(kMark));
    testing::internal::CaptureStdout();
    gui.OnUpdateEnd(nothing_rewritten);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(e2e::ReadFile(_root + "/opt/app_disk/notes.txt"), "new notes");
    Put("/opt/app_disk/notes.txt", "old notes");
    const std::string unread = end({"/tmp/update", false, 0, FaultPlan::kReaddir});
    EXPECT_EQ(unread, "ForEachFile cannot read directory /tmp/update: Input/output error\r\n"
                      "[error]copy to /opt/app_disk/: cannot read directory /tmp/update: Input/output error\n");

    FaultyFs::Get().Record(true);
    EXPECT_EQ(end(FaultPlan()), "");
    const std::vector<std::string> log = FaultyFs::Get().Log();
    FaultyFs::Get().Record(false);
    EXPECT_EQ(e2e::ReadFile(_root + "/opt/app_disk/notes.txt"), "new notes");
    size_t renamed = log.size();
    for (size_t i = 0; i < log.size(); ++i) {
        const std::string tail = " /opt/app_disk/notes.txt";
        if (log[i].compare(0, 7, "rename ") == 0 && log[i].size() > tail.size() &&
            log[i].compare(log[i].size() - tail.size(), tail.size(), tail) == 0)
            renamed = i;
    }
    ASSERT_LT(renamed, log.size());
    EXPECT_NE(std::find(log.begin() + renamed, log.end(), "fsync /opt/app_disk"), log.end());
}

// With nothing rewritten (2) an owed copy passes over only a file known to
// hold the same bytes as the one installed: a size that cannot be read, on
// either side, proves nothing, so the file is copied again; when the copy
// cannot read it either, that is said and the mark stays.
TEST_F(GuiTest, OwedCopyTakesAnUnreadableSizeForADifference)
{
    using update_test::FaultPlan;
    using update_test::FaultyFs;
    ASSERT_EQ(kivo_mount("/system", &FaultyFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    const char* const kPackaged = "/tmp/update/notes.txt";
    const char* const kInstalled = "/opt/app_disk/notes.txt";
    const struct {
        const char* what;
        const char* installed;
        FaultPlan fault;
        const char* out;
        bool copied;  // a copy was renamed onto the installed file
        bool mark_after;
    } rows[] = {
        {"same bytes", "notes", {}, "", false, false},
        {"other bytes", "old notes", {}, "", true, false},
        {"installed size fails", "notes", {kInstalled, false, 0, FaultPlan::kFstat}, "", true, false},
        {"packaged size fails", "notes", {kPackaged, false, 0, FaultPlan::kFstat}, "", true, false},
        {"packaged size fails for the copy too", "notes", {kPackaged, false, 0, FaultPlan::kFstat, 2},
         "[error]copy file fail /opt/app_disk/notes.txt: Input/output error\n", false, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        Put(kPackaged, "notes");
        Put(kInstalled, r.installed);
        Put(kMark, "");
        FaultyFs::Get().Plan(r.fault);
        FaultyFs::Get().Record(true);
        Gui gui;
        kivo::Message msg(kivo::Message::Value(kivo::Var(static_cast<int32_t>(kStatusNothingDone))));
        testing::internal::CaptureStdout();
        gui.OnUpdateEnd(msg);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::vector<std::string> log = FaultyFs::Get().Log();
        FaultyFs::Get().Record(false);
        EXPECT_EQ(FaultyFs::Get().Failed(), static_cast<int>(r.fault.path.empty() ? 0 : r.fault.times));
        FaultyFs::Get().Plan(FaultPlan());
        EXPECT_EQ(out, r.out);
        const bool renamed = std::any_of(log.begin(), log.end(), [&](const std::string& line) {
            return line.compare(0, 7, "rename ") == 0 && line.size() > strlen(kInstalled) &&
                   line.compare(line.size() - strlen(kInstalled), std::string::npos, kInstalled) == 0;
        });
        EXPECT_EQ(renamed, r.copied);
        EXPECT_EQ(e2e::ReadFile(_root + kInstalled), r.copied ? "notes" : r.installed);
        EXPECT_EQ(kivo::filesystem::IsFile(kMark), r.mark_after);
    }
}

// A check script's text with its whole length, zero bytes included; null:
// no file.
struct Script {
    Script(std::nullptr_t) : text(nullptr), size(0) {}
    template <size_t N>
    Script(const char (&t)[N]) : text(t), size(N - 1)
    {
    }
    const char* text;
    size_t size;
};

TEST_F(GuiTest, CheckScriptVerdict)
{
    struct Case {
        Script script;
        int32_t verdict;
        const char* printed;
    };
    const Case cases[] = {
        {nullptr, 1, ""},
        {"", 1, ""},
        {"x = 1", 1, ""},
        {"function Check() return true end", 1, ">> Lua check need update\n"},
        {"function Check() return false end", 0, ">> Lua check no update\n"},
        {"function Check() return 1, 7 end", 7, ">> Lua check need update\n"},
        {"function PrintRoute() print('route a') end function Check() return false end", 0,
         "route a\n>> Lua check no update\n"},
        // A script that does not load or run to its end stops the update,
        // whatever it defined before the failure.
        {"function Check() return false end error('late')", 0, "*>> Lua script error: check.lua:1: late\n"},
        {"function Check() return true end\nerror('late')", 0, "*>> Lua script error: check.lua:2: late\n"},
        {"function Check( return true end", 0, "*>> Lua script error: check.lua:1: *near 'return'\n"},
        // The text is one chunk as it stands: a byte-order mark or a "#!"
        // line is not skipped, a binary chunk is not taken, and nothing
        // after a zero byte is dropped.
        {"\xEF\xBB\xBF" "function Check() return true end", 0,
         "*>> Lua script error: check.lua:1: unexpected symbol near '<\\239>'\n"},
        {"#!/usr/bin/lua\nfunction Check() return true end", 0,
         "*>> Lua script error: check.lua:1: unexpected symbol near '#'\n"},
        {"\x1bLuaS\x01function Check() return true end", 0, "*>> Lua script error: *attempt to load a binary chunk (mode is 't')\n"},
        {"function Check() return true end\0 x", 0, ">> Lua script error: check.lua:1: unexpected symbol\n"},
        // Control characters of an error text do not reach the log.
        {"error('a\\rb\\27c')", 0, ">> Lua script error: check.lua:1: a b c\n"},
        // An error inside Check or PrintRoute stops the update.
        {"function Check() error('no disk') end", 0, "*>> Lua Check error: *no disk\n"},
        {"function PrintRoute() local t = nil; return t.x end function Check() return true end", 0,
         "*>> Lua PrintRoute error: *\n"},
    };
    for (const Case& c : cases) {
        kivo::filesystem::RemoveFile("/tmp/update/check.lua");
        if (c.script.text)
            Put("/tmp/update/check.lua", std::string(c.script.text, c.script.size));
        fflush(stdout);
        testing::internal::CaptureStdout();
        int32_t verdict = Gui::LuaCheck("/tmp/update/check.lua");
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        const char* label = c.script.text ? c.script.text : "none";
        EXPECT_EQ(verdict, c.verdict) << label;
        if (c.printed[0] == '*') {
            std::string pattern = c.printed + 1;
            size_t star = pattern.find('*');
            std::string head = star == std::string::npos ? pattern : pattern.substr(0, star);
            std::string tail = star == std::string::npos ? "" : pattern.substr(star + 1);
            EXPECT_EQ(out.compare(0, head.size(), head), 0) << label << ": " << out;
            EXPECT_NE(out.find(tail), std::string::npos) << label << ": " << out;
            EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << label << ": " << out;
        } else {
            EXPECT_EQ(out, c.printed) << label;
        }
    }
}

// A script that is there but cannot be read (no handle, no size, a read
// that fails part-way) has not said "go on": verdict 0, with the cause.
TEST_F(GuiTest, CheckScriptThatCannotBeReadStopsTheUpdate)
{
    using update_test::FaultPlan;
    using update_test::FaultyFs;
    ASSERT_EQ(kivo_mount("/system", &FaultyFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    Put("/tmp/update/check.lua", "function Check() return true end");
    const struct {
        FaultPlan fault;
        const char* printed;
    } cases[] = {
        {{"/tmp/update/check.lua", false, 0, FaultPlan::kOpenCall},
         ">> Lua script error: cannot read /tmp/update/check.lua: Too many open files\n"},
        {{"/tmp/update/check.lua", false, 0, FaultPlan::kFstat},
         ">> Lua script error: cannot read /tmp/update/check.lua: Input/output error\n"},
        {{"/tmp/update/check.lua", false, 5},
         ">> Lua script error: cannot read /tmp/update/check.lua: Input/output error\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault.fault);
        FaultyFs::Get().Plan(c.fault);
        fflush(stdout);
        testing::internal::CaptureStdout();
        const int32_t verdict = Gui::LuaCheck("/tmp/update/check.lua");
        fflush(stdout);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(FaultyFs::Get().Failed(), 1);
        FaultyFs::Get().Plan(FaultPlan());
        EXPECT_EQ(verdict, 0);
        EXPECT_EQ(out, c.printed);
    }
    EXPECT_EQ(Gui::LuaCheck("/tmp/update/check.lua"), 1);
}

TEST_F(GuiTest, CheckScriptPreUpdateListAndReboot)
{
    // The shared list stays once made (by an earlier run, --gtest_repeat):
    // a script without a list table leaves it as it is, or absent.
    std::vector<std::string>* const before = kivo::GetShared<std::vector<std::string>>("/update/PreUpdateList");
    const std::vector<std::string> before_items = before != nullptr ? *before : std::vector<std::string>();
    Put("/tmp/update/check.lua",
        "PreUpdateNeedReboot = 1\n"  // not a boolean: ignored
        "PreUpdateList = 'sys/x'\n");  // not a table: ignored
    testing::internal::CaptureStdout();
    EXPECT_EQ(Gui::LuaCheck("/tmp/update/check.lua"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(Elem("/update/PreNeedReboot"), "<none>");
    EXPECT_EQ(kivo::GetShared<std::vector<std::string>>("/update/PreUpdateList"), before);
    if (before != nullptr) {
        EXPECT_EQ(*before, before_items);
    }

    Put("/tmp/update/check.lua",
        "PreUpdateNeedReboot = true\n"
        "PreUpdateList = {'sys/update.elf', 5, 'sys/uImage'}\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(Gui::LuaCheck("/tmp/update/check.lua"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              ">> Lua prefile check reboot update: 1\n"
              "key:1\t,value:sys/update.elf\t\n"
              "key:2\t,value:5\t\n"
              "key:3\t,value:sys/uImage\t\n"
              "[get_table_string] 0 : sys/update.elf\n"
              "[get_table_string] 1 : other type\n"
              "[get_table_string] 2 : sys/uImage\n");
    EXPECT_EQ(Elem("/update/PreNeedReboot"), "1");
    std::vector<std::string>* list = kivo::GetShared<std::vector<std::string>>("/update/PreUpdateList");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(*list, (std::vector<std::string>{"sys/update.elf", "sys/uImage"}));

    // Keys of other types, booleans as 1 or 0.
    Put("/tmp/update/check.lua", "PreUpdateList = {[true] = false, [{}] = 'a'}\n");
    testing::internal::CaptureStdout();
    Gui::LuaCheck("/tmp/update/check.lua");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("key:1\t,value:0\t\n"), std::string::npos) << out;
    EXPECT_NE(out.find("key type:other type\t,value:a\t\n"), std::string::npos) << out;
    EXPECT_EQ(*list, std::vector<std::string>{"a"});
}

}  // namespace
