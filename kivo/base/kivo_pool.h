#pragma once

// The library's allocator for aligned blocks, and its allocation statistics.
//
// Small blocks (up to 128 bytes including the alignment) come from 15 size
// classes of 16, 24, ... 128 bytes, refilled from the system heap 32 blocks at
// a time and never given back; larger ones come from the system heap. Every
// block carries an 8-byte header just before the caller's address, from
// which kivo_align_free finds its origin.
//
// Statistics: a record per thread (name, tag, bytes in use) kept in the
// thread-local slot and in a global list, and three histograms of live block
// sizes with a top-N query.

#include <stddef.h>
#include <stdint.h>

#define KIVO_POOL_CLASSES 15
#define KIVO_POOL_MAX_BLOCK 128
// Size class of a block taken from the system heap.
#define KIVO_POOL_CLASS_HEAP 0xFF
#define KIVO_POOL_HEAD_FLAG 0x55

// The 8 bytes before every address that kivo_align_alloc returns.
typedef struct kivo_pool_head_t {
    uint32_t size;      // requested size in bytes
    uint16_t distance;  // from the start of the underlying allocation to the header
    uint8_t klass;      // 0..14, or KIVO_POOL_CLASS_HEAP
    uint8_t flag;       // KIVO_POOL_HEAD_FLAG
} kivo_pool_head_t;

// Null when no memory is available, and when size plus alignment does not
// fit in 32 bits. An alignment below 8 becomes 8; it must be a power of two
// (an assertion). The statistics count `size`, the requested bytes.
void* kivo_align_alloc(uint32_t size, uint16_t align_bytes);
// Frees a block of kivo_align_alloc and returns its requested size; null
// gives 0. A pointer without a valid header stops on an assertion.
uint32_t kivo_align_free(void* p);
// One block of the size class that fits `size` (at most 128), its class
// through `class_out` when not null; null when none can be had. The building
// block of kivo_align_alloc: such blocks carry no header.
void* kivo_pool_alloc(uint32_t size, uint8_t* class_out);

// Fault-injection seam for tests: replaces the system-heap allocation of this
// layer (refills of the size classes and blocks above 128 bytes). The
// function returns memory that free() releases, or null to refuse. Null
// restores malloc. Returns the function that was in place.
typedef void* (*kivo_heap_alloc_fn)(size_t size);
kivo_heap_alloc_fn kivo_pool_set_heap_alloc(kivo_heap_alloc_fn fn);

// ---- per-thread records

typedef struct kivo_mem_thread_t {
    struct kivo_mem_thread_t* next;  // newest first
    char name[32];                   // NUL-terminated, at most 31 significant
    uint32_t tag;                    // the thread class stores the priority here
    // Bytes allocated and not yet freed by this thread. A block freed on
    // another thread is subtracted there, so a count can wrap below zero.
    uint64_t bytes;
} kivo_mem_thread_t;

// The calling thread's record, created zero-filled on first use (null only
// when even that allocation failed).
kivo_mem_thread_t* kivo_mem_thread_info(void);
// Keeps at most 31 characters of `name` (null: empty) and stores `tag`.
void kivo_mem_set_thread_name(const char* name, uint32_t tag);
// Retires the calling thread's record: its bytes go to the retired total and
// the record is freed. The thread-local slot is cleared, so a later use on
// this thread starts a fresh record instead of touching the freed one.
void kivo_mem_thread_exit(void);

// Called under the kernel lock for each record, newest first, until it
// returns non-zero. It gets a copy taken under the lock (so that a thread
// updating its own count is not read half-way); the copy's `next` is the
// live link and only good for identification.
typedef int (*kivo_mem_visit_fn)(void* context, const kivo_mem_thread_t* record);
void kivo_mem_for_each(void* context, kivo_mem_visit_fn callback);

// The retired total plus the counts of all live records.
uint64_t kivo_mem_total(void);
uint64_t kivo_mem_thread_bytes(void);
uint64_t kivo_mem_retired_bytes(void);

// ---- size histograms

enum {
    KIVO_MEM_STAT_4M = 0,  // 1024 buckets of 4 MB from 0
    KIVO_MEM_STAT_4K = 1,  // 1024 buckets of 4 KB from a settable base
    KIVO_MEM_STAT_1B = 2,  // 4096 buckets of 1 byte from a settable base
};

typedef struct kivo_mem_stat_item_t {
    uint64_t start;  // base + bucket index * width
    uint32_t width;
    int32_t count;   // live blocks whose requested size falls in the bucket
} kivo_mem_stat_item_t;

// Counts one allocation (delta +1) or free (-1) of `size` bytes: the calling
// thread's record and every histogram whose range holds the size.
void kivo_mem_account(uint32_t size, int32_t delta);
// Sets the base of histogram 1 or 2; other kinds are ignored. Counts already
// made stay in their buckets.
void kivo_mem_stat_set_base(uint32_t kind, uint32_t base);
// The min(n, buckets) fullest buckets, by count, largest first; equal counts
// keep the earlier bucket first. Returns how many items were written; kinds
// above 2 write nothing.
uint32_t kivo_mem_stat_top(uint32_t kind, kivo_mem_stat_item_t* out, uint32_t n);
// Zeroes a histogram; kinds above 2 do nothing.
void kivo_mem_stat_clear(uint32_t kind);
