/* SPDX-License-Identifier: GPL-2.0-or-later */
/* One key event as tmmqtt keeps it until the broker has taken it. */
#ifndef TMMQTT_RECORD_H
#define TMMQTT_RECORD_H

#include <stdint.h>

#include "vorn.h"

#ifdef __cplusplus
extern "C" {
#endif

struct tm_record {
    /* VORN_EVENT_ATTACHED or VORN_EVENT_REMOVED. */
    int kind;
    /* The key that came, or the key that went. */
    uint8_t rom[VORN_ROM_BYTES];
    /* The driver's count of the line's changes. */
    uint32_t seq;
    /* Changes lost just before this one: by the driver's queue, or
     * dropped from tmmqtt's own during an outage. */
    uint32_t lost;
    /* Wall-clock time of the change, nanoseconds since the epoch. */
    long long wall_ns;
};

#ifdef __cplusplus
}
#endif

#endif
