#ifndef KSTUB_LINUX_UACCESS_H
#define KSTUB_LINUX_UACCESS_H
#include "../kapi.h"
#if KSTUB_VERSION_CODE >= (5 << 16)
#define access_ok(addr, size)	kstub_access_ok(addr, size)
#else
#define VERIFY_READ	0
#define VERIFY_WRITE	1
#define access_ok(type, addr, size)	((void)(type), kstub_access_ok(addr, size))
#endif
#endif
