/* SPDX-License-Identifier: GPL-2.0 */
/*
 * touchm - the reference touch-memory driver: one character device
 * /dev/touchmN per line, served by the transaction core (tm_core.c) over
 * the velkor transport. A line is either the simulated one inside the
 * module (module parameter sim=1) or a tty with the driver's line
 * discipline attached.
 *
 * One mutex per line serialises every request on it, whichever descriptor
 * it comes from, and the watch's probes (touchm_watch.c); with the line a
 * bus master of the kernel's 1-Wire core (touchm_w1.c), they also hold the
 * master's bus_mutex, so that their transactions and those of the core and
 * its family drivers never interleave on the wire.
 */
#ifndef TOUCHM_H
#define TOUCHM_H

#include <linux/atomic.h>
#include <linux/kref.h>
#include <linux/miscdevice.h>
#include <linux/mutex.h>
#include <linux/types.h>

#include "tm_core.h"
#include "touchm_uapi.h"
#include "touchm_watch.h"
#include "touchm_w1.h"

#define TOUCHM_NAME		"touchm"
/* The module's version: the project's. */
#define TOUCHM_VERSION		"1.0.0"
/* Device nodes: touchm0, touchm1, ... in the order lines come up. */
#define TOUCHM_NODE_FMT		"touchm%d"
#define TOUCHM_NODE_NAME_MAX	16
#define TOUCHM_LINES_MAX	16

/* Requests of the touch-memory device. */
#define TOUCHM_REQ_PRESENCE	0x414C544AU
#define TOUCHM_REQ_READ_ROM	0x414C544BU
#define TOUCHM_REQ_RESET	0x414C544CU
#define TOUCHM_REQ_SKIP_ROM	0x414C544DU

/* What the requests and transfers served so far came to. */
enum touchm_kind {
	TOUCHM_KIND_PRESENCE,
	TOUCHM_KIND_ROM,
	TOUCHM_KIND_RESET,
	TOUCHM_KIND_SKIP,
	TOUCHM_KIND_READ,
	TOUCHM_KIND_WRITE,
	TOUCHM_KIND_COUNT
};

/* Faults of the line, counted for sysfs (faults/NAME on the device). */
enum touchm_fault {
	TOUCHM_FAULT_FLAGGED,	/* bytes the tty flagged as received badly */
	TOUCHM_FAULT_STRAY,	/* bytes that arrived between requests */
	TOUCHM_FAULT_SURPLUS,	/* bytes beyond the echoes due in a request */
	TOUCHM_FAULT_IMPOSSIBLE, /* echoes no line could give (from the core) */
	TOUCHM_FAULT_LOST,	/* echoes lost to a full ring */
	TOUCHM_FAULT_TIMEOUTS,	/* waits for echoes that ran out */
	TOUCHM_FAULT_RETRIES,	/* requests tried again after a line fault */
	TOUCHM_FAULT_COUNT
};

/**
 * struct touchm_dev - a line and its character device
 * @lock:     serialises requests; guards everything below but @ref
 * @bus:      the line, as the transaction core sees it
 * @dead:     the line is gone: every request fails with -ENODEV
 * @probe_size: the key memory size follows the family code of the ROM;
 *            @size_known tells whether the key on the line has been read
 * @size_known: see @probe_size
 * @whole_reads: the line's waits sleep, so a read of any length is one
 *            transaction; else it goes in small pieces
 * @index:    N of /dev/touchmN, -1 before registration
 * @name:     the node name
 * @misc:     the character device
 * @ref:      held by the line and by every open file
 * @release:  frees the record once the last reference is gone
 * @served:   requests served, by kind
 * @failed:   of them failed, by kind
 * @no_memory: the key on the line has no memory (an ID-only key): its
 *            transfers fail with -EOPNOTSUPP
 * @faults:   the line's faults, by kind; counted from any context
 * @watch:    the watch for keys and the event descriptors (own lock)
 * @w1:       the line as a bus master of the kernel's 1-Wire core
 * @multi:    the last search found several devices on the line: the
 *            requests serve the one touch key among them (touchm_dev.c)
 * @found:    the ROMs of the device's own last search
 * @found_count: how many; 0 after a failed one
 */
struct touchm_dev {
	struct mutex lock;
	struct tm_bus *bus;
	bool dead;
	bool probe_size;
	bool size_known;
	bool whole_reads;
	int index;
	char name[TOUCHM_NODE_NAME_MAX];
	struct miscdevice misc;
	struct kref ref;
	void (*release)(struct touchm_dev *dev);
	unsigned long served[TOUCHM_KIND_COUNT];
	unsigned long failed[TOUCHM_KIND_COUNT];
	bool no_memory;
	atomic_long_t faults[TOUCHM_FAULT_COUNT];
	struct touchm_watch watch;
	struct touchm_w1 w1;
	bool multi;
	u64 found[TOUCHM_W1_FOUND_MAX];
	unsigned int found_count;
};

/* Sets @dev up for @bus; @release is called when the last reference goes. */
void touchm_dev_init(struct touchm_dev *dev, struct tm_bus *bus,
		     void (*release)(struct touchm_dev *dev));
/* Creates /dev/touchmN with the lowest free N; 0 or a negative error. */
int touchm_dev_register(struct touchm_dev *dev, umode_t mode);
/*
 * The line is gone: waits for the request in progress (the backend has
 * already woken its waits), fails every later one with -ENODEV and removes
 * the node. Later calls do nothing. The line's reference stays for the
 * owner to drop with touchm_dev_put(); open files keep the record too.
 */
void touchm_dev_unregister(struct touchm_dev *dev);
void touchm_dev_put(struct touchm_dev *dev);

/*
 * With the lock held: a ROM request (whose reset pulse is the presence
 * test), served as the device's requests are but not counted with them.
 * 1 with the ROM in @rom, 0 when no key answers, or a negative error.
 */
int touchm_probe_key(struct touchm_dev *dev, unsigned char *rom);

/*
 * With the lock held: a search found @n devices, their ROMs in @found;
 * the line has several devices from now on, or one (or none).
 */
void touchm_line_seen(struct touchm_dev *dev, const u64 *found, int n);

/* Adds @n to the line's count of @fault; any context. */
static inline void touchm_fault(struct touchm_dev *dev,
				enum touchm_fault fault, unsigned long n)
{
	if (n)
		atomic_long_add(n, &dev->faults[fault]);
}

/* The kind's name as the control file shows it. */
const char *touchm_kind_name(enum touchm_kind kind);

#endif /* TOUCHM_H */
