/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * Recording fakes of everything the velkor transport calls: the serial
 * functions, the line reader, the driver's print function, the kernel's
 * delay and memset. Every call lands, in order, in one call log; each
 * function's results can be scripted call by call.
 */
#ifndef VELKOR_FAKES_H
#define VELKOR_FAKES_H

#include <stddef.h>

#define FAKE_MAX_CALLS	256
#define FAKE_DATA_MAX	128
#define FAKE_TEXT_MAX	128
#define FAKE_SCRIPT_MAX	16

enum fake_kind {
	FAKE_MEMSET,
	FAKE_SERIAL_WRITE,
	FAKE_SERIAL_READ,
	FAKE_READ_1W,
	FAKE_UDELAY,
	FAKE_PRINT,
	FAKE_KINDS
};

struct fake_call {
	enum fake_kind kind;
	const void *port;	/* port record or line handle */
	const void *buf;	/* buffer passed */
	long count;		/* byte count, delay loops, memset length */
	int fill;		/* memset value */
	unsigned char data[FAKE_DATA_MAX]; /* bytes handed to pl2303_write */
	char text[FAKE_TEXT_MAX];	/* formatted DebugPrint message */
};

/* Forget all calls and scripts. */
void fake_reset(void);
/*
 * Results for the next calls of @kind, one per call; once the script is
 * used up a serial function or line reader returns its count.
 */
void fake_script(enum fake_kind kind, const int *results, unsigned int n);
/* Number of calls logged in all, and of one kind. */
unsigned int fake_total(void);
unsigned int fake_count(enum fake_kind kind);
/* The @n-th call (from 0) of @kind, or NULL. */
const struct fake_call *fake_nth(enum fake_kind kind, unsigned int n);
/* Position of that call in the whole log, or -1. */
int fake_index(enum fake_kind kind, unsigned int n);

#endif
