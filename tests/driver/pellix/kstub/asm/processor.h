#ifndef KSTUB_ASM_PROCESSOR_H
#define KSTUB_ASM_PROCESSOR_H
#include "../kapi.h"
#define cpu_relax()	kstub_cpu_relax()
#endif
