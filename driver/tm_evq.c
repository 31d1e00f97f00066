// SPDX-License-Identifier: GPL-2.0
/*
 * tm_evq - key states, their changes and event queues (see tm_evq.h).
 */
#include "tm_evq.h"

static void tm_rom_copy(unsigned char *to, const unsigned char *from)
{
	unsigned int i;

	for (i = 0; i < TOUCHM_ROM_BYTES; i++)
		to[i] = from ? from[i] : 0;
}

static int tm_rom_same(const unsigned char *a, const unsigned char *b)
{
	unsigned int i;

	for (i = 0; i < TOUCHM_ROM_BYTES; i++)
		if (a[i] != b[i])
			return 0;
	return 1;
}

void tm_watch_state_init(struct tm_watch_state *s)
{
	s->present = 0;
	tm_rom_copy(s->rom, (const unsigned char *)0);
}

/* A record of @kind for @rom, the rest zero. */
static void tm_event_make(struct touchm_event *ev, unsigned int kind,
			  const unsigned char *rom)
{
	struct touchm_event blank = { 0 };

	*ev = blank;
	ev->kind = (__u16)kind;
	tm_rom_copy(ev->rom, rom);
}

unsigned int tm_watch_state_update(struct tm_watch_state *s, int present,
				 const unsigned char *rom,
				 struct touchm_event *out)
{
	unsigned int n = 0;

	if (s->present && (!present || !tm_rom_same(s->rom, rom)))
		tm_event_make(&out[n++], TOUCHM_EVENT_REMOVED, s->rom);
	if (present && (!s->present || !tm_rom_same(s->rom, rom))) {
		tm_event_make(&out[n++], TOUCHM_EVENT_ATTACHED, rom);
		tm_rom_copy(s->rom, rom);
	}
	/* Gone, the key's ROM stays: the state tells which key went. */
	s->present = present;
	return n;
}

void tm_evq_init(struct tm_evq *q)
{
	q->head = 0;
	q->len = 0;
	q->lost = 0;
}

void tm_evq_push(struct tm_evq *q, const struct touchm_event *ev)
{
	if (q->len == TOUCHM_EVENT_QUEUE_LEN) {
		q->head = (q->head + 1) % TOUCHM_EVENT_QUEUE_LEN;
		q->len--;
		q->lost++;
	}
	q->ev[(q->head + q->len) % TOUCHM_EVENT_QUEUE_LEN] = *ev;
	q->len++;
}

int tm_evq_pop(struct tm_evq *q, struct touchm_event *out)
{
	if (!q->len)
		return 0;
	*out = q->ev[q->head];
	out->lost = q->lost;
	q->lost = 0;
	q->head = (q->head + 1) % TOUCHM_EVENT_QUEUE_LEN;
	q->len--;
	return 1;
}

void tm_evq_unpop(struct tm_evq *q, const struct touchm_event *ev)
{
	/* The records lost before @ev are lost before the new front again. */
	q->lost += ev->lost;
	if (q->len == TOUCHM_EVENT_QUEUE_LEN) {
		q->lost++;
		return;
	}
	q->head = (q->head + TOUCHM_EVENT_QUEUE_LEN - 1) %
		  TOUCHM_EVENT_QUEUE_LEN;
	q->ev[q->head] = *ev;
	q->ev[q->head].lost = 0;
	q->len++;
}
