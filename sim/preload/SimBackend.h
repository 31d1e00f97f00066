/* SPDX-License-Identifier: GPL-2.0-or-later */
/* How the driver core carries a request out on the key. The core handles
 * descriptors, positions, faults, vanishing and the trace; a backend only
 * answers the six key operations. The direct backend answers from the key
 * model at once; the line-level backend runs the same operations as 1-Wire
 * traffic through the transport over a simulated adapter and line, with the
 * same key model as the slave on it.
 *
 * Every operation returns 0 (a count for the memory ones) on success, or -1
 * with errno set: ENXIO when no key answers, EIO for a line failure; the
 * memory ones EOPNOTSUPP when the key answers but has no memory (an ID-only
 * key, key->has_memory 0), whatever the length. */
#ifndef TMSIM_SIM_BACKEND_H
#define TMSIM_SIM_BACKEND_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "SimConfig.h"
#include "SimKey.h"

#ifdef __cplusplus
extern "C" {
#endif

struct tmsim_backend {
    const char *name;
    int (*presence)(const struct tmsim_key *key);
    int (*read_rom)(const struct tmsim_key *key, uint8_t rom[TM_ROM_SIZE]);
    int (*skip_rom)(const struct tmsim_key *key);
    int (*reset)(const struct tmsim_key *key);
    /* Memory at off; clamped to the key memory (see tmsim_mem_read/write). */
    ssize_t (*read_mem)(const struct tmsim_key *key, uint64_t off, void *buf, size_t n);
    ssize_t (*write_mem)(const struct tmsim_key *key, uint64_t off, const void *buf, size_t n);
    /* Optional: handed the whole state before each request, for what a
     * backend needs beyond the key (the line faults). */
    void (*configure)(const struct tmsim_config *cfg);
};

extern const struct tmsim_backend tmsim_backend_direct;

/* Built only when sim/line/ provides it (TMSIM_HAVE_LINE). */
extern const struct tmsim_backend tmsim_backend_line;

/* The backend of a kind, or NULL when this build lacks it. */
const struct tmsim_backend *tmsim_backend_find(enum tmsim_backend_kind kind);

#ifdef __cplusplus
}
#endif

#endif
