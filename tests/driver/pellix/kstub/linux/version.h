#ifndef KSTUB_LINUX_VERSION_H
#define KSTUB_LINUX_VERSION_H
#include "../kapi.h"
#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + ((c) > 255 ? 255 : (c)))
#define LINUX_VERSION_CODE KSTUB_VERSION_CODE
#endif
