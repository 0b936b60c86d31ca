#ifndef KSTUB_LINUX_DELAY_H
#define KSTUB_LINUX_DELAY_H
#include "../kapi.h"
#endif
