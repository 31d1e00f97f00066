/*
 * Tests of the tty backend's echo ring, built from the very source file the
 * module uses: a request waits for the echoes of what it sent, never for
 * what it asked, takes at most what it asked, and bytes that do not fit
 * make the wait end in an error instead of a hang.
 */
#include <string.h>

#include "ktest.h"
#include "tm_echo.h"

/* What velkor sends for eight data bytes, and what it then asks back. */
#define GROUP_SENT	64u
#define GROUP_ASKED	128u

static struct tm_echo echo;

static void fill(unsigned char *buf, unsigned int n, unsigned char first)
{
	unsigned int i;

	for (i = 0; i < n; i++)
		buf[i] = (unsigned char)(first + i);
}

static void a_group_is_complete_with_its_echoes_not_the_asked_count(void)
{
	unsigned char in[GROUP_SENT], out[GROUP_ASKED];

	tm_echo_reset(&echo);
	KT_CHECK(tm_echo_complete(&echo));	/* nothing due */
	tm_echo_sent(&echo, GROUP_SENT);
	KT_CHECK(!tm_echo_complete(&echo));
	fill(in, sizeof(in), 0x10);
	tm_echo_push(&echo, in, GROUP_SENT - 1);
	KT_CHECK(!tm_echo_complete(&echo));
	tm_echo_push(&echo, in + GROUP_SENT - 1, 1);
	KT_CHECK(tm_echo_complete(&echo));

	KT_EQ(tm_echo_take(&echo, out, GROUP_ASKED), GROUP_SENT);
	KT_MEM(out, in, GROUP_SENT);
	KT_EQ(echo.outstanding, 0);
	KT_EQ(echo.len, 0);
}

static void a_take_moves_at_most_the_asked_count_in_order(void)
{
	unsigned char in[5], out[5];

	tm_echo_reset(&echo);
	tm_echo_sent(&echo, sizeof(in));
	fill(in, sizeof(in), 0xA0);
	tm_echo_push(&echo, in, sizeof(in));
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

	tm_echo_reset(&echo);
	tm_echo_sent(&echo, 3 * GROUP_SENT);
	fill(in, sizeof(in), 0x40);
	tm_echo_push(&echo, in, GROUP_SENT - 1);
	KT_CHECK(!tm_echo_has(&echo, GROUP_SENT));
	tm_echo_push(&echo, in + GROUP_SENT - 1, 1);
	KT_CHECK(tm_echo_has(&echo, GROUP_SENT));
	KT_CHECK(!tm_echo_complete(&echo));
	KT_EQ(tm_echo_take(&echo, out, GROUP_SENT), GROUP_SENT);
	KT_MEM(out, in, GROUP_SENT);
	KT_EQ(echo.outstanding, 2 * GROUP_SENT);
	KT_CHECK(!tm_echo_has(&echo, GROUP_SENT));
}

/* Bytes nobody sent (noise) settle no more echoes than are due. */
static void stray_bytes_never_leave_echoes_owed(void)
{
	unsigned char in[8], out[8];

	tm_echo_reset(&echo);
	fill(in, sizeof(in), 1);
	tm_echo_push(&echo, in, 3);
	tm_echo_sent(&echo, 1);
	KT_EQ(tm_echo_take(&echo, out, sizeof(out)), 3);
	KT_EQ(echo.outstanding, 0);
	tm_echo_sent(&echo, 2);
	KT_CHECK(!tm_echo_complete(&echo));
}

/* Many groups through the ring: every byte comes out as it went in. */
static void the_ring_keeps_order_across_its_end(void)
{
	unsigned char in[GROUP_SENT], out[GROUP_SENT];
	unsigned int round, bad = 0;

	tm_echo_reset(&echo);
	for (round = 0; round < 3 * TM_ECHO_RING_SIZE / 7; round++) {
		fill(in, 7 + round % 11, (unsigned char)(round * 13));
		tm_echo_sent(&echo, 7 + round % 11);
		tm_echo_push(&echo, in, 7 + round % 11);
		if (!tm_echo_complete(&echo) ||
		    tm_echo_take(&echo, out, GROUP_SENT) != 7 + round % 11 ||
		    memcmp(out, in, 7 + round % 11))
			bad++;
	}
	KT_EQ(bad, 0);
	KT_EQ(echo.overrun, 0);
}

/* A full ring loses bytes: the wait ends, and a reset starts clean. */
static void bytes_that_do_not_fit_end_the_wait_as_an_overrun(void)
{
	static unsigned char in[TM_ECHO_RING_SIZE + 1], out[TM_ECHO_RING_SIZE];

	tm_echo_reset(&echo);
	tm_echo_sent(&echo, sizeof(in));
	fill(in, sizeof(in), 0);
	tm_echo_push(&echo, in, TM_ECHO_RING_SIZE);
	KT_EQ(echo.overrun, 0);
	tm_echo_push(&echo, in + TM_ECHO_RING_SIZE, 1);
	KT_EQ(echo.overrun, 1);
	KT_EQ(echo.len, TM_ECHO_RING_SIZE);
	KT_CHECK(tm_echo_complete(&echo));

	tm_echo_reset(&echo);
	KT_EQ(echo.overrun, 0);
	KT_EQ(echo.outstanding, 0);
	KT_EQ(tm_echo_take(&echo, out, sizeof(out)), 0);
}

int main(void)
{
	KT_RUN(a_group_is_complete_with_its_echoes_not_the_asked_count);
	KT_RUN(a_take_moves_at_most_the_asked_count_in_order);
	KT_RUN(a_wait_for_one_group_ends_before_the_later_ones_are_in);
	KT_RUN(stray_bytes_never_leave_echoes_owed);
	KT_RUN(the_ring_keeps_order_across_its_end);
	KT_RUN(bytes_that_do_not_fit_end_the_wait_as_an_overrun);
	return ktest_report();
}
