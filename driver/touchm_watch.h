/* SPDX-License-Identifier: GPL-2.0 */
/*
 * touchm's watch for keys and its event descriptors (touchm_watch.c): the
 * interface user space sees is described in touchm_uapi.h.
 */
#ifndef TOUCHM_WATCH_H
#define TOUCHM_WATCH_H

#include <linux/list.h>
#include <linux/poll.h>
#include <linux/spinlock.h>
#include <linux/sysfs.h>
#include <linux/types.h>
#include <linux/wait.h>
#include <linux/workqueue.h>

#include "tm_evq.h"

struct device;
struct touchm_dev;
struct file;

/**
 * struct touchm_watch - the watch of one line
 * @lock:      guards everything below but @work and @wq
 * @work:      the probe, queued while anyone wants to know
 * @wq:        event descriptors' and pollers' wait queue
 * @readers:   the line's event descriptors
 * @nreaders:  how many
 * @state:     the key as the last probe saw it
 * @seqno:     changes so far
 * @changed_ns: CLOCK_MONOTONIC of the last change
 * @interval_ms: watch_ms: time between probes, 0 = no watch
 * @always:    watch_always: watch with nobody asking
 * @stopped:   the line is gone: nothing is queued any more
 * @device:    the published device (misc.this_device), NULL before: no
 *             probe and no change before it is set
 * @last_probe: get_jiffies_64() when the last probe began
 * @probed:    a probe has begun since the line came
 * @probes:    probes made (watch and reads of the key attribute)
 * @probe_faults: of them failed on a line fault, which changes nothing
 */
struct touchm_watch {
	spinlock_t lock;
	struct delayed_work work;
	wait_queue_head_t wq;
	struct list_head readers;
	unsigned int nreaders;
	struct tm_watch_state state;
	u32 seqno;
	u64 changed_ns;
	unsigned int interval_ms;
	bool always;
	bool stopped;
	struct device *device;
	u64 last_probe;
	bool probed;
	unsigned long probes;
	unsigned long probe_faults;
};

/* The watch's sysfs attributes: key, watch_ms, watch_always, probes... */
extern const struct attribute_group touchm_watch_group;

void touchm_watch_init(struct touchm_dev *dev);
/*
 * The device is registered and misc.this_device set: probes and their
 * changes may begin, and the watch starts if anyone asked meanwhile.
 */
void touchm_watch_publish(struct touchm_dev *dev);
/*
 * The line is gone: no probe runs after this returns, readers get
 * POLLHUP | POLLERR and, once they have read what waits, ENODEV.
 */
void touchm_watch_stop(struct touchm_dev *dev);
/* The seqno a descriptor of the line starts with: nothing new for it yet. */
u32 touchm_watch_seqno(struct touchm_dev *dev);
/* poll on a descriptor of the device that has seen changes up to @seen. */
__poll_t touchm_watch_poll(struct touchm_dev *dev, u32 seen,
			   struct file *file, poll_table *pt);
/* TOUCHM_IOC_EVENT_FD and TOUCHM_IOC_KEY_STATE; -ENOTTY for the rest. */
long touchm_watch_ioctl(struct touchm_dev *dev, u32 *seen, unsigned int cmd,
			unsigned long arg);

#endif /* TOUCHM_WATCH_H */
