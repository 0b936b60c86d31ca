#include "cdma_sim.h"

#include <stdlib.h>
#include <string.h>

/* Registers and bits of the engine, as its data sheet has them. */
#define R_CR		0x00
#define R_SR		0x04
#define R_CURDESC	0x08
#define R_TAILDESC	0x10
#define R_SA		0x18
#define R_DA		0x20
#define R_BTT		0x28
#define CR_RESET	0x04u
#define CR_SGMODE	0x08u
#define CR_KH_READ	0x10u
#define CR_KH_WRITE	0x20u
#define SR_IDLE		0x02u
#define SR_SGINCLD	0x08u	/* built with scatter-gather */
#define SR_IOC_IRQ	0x1000u	/* a transfer completed since the reset */
#define SR_IRQ_THRESHOLD 0x00010000u	/* interrupt threshold count, 1 after reset */
#define BTT_MASK	0x03ffffffu
#define DESC_SIZE	64u
#define KEYHOLE_WIDTH	4u

static struct cdma_sim_config cfg;
static struct cdma_sim_stats stats;
static struct {
	u32 cr, curdesc, taildesc, sa, da, btt;
	bool busy, sg;
	u64 done_at;
	u64 reset_until;	/* the reset bit shows until then */
	bool reset_forever;
	u64 settled_at;		/* idle from then on after a reset */
	bool completed;		/* a transfer completed since the reset */
	const void *started_by;	/* window that started the transfer */
} e;

static struct cdma_sim_write *wlog;
static size_t wlog_len, wlog_cap;

static bool copy(u32 src, u32 dst, u32 len)
{
	bool kh_read = e.cr & CR_KH_READ, kh_write = e.cr & CR_KH_WRITE;
	size_t slen = kh_read && len > KEYHOLE_WIDTH ? KEYHOLE_WIDTH : len;
	size_t dlen = kh_write && len > KEYHOLE_WIDTH ? KEYHOLE_WIDTH : len;
	u8 *s = kstub_bus_to_host(src, slen);
	u8 *d = kstub_bus_to_host(dst, dlen);

	if (!len)
		return true;
	if (!s || !d) {
		stats.bus_faults++;
		return false;
	}
	for (u32 i = 0; i < len; i++)
		d[kh_write ? i % KEYHOLE_WIDTH : i] = s[kh_read ? i % KEYHOLE_WIDTH : i];
	return true;
}

static void walk_ring(void)
{
	u32 desc = e.curdesc;

	for (unsigned int steps = 0; steps < (1u << 20); steps++) {
		u32 *w = desc % DESC_SIZE ? NULL : kstub_bus_to_host(desc, DESC_SIZE);

		if (!w) {
			stats.bus_faults++;
			return;
		}
		if (!copy(w[2], w[4], w[6] & BTT_MASK))
			return;
		if (desc == e.taildesc)
			return;
		desc = w[0];
	}
	stats.bus_faults++;	/* the tail is not on the ring */
}

/* Completes the running transfer when its time has come. */
static void update(void)
{
	if (!e.busy || e.done_at == CDMA_SIM_NEVER || kstub_now_us() < e.done_at)
		return;
	if (e.sg)
		walk_ring();
	else
		copy(e.sa, e.da, e.btt & BTT_MASK);
	e.busy = false;
	e.completed = true;
	stats.transfers++;
}

static bool settling(void)
{
	return kstub_now_us() < e.settled_at;
}

static bool in_reset(void)
{
	return e.reset_forever || kstub_now_us() < e.reset_until;
}

static void start(bool sg)
{
	update();
	if (settling()) {
		stats.unready_starts++;
		return;
	}
	if (e.busy) {
		stats.overlapped++;
		return;
	}
	e.busy = true;
	e.sg = sg;
	e.started_by = kstub_mmio_window();
	e.done_at = cfg.delay_us == CDMA_SIM_NEVER ? CDMA_SIM_NEVER
						    : kstub_now_us() + cfg.delay_us;
	update();
}

static void clear_registers(void)
{
	e.cr = e.curdesc = e.taildesc = e.sa = e.da = e.btt = 0;
}

/*
 * A reset takes time, not a number of reads: a driver thread that was
 * preempted while polling finds it done, as on the device. Once the bit
 * has cleared the engine still settles before it is idle.
 */
static void reset_takes(u64 us)
{
	e.reset_until = kstub_now_us() + us;
	e.settled_at = e.reset_until + cfg.settle_us;
}

static void reset(void)
{
	stats.resets++;
	update();
	if (cfg.reset_stuck || (e.busy && cfg.bus_hang)) {
		e.reset_forever = true;
		return;
	}
	if (e.busy) {
		stats.aborted++;
		if (e.started_by != kstub_mmio_window())
			stats.foreign_aborts++;
	}
	e.busy = false;
	e.completed = false;
	clear_registers();
	reset_takes(cfg.reset_us);
}

static u32 reg_read(void *ctx, unsigned long off)
{
	u32 v;

	(void)ctx;
	update();
	switch (off) {
	case R_CR:
		v = e.cr | (in_reset() ? CR_RESET : 0);
		return v;
	case R_SR:
		v = (!e.busy && !in_reset() && !settling()) ? SR_IDLE : 0;
		if (cfg.status_extras)
			v |= SR_SGINCLD | SR_IRQ_THRESHOLD | (e.completed ? SR_IOC_IRQ : 0);
		return v;
	case R_CURDESC:
		return e.curdesc;
	case R_TAILDESC:
		return e.taildesc;
	case R_SA:
		return e.sa;
	case R_DA:
		return e.da;
	case R_BTT:
		return e.btt;
	default:
		return 0;
	}
}

static void reg_write(void *ctx, unsigned long off, u32 v)
{
	(void)ctx;
	if (wlog_len == wlog_cap) {
		wlog_cap = wlog_cap ? wlog_cap * 2 : 64;
		wlog = realloc(wlog, wlog_cap * sizeof(*wlog));
		if (!wlog)
			abort();
	}
	wlog[wlog_len++] = (struct cdma_sim_write){ (unsigned int)off, v };

	if (off == R_CR && (v & CR_RESET)) {
		reset();
		return;
	}
	if (in_reset())
		return;
	switch (off) {
	case R_CR:
		e.cr = v & (CR_SGMODE | CR_KH_READ | CR_KH_WRITE);
		break;
	case R_CURDESC:
		e.curdesc = v;
		break;
	case R_TAILDESC:
		e.taildesc = v;
		if (e.cr & CR_SGMODE)
			start(true);
		break;
	case R_SA:
		e.sa = v;
		break;
	case R_DA:
		e.da = v;
		break;
	case R_BTT:
		e.btt = v;
		if (!(e.cr & CR_SGMODE))
			start(false);
		break;
	default:
		break;
	}
}

static const struct kstub_mmio_ops ops = { reg_read, reg_write };

static void on_release(void *ctx)
{
	(void)ctx;
	if (cdma_sim_busy())
		stats.released_busy++;
}

void cdma_sim_install(phys_addr_t phys, const struct cdma_sim_config *c)
{
	kstub_enter();
	memset(&e, 0, sizeof(e));
	memset(&stats, 0, sizeof(stats));
	cdma_sim_log_clear();
	cdma_sim_configure(c);
	kstub_mmio_attach(phys, 4096, &ops, NULL);
	kstub_set_release_hook(on_release, NULL);
	kstub_leave();
}

void cdma_sim_configure(const struct cdma_sim_config *c)
{
	kstub_enter();
	cfg = *c;
	kstub_leave();
}

bool cdma_sim_busy(void)
{
	bool busy;

	kstub_enter();
	update();
	busy = e.busy;
	kstub_leave();
	return busy;
}

void cdma_sim_unhang(void)
{
	kstub_enter();
	cfg.bus_hang = false;
	cfg.reset_stuck = false;
	if (e.reset_forever) {
		e.reset_forever = false;
		if (e.busy)
			stats.aborted++;
		e.busy = false;
		clear_registers();
		reset_takes(0);
	}
	kstub_leave();
}

/* The log is the caller's to read while no other thread drives the engine. */
size_t cdma_sim_log(const struct cdma_sim_write **log)
{
	size_t n;

	kstub_enter();
	*log = wlog;
	n = wlog_len;
	kstub_leave();
	return n;
}

void cdma_sim_log_clear(void)
{
	kstub_enter();
	wlog_len = 0;
	kstub_leave();
}

struct cdma_sim_stats cdma_sim_stats(void)
{
	struct cdma_sim_stats s;

	kstub_enter();
	s = stats;
	kstub_leave();
	return s;
}
