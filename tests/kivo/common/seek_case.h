#pragma once

// One seek of a table that tests how a store's Seek saturates: the offset
// and whence passed, and the position the seek must give.

#include <gtest/gtest.h>

#include <stdint.h>

struct SeekCase {
    int64_t offset;
    int32_t whence;
    int64_t expected;
};

// Names the case in the trace of a failure.
inline testing::Message SeekTrace(const SeekCase& c)
{
    return testing::Message() << "Seek(" << c.offset << ", " << c.whence << ")";
}
