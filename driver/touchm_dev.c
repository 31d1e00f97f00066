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
 * after the line came up or a request found no key.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/idr.h>
#include <linux/miscdevice.h>
#include <linux/uaccess.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/stdarg.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "touchm.h"

/*
 * A line whose waits spin (the simulated one: velkor's 10 ms per group)
 * reads in transactions of this many bytes, so that a long transfer gives
 * the scheduler a chance in between; one whose waits sleep reads a whole
 * transfer in one transaction. Writes go page by page either way.
 */
#define TOUCHM_READ_PIECE	64u

static DEFINE_IDA(touchm_ida);

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

/* The driver's print function, for velkor: a printk() format. */
void DebugPrint(const char *fmt, ...)
{
	va_list args;

	va_start(args, fmt);
	vprintk(fmt, args);
	va_end(args);
}

/* Records a served request; @r is what it came to. */
static int touchm_count(struct touchm_dev *dev, enum touchm_kind kind, int r)
{
	dev->served[kind]++;
	if (r < 0)
		dev->failed[kind]++;
	/* No key answered: the next key may be another family. */
	if (r == -ENXIO)
		dev->size_known = false;
	return r;
}

/* The key memory size of the ROM @rom just read on @dev's line. */
static void touchm_learn_size(struct touchm_dev *dev, const unsigned char *rom)
{
	unsigned int size;

	if (!dev->probe_size)
		return;
	size = tm_core_family_mem_size(rom[0]);
	if (!size && (!dev->size_known || dev->bus->mem_size))
		pr_warn("%s: key family 0x%02x has no known memory size; load the module with key_size=BYTES\n",
			dev->name, rom[0]);
	dev->bus->mem_size = size;
	dev->size_known = true;
}

/* Makes sure the key memory size is known before a transfer. */
static int touchm_probe_size(struct touchm_dev *dev)
{
	unsigned char rom[TM_CORE_ROM_SIZE];
	int r;

	if (!dev->probe_size || dev->size_known)
		return 0;
	r = tm_core_read_rom(dev->bus, rom);
	if (r < 0)
		return r;
	touchm_learn_size(dev, rom);
	return 0;
}

/* Takes the line's lock for a request; -ENODEV once the line is gone. */
static int touchm_lock(struct touchm_dev *dev)
{
	if (mutex_lock_interruptible(&dev->lock))
		return -ERESTARTSYS;
	if (dev->dead) {
		mutex_unlock(&dev->lock);
		return -ENODEV;
	}
	return 0;
}

static long touchm_ioctl(struct file *file, unsigned int cmd,
			 unsigned long arg)
{
	struct touchm_dev *dev = file->private_data;
	unsigned char id[TM_CORE_ROM_SIZE];
	int r;

	switch (cmd) {
	case TOUCHM_REQ_PRESENCE:
	case TOUCHM_REQ_READ_ROM:
	case TOUCHM_REQ_RESET:
	case TOUCHM_REQ_SKIP_ROM:
		break;
	default:
		return -ENOTTY;
	}

	r = touchm_lock(dev);
	if (r)
		return r;
	switch (cmd) {
	case TOUCHM_REQ_PRESENCE:
		r = touchm_count(dev, TOUCHM_KIND_PRESENCE,
				 tm_core_presence(dev->bus));
		break;
	case TOUCHM_REQ_READ_ROM:
		r = touchm_count(dev, TOUCHM_KIND_ROM,
				 tm_core_read_rom(dev->bus, id));
		if (!r)
			touchm_learn_size(dev, id);
		break;
	case TOUCHM_REQ_RESET:
		r = touchm_count(dev, TOUCHM_KIND_RESET,
				 tm_core_reset(dev->bus));
		break;
	default:
		r = touchm_count(dev, TOUCHM_KIND_SKIP,
				 tm_core_skip_rom(dev->bus));
		break;
	}
	mutex_unlock(&dev->lock);

	if (r < 0)
		return r;
	if (cmd == TOUCHM_REQ_READ_ROM &&
	    copy_to_user((void __user *)arg, id, sizeof(id)))
		return -EFAULT;
	return 0;
}

static loff_t touchm_llseek(struct file *file, loff_t offset, int whence)
{
	struct touchm_dev *dev = file->private_data;
	loff_t r = 0;

	if (mutex_lock_interruptible(&dev->lock))
		return -ERESTARTSYS;
	/*
	 * Seeks relative to the end need the key's memory size: on a line
	 * that learns it from the key, a seek before any transfer reads the
	 * ROM first rather than take the end for 0.
	 */
	if ((whence == SEEK_END || whence == SEEK_DATA || whence == SEEK_HOLE) &&
	    dev->probe_size && !dev->size_known)
		r = dev->dead ? -ENODEV : touchm_probe_size(dev);
	if (!r)
		r = generic_file_llseek_size(file, offset, whence,
					     MAX_LFS_FILESIZE,
					     dev->bus->mem_size);
	mutex_unlock(&dev->lock);
	return r;
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
 * transfer of *@len at @pos to the key memory; 0, or the probe's error
 * with *@len as it was.
 */
static int touchm_cut_to_key(struct touchm_dev *dev, loff_t pos, size_t *len)
{
	int r = touchm_probe_size(dev);

	if (!r)
		*len = touchm_span(dev, pos, *len);
	return r;
}

static ssize_t touchm_read(struct file *file, char __user *ubuf, size_t len,
			   loff_t *ppos)
{
	struct touchm_dev *dev = file->private_data;
	unsigned char small[TOUCHM_READ_PIECE];
	unsigned char *piece = small;
	size_t n, piece_size, done = 0;
	unsigned int off;
	int r;

	if (*ppos < 0)
		return -EINVAL;
	r = touchm_lock(dev);
	if (r)
		return r;
	r = touchm_cut_to_key(dev, *ppos, &len);
	piece_size = dev->whole_reads ? len : sizeof(small);
	/*
	 * Only a length cut to the key's memory is allocated for: when the
	 * probe failed, len is still what the caller asked, up to SSIZE_MAX.
	 */
	if (!r && piece_size > sizeof(small)) {
		piece = kvmalloc(piece_size, GFP_KERNEL);
		if (!piece) {
			piece = small;
			r = -ENOMEM;
		}
	}
	while (!r && done < len) {
		off = (unsigned int)*ppos + done;
		n = min_t(size_t, len - done, piece_size);
		r = tm_core_read(dev->bus, off, piece, n);
		if (r >= 0 && r != (int)n)
			r = -EIO;
		if (r < 0)
			break;
		r = 0;
		if (copy_to_user(ubuf + done, piece, n)) {
			r = -EFAULT;
			break;
		}
		done += n;
		cond_resched();
	}
	if (len || r)
		touchm_count(dev, TOUCHM_KIND_READ, r);
	mutex_unlock(&dev->lock);
	if (piece != small)
		kvfree(piece);

	if (r < 0)
		return r;
	*ppos += done;
	return done;
}

static ssize_t touchm_write(struct file *file, const char __user *ubuf,
			    size_t len, loff_t *ppos)
{
	struct touchm_dev *dev = file->private_data;
	unsigned char page[TM_CORE_PAGE_SIZE];
	size_t n, done = 0;
	unsigned int off;
	int r;

	if (*ppos < 0)
		return -EINVAL;
	r = touchm_lock(dev);
	if (r)
		return r;
	r = touchm_cut_to_key(dev, *ppos, &len);
	while (!r && done < len) {
		off = (unsigned int)*ppos + done;
		/* Up to the end of the key's page at off. */
		n = TM_CORE_PAGE_SIZE - off % TM_CORE_PAGE_SIZE;
		n = min_t(size_t, len - done, n);
		if (copy_from_user(page, ubuf + done, n)) {
			r = -EFAULT;
			break;
		}
		r = tm_core_write(dev->bus, off, page, n);
		if (r >= 0 && r != (int)n)
			r = -EIO;
		if (r < 0)
			break;
		r = 0;
		done += n;
		cond_resched();
	}
	if (len || r)
		touchm_count(dev, TOUCHM_KIND_WRITE, r);
	mutex_unlock(&dev->lock);

	if (r < 0)
		return r;
	*ppos += done;
	return done;
}

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

	kref_get(&dev->ref);
	file->private_data = dev;
	return 0;
}

static int touchm_release(struct inode *inode, struct file *file)
{
	touchm_dev_put(file->private_data);
	return 0;
}

static const struct file_operations touchm_fops = {
	.owner = THIS_MODULE,
	.open = touchm_open,
	.release = touchm_release,
	.llseek = touchm_llseek,
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
	r = misc_register(&dev->misc);
	if (r) {
		ida_free(&touchm_ida, dev->index);
		dev->index = -1;
	}
	return r;
}

void touchm_dev_unregister(struct touchm_dev *dev)
{
	bool was_dead;

	mutex_lock(&dev->lock);
	was_dead = dev->dead;
	dev->dead = true;
	mutex_unlock(&dev->lock);
	if (was_dead || dev->index < 0)
		return;
	misc_deregister(&dev->misc);
	ida_free(&touchm_ida, dev->index);
}
