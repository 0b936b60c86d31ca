#ifndef KSTUB_LINUX_SCHED_H
#define KSTUB_LINUX_SCHED_H
#include "../kapi.h"
#define current	(kstub_current())
#endif
