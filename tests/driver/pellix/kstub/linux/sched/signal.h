#ifndef KSTUB_LINUX_SCHED_SIGNAL_H
#define KSTUB_LINUX_SCHED_SIGNAL_H
#include "../sched.h"
static inline int fatal_signal_pending(struct task_struct *p)
{
	return p->kstub_fatal_signal;
}
#endif
