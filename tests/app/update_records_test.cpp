// Info blocks and image records: complemented 32-bit sums.

#include "app/update.h"

#include <gtest/gtest.h>

#include <string.h>

#include <vector>

namespace {

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A block with correct sums; word3 free. header_length overrides the length
// field (the sums are made to match it).
std::vector<uint8_t> Block(const std::string& payload, uint32_t word3, size_t extra = 0)
{
    std::vector<uint8_t> b(20 + payload.size() + extra, 0);
    memcpy(b.data(), "info", 4);
    memcpy(b.data() + 20, payload.data(), payload.size());
    uint32_t psum = 0;
    for (unsigned char c : payload)
        psum += c;
    psum = ~psum;
    const uint32_t len = static_cast<uint32_t>(payload.size());
    Put32(b, 4, len);
    Put32(b, 8, psum);
    Put32(b, 12, word3);
    Put32(b, 16, ~(static_cast<uint32_t>('i' + 'n' + 'f' + 'o') + len + psum + word3));
    return b;
}

TEST(UpdateRecords, InfoBlocks)
{
    // Length 0 in exactly 20 bytes: valid; a 19-byte buffer never is.
    std::vector<uint8_t> empty = Block("", 7);
    EXPECT_EQ(1, Update::CheckInfoBlock(empty.data(), 20));
    EXPECT_EQ(0, Update::CheckInfoBlock(empty.data(), 19));

    std::vector<uint8_t> b = Block("hello, block", 0xDEADBEEF, 3);
    EXPECT_EQ(1, Update::CheckInfoBlock(b.data(), static_cast<uint32_t>(b.size())));
    EXPECT_EQ(0, Update::CheckInfoBlock(b.data(), 20 + 11)) << "payload beyond the buffer";
    uint32_t len = static_cast<uint32_t>(b.size());
    const uint8_t* p = Update::GetInfoBlockPayload(b.data(), &len);
    ASSERT_EQ(b.data() + 20, p);
    EXPECT_EQ(12u, len);

    struct {
        const char* what;
        size_t at;
        uint8_t mask;
    } damage[] = {{"magic", 3, 0x01}, {"length", 4, 0x01}, {"payload sum", 9, 0x10}, {"word 3", 12, 0x80},
                  {"header sum", 19, 0x01}, {"payload", 25, 0x02}};
    for (const auto& d : damage) {
        std::vector<uint8_t> bad = b;
        bad[d.at] ^= d.mask;
        EXPECT_EQ(0, Update::CheckInfoBlock(bad.data(), static_cast<uint32_t>(bad.size()))) << d.what;
        uint32_t keep = 1234;
        EXPECT_EQ(nullptr, Update::GetInfoBlockPayload(bad.data(), &keep)) << d.what;
        EXPECT_EQ(1234u, keep);
    }

    // Another magic with sums made for it is still refused.
    std::vector<uint8_t> other = Block("x", 0);
    memcpy(other.data(), "infp", 4);
    Put32(other, 16, ~(static_cast<uint32_t>('i' + 'n' + 'f' + 'p') + 1 + (~0u - 'x') + 0));
    EXPECT_EQ(0, Update::CheckInfoBlock(other.data(), static_cast<uint32_t>(other.size())));

    // A length near 2^32 whose header sum is right must not wrap past the
    // buffer (the sanitizers watch the reads).
    std::vector<uint8_t> huge = Block("", 0);
    const uint32_t big = 0xFFFFFFF0u;
    Put32(huge, 4, big);
    Put32(huge, 16, ~(static_cast<uint32_t>('i' + 'n' + 'f' + 'o') + big + ~0u + 0));
    EXPECT_EQ(0, Update::CheckInfoBlock(huge.data(), 20));
    EXPECT_EQ(0, Update::CheckInfoBlock(nullptr, 20));
}

TEST(UpdateRecords, FlashRecord)
{
    uint32_t r[16];
    for (int i = 0; i < 16; ++i)
        r[i] = 0x1000 + i;
    ASSERT_EQ(1, Update::BuildFlashRecord(r, "V1.2.3T", 4097, 0xCAFE));
    const uint32_t want[15] = {1024, 1024, 4097, 0x1003, 0x1004, 0x1005, 0x1006, 1, 2, 3, 0, 0xCAFE, 0x100C, 0x100D, 0x100E};
    uint32_t sum = 0;
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(want[i], r[i]) << i;
        sum += want[i];
    }
    EXPECT_EQ(~sum, r[15]);
    EXPECT_EQ(r[15], Update::RecordChecksum(r));
    for (int i = 0; i < 15; ++i) {
        uint32_t changed[16];
        memcpy(changed, r, sizeof changed);
        changed[i] ^= 0x100;
        EXPECT_NE(changed[15], Update::RecordChecksum(changed)) << i;
    }

    uint32_t keep[16];
    memset(keep, 0x5A, sizeof keep);
    uint32_t copy[16];
    memcpy(copy, keep, sizeof copy);
    EXPECT_EQ(0, Update::BuildFlashRecord(keep, "1.2.3.4.5", 8, 0));
    EXPECT_EQ(0, memcmp(copy, keep, sizeof keep));
}

}  // namespace
