/*
 * Simulated AXI CDMA behind a register window of the kernel stand-in: the
 * self-clearing reset, the idle bit, simple-mode copies started by the
 * length write, ring walks started by the tail write, key-hole reads and
 * writes (a 32-bit data path), a completion delay in virtual time, and a log
 * of register writes. Data moves when a transfer completes, between memory
 * the stand-in's bus can reach.
 */
#ifndef CDMA_SIM_H
#define CDMA_SIM_H

#include "kstub/kstub.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CDMA_SIM_NEVER	UINT64_MAX

struct cdma_sim_config {
	u64 delay_us;		/* start to completion; CDMA_SIM_NEVER: never */
	u64 reset_us;		/* the reset bit clears this long after the reset */
	bool reset_stuck;	/* the reset bit never clears */
	bool bus_hang;		/* a transfer in flight keeps a reset from finishing */
	u64 settle_us;		/* after a reset: busy this long before idle */
	bool status_extras;	/* status shows more than idle: SGIncld, IOC_Irq */
};

struct cdma_sim_write {
	unsigned int offset;
	u32 value;
};

struct cdma_sim_stats {
	unsigned int transfers;		/* completed */
	unsigned int resets;		/* reset requests */
	unsigned int aborted;		/* transfers cut short by a reset */
	unsigned int bus_faults;	/* engine accesses to no memory, bad rings */
	unsigned int released_busy;	/* memory given back while a transfer ran */
	unsigned int overlapped;	/* starts while a transfer ran */
	unsigned int unready_starts;	/* starts dropped: the engine was not yet idle */
	unsigned int foreign_aborts;	/* resets through another window than the
					 * one that started the transfer they cut */
};

/* Every call is safe from any thread. */

/* Puts the engine behind [phys, phys + 4096); call after kstub_reset. */
void cdma_sim_install(phys_addr_t phys, const struct cdma_sim_config *cfg);
void cdma_sim_configure(const struct cdma_sim_config *cfg);
/* Whether a transfer is running (after completing any that is due). */
bool cdma_sim_busy(void);
/* The bus lets go: a pending reset finishes and aborts the transfer. */
void cdma_sim_unhang(void);
size_t cdma_sim_log(const struct cdma_sim_write **log);
void cdma_sim_log_clear(void);
struct cdma_sim_stats cdma_sim_stats(void);

#ifdef __cplusplus
}
#endif

#endif /* CDMA_SIM_H */
