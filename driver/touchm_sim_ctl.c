// SPDX-License-Identifier: GPL-2.0
/*
 * The debugfs files of touchm's simulated line: the control file
 * /sys/kernel/debug/touchm/ctl and the memory file
 * /sys/kernel/debug/touchm/mem.
 *
 * Each write to the control file is one command line; a command that is not
 * understood or not possible fails the write (-EINVAL, -EBUSY or -ENXIO) and
 * changes nothing.
 *
 *   attach HEX     put a key with ROM HEX on the line (16 hex digits in the
 *                  order they travel, family first); -EBUSY if one is there
 *   remove         take the key away; -ENXIO if there is none
 *   swap HEX       exchange the key for one with ROM HEX at once, so that
 *                  no request sees the line empty; -ENXIO if there is none.
 *                  The key memory stays the same.
 *   fault serial-write [SKIP [TIMES [ERRNO]]]
 *   fault serial-read  [SKIP [TIMES [ERRNO]]]
 *                  after SKIP good calls (default 0), pl2303_write() or
 *                  pl2303_read() fails with -ERRNO (default EIO) in TIMES
 *                  calls (default 0: every call until cleared). The reset
 *                  pulse of every request makes one call of each first, so
 *                  SKIP 2 lets a presence request and the reset pulse of a
 *                  ROM request through and fails velkor's first write_1w()
 *   fault rom-bit [BIT [TIMES]]
 *                  the line carries the opposite level in the time slot of
 *                  ROM bit BIT (0 to 63, default 0; bit BIT % 8 of byte
 *                  BIT / 8) in TIMES transactions (default 0: until
 *                  cleared). The slot is counted in every transaction, so
 *                  memory requests are hit as well.
 *   clear          end all faults
 *
 * Reading the control file shows the key, the memory size, the requests
 * served and failed since load, and the line's counters:
 *
 *   key 04efbeadde0000cd          (or "key none")
 *   memory 512
 *   served presence N rom N reset N skip N read N write N
 *   failed presence N rom N reset N skip N read N write N
 *   line serial_out N serial_in N slots N resets N overruns N
 *
 * The memory file (root only, read-only) holds the key memory as the
 * simulated key has it, mem_size bytes, not read through the driver: a test
 * compares it with what it wrote. It can be read in pieces at any offset;
 * a read waits for the request in progress to end. The memory stays the
 * same across remove, attach and swap, so it is there without a key too.
 */
#include <linux/kernel.h>
#include <linux/fs.h>
#include <linux/debugfs.h>
#include <linux/seq_file.h>
#include <linux/uaccess.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "touchm_sim.h"

#define TMS_CTL_LINE_MAX	128
#define TMS_CTL_WORDS_MAX	5
#define TMS_ROM_BITS		(8 * TM_LINE_ROM_SIZE)
#define TMS_ERRNO_MAX		4095
#define TMS_CTL_MODE		0600
#define TMS_MEM_MODE		0400

static struct dentry *tms_dir;

static void tms_show_counts(struct seq_file *m, const char *title,
			    const unsigned long *counts)
{
	int k;

	seq_puts(m, title);
	for (k = 0; k < TOUCHM_KIND_COUNT; k++)
		seq_printf(m, " %s %lu", touchm_kind_name(k), counts[k]);
	seq_putc(m, '\n');
}

static int tms_ctl_show(struct seq_file *m, void *unused)
{
	struct tm_line_stats st;

	if (mutex_lock_interruptible(&tms.dev.lock))
		return -ERESTARTSYS;
	if (touchm_wire_lock(&tms.dev)) {
		mutex_unlock(&tms.dev.lock);
		return -ERESTARTSYS;
	}
	if (tm_line_key_present(&tms.line))
		seq_printf(m, "key %*phN\n", TM_LINE_ROM_SIZE,
			   tms.line.key.rom);
	else
		seq_puts(m, "key none\n");
	seq_printf(m, "memory %u\n", tms.mem_size);
	tms_show_counts(m, "served", tms.dev.served);
	tms_show_counts(m, "failed", tms.dev.failed);
	tm_line_get_stats(&tms.line, &st);
	seq_printf(m,
		   "line serial_out %llu serial_in %llu slots %llu resets %llu overruns %llu\n",
		   st.serial_out, st.serial_in, st.data_slots, st.resets,
		   st.overruns);
	touchm_wire_unlock(&tms.dev);
	mutex_unlock(&tms.dev.lock);
	return 0;
}

/* Splits @line at white space; the number of words, or -EINVAL. */
static int tms_split(char *line, char **words, int max)
{
	char *w;
	int n = 0;

	while ((w = strsep(&line, " \t\n")) != NULL) {
		if (!*w)
			continue;
		if (n == max)
			return -EINVAL;
		words[n++] = w;
	}
	return n;
}

/* Optional number @i of @words: @def when absent; 0 or -EINVAL. */
static int tms_arg(char **words, int n, int i, unsigned int def,
		   unsigned int max, unsigned int *out)
{
	unsigned int v = def;

	if (i < n && (kstrtouint(words[i], 0, &v) || v > max))
		return -EINVAL;
	*out = v;
	return 0;
}

static int tms_ctl_fault(char **words, int n)
{
	unsigned int skip, times, err, bit;
	const char *what = n > 1 ? words[1] : "";
	int serial_write = !strcmp(what, "serial-write");

	if (serial_write || !strcmp(what, "serial-read")) {
		if (n > 5 || tms_arg(words, n, 2, 0, UINT_MAX, &skip) ||
		    tms_arg(words, n, 3, 0, UINT_MAX, &times) ||
		    tms_arg(words, n, 4, EIO, TMS_ERRNO_MAX, &err) || !err)
			return -EINVAL;
		if (serial_write)
			tm_line_fault_serial_write(&tms.line, skip, times,
						   -(int)err);
		else
			tm_line_fault_serial_read(&tms.line, skip, times,
						  -(int)err);
		return 0;
	}
	if (!strcmp(what, "rom-bit")) {
		if (n > 4 || tms_arg(words, n, 2, 0, TMS_ROM_BITS - 1, &bit) ||
		    tms_arg(words, n, 3, 0, UINT_MAX, &times))
			return -EINVAL;
		tm_line_fault_flip(&tms.line, TM_LINE_ROM_FIRST_SLOT + bit, 0,
				   times);
		return 0;
	}
	return -EINVAL;
}

/* Carries out one command; called with the lock held. */
static int tms_ctl_apply(char **words, int n)
{
	unsigned char id[TM_LINE_ROM_SIZE];
	const char *cmd = words[0];
	int present = tm_line_key_present(&tms.line);

	if (!strcmp(cmd, "attach") || !strcmp(cmd, "swap")) {
		if (n != 2 || tms_rom_parse(words[1], id))
			return -EINVAL;
		if (cmd[0] == 'a' && present)
			return -EBUSY;
		if (cmd[0] == 's' && !present)
			return -ENXIO;
		tm_line_attach(&tms.line, id);
		return 0;
	}
	if (!strcmp(cmd, "remove")) {
		if (n != 1)
			return -EINVAL;
		if (!present)
			return -ENXIO;
		tm_line_detach(&tms.line);
		return 0;
	}
	if (!strcmp(cmd, "clear")) {
		if (n != 1)
			return -EINVAL;
		tm_line_clear_faults(&tms.line);
		return 0;
	}
	if (!strcmp(cmd, "fault"))
		return tms_ctl_fault(words, n);
	return -EINVAL;
}

static ssize_t tms_ctl_write(struct file *file, const char __user *ubuf,
			     size_t len, loff_t *ppos)
{
	char line[TMS_CTL_LINE_MAX];
	char *words[TMS_CTL_WORDS_MAX];
	int n, r;

	if (len >= sizeof(line))
		return -EINVAL;
	if (copy_from_user(line, ubuf, len))
		return -EFAULT;
	line[len] = '\0';

	n = tms_split(line, words, TMS_CTL_WORDS_MAX);
	if (n <= 0)
		return -EINVAL;

	if (mutex_lock_interruptible(&tms.dev.lock))
		return -ERESTARTSYS;
	/* The 1-Wire core's operations use the line under its bus_mutex. */
	if (touchm_wire_lock(&tms.dev)) {
		mutex_unlock(&tms.dev.lock);
		return -ERESTARTSYS;
	}
	r = tms_ctl_apply(words, n);
	touchm_wire_unlock(&tms.dev);
	mutex_unlock(&tms.dev.lock);

	pr_info(TOUCHM_NAME ": ctl %s%s%s: %d\n", words[0], n > 1 ? " " : "",
		n > 1 ? words[1] : "", r);
	return r ? r : (ssize_t)len;
}

static int tms_ctl_open(struct inode *inode, struct file *file)
{
	return single_open(file, tms_ctl_show, NULL);
}

static const struct file_operations tms_ctl_fops = {
	.owner = THIS_MODULE,
	.open = tms_ctl_open,
	.read = seq_read,
	.llseek = seq_lseek,
	.write = tms_ctl_write,
	.release = single_release,
};

static ssize_t tms_mem_read(struct file *file, char __user *ubuf,
			    size_t len, loff_t *ppos)
{
	ssize_t r;

	if (mutex_lock_interruptible(&tms.dev.lock))
		return -ERESTARTSYS;
	if (touchm_wire_lock(&tms.dev)) {
		mutex_unlock(&tms.dev.lock);
		return -ERESTARTSYS;
	}
	r = simple_read_from_buffer(ubuf, len, ppos, tms.mem, tms.mem_size);
	touchm_wire_unlock(&tms.dev);
	mutex_unlock(&tms.dev.lock);
	return r;
}

static loff_t tms_mem_llseek(struct file *file, loff_t offset, int whence)
{
	return fixed_size_llseek(file, offset, whence, tms.mem_size);
}

static const struct file_operations tms_mem_fops = {
	.owner = THIS_MODULE,
	.open = simple_open,
	.read = tms_mem_read,
	.llseek = tms_mem_llseek,
};

int tms_ctl_init(void)
{
	tms_dir = debugfs_create_dir(TMS_DEBUGFS_DIR, NULL);
	if (IS_ERR(tms_dir))
		return PTR_ERR(tms_dir);
	debugfs_create_file(TMS_CTL_NAME, TMS_CTL_MODE, tms_dir, NULL,
			    &tms_ctl_fops);
	debugfs_create_file_size(TMS_MEM_NAME, TMS_MEM_MODE, tms_dir, NULL,
				 &tms_mem_fops, tms.mem_size);
	return 0;
}

void tms_ctl_exit(void)
{
	debugfs_remove_recursive(tms_dir);
	tms_dir = NULL;
}
