/* SPDX-License-Identifier: GPL-2.0 */
/*
 * tm_echo - the echoes of a serial 1-Wire line on their way from the tty
 * to the request: a ring of received bytes, the count of bytes sent whose
 * echoes are still due, and the judgement of every byte that arrives.
 *
 * The line echoes each byte sent, exactly once. So a byte that arrives
 * while none is due is not an echo: during a request it is surplus (a
 * stray byte in the stream, which shifts every echo after it), between
 * requests it is stray noise. Neither is stored. A byte the tty flags
 * (break, framing, parity, overrun) is stored in its place but spoils the
 * request. A spoiled request fails at its next take; only the start of the
 * next request clears the mark.
 *
 * The tty backend holds its lock around every call; nothing here sleeps or
 * needs the kernel, so user-space tests build the same file.
 */
#ifndef TM_ECHO_H
#define TM_ECHO_H

/*
 * A request has at most 256 (TM_CORE_SLOTS_IN_FLIGHT) bytes outstanding,
 * and only bytes due are stored; the ring holds four times that.
 */
#define TM_ECHO_RING_SIZE	1024u

/* Per-byte flag of a byte received without error (the tty's TTY_NORMAL). */
#define TM_ECHO_FLAG_NORMAL	0

/**
 * struct tm_echo_seen - what one delivery of received bytes brought
 * @flagged: bytes the tty flagged
 * @stray:   bytes while no request ran and none was due, dropped
 * @surplus: bytes during a request beyond the echoes due, dropped
 * @lost:    bytes due that found the ring full
 */
struct tm_echo_seen {
	unsigned int flagged;
	unsigned int stray;
	unsigned int surplus;
	unsigned int lost;
};

/**
 * struct tm_echo - received bytes and the echoes still due
 * @ring:        bytes received, oldest at @head
 * @head:        index of the oldest byte
 * @len:         bytes in @ring; never more than @outstanding
 * @outstanding: bytes sent whose echoes have not been taken
 * @active:      a request runs on the line
 * @spoiled:     since the request began, a byte arrived flagged, beyond
 *               the echoes due, or found the ring full
 */
struct tm_echo {
	unsigned char ring[TM_ECHO_RING_SIZE];
	unsigned int head;
	unsigned int len;
	unsigned int outstanding;
	int active;
	int spoiled;
};

/* Empties the ring and forgets the echoes due; @active and @spoiled stay. */
void tm_echo_reset(struct tm_echo *e);
/* A request begins: nothing spoiled yet. Call after tm_echo_reset(). */
void tm_echo_begin(struct tm_echo *e);
/*
 * The request ends; returns whether it was spoiled. Echoes still due (of
 * a request cut short) stay due, for the next request to wait out.
 */
int tm_echo_end(struct tm_echo *e);
/* @n more bytes are about to go out; their echoes are due. */
void tm_echo_sent(struct tm_echo *e, unsigned int n);
/*
 * @n of the bytes announced by tm_echo_sent() did not go out after all. An
 * echo stored meanwhile beyond those still due spoils the request.
 */
void tm_echo_unsent(struct tm_echo *e, unsigned int n);
/*
 * Judges and stores received bytes; @fp holds a flag per byte (NULL: all
 * normal). Adds what it saw to @seen.
 */
void tm_echo_push(struct tm_echo *e, const unsigned char *cp, const char *fp,
		  unsigned int count, struct tm_echo_seen *seen);
/*
 * Whether every echo due is in, spoiled or not: what a flush waits for
 * before it drops them.
 */
int tm_echo_complete(const struct tm_echo *e);
/* Whether waiting for @n echoes is over: they are in, or spoiled. */
int tm_echo_has(const struct tm_echo *e, unsigned int n);
/*
 * Takes the oldest bytes, at most @count, into @buf; they settle as many
 * echoes due. Returns how many were taken.
 */
unsigned int tm_echo_take(struct tm_echo *e, unsigned char *buf,
			  unsigned int count);
/*
 * Drops the bytes stored (they settle as many echoes due) and keeps the
 * rest due, so that a failed request's late echoes are waited out rather
 * than taken for the next one's.
 */
void tm_echo_discard(struct tm_echo *e);

#endif /* TM_ECHO_H */
