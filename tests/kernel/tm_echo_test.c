// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * Tests of the tty backend's echo ring, built from the very source file the
 * module uses: a request waits for the echoes of what it sent, never for
 * what it asked, takes at most what it asked; a byte flagged by the tty, a
 * byte beyond the echoes due or one that does not fit spoils the request,
 * and bytes between requests are counted and dropped.
 */
#include <string.h>

#include "ktest.h"
#include "tm_echo.h"

/* What velkor sends for eight data bytes, and what it then asks back. */
#define GROUP_SENT	64u
#define GROUP_ASKED	128u

static struct tm_echo echo;
static struct tm_echo_seen seen;

/* A clean line with a request running on it. */
static void start(void)
{
	tm_echo_reset(&echo);
	tm_echo_begin(&echo);
	memset(&seen, 0, sizeof(seen));
}

static void fill(unsigned char *buf, unsigned int n, unsigned char first)
{
	unsigned int i;

	for (i = 0; i < n; i++)
		buf[i] = (unsigned char)(first + i);
}

static void a_group_is_complete_with_its_echoes_not_the_asked_count(void)
{
	unsigned char in[GROUP_SENT], out[GROUP_ASKED];

	start();
	KT_CHECK(tm_echo_complete(&echo));	/* nothing due */
	tm_echo_sent(&echo, GROUP_SENT);
	KT_CHECK(!tm_echo_complete(&echo));
	fill(in, sizeof(in), 0x10);
	tm_echo_push(&echo, in, NULL, GROUP_SENT - 1, &seen);
	KT_CHECK(!tm_echo_complete(&echo));
	tm_echo_push(&echo, in + GROUP_SENT - 1, NULL, 1, &seen);
	KT_CHECK(tm_echo_complete(&echo));

	KT_EQ(tm_echo_take(&echo, out, GROUP_ASKED), GROUP_SENT);
	KT_MEM(out, in, GROUP_SENT);
	KT_EQ(echo.outstanding, 0);
	KT_EQ(echo.len, 0);
}

static void a_take_moves_at_most_the_asked_count_in_order(void)
{
	unsigned char in[5], out[5];

	start();
	tm_echo_sent(&echo, sizeof(in));
	fill(in, sizeof(in), 0xA0);
	tm_echo_push(&echo, in, NULL, sizeof(in), &seen);
	KT_EQ(tm_echo_take(&echo, out, 2), 2);
	KT_MEM(out, in, 2);
	KT_EQ(echo.outstanding, 3);
	KT_CHECK(tm_echo_complete(&echo));
	KT_EQ(tm_echo_take(&echo, out, 0), 0);
	KT_EQ(tm_echo_take(&echo, out, sizeof(out)), 3);
	KT_MEM(out, in + 2, 3);
	KT_EQ(echo.outstanding, 0);
}

/* With later groups still on the line, the first one's echoes are enough. */
static void a_wait_for_one_group_ends_before_the_later_ones_are_in(void)
{
	unsigned char in[GROUP_SENT], out[GROUP_SENT];

	start();
	tm_echo_sent(&echo, 3 * GROUP_SENT);
	fill(in, sizeof(in), 0x40);
	tm_echo_push(&echo, in, NULL, GROUP_SENT - 1, &seen);
	KT_CHECK(!tm_echo_has(&echo, GROUP_SENT));
	tm_echo_push(&echo, in + GROUP_SENT - 1, NULL, 1, &seen);
	KT_CHECK(tm_echo_has(&echo, GROUP_SENT));
	KT_CHECK(!tm_echo_complete(&echo));
	KT_EQ(tm_echo_take(&echo, out, GROUP_SENT), GROUP_SENT);
	KT_MEM(out, in, GROUP_SENT);
	KT_EQ(echo.outstanding, 2 * GROUP_SENT);
	KT_CHECK(!tm_echo_has(&echo, GROUP_SENT));
}

/*
 * A byte beyond the echoes due during a request is a byte slipped into the
 * stream: it spoils the request, and it is neither stored nor taken.
 */
static void a_byte_beyond_the_echoes_due_spoils_the_request(void)
{
	unsigned char in[4] = { 0xFF, 0x00, 0xFF, 0x00 }, out[4];

	start();
	tm_echo_sent(&echo, 3);
	tm_echo_push(&echo, in, NULL, sizeof(in), &seen);
	KT_EQ(seen.surplus, 1);
	KT_EQ(echo.len, 3);
	KT_CHECK(echo.spoiled);
	KT_CHECK(tm_echo_has(&echo, 100));	/* a waiter stops waiting */
	KT_EQ(tm_echo_take(&echo, out, sizeof(out)), 3);
	KT_CHECK(tm_echo_end(&echo));
	/* The next request starts clean. */
	start();
	KT_CHECK(!echo.spoiled);
	KT_CHECK(!tm_echo_end(&echo));
}

/* Between requests nothing is due: what comes is stray, counted, dropped. */
static void bytes_between_requests_are_stray_and_dropped(void)
{
	unsigned char in[8], flags[8] = { 0, 1, 0, 0, 0, 0, 0, 2 };

	start();
	KT_CHECK(!tm_echo_end(&echo));
	fill(in, sizeof(in), 1);
	tm_echo_push(&echo, in, (const char *)flags, sizeof(in), &seen);
	KT_EQ(seen.stray, 8);
	KT_EQ(seen.flagged, 2);
	KT_EQ(seen.surplus, 0);
	KT_EQ(echo.len, 0);
	KT_CHECK(!echo.spoiled);
	KT_EQ(echo.outstanding, 0);
}

/*
 * The tty flags a byte received badly (break, framing, parity, overrun):
 * it stands in the place of an echo but spoils the request.
 */
static void a_flagged_echo_spoils_the_request_in_its_place(void)
{
	unsigned char in[3] = { 0xFF, 0x00, 0xFF }, out[3];
	const char flags[3] = { 0, 3, 0 };

	start();
	tm_echo_sent(&echo, 3);
	tm_echo_push(&echo, in, flags, 2, &seen);
	KT_CHECK(echo.spoiled);
	KT_EQ(seen.flagged, 1);
	KT_EQ(echo.len, 2);
	tm_echo_push(&echo, in + 2, flags + 2, 1, &seen);
	KT_EQ(seen.surplus, 0);
	KT_CHECK(tm_echo_complete(&echo));
	KT_EQ(tm_echo_take(&echo, out, sizeof(out)), 3);
	KT_CHECK(tm_echo_end(&echo));
}

/*
 * A failed request's echoes still on their way stay due after the bytes
 * in hand are dropped, so that the next request's flush waits for them
 * instead of taking them for its own; taken back, unsent bytes owe nothing.
 */
static void dropped_and_unsent_bytes_keep_the_count_of_echoes_right(void)
{
	unsigned char in[10] = { 0 };

	start();
	tm_echo_sent(&echo, 10);
	tm_echo_push(&echo, in, NULL, 4, &seen);
	tm_echo_discard(&echo);
	KT_EQ(echo.len, 0);
	KT_EQ(echo.outstanding, 6);
	KT_CHECK(!tm_echo_complete(&echo));
	tm_echo_end(&echo);
	/* They come in after the request ended: still echoes, not stray. */
	tm_echo_push(&echo, in, NULL, 6, &seen);
	KT_EQ(seen.stray, 0);
	KT_CHECK(tm_echo_complete(&echo));

	start();
	tm_echo_sent(&echo, 8);
	tm_echo_push(&echo, in, NULL, 5, &seen);
	tm_echo_unsent(&echo, 2);	/* 6 went out: all is well */
	KT_CHECK(!echo.spoiled);
	tm_echo_unsent(&echo, 2);	/* only 4 went out, 5 echoes came */
	KT_CHECK(echo.spoiled);
	KT_EQ(echo.len, echo.outstanding);
}

/* Many groups through the ring: every byte comes out as it went in. */
static void the_ring_keeps_order_across_its_end(void)
{
	unsigned char in[GROUP_SENT], out[GROUP_SENT];
	unsigned int round, bad = 0;

	start();
	for (round = 0; round < 3 * TM_ECHO_RING_SIZE / 7; round++) {
		fill(in, 7 + round % 11, (unsigned char)(round * 13));
		tm_echo_sent(&echo, 7 + round % 11);
		tm_echo_push(&echo, in, NULL, 7 + round % 11, &seen);
		if (!tm_echo_complete(&echo) ||
		    tm_echo_take(&echo, out, GROUP_SENT) != 7 + round % 11 ||
		    memcmp(out, in, 7 + round % 11))
			bad++;
	}
	KT_EQ(bad, 0);
	KT_EQ(seen.surplus + seen.stray + seen.lost, 0);
}

int main(void)
{
	KT_RUN(a_group_is_complete_with_its_echoes_not_the_asked_count);
	KT_RUN(a_take_moves_at_most_the_asked_count_in_order);
	KT_RUN(a_wait_for_one_group_ends_before_the_later_ones_are_in);
	KT_RUN(a_byte_beyond_the_echoes_due_spoils_the_request);
	KT_RUN(bytes_between_requests_are_stray_and_dropped);
	KT_RUN(a_flagged_echo_spoils_the_request_in_its_place);
	KT_RUN(dropped_and_unsent_bytes_keep_the_count_of_echoes_right);
	KT_RUN(the_ring_keeps_order_across_its_end);
	return ktest_report();
}
