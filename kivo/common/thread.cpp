#include "kivo/common/thread.h"

#include <string>

#include "kivo/base/kivo_pool.h"
#include "kivo/base/platform/linux/__platform_atomic.h"

namespace kivo {

namespace {

// Handed to the new thread, which owns and frees it.
struct _StartRecord {
    _StartRecord(const char* name, int32_t prio, const Function0<void>& fn) : name(name), prio(prio), fn(fn) {}

    std::string name;
    int32_t prio;
    Function0<void> fn;
};

void* _ThreadStart(void* arg)
{
    _StartRecord* record = static_cast<_StartRecord*>(arg);
    kivo_mem_set_thread_name(record->name.c_str(), static_cast<uint32_t>(record->prio));
    record->fn();
    delete record;
    // Last: after this the thread must not allocate through the pool layer.
    kivo_mem_thread_exit();
    return 0;
}

}  // namespace

Thread::Thread(const Function0<void>& fn, int32_t prio, uint32_t stack_size, const char* name) : _handle(0), _state(0)
{
    if (name == 0)
        name = "";
    _StartRecord* record = new _StartRecord(name, prio, fn);
    kivo_err_t err = kivo_thread_create(&_handle, name, prio, stack_size, &_ThreadStart, record);
    if (err != 0) {
        // The start routine never runs: the record is still ours, and with
        // the invalid handle there is nothing for Join or Detach to do. The
        // state keeps the error so that they report it.
        delete record;
        _handle = 0;
        _state = err;
    }
}

Thread::~Thread()
{
    Detach();
}

bool Thread::IsValid() const
{
    return kivo_is_thread_handle_valid(_handle);
}

kivo_err_t Thread::Detach()
{
    int32_t prev = kivo_atomic_compare_and_swap(&_state, 0, 1);
    if (prev != 0)
        return prev;
    return kivo_thread_detach(_handle);
}

kivo_err_t Thread::Join()
{
    int32_t prev = kivo_atomic_compare_and_swap(&_state, 0, 1);
    if (prev != 0)
        return prev;
    void* result = 0;
    return kivo_thread_join(_handle, &result);
}

namespace this_thread {

Thread::Id GetId()
{
    return Thread::Id(kivo_thread_getid(kivo_thread_self()));
}

}  // namespace this_thread

}  // namespace kivo
