#ifndef KSTUB_LINUX_JIFFIES_H
#define KSTUB_LINUX_JIFFIES_H
#include "../kapi.h"
#define jiffies	(kstub_jiffies())
/* Wrap-safe: true when a is later than b. */
#define time_after(a, b)	((long)((b) - (a)) < 0)
#define time_before(a, b)	time_after(b, a)
#endif
