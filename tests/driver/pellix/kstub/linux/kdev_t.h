#ifndef KSTUB_LINUX_KDEV_T_H
#define KSTUB_LINUX_KDEV_T_H
#include "../kapi.h"
#define MKDEV(ma, mi)	(((dev_t)(ma) << KSTUB_MINORBITS) | (dev_t)(mi))
#define MAJOR(dev)	((unsigned int)((dev) >> KSTUB_MINORBITS))
#define MINOR(dev)	((unsigned int)((dev) & ((1U << KSTUB_MINORBITS) - 1)))
#endif
