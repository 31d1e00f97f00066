// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * Tests of the watch's bookkeeping, built from the very source file the
 * module uses: the changes a probe brings (a swap is a removal, then an
 * attach), and an event descriptor's queue, which keeps the newest records
 * and tells the reader how many it lost.
 */
#include <string.h>

#include "ktest.h"
#include "tm_evq.h"

static const unsigned char ROM_A[TOUCHM_ROM_BYTES] = { 0x04, 0xef, 0xbe, 0xad,
						       0xde, 0x00, 0x00, 0xcd };
static const unsigned char ROM_B[TOUCHM_ROM_BYTES] = { 0x28, 0x01, 0x02, 0x03,
						       0x04, 0x05, 0x0a, 0x3d };
static const unsigned char ZERO[TOUCHM_ROM_BYTES];

static struct tm_watch_state state;
static struct touchm_event out[TM_EVQ_CHANGES_MAX];
static struct tm_evq q;

static void test_state_first_key(void)
{
	tm_watch_state_init(&state);
	KT_EQ(tm_watch_state_update(&state, 0, ZERO, out), 0);
	KT_EQ(tm_watch_state_update(&state, 1, ROM_A, out), 1);
	KT_EQ(out[0].kind, TOUCHM_EVENT_ATTACHED);
	KT_MEM(out[0].rom, ROM_A, TOUCHM_ROM_BYTES);
	KT_EQ(out[0].seqno, 0);
	KT_EQ(out[0].lost, 0);
	/* The same key again is no change. */
	KT_EQ(tm_watch_state_update(&state, 1, ROM_A, out), 0);
}

static void test_state_remove_keeps_rom(void)
{
	tm_watch_state_init(&state);
	tm_watch_state_update(&state, 1, ROM_A, out);
	KT_EQ(tm_watch_state_update(&state, 0, ZERO, out), 1);
	KT_EQ(out[0].kind, TOUCHM_EVENT_REMOVED);
	KT_MEM(out[0].rom, ROM_A, TOUCHM_ROM_BYTES);
	KT_EQ(state.present, 0);
	KT_MEM(state.rom, ROM_A, TOUCHM_ROM_BYTES);
	KT_EQ(tm_watch_state_update(&state, 0, ZERO, out), 0);
	/* The same key back is an attach. */
	KT_EQ(tm_watch_state_update(&state, 1, ROM_A, out), 1);
	KT_EQ(out[0].kind, TOUCHM_EVENT_ATTACHED);
}

static void test_state_swap(void)
{
	tm_watch_state_init(&state);
	tm_watch_state_update(&state, 1, ROM_A, out);
	KT_EQ(tm_watch_state_update(&state, 1, ROM_B, out), 2);
	KT_EQ(out[0].kind, TOUCHM_EVENT_REMOVED);
	KT_MEM(out[0].rom, ROM_A, TOUCHM_ROM_BYTES);
	KT_EQ(out[1].kind, TOUCHM_EVENT_ATTACHED);
	KT_MEM(out[1].rom, ROM_B, TOUCHM_ROM_BYTES);
	KT_MEM(state.rom, ROM_B, TOUCHM_ROM_BYTES);
	KT_EQ(state.present, 1);
}

static void push_seq(unsigned int from, unsigned int n)
{
	struct touchm_event ev;
	unsigned int i;

	for (i = 0; i < n; i++) {
		memset(&ev, 0, sizeof(ev));
		ev.seqno = from + i;
		ev.kind = TOUCHM_EVENT_ATTACHED;
		tm_evq_push(&q, &ev);
	}
}

static void test_queue_order(void)
{
	struct touchm_event ev;

	tm_evq_init(&q);
	KT_EQ(tm_evq_pop(&q, &ev), 0);
	push_seq(1, 3);
	KT_EQ(tm_evq_pop(&q, &ev), 1);
	KT_EQ(ev.seqno, 1);
	KT_EQ(ev.lost, 0);
	push_seq(4, 1);
	KT_EQ(tm_evq_pop(&q, &ev), 1);
	KT_EQ(ev.seqno, 2);
	KT_EQ(tm_evq_pop(&q, &ev), 1);
	KT_EQ(ev.seqno, 3);
	KT_EQ(tm_evq_pop(&q, &ev), 1);
	KT_EQ(ev.seqno, 4);
	KT_EQ(tm_evq_pop(&q, &ev), 0);
}

static void test_queue_overflow(void)
{
	struct touchm_event ev;
	unsigned int extra = 6, i;

	tm_evq_init(&q);
	/* Wraps the ring more than once. */
	push_seq(1, 2);
	tm_evq_pop(&q, &ev);
	tm_evq_pop(&q, &ev);
	push_seq(3, TOUCHM_EVENT_QUEUE_LEN + extra);
	KT_EQ(q.len, TOUCHM_EVENT_QUEUE_LEN);
	KT_EQ(tm_evq_pop(&q, &ev), 1);
	KT_EQ(ev.seqno, 3 + extra);
	KT_EQ(ev.lost, extra);
	for (i = 1; i < TOUCHM_EVENT_QUEUE_LEN; i++) {
		KT_EQ(tm_evq_pop(&q, &ev), 1);
		KT_EQ(ev.seqno, 3 + extra + i);
		KT_EQ(ev.lost, 0);
	}
	KT_EQ(tm_evq_pop(&q, &ev), 0);
	/* Losses already told are not told again. */
	push_seq(100, 1);
	KT_EQ(tm_evq_pop(&q, &ev), 1);
	KT_EQ(ev.lost, 0);
}

static void test_queue_unpop(void)
{
	struct touchm_event ev;

	tm_evq_init(&q);
	push_seq(1, TOUCHM_EVENT_QUEUE_LEN + 2);
	KT_EQ(tm_evq_pop(&q, &ev), 1);
	KT_EQ(ev.lost, 2);
	/* Back in front, with its loss. */
	tm_evq_unpop(&q, &ev);
	KT_EQ(q.len, TOUCHM_EVENT_QUEUE_LEN);
	KT_EQ(tm_evq_pop(&q, &ev), 1);
	KT_EQ(ev.seqno, 3);
	KT_EQ(ev.lost, 2);
	/* The queue filled meanwhile: it counts as lost too. */
	push_seq(TOUCHM_EVENT_QUEUE_LEN + 3, 1);
	tm_evq_unpop(&q, &ev);
	KT_EQ(tm_evq_pop(&q, &ev), 1);
	KT_EQ(ev.seqno, 4);
	KT_EQ(ev.lost, 3);
}

int main(void)
{
	KT_RUN(test_state_first_key);
	KT_RUN(test_state_remove_keeps_rom);
	KT_RUN(test_state_swap);
	KT_RUN(test_queue_order);
	KT_RUN(test_queue_overflow);
	KT_RUN(test_queue_unpop);
	return ktest_report();
}
