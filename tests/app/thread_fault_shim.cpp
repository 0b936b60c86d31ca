// Linked into a copy of the updater with -Wl,--wrap=pthread_create: the
// thread creation numbered QLX_FAIL_THREAD_CREATE (1 for the first one of
// the process) fails with EAGAIN, every other one goes through.

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>

#include <atomic>

extern "C" int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                                     void* arg);

extern "C" int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                                     void* arg)
{
    static std::atomic<int> s_created{0};
    const char* which = getenv("QLX_FAIL_THREAD_CREATE");
    if (which != nullptr && s_created.fetch_add(1) + 1 == atoi(which))
        return EAGAIN;
    return __real_pthread_create(thread, attr, start, arg);
}
