// Packages made by other zip writers, installed end to end by the built
// updater (natively, or the ARM build under qemu-arm-static): Info-ZIP zip,
// 7-Zip and bsdtar in the stored and deflated forms (plain, or under the
// traditional password) install byte-exact; the compression methods and
// encryptions the program cannot read are refused before anything is
// written, with a line naming the entry and its method, and the board keeps
// what it had. A tool that is not installed fails its case: tools/setup.sh
// installs them all.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/app/updater_run.h"

using e2e::Outcome;
using e2e::Sandbox;

namespace {

const uint32_t kWordEnd = 0x80A55A05u;

struct ToolCase {
    const char* tool;     // the packer's tool name (update_pack.py)
    const char* program;  // what must be installed for it
    // Empty: installs. Otherwise the end of the cause line.
    const char* refused;
};

void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.tool; }

const ToolCase kCases[] = {
    {"zip", "zip", ""},
    {"zip-store", "zip", ""},
    {"zip-password", "zip", ""},
    {"zip-stream", "zip", ""},
    {"zip-zip64", "zip", ""},
    {"7z-deflate", "7z", ""},
    {"7z-store", "7z", ""},
    {"7z-zipcrypto", "7z", ""},
    {"bsdtar", "bsdtar", ""},
    {"7z-lzma", "7z", "uses compression method 14"},
    {"7z-bzip2", "7z", "uses compression method 12"},
    {"7z-deflate64", "7z", "uses compression method 9"},
    {"7z-aes256", "7z", "uses AES encryption (method 99)"},
    {"python-bzip2", "python3", "uses compression method 12"},
    {"python-lzma", "python3", "uses compression method 14"},
};

bool Installed(const std::string& program)
{
    return system(("command -v '" + program + "' >/dev/null 2>&1").c_str()) == 0;
}

class OtherToolsTest : public ::testing::TestWithParam<ToolCase> {};

TEST_P(OtherToolsTest, InstallsByteExactOrRefusesWithItsCause)
{
    const ToolCase& c = GetParam();
    ASSERT_TRUE(Installed(c.program)) << c.program << " is not installed: run tools/setup.sh (it installs zip, "
                                      << "p7zip-full and libarchive-tools)";
    Sandbox sb;
    ASSERT_TRUE(sb.Ok());
    sb.Install("/opt/sys_disk", "uImage", "old kernel", "V1");
    const std::string old_record = sb.Read("/opt/sys_disk/uImage-info.ini");

    // Large and varied enough that every method really compresses it.
    std::string kernel;
    for (uint32_t i = 0, x = 12345; i < 300000; ++i) {
        x = x * 1103515245u + 12345u;
        kernel += static_cast<char>(i % 7 == 0 ? (x >> 16) & 0xFF : 'a' + i % 23);
    }
    const std::string notes = "release notes\n";
    const std::string stage = sb.work + "/stage";
    e2e::MakeDirs(stage + "/sys");
    e2e::WriteFile(stage + "/sys/uImage", kernel);
    e2e::WriteFile(stage + "/notes.txt", notes);
    const std::string out = sb.Path("/opt/update_disk/code.bin");
    ASSERT_TRUE(sb.Pack("{\"stage\":" + e2e::JsonText(stage) + ",\"out\":" + e2e::JsonText(out) +
                        ",\"tool\":\"" + c.tool + "\",\"password\":\"kth507316\",\"infos\":{\"sys\":{\"sections\":"
                        "{\"uImage\":{\"version\":\"V2\",\"check_crc\":\"auto\"}}}}}"))
        << "the packer failed with " << c.tool;

    Outcome run = sb.Start({"/opt/update_disk/code.bin"});
    EXPECT_FALSE(run.timed_out) << run.All();
    EXPECT_EQ(run.exit_status, 1) << run.All();
    EXPECT_EQ(run.err, "") << run.All();

    if (*c.refused == '\0') {
        EXPECT_TRUE(run.Printed("[info]unzip update file finish")) << run.All();
        EXPECT_TRUE(sb.Read("/opt/sys_disk/uImage") == kernel) << "uImage not installed byte-exact\n" << run.All();
        EXPECT_EQ(e2e::IniSection(sb.Read("/opt/sys_disk/uImage-info.ini"), "uImage")["version"], "V2");
        EXPECT_EQ(sb.Read("/opt/app_disk/notes.txt"), notes) << run.All();
        EXPECT_EQ(sb.MailboxWord(), kWordEnd) << run.All();
        return;
    }
    const std::vector<std::string> reports = run.Reports();
    ASSERT_GE(reports.size(), 2u) << run.All();
    const std::string& cause = reports[reports.size() - 2];
    const std::string head = "[error]unzip fail: entry ";
    EXPECT_EQ(cause.compare(0, head.size(), head), 0) << run.All();
    EXPECT_TRUE(cause.size() >= strlen(c.refused) &&
                cause.compare(cause.size() - strlen(c.refused), std::string::npos, c.refused) == 0)
        << run.All();
    EXPECT_EQ(reports.back(), "[error]unzip fail in /tmp/update") << run.All();
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage"), "old kernel");
    EXPECT_EQ(sb.Read("/opt/sys_disk/uImage-info.ini"), old_record);
    EXPECT_FALSE(sb.Has("/opt/app_disk/notes.txt"));
    // Refused before anything was written.
    EXPECT_TRUE(e2e::ListDir(sb.Path("/tmp/update")).empty()) << run.All();
}

INSTANTIATE_TEST_SUITE_P(Packages, OtherToolsTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ToolCase>& info) {
                             std::string name = info.param.tool;
                             for (char& ch : name)
                                 if (ch == '-')
                                     ch = '_';
                             return name;
                         });

}  // namespace
