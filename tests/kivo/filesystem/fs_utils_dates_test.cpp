// Files and directories dated after 2038 (vfat allows dates up to 2107, and
// a device clock can be wrong): every framework call must see them as any
// other file, on the 32-bit device as natively.

#include "kivo/filesystem/fs_utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "kivo/filesystem/dir.h"
#include "kivo/filesystem/file.h"
#include "tests/kivo/base/platform/linux/raw_file_times.h"
#include "tests/kivo/filesystem/fs_test_sandbox.h"

namespace fs = kivo::filesystem;
using kivo::filesystem::File;

namespace {

struct Walk {
    std::vector<std::pair<std::string, bool>> entries;
    void On(const char* path, bool is_dir) { entries.emplace_back(path, is_dir); }
};

class LateDatesTest : public FsSandbox, public ::testing::WithParamInterface<int64_t> {
protected:
    // /t: two files and a subdirectory dated `when`, one file of today, and
    // a dated file inside the dated subdirectory.
    void MakeDatedTree(int64_t when)
    {
        Mkdir("/t");
        Mkdir("/t/sub");
        Put("/t/dated.txt", "D1");
        Put("/t/today.txt", "T");
        Put("/t/sub/dated.bin", "D2");
        Put("/t/late.bin", "D3");
        for (const char* rel : {"/t/dated.txt", "/t/sub/dated.bin", "/t/late.bin", "/t/sub"})
            ASSERT_TRUE(raw_times::Set(Real(rel), when)) << rel;
    }
};

TEST_P(LateDatesTest, StatSeesTheFileAndItsTimes)
{
    const int64_t when = GetParam();
    MakeDatedTree(when);
    EXPECT_TRUE(fs::Exists("/t/dated.txt"));
    EXPECT_TRUE(fs::IsFile("/t/dated.txt"));
    EXPECT_FALSE(fs::IsDir("/t/dated.txt"));
    EXPECT_TRUE(fs::Exists("/t/sub"));
    EXPECT_TRUE(fs::IsDir("/t/sub"));
    EXPECT_FALSE(fs::IsFile("/t/sub"));

    kivo_stat_t st;
    ASSERT_EQ(kivo_file_stat("/t/dated.txt", &st), 0);
    EXPECT_EQ(st.mtime, when);
    EXPECT_EQ(st.atime, when);
    kivo_stat64_t st64;
    ASSERT_EQ(kivo_file_stat64("/t/sub", &st64), 0);
    EXPECT_EQ(st64.mtime, when);

    File f("/t/late.bin", 0);
    ASSERT_TRUE(f.IsValid());
    File::Status fst;
    ASSERT_TRUE(f.GetStatus(fst));
    EXPECT_EQ(fst.mtime, when);
    EXPECT_EQ(fst.size, 2);
    EXPECT_EQ(f.GetLength(), 2);

    fs::Dir dir("/t/sub");
    ASSERT_TRUE(dir.IsValid());
    bool found = false;
    while (dir.FindNext()) {
        if (dir.IsDots())
            continue;
        ASSERT_EQ(dir.GetFileName(), "dated.bin");
        ASSERT_TRUE(dir.GetFileStatus(fst));
        EXPECT_FALSE(fst.is_dir);
        EXPECT_EQ(fst.mtime, when);
        found = true;
    }
    EXPECT_TRUE(found);
}

TEST_P(LateDatesTest, SettingTheTimeKeepsAllItsBits)
{
    const int64_t when = GetParam();
    Put("/f.txt", "x");
    kivo_utimbuf_t times;
    times.actime = when;
    times.modtime = when;
    ASSERT_EQ(kivo_file_utime("/f.txt", &times), 0);
    EXPECT_EQ(raw_times::Mtime(Real("/f.txt")), when);
}

TEST_P(LateDatesTest, WalksCopiesAndRemovalsTakeEveryEntry)
{
    MakeDatedTree(GetParam());
    EXPECT_EQ(fs::ForEachFileCount("/t", false), 3u);
    EXPECT_EQ(fs::ForEachFileCount("/t", true), 4u);
    Walk walk;
    EXPECT_TRUE(fs::ForEachFile("/t", true, kivo::Function2<void, const char*, bool>(&Walk::On, &walk)));
    std::sort(walk.entries.begin(), walk.entries.end());
    EXPECT_EQ(walk.entries, (std::vector<std::pair<std::string, bool>>{{"/t/dated.txt", false},
                                                                       {"/t/late.bin", false},
                                                                       {"/t/sub", true},
                                                                       {"/t/sub/dated.bin", false},
                                                                       {"/t/today.txt", false}}));

    ASSERT_TRUE(fs::CopyDir("/t", "/copy"));
    EXPECT_EQ(Get("/copy/dated.txt"), "D1");
    EXPECT_EQ(Get("/copy/today.txt"), "T");
    EXPECT_EQ(Get("/copy/late.bin"), "D3");
    EXPECT_EQ(Get("/copy/sub/dated.bin"), "D2");
    EXPECT_TRUE(fs::Copy("/t/late.bin", "/single/late.bin"));
    EXPECT_EQ(Get("/single/late.bin"), "D3");

    EXPECT_TRUE(fs::RemoveDir("/t"));
    EXPECT_FALSE(RawExists("/t"));
}

INSTANTIATE_TEST_SUITE_P(Years, LateDatesTest, ::testing::Values(raw_times::k2040, raw_times::k2106),
                         [](const ::testing::TestParamInfo<int64_t>& info) {
                             return info.param == raw_times::k2040 ? std::string("Y2040") : std::string("Y2106");
                         });

}  // namespace
