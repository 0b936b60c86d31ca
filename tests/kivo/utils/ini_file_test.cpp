#include "kivo/utils/ini_file.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "ini_test_sandbox.h"
#include "tests/kivo/filesystem/failing_fs.h"

namespace {

typedef IniSandbox IniFileTest;

TEST_F(IniFileTest, ReadsIntegersAndStrings)
{
    Put("/v.ini", "[uImage]\nversion = V1.2.3\ncheck_crc = 0x10\ndec = 4660\noct = 010\n");
    kivo::IniFile ini("/v.ini");
    EXPECT_EQ(ini.Path(), "/v.ini");
    EXPECT_EQ(ini.GetInt("uImage", "check_crc", -1), 16);
    EXPECT_EQ(ini.GetInt("UIMAGE", "Dec", -1), 4660);
    EXPECT_EQ(ini.GetInt("uImage", "oct", -1), 8);
    EXPECT_EQ(ini.GetInt("uImage", "missing", -1), -1);
    EXPECT_EQ(ini.GetInt("nosection", "check_crc", -1), -1);
    EXPECT_EQ(ini.GetString("uimage", "VERSION", "V0.0"), "V1.2.3");
    EXPECT_EQ(ini.GetString("uImage", "missing", "V0.0"), "V0.0");
}

TEST_F(IniFileTest, WithoutDictionaryEverythingFails)
{
    kivo::IniFile ini("/missing.ini");  // missing: starts empty
    ini.Close();
    std::vector<std::string> list{"stale"};
    EXPECT_EQ(ini.GetInt("s", "k", 5), 5);
    EXPECT_EQ(ini.GetString("s", "k", "d"), "d");
    EXPECT_FALSE(ini.SetString("s", "k", "v"));
    EXPECT_FALSE(ini.SetInt("s", "k", 1));
    EXPECT_FALSE(ini.Save());
    EXPECT_FALSE(ini.GetSections(list));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(ini.GetKeys("s", list));
    EXPECT_FALSE(Exists("/missing.ini"));
}

TEST_F(IniFileTest, SetOnNewSectionCreatesItAndSaveWritesCrLf)
{
    Put("/v.ini", "[old]\nkeep = 1\n");
    kivo::IniFile ini("/v.ini");
    EXPECT_TRUE(ini.SetString("boot.bin", "version", "V2.0"));
    EXPECT_TRUE(ini.SetInt("boot.bin", "check_crc", 4660));
    EXPECT_TRUE(ini.SetInt("BOOT.BIN", "check_crc", -7));  // same entry, first spelling stays
    ASSERT_TRUE(ini.Save());
    EXPECT_EQ(Get("/v.ini"), "[old]\r\nkeep=1\r\n[boot.bin]\r\nversion=V2.0\r\ncheck_crc=-7\r\n");
}

TEST_F(IniFileTest, LoadOnHeldDictionaryIsRefusedAndKeepsContents)
{
    Put("/a.ini", "[a]\nx = 1\n");
    Put("/b.ini", "[b]\ny = 2\n");
    kivo::IniFile ini("/a.ini");
    EXPECT_FALSE(ini.Load("/b.ini", false));
    EXPECT_EQ(ini.Path(), "/a.ini");
    EXPECT_EQ(ini.GetInt("a", "x", 0), 1);
    EXPECT_EQ(ini.GetInt("b", "y", 0), 0);

    ini.Close();
    EXPECT_TRUE(ini.Load("/b.ini", true));
    EXPECT_EQ(ini.GetInt("b", "y", 0), 2);
}

TEST_F(IniFileTest, MustExistDecidesAboutMissingOrMalformedFiles)
{
    Put("/bad.ini", "[a]\nx = 1\ngarbage\n");
    testing::internal::CaptureStdout();
    {
        kivo::IniFile ini("/bad.ini");  // malformed: loads as empty
        std::vector<std::string> sections;
        EXPECT_TRUE(ini.GetSections(sections));
        EXPECT_TRUE(sections.empty());
        ini.Close();
        EXPECT_FALSE(ini.Load("/bad.ini", true));
        EXPECT_FALSE(ini.Load("/none.ini", true));
        EXPECT_TRUE(ini.Load("/none.ini", false));
    }
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(Exists("/none.ini"));  // loading never creates
}

TEST_F(IniFileTest, SectionsAndKeysInSlotOrder)
{
    Put("/v.ini", "[Main]\nA = 1\nb = 2\n[empty]\n[third]\nc = 3\n");
    kivo::IniFile ini("/v.ini");
    std::vector<std::string> list{"stale"};
    ASSERT_TRUE(ini.GetSections(list));
    EXPECT_EQ(list, (std::vector<std::string>{"Main", "empty", "third"}));
    ASSERT_TRUE(ini.GetKeys("main", list));
    EXPECT_EQ(list, (std::vector<std::string>{"A", "b"}));
    ASSERT_TRUE(ini.GetKeys("empty", list));
    EXPECT_TRUE(list.empty());
    list.push_back("stale");
    EXPECT_FALSE(ini.GetKeys("nowhere", list));
    EXPECT_TRUE(list.empty());
}

TEST_F(IniFileTest, SaveToAnotherPathAndReportFailure)
{
    kivo::IniFile ini("/fresh.ini");
    ASSERT_TRUE(ini.SetString("s", "k", "v"));
    ASSERT_TRUE(ini.Save("/copy.ini"));
    EXPECT_FALSE(Exists("/fresh.ini"));
    EXPECT_EQ(Get("/copy.ini"), "[s]\r\nk=v\r\n");
    EXPECT_FALSE(ini.Save("/no/such/dir/x.ini"));
}

// A record is saved only once it is on the medium: a disk that is full at
// a write, or that says so only at the flush, fails the save.
TEST_F(IniFileTest, SaveFailsOnAFullDisk)
{
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    kivo::IniFile ini("/r.ini");
    ASSERT_TRUE(ini.SetString("uImage", "version", "V1.2"));
    FailingFs::WriteBudget() = 4;
    EXPECT_FALSE(ini.Save());
    FailingFs::Reset();
    FailingFs::FsyncErr() = FailingFs::kNoSpace;
    EXPECT_FALSE(ini.Save());
    FailingFs::Reset();
    EXPECT_TRUE(ini.Save());
    EXPECT_EQ(Get("/r.ini"), "[uImage]\r\nversion=V1.2\r\n");
}

// Each way a save fails reaches the caller as a cause: no dictionary, the
// file that did not parse kept, and the writer failing, with the cause the
// failing call gave (the first one when several fail).
TEST_F(IniFileTest, SaveCarriesTheCauseOfEachFailure)
{
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    Put("/bad.ini", "[a]\nx = 1\ngarbage\n");
    ASSERT_EQ(mkdir((_root + "/adir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((_root + "/ro").c_str(), 0555), 0);
    struct Case {
        const char* what;
        const char* load;
        bool closed;  // the dictionary dropped before the save
        const char* save;  // null: the loaded path
        int64_t budget;
        int fsync_err;
        kivo_err_t close_err;
        kivo_err_t err;
        bool as_user;  // only a user other than root is refused
    };
    const Case cases[] = {
        {"saved", "/r.ini", false, nullptr, -1, 0, 0, 0, false},
        {"no dictionary", "/r.ini", true, nullptr, -1, 0, 0, EINVAL, false},
        {"a file that did not parse", "/bad.ini", false, nullptr, -1, 0, 0, EEXIST, false},
        {"no directory for it", "/r.ini", false, "/no/such/dir/x.ini", -1, 0, 0, ENOENT, false},
        {"a directory in its place", "/r.ini", false, "/adir", -1, 0, 0, EISDIR, false},
        {"a directory it may not write", "/r.ini", false, "/ro/x.ini", -1, 0, 0, EACCES, true},
        {"full at a write", "/w.ini", false, nullptr, 4, 0, 0, ENOSPC, false},
        {"full at the flush", "/f.ini", false, nullptr, -1, FailingFs::kNoSpace, 0, ENOSPC, false},
        {"failing at the close", "/c.ini", false, nullptr, -1, 0, EDQUOT, EDQUOT, false},
        {"flush and close failing", "/fc.ini", false, nullptr, -1, FailingFs::kNoSpace, EDQUOT, ENOSPC, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.as_user && geteuid() == 0)
            continue;  // root may write anywhere
        testing::internal::CaptureStdout();  // the parser reports the bad line
        kivo::IniFile ini(c.load);
        testing::internal::GetCapturedStdout();
        ini.SetString("uImage", "version", "V1.2");
        if (c.closed)
            ini.Close();
        FailingFs::WriteBudget() = c.budget;
        FailingFs::FsyncErr() = c.fsync_err;
        if (c.close_err != 0)
            FailingFs::FailNext(FailingFs::kClose, c.close_err);
        kivo_err_t err = -1;
        EXPECT_EQ(ini.Save(c.save, &err), c.err == 0);
        EXPECT_EQ(err, c.err);
        FailingFs::Reset();
    }
}

TEST_F(IniFileTest, OneShotSetOnMissingFileCreatesIt)
{
    testing::internal::CaptureStdout();  // the missing file is reported on load
    EXPECT_TRUE(kivo::IniSetString("uImage", "version", "V1.0", "/uImage-info.ini"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Get("/uImage-info.ini"), "[uImage]\r\nversion=V1.0\r\n");

    EXPECT_TRUE(kivo::IniSetInt("uImage", "check_crc", 513, "/uImage-info.ini"));
    EXPECT_EQ(Get("/uImage-info.ini"), "[uImage]\r\nversion=V1.0\r\ncheck_crc=513\r\n");
    EXPECT_EQ(kivo::IniGetInt("uimage", "check_crc", 0, "/uImage-info.ini"), 513);
    EXPECT_EQ(kivo::IniGetString("uImage", "version", "", "/uImage-info.ini"), "V1.0");

    std::vector<std::string> list;
    EXPECT_TRUE(kivo::IniGetSections(list, "/uImage-info.ini"));
    EXPECT_EQ(list, (std::vector<std::string>{"uImage"}));
    EXPECT_TRUE(kivo::IniGetKeys("uImage", list, "/uImage-info.ini"));
    EXPECT_EQ(list, (std::vector<std::string>{"version", "check_crc"}));

    testing::internal::CaptureStdout();
    EXPECT_FALSE(kivo::IniSetInt("s", "k", 1, "/no/such/dir/x.ini"));
    testing::internal::GetCapturedStdout();
}

TEST_F(IniFileTest, RoundTripThroughRealFiles)
{
    {
        kivo::IniFile ini("/r.ini");
        for (int i = 0; i < 200; ++i)
            ASSERT_TRUE(ini.SetInt("sec" + std::to_string(i % 7), "key" + std::to_string(i), i * 31));
        ASSERT_TRUE(ini.SetString("text", "note", "a;b # c"));
        ASSERT_TRUE(ini.Save());
    }
    kivo::IniFile back("/r.ini");
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(back.GetInt("sec" + std::to_string(i % 7), "key" + std::to_string(i), -1), i * 31) << i;
    EXPECT_EQ(back.GetString("text", "note", ""), "a;b # c");
    std::vector<std::string> sections;
    ASSERT_TRUE(back.GetSections(sections));
    EXPECT_EQ(sections.size(), 8u);
}

TEST_F(IniFileTest, AwkwardValuesSurviveTheirOwnSave)
{
    const std::pair<std::string, std::string> entries[] = {
        {"dir", "C:\\tmp\\"}, {"[", "]"}, {"both", "say \"it's\"; done"}, {"next", "1"}};
    {
        kivo::IniFile ini("/awk.ini");
        for (const auto& e : entries)
            ASSERT_TRUE(ini.SetString("s", e.first, e.second));
        ASSERT_TRUE(ini.Save());
    }
    kivo::IniFile back("/awk.ini");
    for (const auto& e : entries)
        EXPECT_EQ(back.GetString("s", e.first, "<missing>"), e.second) << e.first;
    std::vector<std::string> sections;
    ASSERT_TRUE(back.GetSections(sections));
    EXPECT_EQ(sections, (std::vector<std::string>{"s"}));

    // A value that would make lines of its own is refused; the file stays.
    const std::string before = Get("/awk.ini");
    ASSERT_TRUE(back.SetString("s", "k", "1\r\n[evil]\r\nx=2"));
    EXPECT_FALSE(back.Save());
    EXPECT_EQ(Get("/awk.ini"), before);
}

// ':' joins section and key. A section name holding one is taken unless it
// collides with what the dictionary holds: over "[x]\ny=1", "x:y" is the
// key y of section x, and making it a section would lose its value. A text
// with a NUL byte is refused by every setter. Refused, nothing of the file
// changes.
TEST_F(IniFileTest, ColonSectionsUnlessTheyCollideAndNulBytesAreRefused)
{
    struct {
        const char* file;
        const char* section;
        bool set;
        const char* saved;
    } const cases[] = {
        {"[x]\ny=1\n", "x:y", false, "[x]\r\ny=1\r\n"},
        {"[x]\ny=1\n", "X:Y", false, "[x]\r\ny=1\r\n"},
        {"[x]\ny=\n", "x:y", false, "[x]\r\ny=\r\n"},
        {"[x]\nz=1\n", "x:y", true, "[x]\r\nz=1\r\n[x:y]\r\nk=v\r\n"},
        {"[x:y]\nk=old\n", "x:y", true, "[x:y]\r\nk=v\r\n"},
        {"", "x:y", true, "[x:y]\r\nk=v\r\n"},
        {"[x]\ny=1\n", ":", true, "[x]\r\ny=1\r\n[:]\r\nk=v\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " <- " + c.section);
        Put("/x.ini", c.file);
        {
            kivo::IniFile ini("/x.ini");
            EXPECT_EQ(ini.SetString(c.section, "k", "v"), c.set);
            EXPECT_EQ(ini.SetInt(c.section, "n", 1), c.set);
            if (c.set)
                ini.Close();  // the object's sets are not saved here
            else
                ASSERT_TRUE(ini.Save());
        }
        if (c.set) {
            ASSERT_TRUE(kivo::IniSetString(c.section, "k", "v", "/x.ini"));
        } else {
            EXPECT_FALSE(kivo::IniSetString(c.section, "k", "v", "/x.ini"));
            EXPECT_FALSE(kivo::IniSetInt(c.section, "k", 2, "/x.ini"));
        }
        EXPECT_EQ(Get("/x.ini"), c.saved);
        kivo::IniFile back("/x.ini");
        EXPECT_EQ(back.GetString(c.section, "k", "<missing>"), c.set ? "v" : "<missing>");
        EXPECT_EQ(back.GetString("x", "y", "<missing>"), strstr(c.file, "y=1") ? "1" : strstr(c.file, "y=") ? "" : "<missing>");
    }
    // A NUL byte would cut the text short: "x\0z" would be the section x.
    Put("/x.ini", "[x]\ny=1\n");
    {
        kivo::IniFile ini("/x.ini");
        const std::string nul("a\0b", 3);
        EXPECT_FALSE(ini.SetString("x" + nul, "k", "v"));
        EXPECT_FALSE(ini.SetString("x", "y" + nul, "v"));
        EXPECT_FALSE(ini.SetString("x", "y", nul));
        EXPECT_EQ(ini.GetString("x", "y", "<missing>"), "1");
        EXPECT_EQ(ini.GetString("xa", "k", "<missing>"), "<missing>");
        EXPECT_EQ(ini.GetString("x", "ya", "<missing>"), "<missing>");
        ASSERT_TRUE(ini.Save());
    }
    EXPECT_EQ(Get("/x.ini"), "[x]\r\ny=1\r\n");
}

// A packaged file "new:kernel.bin" beside "kernel.bin": the installer reads
// each one's record from the package's info.ini and writes its own record
// to new:kernel-info.ini under the section "[new:kernel.bin]", as it writes
// every record (the record removed, then loaded as empty, set and saved).
TEST_F(IniFileTest, RecordsOfFilesNamedWithColon)
{
    Put("/info.ini",
        "[kernel.bin]\r\nversion=V1.0\r\ncheck_crc=0x1111\r\n"
        "[new:kernel.bin]\r\nversion=V2.0\r\ncheck_crc=0x2222\r\n;\x7f");
    kivo::IniFile zip("/info.ini");
    EXPECT_EQ(zip.GetString("kernel.bin", "version", ""), "V1.0");
    EXPECT_EQ(zip.GetInt("kernel.bin", "check_crc", 0), 0x1111);
    EXPECT_EQ(zip.GetString("new:kernel.bin", "version", ""), "V2.0");
    EXPECT_EQ(zip.GetInt("new:kernel.bin", "check_crc", 0), 0x2222);
    std::vector<std::string> sections;
    ASSERT_TRUE(zip.GetSections(sections));
    EXPECT_EQ(sections, (std::vector<std::string>{"kernel.bin", "new:kernel.bin"}));

    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        remove((_root + "/new:kernel-info.ini").c_str());
        kivo::IniFile rec("/new:kernel-info.ini");
        ASSERT_TRUE(rec.SetString("new:kernel.bin", "version", zip.GetString("new:kernel.bin", "version", "")));
        ASSERT_TRUE(rec.SetInt("new:kernel.bin", "check_crc", zip.GetInt("new:kernel.bin", "check_crc", 0)));
        ASSERT_TRUE(rec.Save("/new:kernel-info.ini"));
        EXPECT_EQ(Get("/new:kernel-info.ini"), "[new:kernel.bin]\r\nversion=V2.0\r\ncheck_crc=8738\r\n");
    }
    kivo::IniFile back("/new:kernel-info.ini");
    EXPECT_EQ(back.GetString("new:kernel.bin", "version", ""), "V2.0");
    EXPECT_EQ(back.GetInt("new:kernel.bin", "check_crc", 0), 0x2222);
    // A record that already holds the section is rewritten in place.
    ASSERT_TRUE(back.SetString("new:kernel.bin", "version", "V2.1"));
    ASSERT_TRUE(back.Save());
    EXPECT_EQ(Get("/new:kernel-info.ini"), "[new:kernel.bin]\r\nversion=V2.1\r\ncheck_crc=8738\r\n");
}

// A file that exists but did not parse is not replaced by a save to its own
// path: what it held would be lost. A missing file is created as ever, and
// the object may still save elsewhere.
TEST_F(IniFileTest, SaveNeverReplacesAFileThatDidNotParse)
{
    const std::string record = "[uImage]\nversion=1.0.0.1\ncheck_crc=4660\n\x1a\n";
    struct {
        const char* name;
        std::function<bool(const char*)> set;
    } const cases[] = {
        {"one-shot string", [](const char* p) { return kivo::IniSetString("uImage", "version", "1.0.0.2", p); }},
        {"one-shot int", [](const char* p) { return kivo::IniSetInt("uImage", "check_crc", 1, p); }},
        {"object, Save()",
         [](const char* p) {
             kivo::IniFile ini(p);
             return ini.SetString("uImage", "version", "1.0.0.2") && ini.Save();
         }},
        {"object, Save(own path)",
         [](const char* p) {
             kivo::IniFile ini(p);
             return ini.SetString("uImage", "version", "1.0.0.2") && ini.Save(p);
         }},
    };
    testing::internal::CaptureStdout();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Put("/rec.ini", record);
        EXPECT_FALSE(c.set("/rec.ini"));
        EXPECT_EQ(Get("/rec.ini"), record);
    }
    {
        Put("/rec.ini", record);
        kivo::IniFile ini("/rec.ini");
        ASSERT_TRUE(ini.SetString("uImage", "version", "1.0.0.2"));
        EXPECT_TRUE(ini.Save("/elsewhere.ini"));
        EXPECT_EQ(Get("/elsewhere.ini"), "[uImage]\r\nversion=1.0.0.2\r\n");
        EXPECT_FALSE(ini.Save());
        EXPECT_EQ(Get("/rec.ini"), record);
        // Loading again decides anew: the mended file is saved.
        ini.Close();
        Put("/rec.ini", "[uImage]\nversion=1.0.0.1\n");
        ASSERT_TRUE(ini.Load("/rec.ini", false));
        ASSERT_TRUE(ini.SetString("uImage", "version", "1.0.0.2"));
        EXPECT_TRUE(ini.Save());
        EXPECT_EQ(Get("/rec.ini"), "[uImage]\r\nversion=1.0.0.2\r\n");
    }
    EXPECT_TRUE(kivo::IniSetString("uImage", "version", "1.0.0.2", "/new.ini"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(Get("/new.ini"), "[uImage]\r\nversion=1.0.0.2\r\n");
}

// The installer removes a record it could not read before it installs the
// file again: with the unreadable file gone nothing is lost by saving, and a
// record that can never be rewritten would block every later install.
TEST_F(IniFileTest, SaveWritesWhenTheFileThatDidNotParseIsGone)
{
    const std::string record = "[uImage]\nversion=1.0.0.1\ncheck_crc=4660\n\x1a\n";
    testing::internal::CaptureStdout();
    Put("/rec.ini", record);
    kivo::IniFile ini("/rec.ini");
    ASSERT_TRUE(ini.SetString("uImage", "version", "1.0.0.2"));
    // Replaced by another unreadable file: that one is kept.
    ASSERT_EQ(0, remove((_root + "/rec.ini").c_str()));
    Put("/rec.ini", record + "x");
    EXPECT_FALSE(ini.Save());
    EXPECT_EQ(Get("/rec.ini"), record + "x");
    ASSERT_EQ(0, remove((_root + "/rec.ini").c_str()));
    EXPECT_TRUE(ini.Save());
    EXPECT_EQ(Get("/rec.ini"), "[uImage]\r\nversion=1.0.0.2\r\n");
    testing::internal::GetCapturedStdout();
}

// A package's version = " V1.2 " reads as V1.2; a value with blanks at its
// ends cannot be written so that it reads back, so saving it fails and the
// file stays as it was.
TEST_F(IniFileTest, QuotedValuesAreStrippedAndBlankEndsAreNotSaved)
{
    Put("/info.ini", "[uImage]\nversion = \" V1.2 \"\ncheck_crc = ' 0x10 '\n");
    {
        kivo::IniFile ini("/info.ini");
        EXPECT_EQ(ini.GetString("uImage", "version", "<missing>"), "V1.2");
        EXPECT_EQ(ini.GetInt("uImage", "check_crc", -1), 16);
    }
    const char* values[] = {"  v", "v  ", "v\r", " ", "\t"};
    for (const char* v : values) {
        SCOPED_TRACE(v);
        Put("/bl.ini", "[s]\r\nk=1\r\n");
        kivo::IniFile ini("/bl.ini");
        ASSERT_TRUE(ini.SetString("s", "k", v));
        EXPECT_FALSE(ini.Save());
        EXPECT_FALSE(kivo::IniSetString("s", "k", v, "/bl.ini"));
        EXPECT_EQ(Get("/bl.ini"), "[s]\r\nk=1\r\n");
    }
}

}  // namespace
