// SPDX-License-Identifier: GPL-2.0
/*
 * The echo ring of the tty backend: see tm_echo.h.
 */
#include "tm_echo.h"

void tm_echo_reset(struct tm_echo *e)
{
	e->head = 0;
	e->len = 0;
	e->outstanding = 0;
}

void tm_echo_begin(struct tm_echo *e)
{
	e->active = 1;
	e->spoiled = 0;
}

int tm_echo_end(struct tm_echo *e)
{
	e->active = 0;
	return e->spoiled;
}

void tm_echo_sent(struct tm_echo *e, unsigned int n)
{
	e->outstanding += n;
}

void tm_echo_unsent(struct tm_echo *e, unsigned int n)
{
	e->outstanding -= n < e->outstanding ? n : e->outstanding;
	if (e->len > e->outstanding) {
		e->len = e->outstanding;
		e->spoiled = 1;
	}
}

void tm_echo_push(struct tm_echo *e, const unsigned char *cp, const char *fp,
		  unsigned int count, struct tm_echo_seen *seen)
{
	unsigned int i;
	int flagged;

	for (i = 0; i < count; i++) {
		flagged = fp && fp[i] != TM_ECHO_FLAG_NORMAL;
		if (flagged)
			seen->flagged++;
		if (e->len >= e->outstanding) {
			/* Not an echo of anything sent. */
			if (e->active) {
				seen->surplus++;
				e->spoiled = 1;
			} else {
				seen->stray++;
			}
			continue;
		}
		if (flagged)
			e->spoiled = 1;
		if (e->len >= TM_ECHO_RING_SIZE) {
			seen->lost++;
			e->spoiled = 1;
			continue;
		}
		e->ring[(e->head + e->len) % TM_ECHO_RING_SIZE] = cp[i];
		e->len++;
	}
}

int tm_echo_has(const struct tm_echo *e, unsigned int n)
{
	return e->spoiled || e->len >= n;
}

int tm_echo_complete(const struct tm_echo *e)
{
	return e->len >= e->outstanding;
}

unsigned int tm_echo_take(struct tm_echo *e, unsigned char *buf,
			  unsigned int count)
{
	unsigned int i, n = count < e->len ? count : e->len;

	for (i = 0; i < n; i++) {
		buf[i] = e->ring[e->head];
		e->head = (e->head + 1) % TM_ECHO_RING_SIZE;
	}
	e->len -= n;
	e->outstanding -= n;
	return n;
}

void tm_echo_discard(struct tm_echo *e)
{
	e->head = (e->head + e->len) % TM_ECHO_RING_SIZE;
	e->outstanding -= e->len;
	e->len = 0;
}
