// Zip entries whose dates lie after 2038 and archives and entries larger
// than 32-bit fields hold: the device (32-bit ARM) must read them as the
// native build does. The large archives are sparse files laid out here byte
// by byte (stored entries whose data is a hole), so they cost no disk space
// and take no time to make.

#include "kivo/utils/zip.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <ioapi.h>
#include <unzip.h>
#include <zip.h>
#include <zlib.h>

#include "kivo/filesystem/file.h"
#include "tests/kivo/base/platform/linux/raw_file_times.h"
#include "tests/kivo/filesystem/fs_test_sandbox.h"

using kivo::zip::ZipReader;

namespace {

// ---- time zone of one case

class ScopedTz {
public:
    explicit ScopedTz(const char* tz)
    {
        const char* old = getenv("TZ");
        _had = old != nullptr;
        if (_had)
            _old = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTz()
    {
        if (_had)
            setenv("TZ", _old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool _had;
    std::string _old;
};

// Seconds since the epoch of a UTC calendar date, without the system's
// time_t (days from the civil calendar).
int64_t UtcSeconds(int year, int month, int day, int hour, int min, int sec)
{
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int mp = (month + 9) % 12;
    const int doy = (153 * mp + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = (int64_t)era * 146097 + doe - 719468;
    return days * 86400 + hour * 3600 + min * 60 + sec;
}

struct DateCase {
    const char* name;
    int year, month, day, hour, min, sec;  // sec even: DOS times have two-second steps
    const char* tz;
    int64_t tz_east;  // seconds east of UTC in that zone
};

const DateCase kDates[] = {
    {"Y2040Utc", 2040, 1, 1, 0, 0, 0, "UTC0", 0},
    {"Y2040East", 2040, 7, 15, 13, 42, 10, "CST-8", 8 * 3600},
    {"Y2106Utc", 2106, 6, 1, 12, 0, 0, "UTC0", 0},
    {"Y2107LastDosDay", 2107, 12, 31, 23, 59, 58, "CST-8", 8 * 3600},
};

void PrintTo(const DateCase& c, std::ostream* os)
{
    *os << c.name;
}

class ZipLateDates : public FsSandbox, public ::testing::WithParamInterface<DateCase> {
protected:
    int64_t Expected() const
    {
        const DateCase& c = GetParam();
        return UtcSeconds(c.year, c.month, c.day, c.hour, c.min, c.sec) - c.tz_east;
    }

    // One entry written through minizip with the case's date.
    void DatedArchive(const std::string& rel, const std::string& name, const std::string& bytes)
    {
        const DateCase& c = GetParam();
        zlib_filefunc64_def ff;
        kivo_zip_fill_filefunc64(&ff);
        zipFile zf = zipOpen2_64(rel.c_str(), APPEND_STATUS_CREATE, nullptr, &ff);
        ASSERT_NE(zf, nullptr);
        zip_fileinfo zi;
        memset(&zi, 0, sizeof(zi));
        zi.tmz_date.tm_year = (uInt)c.year;
        zi.tmz_date.tm_mon = (uInt)(c.month - 1);
        zi.tmz_date.tm_mday = (uInt)c.day;
        zi.tmz_date.tm_hour = (uInt)c.hour;
        zi.tmz_date.tm_min = (uInt)c.min;
        zi.tmz_date.tm_sec = (uInt)c.sec;
        ASSERT_EQ(zipOpenNewFileInZip(zf, name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 6),
                  ZIP_OK);
        ASSERT_EQ(zipWriteInFileInZip(zf, bytes.data(), (unsigned)bytes.size()), ZIP_OK);
        ASSERT_EQ(zipCloseFileInZip(zf), ZIP_OK);
        ASSERT_EQ(zipClose(zf, nullptr), ZIP_OK);
    }
};

TEST_P(ZipLateDates, EntryTimeIsTheDateAndTheExtractedFileKeepsIt)
{
    ScopedTz tz(GetParam().tz);
    DatedArchive("/pkg.zip", "d/late.txt", "late entry");

    ZipReader reader("/pkg.zip");
    ZipReader::EntryInfo info;
    ASSERT_TRUE(reader.GetCurrentEntryInfo(info));
    EXPECT_EQ(info.time, Expected());
    reader.Close();

    ASSERT_TRUE(kivo::zip::UnzipToDir("/pkg.zip", "/out", ""));
    EXPECT_EQ(Get("/out/d/late.txt"), "late entry");
    EXPECT_EQ(raw_times::Mtime(Real("/out/d/late.txt")), Expected());

    ZipReader again("/pkg.zip");
    ASSERT_TRUE(again.ExtractCurrentEntryToFilePath("/single.txt", ""));
    EXPECT_EQ(raw_times::Mtime(Real("/single.txt")), Expected());
}

// The writer takes the entry's date from the source file's time.
TEST_P(ZipLateDates, WriterKeepsALateSourceDate)
{
    ScopedTz tz(GetParam().tz);
    Mkdir("/src");
    Put("/src/f.txt", "f");
    ASSERT_TRUE(raw_times::Set(Real("/src/f.txt"), Expected()));
    ASSERT_TRUE(kivo::zip::ZipDirSkipHidden("/src", "/w.zip", true, "", kivo::zip::ZipWriter::kCreate, 6));
    ZipReader reader("/w.zip");
    ZipReader::EntryInfo info;
    ASSERT_TRUE(reader.GetCurrentEntryInfo(info));
    EXPECT_EQ(info.time, Expected());
    ASSERT_TRUE(reader.ExtractCurrentEntryToDir("/out", ""));
    EXPECT_EQ(raw_times::Mtime(Real("/out/f.txt")), Expected());
}

INSTANTIATE_TEST_SUITE_P(Dates, ZipLateDates, ::testing::ValuesIn(kDates),
                         [](const ::testing::TestParamInfo<DateCase>& info) { return std::string(info.param.name); });

// ---- sparse archives beyond 2 and 4 GiB

void Put16(std::string& s, uint32_t v)
{
    s += (char)(v & 0xFF);
    s += (char)((v >> 8) & 0xFF);
}

void Put32(std::string& s, uint32_t v)
{
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}

void Put64(std::string& s, uint64_t v)
{
    Put32(s, (uint32_t)v);
    Put32(s, (uint32_t)(v >> 32));
}

// A stored entry: a name and either bytes or a hole of `hole` zero bytes.
struct RawEntry {
    std::string name;
    std::string bytes;
    uint64_t hole;
};

// Writes the archive at the real path `path`; zip64 records wherever a size
// or offset needs them. False when the file system cannot hold the file
// sparsely (the caller skips).
bool WriteSparseArchive(const std::string& path, const std::vector<RawEntry>& entries, std::string* why)
{
    const uint32_t kDosTime = (12u << 11) | (30u << 5);                  // 12:30:00
    const uint32_t kDosDate = ((2021u - 1980u) << 9) | (3u << 5) | 4u;  // 2021-03-04
    const uint32_t kMax = 0xFFFFFFFFu;
    int fd = open64(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) {
        *why = "cannot create " + path;
        return false;
    }
    std::string central;
    uint64_t at = 0;
    bool ok = true;
    for (const RawEntry& e : entries) {
        const uint64_t size = e.hole ? e.hole : e.bytes.size();
        const uint32_t crc = e.hole ? 0 : (uint32_t)crc32(0, (const Bytef*)e.bytes.data(), (uInt)e.bytes.size());
        const bool big = size >= kMax;
        const bool far = at >= kMax;
        // From the version needed to the name's length, both headers agree.
        auto shared = [&](std::string& s, uint32_t needed) {
            Put16(s, needed);
            Put16(s, 0);
            Put16(s, 0);  // stored
            Put16(s, kDosTime);
            Put16(s, kDosDate);
            Put32(s, crc);
            Put32(s, big ? kMax : (uint32_t)size);
            Put32(s, big ? kMax : (uint32_t)size);
            Put16(s, (uint32_t)e.name.size());
        };
        std::string local;
        Put32(local, 0x04034b50);
        shared(local, big ? 45 : 10);
        Put16(local, big ? 20 : 0);
        local += e.name;
        if (big) {
            Put16(local, 1);
            Put16(local, 16);
            Put64(local, size);
            Put64(local, size);
        }
        std::string extra;
        if (big) {
            Put64(extra, size);
            Put64(extra, size);
        }
        if (far)
            Put64(extra, at);
        Put32(central, 0x02014b50);
        Put16(central, 45);
        shared(central, (big || far) ? 45 : 10);
        Put16(central, extra.empty() ? 0 : (uint32_t)extra.size() + 4);
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put32(central, 0);
        Put32(central, far ? kMax : (uint32_t)at);
        central += e.name;
        if (!extra.empty()) {
            Put16(central, 1);
            Put16(central, (uint32_t)extra.size());
            central += extra;
        }
        ok = ok && pwrite64(fd, local.data(), local.size(), (off64_t)at) == (ssize_t)local.size();
        at += local.size();
        if (!e.hole)
            ok = ok && pwrite64(fd, e.bytes.data(), e.bytes.size(), (off64_t)at) == (ssize_t)e.bytes.size();
        at += size;
    }
    const uint64_t cd_at = at;
    std::string tail = central;
    const bool zip64 = cd_at >= kMax;
    if (zip64) {
        Put32(tail, 0x06064b50);
        Put64(tail, 44);
        Put16(tail, 45);
        Put16(tail, 45);
        Put32(tail, 0);
        Put32(tail, 0);
        Put64(tail, entries.size());
        Put64(tail, entries.size());
        Put64(tail, central.size());
        Put64(tail, cd_at);
        Put32(tail, 0x07064b50);
        Put32(tail, 0);
        Put64(tail, cd_at + central.size());
        Put32(tail, 1);
    }
    Put32(tail, 0x06054b50);
    Put16(tail, 0);
    Put16(tail, 0);
    Put16(tail, (uint32_t)entries.size());
    Put16(tail, (uint32_t)entries.size());
    Put32(tail, (uint32_t)central.size());
    Put32(tail, zip64 ? kMax : (uint32_t)cd_at);
    Put16(tail, 0);
    ok = ok && pwrite64(fd, tail.data(), tail.size(), (off64_t)cd_at) == (ssize_t)tail.size();
    struct stat64 st;
    const bool sparse = fstat64(fd, &st) == 0 && (uint64_t)st.st_blocks * 512 < (64u << 20);
    close(fd);
    if (!ok) {
        *why = "the file system here does not take a file of " + std::to_string(cd_at) + " bytes";
        return false;
    }
    if (!sparse) {
        *why = "the file system here does not keep files sparse";
        return false;
    }
    return true;
}

const uint64_t k5GiBPlus1KiB = 5368710144ull;
const uint64_t k2p5GiB = 2684354560ull;

class ZipLargeArchive : public FsSandbox {
protected:
    // "/big.zip": the hole entry "big.bin" of `size` bytes, then "after.txt".
    bool Make(uint64_t size)
    {
        std::string why;
        if (!WriteSparseArchive(Real("/big.zip"), {{"big.bin", "", size}, {"after.txt", "after the hole", 0}},
                                &why)) {
            _skip = why;
            return false;
        }
        return true;
    }

    std::string _skip;
};

struct Seen {
    std::vector<std::pair<std::string, int64_t>> entries;
    bool Take(const ZipReader::EntryInfo& info)
    {
        entries.emplace_back(info.name, info.size);
        return info.size < (1 << 20);
    }
};

TEST_F(ZipLargeArchive, Zip64EntryListsItsWholeSize)
{
    if (!Make(k5GiBPlus1KiB))
        GTEST_SKIP() << _skip;
    ZipReader reader("/big.zip");
    ASSERT_EQ(reader.GetEntryCount(), 2);
    ZipReader::EntryInfo info;
    ASSERT_TRUE(reader.GetCurrentEntryInfo(info));
    EXPECT_EQ(info.name, "big.bin");
    EXPECT_EQ(info.size, (int64_t)k5GiBPlus1KiB);

    // An entry longer than the limit fails at once and leaves the text as
    // it was; on a 32-bit system no limit can hold it.
    std::string text = "unchanged";
    EXPECT_FALSE(reader.ExtractCurrentEntryToString(1 << 20, &text, ""));
    EXPECT_FALSE(reader.ExtractCurrentEntryToString((size_t)(k5GiBPlus1KiB - 1), &text, ""));
    EXPECT_FALSE(reader.ExtractCurrentEntryToString(SIZE_MAX < k5GiBPlus1KiB ? SIZE_MAX : (size_t)(k5GiBPlus1KiB - 1),
                                                    &text, ""));
    EXPECT_EQ(text, "unchanged");

    // The entry behind the hole lies beyond 4 GiB.
    ASSERT_TRUE(reader.GoToNextEntry());
    ASSERT_TRUE(reader.GetCurrentEntryInfo(info));
    EXPECT_EQ(info.name, "after.txt");
    EXPECT_EQ(info.size, 14);
    ASSERT_TRUE(reader.ExtractCurrentEntryToString(100, &text, ""));
    EXPECT_EQ(text, "after the hole");
}

TEST_F(ZipLargeArchive, FilterSeesTheWholeSize)
{
    if (!Make(k5GiBPlus1KiB))
        GTEST_SKIP() << _skip;
    Seen seen;
    ASSERT_TRUE(kivo::zip::UnzipToDirFiltered(
        "/big.zip", "/out", kivo::Function1<bool, const ZipReader::EntryInfo&>(&Seen::Take, &seen), ""));
    EXPECT_EQ(seen.entries, (std::vector<std::pair<std::string, int64_t>>{{"big.bin", (int64_t)k5GiBPlus1KiB},
                                                                          {"after.txt", 14}}));
    EXPECT_FALSE(RawExists("/out/big.bin"));
    EXPECT_EQ(Get("/out/after.txt"), "after the hole");
}

// minizip's 32-bit file-function table over an archive whose directory lies
// beyond 2 GiB (and still within 32-bit fields).
TEST_F(ZipLargeArchive, NarrowFileTableReadsPast2GiB)
{
    if (!Make(k2p5GiB))
        GTEST_SKIP() << _skip;
    zlib_filefunc_def ff;
    kivo_zip_fill_filefunc(&ff);
    unzFile uf = unzOpen2("/big.zip", &ff);
    ASSERT_NE(uf, nullptr);
    unz_global_info gi;
    ASSERT_EQ(unzGetGlobalInfo(uf, &gi), UNZ_OK);
    EXPECT_EQ(gi.number_entry, 2u);
    unz_file_info fi;
    ASSERT_EQ(unzGoToFirstFile(uf), UNZ_OK);
    ASSERT_EQ(unzGetCurrentFileInfo(uf, &fi, nullptr, 0, nullptr, 0, nullptr, 0), UNZ_OK);
    EXPECT_EQ((uint64_t)fi.uncompressed_size, k2p5GiB);
    ASSERT_EQ(unzLocateFile(uf, "after.txt", 1), UNZ_OK);
    ASSERT_EQ(unzOpenCurrentFile(uf), UNZ_OK);
    char buf[64] = {0};
    EXPECT_EQ(unzReadCurrentFile(uf, buf, sizeof buf), 14);
    EXPECT_STREQ(buf, "after the hole");
    EXPECT_EQ(unzCloseCurrentFile(uf), UNZ_OK);
    EXPECT_EQ(unzClose(uf), UNZ_OK);

    // The framework's reader over the same archive.
    ZipReader reader("/big.zip");
    ASSERT_TRUE(reader.LocateEntry("after.txt", 1));
    std::string text;
    ASSERT_TRUE(reader.ExtractCurrentEntryToString(100, &text, ""));
    EXPECT_EQ(text, "after the hole");
}

}  // namespace
