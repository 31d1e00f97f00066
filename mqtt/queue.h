/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The events kept while the broker cannot take them: a bounded ring, oldest
 * first. When it is full the oldest event goes, and the one after it counts
 * it in its lost field, so that a subscriber sees the gap. */
#ifndef TMMQTT_QUEUE_H
#define TMMQTT_QUEUE_H

#include <stddef.h>

#include "record.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The bound of tmmqtt's outage queue: events kept while the broker is
 * unreachable (about 40 bytes each). */
#define TM_QUEUE_LEN 4096

struct tm_queue {
    struct tm_record *slots;
    size_t cap;
    size_t head;
    size_t count;
};

/* Makes a queue of cap (at least 1) records. 1, or 0 when out of memory
 * (the queue is then empty and needs no tm_queue_free). */
int tm_queue_init(struct tm_queue *q, size_t cap);
void tm_queue_free(struct tm_queue *q);
/* Appends a copy of rec; when full, first drops the oldest and adds it (and
 * the changes it had lost) to the lost count of the record that is then
 * the oldest. Saturates at UINT32_MAX. */
void tm_queue_push(struct tm_queue *q, const struct tm_record *rec);
/* The oldest record, or NULL when empty. */
const struct tm_record *tm_queue_front(const struct tm_queue *q);
/* Drops the oldest record (nothing when empty). */
void tm_queue_pop(struct tm_queue *q);

#ifdef __cplusplus
}
#endif

#endif
