#include "kivo/filesystem/dir.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "tests/kivo/filesystem/failing_fs.h"
#include "tests/kivo/filesystem/fs_test_sandbox.h"

using kivo::filesystem::Dir;
using kivo::filesystem::File;

namespace {

class DirTest : public FsSandbox {};

TEST_F(DirTest, IteratesEntriesWithStatus)
{
    Mkdir("/d");
    Mkdir("/d/sub");
    Put("/d/a.txt", "12345");
    Put("/d/word.", "x");

    Dir d("/d");
    ASSERT_TRUE(d.IsValid());
    EXPECT_FALSE(d.Open("/d"));  // already open
    std::set<std::string> names, dots;
    while (d.FindNext()) {
        if (d.IsDots()) {
            dots.insert(d.GetFileName());
            continue;
        }
        names.insert(d.GetFileName());
        EXPECT_EQ(d.GetFilePath(), "/d/" + d.GetFileName());
        File::Status st;
        ASSERT_TRUE(d.GetFileStatus(st));
        EXPECT_EQ(st.is_dir, d.GetFileName() == "sub");
        if (d.GetFileName() == "a.txt") {
            EXPECT_EQ(st.size, 5);
        }
    }
    EXPECT_EQ(d.GetFileName(), "");
    EXPECT_EQ(d.Error(), 0);
    // Only "." and ".." are dots; a name ending in '.' is an entry.
    EXPECT_EQ(names, (std::set<std::string>{"a.txt", "sub", "word."}));
    EXPECT_EQ(dots, (std::set<std::string>{".", ".."}));
    d.Close();
    EXPECT_FALSE(d.IsValid());
    EXPECT_TRUE(d.Open("/d/sub"));
}

// A read that fails ends the entries as the end does; Error() tells them
// apart, and says why an open failed.
TEST_F(DirTest, FailedReadIsToldFromTheEnd)
{
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    Mkdir("/d");
    Put("/d/a.txt", "a");
    Dir d("/d");
    ASSERT_TRUE(d.IsValid());
    ASSERT_TRUE(d.FindNext());
    EXPECT_EQ(d.Error(), 0);
    FailingFs::FailNext(FailingFs::kReaddir, 5);
    EXPECT_FALSE(d.FindNext());
    EXPECT_EQ(d.Error(), 5);
    EXPECT_EQ(d.GetFileName(), "");
    while (d.FindNext()) {
    }
    EXPECT_EQ(d.Error(), 0);
    FailingFs::Reset();

    Dir missing;
    EXPECT_FALSE(missing.Open("/none"));
    EXPECT_EQ(missing.Error(), 2);
}

TEST_F(DirTest, OpenFailsAndStatusOfVanishedEntry)
{
    Dir missing("/nope");
    EXPECT_FALSE(missing.IsValid());

    Mkdir("/d");
    Link("/d/gone", "/d/dangling");
    Dir d("/d");
    ASSERT_TRUE(d.IsValid());
    bool seen = false;
    while (d.FindNext()) {
        if (d.GetFileName() != "dangling")
            continue;
        seen = true;
        File::Status st = {true, 77, 0, 0, 0};
        EXPECT_FALSE(d.GetFileStatus(st));
        EXPECT_EQ(st.size, 77);  // left alone
    }
    EXPECT_TRUE(seen);
}

TEST_F(DirTest, ClosedDirIsABrokenContract)
{
    Dir d;
    EXPECT_FALSE(d.IsValid());
    d.Close();
    EXPECT_DEATH(d.FindNext(), "IsValid\\(\\)");
    EXPECT_DEATH(d.GetFilePath(), "IsValid\\(\\)");
}

}  // namespace
