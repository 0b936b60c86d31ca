/* SPDX-License-Identifier: GPL-2.0 */
/*
 * pellix: memory-to-memory transfers through the AXI CDMA engine of the
 * programmable logic, driven from user space through /dev/pel_lix.
 *
 * The first half of this header is what a user-space caller needs (control
 * codes and their records); the second half is the driver's own state.
 */
#ifndef PELLIX_H
#define PELLIX_H

#ifdef __KERNEL__
#include <linux/types.h>
#include <linux/bitops.h>
#include <linux/mutex.h>
#else
#include <stdint.h>
#endif
#include <linux/ioctl.h>

#define PELLIX_NAME		"pel_lix"

/*
 * Largest read or write, in bytes: 16 MiB, at most 4097 pages and as many
 * descriptors (256 KiB of descriptor memory). A larger count is refused
 * with EINVAL before anything is pinned, so that no caller can make the
 * module pin, map or allocate without limit.
 */
#define PELLIX_MAX_TRANSFER	(16u << 20)

/* Fixed-address mode of the next transfer (it lasts for one transfer). */
enum _FIXED {
	FIXED_NULL = 0,		/* both addresses advance */
	FIXED_READ = 1,		/* key-hole read: the source stays fixed */
	FIXED_WRITE = 2,	/* key-hole write: the destination is fixed */
};

/* Record of PELLIX_SET_TRANS. */
struct trans_msg {
	uintptr_t destaddr;	/* device-side address of later transfers */
	int fixed;		/* enum _FIXED */
};

/* Record of PELLIX_SG_WAIT. */
struct wait_msg {
	int timeout;		/* milliseconds; negative waits without limit */
	int ret;		/* out: 0 finished, -1 timed out */
};

/*
 * Control codes: type 'x', numbers 1 to 5, no size or direction encoded
 * (0x7801 to 0x7805), so existing callers keep working.
 */
/* arg: physical address of a new register window */
#define PELLIX_SET_BASE		_IO('x', 1)
/* arg: struct trans_msg * */
#define PELLIX_SET_TRANS	_IO('x', 2)
/* arg: struct wait_msg *, in and out; waits for the ring and releases it */
#define PELLIX_SG_WAIT		_IO('x', 3)
/* arg: 4 bytes out, 2 when the engine is idle, else 0 */
#define PELLIX_GET_IDLE		_IO('x', 4)
/* no arg: releases the ring transfer */
#define PELLIX_SG_RELEASE	_IO('x', 5)

#ifdef __KERNEL__

/* Default register window of the engine. */
#define PELLIX_REG_BASE		0x40000000
#define PELLIX_REG_SIZE		4096

/* Engine registers (32-bit, offsets in the window). */
#define CDMA_CR			0x00	/* control */
#define CDMA_SR			0x04	/* status */
#define CDMA_CURDESC		0x08	/* first descriptor of a ring walk */
#define CDMA_TAILDESC		0x10	/* last descriptor; starts the walk */
#define CDMA_SA			0x18	/* simple mode source */
#define CDMA_DA			0x20	/* simple mode destination */
#define CDMA_BTT		0x28	/* simple mode length; starts a copy */

#define CDMA_CR_RESET		BIT(2)	/* self-clearing */
#define CDMA_CR_SGMODE		BIT(3)
#define CDMA_CR_KEYHOLE_READ	BIT(4)
#define CDMA_CR_KEYHOLE_WRITE	BIT(5)
#define CDMA_SR_IDLE		BIT(1)

/* Descriptor: 64 bytes, words of 32 bits; the words not named stay 0. */
#define CDMA_DESC_SIZE		64
#define CDMA_DESC_NEXT		0	/* bus address of the next one */
#define CDMA_DESC_SA		2	/* source address */
#define CDMA_DESC_DA		4	/* destination address */
#define CDMA_DESC_LEN		6	/* bytes to transfer */

struct page;

/*
 * State of one open file, kept as its private data. lock serialises the
 * calls on the file: every field below is read and written under it.
 */
struct dma_info {
	struct mutex lock;
	void __iomem *pl_axicdma_base;	/* mapped register window */
	uintptr_t tran_dst_address;	/* device-side address of transfers */
	uintptr_t sg_vaddr_base;	/* kernel address of the descriptors */
	dma_addr_t sg_paddr_base;	/* bus address of the descriptors */
	unsigned int **SgDes;		/* one pointer per descriptor */
	unsigned int SgNum;		/* descriptors outstanding; 0: none */
	int trans_fixed;		/* enum _FIXED of the next transfer */
	struct page **SgPages;		/* pinned pages of the ring transfer */
	uintptr_t *puiDmaMap;		/* per page: bus address, length, dir */
};

#endif /* __KERNEL__ */

#endif /* PELLIX_H */
