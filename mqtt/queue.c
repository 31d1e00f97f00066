// SPDX-License-Identifier: GPL-2.0-or-later
/* The outage queue: a ring of records with a lost count carried forward. */
#include "queue.h"

#include <stdint.h>
#include <stdlib.h>

int tm_queue_init(struct tm_queue *q, size_t cap) {
    q->head = 0;
    q->count = 0;
    q->cap = 0;
    q->slots = cap ? calloc(cap, sizeof(*q->slots)) : NULL;
    if (q->slots == NULL)
        return 0;
    q->cap = cap;
    return 1;
}

void tm_queue_free(struct tm_queue *q) {
    free(q->slots);
    q->slots = NULL;
    q->cap = q->count = q->head = 0;
}

static uint32_t add_sat(uint32_t a, uint64_t b) {
    uint64_t s = (uint64_t)a + b;
    return s > UINT32_MAX ? UINT32_MAX : (uint32_t)s;
}

void tm_queue_push(struct tm_queue *q, const struct tm_record *rec) {
    if (q->cap == 0)
        return;
    struct tm_record copy = *rec;
    if (q->count == q->cap) {
        uint64_t gone = (uint64_t)q->slots[q->head].lost + 1;
        tm_queue_pop(q);
        if (q->count > 0)
            q->slots[q->head].lost = add_sat(q->slots[q->head].lost, gone);
        else
            copy.lost = add_sat(copy.lost, gone);
    }
    q->slots[(q->head + q->count) % q->cap] = copy;
    q->count++;
}

const struct tm_record *tm_queue_front(const struct tm_queue *q) {
    return q->count ? &q->slots[q->head] : NULL;
}

void tm_queue_pop(struct tm_queue *q) {
    if (q->count == 0)
        return;
    q->head = (q->head + 1) % q->cap;
    q->count--;
}
