#ifndef KSTUB_LINUX_DMA_MAPPING_H
#define KSTUB_LINUX_DMA_MAPPING_H
#include "../kapi.h"
#define DMA_BIT_MASK(n)	(((n) == 64) ? ~0ULL : ((1ULL << (n)) - 1))
#endif
