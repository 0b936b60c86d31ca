/*
 * The stand-in's kernel: allocations, register windows, the bus with its
 * streaming and coherent mappings, pinned user pages, registrations, the
 * virtual clock and the log. Every resource is tracked so that a test can
 * see what the driver still holds, and misuse (a wrong free, a page released
 * while mapped, a mapping undone with other arguments) is counted as an
 * error instead of crashing.
 */
#define _GNU_SOURCE	/* the recursive mutex initialiser */
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define KSTUB_IMPL
#include "kapi.h"

struct module kstub_this_module;

/* ---- the stand-in's own lock ------------------------------------------ */

/*
 * The driver calls in from several threads at once, so one recursive lock
 * covers all of the stand-in's state (device models called from inside
 * take it again). It is not the driver's lock: under ThreadSanitizer it is
 * hidden, together with every access made while it is held. Otherwise each
 * call into the stand-in would order the driver's threads and mask the
 * races between them.
 */
#if defined(__SANITIZE_THREAD__)
#define KSTUB_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KSTUB_TSAN 1
#endif
#endif

#ifdef KSTUB_TSAN
void AnnotateIgnoreSyncBegin(const char *file, int line);
void AnnotateIgnoreSyncEnd(const char *file, int line);
void AnnotateIgnoreReadsBegin(const char *file, int line);
void AnnotateIgnoreReadsEnd(const char *file, int line);
void AnnotateIgnoreWritesBegin(const char *file, int line);
void AnnotateIgnoreWritesEnd(const char *file, int line);
#endif

static pthread_mutex_t big_lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

void kstub_enter(void)
{
#ifdef KSTUB_TSAN
	AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
	AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
	AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
	pthread_mutex_lock(&big_lock);
}

void kstub_leave(void)
{
	pthread_mutex_unlock(&big_lock);
#ifdef KSTUB_TSAN
	AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
	AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
	AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
#endif
}

static int guard_enter(void)
{
	kstub_enter();
	return 0;
}

static void guard_leave(int *unused)
{
	(void)unused;
	kstub_leave();
}

/* Holds the stand-in's lock until the end of the enclosing block. */
#define KSTUB_GUARD() \
	int kstub_guard_ __attribute__((cleanup(guard_leave), unused)) = guard_enter()

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
	KSTUB_GUARD();
	return last_error;
}

/* ---- fault injection -------------------------------------------------- */

/* Per operation: calls left until the planned failure, plus one; 0: none. */
static int fail_plan[KSTUB_OPS];
static long gup_limit = -1;

void kstub_fail(enum kstub_op op, int after)
{
	KSTUB_GUARD();
	fail_plan[op] = after + 1;
}

void kstub_gup_limit(long n)
{
	KSTUB_GUARD();
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
	KSTUB_GUARD();
	struct kstub_counts c = counts;

	c.errors = n_errors;
	return c;
}

long kstub_live(void)
{
	KSTUB_GUARD();
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
	KSTUB_GUARD();
	return now_us;
}

void kstub_advance_us(u64 us)
{
	KSTUB_GUARD();
	now_us += us;
}

unsigned long kstub_jiffies(void)
{
	KSTUB_GUARD();
	return INITIAL_JIFFIES + (unsigned long)(now_us / US_PER_JIFFY);
}

unsigned long msecs_to_jiffies(const unsigned int m)
{
	return (unsigned long)(((u64)m * KSTUB_HZ + 999) / 1000);
}

/*
 * Sleeps and spins give the processor away for real, as a preemptible
 * kernel may at these points: other threads of a test run in between.
 */
void msleep(unsigned int msecs)
{
	sched_yield();
	KSTUB_GUARD();
	/* Sleeps last at least one tick past the request, as on a kernel. */
	counts.msleeps++;
	now_us += (u64)(msecs_to_jiffies(msecs) + 1) * US_PER_JIFFY;
}

void kstub_cpu_relax(void)
{
	sched_yield();
	KSTUB_GUARD();
	now_us += 1;
}

/* ---- mutexes ---------------------------------------------------------- */

/* What a struct mutex holds: a real lock, so ThreadSanitizer sees it. */
struct kstub_mutex_impl {
	pthread_mutex_t lock;
	pthread_t owner;	/* atomic: read by threads that do not hold it */
	bool held;		/* atomic, as owner */
};
_Static_assert(sizeof(struct kstub_mutex_impl) <= sizeof(((struct mutex *)0)->kstub_storage),
	       "struct mutex too small");

/* Mutexes the calling thread holds; a call must not return with one held. */
static _Thread_local int mutexes_held;

static struct kstub_mutex_impl *mutex_impl(struct mutex *m)
{
	return (struct kstub_mutex_impl *)(void *)m->kstub_storage;
}

static bool held_by_me(struct kstub_mutex_impl *i)
{
	return __atomic_load_n(&i->held, __ATOMIC_RELAXED) &&
	       pthread_equal(__atomic_load_n(&i->owner, __ATOMIC_RELAXED), pthread_self());
}

void mutex_init(struct mutex *m)
{
	memset(m, 0, sizeof(*m));
	pthread_mutex_init(&mutex_impl(m)->lock, NULL);
}

void mutex_destroy(struct mutex *m)
{
	struct kstub_mutex_impl *i = mutex_impl(m);

	if (__atomic_load_n(&i->held, __ATOMIC_RELAXED) || pthread_mutex_destroy(&i->lock)) {
		KSTUB_GUARD();
		misuse("mutex_destroy of a held mutex");
	}
}

static void mutex_took(struct kstub_mutex_impl *i)
{
	__atomic_store_n(&i->owner, pthread_self(), __ATOMIC_RELAXED);
	__atomic_store_n(&i->held, true, __ATOMIC_RELAXED);
	mutexes_held++;
}

void mutex_lock(struct mutex *m)
{
	struct kstub_mutex_impl *i = mutex_impl(m);

	if (held_by_me(i)) {
		KSTUB_GUARD();
		misuse("mutex_lock of a mutex this thread holds");
		return;
	}
	pthread_mutex_lock(&i->lock);
	mutex_took(i);
}

int mutex_lock_killable(struct mutex *m)
{
	struct kstub_mutex_impl *i = mutex_impl(m);

	if (pthread_mutex_trylock(&i->lock)) {
		bool killed;

		/* A killed task gives up waiting; an uncontended lock is taken. */
		{
			KSTUB_GUARD();
			killed = kstub_current()->kstub_fatal_signal;
		}
		if (killed)
			return -EINTR;
		mutex_lock(m);
		return 0;
	}
	mutex_took(i);
	return 0;
}

void mutex_unlock(struct mutex *m)
{
	struct kstub_mutex_impl *i = mutex_impl(m);

	if (!held_by_me(i)) {
		KSTUB_GUARD();
		misuse("mutex_unlock of a mutex this thread does not hold");
		return;
	}
	__atomic_store_n(&i->held, false, __ATOMIC_RELAXED);
	mutexes_held--;
	pthread_mutex_unlock(&i->lock);
}

bool kstub_mutex_held(struct mutex *m)
{
	return held_by_me(mutex_impl(m));
}

int kstub_mutexes_held(void)
{
	return mutexes_held;
}

/* ---- log -------------------------------------------------------------- */

static char *log_text;
static size_t log_len, log_cap;

int printk(const char *fmt, ...)
{
	KSTUB_GUARD();
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
	KSTUB_GUARD();
	return log_text ? log_text : "";
}

void kstub_log_clear(void)
{
	KSTUB_GUARD();
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
	counts.allocated_total++;
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

/* Large requests whose failure would warn: a caller sizing them from user
 * space must ask for silence. */
static void check_warn(size_t size, kstub_gfp_t flags, const char *who)
{
	if (size > KSTUB_WARN_SIZE && !(flags & __GFP_NOWARN))
		misuse("%s of %zu bytes without __GFP_NOWARN", who, size);
}

void *kmalloc(size_t size, kstub_gfp_t flags)
{
	KSTUB_GUARD();
	check_warn(size, flags, "kmalloc");
	return should_fail(KSTUB_KMALLOC) ? NULL : alloc(A_KMALLOC, size, false);
}

void *kzalloc(size_t size, kstub_gfp_t flags)
{
	KSTUB_GUARD();
	check_warn(size, flags, "kzalloc");
	return should_fail(KSTUB_KMALLOC) ? NULL : alloc(A_KMALLOC, size, true);
}

void kfree(const void *p)
{
	KSTUB_GUARD();
	release(p, 1u << A_KMALLOC, "kfree");
}

void *vmalloc(unsigned long size)
{
	KSTUB_GUARD();
	check_warn(size, 0, "vmalloc");
	return should_fail(KSTUB_VMALLOC) ? NULL : alloc(A_VMALLOC, size, false);
}

void vfree(const void *p)
{
	KSTUB_GUARD();
	release(p, 1u << A_VMALLOC, "vfree");
}

void *kvmalloc_array(size_t n, size_t size, kstub_gfp_t flags)
{
	KSTUB_GUARD();
	if (size && n > SIZE_MAX / size)
		return NULL;
	check_warn(n * size, flags, "kvmalloc_array");
	return should_fail(KSTUB_KVMALLOC) ? NULL : alloc(A_KVMALLOC, n * size, false);
}

void kvfree(const void *p)
{
	KSTUB_GUARD();
	release(p, (1u << A_KVMALLOC) | (1u << A_KMALLOC) | (1u << A_VMALLOC), "kvfree");
}

/* ---- release hook ----------------------------------------------------- */

static void (*release_hook)(void *ctx);
static void *release_ctx;

void kstub_set_release_hook(void (*hook)(void *ctx), void *ctx)
{
	KSTUB_GUARD();
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
	KSTUB_GUARD();
	task.kstub_fatal_signal = pending;
}

int kstub_mmap_readers(void)
{
	KSTUB_GUARD();
	return mm.kstub_mmap_lock.readers;
}

void down_read(struct rw_semaphore *sem)
{
	KSTUB_GUARD();
	sem->readers++;
}

void up_read(struct rw_semaphore *sem)
{
	KSTUB_GUARD();
	if (sem->readers <= 0) {
		misuse("up_read without down_read");
		return;
	}
	sem->readers--;
}

/* Read-only user ranges: [start, end). */
static struct {
	uintptr_t start, end;
} readonly[8];
static int n_readonly;

void kstub_user_readonly(const void *addr, size_t len)
{
	KSTUB_GUARD();
	if (n_readonly == (int)(sizeof(readonly) / sizeof(readonly[0])))
		abort();
	readonly[n_readonly].start = (uintptr_t)addr;
	readonly[n_readonly].end = (uintptr_t)addr + len;
	n_readonly++;
}

static bool user_readonly(uintptr_t addr, unsigned long n)
{
	for (int i = 0; i < n_readonly; i++)
		if (addr < readonly[i].end &&
		    (readonly[i].start <= addr || readonly[i].start - addr < n))
			return true;
	return false;
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
	KSTUB_GUARD();
	if (should_fail(KSTUB_COPY_FROM_USER) || !user_ok(from, n))
		return n;
	memcpy(to, from, n);
	return 0;
}

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n)
{
	KSTUB_GUARD();
	if (should_fail(KSTUB_COPY_TO_USER) || !user_ok(to, n) ||
	    user_readonly((uintptr_t)to, n))
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
	KSTUB_GUARD();
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
		/* A read-only mapping cannot be pinned for writing. */
		if ((gup_flags & FOLL_WRITE) && user_readonly(addr, PAGE_SIZE))
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
		counts.pinned_total++;
		pages[i] = p;
	}
	return (i == 0 && nr_pages) ? -EFAULT : (long)i;
}

void put_page(struct page *page)
{
	KSTUB_GUARD();
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
	KSTUB_GUARD();
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
	KSTUB_GUARD();
	struct region *r = region_add();

	memset(r, 0, sizeof(*r));
	r->kind = R_DEVICE;
	r->bus = bus;
	r->len = len;
	r->host = host;
}

void *kstub_bus_to_host(dma_addr_t bus, size_t len)
{
	KSTUB_GUARD();
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
	KSTUB_GUARD();
	return &chrdev;
}

int kstub_classes(void)
{
	KSTUB_GUARD();
	int n = 0;

	for (struct class *c = classes; c; c = c->next)
		n++;
	return n;
}

const char *kstub_class_name(void)
{
	KSTUB_GUARD();
	return last_class;
}

struct device *kstub_device(void)
{
	KSTUB_GUARD();
	return devices ? &devices->dev : NULL;
}

int __register_chrdev(unsigned int major, unsigned int baseminor,
		      unsigned int count, const char *name,
		      const struct file_operations *fops)
{
	KSTUB_GUARD();
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
	KSTUB_GUARD();
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
	KSTUB_GUARD();
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
	KSTUB_GUARD();
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
	KSTUB_GUARD();
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
	KSTUB_GUARD();
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
	KSTUB_GUARD();
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
	KSTUB_GUARD();
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
	if (dir != DMA_TO_DEVICE && !page->writable) {
		misuse("dma_map_page for the device to write a page pinned read-only");
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
	KSTUB_GUARD();
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
	KSTUB_GUARD();
	(void)dev;
	return addr == DMA_MAPPING_ERROR ? -ENOMEM : 0;
}

void *dma_alloc_coherent(struct device *dev, size_t size, dma_addr_t *handle,
			 kstub_gfp_t flags)
{
	KSTUB_GUARD();
	size_t len = (size + PAGE_SIZE - 1) & PAGE_MASK;
	struct region *r;
	char *host;

	check_warn(size, flags, "dma_alloc_coherent");
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
	counts.allocated_total++;
	return host;
}

void dma_free_coherent(struct device *dev, size_t size, void *cpu, dma_addr_t handle)
{
	KSTUB_GUARD();
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
	KSTUB_GUARD();
	if (n_models == (int)(sizeof(models) / sizeof(models[0])))
		abort();
	models[n_models++] = (struct model){ phys, size, ops, ctx };
}

phys_addr_t kstub_last_window(void)
{
	KSTUB_GUARD();
	return windows ? windows->phys : 0;
}

void __iomem *ioremap(resource_size_t phys, size_t size)
{
	KSTUB_GUARD();
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
	KSTUB_GUARD();
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

/* The window of the access a device model is handling. */
static const struct window *access_window;

const void *kstub_mmio_window(void)
{
	KSTUB_GUARD();
	return access_window ? access_window->host : NULL;
}

u32 readl(const volatile void __iomem *addr)
{
	KSTUB_GUARD();
	unsigned long off;
	struct window *w = window_of(addr, &off);
	u32 v;

	now_us += 1;
	counts.mmio_reads++;
	if (!w)
		return 0xffffffffu;
	if (w->model) {
		access_window = w;
		v = w->model->ops->read(w->model->ctx,
					(unsigned long)(w->phys - w->model->phys) + off);
		access_window = NULL;
		return v;
	}
	memcpy(&v, w->host + off, sizeof(v));
	return v;
}

void writel(u32 value, volatile void __iomem *addr)
{
	KSTUB_GUARD();
	unsigned long off;
	struct window *w = window_of(addr, &off);

	now_us += 1;
	counts.mmio_writes++;
	if (!w)
		return;
	if (w->model) {
		access_window = w;
		w->model->ops->write(w->model->ctx,
				     (unsigned long)(w->phys - w->model->phys) + off, value);
		access_window = NULL;
	} else
		memcpy(w->host + off, &value, sizeof(value));
}

/* ---- reset ------------------------------------------------------------ */

void kstub_lock_not_held(const char *lock, const char *func)
{
	KSTUB_GUARD();
	misuse("%s called without holding %s", func, lock);
}

void kstub_reset(void)
{
	KSTUB_GUARD();
	/* DEFINE_MUTEX leaves the lock zeroed: that must be an unlocked one. */
	static const pthread_mutex_t unlocked = PTHREAD_MUTEX_INITIALIZER;
	static const pthread_mutex_t zero;

	if (memcmp(&unlocked, &zero, sizeof(zero)))
		abort();
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
	n_readonly = 0;
	kstub_log_clear();
}
