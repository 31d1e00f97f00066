// SPDX-License-Identifier: GPL-2.0
/*
 * touchm - the watch for keys on a line and its event descriptors (the
 * interface is described in touchm_uapi.h).
 *
 * The watch is a delayed work per line. It runs while anyone wants to know:
 * while an event descriptor of the line is open, while anything waits on
 * the line's wait queue (poll, select and epoll on a descriptor of the
 * device put an entry there; epoll keeps it while the descriptor is in the
 * set), or while watch_always is 1; and only while watch_ms is not 0. Each
 * run asks that again and queues itself once more only if so: with nobody
 * watching no timer is armed and the line carries nothing. poll on the
 * device, a new event descriptor and the sysfs attributes start it.
 *
 * A probe takes the line's lock as a request does, so it never runs
 * inside a request nor interleaves with one; a request that finds the line
 * busy with a probe waits for it, as for any request, and the probe's time
 * is bounded by the line's own bounds. The watch never waits for a
 * request: when one holds the line (a transfer may take longer than the
 * hung-task timeout), it comes back one interval later. It serves one ROM
 * request, whose reset pulse tells whether a key is there, through the
 * same path as the device's requests (the backend's begin and end, a retry after a line
 * fault), but outside the counts of served and failed requests: a separate
 * presence request first would only double the resets. A probe that fails
 * on a line fault changes nothing: it is counted in probe_faults.
 *
 * Probes begin at least watch_ms apart, whoever asks for them (poll in a
 * loop, event descriptors opened and closed, root reading key): a watch
 * that was idle for an interval or more probes at once, else when the
 * interval since the last probe began is over. While watch_ms is 0 the
 * same holds for reads of key with TOUCHM_WATCH_MS_DEFAULT.
 *
 * Each change goes into the queue of every event descriptor, bumps the
 * line's seqno, wakes the wait queue, notifies the key attribute's pollers
 * and sends a KOBJ_CHANGE uevent, in that order, all before the line's
 * lock is dropped: two probes (the watch's and a read of key) record,
 * queue and announce their changes in the order they probed.
 *
 * Reading the key attribute (root only: the ROM is the credential of an
 * access rule, and each read may drive the line) while no watch runs
 * probes the line once if the last probe began an interval ago or more
 * (and reports what changed as the watch would); otherwise, and while the
 * watch runs, it shows what the last probe saw. The group that may open
 * the device sees the same through TOUCHM_IOC_KEY_STATE and the event
 * descriptors; uevents carry the ROM to udev as before.
 *
 * Nothing is probed, nor queued, before the device is published
 * (touchm_watch_publish): the sysfs files exist a moment before
 * misc.this_device is set, and a change recorded then would be announced
 * on no device.
 *
 * Event descriptors are charged to the memory cgroup of their maker and
 * capped per user (touchm_evcap.c: past max_user_evfds, EMFILE).
 */
#include <linux/anon_inodes.h>
#include <linux/device.h>
#include <linux/fcntl.h>
#include <linux/file.h>
#include <linux/fs.h>
#include <linux/jiffies.h>
#include <linux/kernel.h>
#include <linux/cred.h>
#include <linux/kobject.h>
#include <linux/mutex.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/timekeeping.h>
#include <linux/uaccess.h>
#include <linux/errno.h>

#include "touchm.h"
#include "touchm_evcap.h"
#include "touchm_watch.h"

#define TOUCHM_EVENT_NAME	"[touchm-event]"
#define TOUCHM_UEVENT_KEYS	2
/* "TOUCHM_EVENT=attached", "TOUCHM_ROM=" and 16 digits, with room. */
#define TOUCHM_UEVENT_VAR_MAX	40

/**
 * struct touchm_evfd - an event descriptor
 * @dev:   its line; the descriptor holds a reference
 * @node:  in the line's list of readers
 * @uid:   the user it counts against (touchm_evcap.c)
 * @read_lock: one read at a time takes records
 * @q:     records waiting; guarded by the line's watch lock
 */
struct touchm_evfd {
	struct touchm_dev *dev;
	struct list_head node;
	kuid_t uid;
	struct mutex read_lock;
	struct tm_evq q;
};

static struct touchm_dev *touchm_of_watch(struct touchm_watch *w)
{
	return container_of(w, struct touchm_dev, watch);
}

/* With @w->lock held: whether anyone wants the watch to run. */
static bool touchm_watch_wanted(struct touchm_watch *w)
{
	if (w->stopped || !w->interval_ms || !w->device)
		return false;
	return w->always || w->nreaders || wq_has_sleeper(&w->wq);
}

/* With @w->lock held: the least time between two probes, in jiffies. */
static unsigned long touchm_watch_period(struct touchm_watch *w)
{
	return msecs_to_jiffies(w->interval_ms ? w->interval_ms :
						 TOUCHM_WATCH_MS_DEFAULT);
}

/*
 * With @w->lock held: jiffies until the next probe may begin, 0 when it
 * may begin now (no probe yet, or the last began an interval ago or more).
 */
static unsigned long touchm_watch_left(struct touchm_watch *w)
{
	u64 now = get_jiffies_64(), next;

	if (!w->probed)
		return 0;
	next = w->last_probe + touchm_watch_period(w);
	return time_before64(now, next) ? (unsigned long)(next - now) : 0;
}

/*
 * With @w->lock held: queues a probe for when it is due, unless one is
 * queued already or nobody wants it.
 */
static void touchm_watch_queue(struct touchm_watch *w)
{
	if (touchm_watch_wanted(w))
		queue_delayed_work(system_long_wq, &w->work,
				   touchm_watch_left(w));
}

/* Starts the watch if it is wanted and not running yet. */
static void touchm_watch_kick(struct touchm_watch *w)
{
	spin_lock(&w->lock);
	touchm_watch_queue(w);
	spin_unlock(&w->lock);
}

/* One uevent for each of the @n changes in @ev. */
static void touchm_watch_uevents(struct device *d,
				 const struct touchm_event *ev, unsigned int n)
{
	char event[TOUCHM_UEVENT_VAR_MAX], rom[TOUCHM_UEVENT_VAR_MAX];
	char *envp[TOUCHM_UEVENT_KEYS + 1] = { event, rom, NULL };
	unsigned int i;

	for (i = 0; i < n; i++) {
		snprintf(event, sizeof(event), "TOUCHM_EVENT=%s",
			 ev[i].kind == TOUCHM_EVENT_ATTACHED ? "attached" :
							      "removed");
		snprintf(rom, sizeof(rom), "TOUCHM_ROM=%*phN",
			 TOUCHM_ROM_BYTES, ev[i].rom);
		kobject_uevent_env(&d->kobj, KOBJ_CHANGE, envp);
	}
}

/*
 * With the line's lock held, after a probe: @r is 1 with a key whose ROM
 * is @rom, 0 without one, or the probe's error. Records the changes and
 * tells everyone before the line is free for the next probe, so that
 * changes are recorded, queued and announced in the order of the probes.
 */
static void touchm_watch_record(struct touchm_dev *dev, int r,
				const unsigned char *rom)
{
	struct touchm_watch *w = &dev->watch;
	struct touchm_event ev[TM_EVQ_CHANGES_MAX];
	struct touchm_evfd *e;
	struct device *d;
	unsigned int i, n = 0;
	u64 now = ktime_get_ns();

	lockdep_assert_held(&dev->lock);
	spin_lock(&w->lock);
	d = w->device;
	w->probes++;
	if (r < 0) {
		if (r != -ENODEV && r != -EINTR)
			w->probe_faults++;
	} else {
		n = tm_watch_state_update(&w->state, r, rom, ev);
	}
	for (i = 0; i < n; i++) {
		ev[i].timestamp_ns = now;
		ev[i].seqno = ++w->seqno;
		w->changed_ns = now;
		list_for_each_entry(e, &w->readers, node)
			tm_evq_push(&e->q, &ev[i]);
	}
	spin_unlock(&w->lock);
	if (!n)
		return;
	wake_up_poll(&w->wq, EPOLLIN | EPOLLRDNORM | EPOLLPRI);
	sysfs_notify(&d->kobj, NULL, "key");
	touchm_watch_uevents(d, ev, n);
}

/*
 * Takes the line's lock and the wire without waiting: a request, or a
 * 1-Wire family driver's transaction, may hold them for long.
 */
static bool touchm_watch_trylock(struct touchm_dev *dev)
{
	if (!mutex_trylock(&dev->lock))
		return false;
	if (touchm_wire_trylock(dev))
		return true;
	mutex_unlock(&dev->lock);
	return false;
}

/*
 * With the line's lock held: one probe, unless one began less than an
 * interval ago or the device is not published yet; the probe's result
 * (see touchm_watch_record), or 0 with no probe made.
 */
static int touchm_watch_probe_locked(struct touchm_dev *dev)
{
	struct touchm_watch *w = &dev->watch;
	unsigned char rom[TOUCHM_ROM_BYTES] = { 0 };
	bool due;
	int r;

	spin_lock(&w->lock);
	due = w->device && !touchm_watch_left(w);
	if (due) {
		w->last_probe = get_jiffies_64();
		w->probed = true;
	}
	spin_unlock(&w->lock);
	if (!due)
		return 0;
	r = dev->dead ? -ENODEV : touchm_probe_key(dev, rom);
	touchm_watch_record(dev, r, rom);
	return r;
}

static void touchm_watch_work(struct work_struct *work)
{
	struct touchm_watch *w =
		container_of(to_delayed_work(work), struct touchm_watch, work);
	struct touchm_dev *dev = touchm_of_watch(w);
	bool wanted;

	spin_lock(&w->lock);
	wanted = touchm_watch_wanted(w);
	spin_unlock(&w->lock);
	if (!wanted)
		return;
	/*
	 * A request holds the line, perhaps for a transfer longer than the
	 * hung-task timeout: no waiting for it here, one interval later the
	 * watch tries again.
	 */
	if (!touchm_watch_trylock(dev)) {
		spin_lock(&w->lock);
		if (touchm_watch_wanted(w))
			queue_delayed_work(system_long_wq, &w->work,
					   touchm_watch_period(w));
		spin_unlock(&w->lock);
		return;
	}
	touchm_watch_probe_locked(dev);
	touchm_wire_unlock(dev);
	mutex_unlock(&dev->lock);

	/* The next probe one interval after this one began. */
	touchm_watch_kick(w);
}

void touchm_watch_init(struct touchm_dev *dev)
{
	struct touchm_watch *w = &dev->watch;

	spin_lock_init(&w->lock);
	INIT_DELAYED_WORK(&w->work, touchm_watch_work);
	init_waitqueue_head(&w->wq);
	INIT_LIST_HEAD(&w->readers);
	tm_watch_state_init(&w->state);
	w->interval_ms = TOUCHM_WATCH_MS_DEFAULT;
}

void touchm_watch_publish(struct touchm_dev *dev)
{
	struct touchm_watch *w = &dev->watch;

	spin_lock(&w->lock);
	w->device = dev->misc.this_device;
	touchm_watch_queue(w);
	spin_unlock(&w->lock);
}

void touchm_watch_stop(struct touchm_dev *dev)
{
	struct touchm_watch *w = &dev->watch;

	spin_lock(&w->lock);
	w->stopped = true;
	spin_unlock(&w->lock);
	cancel_delayed_work_sync(&w->work);
	wake_up_poll(&w->wq, EPOLLHUP | EPOLLERR | EPOLLIN | EPOLLPRI);
}

u32 touchm_watch_seqno(struct touchm_dev *dev)
{
	u32 seqno;

	spin_lock(&dev->watch.lock);
	seqno = dev->watch.seqno;
	spin_unlock(&dev->watch.lock);
	return seqno;
}

__poll_t touchm_watch_poll(struct touchm_dev *dev, u32 seen,
			   struct file *file, poll_table *pt)
{
	struct touchm_watch *w = &dev->watch;
	/* Requests never wait for data: reading and writing are possible. */
	__poll_t mask = EPOLLIN | EPOLLRDNORM | EPOLLOUT | EPOLLWRNORM;

	poll_wait(file, &w->wq, pt);
	spin_lock(&w->lock);
	if (w->stopped)
		mask = EPOLLHUP | EPOLLERR;
	else
		touchm_watch_queue(w);
	if (w->seqno != seen)
		mask |= EPOLLPRI;
	spin_unlock(&w->lock);
	return mask;
}

/* --- event descriptors ---------------------------------------------------- */

/* Whether a read of @e can end: records wait, or the line is gone. */
static bool touchm_evfd_ready(struct touchm_evfd *e)
{
	struct touchm_watch *w = &e->dev->watch;
	bool ready;

	spin_lock(&w->lock);
	ready = e->q.len || w->stopped;
	spin_unlock(&w->lock);
	return ready;
}

/*
 * Takes the oldest record; 1, 0 when none waits, -ENODEV when none waits
 * and the line is gone.
 */
static int touchm_evfd_take(struct touchm_evfd *e, struct touchm_event *ev)
{
	struct touchm_watch *w = &e->dev->watch;
	int r;

	spin_lock(&w->lock);
	r = tm_evq_pop(&e->q, ev);
	if (!r && w->stopped)
		r = -ENODEV;
	spin_unlock(&w->lock);
	return r;
}

static ssize_t touchm_evfd_read(struct file *file, char __user *ubuf,
				size_t len, loff_t *ppos)
{
	struct touchm_evfd *e = file->private_data;
	struct touchm_watch *w = &e->dev->watch;
	struct touchm_event ev;
	size_t done = 0;
	int r;

	if (len < sizeof(ev))
		return -EINVAL;
	if (mutex_lock_interruptible(&e->read_lock))
		return -ERESTARTSYS;
	while (done + sizeof(ev) <= len) {
		r = touchm_evfd_take(e, &ev);
		if (r > 0) {
			if (copy_to_user(ubuf + done, &ev, sizeof(ev))) {
				spin_lock(&w->lock);
				tm_evq_unpop(&e->q, &ev);
				spin_unlock(&w->lock);
				r = -EFAULT;
				break;
			}
			done += sizeof(ev);
			continue;
		}
		/* Nothing more waits: what was taken goes out. */
		if (done)
			break;
		if (r < 0)
			break;
		if (file->f_flags & O_NONBLOCK) {
			r = -EAGAIN;
			break;
		}
		r = wait_event_interruptible(w->wq, touchm_evfd_ready(e));
		if (r)
			break;
	}
	mutex_unlock(&e->read_lock);
	return done ? (ssize_t)done : r;
}

static __poll_t touchm_evfd_poll(struct file *file, poll_table *pt)
{
	struct touchm_evfd *e = file->private_data;
	struct touchm_watch *w = &e->dev->watch;
	__poll_t mask = 0;

	poll_wait(file, &w->wq, pt);
	spin_lock(&w->lock);
	if (e->q.len)
		mask |= EPOLLIN | EPOLLRDNORM;
	if (w->stopped)
		mask |= EPOLLHUP | EPOLLERR;
	spin_unlock(&w->lock);
	return mask;
}

static int touchm_evfd_release(struct inode *inode, struct file *file)
{
	struct touchm_evfd *e = file->private_data;
	struct touchm_watch *w = &e->dev->watch;

	spin_lock(&w->lock);
	list_del(&e->node);
	w->nreaders--;
	spin_unlock(&w->lock);
	touchm_evcap_put(e->uid);
	touchm_dev_put(e->dev);
	kfree(e);
	return 0;
}

static const struct file_operations touchm_evfd_fops = {
	.owner = THIS_MODULE,
	.read = touchm_evfd_read,
	.poll = touchm_evfd_poll,
	.release = touchm_evfd_release,
	.llseek = noop_llseek,
};

static int touchm_evfd_create(struct touchm_dev *dev, unsigned long flags)
{
	struct touchm_watch *w = &dev->watch;
	struct touchm_evfd *e;
	kuid_t uid = current_euid();
	int fd;

	if (flags & ~(unsigned long)O_NONBLOCK)
		return -EINVAL;
	fd = touchm_evcap_get(uid);
	if (fd)
		return fd;
	/* About 4 KiB a descriptor: charged to the caller's memory cgroup. */
	e = kzalloc(sizeof(*e), GFP_KERNEL_ACCOUNT);
	if (!e) {
		touchm_evcap_put(uid);
		return -ENOMEM;
	}
	e->dev = dev;
	e->uid = uid;
	mutex_init(&e->read_lock);
	tm_evq_init(&e->q);
	kref_get(&dev->ref);

	spin_lock(&w->lock);
	if (w->stopped) {
		spin_unlock(&w->lock);
		fd = -ENODEV;
		goto undo;
	}
	list_add_tail(&e->node, &w->readers);
	w->nreaders++;
	spin_unlock(&w->lock);

	fd = anon_inode_getfd(TOUCHM_EVENT_NAME, &touchm_evfd_fops, e,
			      O_RDONLY | O_CLOEXEC | (int)flags);
	if (fd < 0) {
		spin_lock(&w->lock);
		list_del(&e->node);
		w->nreaders--;
		spin_unlock(&w->lock);
		goto undo;
	}
	touchm_watch_kick(w);
	return fd;

undo:
	touchm_evcap_put(uid);
	touchm_dev_put(dev);
	kfree(e);
	return fd;
}

static long touchm_key_state(struct touchm_dev *dev, u32 *seen,
			     void __user *arg)
{
	struct touchm_watch *w = &dev->watch;
	struct touchm_event ev = { 0 };

	spin_lock(&w->lock);
	ev.timestamp_ns = w->changed_ns;
	ev.seqno = w->seqno;
	ev.kind = w->state.present ? TOUCHM_EVENT_ATTACHED :
				     TOUCHM_EVENT_REMOVED;
	memcpy(ev.rom, w->state.rom, sizeof(ev.rom));
	spin_unlock(&w->lock);
	if (copy_to_user(arg, &ev, sizeof(ev)))
		return -EFAULT;
	WRITE_ONCE(*seen, ev.seqno);
	return 0;
}

long touchm_watch_ioctl(struct touchm_dev *dev, u32 *seen, unsigned int cmd,
			unsigned long arg)
{
	switch (cmd) {
	case TOUCHM_IOC_EVENT_FD:
		return touchm_evfd_create(dev, arg);
	case TOUCHM_IOC_KEY_STATE:
		return touchm_key_state(dev, seen, (void __user *)arg);
	default:
		return -ENOTTY;
	}
}

/* --- sysfs ------------------------------------------------------------------ */

static struct touchm_dev *touchm_of_device(struct device *d)
{
	struct miscdevice *misc = dev_get_drvdata(d);

	return container_of(misc, struct touchm_dev, misc);
}

static ssize_t key_show(struct device *d, struct device_attribute *attr,
			char *buf)
{
	struct touchm_dev *dev = touchm_of_device(d);
	struct touchm_watch *w = &dev->watch;
	unsigned char rom[TOUCHM_ROM_BYTES];
	bool watching, published, present;

	spin_lock(&w->lock);
	watching = touchm_watch_wanted(w);
	published = w->device;
	spin_unlock(&w->lock);
	/* The files exist a moment before the device is complete. */
	if (!published)
		return -EAGAIN;
	/* Nobody watches: the state may be old, so look once when due. */
	if (!watching) {
		if (mutex_lock_killable(&dev->lock))
			return -EINTR;
		if (touchm_wire_lock(dev)) {
			mutex_unlock(&dev->lock);
			return -EINTR;
		}
		touchm_watch_probe_locked(dev);
		touchm_wire_unlock(dev);
		mutex_unlock(&dev->lock);
	}
	spin_lock(&w->lock);
	present = w->state.present;
	memcpy(rom, w->state.rom, sizeof(rom));
	spin_unlock(&w->lock);
	if (!present)
		return sysfs_emit(buf, "\n");
	return sysfs_emit(buf, "%*phN\n", TOUCHM_ROM_BYTES, rom);
}
/* Root only: the ROM is a credential, and a read may drive the line. */
static DEVICE_ATTR_ADMIN_RO(key);

static ssize_t watch_ms_show(struct device *d, struct device_attribute *attr,
			     char *buf)
{
	struct touchm_watch *w = &touchm_of_device(d)->watch;

	return sysfs_emit(buf, "%u\n", READ_ONCE(w->interval_ms));
}

static ssize_t watch_ms_store(struct device *d, struct device_attribute *attr,
			      const char *buf, size_t len)
{
	struct touchm_watch *w = &touchm_of_device(d)->watch;
	unsigned int ms;
	int r;

	r = kstrtouint(buf, 0, &ms);
	if (r)
		return r;
	if (ms && (ms < TOUCHM_WATCH_MS_MIN || ms > TOUCHM_WATCH_MS_MAX))
		return -ERANGE;
	spin_lock(&w->lock);
	w->interval_ms = ms;
	/*
	 * A probe waiting out the old interval comes when the new one since
	 * the last probe is over; or none at all.
	 */
	if (touchm_watch_wanted(w))
		mod_delayed_work(system_long_wq, &w->work,
				 touchm_watch_left(w));
	else
		cancel_delayed_work(&w->work);
	spin_unlock(&w->lock);
	return len;
}
static DEVICE_ATTR_RW(watch_ms);

static ssize_t watch_always_show(struct device *d,
				 struct device_attribute *attr, char *buf)
{
	struct touchm_watch *w = &touchm_of_device(d)->watch;

	return sysfs_emit(buf, "%d\n", READ_ONCE(w->always) ? 1 : 0);
}

static ssize_t watch_always_store(struct device *d,
				  struct device_attribute *attr,
				  const char *buf, size_t len)
{
	struct touchm_watch *w = &touchm_of_device(d)->watch;
	bool on;
	int r;

	r = kstrtobool(buf, &on);
	if (r)
		return r;
	spin_lock(&w->lock);
	w->always = on;
	touchm_watch_queue(w);
	spin_unlock(&w->lock);
	return len;
}
static DEVICE_ATTR_RW(watch_always);

static ssize_t probes_show(struct device *d, struct device_attribute *attr,
			   char *buf)
{
	struct touchm_watch *w = &touchm_of_device(d)->watch;
	unsigned long n;

	spin_lock(&w->lock);
	n = w->probes;
	spin_unlock(&w->lock);
	return sysfs_emit(buf, "%lu\n", n);
}
static DEVICE_ATTR_RO(probes);

static ssize_t probe_faults_show(struct device *d,
				 struct device_attribute *attr, char *buf)
{
	struct touchm_watch *w = &touchm_of_device(d)->watch;
	unsigned long n;

	spin_lock(&w->lock);
	n = w->probe_faults;
	spin_unlock(&w->lock);
	return sysfs_emit(buf, "%lu\n", n);
}
static DEVICE_ATTR_RO(probe_faults);

static struct attribute *touchm_watch_attrs[] = {
	&dev_attr_key.attr,
	&dev_attr_watch_ms.attr,
	&dev_attr_watch_always.attr,
	&dev_attr_probes.attr,
	&dev_attr_probe_faults.attr,
	NULL
};

const struct attribute_group touchm_watch_group = {
	.attrs = touchm_watch_attrs,
};
