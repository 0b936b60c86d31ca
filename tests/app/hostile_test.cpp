// The updater end to end on hostile and damaged packages, one sandbox per
// case (natively, or the ARM build under qemu-arm-static). Whatever the
// package holds, the run ends cleanly with its status and last lines, it
// changes nothing outside the work directory and the board directories (a
// canary directory beside the sandbox included), and every board file it
// changed is covered by a version record: one that matches the file, or
// "V0.0" for a file whose install did not finish.

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "tests/app/updater_run.h"

using e2e::Outcome;
using e2e::Sandbox;

namespace {

const uint32_t kWordEnd = 0x80A55A05u;
const char* const kUnzipFail = "[error]unzip fail in /tmp/update";

enum Expect {
    kUnzipFails,  // refused while unpacking, the board untouched
    kInstalls,    // the package's file reaches the board
    kAnyEnd,      // either, as long as the invariants hold
};

struct HostileCase {
    const char* name;
    // Extra keys of the packer's raw recipe, after "entries" (JSON).
    std::string raw;
    Expect expect;
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

// The legitimate part every package carries: a newer uImage for "sys".
const std::string kBase =
    "{\"name\":\"sys/uImage\",\"data\":\"new kernel\"},"
    "{\"name\":\"sys/info.ini\",\"info\":{\"sections\":{\"uImage\":{\"version\":\"V2\",\"check_crc\":\"auto\"}}}}";

std::string Entries(const std::string& extra) { return "\"entries\":[" + kBase + (extra.empty() ? "" : "," + extra) + "]"; }

std::string Named(const std::string& name) { return Entries("{\"name\":" + e2e::JsonText(name) + ",\"data\":\"x\"}"); }

std::vector<HostileCase> Cases()
{
    return {
        // A ':' is an ordinary name character: such entries unpack inside the
        // work directory, and the package installs.
        {"ColonDirectory", Named("x:opt/app_disk/planted/"), kInstalls},
        {"ColonFile", Named("evil:esc/deeper/x.txt"), kInstalls},
        {"LongName", Named(std::string(4200, 'x') + "/../../../../canary_long.txt"), kUnzipFails},
        {"NulInName", Named(std::string("sys/a\0b.txt", 11)), kUnzipFails},
        {"ControlCharacters", Named("a\n[error]FAKE LINE"), kUnzipFails},
        {"ForgedEndLine", Named("b\n****** end ******"), kUnzipFails},
        {"ZipSlip", Named("../../../../escaped.txt"), kUnzipFails},
        {"ZipSlipInside", Named("sys/../../../escaped_in.txt"), kUnzipFails},
        {"AbsoluteName", Named("/abs_planted.txt"), kUnzipFails},
        {"BackslashName", Named("..\\..\\..\\bs_planted.txt"), kUnzipFails},
        {"Symlink", Entries("{\"name\":\"sys/link\",\"data\":\"/opt/app_disk\",\"symlink\":true}"), kAnyEnd},
        {"OverlappingEntriesMany",
         "\"entries\":[{\"name\":\"sys/big000\",\"pattern\":262144}," + kBase + "],\"overlap\":120", kUnzipFails},
        {"HugeDeclaredSize", Entries("{\"name\":\"sys/huge.bin\",\"pattern\":65536,\"declare\":4294967280}"),
         kUnzipFails},
        {"Truncated", Entries("{\"name\":\"sys/pad.bin\",\"pattern\":4000,\"method\":\"store\"}") + ",\"truncate\":2100",
         kUnzipFails},
        {"CorruptDeflate", "\"entries\":[{\"name\":\"sys/big.bin\",\"pattern\":20000}," + kBase + "],\"flip\":true",
         kUnzipFails},
        {"WrongPassword",
         "\"entries\":[],\"encrypted\":[{\"name\":\"sys/uImage\",\"data\":\"new kernel\"}],\"password\":\"not-it\"",
         kUnzipFails},
        {"EmptyArchive", "\"entries\":[]", kUnzipFails},
        {"NotAZip", "\"bytes\":\"this is not a zip archive\\n\"", kUnzipFails},
        {"TenThousandEntries", Entries("{\"name\":\"extra/f%05d\",\"method\":\"store\",\"count\":10000}"), kInstalls},
        {"DuplicateEntries", Entries("{\"name\":\"sys/uImage\",\"data\":\"other kernel\"}"), kAnyEnd},
        {"OversizedInfoIni",
         "\"entries\":[{\"name\":\"sys/uImage\",\"data\":\"new kernel\"},{\"name\":\"sys/info.ini\",\"info\":{"
         "\"sections\":{\"uImage\":{\"version\":\"V2\",\"check_crc\":\"auto\"}},\"pad_to\":10001}}]",
         kAnyEnd},
        {"MixedPlainAndEncrypted",
         Entries("") + ",\"encrypted\":[{\"name\":\"readme.txt\",\"data\":\"encrypted note\"}],\"password\":\"kth507316\"",
         kInstalls},
    };
}

// Every path below dir (directories end in '/', symlinks "-> target"),
// with file contents.
void Snapshot(const std::string& dir, const std::string& rel, std::map<std::string, std::string>& out)
{
    for (const std::string& n : e2e::ListDir(dir)) {
        std::string full = dir + "/" + n;
        struct stat64 st;
        if (lstat64(full.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char buf[4096];
            ssize_t len = readlink(full.c_str(), buf, sizeof buf);
            out[rel + n] = "-> " + std::string(buf, len > 0 ? static_cast<size_t>(len) : 0);
        } else if (S_ISDIR(st.st_mode)) {
            out[rel + n + "/"] = "";
            Snapshot(full, rel + n + "/", out);
        } else if (st.st_size > (1 << 20)) {
            out[rel + n] = "<" + std::to_string(st.st_size) + " bytes>";
        } else {
            out[rel + n] = e2e::ReadFile(full);
        }
    }
}

bool Under(const std::string& path, const char* prefix) { return path.compare(0, strlen(prefix), prefix) == 0; }

// What a run may change: the work directory, the board directories (for
// "/opt/app_disk/" its top-level files only), the package's own directory,
// and the device files the program writes.
bool MayChange(const std::string& path)
{
    static const char* const kFree[] = {"/tmp/", "/opt/sys_disk/", "/dev/", "/sys/class/gpio/", "/opt/update_disk/"};
    for (const char* p : kFree)
        if (Under(path, p))
            return true;
    if (path == "/commands.log")
        return true;
    const std::string app = "/opt/app_disk/";
    return Under(path, app.c_str()) && path.find('/', app.size()) == std::string::npos &&
           path.compare(0, app.size() + 4, app + "app/") != 0;
}

class HostileTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileTest, EndsCleanlyAndTouchesNothingOutside)
{
    const HostileCase& c = GetParam();
    Sandbox sb;
    ASSERT_TRUE(sb.Ok());
    sb.Install("/opt/sys_disk", "uImage", "old kernel", "V1");
    sb.Put("/opt/app_disk/app/app.elf", "application");
    sb.Put("/opt/keep/data.txt", "keep me");
    const std::string beside = sb.root.substr(0, sb.root.rfind('/'));
    e2e::MakeDirs(beside + "/canary/inner");
    e2e::WriteFile(beside + "/canary/inner/file.txt", "canary");

    const std::string out = sb.Path("/opt/update_disk/code.bin");
    ASSERT_TRUE(sb.Pack("{\"out\":" + e2e::JsonText(out) + ",\"raw\":{" + c.raw + "}}")) << c.name;

    std::map<std::string, std::string> before, beside_before;
    Snapshot(sb.root, "/", before);
    Snapshot(beside + "/canary", "", beside_before);

    Outcome run = sb.Start({"/opt/update_disk/code.bin"});
    EXPECT_FALSE(run.timed_out) << run.All();
    EXPECT_EQ(run.exit_status, 1) << run.All();
    EXPECT_EQ(run.err, "") << run.All();
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "kivo deinit") << run.All();
    for (const std::string& line : run.lines) {
        EXPECT_NE(line.compare(0, 15, "[error]FAKE LIN"), 0) << "forged line: " << run.All();
        EXPECT_NE(line, "****** end ******") << "forged end: " << run.All();
    }

    const std::vector<std::string> reports = run.Reports();
    if (c.expect == kUnzipFails) {
        ASSERT_FALSE(reports.empty()) << run.All();
        EXPECT_EQ(reports.back(), kUnzipFail) << run.All();
        EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "old kernel");
    } else if (c.expect == kInstalls) {
        EXPECT_TRUE(run.Printed("[info]unzip update file finish")) << run.All();
        EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "new kernel") << run.All();
        EXPECT_EQ(sb.MailboxWord(), kWordEnd) << run.All();
    }

    std::map<std::string, std::string> after, beside_after;
    Snapshot(sb.root, "/", after);
    Snapshot(beside + "/canary", "", beside_after);
    EXPECT_EQ(beside_after, beside_before) << "the canary beside the sandbox changed";
    // Nothing new beside the sandbox either.
    if (DIR* d = opendir(beside.c_str())) {
        while (struct dirent64* e = readdir64(d)) {
            std::string n = e->d_name;
            EXPECT_TRUE(n == "." || n == ".." || n == "root" || n == "work" || n == "canary") << "beside: " << n;
        }
        closedir(d);
    }
    for (const auto& kv : before) {
        if (!MayChange(kv.first)) {
            auto it = after.find(kv.first);
            EXPECT_TRUE(it != after.end() && it->second == kv.second) << "changed or removed: " << kv.first;
        }
    }
    for (const auto& kv : after) {
        if (!MayChange(kv.first)) {
            EXPECT_TRUE(before.count(kv.first)) << "made outside the board: " << kv.first << "\n" << run.All();
        }
        EXPECT_NE(kv.second.compare(0, 3, "-> "), 0) << "symlink left: " << kv.first;
    }
    // Below the board directories: no new directory and no file that came
    // from a name the package should not have had.
    for (const auto& kv : after) {
        if ((Under(kv.first, "/opt/sys_disk/") || Under(kv.first, "/opt/app_disk/")) && !before.count(kv.first)) {
            EXPECT_NE(kv.first.back(), '/') << "directory planted on the board: " << kv.first;
        }
    }

    // Every board file that changed has a record for what it now holds, or
    // one that marks it unfinished.
    for (const auto& kv : after) {
        if (!Under(kv.first, "/opt/sys_disk/") || kv.first.back() == '/')
            continue;
        const std::string name = kv.first.substr(strlen("/opt/sys_disk/"));
        if (name.find('/') != std::string::npos || (name.size() > 9 && name.compare(name.size() - 9, 9, "-info.ini") == 0))
            continue;
        auto was = before.find(kv.first);
        if (was != before.end() && was->second == kv.second)
            continue;
        const std::string stem = name.rfind('.') == std::string::npos || name.rfind('.') == 0
                                     ? name
                                     : name.substr(0, name.rfind('.'));
        std::map<std::string, std::string> rec =
            e2e::IniSection(sb.Read("/opt/sys_disk/" + stem + "-info.ini"), name);
        const bool matches = rec.count("check_crc") && rec["check_crc"] == std::to_string(e2e::Crc16Modbus(kv.second));
        const bool unfinished = rec.count("version") && rec["version"] == "V0.0";
        EXPECT_TRUE(matches || unfinished) << "changed without a record: " << name << "\n" << run.All();
    }
}

INSTANTIATE_TEST_SUITE_P(Packages, HostileTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<HostileCase>& info) { return info.param.name; });

}  // namespace
