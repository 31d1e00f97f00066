// SPDX-License-Identifier: GPL-2.0
/*
 * touchm's simulated line (module parameter sim=1): /dev/touchm0 served
 * through the transaction core over a simulated PL2303 adapter, 1-Wire
 * line and key inside the module, for tests without hardware.
 *
 * Module parameters (read-only once loaded):
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
#include <linux/vmalloc.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "touchm_sim.h"

#define TMS_MEM_SIZE_DEFAULT	512u
#define TMS_ROM_DEFAULT		"04efbeadde0000cd"
#define TMS_ROM_NONE		"none"
#define TMS_ROM_TEXT_LEN	(2 * TM_LINE_ROM_SIZE)
/* What a fresh key memory holds, followed by zero bytes. */
#define TMS_MEMORY_TEXT		"touch-memory key 0108: hello\n"
/*
 * The same access as any line: the simulated line's waits spin, so an
 * open node would let anyone keep a CPU busy in the kernel.
 */
#define TMS_NODE_MODE		0660

static char *rom = TMS_ROM_DEFAULT;
module_param(rom, charp, 0444);
MODULE_PARM_DESC(rom, "simulated key at load: 16 hex digits, family first, or \"none\"");

static unsigned int mem_size = TMS_MEM_SIZE_DEFAULT;
module_param(mem_size, uint, 0444);
MODULE_PARM_DESC(mem_size, "simulated key memory in bytes, 0 to 65536 (default 512)");

struct tms_state tms;

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

/* The kernel really spends the busy-waits; nothing counts them here. */
void tm_line_plat_delays(unsigned long long *calls, unsigned long long *us)
{
	*calls = 0;
	*us = 0;
}

/* The line lives as long as the module; nothing to free per reference. */
static void tms_release(struct touchm_dev *dev)
{
}

int touchm_sim_init(void)
{
	unsigned char id[TM_LINE_ROM_SIZE];
	int have_key = strcmp(rom, TMS_ROM_NONE) != 0;
	int r;

	if (mem_size > TM_LINE_MEM_MAX) {
		pr_err(TOUCHM_NAME ": mem_size %u is over %u\n", mem_size,
		       TM_LINE_MEM_MAX);
		return -EINVAL;
	}
	if (have_key && tms_rom_parse(rom, id)) {
		pr_err(TOUCHM_NAME ": rom \"%s\" is not 16 hex digits\n", rom);
		return -EINVAL;
	}

	tms.mem_size = mem_size;
	tms.mem = vzalloc(max(mem_size, 1u));
	if (!tms.mem)
		return -ENOMEM;
	memcpy(tms.mem, TMS_MEMORY_TEXT,
	       min_t(size_t, mem_size, sizeof(TMS_MEMORY_TEXT) - 1));

	r = tm_line_init(&tms.line, have_key ? id : NULL, tms.mem, mem_size);
	if (r)
		goto free_mem;
	touchm_dev_init(&tms.dev, &tms.line.bus, tms_release);
	r = tms_ctl_init();
	if (r)
		goto free_mem;
	r = touchm_dev_register(&tms.dev, TMS_NODE_MODE);
	if (r)
		goto ctl_exit;

	pr_info(TOUCHM_NAME ": /dev/%s ready on the simulated line, key %s, %u bytes of memory\n",
		tms.dev.name, have_key ? rom : TMS_ROM_NONE, mem_size);
	return 0;

ctl_exit:
	tms_ctl_exit();
free_mem:
	vfree(tms.mem);
	return r;
}

void touchm_sim_exit(void)
{
	touchm_dev_unregister(&tms.dev);
	touchm_dev_put(&tms.dev);
	tms_ctl_exit();
	vfree(tms.mem);
}
