#ifndef KSTUB_LINUX_MUTEX_H
#define KSTUB_LINUX_MUTEX_H
#include "../kapi.h"
/* Checked here, as lockdep would: the caller must hold the lock. */
#define lockdep_assert_held(m) \
	do { \
		if (!kstub_mutex_held(m)) \
			kstub_lock_not_held(#m, __func__); \
	} while (0)
void kstub_lock_not_held(const char *lock, const char *func);
#endif
