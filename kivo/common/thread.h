#pragma once

// kivo::Thread: owns one platform thread that runs a kivo::Function0<void>.
//
// The constructor starts the thread. Exactly one of Join and Detach reaches
// the platform (a compare-and-swap on the state word decides, so they may
// race with each other and with the destructor); the destructor detaches a
// thread that was neither joined nor detached. The new thread registers its
// name and priority with the allocation statistics, runs the function and
// retires its allocation record when the function returns.

#include <stdint.h>

#include "kivo/base/kivo_pthread.h"
#include "kivo/base/kivo_types.h"
#include "kivo/base/noncopyable.h"
#include "kivo/common/function.h"

namespace kivo {

class Thread : public NonCopyable {
public:
    // A thread identifier as kivo_thread_getid gives it; the default value
    // is the invalid id (0).
    class Id {
    public:
        Id() : _id(0) {}
        explicit Id(kivo_thread_t id) : _id(id) {}

        bool IsValid() const { return kivo_is_thread_handle_valid(_id); }
        kivo_thread_t Get() const { return _id; }

        bool operator==(const Id& rhs) const { return _id == rhs._id; }
        bool operator!=(const Id& rhs) const { return _id != rhs._id; }

    private:
        kivo_thread_t _id;
    };

    // Starts a thread running a copy of fn. prio is an offset from the middle
    // of the scheduling policy's priority range, stack_size 0 (or below
    // 16384) gives the platform's default stack, and name (null: empty) is
    // what the allocation statistics show for the thread (up to 31
    // characters).
    //
    // When the platform refuses the thread, fn never runs, IsValid is false,
    // and Join and Detach return the platform's error without touching the
    // platform.
    explicit Thread(const Function0<void>& fn, int32_t prio = 0, uint32_t stack_size = 0, const char* name = "");
    // Detaches the thread unless it was joined or detached already.
    ~Thread();

    // False when the platform thread could not be created.
    bool IsValid() const;

    // kivo_thread_detach for the first of Join/Detach; afterwards the
    // non-zero state (1 once detached or joined).
    kivo_err_t Detach();
    // kivo_thread_join for the first of Join/Detach (the thread's result is
    // discarded); afterwards the non-zero state, as for Detach.
    kivo_err_t Join();

private:
    kivo_thread_t _handle;
    // 0: running and owned; 1: detached or joined; otherwise the error of a
    // creation that failed (nothing to join or detach).
    volatile int32_t _state;
};

namespace this_thread {

// The calling thread's id.
Thread::Id GetId();

}  // namespace this_thread

}  // namespace kivo
