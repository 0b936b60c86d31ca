// The info-block and image-record checks of Update: complemented 32-bit sums.

#include "app/update.h"

#include <string.h>

namespace {

// An info block's header: the magic, then four words.
const char kInfoMagic[] = "info";
const uint32_t kInfoMagicSize = 4;
const uint32_t kInfoLengthAt = 4;
const uint32_t kInfoPayloadSumAt = 8;
const uint32_t kInfoFreeWordAt = 12;
const uint32_t kInfoHeaderSumAt = 16;
const uint32_t kInfoHeader = 20;

// Words of an image record.
const int kRecordVersionAt = 7;
const int kRecordSizeAt = 2;
const int kRecordExtraAt = 11;
const int kRecordSumAt = 15;
const uint32_t kWordSize = 4;

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

int32_t Update::CheckInfoBlock(const uint8_t* buffer, uint32_t size)
{
    if (buffer == nullptr || size < kInfoHeader || memcmp(buffer, kInfoMagic, kInfoMagicSize) != 0)
        return 0;
    const uint32_t length = Le32(buffer + kInfoLengthAt);
    const uint32_t payload_sum = Le32(buffer + kInfoPayloadSumAt);
    const uint32_t word3 = Le32(buffer + kInfoFreeWordAt);
    const uint32_t header_sum = Le32(buffer + kInfoHeaderSumAt);
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
    *length = Le32(buffer + kInfoLengthAt);
    return buffer + kInfoHeader;
}

uint32_t Update::RecordChecksum(const uint32_t record[16])
{
    uint32_t sum = 0;
    for (int i = 0; i < kRecordSumAt; ++i)
        sum += record[i];
    return ~sum;
}

int32_t Update::BuildFlashRecord(uint32_t record[16], const std::string& version, uint32_t size, uint32_t extra)
{
    uint32_t ver[4] = {0, 0, 0, 0};
    if (ParseVersion(version, ver) != 1)
        return 0;
    for (int i = 0; i < kVersionParts; ++i)
        record[kRecordVersionAt + i] = ver[i];
    // The size in words, twice, then in bytes.
    record[0] = size / kWordSize;
    record[1] = record[0];
    record[kRecordSizeAt] = size;
    record[kRecordExtraAt] = extra;
    record[kRecordSumAt] = RecordChecksum(record);
    return 1;
}
