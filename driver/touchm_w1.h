/* SPDX-License-Identifier: GPL-2.0 */
/*
 * touchm_w1 - each line as a bus master of the kernel's 1-Wire core
 * (wire.ko), so that its family drivers (w1_therm, w1_ds2431, w1_smem, ...)
 * reach the devices on the line, and who may use the wire when.
 *
 * Locks: the line's lock (struct touchm_dev.lock) first, then the
 * master's bus_mutex. The device's requests and the watch's probes hold
 * both from the reset pulse to the end of their transaction; the 1-Wire
 * core and its family drivers hold bus_mutex around the master's per-slot
 * operations, which take no lock of their own. The search operation is
 * called without bus_mutex and takes the line's lock and bus_mutex
 * itself, like a request, and lets both go before it tells the core what
 * it found (a family driver's attach takes bus_mutex).
 */
#ifndef TOUCHM_W1_H
#define TOUCHM_W1_H

#include <linux/types.h>
#include <linux/w1.h>

#include "tm_slots.h"

struct touchm_dev;

/* Devices one search reports at most: the core's own default limit. */
#define TOUCHM_W1_FOUND_MAX	64

/**
 * struct touchm_w1 - the line's bus master
 * @ops:     what the 1-Wire core calls; its data is the line
 * @master:  the core's record of the master, learnt by the first search;
 *           set and cleared with the line's lock held. Until it is known
 *           the per-slot operations refuse (no device answers)
 * @added:   registered with the core
 * @failed:  an operation failed since the last reset pulse: the rest of
 *           the core's transaction fails without touching the wire
 * @found:   the ROMs of the last search, under the line's lock
 * @count:   how many; 0 after a failed search. The next search first checks
 *           whether the line still has exactly those (a few batches per
 *           device) before it searches bit by bit
 * @ahead:   the core's writes still on their way, under bus_mutex: judged
 *           with the read behind them, or by the wire's next user before
 *           its transaction begins
 */
struct touchm_w1 {
	struct w1_bus_master ops;
	struct w1_master *master;
	bool added;
	bool failed;
	u64 found[TOUCHM_W1_FOUND_MAX];
	unsigned int count;
	struct tm_slots_ahead ahead;
};

/* Registers the line with the 1-Wire core (unless switched off); 0 or error. */
int touchm_w1_add(struct touchm_dev *dev);
/* Removes it again; waits for the core's users. Without the line's lock. */
void touchm_w1_remove(struct touchm_dev *dev);

/*
 * With the line's lock held: takes the wire for a transaction (bus_mutex,
 * killably; a family driver holds it for at most its own transaction, a
 * thermometer's conversion included), the echoes of the core's last
 * writes judged first. 0 or -EINTR.
 */
int touchm_wire_lock(struct touchm_dev *dev);
/* As touchm_wire_lock(), without waiting: whether the wire was taken. */
bool touchm_wire_trylock(struct touchm_dev *dev);
void touchm_wire_unlock(struct touchm_dev *dev);

#endif /* TOUCHM_W1_H */
