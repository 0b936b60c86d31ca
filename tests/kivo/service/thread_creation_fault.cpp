#include "tests/kivo/service/thread_creation_fault.h"

#include <errno.h>
#include <pthread.h>

namespace kivo_test {

std::atomic<int> g_creations_left{-1};

}  // namespace kivo_test

extern "C" int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                                     void* arg);

extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                                     void* arg)
{
    std::atomic<int>& left_now = kivo_test::g_creations_left;
    int left = left_now.load();
    while (left >= 0) {
        if (left == 0)
            return EAGAIN;
        if (left_now.compare_exchange_weak(left, left - 1))
            break;
    }
    return __real_pthread_create(thread, attr, start, arg);
}
