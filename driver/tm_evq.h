/* SPDX-License-Identifier: GPL-2.0 */
/*
 * tm_evq - the bookkeeping of key events: what the watch last saw on a
 * line, the changes a new probe brings, and the queue of records of one
 * event descriptor.
 *
 * A queue holds TOUCHM_EVENT_QUEUE_LEN records. A record pushed into a full
 * queue pushes the oldest out; the count of records pushed out goes into
 * the @lost of the next record taken, which is the one that came right
 * after them.
 *
 * The callers hold their lock around every call; nothing here sleeps or
 * needs the kernel, so user-space tests build the same file.
 */
#ifndef TM_EVQ_H
#define TM_EVQ_H

#include "touchm_uapi.h"

/* At most this many changes per probe: a swap is a removal and an attach. */
#define TM_EVQ_CHANGES_MAX	2

/**
 * struct tm_watch_state - the key on a line as the watch saw it last
 * @present: a key answered
 * @rom:     its ROM (present), or the ROM of the key that went (all zero
 *           when none was ever read)
 */
struct tm_watch_state {
	int present;
	unsigned char rom[TOUCHM_ROM_BYTES];
};

/**
 * struct tm_evq - the records waiting for one reader
 * @ev:   records, oldest at @head
 * @head: index of the oldest
 * @len:  records waiting
 * @lost: records pushed out since the last one taken
 */
struct tm_evq {
	struct touchm_event ev[TOUCHM_EVENT_QUEUE_LEN];
	unsigned int head;
	unsigned int len;
	unsigned int lost;
};

/* No key known, no ROM. */
void tm_watch_state_init(struct tm_watch_state *s);
/*
 * A probe found a key with ROM @rom (@present) or none: fills @out with
 * the changes since @s (kind and ROM only; a swap gives the removal of the
 * old key first), brings @s up to date and returns how many, at most
 * TM_EVQ_CHANGES_MAX.
 */
unsigned int tm_watch_state_update(struct tm_watch_state *s, int present,
				 const unsigned char *rom,
				 struct touchm_event *out);

void tm_evq_init(struct tm_evq *q);
/* Appends a copy of @ev; a full queue loses its oldest record. */
void tm_evq_push(struct tm_evq *q, const struct touchm_event *ev);
/*
 * Takes the oldest record into @out, its @lost set; 1, or 0 when none
 * waits.
 */
int tm_evq_pop(struct tm_evq *q, struct touchm_event *out);
/*
 * Puts @ev, just taken with tm_evq_pop(), back in front (its reader could
 * not take it after all). When records came meanwhile and filled the
 * queue, it counts as lost.
 */
void tm_evq_unpop(struct tm_evq *q, const struct touchm_event *ev);

#endif /* TM_EVQ_H */
