#ifndef KSTUB_LINUX_STRING_H
#define KSTUB_LINUX_STRING_H
#include "../kapi.h"
#endif
