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
#define BTT_MASK	0x03ffffffu
#define DESC_SIZE	64u
#define KEYHOLE_WIDTH	4u

static struct cdma_sim_config cfg;
static struct cdma_sim_stats stats;
static struct {
	u32 cr, curdesc, taildesc, sa, da, btt;
	bool busy, sg;
	u64 done_at;
	unsigned int reset_left;
	bool reset_forever;
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
	stats.transfers++;
}

static bool in_reset(void)
{
	return e.reset_forever || e.reset_left;
}

static void start(bool sg)
{
	update();
	if (e.busy) {
		stats.overlapped++;
		return;
	}
	e.busy = true;
	e.sg = sg;
	e.done_at = cfg.delay_us == CDMA_SIM_NEVER ? CDMA_SIM_NEVER
						    : kstub_now_us() + cfg.delay_us;
	update();
}

static void clear_registers(void)
{
	e.cr = e.curdesc = e.taildesc = e.sa = e.da = e.btt = 0;
}

static void reset(void)
{
	stats.resets++;
	update();
	if (cfg.reset_stuck || (e.busy && cfg.bus_hang)) {
		e.reset_forever = true;
		return;
	}
	if (e.busy)
		stats.aborted++;
	e.busy = false;
	clear_registers();
	e.reset_left = cfg.reset_reads;
}

static u32 reg_read(void *ctx, unsigned long off)
{
	u32 v;

	(void)ctx;
	update();
	switch (off) {
	case R_CR:
		v = e.cr | (in_reset() ? CR_RESET : 0);
		if (e.reset_left)
			e.reset_left--;
		return v;
	case R_SR:
		return (!e.busy && !in_reset()) ? SR_IDLE : 0;
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
	memset(&e, 0, sizeof(e));
	memset(&stats, 0, sizeof(stats));
	cdma_sim_log_clear();
	cdma_sim_configure(c);
	kstub_mmio_attach(phys, 4096, &ops, NULL);
	kstub_set_release_hook(on_release, NULL);
}

void cdma_sim_configure(const struct cdma_sim_config *c)
{
	cfg = *c;
}

bool cdma_sim_busy(void)
{
	update();
	return e.busy;
}

void cdma_sim_unhang(void)
{
	cfg.bus_hang = false;
	cfg.reset_stuck = false;
	if (!e.reset_forever)
		return;
	e.reset_forever = false;
	if (e.busy)
		stats.aborted++;
	e.busy = false;
	clear_registers();
}

size_t cdma_sim_log(const struct cdma_sim_write **log)
{
	*log = wlog;
	return wlog_len;
}

void cdma_sim_log_clear(void)
{
	wlog_len = 0;
}

struct cdma_sim_stats cdma_sim_stats(void)
{
	return stats;
}
