// SPDX-License-Identifier: GPL-2.0
/*
 * touchm - the character device /dev/touchm0 of the reference
 * touch-memory driver, and the driver-side functions that the velkor
 * transport and the simulated line need in the kernel.
 *
 * The device answers four ioctl requests (presence, ROM, reset, skip ROM;
 * 0 on success, a negative error code otherwise), keeps a file position
 * per open file (lseek with SEEK_SET, SEEK_CUR or SEEK_END), and reads and
 * writes the key memory from that position. Transfers stop short at the end
 * of the key memory: at or after it they move nothing and return 0. A
 * transfer the line fails returns the error, not a partial count, so a
 * failure is never reported as success; pages written before a failing one
 * stay written.
 *
 * Module parameters (read-only once loaded):
 *   sim=1         serve the simulated line (default 0: no line, no device)
 *   rom=HEX       the key on the line at load, 16 hex digits in the order
 *                 they travel (family first, CRC last); "none" for no key
 *   mem_size=N    bytes of key memory, 0 to 65536 (default 512)
 *
 * The key memory starts with a short text followed by zero bytes. Keys are
 * attached, removed and swapped, and faults injected, through the debugfs
 * control file (see touchm_sim_ctl.c).
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>
#include <linux/sched.h>
#include <linux/stdarg.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "touchm_sim.h"

#define TMS_MEM_SIZE_DEFAULT	512u
#define TMS_ROM_DEFAULT		"08efbeadde0000c8"
#define TMS_ROM_NONE		"none"
#define TMS_ROM_TEXT_LEN	(2 * TM_LINE_ROM_SIZE)
/* What a fresh key memory holds, followed by zero bytes. */
#define TMS_MEMORY_TEXT		"touch-memory key 0108: hello\n"
/*
 * A read goes to the line in pieces of this size, a write page by page, so
 * that the busy-waits of a long transfer are broken up by cond_resched().
 */
#define TMS_READ_PIECE		64u

static bool sim;
module_param(sim, bool, 0444);
MODULE_PARM_DESC(sim, "serve a simulated line with a key at load (default 0)");

static char *rom = TMS_ROM_DEFAULT;
module_param(rom, charp, 0444);
MODULE_PARM_DESC(rom, "key at load: 16 hex digits, family first, or \"none\"");

static unsigned int mem_size = TMS_MEM_SIZE_DEFAULT;
module_param(mem_size, uint, 0444);
MODULE_PARM_DESC(mem_size, "bytes of key memory, 0 to 65536 (default 512)");

struct tms_state tms;

static const char *const tms_kind_names[TMS_KIND_COUNT] = {
	[TMS_KIND_PRESENCE] = "presence",
	[TMS_KIND_ROM] = "rom",
	[TMS_KIND_RESET] = "reset",
	[TMS_KIND_SKIP] = "skip",
	[TMS_KIND_READ] = "read",
	[TMS_KIND_WRITE] = "write",
};

const char *tms_kind_name(enum tms_req_kind kind)
{
	return kind < TMS_KIND_COUNT ? tms_kind_names[kind] : "?";
}

int tms_rom_parse(const char *text, unsigned char *out)
{
	unsigned char id[TM_LINE_ROM_SIZE];

	if (strlen(text) != TMS_ROM_TEXT_LEN)
		return -EINVAL;
	if (hex2bin(id, text, sizeof(id)))
		return -EINVAL;
	memcpy(out, id, sizeof(id));
	return 0;
}

/* The driver's print function, for velkor: a printk() format. */
void DebugPrint(const char *fmt, ...)
{
	va_list args;

	va_start(args, fmt);
	vprintk(fmt, args);
	va_end(args);
}

/* The kernel really spends the busy-waits; nothing counts them here. */
void tm_line_plat_delays(unsigned long long *calls, unsigned long long *us)
{
	*calls = 0;
	*us = 0;
}

/* Records a served request; @r is what it came to. */
static int tms_count(enum tms_req_kind kind, int r)
{
	tms.served[kind]++;
	if (r < 0)
		tms.failed[kind]++;
	return r;
}

static long tms_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	unsigned char id[TM_LINE_ROM_SIZE];
	int r;

	switch (cmd) {
	case TMS_REQ_PRESENCE:
	case TMS_REQ_READ_ROM:
	case TMS_REQ_RESET:
	case TMS_REQ_SKIP_ROM:
		break;
	default:
		return -ENOTTY;
	}

	if (mutex_lock_interruptible(&tms.lock))
		return -ERESTARTSYS;
	switch (cmd) {
	case TMS_REQ_PRESENCE:
		r = tms_count(TMS_KIND_PRESENCE, tm_line_presence(&tms.line));
		break;
	case TMS_REQ_READ_ROM:
		r = tms_count(TMS_KIND_ROM, tm_line_read_rom(&tms.line, id));
		break;
	case TMS_REQ_RESET:
		r = tms_count(TMS_KIND_RESET, tm_line_reset(&tms.line));
		break;
	default:
		r = tms_count(TMS_KIND_SKIP, tm_line_skip_rom(&tms.line));
		break;
	}
	mutex_unlock(&tms.lock);

	if (r < 0)
		return r;
	if (cmd == TMS_REQ_READ_ROM &&
	    copy_to_user((void __user *)arg, id, sizeof(id)))
		return -EFAULT;
	return 0;
}

static loff_t tms_llseek(struct file *file, loff_t offset, int whence)
{
	return generic_file_llseek_size(file, offset, whence, MAX_LFS_FILESIZE,
					tms.mem_size);
}

/* Bytes of a transfer of @len at *@ppos that lie inside the key memory. */
static size_t tms_span(loff_t pos, size_t len)
{
	if (pos < 0 || pos >= tms.mem_size)
		return 0;
	return min_t(size_t, len, tms.mem_size - (size_t)pos);
}

static ssize_t tms_read(struct file *file, char __user *ubuf, size_t len,
			loff_t *ppos)
{
	unsigned char piece[TMS_READ_PIECE];
	size_t n, done = 0;
	unsigned int off;
	int r = 0;

	if (*ppos < 0)
		return -EINVAL;
	len = tms_span(*ppos, len);
	if (!len)
		return 0;

	if (mutex_lock_interruptible(&tms.lock))
		return -ERESTARTSYS;
	while (done < len) {
		off = (unsigned int)*ppos + done;
		n = min_t(size_t, len - done, sizeof(piece));
		r = tm_line_read(&tms.line, off, piece, n);
		if (r >= 0 && r != (int)n)
			r = -EIO;
		if (r < 0)
			break;
		if (copy_to_user(ubuf + done, piece, n)) {
			r = -EFAULT;
			break;
		}
		done += n;
		cond_resched();
	}
	tms_count(TMS_KIND_READ, r);
	mutex_unlock(&tms.lock);

	if (r < 0)
		return r;
	*ppos += done;
	return done;
}

static ssize_t tms_write(struct file *file, const char __user *ubuf,
			 size_t len, loff_t *ppos)
{
	unsigned char page[TM_LINE_PAGE_SIZE];
	size_t n, done = 0;
	unsigned int off;
	int r = 0;

	if (*ppos < 0)
		return -EINVAL;
	len = tms_span(*ppos, len);
	if (!len)
		return 0;

	if (mutex_lock_interruptible(&tms.lock))
		return -ERESTARTSYS;
	while (done < len) {
		off = (unsigned int)*ppos + done;
		/* Up to the end of the key's page at off. */
		n = TM_LINE_PAGE_SIZE - off % TM_LINE_PAGE_SIZE;
		n = min_t(size_t, len - done, n);
		if (copy_from_user(page, ubuf + done, n)) {
			r = -EFAULT;
			break;
		}
		r = tm_line_write(&tms.line, off, page, n);
		if (r >= 0 && r != (int)n)
			r = -EIO;
		if (r < 0)
			break;
		done += n;
		cond_resched();
	}
	tms_count(TMS_KIND_WRITE, r);
	mutex_unlock(&tms.lock);

	if (r < 0)
		return r;
	*ppos += done;
	return done;
}

static const struct file_operations tms_fops = {
	.owner = THIS_MODULE,
	.llseek = tms_llseek,
	.read = tms_read,
	.write = tms_write,
	.unlocked_ioctl = tms_ioctl,
	.compat_ioctl = compat_ptr_ioctl,
};

static struct miscdevice tms_misc = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = TMS_DEVICE_NAME,
	.fops = &tms_fops,
	.mode = 0666,
};

static int __init tms_init(void)
{
	unsigned char id[TM_LINE_ROM_SIZE];
	int have_key = strcmp(rom, TMS_ROM_NONE) != 0;
	int r;

	if (!sim) {
		pr_info(TMS_NAME ": loaded, no line\n");
		return 0;
	}
	if (mem_size > TM_LINE_MEM_MAX) {
		pr_err(TMS_NAME ": mem_size %u is over %u\n", mem_size,
		       TM_LINE_MEM_MAX);
		return -EINVAL;
	}
	if (have_key && tms_rom_parse(rom, id)) {
		pr_err(TMS_NAME ": rom \"%s\" is not 16 hex digits\n", rom);
		return -EINVAL;
	}

	mutex_init(&tms.lock);
	tms.mem_size = mem_size;
	tms.mem = vzalloc(max(mem_size, 1u));
	if (!tms.mem)
		return -ENOMEM;
	memcpy(tms.mem, TMS_MEMORY_TEXT,
	       min_t(size_t, mem_size, sizeof(TMS_MEMORY_TEXT) - 1));

	r = tm_line_init(&tms.line, have_key ? id : NULL, tms.mem, mem_size);
	if (r)
		goto free_mem;
	r = tms_ctl_init();
	if (r)
		goto free_mem;
	r = misc_register(&tms_misc);
	if (r)
		goto ctl_exit;

	pr_info(TMS_NAME ": /dev/%s ready, key %s, %u bytes of memory\n",
		TMS_DEVICE_NAME, have_key ? rom : TMS_ROM_NONE, mem_size);
	return 0;

ctl_exit:
	tms_ctl_exit();
free_mem:
	vfree(tms.mem);
	return r;
}

static void __exit tms_exit(void)
{
	if (sim) {
		misc_deregister(&tms_misc);
		tms_ctl_exit();
		vfree(tms.mem);
	}
	pr_info(TMS_NAME ": unloaded\n");
}

module_init(tms_init);
module_exit(tms_exit);

MODULE_DESCRIPTION("Reference touch-memory driver");
MODULE_LICENSE("GPL");
