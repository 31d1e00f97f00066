/* SPDX-License-Identifier: GPL-2.0 */
/*
 * tm_echo - the echoes of a serial 1-Wire line on their way from the tty
 * to the request: a ring of received bytes and the count of bytes sent
 * whose echoes are still due. The tty backend holds its lock around every
 * call; nothing here sleeps or needs the kernel, so user-space tests build
 * the same file.
 */
#ifndef TM_ECHO_H
#define TM_ECHO_H

/*
 * A request has at most 256 (TM_CORE_SLOTS_IN_FLIGHT) bytes outstanding;
 * the ring holds four times that, so noise on the line cannot crowd them
 * out.
 */
#define TM_ECHO_RING_SIZE	1024u

/**
 * struct tm_echo - received bytes and the echoes still due
 * @ring:        bytes received, oldest at @head
 * @head:        index of the oldest byte
 * @len:         bytes in @ring
 * @overrun:     bytes were lost because @ring was full
 * @outstanding: bytes sent whose echoes have not been taken
 */
struct tm_echo {
	unsigned char ring[TM_ECHO_RING_SIZE];
	unsigned int head;
	unsigned int len;
	int overrun;
	unsigned int outstanding;
};

/* Empties the ring and forgets the echoes due. */
void tm_echo_reset(struct tm_echo *e);
/* @n more bytes went out; their echoes are due. */
void tm_echo_sent(struct tm_echo *e, unsigned int n);
/* Stores received bytes; what does not fit is lost and marks an overrun. */
void tm_echo_push(struct tm_echo *e, const unsigned char *cp,
		  unsigned int count);
/* Whether waiting is over: every echo due is in, or some were lost. */
int tm_echo_complete(const struct tm_echo *e);
/* Whether waiting for @n echoes is over: they are in, or some were lost. */
int tm_echo_has(const struct tm_echo *e, unsigned int n);
/*
 * Takes the oldest bytes, at most @count, into @buf; they settle as many
 * echoes due (never below none). Returns how many were taken.
 */
unsigned int tm_echo_take(struct tm_echo *e, unsigned char *buf,
			  unsigned int count);

#endif /* TM_ECHO_H */
