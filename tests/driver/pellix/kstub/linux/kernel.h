#ifndef KSTUB_LINUX_KERNEL_H
#define KSTUB_LINUX_KERNEL_H
#include "../kapi.h"
#include "printk.h"

#define INT_MAX		((int)(~0U >> 1))
#define DIV_ROUND_UP(n, d)	(((n) + (d) - 1) / (d))
#define min_t(type, a, b)	((type)(a) < (type)(b) ? (type)(a) : (type)(b))
#define max_t(type, a, b)	((type)(a) > (type)(b) ? (type)(a) : (type)(b))
#define lower_32_bits(n)	((u32)((n) & 0xffffffffu))
#endif
