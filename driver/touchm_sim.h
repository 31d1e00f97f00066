/* SPDX-License-Identifier: GPL-2.0 */
/*
 * touchm - the reference touch-memory driver with its simulated line:
 * /dev/touchm0 served by the line-level driver core (sim/line) over the
 * velkor transport, with a simulated PL2303 adapter, 1-Wire line and key
 * inside the module (module parameter sim=1).
 *
 * One line with one key slot; one mutex serialises every request on it,
 * whichever descriptor it comes from, and every control command.
 */
#ifndef TOUCHM_SIM_H
#define TOUCHM_SIM_H

#include <linux/mutex.h>

#include "tm_line.h"
#include "tm_line_core.h"

#define TMS_NAME		"touchm"
#define TMS_DEVICE_NAME		"touchm0"
#define TMS_DEBUGFS_DIR		"touchm"
#define TMS_CTL_NAME		"ctl"

/* Requests of the touch-memory device. */
#define TMS_REQ_PRESENCE	0x414C544AU
#define TMS_REQ_READ_ROM	0x414C544BU
#define TMS_REQ_RESET		0x414C544CU
#define TMS_REQ_SKIP_ROM	0x414C544DU

/* What the requests and transfers served so far came to. */
enum tms_req_kind {
	TMS_KIND_PRESENCE,
	TMS_KIND_ROM,
	TMS_KIND_RESET,
	TMS_KIND_SKIP,
	TMS_KIND_READ,
	TMS_KIND_WRITE,
	TMS_KIND_COUNT
};

struct tms_state {
	struct mutex lock;		/* guards everything below */
	struct tm_line line;
	unsigned char *mem;		/* key memory, mem_size bytes */
	unsigned int mem_size;
	unsigned long served[TMS_KIND_COUNT];
	unsigned long failed[TMS_KIND_COUNT];
};

extern struct tms_state tms;

/* The kind's name as the control file shows it. */
const char *tms_kind_name(enum tms_req_kind kind);

/* 16 hex digits, byte 0 first, into @rom; 0 or -EINVAL (@rom untouched). */
int tms_rom_parse(const char *text, unsigned char *rom);

/* The debugfs control file (touchm_sim_ctl.c). */
int tms_ctl_init(void);
void tms_ctl_exit(void);

#endif /* TOUCHM_SIM_H */
