/*
 * User-space stand-in for the kernel interfaces that pellix calls: the types
 * both sides see, and the controls a test uses to drive and inspect it
 * (fault injection, leak counters, the virtual clock, the bus, the log).
 *
 * This header is C and C++. The kernel-named calls live in kapi.h (C only,
 * reached through the headers under kstub/linux); a test includes only this
 * file.
 */
#ifndef KSTUB_H
#define KSTUB_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Kernel version the driver is compiled against (set by the build). */
#ifndef KSTUB_VERSION_CODE
#define KSTUB_VERSION_CODE ((4 << 16) + (19 << 8) + 0)
#endif

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int32_t s32;
typedef int64_t s64;

/* Same widths as the C library's ssize_t and loff_t on both targets. */
typedef intptr_t kstub_ssize_t;
typedef int64_t kstub_loff_t;
typedef u32 kstub_dev_t;
typedef unsigned int kstub_gfp_t;

/* Bus and physical addresses follow the word size, as on ARMv7 without LPAE. */
#if UINTPTR_MAX > 0xffffffffu
typedef u64 dma_addr_t;
typedef u64 phys_addr_t;
#else
typedef u32 dma_addr_t;
typedef u32 phys_addr_t;
#endif
typedef phys_addr_t resource_size_t;

#define KSTUB_PAGE_SIZE		4096UL
#define KSTUB_HZ		100
#define KSTUB_MINORBITS		20

struct module {
	int kstub_unused;
};

struct device {
	u64 *dma_mask;
	u64 coherent_dma_mask;
	kstub_dev_t devt;
	char kstub_name[32];
};

struct inode {
	kstub_dev_t i_rdev;
};

struct file {
	void *private_data;
};

struct file_operations {
	struct module *owner;
	kstub_ssize_t (*read)(struct file *, char *, size_t, kstub_loff_t *);
	kstub_ssize_t (*write)(struct file *, const char *, size_t, kstub_loff_t *);
	long (*unlocked_ioctl)(struct file *, unsigned int, unsigned long);
	int (*open)(struct inode *, struct file *);
	int (*release)(struct inode *, struct file *);
};

struct rw_semaphore {
	int readers;
};

struct mm_struct {
	struct rw_semaphore kstub_mmap_lock;
};

struct task_struct {
	struct mm_struct *mm;
	bool kstub_fatal_signal;
};

/* ---- lifecycle -------------------------------------------------------- */

/* Back to a fresh kernel: frees whatever a test left behind, clears the
 * registries, counters, fault plans, log and hooks; the clock restarts a
 * little before the jiffies counter wraps. */
void kstub_reset(void);

/* The driver's module_init and module_exit functions. */
int kstub_module_init(void);
void kstub_module_exit(void);

/* Module information as the driver declared it. */
extern const char kstub_modinfo_license[];
extern const char kstub_modinfo_description[];
extern const char kstub_modinfo_version[];

/* ---- registrations ---------------------------------------------------- */

struct kstub_chrdev {
	bool registered;
	unsigned int major, baseminor, count;
	char name[32];
	const struct file_operations *fops;
};
const struct kstub_chrdev *kstub_chrdev(void);
int kstub_classes(void);			/* classes alive */
const char *kstub_class_name(void);		/* of the last created, or "" */
struct device *kstub_device(void);		/* the last created, alive, or NULL */

/* ---- fault injection -------------------------------------------------- */

/* Allocations above this size can fail on a kernel, and their failure
 * warns unless __GFP_NOWARN is given (vmalloc takes no flags); the
 * stand-in counts such an allocation without it as misuse. */
#define KSTUB_WARN_SIZE		(8 * KSTUB_PAGE_SIZE)

enum kstub_op {
	KSTUB_KMALLOC,
	KSTUB_VMALLOC,
	KSTUB_KVMALLOC,
	KSTUB_IOREMAP,
	KSTUB_DMA_MASK,
	KSTUB_DMA_MAP,
	KSTUB_COHERENT,
	KSTUB_CHRDEV,
	KSTUB_CLASS,
	KSTUB_DEVICE,
	KSTUB_COPY_FROM_USER,
	KSTUB_COPY_TO_USER,
	KSTUB_OPS
};
/* The call of op after `after` successful ones fails, once. */
void kstub_fail(enum kstub_op op, int after);
/* get_user_pages pins at most n pages a call; negative: no limit. */
void kstub_gup_limit(long n);

/* ---- counters --------------------------------------------------------- */

struct kstub_counts {
	long kmalloc, vmalloc, kvmalloc;	/* allocations alive */
	long ioremap;				/* register windows mapped */
	long dma_map, coherent;			/* streaming mappings and coherent blocks alive */
	long pages;				/* user pages pinned */
	long dirtied;				/* set_page_dirty_lock calls */
	long msleeps;				/* msleep calls */
	long mmio_reads, mmio_writes;
	long errors;				/* misuse found; see kstub_last_error */
	long pinned_total;			/* user pages ever pinned */
	long allocated_total;			/* allocations and coherent blocks ever made */
};
struct kstub_counts kstub_counts(void);
/* Resources of any kind still held, over all the "alive" counters. */
long kstub_live(void);
const char *kstub_last_error(void);

/* ---- clock ------------------------------------------------------------ */

/* Virtual time: register accesses, cpu_relax and msleep move it on, so
 * waits take no real time and give the same result on every machine. */
u64 kstub_now_us(void);
void kstub_advance_us(u64 us);
unsigned long kstub_jiffies(void);

/* ---- user context ----------------------------------------------------- */

/* User addresses below this have no memory behind them. */
#define KSTUB_USER_HOLE		0x10000UL
/* User memory the caller may read but not write (a read-only mapping):
 * pinning it for write access and copying to it fail. Until kstub_reset. */
void kstub_user_readonly(const void *addr, size_t len);
void kstub_set_fatal_signal(bool pending);
int kstub_mmap_readers(void);

/* ---- bus and register windows ------------------------------------------ */

/* Device-side memory, reachable by bus masters at `bus`. */
void kstub_bus_add(dma_addr_t bus, void *host, size_t len);
/* Host address of [bus, bus + len) when one region holds it all, else NULL. */
void *kstub_bus_to_host(dma_addr_t bus, size_t len);

struct kstub_mmio_ops {
	u32 (*read)(void *ctx, unsigned long offset);
	void (*write)(void *ctx, unsigned long offset, u32 value);
};
/* A device model behind [phys, phys + size); windows mapped elsewhere are
 * plain memory. */
void kstub_mmio_attach(phys_addr_t phys, size_t size,
		       const struct kstub_mmio_ops *ops, void *ctx);
/* Physical address of the most recent window still mapped, or 0. */
phys_addr_t kstub_last_window(void);
/* For a device model: the mapped window (its kernel address) through
 * which the access being handled was made. */
const void *kstub_mmio_window(void);

/* Called before memory that bus masters may reach is given back (unmapped
 * page, freed coherent block, released page). */
void kstub_set_release_hook(void (*hook)(void *ctx), void *ctx);

/* ---- threads ---------------------------------------------------------- */

/* The stand-in's own lock, for device models' entry points; recursive. */
void kstub_enter(void);
void kstub_leave(void);
/* Driver mutexes the calling thread holds (a kernel warns when a system
 * call returns with one held). */
int kstub_mutexes_held(void);

/* ---- log -------------------------------------------------------------- */

/* Everything printk wrote since the last clear, without level prefixes. */
const char *kstub_log(void);
void kstub_log_clear(void);

#ifdef __cplusplus
}
#endif

#endif /* KSTUB_H */
