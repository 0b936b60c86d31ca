#include "kivo/utils/check.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using kivo::check::CrcBuilder;
using kivo::check::CrcBuilderWithTable;
using kivo::check::ICrcBuilder;

const uint8_t kDigits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

struct CrcModel {
    const char* name;
    int width;
    uint32_t poly;
    uint32_t init;
    bool refin;
    bool refout;
    uint32_t xorout;
    uint32_t check;  // published check value over "123456789"
};

// Catalogue models over several widths, reflected and not, with and without
// a final XOR. For all of these the initial value is its own reflection or
// the input is not reflected, so both builders must agree.
const CrcModel kModels[] = {
    {"CRC-8/SMBUS", 8, 0x07, 0x00, false, false, 0x00, 0xF4},
    {"CRC-8/I-432-1", 8, 0x07, 0x00, false, false, 0x55, 0xA1},
    {"CRC-8/MAXIM-DOW", 8, 0x31, 0x00, true, true, 0x00, 0xA1},
    {"CRC-8/ROHC", 8, 0x07, 0xFF, true, true, 0x00, 0xD0},
    {"CRC-10/ATM", 10, 0x233, 0x000, false, false, 0x000, 0x199},
    {"CRC-12/UMTS", 12, 0x80F, 0x000, false, true, 0x000, 0xDAF},
    {"CRC-14/DARC", 14, 0x0805, 0x0000, true, true, 0x0000, 0x082D},
    {"CRC-16/MODBUS", 16, 0x8005, 0xFFFF, true, true, 0x0000, 0x4B37},
    {"CRC-16/ARC", 16, 0x8005, 0x0000, true, true, 0x0000, 0xBB3D},
    {"CRC-16/IBM-3740", 16, 0x1021, 0xFFFF, false, false, 0x0000, 0x29B1},
    {"CRC-16/SPI-FUJITSU", 16, 0x1021, 0x1D0F, false, false, 0x0000, 0xE5CC},
    {"CRC-16/IBM-SDLC", 16, 0x1021, 0xFFFF, true, true, 0xFFFF, 0x906E},
    {"CRC-16/GENIBUS", 16, 0x1021, 0xFFFF, false, false, 0xFFFF, 0xD64E},
    {"CRC-16/DNP", 16, 0x3D65, 0x0000, true, true, 0xFFFF, 0xEA82},
    {"CRC-24/OPENPGP", 24, 0x864CFB, 0xB704CE, false, false, 0x000000, 0x21CF02},
    {"CRC-31/PHILIPS", 31, 0x04C11DB7, 0x7FFFFFFF, false, false, 0x7FFFFFFF, 0x0CE9E46C},
    {"CRC-32/ISO-HDLC", 32, 0x04C11DB7, 0xFFFFFFFF, true, true, 0xFFFFFFFF, 0xCBF43926},
    {"CRC-32/BZIP2", 32, 0x04C11DB7, 0xFFFFFFFF, false, false, 0xFFFFFFFF, 0xFC891918},
    {"CRC-32/CKSUM", 32, 0x04C11DB7, 0x00000000, false, false, 0xFFFFFFFF, 0x765E7680},
    {"CRC-32/ISCSI", 32, 0x1EDC6F41, 0xFFFFFFFF, true, true, 0xFFFFFFFF, 0xE3069283},
    {"CRC-32/JAMCRC", 32, 0x04C11DB7, 0xFFFFFFFF, true, true, 0x00000000, 0x340BC6D9},
    {"CRC-32/XFER", 32, 0x000000AF, 0x00000000, false, false, 0x00000000, 0xBD0BE338},
};

// Reflected models whose initial value is not its own reflection: the table
// builder runs its register in reflected form and takes `init` as given.
const CrcModel kAsymmetricInitModels[] = {
    {"CRC-16/RIELLO", 16, 0x1021, 0xB2AA, true, true, 0x0000, 0x63D0},
    {"CRC-24/BLE", 24, 0x00065B, 0x555555, true, true, 0x000000, 0xC25A56},
};

template <typename Builder>
std::unique_ptr<ICrcBuilder> Make(const CrcModel& m, uint32_t init)
{
    return std::unique_ptr<ICrcBuilder>(
        new Builder(m.width, m.poly, init, m.refin, m.refout, m.xorout));
}

uint32_t CheckOf(ICrcBuilder& b, const uint8_t* data, size_t len)
{
    b.Reset();
    b.Update(data, len);
    uint32_t out = 0;
    const uint32_t ret = b.Final(&out);
    EXPECT_EQ(ret, out);
    return out;
}

std::vector<uint8_t> PseudoRandom(size_t n)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 0x2545F491u;
    for (auto& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return v;
}

TEST(Crc, CatalogueCheckValuesWithBothBuilders)
{
    for (const auto& m : kModels) {
        SCOPED_TRACE(m.name);
        auto bitwise = Make<CrcBuilder>(m, m.init);
        auto table = Make<CrcBuilderWithTable>(m, m.init);
        EXPECT_EQ(m.check, CheckOf(*bitwise, kDigits, sizeof kDigits));
        EXPECT_EQ(m.check, CheckOf(*table, kDigits, sizeof kDigits));
    }
}

TEST(Crc, BuildersAgreeOnLongerData)
{
    const std::vector<uint8_t> data = PseudoRandom(1031);
    for (const auto& m : kModels) {
        SCOPED_TRACE(m.name);
        auto bitwise = Make<CrcBuilder>(m, m.init);
        auto table = Make<CrcBuilderWithTable>(m, m.init);
        const uint32_t a = CheckOf(*bitwise, data.data(), data.size());
        EXPECT_EQ(a, CheckOf(*table, data.data(), data.size()));
        const kivo_crc_model_t shape = {m.width, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(0u, a & ~kivo_crc_widmask(&shape));
    }
}

TEST(Crc, TableBuilderTakesReflectedInitAsGiven)
{
    for (const auto& m : kAsymmetricInitModels) {
        SCOPED_TRACE(m.name);
        auto bitwise = Make<CrcBuilder>(m, m.init);
        EXPECT_EQ(m.check, CheckOf(*bitwise, kDigits, sizeof kDigits));

        // Same parameters: the table builder gives another value...
        auto table = Make<CrcBuilderWithTable>(m, m.init);
        EXPECT_NE(m.check, CheckOf(*table, kDigits, sizeof kDigits));

        // ...and the catalogue value once it is handed the reflected init.
        auto table_reflected = Make<CrcBuilderWithTable>(m, kivo_crc_reflect(m.init, m.width));
        EXPECT_EQ(m.check, CheckOf(*table_reflected, kDigits, sizeof kDigits));
    }
}

TEST(Crc, SplitUpdatesEqualOneUpdate)
{
    const std::vector<uint8_t> data = PseudoRandom(300);
    const size_t cuts[][3] = {{0, 0, 300}, {1, 1, 298}, {7, 100, 193}, {150, 150, 0}};
    for (const auto& m : kModels) {
        SCOPED_TRACE(m.name);
        auto bitwise = Make<CrcBuilder>(m, m.init);
        auto table = Make<CrcBuilderWithTable>(m, m.init);
        for (ICrcBuilder* b : {bitwise.get(), table.get()}) {
            const uint32_t whole = CheckOf(*b, data.data(), data.size());
            for (const auto& cut : cuts) {
                b->Reset();
                size_t pos = 0;
                for (size_t piece : cut) {
                    b->Update(data.data() + pos, piece);
                    pos += piece;
                }
                ASSERT_EQ(data.size(), pos);
                EXPECT_EQ(whole, b->Final(nullptr));
            }
            b->Reset();
            for (uint8_t byte : data)
                b->Update(&byte, 1);
            EXPECT_EQ(whole, b->Final(nullptr));
        }
    }
}

TEST(Crc, FinalKeepsRegisterAndResetRestarts)
{
    const CrcModel& modbus = kModels[7];
    ASSERT_STREQ("CRC-16/MODBUS", modbus.name);
    auto bitwise = Make<CrcBuilder>(modbus, modbus.init);
    auto table = Make<CrcBuilderWithTable>(modbus, modbus.init);
    for (ICrcBuilder* b : {bitwise.get(), table.get()}) {
        // Fresh builder: the check of no bytes is the initial value.
        uint32_t first = 0;
        b->Final(&first);
        EXPECT_EQ(0xFFFFu, first);

        b->Update(kDigits, sizeof kDigits);
        uint32_t a = 0, c = 0;
        b->Final(&a);
        b->Final(&c);
        EXPECT_EQ(0x4B37u, a);
        EXPECT_EQ(a, c);

        // Reset drops what was fed.
        b->Reset();
        b->Update(kDigits, sizeof kDigits);
        EXPECT_EQ(0x4B37u, b->Final(nullptr));

        // Init with another model starts over with it.
        b->Init(8, 0x07, 0x00, false, false, 0x55);
        b->Update(kDigits, sizeof kDigits);
        EXPECT_EQ(0xA1u, b->Final(nullptr));
    }
}

TEST(Crc, ParameterBitsAboveWidthAreDropped)
{
    // CRC-16/IBM-SDLC with init and final XOR given as 32-bit all-ones.
    CrcBuilder bitwise(16, 0x1021, 0xFFFFFFFF, true, true, 0xFFFFFFFF);
    CrcBuilderWithTable table(16, 0x1021, 0xFFFFFFFF, true, true, 0xFFFFFFFF);
    EXPECT_EQ(0x906Eu, CheckOf(bitwise, kDigits, sizeof kDigits));
    EXPECT_EQ(0x906Eu, CheckOf(table, kDigits, sizeof kDigits));
    bitwise.Reset();
    EXPECT_EQ(0u, bitwise.Final(nullptr));
}

TEST(Crc, EngineMatchesBuilder)
{
    const CrcModel& m = kModels[1];  // CRC-8/I-432-1
    kivo_crc_model_t model = {m.width, m.poly, m.init, m.refin, m.refout, m.xorout, 0x5A};
    kivo_crc_init(&model);
    EXPECT_EQ(m.init, model.reg);
    kivo_crc_block(&model, kDigits, sizeof kDigits);
    EXPECT_EQ(m.check, kivo_crc_result(&model));
    EXPECT_EQ(m.check, kivo_crc_result(&model));
}

TEST(Crc, TableEntries)
{
    // Well-known entries: CRC-32 reflected table and CRC-16/MODBUS table.
    kivo_crc_model_t crc32 = {32, 0x04C11DB7, 0xFFFFFFFF, 1, 1, 0xFFFFFFFF, 0};
    EXPECT_EQ(0x00000000u, kivo_crc_table_entry(&crc32, 0));
    EXPECT_EQ(0x77073096u, kivo_crc_table_entry(&crc32, 1));
    EXPECT_EQ(0x2D02EF8Du, kivo_crc_table_entry(&crc32, 255));
    kivo_crc_model_t modbus = {16, 0x8005, 0xFFFF, 1, 1, 0, 0};
    EXPECT_EQ(0xC0C1u, kivo_crc_table_entry(&modbus, 1));
    EXPECT_EQ(0x4040u, kivo_crc_table_entry(&modbus, 255));
    // Not reflected: entry 1 is the polynomial itself.
    kivo_crc_model_t ccitt = {16, 0x1021, 0xFFFF, 0, 0, 0, 0};
    EXPECT_EQ(0x1021u, kivo_crc_table_entry(&ccitt, 1));
    kivo_crc_model_t atm = {10, 0x233, 0, 0, 0, 0, 0};
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(0u, kivo_crc_table_entry(&atm, i) & ~0x3FFu) << i;
}

TEST(Crc, WidthMask)
{
    const struct {
        int width;
        uint32_t mask;
    } cases[] = {{8, 0xFFu}, {10, 0x3FFu}, {16, 0xFFFFu}, {31, 0x7FFFFFFFu}, {32, 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        kivo_crc_model_t model = {c.width, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(c.mask, kivo_crc_widmask(&model)) << c.width;
    }
}

TEST(Crc, Reflect)
{
    const struct {
        uint32_t value;
        int bits;
        uint32_t out;
    } cases[] = {
        {0x01, 8, 0x80},
        {0x80, 8, 0x01},
        {0xA0, 8, 0x05},
        {0xAB01, 8, 0xAB80},  // bits above the range are kept
        {0xF1, 4, 0xF8},
        {0x0001, 16, 0x8000},
        {0xB2AA, 16, 0x554D},
        {0x12345678, 32, 0x1E6A2C48},
        {0x00000001, 32, 0x80000000},
        {0xFFFFFFFF, 32, 0xFFFFFFFF},
        {0x1234, 0, 0x1234},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.out, kivo_crc_reflect(c.value, c.bits)) << std::hex << c.value << " " << c.bits;
        EXPECT_EQ(c.value, kivo_crc_reflect(c.out, c.bits)) << std::hex << c.value;
    }
}

using CrcDeathTest = ::testing::Test;

TEST_F(CrcDeathTest, WidthOutsideEightToThirtyTwo)
{
    EXPECT_DEATH(CrcBuilder(7, 0x07, 0, false, false, 0), "width >= 8 && width <= 32");
    EXPECT_DEATH(CrcBuilder(33, 0x07, 0, false, false, 0), "width >= 8 && width <= 32");
    EXPECT_DEATH(CrcBuilderWithTable(7, 0x07, 0, false, false, 0), "width >= 8 && width <= 32");
    EXPECT_DEATH(CrcBuilderWithTable(33, 0x07, 0, false, false, 0),
                 "width >= 8 && width <= 32");
    CrcBuilder b(8, 0x07, 0, false, false, 0);
    EXPECT_DEATH(b.Init(33, 0x07, 0, false, false, 0), "width >= 8 && width <= 32");
}

TEST(HexSum, IntelHexRecords)
{
    const struct {
        const char* text;
        uint8_t sum;
    } cases[] = {
        {"0102", 0xFD},
        {"", 0x00},
        {"00", 0x00},
        {"FF", 0x01},
        {"00000001", 0xFF},  // end-of-file record
        {"0300300002337A", 0x1E},
        {"0300300002337A1E", 0x00},  // checksum included: sums to zero
        {"10010000214601360121470136007EFE09D21901", 0x40},
        {"10010000214601360121470136007EFE09D2190140", 0x00},
    };
    for (const auto& c : cases) {
        const std::string t = c.text;
        EXPECT_EQ(c.sum, kivo::check::HexSum(t.data(), t.size())) << c.text;
    }
}

TEST(HexSum, OddLengthIgnoresLoneLastCharacter)
{
    // Exactly five characters on the heap, no terminator: any read past the
    // end would be caught by the address sanitizer.
    std::unique_ptr<char[]> text(new char[5]{'0', '1', '0', '2', 'F'});
    EXPECT_EQ(0xFD, kivo::check::HexSum(text.get(), 5));
    // The character after `len` is never looked at.
    const std::string longer = "0102FF";
    EXPECT_EQ(0xFD, kivo::check::HexSum(longer.data(), 5));
    EXPECT_EQ(0x00, kivo::check::HexSum("7", 1));
}

}  // namespace
