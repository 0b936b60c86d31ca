#include "kivo/base/platform/linux/__platform_atomic.h"

#include <assert.h>

// The assertion names the alignment rule itself: the extra macro layer makes
// assert print the expanded expression rather than the macro's name, so the
// message is the same on every build of the library.
#define KIVO_ATOMIC_ASSERT(e) assert(e)
#define KIVO_ATOMIC_CHECK(dst) KIVO_ATOMIC_ASSERT(KIVO_IS_ALIGNED((uintptr_t)dst, sizeof(int32_t)))

// The __atomic builtins with __ATOMIC_SEQ_CST are full barriers before and
// after the operation, on x86 and on ARMv7 alike (dmb ish around ldrex/strex).
// A misaligned word would not be atomic on ARM at all, hence the assertion.

int32_t kivo_atomic_fetch_add(volatile int32_t* dst, int32_t value)
{
    // Reference counts rely on the returned old value, not a re-read.
    KIVO_ATOMIC_CHECK(dst);
    return __atomic_fetch_add(dst, value, __ATOMIC_SEQ_CST);
}

int32_t kivo_atomic_fetch_or(volatile int32_t* dst, int32_t value)
{
    KIVO_ATOMIC_CHECK(dst);
    return __atomic_fetch_or(dst, value, __ATOMIC_SEQ_CST);
}

int32_t kivo_atomic_fetch_and(volatile int32_t* dst, int32_t value)
{
    KIVO_ATOMIC_CHECK(dst);
    return __atomic_fetch_and(dst, value, __ATOMIC_SEQ_CST);
}

int32_t kivo_atomic_fetch_xor(volatile int32_t* dst, int32_t value)
{
    KIVO_ATOMIC_CHECK(dst);
    return __atomic_fetch_xor(dst, value, __ATOMIC_SEQ_CST);
}

// Unconditional store that still reports what was replaced, so a flag can be
// taken and tested in one step.
int32_t kivo_atomic_swap(volatile int32_t* dst, int32_t value)
{
    KIVO_ATOMIC_CHECK(dst);
    return __atomic_exchange_n(dst, value, __ATOMIC_SEQ_CST);
}

// On failure the builtin writes the value it found into `found`; on success
// `found` keeps `expected`, which is then also the value that was found. Either
// way the caller gets the word's previous value and compares it with what it
// expected.
//
// kivo::Thread guards Join and Detach with this call, so that exactly one of
// them reaches the platform.
int32_t kivo_atomic_compare_and_swap(volatile int32_t* dst, int32_t expected, int32_t desired)
{
    KIVO_ATOMIC_CHECK(dst);
    int32_t found = expected;
    __atomic_compare_exchange_n(dst, &found, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return found;
}
