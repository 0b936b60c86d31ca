#include "kivo/base/kivo_handle.h"

#include <string.h>

#include "kivo/base/platform/linux/__platform_kernel.h"

// Control word: bits 0-15 the next free slot (while free; the slot's own
// index while allocated), bit 16 set when a payload was stored, bits 17-30
// the generation, bit 31 zero. A handle is valid while the control word
// without bit 16 equals it.

namespace {

const uint32_t kIndexMask = 0xFFFFu;
const uint32_t kPayloadBit = 1u << 16;
const int kGenShift = 17;
const uint32_t kGenMask = 0x3FFFu;
const uint32_t kGenFirst = 0xD60u;

struct _Slot {
    uint32_t control;
    kivo_handle_payload_t payload;
};

_Slot s_slots[KIVO_HANDLE_MAX];
uint32_t s_head;
int32_t s_count;  // written under the lock, read without it by free_count
bool s_created;   // read and written under the lock only

// Caller holds the kernel lock.
void table_create()
{
    if (s_created)
        return;
    for (uint32_t i = 0; i < KIVO_HANDLE_MAX; ++i) {
        s_slots[i].control = (kGenFirst << kGenShift) | (i + 1);
        memset(&s_slots[i].payload, 0, sizeof s_slots[i].payload);
    }
    s_head = 0;
    __atomic_store_n(&s_count, 0, __ATOMIC_RELAXED);
    s_created = true;
}

// The slot of a valid handle, or null. Caller holds the kernel lock.
_Slot* slot_of(int32_t handle)
{
    if (handle < 0)
        return nullptr;
    uint32_t index = (uint32_t)handle & kIndexMask;
    if (index >= KIVO_HANDLE_MAX)
        return nullptr;
    _Slot* slot = &s_slots[index];
    if ((slot->control & ~kPayloadBit) != (uint32_t)handle)
        return nullptr;
    return slot;
}

void copy_payload(kivo_handle_payload_t* dst, const kivo_handle_payload_t* src)
{
    if (src)
        *dst = *src;
    else
        memset(dst, 0, sizeof *dst);
}

class _TableLock {
public:
    _TableLock() : _token(kivo_kernel_lock()) { table_create(); }
    ~_TableLock() { kivo_kernel_unlock(_token); }

    _TableLock(const _TableLock&) = delete;
    _TableLock& operator=(const _TableLock&) = delete;

private:
    int32_t _token;
};

}  // namespace

int32_t kivo_handle_alloc(const kivo_handle_payload_t* payload)
{
    _TableLock lock;
    if (s_head >= KIVO_HANDLE_MAX)
        return -1;
    uint32_t index = s_head;
    _Slot* slot = &s_slots[index];
    s_head = slot->control & kIndexMask;
    uint32_t gen = (slot->control >> kGenShift) & kGenMask;
    slot->control = (gen << kGenShift) | index;
    copy_payload(&slot->payload, payload);
    __atomic_store_n(&s_count, s_count + 1, __ATOMIC_RELAXED);
    return (int32_t)slot->control;
}

int32_t kivo_handle_free(int32_t handle, kivo_handle_payload_t* out)
{
    if (handle < 0)
        return 0;
    _TableLock lock;
    _Slot* slot = slot_of(handle);
    if (!slot)
        return 0;
    if (out)
        *out = slot->payload;
    uint32_t gen = (slot->control >> kGenShift) & kGenMask;
    gen = gen + 1 >= kGenMask ? 1 : gen + 1;
    uint32_t index = (uint32_t)handle & kIndexMask;
    slot->control = (gen << kGenShift) | s_head;
    memset(&slot->payload, 0, sizeof slot->payload);
    s_head = index;
    __atomic_store_n(&s_count, s_count - 1, __ATOMIC_RELAXED);
    return 1;
}

int32_t kivo_handle_set(int32_t handle, const kivo_handle_payload_t* payload,
                        kivo_handle_payload_t* old)
{
    _TableLock lock;
    _Slot* slot = slot_of(handle);
    if (!slot)
        return 0;
    if (old)
        *old = slot->payload;
    copy_payload(&slot->payload, payload);
    slot->control |= kPayloadBit;
    return 1;
}

int32_t kivo_handle_get(int32_t handle, kivo_handle_payload_t* out)
{
    _TableLock lock;
    _Slot* slot = slot_of(handle);
    if (!slot)
        return 0;
    if (out)
        *out = slot->payload;
    return (slot->control & kPayloadBit) ? 1 : 2;
}

int32_t kivo_handle_free_count(void)
{
    return KIVO_HANDLE_MAX - __atomic_load_n(&s_count, __ATOMIC_RELAXED);
}
