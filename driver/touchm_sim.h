/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The simulated line of touchm (module parameter sim=1): a PL2303 adapter,
 * 1-Wire line and key inside the module, the same C sources as the
 * user-space stand-in's line level, with debugfs control and memory files.
 */
#ifndef TOUCHM_SIM_H
#define TOUCHM_SIM_H

#include "touchm.h"
#include "tm_line.h"
#include "tm_line_core.h"

#define TMS_DEBUGFS_DIR		"touchm"
#define TMS_CTL_NAME		"ctl"
#define TMS_MEM_NAME		"mem"

struct tms_state {
	struct touchm_dev dev;		/* dev.lock guards the line too */
	struct tm_line line;
	unsigned char *mem;		/* key memory, mem_size bytes */
	unsigned int mem_size;
};

extern struct tms_state tms;

/* 16 hex digits, byte 0 first, into @rom; 0 or -EINVAL (@rom untouched). */
int tms_rom_parse(const char *text, unsigned char *rom);

/* The simulated line at module start and end (touchm_main.c). */
int touchm_sim_init(void);
void touchm_sim_exit(void);

/* The debugfs control and memory files (touchm_sim_ctl.c). */
int tms_ctl_init(void);
void tms_ctl_exit(void);

#endif /* TOUCHM_SIM_H */
