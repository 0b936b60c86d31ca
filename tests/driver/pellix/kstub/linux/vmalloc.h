#ifndef KSTUB_LINUX_VMALLOC_H
#define KSTUB_LINUX_VMALLOC_H
#include "../kapi.h"
#endif
