#pragma once

// CRC-16/MODBUS (polynomial 0x8005 reflected, initial 0xFFFF, no final XOR):
// the check word of packaged files. Start with 0xFFFF and feed the bytes in
// any number of calls; the register after the last call is the check word.

#include <stddef.h>
#include <stdint.h>

// The register after data. Same result as one table step per byte
// (register = table[(register ^ byte) & 0xFF] ^ (register >> 8)), computed
// eight bytes at a time.
uint16_t Crc16ModbusUpdate(uint16_t crc, const uint8_t* data, size_t len);

// Entry i of the byte-at-a-time table (the published one for this polynomial).
uint16_t Crc16ModbusTable(uint8_t index);
