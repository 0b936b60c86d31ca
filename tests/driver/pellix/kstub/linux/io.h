#ifndef KSTUB_LINUX_IO_H
#define KSTUB_LINUX_IO_H
#include "../kapi.h"
#endif
