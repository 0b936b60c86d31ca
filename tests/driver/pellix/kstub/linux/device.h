#ifndef KSTUB_LINUX_DEVICE_H
#define KSTUB_LINUX_DEVICE_H
#include "../kapi.h"
#include "err.h"
#include "errno.h"
#include "kdev_t.h"
#if KSTUB_VERSION_CODE >= ((6 << 16) + (4 << 8))
#define class_create(name)		kstub_class_create(name)
#else
#define class_create(owner, name)	((void)(owner), kstub_class_create(name))
#endif
#endif
