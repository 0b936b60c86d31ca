#include "app/crc16_modbus.h"

namespace {

// The reflected form of polynomial 0x8005.
constexpr uint16_t kReflectedPoly = 0xA001;
// Bytes folded in one step of the fast loop, and so the number of tables.
constexpr int kStride = 8;
constexpr int kByteValues = 256;

// tables[0] is the byte-at-a-time table; tables[k][i] is the register change
// of byte i followed by k zero bytes, so eight bytes fold in one step each.
struct Crc16Tables {
    uint16_t t[kStride][kByteValues];
};

constexpr Crc16Tables MakeTables()
{
    Crc16Tables tab{};
    for (int i = 0; i < kByteValues; ++i) {
        uint16_t r = static_cast<uint16_t>(i);
        for (int b = 0; b < 8; ++b)
            r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ kReflectedPoly) : static_cast<uint16_t>(r >> 1);
        tab.t[0][i] = r;
    }
    for (int k = 1; k < kStride; ++k) {
        for (int i = 0; i < kByteValues; ++i) {
            uint16_t prev = tab.t[k - 1][i];
            tab.t[k][i] = static_cast<uint16_t>((prev >> 8) ^ tab.t[0][prev & 0xFF]);
        }
    }
    return tab;
}

constexpr Crc16Tables kTables = MakeTables();

}  // namespace

uint16_t Crc16ModbusTable(uint8_t index)
{
    return kTables.t[0][index];
}

uint16_t Crc16ModbusUpdate(uint16_t crc, const uint8_t* data, size_t len)
{
    uint32_t r = crc;
    const uint16_t(*t)[kByteValues] = kTables.t;
    while (len >= kStride) {
        // Byte loads keep this independent of alignment and byte order.
        uint32_t lo = r ^ (static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8);
        r = t[7][lo & 0xFF] ^ t[6][lo >> 8] ^ t[5][data[2]] ^ t[4][data[3]] ^ t[3][data[4]] ^ t[2][data[5]] ^
            t[1][data[6]] ^ t[0][data[7]];
        data += kStride;
        len -= kStride;
    }
    while (len-- > 0)
        r = t[0][(r ^ *data++) & 0xFF] ^ (r >> 8);
    return static_cast<uint16_t>(r);
}
