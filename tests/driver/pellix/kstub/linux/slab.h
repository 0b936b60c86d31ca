#ifndef KSTUB_LINUX_SLAB_H
#define KSTUB_LINUX_SLAB_H
#include "../kapi.h"
#endif
