// SPDX-License-Identifier: GPL-2.0
/*
 * What the kernel would supply, for the user-space build of the line:
 * busy-waits that are counted instead of spent, the driver's print
 * function handing messages to a sink, and allocation of a line.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "tm_line_core.h"

void __const_udelay(unsigned long xloops);

#define TM_LOG_TEXT_MAX	256
#define TM_LEVEL_SOH	'\001'
/* 2^32 loops of __const_udelay() are one second. */
#define TM_LOOPS_SHIFT	32
#define TM_US_PER_S	1000000ull

static unsigned long long tm_delay_calls;
static unsigned long long tm_delay_us;
static tm_line_log_fn tm_log_fn;
static void *tm_log_ctx;

/* Each call counts as the whole microseconds it stands for, rounded. */
void __const_udelay(unsigned long xloops)
{
	tm_delay_calls++;
	tm_delay_us += ((unsigned long long)xloops * TM_US_PER_S +
			(1ull << (TM_LOOPS_SHIFT - 1))) >> TM_LOOPS_SHIFT;
}

void tm_line_plat_delays(unsigned long long *calls, unsigned long long *us)
{
	*calls = tm_delay_calls;
	*us = tm_delay_us;
}

void DebugPrint(const char *fmt, ...)
{
	char text[TM_LOG_TEXT_MAX];
	const char *body = text;
	int level = -1;
	va_list ap;

	if (!tm_log_fn)
		return;
	va_start(ap, fmt);
	vsnprintf(text, sizeof(text), fmt, ap);
	va_end(ap);
	if (text[0] == TM_LEVEL_SOH && text[1] >= '0' && text[1] <= '7') {
		level = text[1] - '0';
		body = text + 2;
	}
	tm_log_fn(tm_log_ctx, level, body);
}

void tm_line_set_log(tm_line_log_fn fn, void *ctx)
{
	tm_log_fn = fn;
	tm_log_ctx = ctx;
}

struct tm_line *tm_line_new(void)
{
	return calloc(1, sizeof(struct tm_line));
}

void tm_line_free(struct tm_line *line)
{
	free(line);
}
