#include "kivo/filesystem/file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/kivo/filesystem/failing_fs.h"
#include "tests/kivo/filesystem/fs_test_sandbox.h"

using kivo::filesystem::File;

namespace {

struct Block {
    int64_t total;
    int64_t done;
    int32_t index;
    int32_t size;
    std::string data;
};

// Records every block; sets *cancel when the block with `cancel_at` comes.
struct Recorder {
    std::vector<Block> blocks;
    BOOL* cancel = nullptr;
    int32_t cancel_at = -1;

    void OnBlock(const File::ProgStatus& ps)
    {
        blocks.push_back({ps.total, ps.done, ps.block_index, ps.block_size,
                          std::string(static_cast<const char*>(ps.block_data), (size_t)ps.block_size)});
        if (cancel && ps.block_index == cancel_at)
            *cancel = 1;
    }

    File::Callback Cb() { return File::Callback(&Recorder::OnBlock, this); }
};

class FileTest : public FsSandbox {};

struct ModeCase {
    uint32_t mode;
    bool exists;          // "abc" is there before the open
    kivo_err_t open_err;  // 0: opens
    bool writable;
    const char* after;    // content after writing "XY" right after the open
};

const ModeCase kModes[] = {
    {0, true, 0, false, "abc"},   {0, false, 2, false, nullptr},
    {1, true, 0, true, "XYc"},    {1, false, 2, false, nullptr},
    {2, true, 0, true, "XYc"},    {2, false, 0, true, "XY"},
    {3, true, 0, true, "XY"},     {3, false, 0, true, "XY"},
    {4, true, 0, true, "abcXY"},  {4, false, 2, false, nullptr},
    {5, true, 0, true, "abcXY"},  {5, false, 0, true, "XY"},
};

TEST_F(FileTest, SixOpenModes)
{
    for (const ModeCase& c : kModes) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << (c.exists ? " existing" : " missing"));
        unlink(Real("/m.txt").c_str());
        if (c.exists)
            Put("/m.txt", "abc");
        File f;
        kivo_err_t err = -7;
        EXPECT_EQ(f.Open("/m.txt", c.mode, &err), c.open_err == 0);
        EXPECT_EQ(err, c.open_err);
        EXPECT_EQ(f.IsValid(), c.open_err == 0);
        if (!f.IsValid()) {
            EXPECT_FALSE(RawExists("/m.txt"));
            continue;
        }
        kivo_err_t werr = 0;
        ssize_t n = f.Write("XY", 2, &werr);
        if (c.writable) {
            EXPECT_EQ(n, 2);
            EXPECT_EQ(werr, 0);
        } else {
            EXPECT_EQ(n, -1);
            EXPECT_NE(werr, 0);
        }
        // Every mode can read (append modes read from the start).
        f.Seek(0, File::SeekBegin);
        char buf[8] = {};
        EXPECT_GE(f.Read(buf, sizeof buf, nullptr), 0);
        f.Close();
        EXPECT_FALSE(f.IsValid());
        EXPECT_EQ(Get("/m.txt"), c.after);
    }
}

TEST_F(FileTest, OpenRefusesBadModeAndSecondOpen)
{
    Put("/a.txt", "first");
    Put("/b.txt", "second");
    File f;
    kivo_err_t err = -7;
    EXPECT_FALSE(f.Open("/new.txt", 6, &err));
    EXPECT_EQ(err, -7);
    EXPECT_FALSE(RawExists("/new.txt"));

    File g("/a.txt", 0);
    ASSERT_TRUE(g.IsValid());
    EXPECT_FALSE(g.Open("/b.txt", 0, &err));
    EXPECT_EQ(err, -7);
    ASSERT_TRUE(g.IsValid());
    char buf[16] = {};
    EXPECT_EQ(g.Read(buf, sizeof buf, nullptr), 5);
    EXPECT_STREQ(buf, "first");
}

TEST_F(FileTest, ReadAtEndSeekAndLength)
{
    Put("/a.bin", "0123456789");
    File f("/a.bin", 1);
    ASSERT_TRUE(f.IsValid());
    EXPECT_EQ(f.GetLength(), 10);
    EXPECT_EQ(f.Seek(-3, File::SeekEnd), 7);
    EXPECT_EQ(f.Seek(1, File::SeekCurrent), 8);
    EXPECT_EQ(f.GetPos(), 8);
    // Through the byte-channel interface the whence is passed on too.
    kivo::IOContext* io = &f;
    EXPECT_EQ(io->Seek(2, 0), 2);
    EXPECT_EQ(f.Seek(-1, File::SeekBegin), -1);
    EXPECT_EQ(f.GetPos(), 2);

    char buf[16];
    f.Seek(0, File::SeekEnd);
    kivo_err_t err = -7;
    EXPECT_EQ(f.Read(buf, sizeof buf, &err), 0);
    EXPECT_EQ(err, 0);

    EXPECT_TRUE(f.SetLength(4));
    EXPECT_EQ(f.GetLength(), 4);
    File::Status st;
    ASSERT_TRUE(f.GetStatus(st));
    EXPECT_FALSE(st.is_dir);
    EXPECT_EQ(st.size, 4);
    EXPECT_GT(st.mtime, 0);
    f.Close();
    EXPECT_EQ(Get("/a.bin"), "0123");
}

TEST_F(FileTest, ReadOnlyFileCannotBeTruncated)
{
    Put("/a.bin", "0123");
    File f("/a.bin", 0);
    ASSERT_TRUE(f.IsValid());
    EXPECT_FALSE(f.SetLength(0));
    EXPECT_EQ(Get("/a.bin"), "0123");
}

TEST_F(FileTest, ClosedFileOperationsAreBrokenContracts)
{
    File f;
    EXPECT_FALSE(f.IsValid());
    f.Close();  // harmless
    char buf[4];
    EXPECT_DEATH(f.Read(buf, sizeof buf, nullptr), "IsValid\\(\\)");
    EXPECT_DEATH(f.Write(buf, sizeof buf, nullptr), "IsValid\\(\\)");
    EXPECT_DEATH(f.GetLength(), "IsValid\\(\\)");
    EXPECT_DEATH(f.Seek(0, File::SeekBegin), "IsValid\\(\\)");
    EXPECT_DEATH(f.ReadHuge(buf, 4, File::Callback(), nullptr, 4), "IsValid\\(\\)");
}

struct HugeCase {
    size_t file_len;
    int64_t size;
    size_t block;
    std::vector<int32_t> sizes;  // block sizes seen, in order (index = position)
    int64_t result;
};

TEST_F(FileTest, ReadHugeBlocks)
{
    const HugeCase cases[] = {
        {8, 8, 4, {4, 4}, 8},          // exact multiple: no remainder call
        {8, 3, 4, {3}, 3},             // smaller than a block: remainder only
        {10, 10, 4, {4, 4, 2}, 10},    // whole blocks and a remainder
        {10, 16, 4, {4, 4, 2}, 10},    // file shorter than asked
        {0, 8, 4, {}, 0},              // empty file
    };
    for (const HugeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "file " << c.file_len << " size " << c.size << " block " << c.block);
        const std::string content = Pattern(c.file_len);
        Put("/h.bin", content);
        for (int with_buffer = 0; with_buffer < 2; ++with_buffer) {
            File f("/h.bin", 0);
            ASSERT_TRUE(f.IsValid());
            Recorder rec;
            std::vector<char> buf((size_t)c.size + 1, '#');
            EXPECT_EQ(f.ReadHuge(with_buffer ? buf.data() : nullptr, c.size, rec.Cb(), nullptr, c.block),
                      c.result);
            ASSERT_EQ(rec.blocks.size(), c.sizes.size());
            std::string joined;
            int64_t done = 0;
            for (size_t i = 0; i < rec.blocks.size(); ++i) {
                const Block& b = rec.blocks[i];
                done += b.size;
                EXPECT_EQ(b.index, (int32_t)i);
                EXPECT_EQ(b.size, c.sizes[i]);
                EXPECT_EQ(b.total, c.size);
                EXPECT_EQ(b.done, done);
                joined += b.data;
            }
            EXPECT_EQ(joined, content.substr(0, (size_t)c.result));
            if (with_buffer) {
                EXPECT_EQ(std::string(buf.data(), (size_t)c.result), content.substr(0, (size_t)c.result));
                EXPECT_EQ(buf[(size_t)c.result], '#');
            }
        }
    }
}

TEST_F(FileTest, CancelStopsAfterWholeBlockOnly)
{
    Put("/h.bin", Pattern(10));
    struct {
        int32_t cancel_at;
        size_t blocks_seen;
        int64_t result;
    } cases[] = {
        {0, 1, -1},  // first whole block
        {1, 2, -1},  // last whole block: the remainder is not read
        {2, 3, 10},  // the remainder block: the flag is not looked at
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cancel_at);
        File f("/h.bin", 0);
        BOOL cancel = 0;
        Recorder rec;
        rec.cancel = &cancel;
        rec.cancel_at = c.cancel_at;
        EXPECT_EQ(f.ReadHuge(nullptr, 10, rec.Cb(), &cancel, 4), c.result);
        EXPECT_EQ(rec.blocks.size(), c.blocks_seen);
    }
}

TEST_F(FileTest, WriteHuge)
{
    const std::string content = Pattern(11);
    {
        File f("/w.bin", 3);
        Recorder rec;
        EXPECT_EQ(f.WriteHuge(nullptr, 11, rec.Cb(), nullptr, 4), -1);
        EXPECT_TRUE(rec.blocks.empty());
        EXPECT_EQ(f.GetLength(), 0);
        EXPECT_EQ(f.WriteHuge(content.data(), 11, rec.Cb(), nullptr, 4), 11);
        ASSERT_EQ(rec.blocks.size(), 3u);
        EXPECT_EQ(rec.blocks[2].size, 3);
        EXPECT_EQ(rec.blocks[2].done, 11);
        EXPECT_EQ(rec.blocks[1].data, content.substr(4, 4));
    }
    EXPECT_EQ(Get("/w.bin"), content);

    File f("/w2.bin", 3);
    BOOL cancel = 0;
    Recorder rec;
    rec.cancel = &cancel;
    rec.cancel_at = 0;
    EXPECT_EQ(f.WriteHuge(content.data(), 11, rec.Cb(), &cancel, 4), -1);
    f.Close();
    // What was written before the cancel stays.
    EXPECT_EQ(Get("/w2.bin"), content.substr(0, 4));
}

// A file system that reports a full disk only at the flush: the flush says
// so, with its cause, and the interface's flush goes on without a result.
TEST_F(FileTest, FlushReportsTheFileSystemsFailure)
{
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    File f("/f.bin", 3);
    ASSERT_TRUE(f.IsValid());
    ASSERT_EQ(f.Write("abc", 3, nullptr), 3);
    kivo_err_t err = -1;
    EXPECT_TRUE(f.Flush(&err));
    EXPECT_EQ(err, 0);
    FailingFs::FsyncErr() = FailingFs::kNoSpace;
    EXPECT_FALSE(f.Flush(&err));
    EXPECT_EQ(err, FailingFs::kNoSpace);
    EXPECT_FALSE(f.Flush(nullptr));
    f.Flush();
    FailingFs::Reset();
    EXPECT_TRUE(f.Flush(nullptr));
}

// A size, a seek or a close that fails is told apart from an empty file, a
// position and a clean close, with the file system's cause; the object is
// closed after a failed close all the same.
TEST_F(FileTest, FailedSizeSeekAndCloseCarryTheirCause)
{
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    Put("/f.bin", "12345");
    File f("/f.bin", 1);
    ASSERT_TRUE(f.IsValid());
    kivo_err_t err = -1;
    EXPECT_EQ(f.GetLength(&err), 5);
    EXPECT_EQ(err, 0);
    FailingFs::FailNext(FailingFs::kFstat, 5);
    EXPECT_EQ(f.GetLength(&err), -1);
    EXPECT_EQ(err, 5);
    FailingFs::FailNext(FailingFs::kFstat, 5);
    EXPECT_EQ(f.GetLength(), 0);  // the byte channel's form keeps its 0

    EXPECT_EQ(f.Seek(3, File::SeekBegin, &err), 3);
    EXPECT_EQ(err, 0);
    FailingFs::FailNext(FailingFs::kSeek, 5);
    EXPECT_EQ(f.Seek(1, File::SeekBegin, &err), -1);
    EXPECT_EQ(err, 5);
    EXPECT_EQ(f.GetPos(), 3);

    FailingFs::FailNext(FailingFs::kClose, 28);
    EXPECT_FALSE(f.Close(&err));
    EXPECT_EQ(err, 28);
    EXPECT_FALSE(f.IsValid());
    EXPECT_TRUE(f.Close(&err));  // closed already: nothing to fail
    EXPECT_EQ(err, 0);
    FailingFs::Reset();
}

struct WriteAllCase {
    int64_t budget;     // bytes the medium takes in all (-1: no limit)
    bool ok;
    kivo_err_t err;
    size_t written;
};

// A medium that fills up part-way takes a short write and then refuses:
// the short write is written on from where it stopped, the refusal ends it
// with its cause and the count that went.
TEST_F(FileTest, WriteAllWritesOnAfterShortWritesAndCarriesTheCause)
{
    const WriteAllCase cases[] = {
        {-1, true, 0, 6},
        {6, true, 0, 6},
        {4, false, FailingFs::kNoSpace, 4},
        {0, false, FailingFs::kNoSpace, 0},
    };
    ASSERT_EQ(kivo_mount("/system", &FailingFs::Ops(), (void*)_root.c_str(), nullptr), 0);
    for (const WriteAllCase& c : cases) {
        SCOPED_TRACE(c.budget);
        File f("/w.bin", 3);
        ASSERT_TRUE(f.IsValid());
        FailingFs::WriteBudget() = c.budget;
        // Two writes at least: the budget cuts the first one short.
        kivo_err_t err = -1;
        size_t written = 99;
        EXPECT_EQ(kivo::filesystem::WriteAll(f, "abcdef", 6, &err, &written), c.ok);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(written, c.written);
        FailingFs::Reset();
        f.Close();
        EXPECT_EQ(Get("/w.bin"), std::string("abcdef").substr(0, c.written));
    }
}

struct ReadFullCase {
    const char* path;
    size_t want;
    const char* got;
    kivo_err_t err;
};

// The whole asked-for count, less at the end of the file, nothing from a
// read that fails (with its cause).
TEST_F(FileTest, ReadFullStopsAtTheEndOrTheFailure)
{
    Put("/r.bin", "12345");
    Mkdir("/d");
    const ReadFullCase cases[] = {
        {"/r.bin", 3, "123", 0},
        {"/r.bin", 5, "12345", 0},
        {"/r.bin", 10, "12345", 0},
        {"/r.bin", 0, "", 0},
        {"/d", 4, "", 21},  // EISDIR
    };
    for (const ReadFullCase& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.want));
        File f(c.path, 0);
        ASSERT_TRUE(f.IsValid());
        std::string buf(16, '\0');
        kivo_err_t err = -1;
        const size_t n = kivo::filesystem::ReadFull(f, &buf[0], c.want, &err);
        EXPECT_EQ(buf.substr(0, n), c.got);
        EXPECT_EQ(err, c.err);
    }
}

TEST_F(FileTest, HugeAssertsBlockSize)
{
    Put("/h.bin", "x");
    File f("/h.bin", 0);
    EXPECT_DEATH(f.ReadHuge(nullptr, 1, File::Callback(), nullptr, 0), "blockSize > 0");
}

}  // namespace
