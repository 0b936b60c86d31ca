#pragma once

#include <stdint.h>

// 32-bit atomic operations on a 4-byte aligned word. Every operation is
// sequentially consistent and returns the value the word held before it.
// Reference counts of the whole framework are changed with
// kivo_atomic_fetch_add (+1 / -1): whoever sees the old value 1 on a
// decrement owns the last reference.

#define KIVO_ALIGN_UP(x, a) (uintptr_t)(( (uintptr_t)((x)) + ((a)) - 1) / ((a))) * ((a))
#define KIVO_IS_ALIGNED(x, a) ((uintptr_t)(x) == (uintptr_t)(KIVO_ALIGN_UP(x, a)))

int32_t kivo_atomic_fetch_add(volatile int32_t* dst, int32_t value);
int32_t kivo_atomic_fetch_or(volatile int32_t* dst, int32_t value);
int32_t kivo_atomic_fetch_and(volatile int32_t* dst, int32_t value);
int32_t kivo_atomic_fetch_xor(volatile int32_t* dst, int32_t value);
int32_t kivo_atomic_swap(volatile int32_t* dst, int32_t value);
// Stores `desired` only when the word equals `expected`; returns the value
// found, which equals `expected` exactly when the swap happened.
int32_t kivo_atomic_compare_and_swap(volatile int32_t* dst, int32_t expected, int32_t desired);
