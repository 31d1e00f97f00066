// SPDX-License-Identifier: GPL-2.0-or-later
/* The direct backend: every request answered from the key model at once. */
#include <errno.h>
#include <string.h>

#include "SimBackend.h"

static int direct_presence(const struct tmsim_key *key) {
    if (!key->present) {
        errno = ENXIO;
        return -1;
    }
    return 0;
}

static int direct_read_rom(const struct tmsim_key *key, uint8_t rom[TM_ROM_SIZE]) {
    if (direct_presence(key) != 0)
        return -1;
    memcpy(rom, key->rom, TM_ROM_SIZE);
    return 0;
}

/* 0 when the key is there and has memory; else -1 with ENXIO (no key) or
 * EOPNOTSUPP (an ID-only key). */
static int direct_memory(const struct tmsim_key *key) {
    if (direct_presence(key) != 0)
        return -1;
    if (!key->has_memory) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return 0;
}

static ssize_t direct_read_mem(const struct tmsim_key *key, uint64_t off, void *buf, size_t n) {
    if (direct_memory(key) != 0)
        return -1;
    return tmsim_mem_read(key, off, buf, n);
}

static ssize_t direct_write_mem(const struct tmsim_key *key, uint64_t off, const void *buf,
                                size_t n) {
    if (direct_memory(key) != 0)
        return -1;
    return tmsim_mem_write(key, off, buf, n);
}

const struct tmsim_backend tmsim_backend_direct = {
    .name = "direct",
    .presence = direct_presence,
    .read_rom = direct_read_rom,
    .skip_rom = direct_presence,
    .reset = direct_presence,
    .read_mem = direct_read_mem,
    .write_mem = direct_write_mem,
};

const struct tmsim_backend *tmsim_backend_find(enum tmsim_backend_kind kind) {
    switch (kind) {
    case TMSIM_BACKEND_DIRECT:
        return &tmsim_backend_direct;
    case TMSIM_BACKEND_LINE:
#ifdef TMSIM_HAVE_LINE
        return &tmsim_backend_line;
#else
        return NULL;
#endif
    }
    return NULL;
}
