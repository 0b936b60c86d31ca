// CRC-16/MODBUS against the published check value and table, and the
// eight-byte steps against the bit-by-bit reference.

#include "app/crc16_modbus.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "tests/app/crc_reference.h"

namespace {

TEST(Crc16Modbus, PublishedValues)
{
    const uint8_t* check = reinterpret_cast<const uint8_t*>("123456789");
    EXPECT_EQ(0x4B37, Crc16ModbusUpdate(0xFFFF, check, 9));
    EXPECT_EQ(0xFFFF, Crc16ModbusUpdate(0xFFFF, check, 0));
    struct {
        uint8_t index;
        uint16_t entry;
    } table[] = {{0, 0x0000}, {1, 0xC0C1}, {2, 0xC181}, {3, 0x0140}, {0x80, 0xA001}, {0xFF, 0x4040}};
    for (const auto& t : table)
        EXPECT_EQ(t.entry, Crc16ModbusTable(t.index)) << int(t.index);
}

TEST(Crc16Modbus, EveryLengthOffsetAndSplitMatchesTheReference)
{
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 131 + 7);
    for (size_t off = 0; off < 8; ++off) {
        for (size_t len = 0; len + off <= 64; ++len)
            ASSERT_EQ(crc_reference::Crc16Modbus(&data[off], len), Crc16ModbusUpdate(0xFFFF, &data[off], len))
                << off << "/" << len;
    }
    const uint16_t whole = crc_reference::Crc16Modbus(data.data(), data.size());
    for (size_t cut : {1u, 7u, 8u, 13u, 150u, 299u}) {
        uint16_t r = Crc16ModbusUpdate(0xFFFF, data.data(), cut);
        EXPECT_EQ(whole, Crc16ModbusUpdate(r, data.data() + cut, data.size() - cut)) << cut;
    }
}

}  // namespace
