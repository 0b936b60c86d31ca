#include "kivo/common/shared_ptr.h"

#include "kivo/base/platform/linux/__platform_atomic.h"

namespace kivo {

// Counts are changed only by the atomic add. Whether a release was the last
// one is decided on the value the add returned, never on a second read: two
// threads that drop the last two references then see 2 and 1, and exactly
// one of them disposes. Reads for diagnostics are relaxed loads: no ordering,
// but no torn or racy access either.

RefObject::RefObject() : _ref_cnt(0) {}

RefObject::~RefObject() {}

void RefObject::AddRef()
{
    kivo_atomic_fetch_add(&_ref_cnt, 1);
}

bool RefObject::Release()
{
    return kivo_atomic_fetch_add(&_ref_cnt, -1) == 1;
}

int32_t RefObject::GetRefCnt() const
{
    return __atomic_load_n(&_ref_cnt, __ATOMIC_RELAXED);
}

int32_t RefObject::GetRefCntAcquire() const
{
    return __atomic_load_n(&_ref_cnt, __ATOMIC_ACQUIRE);
}

RefCountedBase::RefCountedBase() : _use_cnt(1), _weak_cnt(1) {}

RefCountedBase::~RefCountedBase() {}

void RefCountedBase::AddRef()
{
    kivo_atomic_fetch_add(&_use_cnt, 1);
}

void RefCountedBase::Release()
{
    if (kivo_atomic_fetch_add(&_use_cnt, -1) == 1) {
        Dispose();
        WeakRelease();
    }
}

void RefCountedBase::WeakRelease()
{
    if (kivo_atomic_fetch_add(&_weak_cnt, -1) == 1)
        delete this;
}

int32_t RefCountedBase::UseCount() const
{
    return __atomic_load_n(&_use_cnt, __ATOMIC_RELAXED);
}

}  // namespace kivo
