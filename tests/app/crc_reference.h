#pragma once

// CRC-16/MODBUS bit by bit, kept apart from the table-driven code under
// test: the reference of its own tests, of the records a test writes, and
// of the fuzz targets' checks.

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace crc_reference {

inline uint16_t Crc16Modbus(const uint8_t* p, size_t n)
{
    uint16_t reg = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        reg ^= p[i];
        for (int b = 0; b < 8; ++b)
            reg = (reg & 1) ? static_cast<uint16_t>((reg >> 1) ^ 0xA001) : static_cast<uint16_t>(reg >> 1);
    }
    return reg;
}

inline uint32_t Crc16Modbus(const std::string& data)
{
    return Crc16Modbus(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

}  // namespace crc_reference
