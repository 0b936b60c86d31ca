// The info-block and image-record checks of Update: complemented 32-bit sums.

#include "app/update.h"

#include <string.h>

namespace {

const uint32_t kInfoHeader = 20;

uint32_t _Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

int32_t Update::CheckInfoBlock(const uint8_t* buffer, uint32_t size)
{
    if (buffer == nullptr || size < kInfoHeader || memcmp(buffer, "info", 4) != 0)
        return 0;
    const uint32_t length = _Le32(buffer + 4);
    const uint32_t payload_sum = _Le32(buffer + 8);
    const uint32_t word3 = _Le32(buffer + 12);
    const uint32_t header_sum = _Le32(buffer + 16);
    uint32_t sum = static_cast<uint32_t>(buffer[0]) + buffer[1] + buffer[2] + buffer[3];
    sum += length + payload_sum + word3;
    if (~sum != header_sum)
        return 0;
    // In 64 bits: a length near 2^32 must not wrap past the buffer's end.
    if (static_cast<uint64_t>(length) + kInfoHeader > size)
        return 0;
    uint32_t bytes = 0;
    const uint8_t* payload = buffer + kInfoHeader;
    for (uint32_t i = 0; i < length; ++i)
        bytes += payload[i];
    return ~bytes == payload_sum ? 1 : 0;
}

const uint8_t* Update::GetInfoBlockPayload(const uint8_t* buffer, uint32_t* length)
{
    if (length == nullptr || CheckInfoBlock(buffer, *length) != 1)
        return nullptr;
    *length = _Le32(buffer + 4);
    return buffer + kInfoHeader;
}

uint32_t Update::RecordChecksum(const uint32_t record[16])
{
    uint32_t sum = 0;
    for (int i = 0; i < 15; ++i)
        sum += record[i];
    return ~sum;
}

int32_t Update::BuildFlashRecord(uint32_t record[16], const std::string& version, uint32_t size, uint32_t extra)
{
    uint32_t ver[4] = {0, 0, 0, 0};
    if (ParseVersion(version, ver) != 1)
        return 0;
    for (int i = 0; i < 4; ++i)
        record[7 + i] = ver[i];
    record[0] = size / 4;
    record[1] = record[0];
    record[2] = size;
    record[11] = extra;
    record[15] = RecordChecksum(record);
    return 1;
}
