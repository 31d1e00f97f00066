/* SPDX-License-Identifier: GPL-2.0 WITH Linux-syscall-note */
/*
 * Key events of the touch-memory device, as user space sees them. Usable
 * from C and C++ in user space and from the driver.
 *
 * A line watches for keys while anyone wants to know: while an event
 * descriptor of the line is open, while a descriptor of /dev/touchmN waits
 * in poll/select/epoll, or while the device's sysfs attribute watch_always
 * is 1. The watch probes between requests, every watch_ms milliseconds
 * (sysfs, default TOUCHM_WATCH_MS_DEFAULT; 0 stops every watch on the
 * line), reads the ROM whenever a key answers, and reports each change as
 * a removal and an attachment (a key swapped between two probes gives
 * both, removal first). Probes begin at least watch_ms apart whatever
 * callers do (poll in a loop, event descriptors opened and closed, reads
 * of key); only the first probe of a watch idle for an interval or more
 * comes at once. A probe never waits for a request: while one holds the
 * line, the watch tries again one interval later.
 *
 * Who sees a key's ROM: the users who may open /dev/touchmN (root and the
 * node's group), through TOUCHM_IOC_KEY_STATE and event descriptors; root
 * through the sysfs attribute key (mode 0400); udev, and any process that
 * listens on the kernel's uevent socket when a key comes or goes (which
 * needs no privilege), through TOUCHM_ROM in the device's change events.
 * Everyone else reads no ROM from the device or sysfs and cannot make the
 * line probe.
 *
 * - poll on /dev/touchmN gives POLLPRI to a descriptor while a change has
 *   happened since the descriptor was opened or last asked
 *   TOUCHM_IOC_KEY_STATE.
 * - TOUCHM_IOC_EVENT_FD makes an event descriptor: readable (POLLIN) while
 *   events wait; read returns whole struct touchm_event records (a buffer
 *   shorter than one record: EINVAL), blocking unless the descriptor is
 *   non-blocking (EAGAIN). Each event descriptor sees every change after
 *   its creation, once and in order. It holds TOUCHM_EVENT_QUEUE_LEN
 *   events; a reader that falls further behind loses the oldest, and the
 *   next record it reads says how many in @lost. When the line is gone,
 *   the events still queued are read first, then read fails with ENODEV
 *   and poll gives POLLHUP | POLLERR. Event descriptors are charged to
 *   the memory cgroup of the process that makes them, and one user (by
 *   effective uid) holds at most max_user_evfds of them over all lines
 *   (module parameter, default 128, like inotify's max_user_instances):
 *   past it TOUCHM_IOC_EVENT_FD fails with EMFILE.
 * - The device's sysfs attribute key, readable by root only, shows the
 *   present key's ROM in the text form below and a newline, or nothing
 *   but a newline with no key. While a watch runs it shows what the watch
 *   saw last; while none runs, reading it probes the line once if the
 *   last probe began watch_ms ago or more (TOUCHM_WATCH_MS_DEFAULT while
 *   watch_ms is 0), else shows what that probe saw. The attributes
 *   probes and probe_faults count the probes made and those a line fault
 *   failed (which change nothing).
 * - A KOBJ_CHANGE uevent of the device carries TOUCHM_EVENT=attached or
 *   TOUCHM_EVENT=removed and TOUCHM_ROM=<text form> (the removed key's
 *   ROM on a removal).
 *
 * Text form of a ROM, everywhere: 16 lower-case hex digits, the bytes in
 * the order the line carries them (family code first, CRC last), e.g.
 * "04efbeadde0000cd" for family 0x04, serial 0x0000deadbeef, CRC 0xcd.
 */
#ifndef TOUCHM_UAPI_H
#define TOUCHM_UAPI_H

#include <linux/ioctl.h>
#include <linux/types.h>

#define TOUCHM_ROM_BYTES		8
#define TOUCHM_ROM_TEXT_LEN		(2 * TOUCHM_ROM_BYTES)
#define TOUCHM_EVENT_QUEUE_LEN		64
#define TOUCHM_WATCH_MS_DEFAULT		50
#define TOUCHM_WATCH_MS_MIN		10
#define TOUCHM_WATCH_MS_MAX		60000

/* Event kinds. */
#define TOUCHM_EVENT_ATTACHED		1
#define TOUCHM_EVENT_REMOVED		2

/**
 * struct touchm_event - one change of the key on a line
 * @timestamp_ns: CLOCK_MONOTONIC when the watch saw the change
 * @seqno:   the line's count of changes, from 1 (in TOUCHM_IOC_KEY_STATE:
 *           the count so far, 0 before the first change)
 * @lost:    changes this reader lost just before this one (queue full)
 * @kind:    TOUCHM_EVENT_ATTACHED or TOUCHM_EVENT_REMOVED
 * @rom:     the key's ROM, family code first (for a removal: the key that
 *           went; all zero when the driver never read it)
 */
struct touchm_event {
	__u64 timestamp_ns;
	__u32 seqno;
	__u32 lost;
	__u16 kind;
	__u16 reserved0;
	__u8 rom[TOUCHM_ROM_BYTES];
	__u8 reserved1[4];
};

#define TOUCHM_IOC_MAGIC		0xD7

/*
 * Returns a new event descriptor of the line (always close-on-exec). The
 * argument is 0 or O_NONBLOCK; anything else: EINVAL.
 */
#define TOUCHM_IOC_EVENT_FD		_IO(TOUCHM_IOC_MAGIC, 0x01)

/*
 * Fills a struct touchm_event with the line's state as the watch saw it
 * last (@kind ATTACHED with the ROM, or REMOVED; @seqno the count of
 * changes so far) and clears POLLPRI for this descriptor. It does not
 * probe the line.
 */
#define TOUCHM_IOC_KEY_STATE		_IOR(TOUCHM_IOC_MAGIC, 0x02, \
					     struct touchm_event)

#endif /* TOUCHM_UAPI_H */
