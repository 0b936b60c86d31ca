// The updater program end to end: the built binary (natively, or the ARM
// build under qemu-arm-static) runs in a fresh sandbox per case on packages
// made by the independent packer; the case then reads what the device would
// keep: standard output, the status mailbox, GPIO, commands.log, board files,
// version records, and what is left in "/tmp/update" and "/opt/update_disk".

#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/app/updater_run.h"
#include "tests/kivo/base/platform/linux/raw_file_times.h"

using e2e::Le32;
using e2e::Pattern;
using e2e::Outcome;
using e2e::Sandbox;

namespace {

const uint32_t kWordError = 0x80A55A03u;
const uint32_t kWordEnd = 0x80A55A05u;
const char* const kPassword = "kth507316";

// One package: a stage tree laid out here and packed by update_pack.py.
class Package {
public:
    explicit Package(const Sandbox& sb) : _sb(sb), _stage(sb.work + "/stage" + std::to_string(++_serial))
    {
        e2e::MakeDirs(_stage);
    }

    Package& Text(const std::string& name, const std::string& text)
    {
        e2e::WriteFile(_stage + "/" + name, text);
        return *this;
    }

    // A packaged file with its section in the directory's info.ini; crc -1:
    // the packer computes it.
    Package& File(const std::string& dir, const std::string& name, const std::string& data,
                  const std::string& version, long crc = -1)
    {
        e2e::MakeDirs(_stage + "/" + dir);
        e2e::WriteFile(_stage + "/" + dir + "/" + name, data);
        _info[dir].push_back(e2e::JsonText(name) + ":{\"version\":" + e2e::JsonText(version) +
                             ",\"check_crc\":" + (crc >= 0 ? std::to_string(crc) : std::string("\"auto\"")) + "}");
        return *this;
    }

    Package& Password(const std::string& pw)
    {
        _password = pw;
        return *this;
    }

    bool WriteTo(const std::string& device_path) const
    {
        std::string out = _sb.Path(device_path);
        e2e::MakeDirs(out.substr(0, out.rfind('/')));
        std::string j = "{\"stage\":" + e2e::JsonText(_stage) + ",\"out\":" + e2e::JsonText(out) +
                        ",\"password\":" + e2e::JsonText(_password) + ",\"infos\":{";
        bool first = true;
        for (const auto& d : _info) {
            j += (first ? "" : ",") + e2e::JsonText(d.first) + ":{\"sections\":{";
            for (size_t i = 0; i < d.second.size(); ++i)
                j += (i ? "," : "") + d.second[i];
            j += "}}";
            first = false;
        }
        return _sb.Pack(j + "}}");
    }

private:
    static int _serial;
    const Sandbox& _sb;
    std::string _stage;
    std::map<std::string, std::vector<std::string>> _info;
    std::string _password;
};

int Package::_serial = 0;

// A boot image: CRC word at byte 80, version words at 84, 92, 100, 108.
std::string BootImage(size_t size, uint32_t crc, uint32_t version, uint32_t seed)
{
    std::string img = Pattern(size, seed);
    img.replace(80, 4, Le32(crc));
    img.replace(84, 4, Le32(version));
    img.replace(92, 4, Le32(3));
    img.replace(100, 4, Le32(40));
    img.replace(108, 4, Le32(2019));
    return img;
}

std::string VersionRecord(const Sandbox& sb, const std::string& dir, const std::string& stem, const std::string& name,
                          const char* key)
{
    std::map<std::string, std::string> keys = e2e::IniSection(sb.Read(dir + "/" + stem + "-info.ini"), name);
    return keys.count(key) ? keys[key] : "<none>";
}

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sb.Ok()); }

    // The run is over and left no trace of a crash or sanitizer finding.
    void ExpectCleanExit(const Outcome& run)
    {
        EXPECT_FALSE(run.timed_out) << run.All();
        EXPECT_EQ(run.exit_status, 1) << run.All();
        EXPECT_EQ(run.err, "") << run.All();
        ASSERT_FALSE(run.lines.empty());
        EXPECT_EQ(run.lines.back(), "kivo deinit") << run.All();
    }

    // Runs the updater on one code file and expects the run to end cleanly.
    Outcome StartClean(const std::string& code_file = "/opt/update_disk/code.bin")
    {
        Outcome run = sb.Start({code_file});
        ExpectCleanExit(run);
        return run;
    }

    Sandbox sb;
};

TEST_F(UpdaterTest, FreshInstallRewritesAndReboots)
{
    const std::string old_kernel = Pattern(3000, 1);
    const std::string new_kernel = Pattern(200000, 2);
    sb.Install("/opt/sys_disk", "uImage", old_kernel, "V1.1");
    ASSERT_TRUE(Package(sb).Text("readme.txt", "release notes\n").File("sys", "uImage", new_kernel, "V1.2")
                    .WriteTo("/opt/update_disk/code.bin"));

    Outcome run = StartClean();
    const std::vector<std::string> expected = {
        "[Init]code.bin path: /opt/update_disk/code.bin",
        "[info]unzip update file finish",
        ">> lua_check : 1",
        "[info]PreUpdateFileList size is 1",
        "[info]Start PreUpdate file :  /tmp/update/sys/update.elf",
        "[info]zip dir :/tmp/update/sys",
        "[info]flash dir :sys",
        "[info]Enter Dir /opt/sys_disk",
        "[info]\t-> file name : /tmp/update/sys/uImage",
        "[info]\t\t/tmp/update/sys FLASH_INFO_TYPE_INI",
        "[info]\t\tupdate_crc16 :" + std::to_string(e2e::Crc16Modbus(new_kernel)) +
            "  flash_crc16 :" + std::to_string(e2e::Crc16Modbus(old_kernel)),
        "[info]\t\t-> need update, check zip file crc16...",
        "[start_end]****** start ******",
        "[update]\t\tstart update uImage",
        "[progress]\t\t0%",
        "[progress]\t\t100%",
        "[info]\t\tfinish update file uImage",
        "[info]Exit Dir /opt/sys_disk",
        "[start_end]****** end ******",
        "*** Update file finish, need to reboot ***",
    };
    EXPECT_EQ(run.Reports(), expected) << run.All();

    // Start-up and tear-down around it: mailbox mapped first, modules built
    // and initialised Update first, destroyed in reverse, mailbox released,
    // library shut down last. Times vary, so lines are compared up to them.
    const std::vector<std::string> frame = {
        "/dev/mem opened. real_addr 0xffff0000 size 4096",
        "/dev/mem mmap finish. 0x",
        "kivo init, ",
        "sizeof(kivo_time_t)=",
        "soft version = $$$<ver>1.0.16.1207</ver>$$$",
        "module: Update construct, time=",
        "module: Gui construct, time=",
        "module: Update Init success, time=",
        "module: Gui Init [Init]code.bin path: /opt/update_disk/code.bin",
        "success, time=",
        "module: Gui destroy, time=",
        "module: Update destroy, time=",
        "/dev/munmap real_addr 0xffff0000 size 4096",
        "kivo deinit",
    };
    size_t at = 0;
    for (const std::string& line : run.lines) {
        if (at < frame.size() && line.compare(0, frame[at].size(), frame[at]) == 0)
            ++at;
    }
    EXPECT_EQ(at, frame.size()) << "missing: " << (at < frame.size() ? frame[at] : "") << "\n" << run.All();

    // Mailbox: the end word; the text of the last report that had one.
    EXPECT_EQ(sb.MailboxWord(), kWordEnd);
    EXPECT_EQ(sb.MailboxText(), "     [progress]\t100%");
    // GPIO 7 (sysfs 913) exported, an output, blinked and left low.
    EXPECT_EQ(sb.Read("/sys/class/gpio/export"), std::string("913\0", 4));
    EXPECT_EQ(sb.Read("/sys/class/gpio/gpio913/direction"), std::string("out\0", 4));
    EXPECT_EQ(sb.Read("/sys/class/gpio/gpio913/value"), std::string("0\0", 2));
    EXPECT_EQ(sb.Read("/commands.log"), "sync\nreboot -f\n");

    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), new_kernel);
    EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "uImage", "uImage", "version"), "V1.2");
    EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "uImage", "uImage", "check_crc"),
              std::to_string(e2e::Crc16Modbus(new_kernel)));
    // The top-level files land in "/opt/app_disk/"; the work directory goes;
    // the code file stays where it was.
    EXPECT_EQ(sb.Read("/opt/app_disk/readme.txt"), "release notes\n");
    EXPECT_FALSE(sb.Has("/tmp/update"));
    std::map<std::string, std::string> kept = sb.Tree("/opt/update_disk");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept.begin()->first, "code.bin");
}

TEST_F(UpdaterTest, EverythingUpToDateChangesNothing)
{
    const std::string kernel = Pattern(5000, 3);
    sb.Install("/opt/sys_disk", "uImage", kernel, "V1.2");
    sb.Put("/opt/app_disk/readme.txt", "edited on the device");
    const std::string record = sb.Read("/opt/sys_disk/uImage-info.ini");
    ASSERT_TRUE(Package(sb).Text("readme.txt", "x").Text("notes.txt", "y").File("sys", "uImage", kernel, "V1.2")
                    .WriteTo("/media/usb/code.bin"));

    Outcome run = StartClean("/media/usb/code.bin");
    std::vector<std::string> reports = run.Reports();
    ASSERT_GE(reports.size(), 3u) << run.All();
    EXPECT_EQ(reports[reports.size() - 3], "[info]\t\tupdate_crc16 :" + std::to_string(e2e::Crc16Modbus(kernel)) +
                                               "  flash_crc16 :" + std::to_string(e2e::Crc16Modbus(kernel)));
    EXPECT_EQ(reports[reports.size() - 2], "[warn]\t\tcheck no need update");
    EXPECT_EQ(reports.back(), "[info]Exit Dir /opt/sys_disk");

    EXPECT_EQ(sb.MailboxWord(), 0u);  // no state was ever shown
    EXPECT_FALSE(sb.Has("/commands.log"));
    EXPECT_EQ(sb.Read("/sys/class/gpio/export"), "");
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), kernel);
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage-info.ini"), record);
    // Status 2 and no copy owed: nothing is copied to "/opt/app_disk/" (a
    // file edited there stays); the work directory is removed.
    EXPECT_EQ(sb.Read("/opt/app_disk/readme.txt"), "edited on the device");
    EXPECT_FALSE(sb.Has("/opt/app_disk/notes.txt"));
    EXPECT_FALSE(sb.Has("/tmp/update"));
    EXPECT_TRUE(sb.Has("/media/usb/code.bin"));

    // The mark of a copy cut short: the files that differ are copied, the
    // rest is left as it is, and the mark goes.
    const char* const mark = "/opt/sys_disk/.app_disk_copy.";
    sb.Put(mark, "");
    sb.Put("/opt/app_disk/notes.txt", "y");
    struct stat64 before;
    ASSERT_EQ(stat64(sb.Path("/opt/app_disk/notes.txt").c_str(), &before), 0);
    Outcome again = StartClean("/media/usb/code.bin");
    EXPECT_EQ(sb.Read("/opt/app_disk/readme.txt"), "x");
    struct stat64 after;
    ASSERT_EQ(stat64(sb.Path("/opt/app_disk/notes.txt").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino) << "a file that matched was copied again";
    EXPECT_FALSE(sb.Has(mark));
    EXPECT_FALSE(again.Printed("*** Update file finish, need to reboot ***")) << again.All();
}

// On the device ':' and '\\' are ordinary characters of a name: top-level
// files, a board directory's files and a nested archive's entries holding
// one land under their own names, each board file with its own record, and
// no directory is made of the part before it.
TEST_F(UpdaterTest, ColonNamesInstallUnderTheirOwnNames)
{
    sb.Install("/opt/sys_disk", "kernel.bin", "old kernel", "V1");
    sb.Put("/opt/app_disk/readme.txt", "old readme");
    Package inner(sb);
    inner.Text("a:b.txt", "inner colon").Text("plain.txt", "inner plain");
    e2e::MakeDirs(sb.Path("/media/usb"));
    ASSERT_TRUE(inner.WriteTo("/media/usb/app.zip"));
    ASSERT_TRUE(Package(sb)
                    .Text("readme.txt", "notes")
                    .Text("notes:readme.txt", "colon notes")
                    .Text("a\\b.txt", "backslash notes")
                    .File("sys", "kernel.bin", "new kernel", "V2")
                    .File("sys", "new:kernel.bin", "other kernel", "V3")
                    .File("sys", "app.zip", sb.Read("/media/usb/app.zip"), "V2")
                    .WriteTo("/opt/update_disk/code.bin"));

    Outcome run = StartClean();
    EXPECT_EQ(sb.Read("/opt/app_disk/readme.txt"), "notes") << run.All();
    EXPECT_EQ(sb.Read("/opt/app_disk/notes:readme.txt"), "colon notes");
    EXPECT_EQ(sb.Read("/opt/sys_disk/app/a:b.txt"), "inner colon");
    EXPECT_EQ(sb.Read("/opt/sys_disk/app/plain.txt"), "inner plain");
    EXPECT_EQ(sb.Read("/opt/app_disk/a\\b.txt"), "backslash notes");
    EXPECT_EQ(sb.Read("/opt/sys_disk/kernel.bin"), "new kernel");
    EXPECT_EQ(sb.Read("/opt/sys_disk/new:kernel.bin"), "other kernel");
    EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "kernel", "kernel.bin", "version"), "V2");
    EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "new:kernel", "new:kernel.bin", "version"), "V3");
    for (const char* stray : {"/opt/app_disk/notes:", "/opt/app_disk/b.txt", "/tmp/update", "/opt/sys_disk/new:",
                              "/opt/sys_disk/app/a:"})
        EXPECT_FALSE(sb.Has(stray)) << stray;
    for (const auto& f : sb.Tree("/opt/sys_disk"))
        EXPECT_EQ(f.first.find(":/"), std::string::npos) << f.first;
}

// An installed record that does not parse (a stray byte at its end) reads
// as no record: the file is installed again and the record written anew, on
// this run and not only on the next.
TEST_F(UpdaterTest, UnreadableVersionRecordIsRewritten)
{
    const std::string old_kernel = Pattern(5000, 3);
    const std::string new_kernel = Pattern(6000, 4);
    sb.Put("/opt/sys_disk/uImage", old_kernel);
    sb.Put("/opt/sys_disk/uImage-info.ini", "[uImage]\nversion=V1.1\ncheck_crc=4660\n\x1a\n");
    ASSERT_TRUE(Package(sb).File("sys", "uImage", new_kernel, "V1.2").WriteTo("/media/usb/code.bin"));

    Outcome run = sb.Start({"/media/usb/code.bin"});
    EXPECT_EQ(run.All().find("write file fail"), std::string::npos) << run.All();
    EXPECT_NE(run.All().find("finish update file uImage"), std::string::npos) << run.All();
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), new_kernel);
    EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "uImage", "uImage", "version"), "V1.2");
    EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "uImage", "uImage", "check_crc"),
              std::to_string(e2e::Crc16Modbus(new_kernel)));
}

TEST_F(UpdaterTest, HookRunsWithTheWorkDirectory)
{
    sb.Install("/opt/sys_disk", "uImage", "old", "V1.0");
    // The hook sees its own path and the work directory as real paths.
    ASSERT_TRUE(Package(sb)
                    .Text("sys_cmd.sh", "echo \"hook:$0:$1\"\ncp \"$1/marker.txt\" \"$1/../hook-ran.txt\"\n")
                    .Text("marker.txt", "from the package")
                    .File("sys", "uImage", "older", "V1.0")
                    .WriteTo("/opt/update_disk/code.bin"));
    Outcome run = StartClean();
    EXPECT_TRUE(run.Printed("hook:" + sb.root + "/tmp/update/sys_cmd.sh:" + sb.root + "/tmp/update")) << run.All();
    EXPECT_EQ(sb.Read("/tmp/hook-ran.txt"), "from the package");
    // Logged as the device would run it, before the end's commands.
    EXPECT_EQ(sb.Read("/commands.log"), "sh /tmp/update/sys_cmd.sh /tmp/update \nsync\nreboot -f\n");
}

TEST_F(UpdaterTest, CheckScriptRefuses)
{
    sb.Install("/opt/sys_disk", "uImage", "old", "V1");
    ASSERT_TRUE(Package(sb)
                    .Text("check.lua", "function PrintRoute() print('route: sys') end\n"
                                       "function Check() return false end\n")
                    .Text("readme.txt", "x")
                    .File("sys", "uImage", "new", "V2")
                    .WriteTo("/opt/update_disk/code.bin"));
    Outcome run = StartClean();
    const std::vector<std::string> expected = {
        "[Init]code.bin path: /opt/update_disk/code.bin",
        "[info]unzip update file finish",
        ">> Lua check no update",
        ">> lua_check : 0",
    };
    EXPECT_EQ(run.Reports(), expected) << run.All();
    EXPECT_TRUE(run.Printed("route: sys")) << run.All();
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "old");
    EXPECT_FALSE(sb.Has("/opt/app_disk/check.lua"));
    EXPECT_FALSE(sb.Has("/tmp/update"));
    EXPECT_FALSE(sb.Has("/commands.log"));
    EXPECT_EQ(sb.MailboxWord(), 0u);
}

TEST_F(UpdaterTest, PreUpdateRebootEndsTheRunEarly)
{
    const std::string old_boot = BootImage(4096, 0x1111, 0x10, 8);
    sb.Put("/dev/boot.bin", old_boot);
    sb.Install("/opt/sys_disk", "update.elf", "old loader", "V1");
    sb.Install("/opt/sys_disk", "uImage", "old kernel", "V1");
    ASSERT_TRUE(Package(sb)
                    .Text("check.lua", "PreUpdateNeedReboot = true\n"
                                       "PreUpdateList = {'sys/update.elf', 'sys\\\\uImage'}\n"
                                       "function Check() return true end\n")
                    .File("sys", "update.elf", "new loader", "V2")
                    .File("sys", "uImage", "new kernel", "V2")
                    .File("qspi", "boot.bin", BootImage(4096, 0x2222, 0x11, 9), "V17", 0x2222)
                    .WriteTo("/opt/update_disk/code.bin"));
    Outcome run = StartClean();
    EXPECT_TRUE(run.Printed(">> Lua prefile check reboot update: 1")) << run.All();
    // The script's two entries follow the default one.
    EXPECT_TRUE(run.Printed("[info]PreUpdateFileList size is 3")) << run.All();
    EXPECT_TRUE(run.Printed("[info]Start PreUpdate file :  /tmp/update/sys/uImage")) << run.All();
    EXPECT_TRUE(run.Printed("*** Update file finish, need to reboot ***")) << run.All();
    EXPECT_FALSE(run.Printed("[info]zip dir :/tmp/update/qspi")) << run.All();

    // Both listed files first; the walk never reached the boot image.
    EXPECT_EQ(sb.Read("/opt/sys_disk/update.elf"), "new loader");
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "new kernel");
    EXPECT_EQ(sb.Read("/dev/boot.bin"), old_boot);
    // No "update_end": nothing copied to "/opt/app_disk/", and the work
    // directory stays; the blink and the reboot happen.
    EXPECT_FALSE(sb.Has("/opt/app_disk/check.lua"));
    EXPECT_TRUE(sb.Has("/tmp/update/check.lua"));
    EXPECT_EQ(sb.Read("/sys/class/gpio/gpio913/value"), std::string("0\0", 2));
    EXPECT_EQ(sb.Read("/commands.log"), "sync\nreboot -f\n");
    EXPECT_EQ(sb.MailboxWord(), kWordEnd);
}

// Force and once, with the code file under and outside "/opt/update_disk".
struct KeepCase {
    const char* name;
    bool force;
    bool once;
    const char* code;
    const char* kept_as;  // where the code file ends up
    const char* line;     // the line that says so, or ""
};

void PrintTo(const KeepCase& c, std::ostream* os)
{
    *os << c.name;
}

class KeepCodeFileTest : public UpdaterTest, public ::testing::WithParamInterface<KeepCase> {};

TEST_P(KeepCodeFileTest, ForceIgnoresVersionsAndKeepsTheCodeFile)
{
    const KeepCase& c = GetParam();
    const std::string kernel = Pattern(7000, 4);
    // Same version and CRC as installed: only the force flag rewrites it.
    sb.Install("/opt/sys_disk", "uImage", kernel, "V2.0");
    sb.Put("/opt/sys_disk/update.elf", "old loader");
    Package pkg(sb);
    if (c.force)
        pkg.Text("update_force.txt", "");
    if (c.once)
        pkg.Text("update_once.txt", "");
    pkg.File("sys", "uImage", kernel, "V2.0").File("sys", "update.elf", "new loader", "V5.0");
    ASSERT_TRUE(pkg.WriteTo(c.code));

    Outcome run = sb.Start({c.code});
    ExpectCleanExit(run);
    std::vector<std::string> reports = run.Reports();
    // The force flag skips the pre-update list.
    bool pre_stage = false;
    for (const std::string& r : reports)
        pre_stage = pre_stage || r.find("PreUpdateFileList") != std::string::npos;
    EXPECT_EQ(pre_stage, !c.force) << run.All();
    EXPECT_EQ(sb.Read("/opt/sys_disk/update.elf"), "new loader");
    EXPECT_TRUE(run.Printed("*** Update file finish, need to reboot ***")) << run.All();
    if (c.force)
        EXPECT_TRUE(run.Printed("[update]\t\tstart update uImage")) << run.All();
    else
        EXPECT_FALSE(run.Printed("[update]\t\tstart update uImage")) << run.All();

    if (*c.line) {
        EXPECT_TRUE(run.Printed(c.line)) << run.All();
        EXPECT_FALSE(sb.Has(c.code));
        EXPECT_EQ(sb.Read("/commands.log"), "sync\nsync\nreboot -f\n");
    } else {
        EXPECT_EQ(sb.Read("/commands.log"), "sync\nreboot -f\n");
    }
    EXPECT_TRUE(sb.Has(c.kept_as));
    EXPECT_EQ(sb.Has("/opt/update_disk/ForceUpdate.bin"), std::string(c.kept_as) == "/opt/update_disk/ForceUpdate.bin");
    EXPECT_EQ(sb.Has("/opt/update_disk/OnceUpdate.bin"), std::string(c.kept_as) == "/opt/update_disk/OnceUpdate.bin");
    EXPECT_TRUE(sb.Has("/opt/app_disk/update_force.txt") == c.force);
}

const KeepCase kKeepCases[] = {
    {"ForceUnderUpdateDisk", true, false, "/opt/update_disk/code.bin", "/opt/update_disk/ForceUpdate.bin",
     "[/update/force] move /opt/update_disk/code.bin to /opt/update_disk/ForceUpdate.bin"},
    {"ForceOutside", true, false, "/media/usb/code.bin", "/media/usb/code.bin", ""},
    {"ForceAndOnceOutside", true, true, "/media/usb/code.bin", "/opt/update_disk/OnceUpdate.bin",
     "[/update/once] move /media/usb/code.bin to /opt/update_disk/OnceUpdate.bin"},
    {"OnceUnderUpdateDisk", false, true, "/opt/update_disk/code.bin", "/opt/update_disk/OnceUpdate.bin",
     "[/update/once] move /opt/update_disk/code.bin to /opt/update_disk/OnceUpdate.bin"},
};

INSTANTIATE_TEST_SUITE_P(Keep, KeepCodeFileTest, ::testing::ValuesIn(kKeepCases),
                         [](const ::testing::TestParamInfo<KeepCase>& i) { return std::string(i.param.name); });

// A package kept by an earlier run is in the way: the new one stays where it
// is, and the line says the move failed instead of claiming it.
TEST_F(UpdaterTest, KeepingTheCodeFileThatCannotMoveSaysSo)
{
    sb.Install("/opt/sys_disk", "uImage", "old", "V1");
    sb.Put("/opt/update_disk/OnceUpdate.bin", "kept earlier");
    ASSERT_TRUE(Package(sb).Text("update_once.txt", "").File("sys", "uImage", "new", "V2")
                    .WriteTo("/opt/update_disk/code.bin"));
    Outcome run = StartClean();
    EXPECT_TRUE(run.Printed("[error][/update/once] move /opt/update_disk/code.bin to /opt/update_disk/OnceUpdate.bin "
                            "fail: File exists"))
        << run.All();
    EXPECT_FALSE(run.Printed("[/update/once] move /opt/update_disk/code.bin to /opt/update_disk/OnceUpdate.bin"))
        << run.All();
    EXPECT_EQ(sb.Read("/opt/update_disk/OnceUpdate.bin"), "kept earlier");
    EXPECT_TRUE(sb.Has("/opt/update_disk/code.bin"));
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "new");
}

TEST_F(UpdaterTest, EncryptedPackageOpensWithTheFixedPassword)
{
    // A file the board does not have yet.
    ASSERT_TRUE(Package(sb).Password(kPassword).File("sys", "devicetree.dtb", Pattern(900, 5), "V2")
                    .WriteTo("/opt/update_disk/code.bin"));
    Outcome run = StartClean();
    EXPECT_TRUE(run.Printed("[info]unzip update file finish")) << run.All();
    EXPECT_TRUE(run.Printed("[warn]\t\tfs flash file no exist, need update:/opt/sys_disk/devicetree.dtb")) << run.All();
    EXPECT_EQ(sb.Read("/opt/sys_disk/devicetree.dtb"), Pattern(900, 5));
    EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "devicetree", "devicetree.dtb", "version"), "V2");
    EXPECT_EQ(sb.MailboxWord(), kWordEnd);
}

TEST_F(UpdaterTest, WrongPasswordFailsTheUnpacking)
{
    sb.Install("/opt/sys_disk", "uImage", "old", "V1");
    ASSERT_TRUE(Package(sb).Password("not-the-one").File("sys", "uImage", "new", "V2")
                    .WriteTo("/opt/update_disk/code.bin"));
    Outcome run = StartClean();
    // The cause names the first entry the fixed password fails: in
    // inflation or at the CRC, as the random encryption header falls.
    const std::vector<std::string> reports = run.Reports();
    ASSERT_EQ(reports.size(), 3u) << run.All();
    EXPECT_EQ(reports[0], "[Init]code.bin path: /opt/update_disk/code.bin");
    const std::string wrong = " (or the password is wrong)";
    EXPECT_EQ(reports[1].find("[error]unzip fail: entry "), 0u) << run.All();
    EXPECT_TRUE(reports[1].size() > wrong.size() &&
                reports[1].compare(reports[1].size() - wrong.size(), wrong.size(), wrong) == 0)
        << run.All();
    EXPECT_EQ(reports[2], "[error]unzip fail in /tmp/update");
    EXPECT_EQ(sb.MailboxWord(), kWordError);
    EXPECT_EQ(sb.MailboxText(), "unzip fail in /tmp/update");
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "old");
    EXPECT_FALSE(sb.Has("/commands.log"));
    EXPECT_EQ(sb.Read("/sys/class/gpio/export"), "");
    EXPECT_TRUE(sb.Has("/opt/update_disk/code.bin"));
}

TEST_F(UpdaterTest, WithoutTheMailboxPageReportsGoOn)
{
    ASSERT_EQ(unlink(sb.Path("/dev/mem").c_str()), 0);
    sb.Install("/opt/sys_disk", "uImage", "old", "V1");
    ASSERT_TRUE(Package(sb).Password("not-the-one").File("sys", "uImage", "new", "V2")
                    .WriteTo("/opt/update_disk/code.bin"));
    Outcome run = StartClean();
    EXPECT_TRUE(run.Printed("Can't open /dev/mem.")) << run.All();
    EXPECT_TRUE(run.Printed("[error]unzip fail in /tmp/update")) << run.All();
    EXPECT_FALSE(sb.Has("/dev/mem"));
}

// A stand-in "/dev/mem" that ends before the mailbox page used to be mapped
// anyway, and the first status write killed the program (SIGBUS).
TEST_F(UpdaterTest, ShortStandInMailboxIsRefusedAndReportsGoOn)
{
    ASSERT_EQ(truncate(sb.Path("/dev/mem").c_str(), 4096), 0);
    sb.Install("/opt/sys_disk", "uImage", "old", "V1");
    ASSERT_TRUE(Package(sb).File("sys", "uImage", "new", "V2").WriteTo("/opt/update_disk/code.bin"));
    Outcome run = StartClean();
    EXPECT_TRUE(run.Printed("Can't map /dev/mem: it holds 4096 bytes, short of the range "
                            "0xffff0000 size 4096."))
        << run.All();
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "new");
    EXPECT_EQ(sb.Read("/commands.log"), "sync\nreboot -f\n");
}

TEST_F(UpdaterTest, BootImageInQspiIsWrittenWithItsHeaderLast)
{
    const std::string old_boot = BootImage(70000, 0x1111, 0x10, 6);
    const std::string new_boot = BootImage(300000, 0x2222, 0x11, 7);
    sb.Put("/dev/boot.bin", old_boot);
    ASSERT_TRUE(Package(sb).File("qspi", "boot.bin", new_boot, "V17", 0x2222).WriteTo("/opt/update_disk/code.bin"));
    Outcome run = StartClean();
    EXPECT_TRUE(run.Printed("[info]\t\t/tmp/update/qspi FLASH_INFO_TYPE_INFO")) << run.All();
    EXPECT_TRUE(run.Printed("[info]\t\tupdate_crc16 :8738  flash_crc16 :4369")) << run.All();
    EXPECT_TRUE(run.Printed("[update]\t\tstart update boot.bin")) << run.All();
    EXPECT_EQ(sb.Read("/dev/boot.bin"), new_boot);
    // The image keeps its version inside: no version file beside it.
    EXPECT_FALSE(sb.Has("/dev/boot-info.ini"));
    EXPECT_EQ(sb.Read("/commands.log"), "sync\nreboot -f\n");
}

TEST_F(UpdaterTest, BadCommandLinesInstallNothing)
{
    sb.Install("/opt/sys_disk", "uImage", "old", "V1");
    ASSERT_TRUE(Package(sb).File("sys", "uImage", "new", "V2").WriteTo("/opt/update_disk/code.bin"));
    struct Case {
        std::vector<std::string> args;
        const char* line;
    };
    const Case cases[] = {
        {{}, "[Init] no input code.bin file, exit update"},
        {{"/a.bin", "/b.bin", "/c.bin"}, "[Init] no input code.bin file, exit update"},
        {{"/media/usb/none.bin"}, "[Init]input path /media/usb/none.bin not exist, exit update"},
        {{"/opt/update_disk"}, "[Init]input path /opt/update_disk not exist, exit update"},
        {{"/x.bin", "/opt/sys_disk"}, "[Init]input path /x.bin and /opt/sys_disk all not exist, exit update"},
    };
    for (const Case& c : cases) {
        Outcome run = sb.Start(c.args);
        ExpectCleanExit(run);
        EXPECT_EQ(run.Reports(), std::vector<std::string>{c.line}) << run.All();
        // Gui's Init failed: the start-up stops there, the tear-down runs.
        EXPECT_NE(run.All().find("\nfail, break, time="), std::string::npos) << run.All();
        EXPECT_NE(run.All().find("\nmodule: Gui destroy, time="), std::string::npos) << run.All();
    }
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "old");
    EXPECT_FALSE(sb.Has("/tmp/update"));
    EXPECT_EQ(sb.MailboxWord(), 0u);
}

TEST_F(UpdaterTest, SecondPathIsUsedWhenTheFirstIsMissing)
{
    sb.Install("/opt/sys_disk", "uImage", "old", "V1");
    ASSERT_TRUE(Package(sb).File("sys", "uImage", "new", "V2").WriteTo("/media/usb/code.bin"));
    Outcome run = sb.Start({"/media/sd/code.bin", "/media/usb/code.bin"});
    ExpectCleanExit(run);
    ASSERT_FALSE(run.Reports().empty());
    EXPECT_EQ(run.Reports()[0], "[Init]code.bin path: /media/usb/code.bin");
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "new");
}

// A USB stick's dates reach 2107 and a device clock can be wrong: a code
// file and an installed boot image dated 2040 are files like any other.
TEST_F(UpdaterTest, FilesDatedAfter2038AreFound)
{
    const std::string new_boot = BootImage(90000, 0x2222, 0x11, 8);
    sb.Put("/dev/boot.bin", BootImage(70000, 0x1111, 0x10, 6));
    ASSERT_TRUE(raw_times::Set(sb.Path("/dev/boot.bin"), raw_times::k2040));
    ASSERT_TRUE(Package(sb).File("qspi", "boot.bin", new_boot, "V17", 0x2222).WriteTo("/media/usb/code.bin"));
    ASSERT_TRUE(raw_times::Set(sb.Path("/media/usb/code.bin"), raw_times::k2040));
    // The second path holds a package too; it must not be taken.
    sb.Install("/opt/sys_disk", "uImage", "old", "V1");
    ASSERT_TRUE(Package(sb).File("sys", "uImage", "new", "V2").WriteTo("/opt/update_disk/code.bin"));

    Outcome run = sb.Start({"/media/usb/code.bin", "/opt/update_disk/code.bin"});
    ExpectCleanExit(run);
    ASSERT_FALSE(run.Reports().empty());
    EXPECT_EQ(run.Reports()[0], "[Init]code.bin path: /media/usb/code.bin");
    EXPECT_TRUE(run.Printed("[update]\t\tstart update boot.bin")) << run.All();
    EXPECT_TRUE(sb.Read("/dev/boot.bin") == new_boot) << "the boot image was not rewritten";
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "old");
}

// ---- interruption: a kill at any point, then a second run of the same
// package, leaves the board as one uninterrupted install does.

// What the kill should have caught, checked before the second run so that
// each case proves its point was reached.
enum KillState {
    kAnyState,
    kKernelPartial,  // uImage part-written, its version file gone
    kBootPartial,    // boot image part-written, header region still 0xFF
    kKernelDone,     // uImage and its version file complete
    kAppDiskPartial, // cut during the copy to "/opt/app_disk/"
    kAllRecorded,    // every file and record in place, nothing copied yet
};

struct KillCase {
    const char* name;
    KillState state;
    e2e::KillPlan plan;
};

void PrintTo(const KillCase& c, std::ostream* os)
{
    *os << c.name;
}

class InterruptTest : public ::testing::TestWithParam<KillCase> {
protected:
    // The same device and package in every sandbox.
    static void Prepare(const Sandbox& sb)
    {
        sb.Install("/opt/sys_disk", "uImage", Pattern(40000, 10), "V1.0");
        sb.Install("/opt/sys_disk", "initrd.img", Pattern(30000, 11), "V1.0");
        sb.Install("/opt/sys_disk", "devicetree.dtb", Pattern(2000, 12), "V1.0");
        sb.Put("/dev/boot.bin", BootImage(20000, 0x1111, 0x10, 13));
        // The notes from the earlier install are replaced; the large
        // top-level file makes the copy to "/opt/app_disk/" long enough to
        // be cut.
        sb.Put("/opt/app_disk/readme.txt", "old notes");
        ASSERT_TRUE(Package(sb)
                        .Text("readme.txt", "notes")
                        .Text("media.bin", BigTopFile())
                        .File("sys", "uImage", Pattern(3 * 1024 * 1024 + 777, 20), "V1.1")
                        .File("sys", "initrd.img", Pattern(1200 * 1024, 21), "V1.1")
                        .File("sys", "devicetree.dtb", Pattern(3000, 22), "V1.1")
                        .File("qspi", "boot.bin", BootImage(1536 * 1024, 0x2222, 0x11, 23), "V17", 0x2222)
                        .WriteTo("/opt/update_disk/code.bin"));
    }

    static std::string BigTopFile()
    {
        std::string big(24 * 1024 * 1024, 'm');
        big.replace(0, 4096, Pattern(4096, 24));
        return big;
    }

    // Every board file and version record, and what "/opt/app_disk/" holds
    // (a temporary left there would show too).
    static std::map<std::string, std::string> Board(const Sandbox& sb)
    {
        std::map<std::string, std::string> board = sb.Tree("/opt/sys_disk");
        board["/dev/boot.bin"] = sb.Read("/dev/boot.bin");
        for (const auto& f : sb.Tree("/opt/app_disk"))
            board["/opt/app_disk/" + f.first] = f.second;
        return board;
    }
};

TEST_P(InterruptTest, RerunAfterAKillFinishesTheInstall)
{
    const KillCase& c = GetParam();
    Sandbox reference;
    ASSERT_TRUE(reference.Ok());
    Prepare(reference);
    Outcome whole = reference.Start({"/opt/update_disk/code.bin"});
    ASSERT_TRUE(whole.Printed("*** Update file finish, need to reboot ***")) << whole.All();
    const std::map<std::string, std::string> expected = Board(reference);
    ASSERT_EQ(expected.at("uImage"), Pattern(3 * 1024 * 1024 + 777, 20));
    ASSERT_EQ(expected.at("/opt/app_disk/readme.txt"), "notes");
    ASSERT_TRUE(expected.at("/opt/app_disk/media.bin") == BigTopFile());

    Sandbox sb;
    ASSERT_TRUE(sb.Ok());
    Prepare(sb);
    Outcome cut = sb.Start({"/opt/update_disk/code.bin"}, &c.plan);
    ASSERT_TRUE(cut.killed) << cut.All();

    const std::string kernel = sb.Read("/opt/sys_disk/uImage");
    const std::string boot = sb.Read("/dev/boot.bin");
    switch (c.state) {
    case kKernelPartial:
        EXPECT_GT(kernel.size(), 0u);
        EXPECT_LT(kernel.size(), expected.at("uImage").size());
        EXPECT_FALSE(sb.Has("/opt/sys_disk/uImage-info.ini"));
        break;
    case kBootPartial:
        EXPECT_EQ(boot.substr(0, 256), std::string(256, '\xFF'));
        EXPECT_NE(boot, expected.at("/dev/boot.bin"));
        break;
    case kKernelDone:
        EXPECT_EQ(kernel, expected.at("uImage"));
        EXPECT_EQ(sb.Read("/opt/sys_disk/uImage-info.ini"), expected.at("uImage-info.ini"));
        break;
    case kAppDiskPartial:
        // Cut inside the copy: the file there is the old one (or none).
        EXPECT_TRUE(sb.Has("/opt/app_disk/.media.bin.part."));
        EXPECT_FALSE(sb.Has("/opt/app_disk/media.bin"));
        break;
    case kAllRecorded:
        EXPECT_EQ(kernel, expected.at("uImage"));
        EXPECT_EQ(sb.Read("/opt/app_disk/readme.txt"), "old notes");
        break;
    case kAnyState:
        break;
    }

    Outcome again = sb.Start({"/opt/update_disk/code.bin"});
    EXPECT_EQ(again.exit_status, 1) << again.All();
    EXPECT_EQ(again.err, "") << again.All();
    const std::map<std::string, std::string> board = Board(sb);
    ASSERT_EQ(board.size(), expected.size());
    for (const auto& file : expected)
        EXPECT_TRUE(board.at(file.first) == file.second) << file.first << " differs\n" << again.All();
    EXPECT_FALSE(sb.Has("/tmp/update"));
}

e2e::KillPlan At(const char* text, int count = 1, int delay_ms = 0, const char* from = "")
{
    e2e::KillPlan plan;
    plan.text = text;
    plan.count = count;
    plan.delay_ms = delay_ms;
    plan.from = from;
    return plan;
}

e2e::KillPlan Exists(const char* device_path)
{
    e2e::KillPlan plan;
    plan.exists = device_path;
    return plan;
}

const KillCase kKillCases[] = {
    // Unpacking: right after the request, and a little into it.
    {"Unpacking0", kAnyState, At("[Init]code.bin path")},
    {"Unpacking20ms", kAnyState, At("[Init]code.bin path", 1, 20)},
    {"Unpacking60ms", kAnyState, At("[Init]code.bin path", 1, 60)},
    {"CheckStage", kAnyState, At(">> lua_check")},
    {"RewriteStarts", kAnyState, At("[start_end]****** start ******")},
    // A file's copy has started: version file gone, data not yet written.
    {"KernelStarts", kAnyState, At("start update uImage")},
    // Mid-copy of the large file, between its 512 KiB blocks.
    {"KernelBlock2", kKernelPartial, At("[progress]", 2, 0, "start update uImage")},
    {"KernelBlock4", kKernelPartial, At("[progress]", 4, 0, "start update uImage")},
    // A little after a line the point depends on the machine's speed: any
    // state it catches must be finished by the rerun.
    {"KernelBlock4Late", kAnyState, At("[progress]", 4, 60, "start update uImage")},
    {"BootBlock2", kBootPartial, At("[progress]", 2, 0, "start update boot.bin")},
    // Around the end of a copy: the last block, the version file, the next file.
    {"KernelLastBlock", kAnyState, At("[progress]\t\t100%", 1, 0, "start update uImage")},
    {"KernelRecord100ms", kAnyState, At("[progress]\t\t100%", 1, 100, "start update uImage")},
    {"KernelRecord102ms", kAnyState, At("[progress]\t\t100%", 1, 102, "start update uImage")},
    {"KernelRecord105ms", kAnyState, At("[progress]\t\t100%", 1, 105, "start update uImage")},
    // A file is finished once its record is written.
    {"KernelFinished", kKernelDone, At("finish update file uImage")},
    {"BetweenFiles", kAnyState, At("finish update file", 2)},
    // After the last record, before the copy to "/opt/app_disk/": the rerun
    // has nothing to rewrite (status 2) and still copies what differs.
    {"RewriteEnds", kAllRecorded, At("[start_end]****** end ******")},
    {"AppDiskCopy", kAppDiskPartial, Exists("/opt/app_disk/.media.bin.part.")},
    {"BeforeReboot", kAnyState, At("*** Update file finish")},
};

INSTANTIATE_TEST_SUITE_P(Kill, InterruptTest, ::testing::ValuesIn(kKillCases),
                         [](const ::testing::TestParamInfo<KillCase>& i) { return std::string(i.param.name); });

// A packaged ".zip" is unpacked beside itself once its copy has finished. A
// kill during that unpacking must leave the archive to the rerun: its record
// is not written before its files are all out.
TEST_F(UpdaterTest, RerunAfterAKillDuringAnArchiveUnpackCompletesIt)
{
    // Small entries around one large entry of a byte that deflates to
    // almost nothing: the archive, the package and every other file the run
    // writes stay far below the limit, so the run ends at the large entry's
    // unpacking, after the entries before it and before the ones after it.
    constexpr uint64_t kLimit = 2 * 1024 * 1024;
    std::map<std::string, std::string> files;
    Package inner(sb);
    for (int i = 0; i < 40; ++i) {
        const std::string name = "part" + std::to_string(10000 + i) + ".bin";
        files[name] = i == 20 ? std::string(3 * kLimit, 'z') : Pattern(256, 300 + i);
        inner.Text(name, files[name]);
    }
    ASSERT_TRUE(inner.WriteTo("/media/usb/app.zip"));
    ASSERT_LT(sb.Read("/media/usb/app.zip").size(), kLimit / 8);
    ASSERT_TRUE(Package(sb).File("sys", "app.zip", sb.Read("/media/usb/app.zip"), "V2")
                    .WriteTo("/opt/update_disk/code.bin"));

    e2e::KillPlan plan;
    plan.file_size_limit = kLimit;
    Outcome cut = sb.Start({"/opt/update_disk/code.bin"}, &plan);
    ASSERT_TRUE(cut.killed) << cut.All();
    ASSERT_TRUE(cut.Printed("[info]\t\tdirname: /opt/sys_disk/app")) << "not cut in the unpacking\n" << cut.All();
    const size_t cut_files = sb.Tree("/opt/sys_disk/app").size();
    EXPECT_GT(cut_files, 0u) << "the unpacking had not begun";
    EXPECT_LT(cut_files, files.size()) << "the kill came after the unpacking";
    EXPECT_FALSE(sb.Has("/opt/sys_disk/app-info.ini"));

    Outcome again = StartClean();
    EXPECT_TRUE(again.Printed("[info]\t\tfinish unzip /opt/sys_disk/app.zip")) << again.All();
    const std::map<std::string, std::string> unpacked = sb.Tree("/opt/sys_disk/app");
    EXPECT_TRUE(unpacked == files) << unpacked.size() << " files after the rerun, " << cut_files << " after the kill";
    EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "app", "app.zip", "version"), "V2");
    EXPECT_TRUE(again.Printed("*** Update file finish, need to reboot ***")) << again.All();
}

// On Linux '\' is an ordinary character of a name: an installed archive
// holding such names unpacks them as files of those names (no directory
// is made of their parts) and is recorded.
TEST_F(UpdaterTest, ArchiveWithBackslashNamesIsUnpackedAndRecorded)
{
    const std::map<std::string, std::string> files = {{"qspi\\boot.bin", "boot bytes"},
                                                      {"a\\b\\c.txt", "a and b"}};
    Package inner(sb);
    for (const auto& f : files)
        inner.Text(f.first, f.second);
    ASSERT_TRUE(inner.WriteTo("/media/usb/app.zip"));
    ASSERT_TRUE(Package(sb).File("sys", "app.zip", sb.Read("/media/usb/app.zip"), "V2")
                    .WriteTo("/opt/update_disk/code.bin"));
    Outcome run = StartClean();
    EXPECT_TRUE(run.Printed("[info]\t\tfinish unzip /opt/sys_disk/app.zip")) << run.All();
    const std::map<std::string, std::string> unpacked = sb.Tree("/opt/sys_disk/app");
    std::string names;
    for (const auto& f : unpacked)
        names += " '" + f.first + "'";
    EXPECT_TRUE(unpacked == files) << names;
    EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "app", "app.zip", "version"), "V2");
    EXPECT_TRUE(run.Printed("*** Update file finish, need to reboot ***")) << run.All();
}

// An installed archive that does not unpack is not installed: its record
// says so, nothing counts as rewritten, and the device does not reboot.
TEST_F(UpdaterTest, ArchiveThatDoesNotUnpackIsNotRecorded)
{
    ASSERT_TRUE(Package(sb).Text("readme.txt", "notes").File("sys", "app.zip", "not an archive", "V2")
                    .WriteTo("/opt/update_disk/code.bin"));
    Outcome run = StartClean();
    EXPECT_TRUE(run.Printed("[error]\t\tunzip fail /opt/sys_disk/app.zip")) << run.All();
    EXPECT_FALSE(run.Printed("[info]\t\tfinish unzip /opt/sys_disk/app.zip")) << run.All();
    EXPECT_FALSE(run.Printed("[info]\t\tfinish update file app.zip")) << run.All();
    EXPECT_FALSE(run.Printed("*** Update file finish, need to reboot ***")) << run.All();
    EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "app", "app.zip", "version"), "V0.0");
    EXPECT_FALSE(sb.Has("/commands.log"));
    EXPECT_EQ(sb.MailboxWord(), kWordEnd);
}

// ---- full disks: each writer of the install in turn finds its directory
// full (a small tmpfs over it, in a private mount namespace). The run says
// what failed, reboots only for a file rewritten whole, and a rerun with
// room completes the install.

struct FullDiskCase {
    const char* name;
    const char* dir;      // the device directory the tmpfs covers
    const char* size;     // its size while full
    bool reboot;          // the full run still rewrote a file whole
    const char* line;     // the start of a line the full run prints
};

void PrintTo(const FullDiskCase& c, std::ostream* os)
{
    *os << c.name;
}

class FullDisk : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sb.Ok());
        // Once per process: a mount namespace of its own, private, so that
        // nothing mounted here is seen by the machine.
        static int ns_error = -1;
        if (ns_error < 0) {
            ns_error = unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
                           ? 0
                           : errno;
        }
        if (ns_error != 0)
            GTEST_SKIP() << "no private mount namespace (unshare -m): " << strerror(ns_error);
    }

    void TearDown() override
    {
        for (const std::string& m : _mounts)
            umount2(m.c_str(), MNT_DETACH);
    }

    // A tmpfs of `size` over the device directory, holding what was there.
    bool Cover(const std::string& dir, const std::string& size)
    {
        const std::string real = sb.Path(dir);
        std::map<std::string, std::string> kept = sb.Tree(dir);
        if (mount("tmpfs", real.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0)
            return false;
        _mounts.push_back(real);
        for (const auto& f : kept) {
            if (f.first.back() == '/')
                e2e::MakeDirs(real + "/" + f.first);
            else
                sb.Put(dir + "/" + f.first, f.second);
        }
        return true;
    }

    bool Grow(const std::string& dir)
    {
        return mount(nullptr, sb.Path(dir).c_str(), nullptr, MS_REMOUNT, "size=64m") == 0;
    }

    Sandbox sb;
    std::vector<std::string> _mounts;
};

class FullDiskTest : public FullDisk, public ::testing::WithParamInterface<FullDiskCase> {};

// What an earlier run left in the work directory (a run cut short, or one
// that stopped before the walk) is no longer there when the next package is
// unpacked: it neither fills the disk nor gets installed.
TEST_F(FullDisk, LeftoversInTheWorkDirectoryNeitherFillItNorGetInstalled)
{
    const std::string kernel = Pattern(1024 * 1024, 45);
    sb.Install("/opt/sys_disk", "uImage", "old kernel", "V1.1");
    sb.Put("/opt/boot/boot.bin", BootImage(4096, 0x1111, 0x10, 46));
    ASSERT_TRUE(Package(sb).File("sys", "uImage", kernel, "V1.2").WriteTo("/opt/update_disk/code.bin"));
    ASSERT_TRUE(Cover("/tmp", "1536k")) << strerror(errno);
    // Another package's unpacked files: a damaged boot image with its
    // directory's info.ini, and notes.
    ASSERT_TRUE(Package(sb)
                    .Text("notes-a.txt", Pattern(1024 * 1024, 47))
                    .File("@opt@boot", "boot.bin", BootImage(8192, 0x3333, 0x12, 48), "V18", 0x3333)
                    .WriteTo("/media/usb/a.bin"));
    e2e::MakeDirs(sb.Path("/tmp/update"));
    const std::string unzip = "python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' '" +
                              sb.Path("/media/usb/a.bin") + "' '" + sb.Path("/tmp/update") + "'";
    ASSERT_EQ(system(unzip.c_str()), 0);
    ASSERT_TRUE(sb.Has("/tmp/update/@opt@boot/boot.bin"));

    Outcome run = sb.Start({"/opt/update_disk/code.bin"});
    EXPECT_EQ(run.err, "") << run.All();
    EXPECT_TRUE(run.Printed("*** Update file finish, need to reboot ***")) << run.All();
    EXPECT_TRUE(sb.Read("/opt/sys_disk/uImage") == kernel);
    EXPECT_EQ(sb.Read("/opt/boot/boot.bin"), BootImage(4096, 0x1111, 0x10, 46));
    EXPECT_FALSE(sb.Has("/opt/app_disk/notes-a.txt"));
    EXPECT_FALSE(sb.Has("/tmp/update"));
}

// Leftovers that cannot be removed (here a directory on a read-only mount
// inside the work directory) were unpacked around and installed all the
// same: the run stops before unpacking instead, the board untouched.
TEST_F(FullDisk, LeftoversThatCannotBeRemovedStopTheRun)
{
    sb.Install("/opt/sys_disk", "uImage", "old kernel", "V1.1");
    const std::string old_boot = BootImage(4096, 0x1111, 0x10, 46);
    sb.Put("/opt/boot/boot.bin", old_boot);
    ASSERT_TRUE(Package(sb).Text("readme.txt", "notes").WriteTo("/opt/update_disk/code.bin"));
    ASSERT_TRUE(Package(sb)
                    .File("@opt@boot", "boot.bin", BootImage(8192, 0x3333, 0x12, 48), "V18", 0x3333)
                    .WriteTo("/media/usb/a.bin"));
    e2e::MakeDirs(sb.Path("/media/stale"));
    const std::string unzip = "python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' '" +
                              sb.Path("/media/usb/a.bin") + "' '" + sb.Path("/media/stale") + "'";
    ASSERT_EQ(system(unzip.c_str()), 0);
    const std::string stuck = sb.Path("/tmp/update/@opt@boot");
    e2e::MakeDirs(stuck);
    ASSERT_EQ(mount(sb.Path("/media/stale/@opt@boot").c_str(), stuck.c_str(), nullptr, MS_BIND, nullptr), 0)
        << strerror(errno);
    _mounts.push_back(stuck);
    ASSERT_EQ(mount(nullptr, stuck.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << strerror(errno);

    Outcome run = sb.Start({"/opt/update_disk/code.bin"});
    EXPECT_EQ(run.err, "") << run.All();
    EXPECT_TRUE(run.Printed("[error]unzip fail: /tmp/update cannot be emptied")) << run.All();
    EXPECT_TRUE(run.Printed("[error]unzip fail in /tmp/update")) << run.All();
    EXPECT_FALSE(run.Printed("[update]\t\tstart update boot.bin")) << run.All();
    EXPECT_EQ(sb.Read("/opt/boot/boot.bin"), old_boot);
    EXPECT_FALSE(sb.Has("/opt/app_disk/readme.txt"));
    EXPECT_FALSE(sb.Has("/commands.log"));
}

TEST_P(FullDiskTest, FailsClearlyAndARerunWithRoomCompletes)
{
    const FullDiskCase& c = GetParam();
    const std::string name = c.name;
    const std::string kernel = Pattern(1024 * 1024, 40);
    // Fills a 64 KiB disk to its last page: the record then has no room.
    const std::string fits = Pattern(64 * 1024, 41);
    const std::string boot = BootImage(512 * 1024, 0x2222, 0x11, 42);
    const std::string big = Pattern(1024 * 1024, 43);
    sb.Install("/opt/sys_disk", "uImage", "old kernel", "V1.1");
    sb.Put("/opt/boot/boot.bin", BootImage(4096, 0x1111, 0x10, 44));
    Package pkg(sb);
    pkg.Text("readme.txt", "notes");
    if (name == "WorkDirectory" || name == "BoardFile")
        pkg.File("sys", "uImage", kernel, "V1.2");
    if (name == "VersionRecord")
        pkg.File("sys", "uImage", fits, "V1.2");
    if (name == "BootImage")
        pkg.File("@opt@boot", "boot.bin", boot, "V17", 0x2222);
    Package inner(sb);
    if (name == "NestedArchive") {
        inner.Text("big.dat", std::string(2 * 1024 * 1024, 'z'));
        ASSERT_TRUE(inner.WriteTo("/media/usb/app.zip"));
        pkg.File("sys", "app.zip", sb.Read("/media/usb/app.zip"), "V2");
    }
    if (name == "AppDisk")
        pkg.Text("big.bin", big).File("sys", "uImage", kernel, "V1.2");
    ASSERT_TRUE(pkg.WriteTo("/opt/update_disk/code.bin"));
    ASSERT_TRUE(Cover(c.dir, c.size)) << strerror(errno);

    Outcome full = sb.Start({"/opt/update_disk/code.bin"});
    EXPECT_FALSE(full.timed_out) << full.All();
    EXPECT_EQ(full.err, "") << full.All();
    bool said = false;
    for (const std::string& l : full.Reports())
        said = said || l.compare(0, strlen(c.line), c.line) == 0;
    EXPECT_TRUE(said) << "no line " << c.line << "\n" << full.All();
    EXPECT_EQ(full.Printed("*** Update file finish, need to reboot ***"), c.reboot) << full.All();
    EXPECT_FALSE(full.Printed("*** Update file finish ***")) << full.All();
    EXPECT_EQ(sb.Has("/commands.log") && sb.Read("/commands.log").find("reboot -f") != std::string::npos, c.reboot);
    // Nothing failed is finished or recorded as installed.
    if (name == "BoardFile" || name == "VersionRecord") {
        EXPECT_FALSE(full.Printed("[info]\t\tfinish update file uImage")) << full.All();
        EXPECT_NE(VersionRecord(sb, "/opt/sys_disk", "uImage", "uImage", "version"), "V1.2");
    }
    if (name == "BootImage") {
        EXPECT_FALSE(full.Printed("[info]\t\tfinish update file boot.bin")) << full.All();
        EXPECT_EQ(sb.Read("/opt/boot/boot.bin").substr(0, 256), std::string(256, '\xFF'));
    }
    if (name == "NestedArchive") {
        EXPECT_TRUE(full.Printed("[error]\t\tunzip fail /opt/sys_disk/app.zip")) << full.All();
        EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "app", "app.zip", "version"), "V0.0");
    }
    if (name == "AppDisk") {
        // Never a part of it, nor the temporary.
        EXPECT_FALSE(sb.Has("/opt/app_disk/big.bin"));
        EXPECT_FALSE(sb.Has("/opt/app_disk/.big.bin.part."));
        EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), kernel);
    }

    ASSERT_TRUE(Grow(c.dir)) << strerror(errno);
    Outcome again = sb.Start({"/opt/update_disk/code.bin"});
    EXPECT_FALSE(again.timed_out) << again.All();
    EXPECT_EQ(again.err, "") << again.All();
    for (const std::string& l : again.Reports())
        EXPECT_EQ(l.find("[error]"), std::string::npos) << again.All();
    EXPECT_EQ(sb.Read("/opt/app_disk/readme.txt"), "notes");
    if (name == "WorkDirectory" || name == "BoardFile" || name == "AppDisk") {
        EXPECT_TRUE(sb.Read("/opt/sys_disk/uImage") == kernel);
        EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "uImage", "uImage", "version"), "V1.2");
    }
    if (name == "VersionRecord") {
        EXPECT_TRUE(sb.Read("/opt/sys_disk/uImage") == fits);
        EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "uImage", "uImage", "version"), "V1.2");
    }
    if (name == "BootImage") {
        EXPECT_TRUE(sb.Read("/opt/boot/boot.bin") == boot);
    }
    if (name == "NestedArchive") {
        EXPECT_TRUE(sb.Read("/opt/sys_disk/app/big.dat") == std::string(2 * 1024 * 1024, 'z'));
        EXPECT_EQ(VersionRecord(sb, "/opt/sys_disk", "app", "app.zip", "version"), "V2");
    }
    if (name == "AppDisk") {
        // Nothing left to rewrite: the copy of what differs completes it.
        EXPECT_FALSE(again.Printed("*** Update file finish, need to reboot ***")) << again.All();
        EXPECT_TRUE(sb.Read("/opt/app_disk/big.bin") == big);
    } else {
        EXPECT_TRUE(again.Printed("*** Update file finish, need to reboot ***")) << again.All();
    }
    EXPECT_FALSE(sb.Has("/tmp/update"));
}

const FullDiskCase kFullDiskCases[] = {
    {"WorkDirectory", "/tmp", "256k", false, "[error]unzip fail in /tmp/update"},
    {"BoardFile", "/opt/sys_disk", "256k", false,
     "[error]\t\twrite file fail /opt/sys_disk/uImage: No space left on device"},
    {"BootImage", "/opt/boot", "128k", false, "[error]\t\twrite file fail /opt/boot/boot.bin: No space left on device"},
    {"VersionRecord", "/opt/sys_disk", "64k", false, "[error]\t\twrite file fail /opt/sys_disk/uImage-info.ini"},
    {"NestedArchive", "/opt/sys_disk", "256k", false, "[error]\t\tunzip fail: "},
    {"AppDisk", "/opt/app_disk", "64k", true, "[error]copy file fail /opt/app_disk/big.bin: No space left on device"},
};

INSTANTIATE_TEST_SUITE_P(Full, FullDiskTest, ::testing::ValuesIn(kFullDiskCases),
                         [](const ::testing::TestParamInfo<FullDiskCase>& i) { return std::string(i.param.name); });

#if !defined(__arm__)
TEST_F(UpdaterTest, HostBuildRefusesWithoutASandbox)
{
    Outcome run = sb.Start({"/opt/update_disk/code.bin"}, nullptr, false);
    EXPECT_EQ(run.exit_status, 1) << run.All();
    ASSERT_EQ(run.lines.size(), 1u) << run.All();
    EXPECT_NE(run.lines[0].find("UPDATER_ROOT"), std::string::npos);
    // It never reached the mailbox, GPIO or a shell.
    EXPECT_EQ(run.lines[0].find("/dev/mem"), std::string::npos);
}
#endif

}  // namespace
