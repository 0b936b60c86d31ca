#ifndef KSTUB_LINUX_TYPES_H
#define KSTUB_LINUX_TYPES_H
#include "../kapi.h"
#endif
