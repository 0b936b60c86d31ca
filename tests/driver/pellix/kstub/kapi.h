/*
 * Kernel-named calls of the stand-in, as the driver sees them. C only: the
 * headers under kstub/linux include it; tests use kstub.h instead. The
 * stand-in's own implementation defines KSTUB_IMPL: it also sees the C
 * library, whose dev_t, ssize_t and loff_t are not the kernel's.
 */
#ifndef KSTUB_KAPI_H
#define KSTUB_KAPI_H

#ifdef __cplusplus
#error "kapi.h is for the driver's C code; tests include kstub.h"
#endif

#include "kstub.h"

#define __user
#define __iomem
#define __init
#define __exit

struct class;
struct page;
struct vm_area_struct;

#ifndef KSTUB_IMPL
typedef kstub_ssize_t ssize_t;
typedef kstub_loff_t loff_t;
typedef kstub_dev_t dev_t;
typedef kstub_gfp_t gfp_t;
#endif

#define PAGE_SIZE	KSTUB_PAGE_SIZE
#define PAGE_SHIFT	12
#define PAGE_MASK	(~(PAGE_SIZE - 1))
#define HZ		KSTUB_HZ

/* printk */
#define KERN_SOH	"\001"
#define KERN_ERR	KERN_SOH "3"
#define KERN_WARNING	KERN_SOH "4"
#define KERN_INFO	KERN_SOH "6"
int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* memory */
void *memset(void *s, int c, size_t n);
void *memcpy(void *dst, const void *src, size_t n);
#define GFP_KERNEL	0x1u
#define __GFP_NOWARN	0x200u
void *kmalloc(size_t size, kstub_gfp_t flags);
void *kzalloc(size_t size, kstub_gfp_t flags);
void kfree(const void *p);
void *vmalloc(unsigned long size);
void vfree(const void *p);
void *kvmalloc_array(size_t n, size_t size, kstub_gfp_t flags);
void kvfree(const void *p);

/* register windows */
void __iomem *ioremap(resource_size_t phys, size_t size);
void iounmap(volatile void __iomem *addr);
u32 readl(const volatile void __iomem *addr);
void writel(u32 value, volatile void __iomem *addr);
void kstub_cpu_relax(void);

/* character devices, classes, devices */
int __register_chrdev(unsigned int major, unsigned int baseminor,
		      unsigned int count, const char *name,
		      const struct file_operations *fops);
void __unregister_chrdev(unsigned int major, unsigned int baseminor,
			 unsigned int count, const char *name);
struct class *kstub_class_create(const char *name);
void class_destroy(struct class *cls);
struct device *device_create(struct class *cls, struct device *parent,
			     kstub_dev_t devt, void *drvdata, const char *fmt, ...)
	__attribute__((format(printf, 5, 6)));
void device_unregister(struct device *dev);

/* DMA */
enum dma_data_direction {
	DMA_BIDIRECTIONAL = 0,
	DMA_TO_DEVICE = 1,
	DMA_FROM_DEVICE = 2,
	DMA_NONE = 3,
};
#define DMA_MAPPING_ERROR	(~(dma_addr_t)0)
int dma_set_mask_and_coherent(struct device *dev, u64 mask);
dma_addr_t dma_map_page(struct device *dev, struct page *page,
			size_t offset, size_t size,
			enum dma_data_direction dir);
void dma_unmap_page(struct device *dev, dma_addr_t addr, size_t size,
		    enum dma_data_direction dir);
int dma_mapping_error(struct device *dev, dma_addr_t addr);
void *dma_alloc_coherent(struct device *dev, size_t size,
			 dma_addr_t *handle, kstub_gfp_t flags);
void dma_free_coherent(struct device *dev, size_t size, void *cpu,
		       dma_addr_t handle);

/* user memory */
#define FOLL_WRITE	0x01u
long kstub_get_user_pages(unsigned long start, unsigned long nr_pages,
			  unsigned int gup_flags, struct page **pages);
void put_page(struct page *page);
int set_page_dirty_lock(struct page *page);
void down_read(struct rw_semaphore *sem);
void up_read(struct rw_semaphore *sem);
struct task_struct *kstub_current(void);
bool kstub_access_ok(const void __user *addr, unsigned long size);
unsigned long copy_from_user(void *to, const void __user *from,
			     unsigned long n);
unsigned long copy_to_user(void __user *to, const void *from,
			   unsigned long n);

/* mutexes: a real lock inside (see kstub.c); zeroed is unlocked */
struct mutex {
	_Alignas(16) unsigned char kstub_storage[96];
};
#define DEFINE_MUTEX(name)	struct mutex name = { { 0 } }
void mutex_init(struct mutex *m);
void mutex_destroy(struct mutex *m);
void mutex_lock(struct mutex *m);
int mutex_lock_killable(struct mutex *m);
void mutex_unlock(struct mutex *m);
bool kstub_mutex_held(struct mutex *m);

/* time */
unsigned long msecs_to_jiffies(const unsigned int m);
void msleep(unsigned int msecs);

#endif /* KSTUB_KAPI_H */
