#pragma once

// The process-wide handle table: 2000 slots, each with a control word and a
// payload of three words, named by handles that carry the slot's generation
// so that a stale handle is refused instead of reaching another object.
//
// A handle is (generation << 17) | index, a positive 32-bit value; -1 is the
// failure value. Each free advances the slot's generation (14 bits, starting
// at 0xD60, wrapping to 1 and never to 0 or 0x3FFF again), so the first
// handle ever allocated is 0x1AC00000. Free slots are reused last freed
// first.
//
// Every call runs under the kernel lock; the table is made on first use.

#include <stdint.h>

#define KIVO_HANDLE_MAX 2000

// Three machine words: 32-bit on the device, wide enough for a pointer
// everywhere.
typedef struct kivo_handle_payload_t {
    uintptr_t word[3];
} kivo_handle_payload_t;

// A new handle whose payload is a copy of `payload` (zeros when null), still
// marked as without payload; -1 when all slots are taken.
int32_t kivo_handle_alloc(const kivo_handle_payload_t* payload);
// 1 freed (the payload copied to `out` first when given), 0 invalid.
int32_t kivo_handle_free(int32_t handle, kivo_handle_payload_t* out);
// Stores `payload` (zeros when null) after copying the old one to `old`, and
// marks the slot as with payload. 1, or 0 when invalid.
int32_t kivo_handle_set(int32_t handle, const kivo_handle_payload_t* payload,
                        kivo_handle_payload_t* old);
// Copies the payload to `out` when given: 1 when a payload was set, 2 when
// the slot is allocated without one, 0 when invalid.
int32_t kivo_handle_get(int32_t handle, kivo_handle_payload_t* out);
// Free slots (read without the lock: a snapshot).
int32_t kivo_handle_free_count(void);
