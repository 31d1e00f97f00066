// SPDX-License-Identifier: GPL-2.0
/*
 * touchm - each line as a bus master of the kernel's 1-Wire core.
 *
 * The core's operations go through the transaction core's line like the
 * device's requests: a byte, a block or a search step is one batch of
 * slots sent at once, its echoes taken together and judged (tm_slots.c);
 * Search ROM is an operation of its own, one exchange of three slots per
 * bit. A write does not wait for its echoes: they are taken with the read
 * behind it, whose slots follow on the wire at once (Match ROM, a command,
 * then the data read back is one exchange), or by the next operation or
 * user of the wire, and judged before anything read after it is handed
 * out. A reset pulse begins a transaction on the line as a request
 * begins; an operation that hands the core data ends it as a request
 * ends (tm_bus_ops begin and end: a byte the tty flagged, a byte beyond
 * the echoes due fail it) and begins the rest anew.
 *
 * The core's operations cannot return errors. A failed one returns what an
 * empty line gives: a reset pulse no presence, a read all ones (0xFF), a
 * block read a count of 0, a search step no device (both bits 1); and the
 * operations after it fail the same way until the next reset pulse, so a
 * transaction is never finished on a line that misbehaved in it. A failed
 * search reports no device at all: the core then counts the devices it
 * knows one search nearer to their end (slave_ttl). So a fault makes
 * devices vanish for a while, never appear.
 *
 * Module parameter (read-only once loaded):
 *   w1=0|1   register each line with the 1-Wire core (default 1)
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/mutex.h>
#include <linux/string.h>
#include <linux/w1.h>
#include <linux/errno.h>

#include "touchm.h"
#include "tm_slots.h"

static bool w1 = true;
module_param(w1, bool, 0444);
MODULE_PARM_DESC(w1, "register each line as a bus master of the kernel's 1-Wire core (default 1)");

/* What the core's reset returns: 0 for a presence pulse, 1 for none. */
#define TMW_RESET_PRESENCE	0
#define TMW_RESET_NONE		1
/* A read no device answered. */
#define TMW_READ_NONE		0xFF

static struct touchm_dev *tmw_dev(void *data)
{
	return data;
}

/*
 * With bus_mutex held: the echoes of the core's writes still due, taken
 * and judged. A fault among them fails the transaction they belong to
 * (@failed, until the next reset) and is counted.
 */
static int tmw_settle(struct touchm_dev *dev)
{
	unsigned long imp = dev->bus->impossible;
	int r;

	if (!dev->w1.ahead.n)
		return 0;
	r = tm_slots_collect(dev->bus, &dev->w1.ahead);
	touchm_fault(dev, TOUCHM_FAULT_IMPOSSIBLE, dev->bus->impossible - imp);
	if (r)
		dev->w1.failed = true;
	return r;
}

/*
 * An operation of the core may run: not once the line is gone, not before
 * the master is known, not after a failure in the same transaction.
 */
static int tmw_enter(struct touchm_dev *dev, unsigned long *impossible)
{
	if (READ_ONCE(dev->dead) || !READ_ONCE(dev->w1.master) ||
	    dev->w1.failed)
		return -EIO;
	*impossible = dev->bus->impossible;
	return 0;
}

/*
 * The operation has ended with @r; a failure sticks until the next reset.
 * A byte or block read (@judge) is judged by the line as a request is (its
 * end: the line quiet a moment, nothing flagged or surplus since the
 * reset), and the rest of the transaction begins anew. Writes, single
 * slots and search steps are judged by their echoes, and a byte flagged
 * or surplus meanwhile fails the next operation: a settling wait per slot
 * would cost a search step many times its wire time.
 */
static int tmw_leave(struct touchm_dev *dev, unsigned long impossible, int r,
		     bool judge)
{
	const struct tm_bus_ops *ops = dev->bus->ops;
	int judged;

	if (judge) {
		judged = ops->end ? ops->end(dev->bus) : 0;
		if (!r && judged)
			r = judged;
		judged = ops->begin ? ops->begin(dev->bus) : 0;
		if (!r && judged)
			r = judged;
	}
	touchm_fault(dev, TOUCHM_FAULT_IMPOSSIBLE,
		     dev->bus->impossible - impossible);
	if (r) {
		dev->w1.failed = true;
		if (r != -ENXIO && !READ_ONCE(dev->dead))
			dev_dbg_ratelimited(dev->misc.this_device,
					    "1-Wire core operation failed: %d\n",
					    r);
	}
	return r;
}

static u8 tmw_reset_bus(void *data)
{
	struct touchm_dev *dev = tmw_dev(data);
	unsigned long imp;
	int r;

	/*
	 * A reset pulse starts a new transaction, and the line begins it: the
	 * last one's writes judged first (the core has nothing more to hear
	 * of them).
	 */
	tmw_settle(dev);
	dev->w1.failed = false;
	r = tmw_enter(dev, &imp);
	if (r)
		return TMW_RESET_NONE;
	r = dev->bus->ops->begin ? dev->bus->ops->begin(dev->bus) : 0;
	if (!r)
		r = tm_core_presence(dev->bus);
	r = tmw_leave(dev, imp, r, false);
	return r ? TMW_RESET_NONE : TMW_RESET_PRESENCE;
}

static u8 tmw_touch_bit(void *data, u8 bit)
{
	struct touchm_dev *dev = tmw_dev(data);
	unsigned char seen = 1;
	unsigned long imp;
	int r;

	r = tmw_enter(dev, &imp);
	if (!r)
		r = tmw_settle(dev);
	if (!r)
		r = tmw_leave(dev, imp, tm_slots_bit(dev->bus, bit, &seen),
			      false);
	return r ? 1 : seen;
}

static u8 tmw_read_byte(void *data)
{
	struct touchm_dev *dev = tmw_dev(data);
	unsigned char b = TMW_READ_NONE;
	unsigned long imp;
	int r;

	r = tmw_enter(dev, &imp);
	if (!r)
		r = tmw_leave(dev, imp,
			      tm_slots_read_after(dev->bus, &dev->w1.ahead, &b,
						  1),
			      true);
	return r ? TMW_READ_NONE : b;
}

static void tmw_write_byte(void *data, u8 byte)
{
	struct touchm_dev *dev = tmw_dev(data);
	unsigned long imp;

	if (!tmw_enter(dev, &imp))
		tmw_leave(dev, imp,
			  tm_slots_write_ahead(dev->bus, &dev->w1.ahead, &byte,
					       1),
			  false);
}

static u8 tmw_read_block(void *data, u8 *buf, int len)
{
	struct touchm_dev *dev = tmw_dev(data);
	unsigned long imp;
	int r;

	if (len <= 0)
		return 0;
	r = tmw_enter(dev, &imp);
	if (!r)
		r = tmw_leave(dev, imp,
			      tm_slots_read_after(dev->bus, &dev->w1.ahead, buf,
						  (unsigned int)len),
			      true);
	if (r) {
		memset(buf, TMW_READ_NONE, len);
		return 0;
	}
	/* The core's operation counts in a byte; its callers read less. */
	return (u8)len;
}

static void tmw_write_block(void *data, const u8 *buf, int len)
{
	struct touchm_dev *dev = tmw_dev(data);
	unsigned long imp;

	if (len <= 0)
		return;
	if (!tmw_enter(dev, &imp))
		tmw_leave(dev, imp,
			  tm_slots_write_ahead(dev->bus, &dev->w1.ahead, buf,
					       (unsigned int)len),
			  false);
}

static u8 tmw_triplet(void *data, u8 dir)
{
	struct touchm_dev *dev = tmw_dev(data);
	unsigned char res = TM_TRIPLET_NONE;
	unsigned long imp;
	int r;

	r = tmw_enter(dev, &imp);
	if (!r)
		r = tmw_settle(dev);
	if (!r)
		r = tmw_leave(dev, imp, tm_slots_triplet(dev->bus, dir, &res),
			      false);
	return r ? TM_TRIPLET_NONE : res;
}

/*
 * Search ROM as one transaction of the line: the line's lock and the
 * wire are taken here (the core calls this without bus_mutex) and let go
 * before the core hears of the devices, for a family driver's attach
 * takes bus_mutex. The searches of a master never overlap: the core makes
 * them all in the master's own thread, which also keeps @found for this
 * one.
 */
static void tmw_search(void *data, struct w1_master *master, u8 type,
		       w1_slave_found_callback cb)
{
	struct touchm_dev *dev = tmw_dev(data);
	struct touchm_w1 *w = &dev->w1;
	const struct tm_bus_ops *ops = dev->bus->ops;
	unsigned long imp;
	unsigned int max;
	int i, n, judged;

	if (mutex_lock_killable(&dev->lock))
		return;
	if (dev->dead) {
		mutex_unlock(&dev->lock);
		return;
	}
	WRITE_ONCE(w->master, master);
	if (mutex_lock_killable(&master->bus_mutex)) {
		mutex_unlock(&dev->lock);
		return;
	}
	tmw_settle(dev);
	max = clamp_t(int, master->max_slave_count, 0, TOUCHM_W1_FOUND_MAX);
	imp = dev->bus->impossible;
	n = ops->begin ? ops->begin(dev->bus) : 0;
	if (!n)
		n = tm_search_cached(dev->bus, type, w->found, max, w->count);
	judged = ops->end ? ops->end(dev->bus) : 0;
	if (n >= 0 && judged)
		n = judged;
	w->count = n > 0 ? n : 0;
	touchm_fault(dev, TOUCHM_FAULT_IMPOSSIBLE,
		     dev->bus->impossible - imp);
	w->failed = false;
	/* The device learns from it whether the line has several devices. */
	if (n >= 0)
		touchm_line_seen(dev, w->found, n);
	mutex_unlock(&master->bus_mutex);
	mutex_unlock(&dev->lock);

	if (n < 0) {
		if (!READ_ONCE(dev->dead))
			dev_dbg_ratelimited(dev->misc.this_device,
					    "search failed: %d\n", n);
		return;
	}
	for (i = 0; i < n; i++) {
		if (test_bit(W1_ABORT_SEARCH, &master->flags))
			break;
		cb(master, w->found[i]);
	}
}

int touchm_w1_add(struct touchm_dev *dev)
{
	struct touchm_w1 *w = &dev->w1;
	int r;

	if (!w1)
		return 0;
	w->ops.data = dev;
	w->ops.reset_bus = tmw_reset_bus;
	w->ops.touch_bit = tmw_touch_bit;
	w->ops.read_byte = tmw_read_byte;
	w->ops.write_byte = tmw_write_byte;
	w->ops.read_block = tmw_read_block;
	w->ops.write_block = tmw_write_block;
	w->ops.triplet = tmw_triplet;
	w->ops.search = tmw_search;
	r = w1_add_master_device(&w->ops);
	if (r)
		return r;
	w->added = true;
	return 0;
}

void touchm_w1_remove(struct touchm_dev *dev)
{
	struct touchm_w1 *w = &dev->w1;

	if (!w->added)
		return;
	w1_remove_master_device(&w->ops);
	w->added = false;
}

int touchm_wire_lock(struct touchm_dev *dev)
{
	struct w1_master *m = dev->w1.master;

	if (m && mutex_lock_killable(&m->bus_mutex))
		return -EINTR;
	if (m)
		tmw_settle(dev);
	return 0;
}

bool touchm_wire_trylock(struct touchm_dev *dev)
{
	struct w1_master *m = dev->w1.master;

	if (!m)
		return true;
	if (!mutex_trylock(&m->bus_mutex))
		return false;
	tmw_settle(dev);
	return true;
}

void touchm_wire_unlock(struct touchm_dev *dev)
{
	struct w1_master *m = dev->w1.master;

	if (m)
		mutex_unlock(&m->bus_mutex);
}
