/*
 * The stand-in's kernel: allocations, register windows, the bus with its
 * streaming and coherent mappings, pinned user pages, registrations, the
 * virtual clock and the log. Every resource is tracked so that a test can
 * see what the driver still holds, and misuse (a wrong free, a page released
 * while mapped, a mapping undone with other arguments) is counted as an
 * error instead of crashing.
 */
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define KSTUB_IMPL
#include "kapi.h"

struct module kstub_this_module;

/* ---- errors ----------------------------------------------------------- */

static long n_errors;
static char last_error[256];

static void __attribute__((format(printf, 1, 2))) misuse(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(last_error, sizeof(last_error), fmt, ap);
	va_end(ap);
	n_errors++;
	fprintf(stderr, "kstub: %s\n", last_error);
}

const char *kstub_last_error(void)
{
	return last_error;
}

/* ---- fault injection -------------------------------------------------- */

/* Per operation: calls left until the planned failure, plus one; 0: none. */
static int fail_plan[KSTUB_OPS];
static long gup_limit = -1;

void kstub_fail(enum kstub_op op, int after)
{
	fail_plan[op] = after + 1;
}

void kstub_gup_limit(long n)
{
	gup_limit = n;
}

/* True when this call of op is the one planned to fail. */
static bool should_fail(enum kstub_op op)
{
	if (!fail_plan[op])
		return false;
	return --fail_plan[op] == 0;
}

/* ---- counters --------------------------------------------------------- */

static struct kstub_counts counts;

struct kstub_counts kstub_counts(void)
{
	struct kstub_counts c = counts;

	c.errors = n_errors;
	return c;
}

long kstub_live(void)
{
	return counts.kmalloc + counts.vmalloc + counts.kvmalloc +
	       counts.ioremap + counts.dma_map + counts.coherent + counts.pages;
}

/* ---- clock ------------------------------------------------------------ */

#define US_PER_JIFFY	(1000000u / KSTUB_HZ)
/* Starts 3 s before the counter wraps, so waits cross the wrap. */
#define INITIAL_JIFFIES	((unsigned long)(-3 * KSTUB_HZ))

static u64 now_us;

u64 kstub_now_us(void)
{
	return now_us;
}

void kstub_advance_us(u64 us)
{
	now_us += us;
}

unsigned long kstub_jiffies(void)
{
	return INITIAL_JIFFIES + (unsigned long)(now_us / US_PER_JIFFY);
}

unsigned long msecs_to_jiffies(const unsigned int m)
{
	return (unsigned long)(((u64)m * KSTUB_HZ + 999) / 1000);
}

void msleep(unsigned int msecs)
{
	/* Sleeps last at least one tick past the request, as on a kernel. */
	counts.msleeps++;
	now_us += (u64)(msecs_to_jiffies(msecs) + 1) * US_PER_JIFFY;
}

void kstub_cpu_relax(void)
{
	now_us += 1;
}

/* ---- log -------------------------------------------------------------- */

static char *log_text;
static size_t log_len, log_cap;

int printk(const char *fmt, ...)
{
	char line[1024];
	const char *text = line;
	size_t n;
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(line, sizeof(line), fmt, ap);
	va_end(ap);
	if (text[0] == KERN_SOH[0] && text[1])
		text += 2;
	n = strlen(text);
	if (log_len + n + 1 > log_cap) {
		log_cap = (log_len + n + 1) * 2;
		log_text = realloc(log_text, log_cap);
		if (!log_text)
			abort();
	}
	memcpy(log_text + log_len, text, n + 1);
	log_len += n;
	if (getenv("KSTUB_VERBOSE"))
		fputs(text, stderr);
	return (int)n;
}

const char *kstub_log(void)
{
	return log_text ? log_text : "";
}

void kstub_log_clear(void)
{
	log_len = 0;
	if (log_text)
		log_text[0] = '\0';
}

/* ---- allocations ------------------------------------------------------ */

enum alloc_kind { A_KMALLOC, A_VMALLOC, A_KVMALLOC };

struct alloc_hdr {
	struct alloc_hdr *prev, *next;
	enum alloc_kind kind;
	unsigned int magic;
};
#define ALLOC_MAGIC	0x6b737562u
#define HDR_SIZE	((sizeof(struct alloc_hdr) + 15) & ~(size_t)15)

static struct alloc_hdr allocs = { &allocs, &allocs, A_KMALLOC, 0 };

static long *alloc_counter(enum alloc_kind kind)
{
	switch (kind) {
	case A_KMALLOC:
		return &counts.kmalloc;
	case A_VMALLOC:
		return &counts.vmalloc;
	default:
		return &counts.kvmalloc;
	}
}

static void *alloc(enum alloc_kind kind, size_t size, bool zero)
{
	struct alloc_hdr *h = malloc(HDR_SIZE + size);
	void *p;

	if (!h)
		return NULL;
	h->kind = kind;
	h->magic = ALLOC_MAGIC;
	h->next = allocs.next;
	h->prev = &allocs;
	allocs.next->prev = h;
	allocs.next = h;
	(*alloc_counter(kind))++;
	p = (char *)h + HDR_SIZE;
	/* Fresh memory is never zero unless asked for, as in a kernel. */
	memset(p, zero ? 0 : 0xa5, size);
	return p;
}

static void drop(struct alloc_hdr *h)
{
	h->prev->next = h->next;
	h->next->prev = h->prev;
	h->magic = 0;
	(*alloc_counter(h->kind))--;
	free(h);
}

/* Frees p when it came from one of the kinds in mask (bits of enum alloc_kind). */
static void release(const void *p, unsigned int mask, const char *who)
{
	struct alloc_hdr *h;

	if (!p)
		return;
	h = (struct alloc_hdr *)((char *)p - HDR_SIZE);
	for (struct alloc_hdr *i = allocs.next; i != &allocs; i = i->next) {
		if (i != h)
			continue;
		if (!(mask & (1u << h->kind))) {
			misuse("%s of memory from another allocator", who);
			return;
		}
		drop(h);
		return;
	}
	misuse("%s of memory not allocated (or freed twice)", who);
}

void *kmalloc(size_t size, kstub_gfp_t flags)
{
	(void)flags;
	return should_fail(KSTUB_KMALLOC) ? NULL : alloc(A_KMALLOC, size, false);
}

void *kzalloc(size_t size, kstub_gfp_t flags)
{
	(void)flags;
	return should_fail(KSTUB_KMALLOC) ? NULL : alloc(A_KMALLOC, size, true);
}

void kfree(const void *p)
{
	release(p, 1u << A_KMALLOC, "kfree");
}

void *vmalloc(unsigned long size)
{
	return should_fail(KSTUB_VMALLOC) ? NULL : alloc(A_VMALLOC, size, false);
}

void vfree(const void *p)
{
	release(p, 1u << A_VMALLOC, "vfree");
}

void *kvmalloc_array(size_t n, size_t size, kstub_gfp_t flags)
{
	(void)flags;
	if (size && n > SIZE_MAX / size)
		return NULL;
	return should_fail(KSTUB_KVMALLOC) ? NULL : alloc(A_KVMALLOC, n * size, false);
}

void kvfree(const void *p)
{
	release(p, (1u << A_KVMALLOC) | (1u << A_KMALLOC) | (1u << A_VMALLOC), "kvfree");
}

/* ---- release hook ----------------------------------------------------- */

static void (*release_hook)(void *ctx);
static void *release_ctx;

void kstub_set_release_hook(void (*hook)(void *ctx), void *ctx)
{
	release_hook = hook;
	release_ctx = ctx;
}

static void before_release(void)
{
	if (release_hook)
		release_hook(release_ctx);
}

/* ---- user context ----------------------------------------------------- */

static struct mm_struct mm;
static struct task_struct task = { &mm, false };

struct task_struct *kstub_current(void)
{
	return &task;
}

void kstub_set_fatal_signal(bool pending)
{
	task.kstub_fatal_signal = pending;
}

int kstub_mmap_readers(void)
{
	return mm.kstub_mmap_lock.readers;
}

void down_read(struct rw_semaphore *sem)
{
	sem->readers++;
}

void up_read(struct rw_semaphore *sem)
{
	if (sem->readers <= 0) {
		misuse("up_read without down_read");
		return;
	}
	sem->readers--;
}

bool kstub_access_ok(const void __user *addr, unsigned long size)
{
	return size <= UINTPTR_MAX - (uintptr_t)addr;
}

static bool user_ok(const void *p, unsigned long n)
{
	return (uintptr_t)p >= KSTUB_USER_HOLE && kstub_access_ok(p, n);
}

unsigned long copy_from_user(void *to, const void __user *from, unsigned long n)
{
	if (should_fail(KSTUB_COPY_FROM_USER) || !user_ok(from, n))
		return n;
	memcpy(to, from, n);
	return 0;
}

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n)
{
	if (should_fail(KSTUB_COPY_TO_USER) || !user_ok(to, n))
		return n;
	memcpy(to, from, n);
	return 0;
}

/* ---- pinned pages ----------------------------------------------------- */

struct page {
	struct page *prev, *next;
	char *addr;
	bool writable;
	int mapped;
};

static struct page pinned = { &pinned, &pinned, NULL, false, 0 };

static bool page_live(const struct page *p)
{
	for (struct page *i = pinned.next; i != &pinned; i = i->next)
		if (i == p)
			return true;
	return false;
}

static void page_free(struct page *p)
{
	p->prev->next = p->next;
	p->next->prev = p->prev;
	counts.pages--;
	free(p);
}

long kstub_get_user_pages(unsigned long start, unsigned long nr_pages,
			  unsigned int gup_flags, struct page **pages)
{
	unsigned long i;

	if (mm.kstub_mmap_lock.readers <= 0)
		misuse("get_user_pages without the mmap lock");
	if (start & (PAGE_SIZE - 1))
		misuse("get_user_pages from an address inside a page");
	for (i = 0; i < nr_pages; i++) {
		unsigned long addr = start + i * PAGE_SIZE;
		struct page *p;

		if ((gup_limit >= 0 && (long)i >= gup_limit) || addr < KSTUB_USER_HOLE)
			break;
		p = calloc(1, sizeof(*p));
		if (!p)
			abort();
		p->addr = (char *)addr;
		p->writable = gup_flags & FOLL_WRITE;
		p->next = pinned.next;
		p->prev = &pinned;
		pinned.next->prev = p;
		pinned.next = p;
		counts.pages++;
		pages[i] = p;
	}
	return (i == 0 && nr_pages) ? -EFAULT : (long)i;
}

void put_page(struct page *page)
{
	if (!page_live(page)) {
		misuse("put_page of a page not pinned");
		return;
	}
	if (page->mapped)
		misuse("put_page of a page still mapped for DMA");
	before_release();
	page_free(page);
}

int set_page_dirty_lock(struct page *page)
{
	if (!page_live(page)) {
		misuse("set_page_dirty_lock of a page not pinned");
		return 0;
	}
	if (!page->writable)
		misuse("set_page_dirty_lock of a page pinned read-only");
	counts.dirtied++;
	return 1;
}

/* ---- bus -------------------------------------------------------------- */

enum region_kind { R_MAP, R_COHERENT, R_DEVICE };

struct region {
	enum region_kind kind;
	dma_addr_t bus;
	size_t len;
	char *host;
	enum dma_data_direction dir;
	struct page *page;
};

static struct region *regions;
static size_t n_regions, cap_regions;
/* Bus addresses are handed out once and never again, so a stale address
 * in a descriptor faults instead of reaching newer memory. */
static dma_addr_t next_bus;
#define FIRST_BUS	0x00100000u

static struct region *region_add(void)
{
	if (n_regions == cap_regions) {
		cap_regions = cap_regions ? cap_regions * 2 : 64;
		regions = realloc(regions, cap_regions * sizeof(*regions));
		if (!regions)
			abort();
	}
	return &regions[n_regions++];
}

static void region_remove(struct region *r)
{
	*r = regions[--n_regions];
}

void kstub_bus_add(dma_addr_t bus, void *host, size_t len)
{
	struct region *r = region_add();

	memset(r, 0, sizeof(*r));
	r->kind = R_DEVICE;
	r->bus = bus;
	r->len = len;
	r->host = host;
}

void *kstub_bus_to_host(dma_addr_t bus, size_t len)
{
	for (size_t i = 0; i < n_regions; i++) {
		struct region *r = &regions[i];

		if (bus >= r->bus && len <= r->len && bus - r->bus <= r->len - len)
			return r->host + (bus - r->bus);
	}
	return NULL;
}

static dma_addr_t bus_take(size_t len)
{
	dma_addr_t bus = next_bus;

	next_bus += (len + PAGE_SIZE - 1) & PAGE_MASK;
	return bus;
}

/* ---- registrations ---------------------------------------------------- */

struct class {
	struct class *next;
	char name[32];
	int devices;
};

struct device_rec {
	struct device dev;	/* first: the driver's pointer is this */
	struct device_rec *next;
	struct class *cls;
};

static struct kstub_chrdev chrdev;
static struct class *classes;
static struct device_rec *devices;
static char last_class[32];

const struct kstub_chrdev *kstub_chrdev(void)
{
	return &chrdev;
}

int kstub_classes(void)
{
	int n = 0;

	for (struct class *c = classes; c; c = c->next)
		n++;
	return n;
}

const char *kstub_class_name(void)
{
	return last_class;
}

struct device *kstub_device(void)
{
	return devices ? &devices->dev : NULL;
}

int __register_chrdev(unsigned int major, unsigned int baseminor,
		      unsigned int count, const char *name,
		      const struct file_operations *fops)
{
	if (should_fail(KSTUB_CHRDEV))
		return -EBUSY;
	if (chrdev.registered)
		return -EBUSY;
	chrdev.registered = true;
	chrdev.major = major ? major : 240;
	chrdev.baseminor = baseminor;
	chrdev.count = count;
	snprintf(chrdev.name, sizeof(chrdev.name), "%s", name);
	chrdev.fops = fops;
	return (int)chrdev.major;
}

void __unregister_chrdev(unsigned int major, unsigned int baseminor,
			 unsigned int count, const char *name)
{
	if (!chrdev.registered || chrdev.major != major ||
	    chrdev.baseminor != baseminor || chrdev.count != count ||
	    strcmp(chrdev.name, name)) {
		misuse("__unregister_chrdev(%u, %u, %u, %s) of no such registration",
		       major, baseminor, count, name);
		return;
	}
	memset(&chrdev, 0, sizeof(chrdev));
}

struct class *kstub_class_create(const char *name)
{
	struct class *c;

	if (should_fail(KSTUB_CLASS))
		return (struct class *)(intptr_t)-ENOMEM;
	for (c = classes; c; c = c->next)
		if (!strcmp(c->name, name))
			return (struct class *)(intptr_t)-EEXIST;
	c = calloc(1, sizeof(*c));
	if (!c)
		abort();
	snprintf(c->name, sizeof(c->name), "%s", name);
	snprintf(last_class, sizeof(last_class), "%s", name);
	c->next = classes;
	classes = c;
	return c;
}

void class_destroy(struct class *cls)
{
	for (struct class **p = &classes; *p; p = &(*p)->next) {
		if (*p != cls)
			continue;
		if (cls->devices)
			misuse("class_destroy with devices left in it");
		*p = cls->next;
		free(cls);
		return;
	}
	misuse("class_destroy of no such class");
}

struct device *device_create(struct class *cls, struct device *parent,
			     kstub_dev_t devt, void *drvdata, const char *fmt, ...)
{
	struct device_rec *d;
	va_list ap;

	(void)parent;
	(void)drvdata;
	if (should_fail(KSTUB_DEVICE))
		return (struct device *)(intptr_t)-ENOMEM;
	d = calloc(1, sizeof(*d));
	if (!d)
		abort();
	va_start(ap, fmt);
	vsnprintf(d->dev.kstub_name, sizeof(d->dev.kstub_name), fmt, ap);
	va_end(ap);
	d->dev.devt = devt;
	d->cls = cls;
	cls->devices++;
	d->next = devices;
	devices = d;
	return &d->dev;
}

static struct device_rec *device_find(const struct device *dev)
{
	for (struct device_rec *d = devices; d; d = d->next)
		if (&d->dev == dev)
			return d;
	return NULL;
}

void device_unregister(struct device *dev)
{
	for (struct device_rec **p = &devices; *p; p = &(*p)->next) {
		struct device_rec *d = *p;

		if (&d->dev != dev)
			continue;
		d->cls->devices--;
		*p = d->next;
		free(d);
		return;
	}
	misuse("device_unregister of no such device");
}

/* ---- DMA -------------------------------------------------------------- */

int dma_set_mask_and_coherent(struct device *dev, u64 mask)
{
	if (!device_find(dev)) {
		misuse("dma_set_mask_and_coherent on no such device");
		return -EIO;
	}
	/* Like a kernel: no mask storage, or a mask below the lowest zone. */
	if (should_fail(KSTUB_DMA_MASK) || !dev->dma_mask || mask < 0xffffffULL)
		return -EIO;
	*dev->dma_mask = mask;
	dev->coherent_dma_mask = mask;
	return 0;
}

dma_addr_t dma_map_page(struct device *dev, struct page *page, size_t offset,
			size_t size, enum dma_data_direction dir)
{
	struct region *r;
	dma_addr_t bus;

	if (!device_find(dev) || !dev->dma_mask) {
		misuse("dma_map_page for a device without a DMA mask");
		return DMA_MAPPING_ERROR;
	}
	if (!page_live(page)) {
		misuse("dma_map_page of a page not pinned");
		return DMA_MAPPING_ERROR;
	}
	if (offset > PAGE_SIZE || size > PAGE_SIZE - offset || !size ||
	    (dir != DMA_TO_DEVICE && dir != DMA_FROM_DEVICE && dir != DMA_BIDIRECTIONAL)) {
		misuse("dma_map_page(offset %zu, size %zu, dir %d)", offset, size, dir);
		return DMA_MAPPING_ERROR;
	}
	if (should_fail(KSTUB_DMA_MAP))
		return DMA_MAPPING_ERROR;
	bus = bus_take(PAGE_SIZE) + offset;
	if (bus + size - 1 > *dev->dma_mask)
		misuse("bus address beyond the device's DMA mask");
	r = region_add();
	r->kind = R_MAP;
	r->bus = bus;
	r->len = size;
	r->host = page->addr + offset;
	r->dir = dir;
	r->page = page;
	page->mapped++;
	counts.dma_map++;
	return bus;
}

void dma_unmap_page(struct device *dev, dma_addr_t addr, size_t size,
		    enum dma_data_direction dir)
{
	(void)dev;
	for (size_t i = 0; i < n_regions; i++) {
		struct region *r = &regions[i];

		if (r->kind != R_MAP || r->bus != addr)
			continue;
		if (r->len != size || r->dir != dir)
			misuse("dma_unmap_page with size %zu dir %d, mapped %zu dir %d",
			       size, dir, r->len, r->dir);
		before_release();
		r->page->mapped--;
		region_remove(r);
		counts.dma_map--;
		return;
	}
	misuse("dma_unmap_page of no such mapping");
}

int dma_mapping_error(struct device *dev, dma_addr_t addr)
{
	(void)dev;
	return addr == DMA_MAPPING_ERROR ? -ENOMEM : 0;
}

void *dma_alloc_coherent(struct device *dev, size_t size, dma_addr_t *handle,
			 kstub_gfp_t flags)
{
	size_t len = (size + PAGE_SIZE - 1) & PAGE_MASK;
	struct region *r;
	char *host;

	(void)flags;
	if (!device_find(dev) || !dev->coherent_dma_mask) {
		misuse("dma_alloc_coherent for a device without a DMA mask");
		return NULL;
	}
	if (should_fail(KSTUB_COHERENT) || !size)
		return NULL;
	host = aligned_alloc(PAGE_SIZE, len);
	if (!host)
		return NULL;
	memset(host, 0xa5, len);
	r = region_add();
	r->kind = R_COHERENT;
	r->bus = bus_take(len);
	r->len = size;
	r->host = host;
	r->dir = DMA_BIDIRECTIONAL;
	r->page = NULL;
	*handle = r->bus;
	counts.coherent++;
	return host;
}

void dma_free_coherent(struct device *dev, size_t size, void *cpu, dma_addr_t handle)
{
	(void)dev;
	for (size_t i = 0; i < n_regions; i++) {
		struct region *r = &regions[i];

		if (r->kind != R_COHERENT || r->bus != handle)
			continue;
		if (r->host != cpu || r->len != size)
			misuse("dma_free_coherent with size %zu, allocated %zu", size, r->len);
		before_release();
		free(r->host);
		region_remove(r);
		counts.coherent--;
		return;
	}
	misuse("dma_free_coherent of no such block");
}

/* ---- register windows ------------------------------------------------- */

struct model {
	phys_addr_t phys;
	size_t size;
	const struct kstub_mmio_ops *ops;
	void *ctx;
};

struct window {
	struct window *next;
	char *host;
	size_t size;
	phys_addr_t phys;
	struct model *model;
};

static struct model models[4];
static int n_models;
static struct window *windows;

void kstub_mmio_attach(phys_addr_t phys, size_t size,
		       const struct kstub_mmio_ops *ops, void *ctx)
{
	if (n_models == (int)(sizeof(models) / sizeof(models[0])))
		abort();
	models[n_models++] = (struct model){ phys, size, ops, ctx };
}

phys_addr_t kstub_last_window(void)
{
	return windows ? windows->phys : 0;
}

void __iomem *ioremap(resource_size_t phys, size_t size)
{
	struct window *w;

	if (should_fail(KSTUB_IOREMAP) || !size)
		return NULL;
	w = calloc(1, sizeof(*w));
	if (!w)
		abort();
	w->host = calloc(1, size);
	if (!w->host)
		abort();
	w->size = size;
	w->phys = phys;
	for (int i = 0; i < n_models; i++)
		if (phys >= models[i].phys && size <= models[i].size &&
		    phys - models[i].phys <= models[i].size - size)
			w->model = &models[i];
	w->next = windows;
	windows = w;
	counts.ioremap++;
	return w->host;
}

void iounmap(volatile void __iomem *addr)
{
	for (struct window **p = &windows; *p; p = &(*p)->next) {
		struct window *w = *p;

		if ((uintptr_t)w->host != (uintptr_t)addr)
			continue;
		*p = w->next;
		free(w->host);
		free(w);
		counts.ioremap--;
		return;
	}
	misuse("iounmap of no such window");
}

static struct window *window_of(const volatile void *addr, unsigned long *offset)
{
	uintptr_t a = (uintptr_t)addr;

	for (struct window *w = windows; w; w = w->next) {
		uintptr_t base = (uintptr_t)w->host;

		if (a >= base && a - base <= w->size - 4) {
			*offset = (unsigned long)(a - base);
			if (*offset & 3)
				break;
			return w;
		}
	}
	misuse("register access outside every mapped window");
	return NULL;
}

u32 readl(const volatile void __iomem *addr)
{
	unsigned long off;
	struct window *w = window_of(addr, &off);
	u32 v;

	now_us += 1;
	counts.mmio_reads++;
	if (!w)
		return 0xffffffffu;
	if (w->model)
		return w->model->ops->read(w->model->ctx,
					   (unsigned long)(w->phys - w->model->phys) + off);
	memcpy(&v, w->host + off, sizeof(v));
	return v;
}

void writel(u32 value, volatile void __iomem *addr)
{
	unsigned long off;
	struct window *w = window_of(addr, &off);

	now_us += 1;
	counts.mmio_writes++;
	if (!w)
		return;
	if (w->model)
		w->model->ops->write(w->model->ctx,
				     (unsigned long)(w->phys - w->model->phys) + off, value);
	else
		memcpy(w->host + off, &value, sizeof(value));
}

/* ---- reset ------------------------------------------------------------ */

void kstub_reset(void)
{
	while (allocs.next != &allocs)
		drop(allocs.next);
	while (pinned.next != &pinned)
		page_free(pinned.next);
	for (size_t i = 0; i < n_regions; i++)
		if (regions[i].kind == R_COHERENT)
			free(regions[i].host);
	free(regions);
	regions = NULL;
	n_regions = cap_regions = 0;
	next_bus = FIRST_BUS;
	while (windows) {
		struct window *w = windows;

		windows = w->next;
		free(w->host);
		free(w);
	}
	n_models = 0;
	while (devices) {
		struct device_rec *d = devices;

		devices = d->next;
		free(d);
	}
	while (classes) {
		struct class *c = classes;

		classes = c->next;
		free(c);
	}
	last_class[0] = '\0';
	memset(&chrdev, 0, sizeof(chrdev));
	memset(&counts, 0, sizeof(counts));
	memset(fail_plan, 0, sizeof(fail_plan));
	gup_limit = -1;
	n_errors = 0;
	last_error[0] = '\0';
	now_us = 0;
	release_hook = NULL;
	release_ctx = NULL;
	mm.kstub_mmap_lock.readers = 0;
	task.kstub_fatal_signal = false;
	kstub_log_clear();
}
