#include "kivo/base/kivo_pool.h"

#include <assert.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "kivo/base/platform/linux/__platform_kernel.h"

static_assert(sizeof(kivo_pool_head_t) == 8, "the block header is 8 bytes");

// Statistics counters are written by many threads without a lock; relaxed
// atomics keep each update whole (nothing is lost) at the price of no
// ordering, which statistics do not need.
#define KIVO_STAT_LOAD(x) __atomic_load_n(&(x), __ATOMIC_RELAXED)
#define KIVO_STAT_STORE(x, v) __atomic_store_n(&(x), (v), __ATOMIC_RELAXED)
#define KIVO_STAT_ADD(x, v) __atomic_fetch_add(&(x), (v), __ATOMIC_RELAXED)

// ---- system heap

namespace {

kivo_heap_alloc_fn s_heap_alloc;  // null: malloc

void* heap_alloc(size_t size)
{
    kivo_heap_alloc_fn fn = __atomic_load_n(&s_heap_alloc, __ATOMIC_ACQUIRE);
    return fn ? fn(size) : malloc(size);
}

}  // namespace

kivo_heap_alloc_fn kivo_pool_set_heap_alloc(kivo_heap_alloc_fn fn)
{
    return __atomic_exchange_n(&s_heap_alloc, fn, __ATOMIC_ACQ_REL);
}

// ---- size classes

namespace {

// Class c holds free blocks of (c + 2) * 8 bytes; a free block's first word
// links to the next one.
void* s_class_stacks[KIVO_POOL_CLASSES];
uint8_t s_pool_initialised;

void pool_init()
{
    if (__atomic_load_n(&s_pool_initialised, __ATOMIC_ACQUIRE))
        return;
    int32_t token = kivo_kernel_lock();
    if (!__atomic_load_n(&s_pool_initialised, __ATOMIC_RELAXED)) {
        for (auto& stack : s_class_stacks)
            kivo_stack_init(&stack);
        __atomic_store_n(&s_pool_initialised, (uint8_t)1, __ATOMIC_RELEASE);
    }
    kivo_kernel_unlock(token);
}

uint32_t class_bytes(uint32_t klass)
{
    return (klass + 2) * 8;
}

}  // namespace

void* kivo_pool_alloc(uint32_t size, uint8_t* class_out)
{
    if (size > KIVO_POOL_MAX_BLOCK)
        return nullptr;
    const uint32_t rounded = size > 8 ? (size + 7) & ~7u : 16;
    const uint8_t klass = (uint8_t)(rounded / 8 - 2);
    if (class_out)
        *class_out = klass;
    pool_init();

    void* block = kivo_stack_pop(&s_class_stacks[klass]);
    if (block)
        return block;

    // Refill: 32 blocks at once; a heap that refuses gets smaller requests,
    // down to a single block.
    char* pieces = nullptr;
    uint32_t count = 0;
    for (uint32_t n = 32; n >= 1 && !pieces; n /= 2) {
        pieces = (char*)heap_alloc((size_t)n * rounded);
        count = n;
    }
    // No heap at all: cut a free block of a larger class, the smallest first.
    if (!pieces) {
        for (uint32_t c = klass + 1u; c < KIVO_POOL_CLASSES && !pieces; ++c) {
            pieces = (char*)kivo_stack_pop(&s_class_stacks[c]);
            count = class_bytes(c) / rounded;
        }
    }
    if (!pieces)
        return nullptr;
    for (uint32_t i = 0; i + 1 < count; ++i)
        kivo_stack_push(&s_class_stacks[klass], pieces + (size_t)i * rounded);
    return pieces + (size_t)(count - 1) * rounded;
}

// ---- per-thread records

namespace {

// Both under the kernel lock.
kivo_mem_thread_t* s_records;
uint64_t s_retired_bytes;

}  // namespace

kivo_mem_thread_t* kivo_mem_thread_info(void)
{
    kivo_mem_thread_t* record = (kivo_mem_thread_t*)kivo_tls_get();
    if (record)
        return record;
    // From the system library directly: the record must not be counted in
    // itself, and a test heap must not refuse it.
    record = (kivo_mem_thread_t*)calloc(1, sizeof(*record));
    if (!record)
        return nullptr;
    int32_t token = kivo_kernel_lock();
    record->next = s_records;
    s_records = record;
    kivo_kernel_unlock(token);
    kivo_tls_set(record);
    return record;
}

void kivo_mem_set_thread_name(const char* name, uint32_t tag)
{
    kivo_mem_thread_t* record = kivo_mem_thread_info();
    if (!record)
        return;
    // Under the lock, which the readers of other threads' records also take.
    int32_t token = kivo_kernel_lock();
    size_t len = name ? strnlen(name, sizeof(record->name) - 1) : 0;
    if (len)
        memcpy(record->name, name, len);
    record->name[len] = '\0';
    record->tag = tag;
    kivo_kernel_unlock(token);
}

void kivo_mem_thread_exit(void)
{
    kivo_mem_thread_t* record = kivo_mem_thread_info();
    if (!record)
        return;
    int32_t token = kivo_kernel_lock();
    for (kivo_mem_thread_t** link = &s_records; *link; link = &(*link)->next) {
        if (*link == record) {
            *link = record->next;
            break;
        }
    }
    s_retired_bytes += KIVO_STAT_LOAD(record->bytes);
    kivo_kernel_unlock(token);
    // The slot must not keep pointing at the freed record: anything this
    // thread still frees or allocates (a destructor running late) would write
    // into freed memory.
    kivo_tls_set(nullptr);
    free(record);
}

void kivo_mem_for_each(void* context, kivo_mem_visit_fn callback)
{
    if (!callback)
        return;
    int32_t token = kivo_kernel_lock();
    for (kivo_mem_thread_t* record = s_records; record; record = record->next) {
        kivo_mem_thread_t copy;
        memcpy(copy.name, record->name, sizeof(copy.name));
        copy.next = record->next;
        copy.tag = record->tag;
        copy.bytes = KIVO_STAT_LOAD(record->bytes);
        if (callback(context, &copy) != 0)
            break;
    }
    kivo_kernel_unlock(token);
}

uint64_t kivo_mem_total(void)
{
    int32_t token = kivo_kernel_lock();
    uint64_t total = s_retired_bytes;
    for (kivo_mem_thread_t* record = s_records; record; record = record->next)
        total += KIVO_STAT_LOAD(record->bytes);
    kivo_kernel_unlock(token);
    return total;
}

uint64_t kivo_mem_thread_bytes(void)
{
    kivo_mem_thread_t* record = kivo_mem_thread_info();
    return record ? KIVO_STAT_LOAD(record->bytes) : 0;
}

uint64_t kivo_mem_retired_bytes(void)
{
    int32_t token = kivo_kernel_lock();
    uint64_t retired = s_retired_bytes;
    kivo_kernel_unlock(token);
    return retired;
}

// ---- size histograms

namespace {

struct Histogram {
    int32_t* table;
    uint32_t buckets;
    uint32_t width_shift;  // bucket width = 1 << width_shift
    uint32_t base;
};

int32_t s_hist_4m[1024];
int32_t s_hist_4k[1024];
int32_t s_hist_1b[4096];

Histogram s_hists[3] = {
    {s_hist_4m, 1024, 22, 0},
    {s_hist_4k, 1024, 12, 0},
    {s_hist_1b, 4096, 0, 0},
};

// The bucket of `size`, or -1 when the size is outside the histogram. In 64
// bits, so that a base near 4 GiB does not wrap the range's end.
int64_t bucket_of(const Histogram& h, uint32_t size)
{
    const uint64_t base = KIVO_STAT_LOAD(h.base);
    const uint64_t end = base + ((uint64_t)h.buckets << h.width_shift);
    if (size < base || size >= end)
        return -1;
    return (int64_t)((size - base) >> h.width_shift);
}

// Heap order for the top-N query: "greater" puts the smallest count on top
// of a std heap, and among equal counts the later bucket, so that the later
// one is dropped first. Also the final order: count descending, earlier
// bucket first.
bool fuller(const kivo_mem_stat_item_t& a, const kivo_mem_stat_item_t& b)
{
    if (a.count != b.count)
        return a.count > b.count;
    return a.start < b.start;
}

}  // namespace

void kivo_mem_account(uint32_t size, int32_t delta)
{
    kivo_mem_thread_t* record = kivo_mem_thread_info();
    if (record) {
        // Only the owning thread writes its count; others read it.
        uint64_t bytes = KIVO_STAT_LOAD(record->bytes);
        bytes = delta > 0 ? bytes + size : bytes - size;
        KIVO_STAT_STORE(record->bytes, bytes);
    }
    for (Histogram& h : s_hists) {
        int64_t bucket = bucket_of(h, size);
        if (bucket >= 0)
            KIVO_STAT_ADD(h.table[bucket], delta);
    }
}

void kivo_mem_stat_set_base(uint32_t kind, uint32_t base)
{
    if (kind == KIVO_MEM_STAT_4K || kind == KIVO_MEM_STAT_1B)
        KIVO_STAT_STORE(s_hists[kind].base, base);
}

uint32_t kivo_mem_stat_top(uint32_t kind, kivo_mem_stat_item_t* out, uint32_t n)
{
    if (kind > KIVO_MEM_STAT_1B || !out)
        return 0;
    const Histogram& h = s_hists[kind];
    const uint64_t base = KIVO_STAT_LOAD(h.base);
    const uint32_t width = 1u << h.width_shift;
    auto item = [&](uint32_t index) {
        kivo_mem_stat_item_t it;
        it.start = base + (uint64_t)index * width;
        it.width = width;
        it.count = KIVO_STAT_LOAD(h.table[index]);
        return it;
    };

    const uint32_t m = std::min(n, h.buckets);
    if (m == 0)
        return 0;
    for (uint32_t i = 0; i < m; ++i)
        out[i] = item(i);
    std::make_heap(out, out + m, fuller);
    for (uint32_t i = m; i < h.buckets; ++i) {
        kivo_mem_stat_item_t it = item(i);
        if (it.count > out[0].count) {
            std::pop_heap(out, out + m, fuller);
            out[m - 1] = it;
            std::push_heap(out, out + m, fuller);
        }
    }
    std::sort(out, out + m, fuller);
    return m;
}

void kivo_mem_stat_clear(uint32_t kind)
{
    if (kind > KIVO_MEM_STAT_1B)
        return;
    Histogram& h = s_hists[kind];
    for (uint32_t i = 0; i < h.buckets; ++i)
        KIVO_STAT_STORE(h.table[i], 0);
}

// ---- aligned blocks
//
// A block is laid out as
//
//   raw ... [size | distance | class | 0x55] [the caller's bytes ...]
//           ^ raw + distance                 ^ the aligned address returned
//
// where raw is what the size class or the heap gave. The distance leads the
// free back to raw, and the class says where raw goes: onto its class stack,
// or to free() for class 0xFF. Alignments fit in 16 bits, so the distance
// (always below the alignment) fits its field, and a block never moves
// between classes.

namespace {

kivo_pool_head_t* head_of(void* p)
{
    return (kivo_pool_head_t*)((char*)p - sizeof(kivo_pool_head_t));
}

}  // namespace

void* kivo_align_alloc(uint32_t size, uint16_t align_bytes)
{
    if (align_bytes < 8)
        align_bytes = 8;
    assert((align_bytes & (align_bytes - 1)) == 0);
    // A size near 4 GiB would wrap the total and be served a tiny block.
    if (size > UINT32_MAX - align_bytes)
        return nullptr;
    const uint32_t total = align_bytes + size;

    // Up to 128 bytes in all from the size classes, the rest from the heap.
    uint8_t klass = KIVO_POOL_CLASS_HEAP;
    char* raw;
    if (total > KIVO_POOL_MAX_BLOCK)
        raw = (char*)heap_alloc(total);
    else
        raw = (char*)kivo_pool_alloc(total, &klass);
    if (!raw)
        return nullptr;

    // raw is 8-aligned, so the aligned address lies in (raw, raw + align]
    // and the block's end stays within raw + total.
    const uintptr_t user = ((uintptr_t)raw + align_bytes + 7) & ~(uintptr_t)(align_bytes - 1);
    kivo_pool_head_t* head = (kivo_pool_head_t*)(user - sizeof(kivo_pool_head_t));
    kivo_mem_account(size, +1);
    head->size = size;
    head->distance = (uint16_t)((char*)head - raw);
    head->klass = klass;
    head->flag = KIVO_POOL_HEAD_FLAG;
    return (void*)user;
}

uint32_t kivo_align_free(void* p)
{
    if (!p)
        return 0;
    kivo_pool_head_t* head = head_of(p);
    assert(head->flag == 0x55);
    const uint32_t size = head->size;
    const uint8_t klass = head->klass;
    kivo_mem_account(size, -1);
    char* raw = (char*)head - head->distance;
    // A pool block's link word may overlay the header: read it all first.
    if (klass < KIVO_POOL_CLASSES) {
        pool_init();
        kivo_stack_push(&s_class_stacks[klass], raw);
    } else {
        free(raw);
    }
    return size;
}
