// SPDX-License-Identifier: GPL-2.0
/*
 * touchm - the character device of a line, and the driver-side functions
 * that the velkor transport needs in the kernel.
 *
 * The device answers four ioctl requests (presence, ROM, reset, skip ROM;
 * 0 on success, a negative error code otherwise), keeps a file position
 * per open file (lseek with SEEK_SET, SEEK_CUR or SEEK_END), and reads and
 * writes the key memory from that position. Transfers stop short at the end
 * of the key memory: at or after it they move nothing and return 0. A
 * transfer the line fails returns the error, not a partial count, so a
 * failure is never reported as success; pages written before a failing one
 * stay written. Once the line is gone (tty closed, hung up or unplugged)
 * every request on a descriptor still open fails with -ENODEV.
 *
 * The key memory size is either fixed for the line, or follows the family
 * code of the key's ROM: the ROM is then read before the first transfer
 * after the line came up or a request found no key. An ID-only key (family
 * 0x01) has no memory: its transfers fail with -EOPNOTSUPP.
 *
 * A line with several devices (a search found them: the 1-Wire core's,
 * touchm_w1.c, or the device's own) is served for the one touch key among
 * them, a device of a family whose memory the core knows (0x01, 0x04,
 * 0x06, 0x08, 0x0A, 0x0C): presence and the ROM request search the line
 * for it, and the key is then addressed by Match ROM where a line with one
 * device is addressed by Skip ROM. No key among them: -ENXIO, as on an
 * empty line; two keys or more: -ENOTUNIQ, since none of them is "the"
 * key. On a line with one device the requests go as they always did.
 *
 * Every request runs under the line's lock; it is taken killably, and
 * nothing under it waits on user memory: transfers move through a kernel
 * buffer, copied from the caller before the lock and to the caller after
 * it, so that a stalled page fault never holds the line (or a hangup
 * waiting for it). A read, write or ROM request that the line fails with
 * -EIO (a bad echo, a byte too many, a flagged byte: a key bouncing on the
 * reader's contacts) is tried once more from its start.
 *
 * The line's fault counters are the files of faults/ on the device
 * (/sys/class/misc/touchmN/faults/).
 *
 * The device's key events (poll with POLLPRI, event descriptors, the key
 * attribute, uevents) come from the watch, touchm_watch.c; the requests
 * above stay as they are with or without it.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/device.h>
#include <linux/fs.h>
#include <linux/idr.h>
#include <linux/miscdevice.h>
#include <linux/ratelimit.h>
#include <linux/uaccess.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/stdarg.h>
#include <linux/string.h>
#include <linux/sysfs.h>
#include <linux/poll.h>
#include <linux/errno.h>

#include "touchm.h"
#include "tm_slots.h"

/*
 * A line whose waits spin (the simulated one: velkor's 10 ms per group)
 * reads in transactions of this many bytes, so that a long transfer gives
 * the scheduler a chance in between; one whose waits sleep reads a whole
 * transfer in one transaction. Writes go page by page either way.
 */
#define TOUCHM_READ_PIECE	64u
/* Attempts of a request the line fails with -EIO: the first and one more. */
#define TOUCHM_ATTEMPTS		2

static DEFINE_IDA(touchm_ida);

/**
 * struct touchm_file - an open descriptor of the device
 * @dev:  its line; the descriptor holds a reference
 * @seen: the line's count of key changes this descriptor has been told
 *        of (at open, or by TOUCHM_IOC_KEY_STATE): poll gives POLLPRI
 *        while the line's count is ahead
 */
struct touchm_file {
	struct touchm_dev *dev;
	u32 seen;
};

static struct touchm_dev *touchm_file_dev(struct file *file)
{
	return ((struct touchm_file *)file->private_data)->dev;
}

static const char *const touchm_kind_names[TOUCHM_KIND_COUNT] = {
	[TOUCHM_KIND_PRESENCE] = "presence",
	[TOUCHM_KIND_ROM] = "rom",
	[TOUCHM_KIND_RESET] = "reset",
	[TOUCHM_KIND_SKIP] = "skip",
	[TOUCHM_KIND_READ] = "read",
	[TOUCHM_KIND_WRITE] = "write",
};

const char *touchm_kind_name(enum touchm_kind kind)
{
	return kind < TOUCHM_KIND_COUNT ? touchm_kind_names[kind] : "?";
}

/*
 * The driver's print function, for velkor: a printk() format. A failing
 * line makes velkor print at every transfer, so the prints are limited.
 */
static DEFINE_RATELIMIT_STATE(touchm_print_limit, DEFAULT_RATELIMIT_INTERVAL,
			      DEFAULT_RATELIMIT_BURST);

void DebugPrint(const char *fmt, ...)
{
	va_list args;

	if (!__ratelimit(&touchm_print_limit))
		return;
	va_start(args, fmt);
	vprintk(fmt, args);
	va_end(args);
}

/**
 * struct touchm_req - one request of the device, as the line serves it
 * @kind:  what is asked
 * @rom:   the ROM read (%TOUCHM_KIND_ROM)
 * @pos:   the file position of a transfer
 * @len:   bytes asked for; a request cuts it to the key memory
 * @buf:   kernel buffer of a transfer
 * @cap:   bytes @buf holds: a read's buffer grows to the cut length, a
 *         write's holds what was copied from the caller
 * @done:  bytes moved by the last attempt
 * @fault: -EFAULT when only part of a write's data could be copied in
 */
struct touchm_req {
	enum touchm_kind kind;
	unsigned char rom[TM_CORE_ROM_SIZE];
	loff_t pos;
	size_t len;
	unsigned char *buf;
	size_t cap;
	size_t done;
	int fault;
};

/* Records a served request; @r is what it came to. */
static int touchm_count(struct touchm_dev *dev, enum touchm_kind kind, int r)
{
	dev->served[kind]++;
	if (r < 0)
		dev->failed[kind]++;
	/* No key answered: the next key may be another family, or elsewhere. */
	if (r == -ENXIO) {
		dev->size_known = false;
		dev->bus->match = 0;
	}
	return r;
}

/* A ROM as the core's search reports it (family lowest) in travel order. */
static void touchm_rom_bytes(u64 rom, unsigned char *out)
{
	unsigned int i;

	for (i = 0; i < TM_CORE_ROM_SIZE; i++)
		out[i] = (unsigned char)(rom >> (BITS_PER_BYTE * i));
}

/* The key memory size of the ROM @rom just read on @dev's line. */
static void touchm_learn_size(struct touchm_dev *dev, const unsigned char *rom)
{
	unsigned int size;
	bool known;

	if (!dev->probe_size)
		return;
	size = tm_core_family_mem_size(rom[0]);
	known = tm_core_family_known(rom[0]);
	if (!known && (!dev->size_known || dev->bus->mem_size))
		dev_warn(dev->misc.this_device, "key family 0x%02x has no known memory size; load the module with key_size=BYTES\n",
			 rom[0]);
	dev->bus->mem_size = size;
	dev->no_memory = known && !size;
	dev->size_known = true;
}

/* Whether @rom (family lowest) is a touch key's: a family the core knows. */
static bool touchm_is_key(u64 rom)
{
	return tm_core_family_known((unsigned char)rom);
}

void touchm_line_seen(struct touchm_dev *dev, const u64 *found, int n)
{
	struct tm_bus *bus = dev->bus;
	int i, keys = 0, at = 0;

	dev->multi = n > 1;
	for (i = 0; i < n; i++)
		if (touchm_is_key(found[i])) {
			keys++;
			at = i;
		}
	/*
	 * Beside other devices, the one key is addressed by Match ROM; with
	 * none or several, each request looks again.
	 */
	bus->match = 0;
	if (!dev->multi || keys != 1)
		return;
	touchm_rom_bytes(found[at], bus->match_rom);
	bus->match = 1;
	touchm_learn_size(dev, bus->match_rom);
}

/*
 * On a line with several devices: the one key. The key the last search
 * found is looked for along its own ROM (a Search ROM whose directions
 * are known, a few batches); when it is gone, or there was none or
 * several, the line is searched again. 0 with the key's ROM in @rom (may
 * be NULL), addressed by Match ROM from now on; 1 when the line has only
 * one device (or none) after all, to be served as such; -ENXIO for no key
 * among the devices, -ENOTUNIQ for several, or the line's error.
 */
static int touchm_find_key(struct touchm_dev *dev, unsigned char *rom)
{
	struct tm_bus *bus = dev->bus;
	int n, r;

	if (bus->match) {
		r = tm_search_verify(bus, bus->match_rom);
		if (r && r != -ENXIO)
			return r;
		if (!r)
			goto found;
	}
	n = tm_search_cached(bus, TM_CMD_SEARCH_ROM, dev->found,
			     TOUCHM_W1_FOUND_MAX, dev->found_count);
	dev->found_count = n > 0 ? n : 0;
	if (n < 0)
		return n;
	touchm_line_seen(dev, dev->found, n);
	if (!dev->multi)
		return 1;
	if (!bus->match) {
		for (r = 0; n > 0; n--)
			r += touchm_is_key(dev->found[n - 1]);
		return r ? -ENOTUNIQ : -ENXIO;
	}
found:
	if (rom)
		memcpy(rom, bus->match_rom, TM_CORE_ROM_SIZE);
	return 0;
}

/* Before a transfer or Skip ROM: on a line with several, the key found. */
static int touchm_key_ready(struct touchm_dev *dev)
{
	int r;

	if (!dev->multi || dev->bus->match)
		return 0;
	r = touchm_find_key(dev, NULL);
	return r < 0 ? r : 0;
}

/* Makes sure the key memory size is known before a transfer. */
static int touchm_probe_size(struct touchm_dev *dev)
{
	unsigned char rom[TM_CORE_ROM_SIZE];
	int r;

	if (!dev->probe_size || dev->size_known)
		return 0;
	if (dev->bus->match) {
		touchm_learn_size(dev, dev->bus->match_rom);
		return 0;
	}
	r = tm_core_read_rom(dev->bus, rom);
	if (r < 0)
		return r;
	touchm_learn_size(dev, rom);
	return 0;
}

/*
 * Takes the line's lock and the wire for a request; -ENODEV once the line
 * is gone. The wire may be held by a 1-Wire family driver for its own
 * transaction (a thermometer's conversion: up to 750 ms); the wait for it
 * is killable.
 */
static int touchm_lock(struct touchm_dev *dev)
{
	if (mutex_lock_killable(&dev->lock))
		return -EINTR;
	if (dev->dead) {
		mutex_unlock(&dev->lock);
		return -ENODEV;
	}
	if (touchm_wire_lock(dev)) {
		mutex_unlock(&dev->lock);
		return -EINTR;
	}
	return 0;
}

static void touchm_unlock(struct touchm_dev *dev)
{
	touchm_wire_unlock(dev);
	mutex_unlock(&dev->lock);
}

/* Bytes of a transfer of @len at @pos that lie inside the key memory. */
static size_t touchm_span(const struct touchm_dev *dev, loff_t pos, size_t len)
{
	unsigned int size = dev->bus->mem_size;

	if (pos < 0 || pos >= size)
		return 0;
	return min_t(size_t, len, size - (size_t)pos);
}

/*
 * With the lock held: learns the key memory size if need be and cuts a
 * transfer of *@len at @pos to the key memory; 0, the probe's error with
 * *@len as it was, or -EOPNOTSUPP for a key without memory.
 */
static int touchm_cut_to_key(struct touchm_dev *dev, loff_t pos, size_t *len)
{
	int r = touchm_probe_size(dev);

	if (r)
		return r;
	if (dev->probe_size && dev->no_memory)
		return -EOPNOTSUPP;
	*len = touchm_span(dev, pos, *len);
	return 0;
}

/* A read into @req->buf, in pieces on a line whose waits spin. */
static int touchm_attempt_read(struct touchm_dev *dev, struct touchm_req *req)
{
	size_t n, piece, len = req->len;
	unsigned int off;
	unsigned char *grown;
	int r;

	r = touchm_cut_to_key(dev, req->pos, &len);
	if (r)
		return r;
	/* Only a length cut to the key's memory is allocated for. */
	if (len > req->cap) {
		grown = kvmalloc(len, GFP_KERNEL);
		if (!grown)
			return -ENOMEM;
		kvfree(req->buf);
		req->buf = grown;
		req->cap = len;
	}
	piece = dev->whole_reads ? len : TOUCHM_READ_PIECE;
	while (req->done < len) {
		off = (unsigned int)req->pos + req->done;
		n = min_t(size_t, len - req->done, piece);
		r = tm_core_read(dev->bus, off, req->buf + req->done, n);
		if (r >= 0 && r != (int)n)
			r = -EIO;
		if (r < 0)
			return r;
		req->done += n;
		cond_resched();
	}
	return 0;
}

/*
 * A write of @req->buf page by page. Data copied in only in part is
 * written up to the last key page whose bytes all came in.
 */
static int touchm_attempt_write(struct touchm_dev *dev, struct touchm_req *req)
{
	size_t n, len = req->len;
	unsigned int off;
	int r;

	r = touchm_cut_to_key(dev, req->pos, &len);
	if (r)
		return r;
	while (req->done < len) {
		off = (unsigned int)req->pos + req->done;
		/* Up to the end of the key's page at off. */
		n = TM_CORE_PAGE_SIZE - off % TM_CORE_PAGE_SIZE;
		n = min_t(size_t, len - req->done, n);
		if (req->done + n > req->cap)
			return req->fault;
		r = tm_core_write(dev->bus, off, req->buf + req->done, n);
		if (r >= 0 && r != (int)n)
			r = -EIO;
		if (r < 0)
			return r;
		req->done += n;
		cond_resched();
	}
	return 0;
}

/* One attempt at @req, from its start. */
static int touchm_attempt(struct touchm_dev *dev, struct touchm_req *req)
{
	int r;

	req->done = 0;
	switch (req->kind) {
	case TOUCHM_KIND_PRESENCE:
		r = dev->multi ? touchm_find_key(dev, NULL) : 1;
		return r > 0 ? tm_core_presence(dev->bus) : r;
	case TOUCHM_KIND_ROM:
		r = dev->multi ? touchm_find_key(dev, req->rom) : 1;
		if (r <= 0)
			return r;
		r = tm_core_read_rom(dev->bus, req->rom);
		if (!r)
			touchm_learn_size(dev, req->rom);
		return r;
	case TOUCHM_KIND_RESET:
		return tm_core_reset(dev->bus);
	case TOUCHM_KIND_SKIP:
		r = touchm_key_ready(dev);
		return r ? r : tm_core_skip_rom(dev->bus);
	case TOUCHM_KIND_READ:
		r = touchm_key_ready(dev);
		return r ? r : touchm_attempt_read(dev, req);
	case TOUCHM_KIND_WRITE:
		r = touchm_key_ready(dev);
		return r ? r : touchm_attempt_write(dev, req);
	default:
		return -EINVAL;
	}
}

/* Whether a request of @kind that failed with @r is worth another try. */
static bool touchm_retry(enum touchm_kind kind, int r)
{
	return r == -EIO && (kind == TOUCHM_KIND_ROM ||
			     kind == TOUCHM_KIND_READ ||
			     kind == TOUCHM_KIND_WRITE);
}

/*
 * Serves @req with the lock held: the line begins a request, the attempt
 * runs, the line judges what it brought meanwhile. A line fault gets one
 * more attempt.
 */
static int touchm_serve(struct touchm_dev *dev, struct touchm_req *req)
{
	const struct tm_bus_ops *ops = dev->bus->ops;
	unsigned long impossible = dev->bus->impossible;
	int attempt, r = 0, judged;

	for (attempt = 0; attempt < TOUCHM_ATTEMPTS; attempt++) {
		if (attempt)
			touchm_fault(dev, TOUCHM_FAULT_RETRIES, 1);
		r = ops->begin ? ops->begin(dev->bus) : 0;
		if (!r)
			r = touchm_attempt(dev, req);
		judged = ops->end ? ops->end(dev->bus) : 0;
		if (r >= 0 && judged)
			r = judged;
		if (!touchm_retry(req->kind, r) || dev->dead)
			break;
	}
	touchm_fault(dev, TOUCHM_FAULT_IMPOSSIBLE,
		     dev->bus->impossible - impossible);
	if (r == -EIO)
		dev_warn_ratelimited(dev->misc.this_device, "%s failed on a bad line\n",
				     touchm_kind_name(req->kind));
	/* Wrong data is never handed out: a failed read delivers nothing. */
	if (r < 0)
		req->done = 0;
	return r;
}

int touchm_probe_key(struct touchm_dev *dev, unsigned char *rom)
{
	struct touchm_req req = { .kind = TOUCHM_KIND_ROM };
	int r;

	BUILD_BUG_ON(TM_CORE_ROM_SIZE != TOUCHM_ROM_BYTES);
	r = touchm_serve(dev, &req);
	if (r == -ENXIO) {
		/* As after a request: the next key may be another family. */
		dev->size_known = false;
		return 0;
	}
	if (r < 0)
		return r;
	memcpy(rom, req.rom, TOUCHM_ROM_BYTES);
	return 1;
}

/* Locks the line, serves @req, counts it. */
static int touchm_request(struct touchm_dev *dev, struct touchm_req *req)
{
	int r = touchm_lock(dev);

	if (r)
		return r;
	r = touchm_serve(dev, req);
	touchm_count(dev, req->kind, r);
	touchm_unlock(dev);
	return r;
}

static long touchm_ioctl(struct file *file, unsigned int cmd,
			 unsigned long arg)
{
	struct touchm_file *tf = file->private_data;
	struct touchm_dev *dev = tf->dev;
	struct touchm_req req = { 0 };
	int r;

	switch (cmd) {
	case TOUCHM_IOC_EVENT_FD:
	case TOUCHM_IOC_KEY_STATE:
		return touchm_watch_ioctl(dev, &tf->seen, cmd, arg);
	case TOUCHM_REQ_PRESENCE:
		req.kind = TOUCHM_KIND_PRESENCE;
		break;
	case TOUCHM_REQ_READ_ROM:
		req.kind = TOUCHM_KIND_ROM;
		break;
	case TOUCHM_REQ_RESET:
		req.kind = TOUCHM_KIND_RESET;
		break;
	case TOUCHM_REQ_SKIP_ROM:
		req.kind = TOUCHM_KIND_SKIP;
		break;
	default:
		return -ENOTTY;
	}

	r = touchm_request(dev, &req);
	if (r < 0)
		return r;
	if (cmd == TOUCHM_REQ_READ_ROM &&
	    copy_to_user((void __user *)arg, req.rom, sizeof(req.rom)))
		return -EFAULT;
	return 0;
}

static loff_t touchm_llseek(struct file *file, loff_t offset, int whence)
{
	struct touchm_dev *dev = touchm_file_dev(file);
	/* A ROM request teaches the line the key's memory size. */
	struct touchm_req probe = { .kind = TOUCHM_KIND_ROM };
	loff_t r = 0;

	if (mutex_lock_killable(&dev->lock))
		return -EINTR;
	/*
	 * Seeks relative to the end need the key's memory size: on a line
	 * that learns it from the key, a seek before any transfer reads the
	 * ROM first rather than take the end for 0.
	 */
	if ((whence == SEEK_END || whence == SEEK_DATA || whence == SEEK_HOLE) &&
	    dev->probe_size && !dev->size_known) {
		if (dev->dead)
			r = -ENODEV;
		else if (touchm_wire_lock(dev))
			r = -EINTR;
		else {
			r = touchm_serve(dev, &probe);
			touchm_wire_unlock(dev);
		}
	}
	if (!r)
		r = generic_file_llseek_size(file, offset, whence,
					     MAX_LFS_FILESIZE,
					     dev->bus->mem_size);
	mutex_unlock(&dev->lock);
	return r;
}

static ssize_t touchm_read(struct file *file, char __user *ubuf, size_t len,
			   loff_t *ppos)
{
	struct touchm_dev *dev = touchm_file_dev(file);
	struct touchm_req req = { .kind = TOUCHM_KIND_READ };
	int r;

	if (*ppos < 0)
		return -EINVAL;
	req.pos = *ppos;
	req.len = len;
	r = touchm_lock(dev);
	if (r)
		return r;
	r = touchm_serve(dev, &req);
	if (len || r)
		touchm_count(dev, TOUCHM_KIND_READ, r);
	touchm_unlock(dev);

	/* The line is free again before the caller's memory is touched. */
	if (!r && req.done && copy_to_user(ubuf, req.buf, req.done))
		r = -EFAULT;
	kvfree(req.buf);
	if (r < 0)
		return r;
	*ppos += req.done;
	return req.done;
}

/*
 * The caller's data for a write at @pos, copied before the line is taken:
 * no key memory lies beyond the 16-bit address space, so nothing past it
 * is copied. A fault ends the copy; what came in before it is kept.
 */
static int touchm_copy_in(struct touchm_req *req, const char __user *ubuf)
{
	size_t n, left;

	n = req->pos < TM_CORE_MEM_MAX ?
		min_t(size_t, req->len, TM_CORE_MEM_MAX - req->pos) : 0;
	if (!n)
		return 0;
	req->buf = kvmalloc(n, GFP_KERNEL);
	if (!req->buf)
		return -ENOMEM;
	left = copy_from_user(req->buf, ubuf, n);
	req->cap = n - left;
	req->fault = left ? -EFAULT : 0;
	/* Past the key memory nothing is written: no limit from there on. */
	if (!left)
		req->cap = SIZE_MAX;
	return 0;
}

static ssize_t touchm_write(struct file *file, const char __user *ubuf,
			    size_t len, loff_t *ppos)
{
	struct touchm_dev *dev = touchm_file_dev(file);
	struct touchm_req req = { .kind = TOUCHM_KIND_WRITE };
	int r;

	if (*ppos < 0)
		return -EINVAL;
	req.pos = *ppos;
	req.len = len;
	r = touchm_copy_in(&req, ubuf);
	if (r)
		return r;
	r = touchm_lock(dev);
	if (!r) {
		r = touchm_serve(dev, &req);
		if (len || r)
			touchm_count(dev, TOUCHM_KIND_WRITE, r);
		touchm_unlock(dev);
	}
	kvfree(req.buf);
	if (r < 0)
		return r;
	*ppos += req.done;
	return req.done;
}

/* faults/: one file per kind of line fault, the count since the line came. */
static const char *const touchm_fault_names[TOUCHM_FAULT_COUNT] = {
	[TOUCHM_FAULT_FLAGGED] = "flagged",
	[TOUCHM_FAULT_STRAY] = "stray",
	[TOUCHM_FAULT_SURPLUS] = "surplus",
	[TOUCHM_FAULT_IMPOSSIBLE] = "impossible",
	[TOUCHM_FAULT_LOST] = "lost",
	[TOUCHM_FAULT_TIMEOUTS] = "timeouts",
	[TOUCHM_FAULT_RETRIES] = "retries",
};

static ssize_t touchm_fault_show(struct device *d,
				 struct device_attribute *attr, char *buf)
{
	struct miscdevice *misc = dev_get_drvdata(d);
	struct touchm_dev *dev = container_of(misc, struct touchm_dev, misc);
	int k;

	for (k = 0; k < TOUCHM_FAULT_COUNT; k++)
		if (!strcmp(attr->attr.name, touchm_fault_names[k]))
			return sysfs_emit(buf, "%ld\n",
					  atomic_long_read(&dev->faults[k]));
	return -EINVAL;
}

#define TOUCHM_FAULT_ATTR(name) \
	struct device_attribute dev_attr_fault_##name = \
		__ATTR(name, 0444, touchm_fault_show, NULL)

static TOUCHM_FAULT_ATTR(flagged);
static TOUCHM_FAULT_ATTR(stray);
static TOUCHM_FAULT_ATTR(surplus);
static TOUCHM_FAULT_ATTR(impossible);
static TOUCHM_FAULT_ATTR(lost);
static TOUCHM_FAULT_ATTR(timeouts);
static TOUCHM_FAULT_ATTR(retries);

static struct attribute *touchm_fault_attrs[] = {
	&dev_attr_fault_flagged.attr,
	&dev_attr_fault_stray.attr,
	&dev_attr_fault_surplus.attr,
	&dev_attr_fault_impossible.attr,
	&dev_attr_fault_lost.attr,
	&dev_attr_fault_timeouts.attr,
	&dev_attr_fault_retries.attr,
	NULL
};

static const struct attribute_group touchm_fault_group = {
	.name = "faults",
	.attrs = touchm_fault_attrs,
};

static const struct attribute_group *touchm_groups[] = {
	&touchm_watch_group,
	&touchm_fault_group,
	NULL
};

static void touchm_dev_free(struct kref *ref)
{
	struct touchm_dev *dev = container_of(ref, struct touchm_dev, ref);

	if (dev->release)
		dev->release(dev);
}

void touchm_dev_put(struct touchm_dev *dev)
{
	kref_put(&dev->ref, touchm_dev_free);
}

/*
 * misc_open() has put the miscdevice into private_data and calls this with
 * the list of misc devices locked, so the line cannot be removed and freed
 * before the file holds its reference.
 */
static int touchm_open(struct inode *inode, struct file *file)
{
	struct miscdevice *misc = file->private_data;
	struct touchm_dev *dev = container_of(misc, struct touchm_dev, misc);
	struct touchm_file *tf;

	tf = kzalloc(sizeof(*tf), GFP_KERNEL);
	if (!tf)
		return -ENOMEM;
	kref_get(&dev->ref);
	tf->dev = dev;
	tf->seen = touchm_watch_seqno(dev);
	file->private_data = tf;
	return 0;
}

static int touchm_release(struct inode *inode, struct file *file)
{
	struct touchm_file *tf = file->private_data;

	touchm_dev_put(tf->dev);
	kfree(tf);
	return 0;
}

/*
 * Requests never wait for data, so a descriptor is always readable and
 * writable; POLLPRI says the key changed since it last asked, and asking
 * starts the watch (touchm_watch.c).
 */
static __poll_t touchm_poll(struct file *file, poll_table *pt)
{
	struct touchm_file *tf = file->private_data;

	return touchm_watch_poll(tf->dev, READ_ONCE(tf->seen), file, pt);
}

static const struct file_operations touchm_fops = {
	.owner = THIS_MODULE,
	.open = touchm_open,
	.release = touchm_release,
	.llseek = touchm_llseek,
	.poll = touchm_poll,
	.read = touchm_read,
	.write = touchm_write,
	.unlocked_ioctl = touchm_ioctl,
	.compat_ioctl = compat_ptr_ioctl,
};

void touchm_dev_init(struct touchm_dev *dev, struct tm_bus *bus,
		     void (*release)(struct touchm_dev *dev))
{
	memset(dev, 0, sizeof(*dev));
	mutex_init(&dev->lock);
	kref_init(&dev->ref);
	dev->bus = bus;
	dev->release = release;
	dev->index = -1;
	touchm_watch_init(dev);
}

int touchm_dev_register(struct touchm_dev *dev, umode_t mode)
{
	int r;

	r = ida_alloc_max(&touchm_ida, TOUCHM_LINES_MAX - 1, GFP_KERNEL);
	if (r < 0)
		return r;
	dev->index = r;
	snprintf(dev->name, sizeof(dev->name), TOUCHM_NODE_FMT, dev->index);
	dev->misc.minor = MISC_DYNAMIC_MINOR;
	dev->misc.name = dev->name;
	dev->misc.fops = &touchm_fops;
	dev->misc.mode = mode;
	dev->misc.groups = touchm_groups;
	r = misc_register(&dev->misc);
	if (r) {
		ida_free(&touchm_ida, dev->index);
		dev->index = -1;
		return r;
	}
	/* Only now is misc.this_device set, the sysfs files came before. */
	touchm_watch_publish(dev);
	/* The node serves without the 1-Wire core if that fails. */
	r = touchm_w1_add(dev);
	if (r)
		dev_warn(dev->misc.this_device, "no 1-Wire bus master: %d\n", r);
	return 0;
}

void touchm_dev_unregister(struct touchm_dev *dev)
{
	bool was_dead;

	mutex_lock(&dev->lock);
	was_dead = dev->dead;
	WRITE_ONCE(dev->dead, true);
	/* No request takes the wire from here on. */
	WRITE_ONCE(dev->w1.master, NULL);
	mutex_unlock(&dev->lock);
	/* No probe runs once this returns; readers learn the line is gone. */
	touchm_watch_stop(dev);
	/* The core's operations fail from now; its users are waited for. */
	touchm_w1_remove(dev);
	if (was_dead || dev->index < 0)
		return;
	misc_deregister(&dev->misc);
	ida_free(&touchm_ida, dev->index);
}
