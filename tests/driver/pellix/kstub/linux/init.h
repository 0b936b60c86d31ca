#ifndef KSTUB_LINUX_INIT_H
#define KSTUB_LINUX_INIT_H
#include "../kapi.h"
#endif
