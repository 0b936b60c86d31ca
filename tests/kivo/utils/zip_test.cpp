#include "kivo/utils/zip.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <ftw.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <ioapi.h>
#include <zip.h>
#include <zlib.h>

#include "../filesystem/flush_log.h"
#include "../filesystem/fs_test_sandbox.h"
#include "kivo/filesystem/file.h"

using kivo::zip::ZipReader;
using kivo::zip::ZipWriter;

namespace {

class ZipTest : public FsSandbox {
protected:
    // A small tree: text, an empty file, a file over several chunks, a
    // subdirectory.
    void MakeTree(const std::string& rel)
    {
        Mkdir(rel);
        Mkdir(rel + "/sub");
        Put(rel + "/a.txt", "hello zip");
        Put(rel + "/empty.bin", "");
        Put(rel + "/sub/big.bin", Pattern(20000));
    }

    void ExpectTree(const std::string& rel)
    {
        EXPECT_EQ(Get(rel + "/a.txt"), "hello zip");
        EXPECT_TRUE(RawExists(rel + "/empty.bin"));
        EXPECT_EQ(Get(rel + "/empty.bin"), "");
        EXPECT_EQ(Get(rel + "/sub/big.bin"), Pattern(20000));
    }

    // Every path under the sandbox root, relative to it.
    std::set<std::string> AllPaths()
    {
        s_paths.clear();
        s_root_len = _root.size();
        nftw(_root.c_str(), Collect, 16, FTW_PHYS);
        return s_paths;
    }

    static int Collect(const char* path, const struct stat*, int, struct FTW*)
    {
        std::string p(path);
        if (p.size() > s_root_len)
            s_paths.insert(p.substr(s_root_len));
        return 0;
    }

    // Writes an archive of (name, bytes) entries through minizip directly,
    // for names and attributes the framework's writer would not produce.
    void RawArchive(const std::string& rel, const std::vector<std::pair<std::string, std::string>>& entries,
                    unsigned long externalFa = 0)
    {
        zlib_filefunc64_def ff;
        kivo_zip_fill_filefunc64(&ff);
        zipFile zf = zipOpen2_64(rel.c_str(), APPEND_STATUS_CREATE, nullptr, &ff);
        ASSERT_NE(zf, nullptr);
        for (const auto& e : entries) {
            zip_fileinfo zi;
            memset(&zi, 0, sizeof(zi));
            zi.tmz_date.tm_mday = 1;
            zi.tmz_date.tm_year = 2020;
            zi.external_fa = externalFa;
            ASSERT_EQ(zipOpenNewFileInZip(zf, e.first.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr,
                                          Z_DEFLATED, 6),
                      ZIP_OK);
            ASSERT_EQ(zipWriteInFileInZip(zf, e.second.data(), (unsigned)e.second.size()), ZIP_OK);
            ASSERT_EQ(zipCloseFileInZip(zf), ZIP_OK);
        }
        ASSERT_EQ(zipClose(zf, nullptr), ZIP_OK);
    }

    static bool HaveInfoZip()
    {
        return system("command -v zip >/dev/null 2>&1 && command -v unzip >/dev/null 2>&1") == 0;
    }

    static std::set<std::string> s_paths;
    static size_t s_root_len;
};

std::set<std::string> ZipTest::s_paths;
size_t ZipTest::s_root_len = 0;

// ---- round trips through the framework's writer and reader

struct RoundTripCase {
    const char* password;
    int level;
};

class ZipRoundTrip : public ZipTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(ZipRoundTrip, ZipDirThenUnzipToDirRestoresTree)
{
    const RoundTripCase& c = GetParam();
    MakeTree("/src");
    ASSERT_TRUE(kivo::zip::ZipDir("/src", "/pkg.zip", kivo::Function1<bool, const std::string&>(),
                                  c.password, ZipWriter::kCreate, c.level));
    ASSERT_TRUE(kivo::zip::UnzipToDir("/pkg.zip", "/out", c.password));
    ExpectTree("/out");
    if (*c.password) {
        EXPECT_FALSE(kivo::zip::UnzipToDir("/pkg.zip", "/out2", ""));
        EXPECT_FALSE(kivo::zip::UnzipToDir("/pkg.zip", "/out3", "wrong"));
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ZipRoundTrip,
                         ::testing::Values(RoundTripCase{"", 0}, RoundTripCase{"", 9},
                                           RoundTripCase{"s3cret", 0}, RoundTripCase{"s3cret", 6}),
                         [](const ::testing::TestParamInfo<RoundTripCase>& i) {
                             return std::string(*i.param.password ? "Password" : "Plain") + "Level" +
                                    std::to_string(i.param.level);
                         });

TEST_F(ZipTest, ListingReportsNamesSizesAndDirectories)
{
    MakeTree("/src");
    ASSERT_TRUE(kivo::zip::ZipDirSkipHidden("/src", "/pkg.zip", false, "", ZipWriter::kCreate, 6));
    ZipReader reader;
    ASSERT_TRUE(reader.Open("/pkg.zip"));
    EXPECT_EQ(reader.GetEntryCount(), 4);
    std::set<std::string> names;
    ZipReader::EntryInfo info;
    int visited = 0;
    for (bool more = reader.GoToFirstEntry(); more; more = reader.GoToNextEntry()) {
        ASSERT_TRUE(reader.GetCurrentEntryInfo(info));
        names.insert(info.name);
        ++visited;
        if (info.name == "sub") {
            EXPECT_TRUE(info.is_directory);
        } else {
            EXPECT_FALSE(info.is_directory) << info.name;
        }
        if (info.name == "sub/big.bin") {
            EXPECT_EQ(info.size, 20000);
        }
    }
    EXPECT_EQ(visited, 4);
    EXPECT_EQ(names, (std::set<std::string>{"a.txt", "empty.bin", "sub", "sub/big.bin"}));

    ASSERT_TRUE(reader.LocateEntry("A.TXT", 2));  // 2: case-insensitive
    ASSERT_TRUE(reader.GetCurrentEntryInfo(info));
    EXPECT_EQ(info.name, "a.txt");
    EXPECT_EQ(info.size, 9);
    EXPECT_FALSE(reader.LocateEntry("missing", 1));
    reader.Close();
    EXPECT_FALSE(reader.GetCurrentEntryInfo(info));
    EXPECT_FALSE(reader.GoToFirstEntry());
}

TEST_F(ZipTest, AttributeMarksDirectoryWithoutSlash)
{
    RawArchive("/raw.zip", {{"plain", ""}}, 0x10);
    ZipReader reader("/raw.zip");
    ZipReader::EntryInfo info;
    ASSERT_TRUE(reader.GetCurrentEntryInfo(info));
    EXPECT_EQ(info.name, "plain");
    EXPECT_TRUE(info.is_directory);
    ASSERT_TRUE(reader.ExtractCurrentEntryToDir("/out", ""));
    struct stat st;
    ASSERT_EQ(stat(Real("/out/plain").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(ZipTest, EntryTimeSurvivesRoundTrip)
{
    Mkdir("/src");
    Put("/src/t.txt", "t");
    struct tm tm;
    memset(&tm, 0, sizeof(tm));
    tm.tm_year = 2021 - 1900;
    tm.tm_mon = 4;
    tm.tm_mday = 17;
    tm.tm_hour = 13;
    tm.tm_min = 42;
    tm.tm_sec = 10;  // even: DOS times have two-second steps
    tm.tm_isdst = -1;
    time_t when = mktime(&tm);
    struct utimbuf ut = {when, when};
    ASSERT_EQ(utime(Real("/src/t.txt").c_str(), &ut), 0);
    ASSERT_TRUE(kivo::zip::ZipDirSkipHidden("/src", "/pkg.zip", true, "", ZipWriter::kCreate, 6));
    ZipReader reader("/pkg.zip");
    ZipReader::EntryInfo info;
    ASSERT_TRUE(reader.GetCurrentEntryInfo(info));
    EXPECT_EQ(info.time, (int64_t)when);
    ASSERT_TRUE(reader.ExtractCurrentEntryToDir("/out", ""));
    struct stat st;
    ASSERT_EQ(stat(Real("/out/t.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, when);
}

TEST_F(ZipTest, StringSinkHonoursLimitAndFileSinkWrites)
{
    RawArchive("/raw.zip", {{"ten.txt", "0123456789"}});
    ZipReader reader("/raw.zip");
    std::string out = "keep";
    EXPECT_FALSE(reader.ExtractCurrentEntryToString(9, &out, ""));
    EXPECT_EQ(out, "keep");
    EXPECT_TRUE(reader.ExtractCurrentEntryToString(10, &out, ""));
    EXPECT_EQ(out, "0123456789");

    kivo::filesystem::File f;
    ASSERT_TRUE(f.Open("/copy.txt", 3));
    EXPECT_TRUE(reader.ExtractCurrentEntryToFile(&f, ""));
    f.Close();
    EXPECT_EQ(Get("/copy.txt"), "0123456789");

    // A target just under the root has no directory to make.
    EXPECT_TRUE(reader.ExtractCurrentEntryToFilePath("/top.txt", ""));
    EXPECT_EQ(Get("/top.txt"), "0123456789");
}

TEST_F(ZipTest, ExtractOverLongerFileLeavesExactlyTheEntry)
{
    RawArchive("/raw.zip", {{"f.txt", "new"}});
    Mkdir("/out");
    Put("/out/f.txt", "old and much longer contents");
    ASSERT_TRUE(kivo::zip::UnzipToDir("/raw.zip", "/out", ""));
    EXPECT_EQ(Get("/out/f.txt"), "new");
}

TEST_F(ZipTest, FilteredUnzipSkipsRefusedEntries)
{
    MakeTree("/src");
    ASSERT_TRUE(kivo::zip::ZipDirSkipHidden("/src", "/pkg.zip", false, "", ZipWriter::kCreate, 6));
    struct NotBig {
        bool operator()(const ZipReader::EntryInfo& e) const { return e.name != "sub/big.bin"; }
    };
    ASSERT_TRUE(kivo::zip::UnzipToDirFiltered(
        "/pkg.zip", "/out", kivo::Function1<bool, const ZipReader::EntryInfo&>(NotBig()), ""));
    EXPECT_EQ(Get("/out/a.txt"), "hello zip");
    EXPECT_TRUE(RawExists("/out/sub"));
    EXPECT_FALSE(RawExists("/out/sub/big.bin"));
}

TEST_F(ZipTest, SkipHiddenLeavesOutDotFiles)
{
    Mkdir("/src");
    Put("/src/.hidden", "h");
    Put("/src/shown", "s");
    for (bool skip : {true, false}) {
        ASSERT_TRUE(kivo::zip::ZipDirSkipHidden("/src", "/pkg.zip", skip, "", ZipWriter::kCreate, 6));
        ZipReader reader("/pkg.zip");
        EXPECT_EQ(reader.GetEntryCount(), skip ? 1 : 2);
        EXPECT_EQ(reader.LocateEntry(".hidden", 1), !skip);
    }
}

TEST_F(ZipTest, WriterModes)
{
    Put("/a.txt", "A");
    Put("/b.txt", "B");
    {
        ZipWriter w("/new.zip", ZipWriter::kAddInZip);  // missing file: created
        ASSERT_TRUE(w.AddEntry("/a.txt", "a.txt", "", 6));
    }
    {
        ZipWriter w("/new.zip", ZipWriter::kAddInZip);
        ASSERT_TRUE(w.AddEntry("/b.txt", "b.txt", "", 6));
        ASSERT_TRUE(w.AddDirEntry("d", "", 6));
    }
    ZipReader reader("/new.zip");
    EXPECT_EQ(reader.GetEntryCount(), 3);
    std::string s;
    ASSERT_TRUE(reader.LocateEntry("a.txt", 1));
    ASSERT_TRUE(reader.ExtractCurrentEntryToString(100, &s, ""));
    EXPECT_EQ(s, "A");
    ASSERT_TRUE(reader.LocateEntry("d/", 1));  // located by the raw name
    ZipReader::EntryInfo info;
    ASSERT_TRUE(reader.GetCurrentEntryInfo(info));
    EXPECT_TRUE(info.is_directory);
}

TEST_F(ZipTest, UnopenableArchivesFail)
{
    {
        ZipWriter w("/empty.zip", ZipWriter::kCreate);
    }
    ZipReader reader;
    EXPECT_FALSE(reader.Open("/empty.zip"));
    EXPECT_FALSE(kivo::zip::UnzipToDir("/empty.zip", "/out", ""));
    EXPECT_FALSE(kivo::zip::UnzipToDir("/missing.zip", "/out", ""));
    Put("/junk.zip", "this is not an archive at all");
    EXPECT_FALSE(kivo::zip::UnzipToDir("/junk.zip", "/out", ""));
    EXPECT_FALSE(RawExists("/out"));
}

TEST_F(ZipTest, WriterRefusesOverlongNamesAndMissingSources)
{
    Put("/a.txt", "A");
    {
        ZipWriter w("/pkg.zip", ZipWriter::kCreate);
        EXPECT_FALSE(w.AddEntry("/a.txt", std::string(0x10000, 'n'), "", 6));
        EXPECT_FALSE(w.AddDirEntry(std::string(0xFFFF, 'd'), "", 6));  // + "/" is too long
        EXPECT_FALSE(w.AddEntry("/missing.txt", "m.txt", "", 6));
        EXPECT_FALSE(w.AddEntry("/missing.txt", "m.txt", "pw", 6));
        EXPECT_TRUE(w.AddEntry("/a.txt", "a.txt", "", 6));
    }
    ZipReader reader("/pkg.zip");
    EXPECT_EQ(reader.GetEntryCount(), 1);
    EXPECT_TRUE(kivo::zip::UnzipToDir("/pkg.zip", "/out", ""));
    EXPECT_EQ(Get("/out/a.txt"), "A");
}

// ---- entries that would land outside the target

TEST_F(ZipTest, TraversalEntriesAreRefused)
{
    const char* bad[] = {"../x", "/abs", "a/../../x", "..", "a\\..\\..\\x", "ok/.."};
    for (const char* name : bad) {
        SCOPED_TRACE(name);
        FsSandbox::RemoveTree(Real("/t"));
        Mkdir("/t");
        RawArchive("/t/evil.zip", {{"good.txt", "g"}, {name, "evil"}});
        std::set<std::string> before = AllPaths();
        EXPECT_FALSE(kivo::zip::UnzipToDir("/t/evil.zip", "/t/out", ""));
        // Only the target directory may have gained anything.
        for (const std::string& p : AllPaths()) {
            if (before.count(p) == 0) {
                EXPECT_TRUE(p.compare(0, 7, "/t/out/") == 0 || p == "/t/out") << p;
            }
        }
        EXPECT_FALSE(RawExists("/t/x"));
        EXPECT_FALSE(RawExists("/x"));
        EXPECT_FALSE(RawExists("/abs"));
    }
    for (const char* good : {"a..b", "..a/b", "a/b..", "dir/file"})
        EXPECT_TRUE(kivo::zip::IsSafeEntryName(good)) << good;
}

// ---- archives crafted to get past the unpacking

namespace {

void Le(std::string& s, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        s += (char)((v >> (8 * i)) & 0xFF);
}

// A stored entry laid out by hand: any name bytes (a zero byte included) and
// a declared size that may differ from the bytes stored.
struct HandEntry {
    std::string name;
    std::string bytes;
    uint64_t declared;  // 0: the real size
    uint16_t method = 0;  // as recorded; the bytes are stored as given
    uint16_t flag = 0;
    uint32_t crc_xor = 0;  // spoils the recorded CRC-32
    std::string central_name = std::string();  // empty: the same name in both headers
};

// From the version needed to the name's length, both headers agree (but
// for the name's length when the central name differs).
void SharedFields(std::string& s, const HandEntry& e, const std::string& name)
{
    Le(s, 10, 2);
    Le(s, e.flag, 2);
    Le(s, e.method, 2);
    Le(s, 0, 2);
    Le(s, (1u << 5) | 1u, 2);
    Le(s, (uint32_t)crc32(0, (const Bytef*)e.bytes.data(), (uInt)e.bytes.size()) ^ e.crc_xor, 4);
    Le(s, e.bytes.size(), 4);
    Le(s, e.declared ? e.declared : e.bytes.size(), 4);
    Le(s, name.size(), 2);
}

// Writes the archive; `central_of[i]` names the local entry that central
// record i points at (by default each its own), so records can share bytes.
// The end record counts `count` entries (by default the records written).
std::string HandArchive(const std::vector<HandEntry>& entries, const std::vector<size_t>& central_of = {},
                        int64_t count = -1)
{
    std::string out;
    std::vector<uint64_t> at;
    for (const HandEntry& e : entries) {
        at.push_back(out.size());
        Le(out, 0x04034b50, 4);
        SharedFields(out, e, e.name);
        Le(out, 0, 2);
        out += e.name;
        out += e.bytes;
    }
    std::vector<size_t> order = central_of;
    if (order.empty())
        for (size_t i = 0; i < entries.size(); ++i)
            order.push_back(i);
    std::string central;
    for (size_t k : order) {
        const HandEntry& e = entries[k];
        const std::string& name = e.central_name.empty() ? e.name : e.central_name;
        Le(central, 0x02014b50, 4);
        Le(central, 20, 2);
        SharedFields(central, e, name);
        Le(central, 0, 2);
        Le(central, 0, 2);
        Le(central, 0, 2);
        Le(central, 0, 2);
        Le(central, 0, 4);
        Le(central, at[k], 4);
        central += name;
    }
    const uint64_t cd_at = out.size();
    out += central;
    Le(out, 0x06054b50, 4);
    Le(out, 0, 2);
    Le(out, 0, 2);
    Le(out, count < 0 ? order.size() : (uint64_t)count, 2);
    Le(out, count < 0 ? order.size() : (uint64_t)count, 2);
    Le(out, central.size(), 4);
    Le(out, cd_at, 4);
    Le(out, 0, 2);
    return out;
}

HandEntry Renamed(HandEntry e, const std::string& central)
{
    e.central_name = central;
    return e;
}

}  // namespace

TEST_F(ZipTest, HostileArchivesAreRefusedBeforeAnythingIsWritten)
{
    const std::string longName = std::string(4200, 'x') + "/../../../../canary_long.txt";
    const std::string prefix255(255, 'y');
    // 1000 entries that each claim almost 4 GiB: more than any disk here.
    std::vector<HandEntry> claims = {{"small.txt", "s", 0}};
    for (int i = 0; i < 1000; ++i)
        claims.push_back({"huge" + std::to_string(i) + ".bin", "tiny", 0xFFFFFFF0ull});
    struct Case {
        const char* what;
        std::string archive;
        const char* cause;  // part of the cause line
    };
    const Case cases[] = {
        {"a long name that climbs out once cut", HandArchive({{longName, "evil", 0}}), "longer than 255"},
        {"two long names alike in their first 255 bytes",
         HandArchive({{prefix255 + "a", "one", 0}, {prefix255 + "b", "two", 0}}), "longer than 255"},
        {"a name cut at a zero byte", HandArchive({{std::string("a.txt\0.sh", 9), "x", 0}}), "zero byte"},
        {"a name that forges a log line", HandArchive({{"a\n[error]FAKE LINE", "x", 0}}), "control"},
        {"a name with DEL", HandArchive({{"a\x7f", "x", 0}}), "control"},
        {"a name that climbs out", HandArchive({{"good.txt", "g", 0}, {"../up.txt", "x", 0}}), "leaves"},
        {"central records sharing one stream",
         HandArchive({{"a.bin", std::string(4096, 'a'), 0}}, {0, 0, 0}), "overlap"},
        {"a declared size beyond any free space",
         HandArchive(claims), "free"},
        // The library reads only stored and deflated entries: a bzip2 entry
        // whose two sizes are equal would pass its raw bytes off as the data.
        {"bzip2 with equal sizes",
         HandArchive({{"sys/info.ini", "i", 0}, {"qspi/boot.bin", "b", 0}, {"sys/a", "a", 0},
                      {"sys/uImage", "BZh91AY&SY", 0, 12}}),
         "entry 3 \"sys/uImage\" uses compression method 12"},
        {"LZMA", HandArchive({{"a.bin", "]\0\0\x80\0", 0, 14}}), "entry 0 \"a.bin\" uses compression method 14"},
        {"deflate64", HandArchive({{"a.bin", "xyz", 0, 9}}), "uses compression method 9"},
        {"AES", HandArchive({{"a.bin", "0123456789abcdef", 0, 99, 1}}), "uses AES encryption (method 99)"},
        {"strong encryption", HandArchive({{"a.bin", "0123456789abcdef", 0, 8, 0x41}}), "uses strong encryption"},
        // No CRC covers the names: the central one must be the one the
        // entry's own header gives, or a damaged directory installs a file
        // under a name no one packed.
        {"a central name that differs from the local one",
         HandArchive({{"sys/info.ini", "i", 0}, Renamed({"app.elf", "e", 0}, "app.elg")}),
         "entry 1 \"app.elg\" is named otherwise in its local header"},
        {"a central name in a subdirectory", HandArchive({Renamed({"sys/uImage", "k", 0}, "sys/uImagd")}),
         "entry 0 \"sys/uImagd\" is named otherwise in its local header"},
        {"a central name of another length", HandArchive({Renamed({"a.bin", "a", 0}, "a.binx")}),
         "entry 0 has a damaged local header"},
        // An end record that counts no entries: every reader that goes by
        // the count finds the archive empty.
        {"records beyond an end record that counts none",
         HandArchive({{"plain.txt", "plain\n", 0}, {"e.txt", "e", 0}}, {}, 0),
         "the archive's directory holds more entries than its end record counts (0)"},
        // One that counts fewer: a reader that goes by the count leaves the
        // last entries out and calls the unpacking done.
        {"records beyond an end record that counts fewer",
         HandArchive({{"sys/info.ini", "i", 0}, {"plain.txt", "plain\n", 0}, {"sys/uImage", "k", 0}}, {}, 2),
         "the archive's directory holds more than the 2 entries its end record counts"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FsSandbox::RemoveTree(Real("/t"));
        Mkdir("/t");
        Put("/t/evil.zip", c.archive);
        std::set<std::string> before = AllPaths();
        std::string cause;
        EXPECT_FALSE(kivo::zip::UnzipToDir("/t/evil.zip", "/t/out", "", &cause));
        EXPECT_NE(cause.find(c.cause), std::string::npos) << cause;
        // Refused whole: not even the target directory was made.
        EXPECT_EQ(AllPaths(), before);
        // The cause is one line that an entry name cannot break.
        EXPECT_EQ(cause.find_first_of("\r\n"), std::string::npos) << cause;
    }
}

// Extracting one entry under a directory refuses the names unpacking a
// whole archive refuses, and writes nothing for them.
TEST_F(ZipTest, OneEntryUnderADirectoryRefusesTheNamesUnpackingRefuses)
{
    struct Case {
        const char* what;
        std::string name;
        bool extracted;
    };
    const Case cases[] = {
        {"a plain name", "sub/ok.txt", true},
        {"a long name that climbs out once cut", std::string(4200, 'x') + "/../../canary_long.txt", false},
        {"a name cut at a zero byte", std::string("a.txt\0.sh", 9), false},
        {"a name that forges a log line", "a\n[error]FAKE LINE", false},
        {"a name with DEL", "a\x7f", false},
        {"a name that climbs out", "../up.txt", false},
        {"an absolute name", "/abs.txt", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FsSandbox::RemoveTree(Real("/t"));
        Mkdir("/t");
        Put("/t/one.zip", HandArchive({{c.name, "body", 0}}));
        std::set<std::string> before = AllPaths();
        ZipReader reader;
        ASSERT_TRUE(reader.Open("/t/one.zip"));
        EXPECT_EQ(reader.ExtractCurrentEntryToDir("/t/out", ""), c.extracted);
        if (c.extracted) {
            EXPECT_EQ(Get("/t/out/" + c.name), "body");
        } else {
            EXPECT_EQ(AllPaths(), before);
        }
    }
}

// On Linux '\\' is an ordinary character of a name: an entry holding one
// unpacks as one file of that name, in the directory its '/' parts give,
// and no directory is made from the parts between '\\'.
TEST_F(ZipTest, BackslashNamesUnpackUnderTheirOwnName)
{
    struct Case {
        const char* what;
        std::vector<HandEntry> entries;
        std::vector<std::string> files;  // framework paths under /t/out, each holding its entry's bytes
        std::vector<std::string> dirs;   // every directory under /t/out
    };
    const Case cases[] = {
        {"top level", {{"ok.txt", "o", 0}, {"qspi\\boot.bin", "b", 0}}, {"ok.txt", "qspi\\boot.bin"}, {}},
        {"in a subdirectory", {{"sys/a\\b.txt", "ab", 0}}, {"sys/a\\b.txt"}, {"sys"}},
        {"a GBK name whose second byte is 0x5C", {{"\x81\x5c.txt", "g", 0}}, {"\x81\x5c.txt"}, {}},
        {"a directory entry", {{"x\\y/", "", 0}, {"x\\y/f.txt", "f", 0}}, {"x\\y/f.txt"}, {"x\\y"}},
        {"a directory made for a file", {{"p\\q/r\\s/t.txt", "t", 0}}, {"p\\q/r\\s/t.txt"}, {"p\\q", "p\\q/r\\s"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FsSandbox::RemoveTree(Real("/t"));
        Mkdir("/t");
        Put("/t/bs.zip", HandArchive(c.entries));
        std::string cause;
        ASSERT_TRUE(kivo::zip::UnzipToDir("/t/bs.zip", "/t/out", "", &cause)) << cause;
        std::set<std::string> expected = {"/t", "/t/bs.zip", "/t/out"};
        for (const std::string& d : c.dirs)
            expected.insert("/t/out/" + d);
        for (const std::string& f : c.files) {
            expected.insert("/t/out/" + f);
            for (const HandEntry& e : c.entries) {
                if (e.name == f) {
                    EXPECT_EQ(Get("/t/out/" + f), e.bytes) << f;
                }
            }
        }
        EXPECT_EQ(AllPaths(), expected);
    }
    // One entry alone under a directory, the same.
    Put("/bs.zip", HandArchive({{"qspi\\boot.bin", "b", 0}}));
    ZipReader reader("/bs.zip");
    EXPECT_TRUE(reader.ExtractCurrentEntryToDir("/bs", ""));
    EXPECT_EQ(Get("/bs/qspi\\boot.bin"), "b");
    EXPECT_FALSE(RawExists("/bs/qspi"));
}

// Whatever sink it goes to, an entry in a method the library cannot read
// fails instead of handing out its stored bytes.
TEST_F(ZipTest, UnreadableMethodsFailEverySink)
{
    for (uint16_t method : {12, 14, 9, 99}) {
        SCOPED_TRACE(method);
        Put("/m.zip", HandArchive({{"a.bin", "raw", 0, method}}));
        ZipReader reader("/m.zip");
        ASSERT_TRUE(reader.LocateEntry("a.bin", 1));
        std::string s = "kept";
        EXPECT_FALSE(reader.ExtractCurrentEntryToString(1 << 20, &s, ""));
        EXPECT_EQ(s, "kept");
        const std::string out = "/m" + std::to_string(method) + ".out";
        EXPECT_FALSE(reader.ExtractCurrentEntryToFilePath(out, ""));
        EXPECT_NE(Get(out), "raw");
    }
}

// Every failed unpacking says why, in one line: the archive, the entry, or
// the write and its system cause.
TEST_F(ZipTest, EveryFailureHasACause)
{
    {
        ZipWriter w("/empty.zip", ZipWriter::kCreate);
    }
    Put("/junk.zip", "this is not an archive at all");
    RawArchive("/plain.zip", {{"sys/uImage", Pattern(20000)}});
    Put("/crc.zip", HandArchive({{"a.bin", "data", 0, 0, 0, 0x1234}}));
    Put("/locked.zip", HandArchive({{"a.bin", "0123456789abcdef", 0, 0, 1}}));
    std::string z = Get("/plain.zip");
    z.resize(z.size() - 30);  // the end record cut: no central directory
    Put("/cut.zip", z);
    // The target of the one entry is the device that is always full.
    Mkdir("/full");
    Mkdir("/full/sys");
    ASSERT_EQ(symlink("/dev/full", Real("/full/sys/uImage").c_str()), 0);
    // A file where the entry's directory must go.
    Mkdir("/blocked");
    Put("/blocked/sys", "a file");
    struct Case {
        const char* zip;
        const char* dir;
        const char* password;
        const char* cause;
    };
    const Case cases[] = {
        {"/empty.zip", "/o1", "", "the archive holds no entries"},
        {"/missing.zip", "/o2", "", "cannot open /missing.zip: No such file or directory"},
        {"/junk.zip", "/o3", "", "/junk.zip is not a zip archive"},
        {"/cut.zip", "/o4", "", "/cut.zip is not a zip archive"},
        {"/crc.zip", "/o5", "", "entry 0 \"a.bin\" fails its CRC check"},
        {"/locked.zip", "/o6", "", "entry 0 \"a.bin\" is encrypted and no password was given"},
        {"/locked.zip", "/o7", "pw", "(or the password is wrong)"},
        {"/plain.zip", "/full", "", "cannot write /full/sys/uImage: No space left on device"},
        {"/plain.zip", "/blocked", "", "cannot make the directory /blocked/sys"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.zip) + " into " + c.dir);
        std::string cause;
        EXPECT_FALSE(kivo::zip::UnzipToDir(c.zip, c.dir, c.password, &cause));
        EXPECT_NE(cause.find(c.cause), std::string::npos) << cause;
        EXPECT_EQ(cause.find_first_of("\r\n"), std::string::npos) << cause;
    }
}

TEST_F(ZipTest, ColonNamesStayInsideTheTarget)
{
    Mkdir("/t");
    Put("/t/colon.zip",
        HandArchive({{"x:opt/app_disk/planted/", "", 0},
                     {"evil:esc/deeper/x.txt", "inside", 0},
                     {"notes:readme.txt", "notes", 0},
                     {"readme.txt", "readme", 0},
                     {"d/new:kernel.bin", "kernel", 0}}));
    std::set<std::string> before = AllPaths();
    EXPECT_TRUE(kivo::zip::UnzipToDir("/t/colon.zip", "/t/out", ""));
    std::set<std::string> made;
    for (const std::string& p : AllPaths()) {
        if (before.count(p) == 0)
            made.insert(p);
    }
    // Each under its own name, and no directory named by a name's part
    // before its ':' ("/t/out/notes:", "/t/out/d/new:").
    const std::set<std::string> expected = {
        "/t/out", "/t/out/x:opt", "/t/out/x:opt/app_disk", "/t/out/x:opt/app_disk/planted", "/t/out/evil:esc",
        "/t/out/evil:esc/deeper", "/t/out/evil:esc/deeper/x.txt", "/t/out/notes:readme.txt", "/t/out/readme.txt",
        "/t/out/d", "/t/out/d/new:kernel.bin"};
    EXPECT_EQ(made, expected);
    EXPECT_EQ(Get("/t/out/evil:esc/deeper/x.txt"), "inside");
    EXPECT_EQ(Get("/t/out/notes:readme.txt"), "notes");
    EXPECT_EQ(Get("/t/out/readme.txt"), "readme");
    EXPECT_EQ(Get("/t/out/d/new:kernel.bin"), "kernel");
    EXPECT_FALSE(RawExists("/opt"));
    EXPECT_FALSE(RawExists("/esc"));
}

TEST_F(ZipTest, PasswordOpensOnlyTheEncryptedEntries)
{
    // A package mixing plain and encrypted entries: the password must not
    // be applied to the plain ones (they would fail, or unpack as garbage).
    Mkdir("/t");
    zlib_filefunc64_def ff;
    kivo_zip_fill_filefunc64(&ff);
    zipFile zf = zipOpen2_64("/t/mixed.zip", APPEND_STATUS_CREATE, nullptr, &ff);
    ASSERT_NE(zf, nullptr);
    const std::string plain = "plain text\n";
    const std::string secret = Pattern(5000);
    struct Add {
        const char* name;
        const std::string* bytes;
        const char* password;
    };
    for (const Add& a : {Add{"sys/info.ini", &plain, nullptr}, Add{"sys/app.bin", &secret, "kth507316"}}) {
        zip_fileinfo zi;
        memset(&zi, 0, sizeof(zi));
        zi.tmz_date.tm_mday = 1;
        zi.tmz_date.tm_year = 2020;
        const uLong crc = crc32(0, (const Bytef*)a.bytes->data(), (uInt)a.bytes->size());
        ASSERT_EQ(zipOpenNewFileInZip3(zf, a.name, &zi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 6, 0,
                                       -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, a.password, crc),
                  ZIP_OK);
        ASSERT_EQ(zipWriteInFileInZip(zf, a.bytes->data(), (unsigned)a.bytes->size()), ZIP_OK);
        ASSERT_EQ(zipCloseFileInZip(zf), ZIP_OK);
    }
    ASSERT_EQ(zipClose(zf, nullptr), ZIP_OK);

    EXPECT_FALSE(kivo::zip::UnzipToDir("/t/mixed.zip", "/t/out", ""));
    FsSandbox::RemoveTree(Real("/t/out"));
    ASSERT_TRUE(kivo::zip::UnzipToDir("/t/mixed.zip", "/t/out", "kth507316"));
    EXPECT_EQ(Get("/t/out/sys/info.ini"), plain);
    EXPECT_EQ(Get("/t/out/sys/app.bin"), secret);
}

// ---- minizip's file access over the virtual file system

TEST_F(ZipTest, FileFunctionTableGoesThroughFramework)
{
    zlib_filefunc64_def ff;
    kivo_zip_fill_filefunc64(&ff);
    EXPECT_EQ(ff.opaque, nullptr);
    EXPECT_EQ(ff.zopen64_file(nullptr, nullptr, ZLIB_FILEFUNC_MODE_READ), nullptr);
    EXPECT_EQ(ff.zopen64_file(nullptr, "/none", ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING),
              nullptr);
    EXPECT_EQ(ff.zopen64_file(nullptr, "/none", ZLIB_FILEFUNC_MODE_WRITE), nullptr);  // no create bit

    voidpf s = ff.zopen64_file(nullptr, "/f.bin", ZLIB_FILEFUNC_MODE_WRITE | ZLIB_FILEFUNC_MODE_CREATE);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ff.zwrite_file(nullptr, s, "abcdef", 6), 6u);
    EXPECT_EQ(ff.ztell64_file(nullptr, s), 6u);
    EXPECT_EQ(ff.zseek64_file(nullptr, s, 2, ZLIB_FILEFUNC_SEEK_SET), 0);
    EXPECT_EQ(ff.zseek64_file(nullptr, s, 0, 7), -1);
    char buf[8] = {0};
    EXPECT_EQ(ff.zread_file(nullptr, s, buf, 8), 0u);  // write-only
    EXPECT_EQ(ff.zclose_file(nullptr, s), 0);
    EXPECT_EQ(Get("/f.bin"), "abcdef");

    s = ff.zopen64_file(nullptr, "/f.bin", ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ff.zseek64_file(nullptr, s, 0, ZLIB_FILEFUNC_SEEK_END), 0);
    EXPECT_EQ(ff.ztell64_file(nullptr, s), 6u);
    EXPECT_EQ(ff.zseek64_file(nullptr, s, 3, ZLIB_FILEFUNC_SEEK_SET), 0);
    EXPECT_EQ(ff.zseek64_file(nullptr, s, 1, ZLIB_FILEFUNC_SEEK_CUR), 0);
    EXPECT_EQ(ff.ztell64_file(nullptr, s), 4u);
    EXPECT_EQ(ff.zread_file(nullptr, s, buf, 8), 2u);
    EXPECT_EQ(std::string(buf, 2), "ef");
    EXPECT_EQ(ff.zclose_file(nullptr, s), 0);
    EXPECT_EQ(ff.zread_file(nullptr, nullptr, buf, 8), 0u);
}

// The native file system with every read, seek and write counted; a read
// can be made to fail (error 5) by its number, counted from 1, and so can
// every read or seek from one on (a medium that went bad); a write can be
// made to fail (error 28, a full disk) by its number.
struct CountingFs {
    static int reads;
    static int seeks;
    static int writes;
    static int fail_read;
    static bool reads_stay_failed;
    static int fail_seeks_from;
    static int fail_write;
    static kivo_fs_ops_t ops;
    static std::string root;

    static kivo_err_t Read(void* ctx, intptr_t fh, void* buffer, size_t size, ssize_t* done)
    {
        ++reads;
        if (reads == fail_read || (reads_stay_failed && fail_read > 0 && reads > fail_read)) {
            *done = -1;
            return 5;
        }
        return platform_file_ops.read(ctx, fh, buffer, size, done);
    }
    static kivo_err_t Write(void* ctx, intptr_t fh, const void* buffer, size_t size, ssize_t* done)
    {
        if (++writes == fail_write) {
            *done = -1;
            return 28;
        }
        return platform_file_ops.write(ctx, fh, buffer, size, done);
    }
    static bool SeekFails() { return ++seeks >= fail_seeks_from && fail_seeks_from > 0; }
    static kivo_err_t Seek64(void* ctx, intptr_t fh, int64_t offset, int whence, int64_t* result)
    {
        if (SeekFails())
            return 5;
        return platform_file_ops.lseek64(ctx, fh, offset, whence, result);
    }
    static kivo_err_t Seek(void* ctx, intptr_t fh, off_t offset, int whence, off_t* result)
    {
        if (SeekFails())
            return 5;
        return platform_file_ops.lseek(ctx, fh, offset, whence, result);
    }

    // Mounted over the sandbox's root in place of the plain one.
    static void Mount(const std::string& sandbox, int failRead, bool stayFailed = false, int failSeeksFrom = 0,
                      int failWrite = 0)
    {
        root = sandbox;  // the mount keeps the pointer
        ops = platform_file_ops;
        ops.read = Read;
        ops.write = Write;
        ops.lseek = Seek;
        ops.lseek64 = Seek64;
        reads = 0;
        seeks = 0;
        writes = 0;
        fail_read = failRead;
        reads_stay_failed = stayFailed;
        fail_seeks_from = failSeeksFrom;
        fail_write = failWrite;
        ASSERT_EQ(kivo_mount("/system", &ops, (void*)root.c_str(), nullptr), 0);
    }
};

int CountingFs::reads = 0;
int CountingFs::seeks = 0;
int CountingFs::writes = 0;
int CountingFs::fail_read = 0;
bool CountingFs::reads_stay_failed = false;
int CountingFs::fail_seeks_from = 0;
int CountingFs::fail_write = 0;
kivo_fs_ops_t CountingFs::ops;
std::string CountingFs::root;

std::vector<std::pair<std::string, std::string>> ManySmallEntries(int count)
{
    std::vector<std::pair<std::string, std::string>> entries;
    for (int i = 0; i < count; ++i)
        entries.push_back({"d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".txt",
                           "entry " + std::to_string(i) + " " + FsSandbox::Pattern(static_cast<size_t>(i % 50))});
    return entries;
}

// minizip reads a header a field at a time, many fields a byte at a time:
// through the framework's read buffer an entry costs a few reads and seeks
// of the archive, not hundreds.
TEST_F(ZipTest, UnpackingReadsTheArchiveInFewCalls)
{
    const auto entries = ManySmallEntries(300);
    RawArchive("/many.zip", entries);
    CountingFs::Mount(Real(""), 0);
    ASSERT_TRUE(kivo::zip::UnzipToDir("/many.zip", "/out", ""));
    const int reads = CountingFs::reads, seeks = CountingFs::seeks;
    for (const auto& e : entries)
        ASSERT_EQ(Get("/out/" + e.first), e.second) << e.first;
    EXPECT_LE(reads, 6 * (int)entries.size()) << "seeks " << seeks;
    EXPECT_LE(seeks, 6 * (int)entries.size()) << "reads " << reads;
}

// A failing read of the archive fails the unpacking, or is one that minizip
// can do without (its searches for the central directory, its own first
// look at the first entry) and the tree comes out whole; every read after
// the archive was opened counts. The buffer must neither hide a failure nor
// serve bytes it did not get.
TEST_F(ZipTest, AFailingReadOfTheArchiveFailsTheUnpackingOrChangesNothing)
{
    const auto entries = ManySmallEntries(40);
    RawArchive("/many.zip", entries);
    CountingFs::Mount(Real(""), 0);
    {
        ZipReader reader("/many.zip");
        ASSERT_EQ(reader.GetEntryCount(), 40);
    }
    const int opening = CountingFs::reads;
    ASSERT_TRUE(kivo::zip::UnzipToDir("/many.zip", "/all", ""));
    const int total = CountingFs::reads - opening;
    ASSERT_GT(total, opening);
    for (int k = 1; k <= total; ++k) {
        CountingFs::Mount(Real(""), k);
        const std::string dir = "/fail" + std::to_string(k);
        if (!kivo::zip::UnzipToDir("/many.zip", dir, "")) {
            EXPECT_GE(CountingFs::reads, k);
            continue;
        }
        EXPECT_LE(k, opening) << "read " << k << " failed unnoticed";
        for (const auto& e : entries)
            ASSERT_EQ(Get(dir + "/" + e.first), e.second) << "read " << k << ": " << e.first;
    }
}

// A package that cannot be read is not "not a zip archive": the cause names
// the step that failed and the system's cause, whether the medium fails
// from the first read or seek on, or in the middle of the entries. The
// file-function table hands the failure to the library with its errno.
TEST_F(ZipTest, AnArchiveThatCannotBeReadSaysSo)
{
    const auto entries = ManySmallEntries(40);
    RawArchive("/many.zip", entries);
    CountingFs::Mount(Real(""), 0);
    ASSERT_TRUE(kivo::zip::UnzipToDir("/many.zip", "/all", ""));
    const int reads = CountingFs::reads;
    struct Case {
        const char* what;
        int fail_read;
        int fail_seeks_from;
        const char* cause;
    };
    const Case cases[] = {
        {"every read", 1, 0, "cannot read /many.zip: Input/output error"},
        {"every seek", 0, 1, "cannot seek in /many.zip: Input/output error"},
        {"every read from the middle on", reads / 2, 0, "Input/output error"},
        {"the last reads", reads - 1, 0, "Input/output error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CountingFs::Mount(Real(""), c.fail_read, true, c.fail_seeks_from);
        std::string cause;
        EXPECT_FALSE(kivo::zip::UnzipToDir("/many.zip", "/o", "", &cause));
        EXPECT_NE(cause.find(c.cause), std::string::npos) << cause;
        EXPECT_EQ(cause.find("not a zip archive"), std::string::npos) << cause;
    }

    // The table itself: a failed read, seek or open leaves its errno for
    // the library's error callback.
    zlib_filefunc64_def ff;
    kivo_zip_fill_filefunc64(&ff);
    CountingFs::Mount(Real(""), 0);
    voidpf s = ff.zopen64_file(nullptr, "/many.zip", ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING);
    ASSERT_NE(s, nullptr);
    CountingFs::Mount(Real(""), 1, true, 1);
    char buf[16];
    errno = 0;
    EXPECT_EQ(ff.zread_file(nullptr, s, buf, sizeof buf), 0u);
    EXPECT_EQ(ff.zerror_file(nullptr, s), EIO);
    errno = 0;
    EXPECT_EQ(ff.zseek64_file(nullptr, s, 100, ZLIB_FILEFUNC_SEEK_SET), -1);
    EXPECT_EQ(ff.zerror_file(nullptr, s), EIO);
    errno = 0;
    EXPECT_EQ(ff.ztell64_file(nullptr, s), (ZPOS64_T)-1);
    EXPECT_EQ(ff.zerror_file(nullptr, s), EIO);
    EXPECT_EQ(ff.zclose_file(nullptr, s), 0);
    errno = 0;
    EXPECT_EQ(ff.zopen64_file(nullptr, "/none.zip", ZLIB_FILEFUNC_MODE_READ | ZLIB_FILEFUNC_MODE_EXISTING), nullptr);
    EXPECT_EQ(ff.zerror_file(nullptr, nullptr), ENOENT);
}

// The central directory and the end record are the last writes of an
// archive, made when the writer closes: whichever of them fails, the
// zipping fails, instead of leaving an archive that cannot be opened
// reported as made; ZipWriter::Close says so itself. (A failing write of an
// entry fails it already.)
TEST_F(ZipTest, AFailingWriteOfTheCentralDirectoryFailsTheZipping)
{
    MakeTree("/src");
    struct Case {
        const char* what;
        bool skip_hidden;  // ZipDirSkipHidden, else ZipDir
        const char* password;
    };
    const Case cases[] = {
        {"ZipDir", false, ""},
        {"ZipDir with a password", false, "pw"},
        {"ZipDirSkipHidden", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The same writes as the zipping makes: first those of the entries.
        CountingFs::Mount(Real(""), 0);
        int entries = 0;
        {
            ZipWriter w("/pkg.zip", ZipWriter::kCreate);
            ASSERT_TRUE(w.AddDirRecursive("/src", "", nullptr, c.password, 6));
            entries = CountingFs::writes;
            EXPECT_TRUE(w.Close());
            EXPECT_TRUE(w.Close());  // nothing open: nothing fails
        }
        const int writes = CountingFs::writes;
        ASSERT_GT(writes, entries);
        auto zip = [&c]() {
            return c.skip_hidden
                       ? kivo::zip::ZipDirSkipHidden("/src", "/pkg.zip", false, c.password, ZipWriter::kCreate, 6)
                       : kivo::zip::ZipDir("/src", "/pkg.zip", kivo::Function1<bool, const std::string&>(),
                                           c.password, ZipWriter::kCreate, 6);
        };
        CountingFs::Mount(Real(""), 0);
        ASSERT_TRUE(zip());
        ASSERT_EQ(CountingFs::writes, writes);
        ASSERT_TRUE(kivo::zip::UnzipToDir("/pkg.zip", "/whole", c.password));
        for (int k = entries + 1; k <= writes; ++k) {
            CountingFs::Mount(Real(""), 0, false, 0, k);
            EXPECT_FALSE(zip()) << "write " << k << " of " << writes << " failed unnoticed";
            EXPECT_GE(CountingFs::writes, k);  // the planned write was made
            CountingFs::Mount(Real(""), 0, false, 0, k);
            ZipWriter w("/pkg.zip", ZipWriter::kCreate);
            ASSERT_TRUE(w.AddDirRecursive("/src", "", nullptr, c.password, 6));
            EXPECT_FALSE(w.Close()) << "write " << k << " of " << writes << " failed unnoticed";
        }
    }
}

// ---- durable unpacking

// Asked to be durable, the unpacking flushes every file it wrote after its
// last write, and every directory that gained an entry after that entry was
// made, before it returns; each failing flush fails it with the path and
// the cause. Not asked, it flushes nothing (the package's own unpacking
// into the work directory must not get slower).
TEST_F(ZipTest, DurableUnpackingFlushesEveryFileAndEveryChangedDirectory)
{
    Mkdir("/t");
    RawArchive("/t/app.zip", {{"a.txt", "alpha"},
                              {"sub/deep/b.bin", Pattern(20000)},
                              {"sub/c.txt", "gamma"},
                              {"empty/", ""},
                              {"q\\r/s.txt", "backslash"}});
    // An existing target with a file that stays and one that is rewritten.
    Mkdir("/t/old");
    Put("/t/old/keep.txt", "keep");
    Put("/t/old/a.txt", "an older and longer a.txt");
    FlushLog& log = FlushLog::Get();
    ASSERT_EQ(kivo_mount("/system", &FlushLog::Ops(), (void*)_root.c_str(), nullptr), 0);
    for (const char* dir : {"/t/new", "/t/old"}) {
        SCOPED_TRACE(dir);
        log.Reset();
        std::string cause;
        ASSERT_TRUE(kivo::zip::UnzipToDir("/t/app.zip", dir, "", &cause, kivo::zip::kUnzipDurable)) << cause;
        const std::string d = dir;
        EXPECT_EQ(Get(d + "/sub/deep/b.bin"), Pattern(20000));
        for (const char* file : {"/a.txt", "/sub/deep/b.bin", "/sub/c.txt", "/q\\r/s.txt"}) {
            const std::string path = d + file;
            ASSERT_EQ(log.last_write.count(path), 1u) << path;
            ASSERT_EQ(log.flushed.count(path), 1u) << path << " not flushed";
            EXPECT_GT(log.flushed[path], log.last_write[path]) << path << " flushed before its last write";
        }
        ASSERT_FALSE(log.created.empty());
        for (const auto& made : log.created) {
            const std::string parent = made.first.substr(0, made.first.rfind('/'));
            ASSERT_EQ(log.flushed.count(parent), 1u) << parent << " gained " << made.first << " unflushed";
            EXPECT_GT(log.flushed[parent], made.second) << parent << " flushed before " << made.first;
        }
    }
    // "/t" gained "/t/new"; nothing above it changed.
    log.Reset();
    ASSERT_TRUE(kivo::zip::UnzipToDir("/t/app.zip", "/t/new2", "", nullptr, kivo::zip::kUnzipDurable));
    EXPECT_EQ(log.flushed.count("/t"), 1u);
    EXPECT_EQ(log.flushed.count("/"), 0u);

    // Not asked: no flush at all.
    log.Reset();
    ASSERT_TRUE(kivo::zip::UnzipToDir("/t/app.zip", "/t/plain", ""));
    EXPECT_EQ(log.flushes, 0);

    // A flush that fails, of a file or of a directory, fails the unpacking
    // with its path and cause.
    for (const char* failing : {"/t/f1/sub/c.txt", "/t/f2/sub/deep", "/t/f3"}) {
        SCOPED_TRACE(failing);
        const std::string top = std::string(failing).substr(0, 5);
        log.Reset(failing);
        std::string cause;
        EXPECT_FALSE(kivo::zip::UnzipToDir("/t/app.zip", top, "", &cause, kivo::zip::kUnzipDurable));
        EXPECT_NE(cause.find(std::string(failing) + ": Input/output error"), std::string::npos) << cause;
        EXPECT_EQ(cause.find_first_of("\r\n"), std::string::npos) << cause;
    }
    log.Reset();
    kivo_umount("/system");
    ASSERT_EQ(kivo_mount("/system", &platform_file_ops, (void*)_root.c_str(), nullptr), 0);
}

// An entry whose stream ends before its recorded size: the library skips
// the CRC check then, so the short data must not pass as the entry.
TEST_F(ZipTest, EntryEndingBeforeItsRecordedSizeFails)
{
    RawArchive("/short.zip", {{"f.bin", Pattern(5000)}});
    std::string z = Get("/short.zip");
    auto grow = [&z](size_t at) {
        uint32_t v;
        memcpy(&v, &z[at], 4);
        ASSERT_EQ(v, 5000u);
        v += 100;
        memcpy(&z[at], &v, 4);
    };
    grow(22);  // local header: uncompressed size
    size_t central = z.find(std::string("PK\x01\x02", 4));
    ASSERT_NE(central, std::string::npos);
    grow(central + 24);
    Put("/short.zip", z);

    ZipReader reader("/short.zip");
    ASSERT_TRUE(reader.LocateEntry("f.bin", 1));
    std::string s = "kept";
    EXPECT_FALSE(reader.ExtractCurrentEntryToString(1 << 20, &s, ""));
    EXPECT_EQ(s, "kept");
    EXPECT_FALSE(kivo::zip::UnzipToDir("/short.zip", "/out", ""));
}

// ---- interoperation with Info-ZIP

struct InfoZipCase {
    const char* flags;  // "-0" stored, "" deflated
};

class ZipInfoZip : public ZipTest, public ::testing::WithParamInterface<InfoZipCase> {};

TEST_P(ZipInfoZip, ReadsPasswordArchiveWrittenByInfoZip)
{
    if (!HaveInfoZip())
        GTEST_SKIP() << "zip/unzip not installed";
    MakeTree("/src");
    std::string cmd = "cd '" + Real("/src") + "' && zip -q -r -P secret " + GetParam().flags + " '" +
                      Real("/pkg.zip") + "' . >/dev/null 2>&1";
    ASSERT_EQ(system(cmd.c_str()), 0);
    ASSERT_TRUE(kivo::zip::UnzipToDir("/pkg.zip", "/out", "secret"));
    ExpectTree("/out");
    EXPECT_FALSE(kivo::zip::UnzipToDir("/pkg.zip", "/none", ""));
    EXPECT_FALSE(kivo::zip::UnzipToDir("/pkg.zip", "/wrong", "secreT"));

    // Each protected entry alone: a wrong password fails it, whether minizip
    // notices in inflate (deflated) or only at the CRC (stored).
    ZipReader reader("/pkg.zip");
    ASSERT_TRUE(reader.LocateEntry("sub/big.bin", 1));
    std::string s;
    // Any wrong password, many times over: one in 256 passes the header's
    // check byte, and its garbage must still be refused.
    for (int i = 0; i < 600; ++i)
        EXPECT_FALSE(reader.ExtractCurrentEntryToString(1 << 20, &s, "wrong" + std::to_string(i))) << i;
    for (const char* pw : {"", "x", "secret!", "wrong-password"})
        EXPECT_FALSE(reader.ExtractCurrentEntryToString(1 << 20, &s, pw)) << pw;
    ASSERT_TRUE(reader.ExtractCurrentEntryToString(1 << 20, &s, "secret"));
    EXPECT_EQ(s, Pattern(20000));
}

INSTANTIATE_TEST_SUITE_P(Methods, ZipInfoZip, ::testing::Values(InfoZipCase{"-0"}, InfoZipCase{""}),
                         [](const ::testing::TestParamInfo<InfoZipCase>& i) {
                             return std::string(*i.param.flags ? "Stored" : "Deflated");
                         });

TEST_F(ZipTest, InfoZipReadsPasswordArchiveWeWrote)
{
    if (!HaveInfoZip())
        GTEST_SKIP() << "zip/unzip not installed";
    MakeTree("/src");
    ASSERT_TRUE(kivo::zip::ZipDirSkipHidden("/src", "/pkg.zip", false, "secret", ZipWriter::kCreate, 6));
    std::string wrong = "unzip -qq -P nope -d '" + Real("/bad") + "' '" + Real("/pkg.zip") +
                        "' >/dev/null 2>&1 </dev/null";
    EXPECT_NE(system(wrong.c_str()), 0);
    std::string cmd = "unzip -qq -P secret -d '" + Real("/out") + "' '" + Real("/pkg.zip") +
                      "' >/dev/null 2>&1 </dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0);
    ExpectTree("/out");
}

}  // namespace
