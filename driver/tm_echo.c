// SPDX-License-Identifier: GPL-2.0
/*
 * The echo ring of the tty backend: see tm_echo.h.
 */
#include "tm_echo.h"

void tm_echo_reset(struct tm_echo *e)
{
	e->head = 0;
	e->len = 0;
	e->overrun = 0;
	e->outstanding = 0;
}

void tm_echo_sent(struct tm_echo *e, unsigned int n)
{
	e->outstanding += n;
}

void tm_echo_push(struct tm_echo *e, const unsigned char *cp,
		  unsigned int count)
{
	unsigned int i, room = TM_ECHO_RING_SIZE - e->len;

	if (count > room) {
		e->overrun = 1;
		count = room;
	}
	for (i = 0; i < count; i++)
		e->ring[(e->head + e->len + i) % TM_ECHO_RING_SIZE] = cp[i];
	e->len += count;
}

int tm_echo_has(const struct tm_echo *e, unsigned int n)
{
	return e->overrun || e->len >= n;
}

int tm_echo_complete(const struct tm_echo *e)
{
	return tm_echo_has(e, e->outstanding);
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
	e->outstanding -= n < e->outstanding ? n : e->outstanding;
	return n;
}
