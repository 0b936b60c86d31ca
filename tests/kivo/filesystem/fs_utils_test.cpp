#include "kivo/filesystem/fs_utils.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/kivo/filesystem/failing_fs.h"
#include "tests/kivo/filesystem/fs_test_sandbox.h"

namespace fs = kivo::filesystem;
using kivo::PathParts;
using kivo::filesystem::File;

namespace {

// ---- path pieces (no file system)

struct SplitCase {
    const char* path;
    const char* drive;
    const char* dir;
    const char* name;
    const char* ext;
    const char* dir_path;  // PathParts::DirPath / GetDirOfPath(path, true)
};

TEST(PathPartsTest, SplitTable)
{
    const SplitCase cases[] = {
        {"C:\\a\\b.tar.gz", "C:", "\\a\\", "b.tar", ".gz", "C:\\a"},
        {"/opt/sys_disk/app.elf", "", "/opt/sys_disk/", "app", ".elf", "/opt/sys_disk"},
        {"/opt//x/", "", "/opt//x/", "", "", "/opt//x"},
        {"/a.txt", "", "/", "a", ".txt", ""},
        {"name", "", "", "name", "", ""},
        {"dir.d/file", "", "dir.d/", "file", "", "dir.d"},
        {"", "", "", "", "", ""},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.path);
        PathParts p(c.path);
        EXPECT_EQ(p.GetPath(), c.path);
        EXPECT_EQ(p.GetDrive(), c.drive);
        EXPECT_EQ(p.GetDir(), c.dir);
        EXPECT_EQ(p.GetName(), c.name);
        EXPECT_EQ(p.GetExt(), c.ext);
        EXPECT_EQ(p.GetFileName(), std::string(c.name) + c.ext);
        EXPECT_EQ(p.DirPath(), c.dir_path);
        EXPECT_EQ(fs::GetDirOfPath(c.path, true), c.dir_path);
        EXPECT_EQ(fs::GetDirOfPath(c.path, false), std::string(c.drive) + c.dir);
        EXPECT_EQ(fs::GetFileNameOfPath(c.path), std::string(c.name) + c.ext);
    }
    // Device paths split at the last '/' only; SplitPath's drive and '\\'
    // stay with the functions above.
    const struct {
        const char* path;
        const char* dir;
        const char* name;
    } device[] = {
        {"/tmp/update/notes:readme.txt", "/tmp/update", "notes:readme.txt"},
        {"/tmp/update/sys/new:kernel.bin", "/tmp/update/sys", "new:kernel.bin"},
        {"/tmp/update/a\\b.txt", "/tmp/update", "a\\b.txt"},
        {"C:\\a\\b.tar.gz", "", "C:\\a\\b.tar.gz"},
        {"/opt//x", "/opt", "x"},
        {"/a.txt", "", "a.txt"},
        {"name", "", "name"},
        {"dir/", "dir", ""},
        {"", "", ""},
    };
    for (const auto& d : device) {
        SCOPED_TRACE(d.path);
        EXPECT_EQ(fs::DeviceDirOfPath(d.path), d.dir);
        EXPECT_EQ(fs::DeviceFileName(d.path), d.name);
    }
    EXPECT_EQ(fs::GetFileNameOfPath("/tmp/update/notes:readme.txt"), "readme.txt");
    PathParts p("/x/y.z");
    p.SetPath("/q/r.s");
    EXPECT_EQ(p.GetDir(), "/q/");
    EXPECT_EQ(fs::ReplaceFileName("/q/r.s", "new.bin"), "/q/new.bin");
    EXPECT_EQ(fs::ReplaceFileName("r.s", "new.bin"), "new.bin");
}

TEST(PathPartsTest, NamesAndNormalising)
{
    EXPECT_TRUE(fs::IsValidName("update.elf"));
    for (const char* bad : {"a\\b", "a/b", "c:", "*", "?", "\"q\"", "<", ">", "|"})
        EXPECT_FALSE(fs::IsValidName(bad)) << bad;
    EXPECT_EQ(fs::NormalizePath("C:\\a\\\\b/c"), "C:/a//b/c");
}

class CwdGuard {
public:
    CwdGuard() : _saved(fs::GetCurrentDir()) {}
    ~CwdGuard() { fs::SetCurrentDir(_saved); }

private:
    std::string _saved;
};

class FsUtilsTest : public FsSandbox {};

TEST_F(FsUtilsTest, FullPathTable)
{
    CwdGuard guard;
    // The working directory is the process's own, not under the root prefix.
    ASSERT_TRUE(fs::SetCurrentDir(_root));
    const std::string w = fs::GetCurrentDir();
    ASSERT_FALSE(w.empty());
    const std::pair<const char*, std::string> cases[] = {
        {"a/./b/../c", w + "/a/c"},
        {"a\\b\\..\\c.txt", w + "/a/c.txt"},
        {"/x//y/../z", "/x/z"},
        {"/x/./y/", "/x/y/"},
        {"/../../..", "/"},
        {"/a/b/../../../c", "/c"},
        {"C:\\a\\..\\..\\b", "C:/b"},
        {"", ""},
        {"   ", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fs::GetFullPath(c.first), c.second) << c.first;
    EXPECT_FALSE(fs::GetExeDir().empty());
    EXPECT_FALSE(fs::SetCurrentDir(_root + "/missing"));
}

// ---- state tests and single operations

TEST_F(FsUtilsTest, StateTests)
{
    Put("/f", "x");
    Mkdir("/d");
    Link(Real("/f"), "/lf");
    Link(Real("/d"), "/ld");
    ASSERT_EQ(mkfifo(Real("/fifo").c_str(), 0600), 0);
    struct {
        const char* path;
        bool exists, file, dir;
    } cases[] = {
        {"/f", true, true, false},     {"/d", true, false, true},
        {"/lf", true, true, false},    {"/ld", true, false, true},
        {"/fifo", true, true, false},  {"/none", false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(fs::Exists(c.path), c.exists);
        EXPECT_EQ(fs::IsFile(c.path), c.file);
        EXPECT_EQ(fs::IsDir(c.path), c.dir);
    }
}

TEST_F(FsUtilsTest, MoveFileNeverReplacesAFile)
{
    Put("/a", "from");
    Put("/b", "target");
    kivo_err_t err = 0;
    EXPECT_FALSE(fs::MoveFile("/a", "/b", &err));
    EXPECT_EQ(err, EEXIST);
    EXPECT_EQ(Get("/a"), "from");
    EXPECT_EQ(Get("/b"), "target");
    EXPECT_FALSE(fs::MoveFile("/a", "/a"));
    EXPECT_EQ(Get("/a"), "from");

    EXPECT_TRUE(fs::MoveFile("/a", "/c"));
    EXPECT_FALSE(RawExists("/a"));
    EXPECT_EQ(Get("/c"), "from");
    EXPECT_FALSE(fs::MoveFile("/missing", "/d", &err));
    EXPECT_EQ(err, ENOENT);
    EXPECT_TRUE(fs::MoveFile("/c", "/e", &err));
    EXPECT_EQ(err, 0);
}

TEST_F(FsUtilsTest, SingleOperations)
{
    EXPECT_TRUE(fs::MakeDir("/d"));
    EXPECT_FALSE(fs::MakeDir("/d"));
    Put("/d/f", "x");
    EXPECT_FALSE(fs::RemoveEmptyDir("/d"));
    EXPECT_TRUE(fs::RemoveFile("/d/f"));
    EXPECT_FALSE(fs::RemoveFile("/d/f"));
    EXPECT_TRUE(fs::RemoveEmptyDir("/d"));
    EXPECT_FALSE(RawExists("/d"));
}

// ---- text files

TEST_F(FsUtilsTest, ReadTextFileMarks)
{
    struct {
        std::string bytes;
        std::string with_bom;  // text when a mark is asked for
        fs::BomFlag mark;
    } cases[] = {
        {"\xEF\xBB\xBFhello", "hello", fs::kBomUtf8},
        {"\xFF\xFEh\0i\0", "h", fs::kBomUtf16Le},
        {"\xFE\xFF\0h", "", fs::kBomUtf16Be},
        {"plain", "plain", fs::kBomNone},
        {"\xEF\xBB", "\xEF\xBB", fs::kBomNone},
        {"", "", fs::kBomNone},
        {std::string("ab\0cd", 5), "ab", fs::kBomNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        Put("/t.txt", c.bytes);
        std::string text = "old";
        fs::BomFlag bom = {{9, 9, 9, 9}};
        ASSERT_TRUE(fs::ReadTextFile("/t.txt", text, &bom));
        EXPECT_EQ(text, c.with_bom);
        EXPECT_EQ(std::vector<uint8_t>(bom.bytes, bom.bytes + 4),
                  std::vector<uint8_t>(c.mark.bytes, c.mark.bytes + 4));
        // Without a mark record the bytes stay (up to the first NUL).
        ASSERT_TRUE(fs::ReadTextFile("/t.txt", text, nullptr));
        EXPECT_EQ(text, std::string(c.bytes.c_str()));
    }
    std::string text;
    EXPECT_FALSE(fs::ReadTextFile("/missing", text, nullptr));
}

// A read that fails, at once or after some bytes came, and a seek past the
// mark that fails make the whole read fail with their cause: the text would
// be short, or keep or lose bytes at its start. Text and mark stay as the
// caller had them.
TEST_F(FsUtilsTest, ReadTextFileFailsOnAFailedReadOrSeek)
{
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    const std::string marked = "\xEF\xBB\xBFhello world";
    const std::string plain = "plain text here";
    Put("/marked.txt", marked);
    Put("/plain.txt", plain);
    struct Case {
        const char* what;
        const char* path;
        bool with_bom;
        FailingFs::Call call;
        int pass;  // calls of that kind that pass before it fails
        kivo_err_t err;
        const char* text;  // once the medium reads again
    };
    // Reads come 4 bytes a call: the mark takes one, the text several.
    const Case cases[] = {
        {"the mark's read", "/marked.txt", true, FailingFs::kRead, 0, EIO, "hello world"},
        {"the first read", "/plain.txt", false, FailingFs::kRead, 0, EIO, "plain text here"},
        {"a read amid the text", "/plain.txt", false, FailingFs::kRead, 1, EBADMSG, "plain text here"},
        {"a read amid the text after the mark", "/marked.txt", true, FailingFs::kRead, 2, EIO, "hello world"},
        {"the last read", "/marked.txt", false, FailingFs::kRead, 3, EIO, "\xEF\xBB\xBFhello world"},
        {"the seek past a mark", "/marked.txt", true, FailingFs::kSeek, 0, ESPIPE, "hello world"},
        {"the seek back without a mark", "/plain.txt", true, FailingFs::kSeek, 0, EIO, "plain text here"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FailingFs::ReadChunk() = 4;
        FailingFs::FailNext(c.call, c.err, "", c.pass);
        std::string text = "untouched";
        fs::BomFlag bom = {{9, 9, 9, 9}};
        kivo_err_t err = -1;
        EXPECT_FALSE(fs::ReadTextFile(c.path, text, c.with_bom ? &bom : nullptr, &err)) << text;
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(text, "untouched");
        EXPECT_EQ(bom.bytes[0], 9);
        // The same reads, none failing: the whole text.
        FailingFs::FailNext(FailingFs::kNone, 0);
        err = -1;
        EXPECT_TRUE(fs::ReadTextFile(c.path, text, c.with_bom ? &bom : nullptr, &err));
        EXPECT_EQ(err, 0);
        EXPECT_EQ(text, c.text);
        FailingFs::Reset();
    }
    // The causes of the other failures, and none for a read that passes.
    std::string text;
    kivo_err_t err = -1;
    EXPECT_FALSE(fs::ReadTextFile("/missing", text, nullptr, &err));
    EXPECT_EQ(err, ENOENT);
    FailingFs::FailNext(FailingFs::kFstat, EIO);
    EXPECT_FALSE(fs::ReadTextFile("/plain.txt", text, nullptr, &err));
    EXPECT_EQ(err, EIO);
    EXPECT_TRUE(fs::ReadTextFile("/plain.txt", text, nullptr, &err));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(text, plain);
}

TEST_F(FsUtilsTest, WriteTextFileMarks)
{
    Put("/t.txt", "a much longer old content");
    ASSERT_TRUE(fs::WriteTextFile("/t.txt", kivo::StringView("hi", 2), &fs::kBomUtf8));
    EXPECT_EQ(Get("/t.txt"), "\xEF\xBB\xBFhi");
    ASSERT_TRUE(fs::WriteTextFile("/t.txt", kivo::StringView("hi", 2), &fs::kBomUtf16Be));
    EXPECT_EQ(Get("/t.txt"), "\xFE\xFFhi");
    ASSERT_TRUE(fs::WriteTextFile("/t.txt", kivo::StringView("hi", 2), &fs::kBomNone));
    EXPECT_EQ(Get("/t.txt"), "hi");
    const fs::BomFlag full = {{'A', 'B', 'C', 'D'}};  // no zero in the fourth byte: not written
    ASSERT_TRUE(fs::WriteTextFile("/t.txt", kivo::StringView("hi", 2), &full));
    EXPECT_EQ(Get("/t.txt"), "hi");

    ASSERT_TRUE(fs::WriteTextFile("/r.txt", kivo::StringView("round", 5), &fs::kBomUtf8));
    std::string text;
    fs::BomFlag bom;
    ASSERT_TRUE(fs::ReadTextFile("/r.txt", text, &bom));
    EXPECT_EQ(text, "round");
    EXPECT_EQ(bom.bytes[0], 0xEF);
    EXPECT_FALSE(fs::WriteTextFile("/no/such/dir.txt", kivo::StringView("x", 1), nullptr));
}

// ---- trees

// Lays out /t: a.txt, b.txt, c., sub/{d.txt, e.txt, deep/}.
void MakeTree(FsSandbox* s)
{
    s->Mkdir("/t");
    s->Put("/t/a.txt", "A");
    s->Put("/t/b.txt", "BB");
    s->Put("/t/z.bin", "ZZZ");
    s->Put("/t/c.", "a name ending in a dot");
    s->Mkdir("/t/sub");
    s->Put("/t/sub/d.txt", "D");
    s->Put("/t/sub/e.txt", "E");
    s->Mkdir("/t/sub/deep");
}

struct Walk {
    std::vector<std::pair<std::string, bool>> entries;
    void On(const char* path, bool is_dir) { entries.push_back({path, is_dir}); }
    size_t IndexOf(const std::string& p) const
    {
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].first == p)
                return i;
        }
        return entries.size();
    }
};

TEST_F(FsUtilsTest, MakeDirsAndRemoveDir)
{
    EXPECT_TRUE(fs::MakeDirs("/x/y/z"));
    EXPECT_TRUE(fs::MakeDirs("/x/y/z"));
    EXPECT_TRUE(fs::MakeDirs("/x//w/v/"));
    EXPECT_TRUE(RawExists("/x/w/v"));
    Put("/x/file", "f");
    EXPECT_FALSE(fs::MakeDirs("/x/file/under"));

    MakeTree(this);
    EXPECT_TRUE(fs::RemoveDir("/t/sub"));
    EXPECT_FALSE(RawExists("/t/sub"));
    // "c." is an entry like any other: it goes with the rest.
    EXPECT_TRUE(fs::RemoveDir("/t"));
    EXPECT_FALSE(RawExists("/t"));
    EXPECT_FALSE(fs::RemoveDir("/missing"));
}

// A ':' is an ordinary name character here: the text before it is part of
// the path, never a drive that the rest is rebuilt from.
TEST_F(FsUtilsTest, MakeDirsKeepsColonNamesInsideTheirParent)
{
    Mkdir("/w");
    struct Case {
        const char* path;
        const char* made;  // what must exist afterwards
    };
    const Case cases[] = {
        {"/w/x:opt/app_disk/planted", "/w/x:opt/app_disk/planted"},
        {"/w/evil:esc/deeper", "/w/evil:esc/deeper"},
        {"/w/a:/b", "/w/a:/b"},
        {"/w//e://f:g/", "/w/e:/f:g"},
        {"/w/n:1/n:2/n:3", "/w/n:1/n:2/n:3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_TRUE(fs::MakeDirs(c.path));
        EXPECT_TRUE(RawExists(c.made));
    }
    // Nothing beside the parent: only "/w" at the top.
    std::vector<std::string> top;
    kivo::filesystem::Dir d("/");
    while (d.FindNext()) {
        if (!d.IsDots())
            top.push_back(d.GetFileName());
    }
    EXPECT_EQ(top, std::vector<std::string>{"w"});
}

TEST_F(FsUtilsTest, RemovalNeverLeavesTheTree)
{
    const std::string outside = MakeTempDir("kivo-fs-outside");
    ASSERT_FALSE(outside.empty());
    ASSERT_EQ(mkdir((outside + "/keep").c_str(), 0777), 0);
    {
        std::ofstream(outside + "/keep/precious.txt") << "precious";
        std::ofstream(outside + "/file.txt") << "file";
    }
    Mkdir("/w");
    Mkdir("/w/sub");
    Put("/w/sub/x", "x");
    Link(outside, "/w/sub/to_dir");
    Link(outside + "/file.txt", "/w/to_file");
    Link("/nowhere/at/all", "/w/dangling");
    Link(outside, "/top_link");

    EXPECT_TRUE(fs::RemoveDir("/w"));
    EXPECT_FALSE(RawExists("/w"));
    EXPECT_EQ(GetReal(outside + "/keep/precious.txt"), "precious");
    EXPECT_EQ(GetReal(outside + "/file.txt"), "file");

    // A link named as the tree itself: only the link goes.
    EXPECT_TRUE(fs::RemoveDir("/top_link"));
    EXPECT_FALSE(RawExists("/top_link"));
    EXPECT_EQ(GetReal(outside + "/keep/precious.txt"), "precious");
}

// When the status of the path cannot be read it is not known to be no link:
// the removal fails and the tree a link would point to stays whole.
TEST_F(FsUtilsTest, RemoveDirWithUnreadStatusLeavesTheTree)
{
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    const std::string outside = MakeTempDir("kivo-fs-outside");
    ASSERT_FALSE(outside.empty());
    Link(outside, "/link");
    const struct {
        const char* what;
        kivo_err_t err;
    } cases[] = {
        {"a failing medium", EIO},
        {"no right to look", EACCES},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        mkdir((outside + "/keep").c_str(), 0777);
        std::ofstream(outside + "/keep/precious.txt") << "precious";
        std::ofstream(outside + "/file.txt") << "file";
        FailingFs::FailNext(FailingFs::kStat, c.err, "/link");
        EXPECT_FALSE(fs::RemoveDir("/link"));
        FailingFs::Reset();
        EXPECT_EQ(GetReal(outside + "/keep/precious.txt"), "precious");
        EXPECT_EQ(GetReal(outside + "/file.txt"), "file");
        EXPECT_TRUE(RawExists("/link"));
    }
}

TEST_F(FsUtilsTest, RemoveDirUnderTable)
{
    struct {
        const char* path;
        const char* root;
        bool removed;
    } cases[] = {
        {"/r/a", "", false},
        {"/r/a", "/q", false},
        {"/r/../r/a", "/r", false},
        {"/r/a..b", "/r", false},     // ".." anywhere, even inside a name
        {"/r2/a", "/r", false},       // sibling sharing the root's text
        {"/r/a", "/r", true},
        {"/r/a", "/r/", true},
        {"/r", "/r", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.path << " under '" << c.root << "'");
        std::string real = Real(c.path);
        ASSERT_EQ(system(("mkdir -p '" + real + "' && touch '" + real + "/f'").c_str()), 0);
        EXPECT_EQ(fs::RemoveDirUnder(c.path, c.root), c.removed);
        EXPECT_EQ(RawExists(std::string(c.path) + "/f"), !c.removed);
        RemoveTree(Real("/r"));
        RemoveTree(Real("/r2"));
    }
}

TEST_F(FsUtilsTest, ForEachFileWalks)
{
    MakeTree(this);
    const std::string outside = MakeTempDir("kivo-fs-outside");
    std::ofstream(outside + "/walked.txt") << "x";
    Link(outside, "/t/sub/linked");

    Walk flat;
    EXPECT_TRUE(fs::ForEachFile("/t", false, kivo::Function2<void, const char*, bool>(&Walk::On, &flat)));
    std::sort(flat.entries.begin(), flat.entries.end());
    EXPECT_EQ(flat.entries, (std::vector<std::pair<std::string, bool>>{
                                {"/t/a.txt", false}, {"/t/b.txt", false}, {"/t/c.", false}, {"/t/sub", true},
                                {"/t/z.bin", false}}));

    Walk deep;
    EXPECT_TRUE(fs::ForEachFile("/t", true, kivo::Function2<void, const char*, bool>(&Walk::On, &deep)));
    EXPECT_EQ(deep.entries.size(), 10u);
    EXPECT_LT(deep.IndexOf("/t/sub"), deep.IndexOf("/t/sub/d.txt"));
    EXPECT_LT(deep.IndexOf("/t/sub"), deep.IndexOf("/t/sub/deep"));
    // A link to a directory is a directory: reported as one, then entered.
    ASSERT_LT(deep.IndexOf("/t/sub/linked"), deep.entries.size());
    EXPECT_TRUE(deep.entries[deep.IndexOf("/t/sub/linked")].second);
    ASSERT_LT(deep.IndexOf("/t/sub/linked/walked.txt"), deep.entries.size());
    EXPECT_FALSE(deep.entries[deep.IndexOf("/t/sub/linked/walked.txt")].second);
    EXPECT_LT(deep.IndexOf("/t/sub/linked"), deep.IndexOf("/t/sub/linked/walked.txt"));

    Walk none;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(fs::ForEachFile("/missing", true, kivo::Function2<void, const char*, bool>(&Walk::On, &none)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ForEachFile open dir /missing error\r\n");
}

// Links back to a directory on the way down: each is reported, none is
// entered again, and the walks end.
TEST_F(FsUtilsTest, WalksDoNotEnterADirectoryTwiceOnTheirPath)
{
    MakeTree(this);
    Link(Real("/t"), "/t/sub/up");
    Link(Real("/t/sub"), "/t/sub/deep/self");
    Link(".", "/t/sub/here");

    Walk deep;
    EXPECT_TRUE(fs::ForEachFile("/t", true, kivo::Function2<void, const char*, bool>(&Walk::On, &deep)));
    std::sort(deep.entries.begin(), deep.entries.end());
    EXPECT_EQ(deep.entries, (std::vector<std::pair<std::string, bool>>{{"/t/a.txt", false},
                                                                       {"/t/b.txt", false},
                                                                       {"/t/c.", false},
                                                                       {"/t/sub", true},
                                                                       {"/t/sub/d.txt", false},
                                                                       {"/t/sub/deep", true},
                                                                       {"/t/sub/deep/self", true},
                                                                       {"/t/sub/e.txt", false},
                                                                       {"/t/sub/here", true},
                                                                       {"/t/sub/up", true},
                                                                       {"/t/z.bin", false}}));
    EXPECT_EQ(fs::ForEachFileCount("/t", true), 6u);

    // Walks that start below the loop's top stop at it too.
    Walk sub;
    EXPECT_TRUE(fs::ForEachFile("/t/sub", true, kivo::Function2<void, const char*, bool>(&Walk::On, &sub)));
    EXPECT_LT(sub.IndexOf("/t/sub/up/a.txt"), sub.entries.size());
    ASSERT_LT(sub.IndexOf("/t/sub/up/sub"), sub.entries.size());
    EXPECT_TRUE(sub.entries[sub.IndexOf("/t/sub/up/sub")].second);
    EXPECT_EQ(sub.IndexOf("/t/sub/up/sub/d.txt"), sub.entries.size());
    EXPECT_EQ(sub.IndexOf("/t/sub/here/d.txt"), sub.entries.size());
    EXPECT_EQ(fs::ForEachFileCount("/t/sub", true), 6u);
}

TEST_F(FsUtilsTest, ForEachFileCount)
{
    Mkdir("/c");
    Put("/c/1", "");
    Put("/c/2", "");
    Put("/c/3", "");
    Put("/c/4.", "");  // a file like the others
    Mkdir("/c/s");
    Put("/c/s/5", "");
    Put("/c/s/6", "");
    Mkdir("/c/s/empty");
    EXPECT_EQ(fs::ForEachFileCount("/c", false), 4u);
    EXPECT_EQ(fs::ForEachFileCount("/c", true), 6u);
    // A linked directory is walked into; a linked file counts as a file.
    const std::string outside = MakeTempDir("kivo-fs-outside");
    std::ofstream(outside + "/7") << "";
    std::ofstream(outside + "/8") << "";
    Link(outside, "/c/linked");
    Link(outside + "/7", "/c/s/file_link");
    EXPECT_EQ(fs::ForEachFileCount("/c", false), 4u);
    EXPECT_EQ(fs::ForEachFileCount("/c", true), 9u);
    testing::internal::CaptureStdout();
    EXPECT_EQ(fs::ForEachFileCount("/missing", true), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ForEachFileCount open dir /missing error\r\n");
}

// ---- copies

struct Progress {
    std::vector<File::ProgStatus> seen;
    BOOL* cancel = nullptr;
    int32_t cancel_at = -1;
    void On(const File::ProgStatus& ps)
    {
        seen.push_back(ps);
        if (cancel && ps.block_index == cancel_at)
            *cancel = 1;
    }
    File::Callback Cb() { return File::Callback(&Progress::On, this); }
};

TEST_F(FsUtilsTest, CopyFileRules)
{
    const std::string big = Pattern(10000);  // three blocks of 4096
    Put("/src.bin", big);
    Put("/old.bin", "old and longer than nothing");
    EXPECT_TRUE(fs::CopyFile("/src.bin", "/dst.bin", true));
    EXPECT_EQ(Get("/dst.bin"), big);
    EXPECT_FALSE(fs::CopyFile("/src.bin", "/old.bin", true));
    EXPECT_EQ(Get("/old.bin"), "old and longer than nothing");
    EXPECT_TRUE(fs::CopyFile("/src.bin", "/old.bin", false));
    EXPECT_EQ(Get("/old.bin"), big);

    Put("/empty", "");
    EXPECT_TRUE(fs::CopyFile("/empty", "/empty2", false));
    EXPECT_TRUE(RawExists("/empty2"));

    Mkdir("/dir");
    EXPECT_FALSE(fs::CopyFile("/missing", "/x", false));
    EXPECT_FALSE(fs::CopyFile("/dir", "/x", false));
    EXPECT_FALSE(fs::CopyFile("/src.bin", "/dir", false));
    EXPECT_FALSE(fs::CopyFile("/src.bin", "/no/such/dir/x", false));
}

// Writers on a medium that fills up, at a write or only at the flush: none
// reports success for bytes that did not reach it.
TEST_F(FsUtilsTest, WritersFailOnAFullDisk)
{
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    const std::string big = Pattern(10000);
    Put("/src.bin", big);
    struct Case {
        const char* what;
        int64_t text_budget;  // bytes the medium takes for the text; -1: all
        int64_t copy_budget;  // and for a copy
        int fsync_err;
    };
    const Case cases[] = {
        {"full at a write", 5, 5000, 0},
        {"full at the flush", -1, -1, FailingFs::kNoSpace},
        {"full before the mark's last byte", 2, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Put("/old.bin", "old");
        FailingFs::WriteBudget() = c.text_budget;
        FailingFs::FsyncErr() = c.fsync_err;
        EXPECT_FALSE(fs::WriteTextFile("/t.txt", kivo::StringView("some text"), &fs::kBomUtf8));
        FailingFs::WriteBudget() = c.copy_budget;
        EXPECT_FALSE(fs::CopyFile("/src.bin", "/c.bin", false));
        FailingFs::WriteBudget() = c.copy_budget;
        EXPECT_FALSE(fs::CopyFileEx("/src.bin", "/e.bin", false, File::Callback(), nullptr, 4096));
        // The replacing copy leaves the old file whole and no temporary.
        FailingFs::WriteBudget() = c.copy_budget;
        kivo_err_t err = 0;
        EXPECT_FALSE(fs::CopyFileReplace("/src.bin", "/old.bin", &err));
        EXPECT_EQ(err, FailingFs::kNoSpace);
        EXPECT_EQ(Get("/old.bin"), "old");
        EXPECT_FALSE(RawExists("/.old.bin.part."));
        FailingFs::Reset();
    }
    // With room again every writer completes.
    EXPECT_TRUE(fs::WriteTextFile("/t.txt", kivo::StringView("some text"), nullptr));
    EXPECT_TRUE(fs::CopyFile("/src.bin", "/c.bin", false));
    kivo_err_t err = -1;
    EXPECT_TRUE(fs::CopyFileReplace("/src.bin", "/old.bin", &err));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(Get("/old.bin"), big);
}

// A close of the written file that fails after its flush (a deferred write
// error may show only there) fails each writer; the replacing copy then
// leaves the old file whole and no temporary, with the cause.
TEST_F(FsUtilsTest, WritersFailOnAFailedClose)
{
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    Put("/src.bin", "new bytes");
    const struct {
        const char* what;
        bool (*write)(kivo_err_t* err);
        bool has_cause;
    } writers[] = {
        {"WriteTextFile",
         [](kivo_err_t* err) { return fs::WriteTextFile("/t.txt", kivo::StringView("some text"), nullptr, err); },
         true},
        {"CopyFile", [](kivo_err_t*) { return fs::CopyFile("/src.bin", "/c.bin", false); }, false},
        {"CopyFileEx",
         [](kivo_err_t*) { return fs::CopyFileEx("/src.bin", "/e.bin", false, File::Callback(), nullptr, 4096); },
         false},
        {"CopyFileReplace", [](kivo_err_t* err) { return fs::CopyFileReplace("/src.bin", "/old.bin", err); },
         true},
    };
    for (const auto& w : writers) {
        SCOPED_TRACE(w.what);
        Put("/old.bin", "old bytes");
        FailingFs::FailNext(FailingFs::kClose, EIO);
        kivo_err_t err = -1;
        EXPECT_FALSE(w.write(&err));
        if (w.has_cause) {
            EXPECT_EQ(err, EIO);
        }
        EXPECT_EQ(Get("/old.bin"), "old bytes");
        EXPECT_FALSE(RawExists(fs::ReplaceTempPath("/old.bin")));
        // Closed cleanly, the same write succeeds.
        FailingFs::Reset();
        err = -1;
        EXPECT_TRUE(w.write(&err));
        if (w.has_cause) {
            EXPECT_EQ(err, 0);
        }
    }
    EXPECT_EQ(Get("/old.bin"), Get("/src.bin"));
}

// Every way the text writer fails hands its cause to the caller.
TEST_F(FsUtilsTest, WriteTextFileCarriesTheCauseOfEachFailure)
{
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    Mkdir("/d");
    struct Case {
        const char* what;
        const char* path;
        int64_t budget;  // bytes the medium takes; -1: all
        int fsync_err;
        kivo_err_t err;
    };
    const Case cases[] = {
        {"written", "/t.txt", -1, 0, 0},
        {"no directory to open it in", "/no/such/t.txt", -1, 0, ENOENT},
        {"a directory in its place", "/d", -1, 0, EISDIR},
        {"full within the mark", "/t.txt", 2, 0, FailingFs::kNoSpace},
        {"full within the text", "/t.txt", 5, 0, FailingFs::kNoSpace},
        {"full at the flush", "/t.txt", -1, EIO, EIO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FailingFs::WriteBudget() = c.budget;
        FailingFs::FsyncErr() = c.fsync_err;
        kivo_err_t err = -1;
        EXPECT_EQ(fs::WriteTextFile(c.path, kivo::StringView("some text"), &fs::kBomUtf8, &err),
                  c.err == 0);
        EXPECT_EQ(err, c.err);
        FailingFs::Reset();
    }
}

// What a walk, a removal or a copy cannot read fails it: an entry whose
// status cannot be read, a directory that cannot be read to its end, a
// source whose size cannot be read. A walk still visits the other entries
// and names the first failure with its cause; nothing is replaced by a copy
// that could not take its source's size.
TEST_F(FsUtilsTest, WalksRemovalsAndCopiesFailOnWhatTheyCannotRead)
{
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    const struct {
        FailingFs::Call call;
        const char* path;
        const char* failure;
    } faults[] = {
        {FailingFs::kStat, "/t/b.txt", "cannot read the status of /t/b.txt: Input/output error"},
        {FailingFs::kReaddir, "", "cannot read directory /t: Input/output error"},
    };
    for (const auto& f : faults) {
        SCOPED_TRACE(f.failure);
        RemoveTree(Real("/t"));
        RemoveTree(Real("/copy"));
        MakeTree(this);
        Walk seen;
        std::string failure;
        FailingFs::FailNext(f.call, 5, f.path);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(fs::ForEachFile("/t", false, kivo::Function2<void, const char*, bool>(&Walk::On, &seen),
                                     &failure));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("ForEachFile ") + f.failure + "\r\n");
        EXPECT_EQ(failure, f.failure);
        if (f.call == FailingFs::kStat) {
            EXPECT_EQ(seen.entries.size(), 4u);  // all but b.txt
            EXPECT_EQ(seen.IndexOf("/t/b.txt"), seen.entries.size());
        }

        FailingFs::FailNext(f.call, 5, f.path);
        EXPECT_FALSE(fs::CopyDir("/t", "/copy"));
        FailingFs::FailNext(f.call == FailingFs::kStat ? FailingFs::kStat : FailingFs::kReaddir, 5, f.path);
        EXPECT_FALSE(fs::RemoveDir("/t"));
        EXPECT_TRUE(RawExists("/t"));
        FailingFs::Reset();
    }
    // The removal's own step: an entry that cannot be removed.
    RemoveTree(Real("/t"));
    MakeTree(this);
    FailingFs::FailNext(FailingFs::kUnlink, 30, "/t/a.txt");
    EXPECT_FALSE(fs::RemoveDir("/t"));
    EXPECT_EQ(Get("/t/a.txt"), "A");
    EXPECT_TRUE(fs::RemoveDir("/t"));

    Put("/src.bin", "new bytes");
    Put("/dst.bin", "old bytes");
    std::string text = "untouched";
    FailingFs::FailNext(FailingFs::kFstat, 5);
    EXPECT_FALSE(fs::ReadTextFile("/src.bin", text, nullptr));
    EXPECT_EQ(text, "untouched");
    FailingFs::FailNext(FailingFs::kFstat, 5);
    EXPECT_FALSE(fs::CopyFile("/src.bin", "/c.bin", false));
    kivo_err_t err = 0;
    FailingFs::FailNext(FailingFs::kFstat, 5);
    EXPECT_FALSE(fs::CopyFileReplace("/src.bin", "/dst.bin", &err));
    EXPECT_EQ(err, 5);
    EXPECT_EQ(Get("/dst.bin"), "old bytes");
    EXPECT_FALSE(RawExists(fs::ReplaceTempPath("/dst.bin")));
    FailingFs::Reset();
    EXPECT_TRUE(fs::CopyFileReplace("/src.bin", "/dst.bin", &err));
    EXPECT_EQ(Get("/dst.bin"), "new bytes");
}

// The replacing copy looks at the target twice: whether it is a link (to
// replace what it points to) and what mode it has (to carry it over). A
// status that cannot be read at either fails the copy and leaves the old
// file (a link would be replaced by a file, an executable lose its bits); a
// target that does not exist yet is simply made. (This file system has no
// links: both are its status.)
TEST_F(FsUtilsTest, CopyFileReplaceFailsWhenTheTargetsStatusCannotBeRead)
{
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    Put("/src.bin", "new bytes");
    const struct {
        const char* what;
        int pass;  // looks at the target that pass first
        kivo_err_t stat_err;
        bool ok;
    } cases[] = {
        {"whether it is a link", 0, EIO, false},
        {"whether it is a link", 0, EACCES, false},
        {"whether it is a link: missing", 0, ENOENT, true},
        {"its mode", 1, EIO, false},
        {"its mode", 1, EACCES, false},
        {"its mode: missing", 1, ENOENT, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + strerror(c.stat_err));
        Put("/dst.bin", "old bytes");
        FailingFs::FailNext(FailingFs::kStat, c.stat_err, "/dst.bin", c.pass);
        kivo_err_t err = -1;
        EXPECT_EQ(fs::CopyFileReplace("/src.bin", "/dst.bin", &err), c.ok);
        EXPECT_EQ(err, c.ok ? 0 : c.stat_err);
        EXPECT_EQ(Get("/dst.bin"), c.ok ? "new bytes" : "old bytes");
        EXPECT_FALSE(RawExists(fs::ReplaceTempPath("/dst.bin")));
        FailingFs::Reset();
    }
}

// CopyFileReplace: the target is whole, old or new; a temporary left by an
// interruption is taken over.
TEST_F(FsUtilsTest, CopyFileReplaceSwapsTheTargetWhole)
{
    const std::string data = Pattern(70000);
    Put("/src.bin", data);
    Put("/.dst.bin.part.", "left by a kill");
    EXPECT_EQ(fs::ReplaceTempPath("/d/dst.bin"), "/d/.dst.bin.part.");

    kivo_err_t err = -1;
    EXPECT_TRUE(fs::CopyFileReplace("/src.bin", "/dst.bin", &err));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(Get("/dst.bin"), data);
    EXPECT_FALSE(RawExists("/.dst.bin.part."));
    // Over an existing file, an empty source, and the failures.
    Put("/empty", "");
    EXPECT_TRUE(fs::CopyFileReplace("/empty", "/dst.bin", nullptr));
    EXPECT_EQ(Get("/dst.bin"), "");
    EXPECT_FALSE(fs::CopyFileReplace("/missing", "/dst.bin", &err));
    EXPECT_EQ(err, 2);
    EXPECT_FALSE(fs::CopyFileReplace("/src.bin", "/src.bin", &err));
    EXPECT_EQ(err, 22);
    EXPECT_EQ(Get("/src.bin"), data);
    EXPECT_FALSE(fs::CopyFileReplace("/src.bin", "/no/such/dir/x", &err));
    EXPECT_EQ(err, 2);
}

// What the replaced file was stays: its mode, its owner (where the process
// may give a file away), and a link stays a link to the file it points to,
// which is the one replaced.
TEST_F(FsUtilsTest, CopyFileReplaceKeepsModeOwnerAndLinks)
{
    const std::string data = Pattern(5000);
    Put("/src.bin", data);
    Mkdir("/app");
    for (mode_t mode : {0755, 0700, 0640, 0444, 04755}) {
        SCOPED_TRACE(mode);
        Put("/app/run.sh", "old");
        ASSERT_EQ(chmod(Real("/app/run.sh").c_str(), mode), 0);
        kivo_err_t err = -1;
        ASSERT_TRUE(fs::CopyFileReplace("/src.bin", "/app/run.sh", &err));
        EXPECT_EQ(err, 0);
        struct stat st;
        ASSERT_EQ(lstat(Real("/app/run.sh").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        EXPECT_EQ(Get("/app/run.sh"), data);
    }
    if (geteuid() == 0) {
        Put("/app/theirs", "old");
        ASSERT_EQ(chown(Real("/app/theirs").c_str(), 4321, 8765), 0);
        ASSERT_TRUE(fs::CopyFileReplace("/src.bin", "/app/theirs", nullptr));
        struct stat st;
        ASSERT_EQ(lstat(Real("/app/theirs").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 8765u);
    }

    // Links: relative, absolute (a path of the tree; no such directory
    // exists on the machine itself), a chain, and one to a missing file,
    // which is made where the link points.
    Mkdir("/real");
    Mkdir("/nonexistent-kivo-link-test");
    Put("/real/run.sh", "old");
    ASSERT_EQ(chmod(Real("/real/run.sh").c_str(), 0750), 0);
    Put("/nonexistent-kivo-link-test/abs.sh", "old");
    Link("../real/run.sh", "/app/rel");
    Link("/nonexistent-kivo-link-test/abs.sh", "/app/abs");
    Link("rel", "/app/chain");
    Link("made.sh", "/app/dangling");
    const struct {
        const char* link;
        const char* text;
        const char* file;
    } links[] = {
        {"/app/rel", "../real/run.sh", "/real/run.sh"},
        {"/app/abs", "/nonexistent-kivo-link-test/abs.sh", "/nonexistent-kivo-link-test/abs.sh"},
        {"/app/chain", "rel", "/real/run.sh"},
        {"/app/dangling", "made.sh", "/app/made.sh"},
    };
    for (const auto& l : links) {
        SCOPED_TRACE(l.link);
        Put("/src.bin", data + l.link);
        kivo_err_t err = -1;
        ASSERT_TRUE(fs::CopyFileReplace("/src.bin", l.link, &err)) << err;
        char text[256] = {0};
        ASSERT_GT(readlink(Real(l.link).c_str(), text, sizeof text - 1), 0) << "the link was replaced";
        EXPECT_STREQ(text, l.text);
        EXPECT_EQ(Get(l.file), data + l.link);
        EXPECT_FALSE(RawExists("/app/.rel.part.") || RawExists("/real/.run.sh.part."));
    }
    struct stat st;
    ASSERT_EQ(stat(Real("/real/run.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_NE(access("/nonexistent-kivo-link-test", F_OK), 0);

    // A loop is refused and nothing is made.
    Link("loop", "/app/loop");
    kivo_err_t err = 0;
    EXPECT_FALSE(fs::CopyFileReplace("/src.bin", "/app/loop", &err));
    EXPECT_EQ(err, 40);
    EXPECT_FALSE(RawExists("/app/.loop.part."));
}

// The temporary's name fits wherever the target's does: names up to 255
// bytes, also when they hold ':' or '\\', land whole beside their target.
TEST_F(FsUtilsTest, CopyFileReplaceTemporaryFitsEveryName)
{
    Put("/src.bin", "new");
    Mkdir("/sys");
    std::vector<std::string> temps;
    for (const char* dir : {"/", "/sys/"}) {
        for (size_t len : {8, 248, 249, 255}) {
            for (const char* head : {"", "a:", "a\\"}) {
                const std::string name = head + std::string(len - strlen(head), 'n');
                const std::string path = dir + name;
                SCOPED_TRACE(path.size());
                const std::string temp = fs::ReplaceTempPath(path);
                ASSERT_EQ(temp.compare(0, strlen(dir), dir), 0) << temp;
                const std::string temp_name = temp.substr(strlen(dir));
                EXPECT_EQ(temp_name.find('/'), std::string::npos) << temp;
                EXPECT_LE(temp_name.size(), 255u);
                EXPECT_EQ(temp_name.front(), '.');
                EXPECT_EQ(temp_name.back(), '.');
                temps.push_back(temp);
                Put(path, "old");
                kivo_err_t err = -1;
                EXPECT_TRUE(fs::CopyFileReplace("/src.bin", path, &err)) << strerror(err);
                EXPECT_EQ(Get(path), "new");
                EXPECT_FALSE(RawExists(temp));
            }
        }
    }
    // Long names that begin alike have temporaries of their own.
    std::sort(temps.begin(), temps.end());
    EXPECT_EQ(std::adjacent_find(temps.begin(), temps.end()), temps.end());
    EXPECT_EQ(fs::ReplaceTempPath("/opt/app_disk/notes:readme.txt"), "/opt/app_disk/.notes:readme.txt.part.");
    EXPECT_EQ(fs::ReplaceTempPath("/opt/app_disk/a\\b.txt"), "/opt/app_disk/.a\\b.txt.part.");
}

TEST_F(FsUtilsTest, CopyOntoItselfFailsAndKeepsTheFile)
{
    Put("/self.bin", "keep me");
    Mkdir("/d");
    for (const char* dst : {"/self.bin", "//self.bin", "/d/../self.bin", "\\self.bin", "/./self.bin"}) {
        SCOPED_TRACE(dst);
        EXPECT_FALSE(fs::CopyFile("/self.bin", dst, false));
        Progress p;
        EXPECT_FALSE(fs::CopyFileEx("/self.bin", dst, false, p.Cb(), nullptr, 4));
        EXPECT_EQ(Get("/self.bin"), "keep me");
    }
}

TEST_F(FsUtilsTest, CopyFileExProgressAndCancel)
{
    const std::string data = Pattern(10);
    Put("/s", data);
    Progress p;
    ASSERT_TRUE(fs::CopyFileEx("/s", "/d", false, p.Cb(), nullptr, 4));
    EXPECT_EQ(Get("/d"), data);
    ASSERT_EQ(p.seen.size(), 3u);
    EXPECT_EQ(p.seen[2].done, 10);
    EXPECT_EQ(p.seen[2].total, 10);
    EXPECT_EQ(p.seen[2].block_size, 2);

    // Cancelled after the first block: fails, with that block written.
    BOOL cancel = 0;
    Progress c;
    c.cancel = &cancel;
    c.cancel_at = 0;
    EXPECT_FALSE(fs::CopyFileEx("/s", "/e", false, c.Cb(), &cancel, 4));
    EXPECT_EQ(c.seen.size(), 1u);
    EXPECT_EQ(Get("/e"), data.substr(0, 4));

    // An empty progress callback is allowed.
    EXPECT_TRUE(fs::CopyFileEx("/s", "/f", false, File::Callback(), nullptr, 3));
    EXPECT_EQ(Get("/f"), data);
}

TEST_F(FsUtilsTest, CopyDirAndCopy)
{
    MakeTree(this);
    ASSERT_TRUE(fs::CopyDir("/t", "/copy/of/t"));
    EXPECT_EQ(Get("/copy/of/t/b.txt"), "BB");
    EXPECT_EQ(Get("/copy/of/t/sub/e.txt"), "E");
    EXPECT_TRUE(RawExists("/copy/of/t/sub/deep"));
    EXPECT_EQ(Get("/copy/of/t/c."), "a name ending in a dot");

    // Into itself: refused before anything is made.
    EXPECT_FALSE(fs::CopyDir("/t", "/t/sub/again"));
    EXPECT_FALSE(RawExists("/t/sub/again"));
    EXPECT_FALSE(fs::CopyDir("/t", "/t"));
    EXPECT_EQ(Get("/t/a.txt"), "A");
    EXPECT_FALSE(fs::CopyDir("/missing", "/m"));

    EXPECT_TRUE(fs::Copy("/t/a.txt", "/made/for/file/a2.txt"));
    EXPECT_EQ(Get("/made/for/file/a2.txt"), "A");
    EXPECT_TRUE(fs::Copy("/t/sub", "/sub2"));
    EXPECT_EQ(Get("/sub2/d.txt"), "D");
    EXPECT_FALSE(fs::Copy("/missing", "/x/y"));
}

bool IsRealDir(const std::string& real)
{
    struct stat st;
    return lstat(real.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST_F(FsUtilsTest, CopyDirCopiesALinkedDirectoryAsADirectory)
{
    const std::string outside = MakeTempDir("kivo-fs-outside");
    ASSERT_EQ(mkdir((outside + "/in").c_str(), 0777), 0);
    std::ofstream(outside + "/o.txt") << "o";
    std::ofstream(outside + "/in/i.txt") << "i";
    Mkdir("/s");
    Put("/s/plain.txt", "p");
    Link(outside, "/s/linked");
    ASSERT_TRUE(fs::CopyDir("/s", "/d"));
    EXPECT_TRUE(IsRealDir(Real("/d/linked")));
    EXPECT_EQ(Get("/d/linked/o.txt"), "o");
    EXPECT_EQ(Get("/d/linked/in/i.txt"), "i");
    EXPECT_EQ(Get("/d/plain.txt"), "p");

    // With progress too.
    File::ProgStatus record = {};
    record.total = 10;
    ASSERT_TRUE(fs::CopyDirEx("/s", "/e", &record, File::Callback(), nullptr, 4096));
    EXPECT_EQ(Get("/e/linked/in/i.txt"), "i");
    EXPECT_EQ(record.block_index, 3);
}

// A directory on the way down is copied as an empty directory, not entered
// again; that holds for the target's own directories too.
TEST_F(FsUtilsTest, CopyDirDoesNotEnterADirectoryTwiceOnItsPath)
{
    MakeTree(this);
    Link(Real("/t"), "/t/sub/up");
    ASSERT_TRUE(fs::CopyDir("/t", "/d"));
    EXPECT_EQ(Get("/d/sub/e.txt"), "E");
    EXPECT_TRUE(IsRealDir(Real("/d/sub/up")));
    EXPECT_FALSE(RawExists("/d/sub/up/a.txt"));

    Mkdir("/out");
    Mkdir("/s");
    Put("/s/x.txt", "x");
    Link(Real("/out"), "/s/to_target");
    ASSERT_TRUE(fs::CopyDir("/s", "/out"));
    EXPECT_EQ(Get("/out/x.txt"), "x");
    EXPECT_TRUE(IsRealDir(Real("/out/to_target")));
    EXPECT_FALSE(RawExists("/out/to_target/to_target"));

    // The source itself under another name: refused, nothing emptied.
    Link(Real("/s"), "/alias");
    EXPECT_FALSE(fs::CopyDir("/s", "/alias"));
    EXPECT_EQ(Get("/s/x.txt"), "x");
    // A target inside the source under another name: the copy ends, and
    // the copy is not copied into itself.
    Link(Real("/t/sub"), "/d/sub_alias");
    EXPECT_TRUE(fs::CopyDir("/t", "/d/sub_alias/under"));
    EXPECT_EQ(Get("/t/sub/e.txt"), "E");
    EXPECT_EQ(Get("/t/sub/under/sub/e.txt"), "E");
    EXPECT_TRUE(IsRealDir(Real("/t/sub/under/sub/under")));
    EXPECT_FALSE(RawExists("/t/sub/under/sub/under/a.txt"));
}

TEST_F(FsUtilsTest, CopyExCountsFiles)
{
    Mkdir("/s");
    Put("/s/1", "one");
    Put("/s/2", "two");
    Mkdir("/s/sub");
    Put("/s/sub/3", Pattern(9000));
    Progress p;
    ASSERT_TRUE(fs::CopyEx("/s", "/d", p.Cb(), nullptr, 4096, 2));
    ASSERT_EQ(p.seen.size(), 4u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(p.seen[i].done, 1) << i;
        EXPECT_EQ(p.seen[i].block_index, (int32_t)i + 1) << i;
        EXPECT_EQ(p.seen[i].total, 2);
    }
    EXPECT_EQ(p.seen[3].done, 2);
    EXPECT_EQ(Get("/d/sub/3"), Pattern(9000));

    // A single file: copied, the callback is not called.
    Progress single;
    EXPECT_TRUE(fs::CopyEx("/s/1", "/deep/er/1", single.Cb(), nullptr, 2, 1));
    EXPECT_EQ(Get("/deep/er/1"), "one");
    EXPECT_TRUE(single.seen.empty());

    // Cancelling any file stops the tree copy.
    BOOL cancel = 1;
    Progress c;
    EXPECT_FALSE(fs::CopyEx("/s", "/e", c.Cb(), &cancel, 2, 3));
    EXPECT_TRUE(c.seen.empty());
}

TEST_F(FsUtilsTest, BlockWritersAssertTheirTargets)
{
    File::ProgStatus ps = {};
    int64_t written = 0;
    EXPECT_DEATH(fs::__CopyFileReadProc(nullptr, &written, ps), "file_dst && writen");
    File f;
    EXPECT_DEATH(fs::__CopyFileExReadProc(&f, nullptr, File::Callback(), ps), "file_dst && writen");
}

}  // namespace
