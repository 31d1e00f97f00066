/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Inside the simulated line: the key model, the adapter and the record
 * that ties them to the driver core's bus. Plain C that includes only kernel
 * headers (or their user-space stand-ins), so the same files build into a
 * kernel module.
 */
#ifndef TM_LINE_CORE_H
#define TM_LINE_CORE_H

#include "tm_core.h"
#include "tm_line.h"

#define TM_SCRATCH_SIZE		TM_LINE_PAGE_SIZE
#define TM_FIFO_SIZE		256

/* Bits of the reset echo the presence pulse pulls low. */
#define TM_PRESENCE_MASK	0x30
/*
 * A data slot: the key samples the line in the frame's first data bit;
 * the echo's low nibble shows the level then, its high nibble what the
 * master drove late in the slot.
 */
#define TM_SLOT_SAMPLE_BIT	0x01
#define TM_ECHO_EARLY		0x0F
#define TM_ECHO_LATE		0xF0

enum tm_key_state {
	TM_KEY_IDLE,		/* ignores the line until the next reset */
	TM_KEY_ROM_CMD,		/* receiving the ROM command */
	TM_KEY_SEND_ROM,	/* sending its eight ROM bytes */
	TM_KEY_FUNC_CMD,	/* selected: receiving a memory command */
	TM_KEY_READ_ADDR,	/* Read Memory: receiving TA1, TA2 */
	TM_KEY_SEND_MEM,	/* Read Memory: sending from the address on */
	TM_KEY_WRITE_ADDR,	/* Write Scratchpad: receiving TA1, TA2 */
	TM_KEY_WRITE_DATA,	/* Write Scratchpad: receiving data */
	TM_KEY_SEND_SCRATCH,	/* Read Scratchpad: TA1, TA2, E/S, data */
	TM_KEY_COPY_AUTH,	/* Copy Scratchpad: receiving TA1, TA2, E/S */
};

struct tm_key {
	int present;
	unsigned char rom[TM_LINE_ROM_SIZE];
	unsigned char *mem;
	unsigned int mem_size;
	unsigned char scratch[TM_SCRATCH_SIZE];
	unsigned char ta1, ta2, es;	/* target address, ending offset */
	unsigned char auth[3];		/* what Copy Scratchpad received */
	unsigned int wr_offset;		/* next scratchpad byte written */
	unsigned int addr;		/* next memory byte sent */
	enum tm_key_state state;
	unsigned char shift;		/* byte being received or sent */
	unsigned int nbits;		/* its bits done */
	unsigned int index;		/* bytes done in this state */
};

struct tm_slot_fault {
	int armed;
	unsigned int slot;
	unsigned int skip;		/* transactions to let pass first */
	unsigned int times;		/* 0: every time */
};

struct tm_serial_fault {
	int err;			/* 0: off */
	unsigned int skip;
	unsigned int times;		/* 0: every call */
};

struct tm_wire {
	unsigned int baud;
	unsigned char fifo[TM_FIFO_SIZE];	/* echoes not yet read */
	unsigned int fifo_head;
	unsigned int fifo_len;
	unsigned int slot;		/* data slots since the last reset */
	int shorted;
	struct tm_slot_fault flip;
	struct tm_slot_fault remove;
	struct tm_serial_fault wr_fault;
	struct tm_serial_fault rd_fault;
};

struct tm_line {
	struct tm_bus bus;
	struct tm_key key;
	struct tm_wire wire;
	struct tm_line_stats stats;
};

/* Key model (tm_key.c). */
void tm_key_init(struct tm_key *key, unsigned char *mem,
		 unsigned int mem_size);
void tm_key_attach(struct tm_key *key, const unsigned char *rom);
/* A reset pulse; returns 1 when the key answers with presence. */
int tm_key_reset(struct tm_key *key);
/* Whether the key holds the line low in the coming slot. */
int tm_key_pulls_low(const struct tm_key *key);
/* The slot ends; @level is what the line carried when the key sampled. */
void tm_key_clock(struct tm_key *key, int level);

/* Adapter (tm_pl2303.c): the bus operations of the simulated line. */
extern const struct tm_bus_ops tm_pl2303_ops;

/*
 * Platform: the busy-wait calls so far in this process and the time they
 * stand for, in microseconds. User space counts them; a kernel build may
 * report zeros.
 */
void tm_line_plat_delays(unsigned long long *calls, unsigned long long *us);

#endif /* TM_LINE_CORE_H */
