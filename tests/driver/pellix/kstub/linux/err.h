#ifndef KSTUB_LINUX_ERR_H
#define KSTUB_LINUX_ERR_H
#include "../kapi.h"
#define MAX_ERRNO	4095
static inline void *ERR_PTR(long error)
{
	return (void *)error;
}
static inline long PTR_ERR(const void *ptr)
{
	return (long)ptr;
}
static inline bool IS_ERR(const void *ptr)
{
	return (unsigned long)ptr >= (unsigned long)-MAX_ERRNO;
}
#endif
