#ifndef KSTUB_LINUX_BITOPS_H
#define KSTUB_LINUX_BITOPS_H
#include "../kapi.h"
#define BIT(n)	(1UL << (n))
#endif
