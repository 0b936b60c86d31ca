// SPDX-License-Identifier: GPL-2.0
/*
 * pellix: the character device "pel_lix", moving data between user memory
 * and a device-side address through the AXI CDMA engine of the programmable
 * logic. A read copies from the device side into the caller's buffer, a
 * write the other way. A buffer within one page uses the engine's simple
 * mode and is waited for; a larger one is described by a ring of
 * descriptors, one per page, and runs on after the call returns until the
 * caller waits for it (PELLIX_SG_WAIT) or releases it (PELLIX_SG_RELEASE).
 *
 * The engine is polled, no interrupt is used. Each open file has its own
 * state under its own mutex, so that threads sharing a file cannot release
 * one transfer twice or start two at once; all files drive the one engine,
 * whose mutex is held from a reset to the end of a simple copy, to the
 * start of a ring, and over a ring's release. Until its ring is released,
 * the engine belongs to that file: another file's transfer is refused
 * rather than resetting the engine under the ring. A caller that
 * serialises its own use never waits for either lock.
 *
 * Builds against 4.19 (the device) and 6.1; the API differences are handled
 * where they occur.
 */
#include <linux/module.h>
#include <linux/init.h>
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/err.h>
#include <linux/fs.h>
#include <linux/device.h>
#include <linux/io.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/vmalloc.h>
#include <linux/mm.h>
#include <linux/sched.h>
#include <linux/sched/signal.h>
#include <linux/dma-mapping.h>
#include <linux/uaccess.h>
#include <linux/jiffies.h>
#include <linux/delay.h>
#include <linux/mutex.h>
#include <linux/version.h>
#include <asm/processor.h>

#include "pellix.h"

#define PELLIX_MINORS		256
/* The engine reaches the low 512 MB only. */
#define PELLIX_DMA_BITS		29

/* Ticks allowed for a reset to clear and for the engine to become idle. */
#define ENGINE_START_TICKS	1
/* Ticks a simple-mode copy (at most one page) may take. */
#define SINGLE_WAIT_TICKS	5
/* A ring wait spins this long before it sleeps between polls. */
#define SG_SPIN_TICKS		2

/* Allocations sized from user space may fail; that is an answer, not a fault. */
#define PELLIX_GFP		(GFP_KERNEL | __GFP_NOWARN)

static int major;
static struct class *firstdrv_class;
static struct device *drv_device;

/*
 * The one engine: engine_lock serialises resets, starts and releases;
 * engine_ring is the file whose ring the engine may still be walking.
 */
static DEFINE_MUTEX(engine_lock);
static struct dma_info *engine_ring;

/* ---- register access ---------------------------------------------------- */

static inline u32 pel_read(struct dma_info *info, unsigned int reg)
{
	return readl(info->pl_axicdma_base + reg);
}

static inline void pel_write(struct dma_info *info, unsigned int reg, u32 val)
{
	writel(val, info->pl_axicdma_base + reg);
}

static inline bool pel_idle(struct dma_info *info)
{
	return pel_read(info, CDMA_SR) & CDMA_SR_IDLE;
}

/* ---- kernel API across versions ---------------------------------------- */

static inline struct class *pel_class_create(const char *name)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
	return class_create(name);
#else
	return class_create(THIS_MODULE, name);
#endif
}

static inline bool pel_access_ok(const void __user *buf, size_t count,
				 bool to_mem)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 0, 0)
	return access_ok(buf, count);
#else
	return access_ok(to_mem ? VERIFY_WRITE : VERIFY_READ, buf, count);
#endif
}

/* Pins n user pages from start; returns how many were pinned, or an error. */
static long pel_pin_pages(unsigned long start, int n, bool to_mem,
			  struct page **pages)
{
	unsigned int flags = to_mem ? FOLL_WRITE : 0;
	long got;

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 8, 0)
	mmap_read_lock(current->mm);
#else
	down_read(&current->mm->mmap_sem);
#endif
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 5, 0)
	got = get_user_pages(start, n, flags, pages);
#else
	got = get_user_pages(start, n, flags, pages, NULL);
#endif
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 8, 0)
	mmap_read_unlock(current->mm);
#else
	up_read(&current->mm->mmap_sem);
#endif
	return got;
}

/*
 * Gives pinned pages back. Only pages the engine may have written are
 * marked dirty: a page pinned read-only must not be.
 */
static void pel_put_pages(struct page **pages, int n, bool dirty)
{
	int i;

	for (i = 0; i < n; i++) {
		if (dirty)
			set_page_dirty_lock(pages[i]);
		put_page(pages[i]);
	}
}

/* ---- engine steps -------------------------------------------------------- */

/*
 * Polls until (reg & mask) == want or the ticks have passed. The clock is
 * read before the register, so a preemption between the two cannot turn a
 * condition that came true in time into a time-out.
 */
static int pel_poll(struct dma_info *info, unsigned int reg, u32 mask,
		    u32 want, unsigned long ticks)
{
	unsigned long end = jiffies + ticks;
	bool expired;

	for (;;) {
		expired = time_after(jiffies, end);
		if ((pel_read(info, reg) & mask) == want)
			return 0;
		if (expired)
			return -1;
		cpu_relax();
	}
}

/* Soft reset: the engine drops any transfer and clears the bit when done. */
static int _engine_reset(struct dma_info *info)
{
	lockdep_assert_held(&engine_lock);
	pel_write(info, CDMA_CR, CDMA_CR_RESET);
	return pel_poll(info, CDMA_CR, CDMA_CR_RESET, 0, ENGINE_START_TICKS);
}

/* Every transfer starts from a freshly reset, idle engine. */
static int _engine_start(struct dma_info *info)
{
	if (_engine_reset(info))
		return -1;
	return pel_poll(info, CDMA_SR, CDMA_SR_IDLE, CDMA_SR_IDLE,
			ENGINE_START_TICKS);
}

/*
 * Stops a transfer that may still be running, before its memory is given
 * back: the engine must not write into released pages. An idle engine is
 * left alone. Fails when a reset does not take effect.
 */
static int _engine_halt(struct dma_info *info)
{
	if (pel_idle(info))
		return 0;
	return _engine_reset(info);
}

/*
 * Simple mode: one copy of at most a page, waited for. Returns 0, -EIO when
 * the engine could not be started (nothing was started), or -ETIMEDOUT
 * when the copy did not finish in time (it may still be running).
 */
static int _single_trans_once(struct dma_info *info, u32 src, u32 dst,
			      u32 len)
{
	if (_engine_start(info))
		return -EIO;
	if (info->trans_fixed == FIXED_READ)
		pel_write(info, CDMA_CR, CDMA_CR_KEYHOLE_READ);
	else if (info->trans_fixed == FIXED_WRITE)
		pel_write(info, CDMA_CR, CDMA_CR_KEYHOLE_WRITE);
	pel_write(info, CDMA_SA, src);
	pel_write(info, CDMA_DA, dst);
	pel_write(info, CDMA_BTT, len);		/* starts the copy */
	/* The fixed-address mode lasts one transfer. */
	info->trans_fixed = FIXED_NULL;

	if (pel_poll(info, CDMA_SR, CDMA_SR_IDLE, CDMA_SR_IDLE,
		     SINGLE_WAIT_TICKS))
		return -ETIMEDOUT;
	return 0;
}

/* Allocates the ring of n descriptors; the last points back to the first. */
static int _sg_init(struct dma_info *info, unsigned int n)
{
	void *block;
	unsigned int i;

	block = dma_alloc_coherent(drv_device, n * CDMA_DESC_SIZE,
				   &info->sg_paddr_base, PELLIX_GFP);
	if (!block)
		goto err;
	info->SgDes = kvmalloc_array(n, sizeof(*info->SgDes), PELLIX_GFP);
	if (!info->SgDes)
		goto err_block;

	for (i = 0; i < n; i++) {
		unsigned int *desc = block + i * CDMA_DESC_SIZE;
		dma_addr_t next = info->sg_paddr_base +
				  ((i + 1) % n) * CDMA_DESC_SIZE;

		/* Coherent memory is not zeroed on every kernel. */
		memset(desc, 0, CDMA_DESC_SIZE);
		desc[CDMA_DESC_NEXT] = lower_32_bits(next);
		info->SgDes[i] = desc;
	}
	info->sg_vaddr_base = (uintptr_t)block;
	info->SgNum = n;
	return 0;

err_block:
	dma_free_coherent(drv_device, n * CDMA_DESC_SIZE, block,
			  info->sg_paddr_base);
err:
	pr_err("_sg_init error\n");
	return -ENOMEM;
}

static void _sg_page_config(struct dma_info *info, unsigned int i, u32 src,
			    u32 dst, u32 len)
{
	unsigned int *desc;

	if (i >= info->SgNum)
		return;
	desc = info->SgDes[i];
	desc[CDMA_DESC_SA] = src;
	desc[CDMA_DESC_DA] = dst;
	desc[CDMA_DESC_LEN] = len;
}

/* Starts the walk of the whole ring; does not wait. */
static int _sg_trans(struct dma_info *info)
{
	u32 cr = CDMA_CR_SGMODE;

	if (_engine_start(info))
		return -1;
	if (info->trans_fixed == FIXED_READ)
		cr |= CDMA_CR_KEYHOLE_READ;
	else if (info->trans_fixed == FIXED_WRITE)
		cr |= CDMA_CR_KEYHOLE_WRITE;
	pel_write(info, CDMA_CR, cr);
	pel_write(info, CDMA_CURDESC, lower_32_bits(info->sg_paddr_base));
	/* Writing the tail starts the walk. */
	pel_write(info, CDMA_TAILDESC,
		  lower_32_bits(info->sg_paddr_base +
				(info->SgNum - 1) * CDMA_DESC_SIZE));
	info->trans_fixed = FIXED_NULL;
	return 0;
}

/*
 * Frees the ring transfer's resources: the first `mapped` pages are
 * unmapped, every pinned page is given back. Pages the engine wrote into
 * (started is true) are marked dirty.
 */
static void _sg_free(struct dma_info *info, unsigned int mapped, bool started)
{
	unsigned int i;

	for (i = 0; i < mapped; i++) {
		uintptr_t *map = &info->puiDmaMap[3 * i];

		dma_unmap_page(drv_device, map[0], map[1], map[2]);
		if (started && map[2] == DMA_FROM_DEVICE)
			set_page_dirty_lock(info->SgPages[i]);
	}
	pel_put_pages(info->SgPages, info->SgNum, false);
	kvfree(info->SgPages);
	kvfree(info->puiDmaMap);
	kvfree(info->SgDes);
	dma_free_coherent(drv_device, info->SgNum * CDMA_DESC_SIZE,
			  (void *)info->sg_vaddr_base, info->sg_paddr_base);
	info->SgPages = NULL;
	info->puiDmaMap = NULL;
	info->SgDes = NULL;
	info->sg_vaddr_base = 0;
	info->sg_paddr_base = 0;
	info->SgNum = 0;
}

/*
 * Releases the outstanding ring transfer, if any. The engine is stopped
 * first; when it cannot be, the transfer is kept (its pages stay pinned)
 * and -EIO is returned, as releasing would let the engine write into freed
 * memory. Once released, the engine is free for every file.
 */
static int _sg_wait_done(struct dma_info *info)
{
	int ret = 0;

	lockdep_assert_held(&info->lock);
	if (!info->SgNum)
		return 0;
	mutex_lock(&engine_lock);
	if (_engine_halt(info)) {
		pr_err("pel_lix: engine does not stop, %u pages stay pinned\n",
		       info->SgNum);
		ret = -EIO;
	} else {
		_sg_free(info, info->SgNum, true);
		engine_ring = NULL;
	}
	mutex_unlock(&engine_lock);
	return ret;
}

/*
 * Waits for the engine to become idle: spins for the first ticks, then
 * sleeps 1 ms between polls. A negative timeout waits without limit, ended
 * only by the engine or by a fatal signal. Returns 0 when idle, else -1.
 */
static int _sg_wait(struct dma_info *info, int timeout)
{
	unsigned long start = jiffies;
	unsigned long limit = msecs_to_jiffies(timeout < 0 ? INT_MAX : timeout);
	bool expired;

	for (;;) {
		expired = time_after(jiffies, start + limit);
		if (pel_idle(info))
			return 0;
		if (expired || fatal_signal_pending(current))
			return -1;
		if (time_after(jiffies, start + SG_SPIN_TICKS))
			msleep(1);
		else
			cpu_relax();
	}
}

/* ---- transfers ----------------------------------------------------------- */

/* One page: simple mode, waited for. Consumes the page array. */
static ssize_t pel_trans_page(struct dma_info *info, struct page **pages,
			      unsigned int offset, size_t count, loff_t pos,
			      enum dma_data_direction dir)
{
	u32 dev_addr = lower_32_bits(info->tran_dst_address + pos);
	bool to_mem = dir == DMA_FROM_DEVICE;
	dma_addr_t bus;
	ssize_t ret;
	int err;

	bus = dma_map_page(drv_device, pages[0], offset, count, dir);
	if (dma_mapping_error(drv_device, bus)) {
		pel_put_pages(pages, 1, false);
		ret = -ENOMEM;
		goto out;
	}

	if (to_mem)
		err = _single_trans_once(info, dev_addr, lower_32_bits(bus),
					 count);
	else
		err = _single_trans_once(info, lower_32_bits(bus), dev_addr,
					 count);
	ret = count;
	if (err) {
		pr_err("_single_trans_once timeout\n");
		ret = -1;
		/* A copy that outlived its wait must not reach the page. */
		if (err == -ETIMEDOUT && _engine_halt(info)) {
			pr_err("pel_lix: engine does not stop, 1 page stays pinned\n");
			goto out;
		}
	}
	dma_unmap_page(drv_device, bus, count, dir);
	pel_put_pages(pages, 1, to_mem && err != -EIO);
out:
	kvfree(pages);
	return ret;
}

/*
 * Several pages: one descriptor per page, started and left running. The
 * page array becomes the transfer's; on failure everything is given back.
 */
static ssize_t pel_trans_sg(struct dma_info *info, struct page **pages,
			    int n, unsigned int offset, size_t count,
			    enum dma_data_direction dir)
{
	bool to_mem = dir == DMA_FROM_DEVICE;
	/* Key-hole on the device side keeps its address for every chunk. */
	bool fixed = info->trans_fixed == (to_mem ? FIXED_READ : FIXED_WRITE);
	uintptr_t *map;
	size_t done = 0;
	int i, ret;

	map = kvmalloc_array(3 * n, sizeof(*map), PELLIX_GFP);
	if (!map) {
		ret = -ENOMEM;
		goto err_pages;
	}
	ret = _sg_init(info, n);
	if (ret) {
		kvfree(map);
		goto err_pages;
	}
	info->SgPages = pages;
	info->puiDmaMap = map;

	for (i = 0; i < n; i++) {
		unsigned int off = i ? 0 : offset;
		size_t len = min_t(size_t, count - done, PAGE_SIZE - off);
		u32 dev_addr = lower_32_bits(info->tran_dst_address +
					     (fixed ? 0 : done));
		dma_addr_t bus;

		bus = dma_map_page(drv_device, pages[i], off, len, dir);
		if (dma_mapping_error(drv_device, bus)) {
			_sg_free(info, i, false);
			return -ENOMEM;
		}
		map[3 * i] = bus;
		map[3 * i + 1] = len;
		map[3 * i + 2] = dir;
		if (to_mem)
			_sg_page_config(info, i, dev_addr, lower_32_bits(bus),
					len);
		else
			_sg_page_config(info, i, lower_32_bits(bus), dev_addr,
					len);
		done += len;
	}

	if (_sg_trans(info)) {
		pr_err("_sg_trans timeout\n");
		/* Nothing was started: the ring can go at once. */
		_sg_free(info, n, false);
		return -1;
	}
	engine_ring = info;
	return count;

err_pages:
	pel_put_pages(pages, n, false);
	kvfree(pages);
	return ret;
}

/*
 * Read (to memory) and write (from memory) differ in direction only. The
 * file's lock is held throughout; the engine's from before the pages are
 * pinned until the transfer has started (a simple copy: until its end).
 */
static ssize_t pel_transfer(struct file *file, const char __user *buf,
			    size_t count, loff_t pos,
			    enum dma_data_direction dir, const char *who)
{
	struct dma_info *info = file->private_data;
	unsigned long uaddr = (unsigned long)buf;
	unsigned int offset = uaddr & ~PAGE_MASK;
	bool to_mem = dir == DMA_FROM_DEVICE;
	struct page **pages;
	ssize_t ret;
	long got;
	int n;

	if (!drv_device) {
		pr_err("filp->private error\n");
		return 0;
	}
	/* Nothing to move, whatever the alignment: the engine is not touched. */
	if (!count) {
		pr_err("first_drv_write param error\n");
		return 0;
	}
	/* Refused before anything is pinned or allocated; n fits an int. */
	if (count > PELLIX_MAX_TRANSFER)
		return -EINVAL;
	n = DIV_ROUND_UP(count + offset, PAGE_SIZE);

	if (mutex_lock_killable(&info->lock))
		return -EINTR;
	/* A new transfer would reset the engine under the outstanding one. */
	ret = -EBUSY;
	if (info->SgNum)
		goto out_file;
	ret = -EFAULT;
	if (!pel_access_ok(buf, count, to_mem))
		goto out_file;
	mutex_lock(&engine_lock);
	/* ... or under another file's, which would never learn of it. */
	ret = -EBUSY;
	if (engine_ring)
		goto out_engine;

	ret = -ENOMEM;
	pages = kvmalloc_array(n, sizeof(*pages), PELLIX_GFP);
	if (!pages)
		goto out_engine;
	got = pel_pin_pages(uaddr & PAGE_MASK, n, to_mem, pages);
	if (got < n) {
		pr_err("[%s]get_user_pages fail! pgae_num %d get_num %d\n",
		       who, n, (int)got);
		pel_put_pages(pages, got > 0 ? got : 0, false);
		kvfree(pages);
		ret = -EFAULT;
		goto out_engine;
	}

	if (n == 1)
		ret = pel_trans_page(info, pages, offset, count, pos, dir);
	else
		ret = pel_trans_sg(info, pages, n, offset, count, dir);
out_engine:
	mutex_unlock(&engine_lock);
out_file:
	mutex_unlock(&info->lock);
	return ret;
}

/* ---- file operations ----------------------------------------------------- */

static ssize_t first_drv_read(struct file *file, char __user *buf,
			      size_t count, loff_t *pos)
{
	return pel_transfer(file, buf, count, *pos, DMA_FROM_DEVICE,
			    "pellix_read");
}

static ssize_t first_drv_write(struct file *file, const char __user *buf,
			       size_t count, loff_t *pos)
{
	return pel_transfer(file, buf, count, *pos, DMA_TO_DEVICE,
			    "pellix_write");
}

static long pel_ioctl_set_base(struct dma_info *info, unsigned long phys)
{
	void __iomem *base;

	/* The outstanding transfer's engine must stay reachable to stop it. */
	if (info->SgNum)
		return -EBUSY;
	/* Map first: on failure the current window stays usable. */
	base = ioremap(phys, PELLIX_REG_SIZE);
	if (!base)
		return -ENOMEM;
	if (info->pl_axicdma_base)
		iounmap(info->pl_axicdma_base);
	info->pl_axicdma_base = base;
	return 0;
}

static long pel_ioctl_set_trans(struct dma_info *info,
				struct trans_msg __user *arg)
{
	struct trans_msg msg;

	if (copy_from_user(&msg, arg, sizeof(msg)))
		return -EFAULT;
	info->tran_dst_address = msg.destaddr;
	info->trans_fixed = msg.fixed;
	return 0;
}

static long pel_ioctl_sg_wait(struct dma_info *info,
			      struct wait_msg __user *arg)
{
	struct wait_msg msg;
	long ret;

	if (copy_from_user(&msg, arg, sizeof(msg)))
		return -EFAULT;
	msg.ret = _sg_wait(info, msg.timeout);
	/* Released in either case; after a time-out the engine is reset. */
	ret = _sg_wait_done(info);
	if (copy_to_user(arg, &msg, sizeof(msg)))
		return -EFAULT;
	return ret;
}

static long pel_ioctl_get_idle(struct dma_info *info, u32 __user *arg)
{
	u32 idle = pel_read(info, CDMA_SR) & CDMA_SR_IDLE;

	if (copy_to_user(arg, &idle, sizeof(idle)))
		return -EFAULT;
	return 0;
}

/*
 * Every code runs under the file's lock: even reading the status goes
 * through the window that PELLIX_SET_BASE may replace. A ring wait holds
 * the lock while it polls, but not the engine's: the engine belongs to
 * this file's ring meanwhile, and other files only find it taken.
 */
static long first_drv_ioctl(struct file *file, unsigned int cmd,
			    unsigned long arg)
{
	struct dma_info *info = file->private_data;
	long ret;

	if (mutex_lock_killable(&info->lock))
		return -EINTR;
	switch (cmd) {
	case PELLIX_SET_BASE:
		ret = pel_ioctl_set_base(info, arg);
		break;
	case PELLIX_SET_TRANS:
		ret = pel_ioctl_set_trans(info, (struct trans_msg __user *)arg);
		break;
	case PELLIX_SG_WAIT:
		ret = pel_ioctl_sg_wait(info, (struct wait_msg __user *)arg);
		break;
	case PELLIX_GET_IDLE:
		ret = pel_ioctl_get_idle(info, (u32 __user *)arg);
		break;
	case PELLIX_SG_RELEASE:
		ret = _sg_wait_done(info);
		break;
	default:
		ret = -EINVAL;
		break;
	}
	mutex_unlock(&info->lock);
	return ret;
}

static int first_drv_open(struct inode *inode, struct file *file)
{
	struct dma_info *info;
	int ret;

	ret = dma_set_mask_and_coherent(drv_device,
					DMA_BIT_MASK(PELLIX_DMA_BITS));
	if (ret) {
		pr_err("pel_lix: cannot set the DMA mask: %d\n", ret);
		return ret;
	}
	info = kzalloc(sizeof(*info), GFP_KERNEL);
	if (!info)
		return -ENOMEM;
	mutex_init(&info->lock);
	info->pl_axicdma_base = ioremap(PELLIX_REG_BASE, PELLIX_REG_SIZE);
	if (!info->pl_axicdma_base) {
		pr_err("pel_lix: cannot map the registers at %#x\n",
		       PELLIX_REG_BASE);
		mutex_destroy(&info->lock);
		kfree(info);
		return -ENOMEM;
	}
	file->private_data = info;
	return 0;
}

static int first_drv_close(struct inode *inode, struct file *file)
{
	struct dma_info *info = file->private_data;

	/*
	 * No call on the file is left by now; the lock is taken because the
	 * release below expects it. A transfer left outstanding is stopped
	 * and released here; if the engine cannot be stopped its pages stay
	 * pinned for good, which is better than the engine writing into
	 * memory reused by others. The engine is given up all the same:
	 * another file's start resets it again before it runs.
	 */
	mutex_lock(&info->lock);
	if (_sg_wait_done(info)) {
		mutex_lock(&engine_lock);
		if (engine_ring == info)
			engine_ring = NULL;
		mutex_unlock(&engine_lock);
	}
	mutex_unlock(&info->lock);
	mutex_destroy(&info->lock);
	if (info->pl_axicdma_base)
		iounmap(info->pl_axicdma_base);
	kfree(info);
	return 0;
}

static const struct file_operations first_drv_fops = {
	.owner		= THIS_MODULE,
	.read		= first_drv_read,
	.write		= first_drv_write,
	.unlocked_ioctl	= first_drv_ioctl,
	.open		= first_drv_open,
	.release	= first_drv_close,
};

/* ---- module -------------------------------------------------------------- */

static int __init first_drv_init(void)
{
	int ret;

	ret = __register_chrdev(0, 0, PELLIX_MINORS, PELLIX_NAME,
				&first_drv_fops);
	if (ret < 0) {
		pr_err("pel_lix: cannot register the character device: %d\n",
		       ret);
		return ret;
	}
	major = ret;

	firstdrv_class = pel_class_create(PELLIX_NAME);
	if (IS_ERR(firstdrv_class)) {
		ret = PTR_ERR(firstdrv_class);
		pr_err("pel_lix: cannot create the class: %d\n", ret);
		goto err_chrdev;
	}

	drv_device = device_create(firstdrv_class, NULL, MKDEV(major, 0), NULL,
				   PELLIX_NAME);
	if (IS_ERR(drv_device)) {
		ret = PTR_ERR(drv_device);
		pr_err("pel_lix: cannot create the device: %d\n", ret);
		goto err_class;
	}
	/*
	 * A class device has no storage for a streaming DMA mask; lend it
	 * the coherent one, so that the mask set at open covers both.
	 */
	drv_device->dma_mask = &drv_device->coherent_dma_mask;
	return 0;

err_class:
	class_destroy(firstdrv_class);
err_chrdev:
	__unregister_chrdev(major, 0, PELLIX_MINORS, PELLIX_NAME);
	firstdrv_class = NULL;
	drv_device = NULL;
	return ret;
}

static void __exit first_drv_exit(void)
{
	__unregister_chrdev(major, 0, PELLIX_MINORS, PELLIX_NAME);
	device_unregister(drv_device);
	class_destroy(firstdrv_class);
}

module_init(first_drv_init);
module_exit(first_drv_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Just for QLX_S1");
MODULE_VERSION("$$$<ver>1.1</ver>$$$");
