#ifndef KSTUB_LINUX_FS_H
#define KSTUB_LINUX_FS_H
#include "../kapi.h"
#include "kdev_t.h"
#endif
