#ifndef KSTUB_LINUX_MM_H
#define KSTUB_LINUX_MM_H
#include "../kapi.h"

#if KSTUB_VERSION_CODE >= ((6 << 16) + (5 << 8))
static inline long get_user_pages(unsigned long start, unsigned long nr_pages,
				  unsigned int gup_flags, struct page **pages)
{
	return kstub_get_user_pages(start, nr_pages, gup_flags, pages);
}
#else
static inline long get_user_pages(unsigned long start, unsigned long nr_pages,
				  unsigned int gup_flags, struct page **pages,
				  struct vm_area_struct **vmas)
{
	(void)vmas;
	return kstub_get_user_pages(start, nr_pages, gup_flags, pages);
}
#endif

/* The lock of the address space: a member before 5.8, calls since. */
#if KSTUB_VERSION_CODE >= ((5 << 16) + (8 << 8))
static inline void mmap_read_lock(struct mm_struct *mm)
{
	down_read(&mm->kstub_mmap_lock);
}
static inline void mmap_read_unlock(struct mm_struct *mm)
{
	up_read(&mm->kstub_mmap_lock);
}
#else
#define mmap_sem	kstub_mmap_lock
#endif
#endif
