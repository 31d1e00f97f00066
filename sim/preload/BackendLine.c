// SPDX-License-Identifier: GPL-2.0-or-later
/* The line-level backend: every request runs as 1-Wire traffic. The
 * touch-memory driver core of sim/line/ drives the velkor transport over a
 * simulated PL2303 adapter and 1-Wire line, and the slave on that line is a
 * key model set up from the stand-in's key state before each request: its
 * ROM, whether it is attached, and its memory, loaded from STATE/memory.bin
 * for the bytes a request touches and stored back when the key changed them.
 *
 *   presence  -> reset pulse, the key's presence pulse
 *   ROM       -> reset, Read ROM (0x33), CRC-8 checked by CalcTMCrc
 *   skip      -> reset, Skip ROM (0xCC)
 *   reset     -> adapter flushed, reset pulse
 *   read      -> reset, Skip ROM, Read Memory (0xF0, two-byte address)
 *   write     -> per page: Write Scratchpad (0x0F), Read Scratchpad (0xAA)
 *                compared, Copy Scratchpad (0x55), read back again
 *   read or write on an ID-only key -> a reset pulse; the key's presence
 *                pulse, then EOPNOTSUPP, as it has no memory commands
 *
 * The line's results map onto the stand-in's errors: no key answering is
 * ENXIO, anything else that went wrong on the line (a bad ROM, bits that did
 * not come back as sent, a shorted line) is EIO. Busy-waits are counted by
 * the line simulation, never slept.
 *
 * One line per process, in static storage (the core allocates nothing, so
 * that signal handlers may use the device); the driver core's lock
 * serialises every call here. */
#include <errno.h>
#include <string.h>

#include "SimBackend.h"
#include "tm_line.h"
#include "tm_line_core.h"

_Static_assert(TM_LINE_ROM_SIZE == TM_ROM_SIZE, "ROM sizes differ");
_Static_assert(TM_LINE_MEM_MAX == TMSIM_LINE_MEMORY_MAX, "line memory limits differ");

/* The line faults as last armed on the line. */
struct armed_faults {
    long flip;
    long remove;
    int shorted;
};

static struct {
    int ready;
    struct tm_line line;
    struct armed_faults armed;
    struct armed_faults wanted; /* from the state, by configure */
    unsigned char mem[TM_LINE_MEM_MAX];
    unsigned char before[TM_LINE_MEM_MAX]; /* a write's bytes as loaded */
} g_line = {.wanted = {TMSIM_COUNT_OFF, TMSIM_COUNT_OFF, 0}};

static void line_configure(const struct tmsim_config *cfg) {
    g_line.wanted.flip = cfg->line_flip;
    g_line.wanted.remove = cfg->line_remove;
    g_line.wanted.shorted = (cfg->faults & TMSIM_FAULT_LINE_SHORT) != 0;
}

/* Arms the faults the state asks for when they changed since last armed.
 * Unchanged faults stay as they are, so a key removal that has happened is
 * not armed again within the process. */
static void arm_faults(void) {
    struct armed_faults *a = &g_line.armed;
    const struct armed_faults *w = &g_line.wanted;
    if (a->flip == w->flip && a->remove == w->remove && a->shorted == w->shorted)
        return;
    tm_line_clear_faults(&g_line.line);
    if (w->flip != TMSIM_COUNT_OFF)
        tm_line_fault_flip(&g_line.line, (unsigned)w->flip, 0, 0);
    if (w->remove != TMSIM_COUNT_OFF)
        tm_line_fault_remove(&g_line.line, (unsigned)w->remove, 0);
    tm_line_fault_short(&g_line.line, w->shorted);
    *a = *w;
}

/* The line with the key of the current state on it. 0, or -1 with errno. */
static int line_prepare(const struct tmsim_key *key) {
    if (key->memory_size > TM_LINE_MEM_MAX) {
        errno = EIO;
        return -1;
    }
    if (!g_line.ready) {
        if (tm_line_init(&g_line.line, NULL, g_line.mem, 0) != 0) {
            errno = EIO;
            return -1;
        }
        g_line.armed.flip = TMSIM_COUNT_OFF;
        g_line.armed.remove = TMSIM_COUNT_OFF;
        g_line.armed.shorted = 0;
        g_line.ready = 1;
    }
    if (tm_line_set_memory(&g_line.line, g_line.mem, key->memory_size) != 0) {
        errno = EIO;
        return -1;
    }
    /* Attached afresh for every request: a swap shows at once, and a key
     * that a fault took off the line mid-transaction is back, as the state
     * still has it attached. Each request starts with a reset pulse. */
    if (key->present)
        tm_line_attach(&g_line.line, key->rom);
    else
        tm_line_detach(&g_line.line);
    arm_faults();
    return 0;
}

/* A result of the line: 0 or a count, or -1 with errno. */
static int line_result(int r) {
    if (r >= 0)
        return r;
    errno = r == -ENXIO ? ENXIO : EIO;
    return -1;
}

static int line_presence(const struct tmsim_key *key) {
    if (line_prepare(key) != 0)
        return -1;
    return line_result(tm_line_presence(&g_line.line));
}

static int line_read_rom(const struct tmsim_key *key, uint8_t rom[TM_ROM_SIZE]) {
    if (line_prepare(key) != 0)
        return -1;
    return line_result(tm_line_read_rom(&g_line.line, rom));
}

static int line_skip_rom(const struct tmsim_key *key) {
    if (line_prepare(key) != 0)
        return -1;
    return line_result(tm_line_skip_rom(&g_line.line));
}

static int line_reset(const struct tmsim_key *key) {
    if (line_prepare(key) != 0)
        return -1;
    return line_result(tm_line_reset(&g_line.line));
}

/* The part of [off, off + n) inside the key memory: its start and length. */
static void clamp(const struct tmsim_key *key, uint64_t off, size_t n, unsigned *at,
                  unsigned *len) {
    unsigned size = key->memory_size;
    *at = off < size ? (unsigned)off : size;
    *len = n < size - *at ? (unsigned)n : size - *at;
}

/* Loads the image bytes [at, at + len) into the key's memory. */
static int load(const struct tmsim_key *key, unsigned at, unsigned len) {
    if (len == 0)
        return 0;
    ssize_t r = tmsim_mem_read(key, at, g_line.mem + at, len);
    if (r < 0)
        return -1;
    if ((size_t)r != len) {
        errno = EIO;
        return -1;
    }
    return 0;
}

/* The line for a transfer: 0, or -1 with errno; EOPNOTSUPP when the key
 * that answers has no memory. */
static int line_prepare_memory(const struct tmsim_key *key) {
    if (line_prepare(key) != 0)
        return -1;
    if (key->has_memory)
        return 0;
    if (line_result(tm_line_presence(&g_line.line)) != 0)
        return -1;
    errno = EOPNOTSUPP;
    return -1;
}

static ssize_t line_read_mem(const struct tmsim_key *key, uint64_t off, void *buf, size_t n) {
    unsigned at = 0;
    unsigned len = 0;
    if (line_prepare_memory(key) != 0)
        return -1;
    clamp(key, off, n, &at, &len);
    if (load(key, at, len) != 0)
        return -1;
    return line_result(tm_line_read(&g_line.line, at, buf, len));
}

/* Stores key memory [at, at + len) in the image. */
static int store(const struct tmsim_key *key, unsigned at, unsigned len) {
    if (len == 0)
        return 0;
    ssize_t w = tmsim_mem_write(key, at, g_line.mem + at, len);
    if (w < 0)
        return -1;
    if ((size_t)w != len) {
        errno = EIO;
        return -1;
    }
    return 0;
}

/* After a failed write: the bytes of [at, at + len) the key changed, from
 * the first to the last that differ from what was loaded. */
static int store_changes(const struct tmsim_key *key, unsigned at, unsigned len) {
    const unsigned char *now = g_line.mem + at;
    const unsigned char *was = g_line.before + at;
    unsigned first = 0;
    while (first < len && now[first] == was[first])
        first++;
    if (first == len)
        return 0;
    unsigned last = len - 1;
    while (now[last] == was[last])
        last--;
    return store(key, at + first, last - first + 1);
}

static ssize_t line_write_mem(const struct tmsim_key *key, uint64_t off, const void *buf,
                              size_t n) {
    unsigned at = 0;
    unsigned len = 0;
    if (line_prepare_memory(key) != 0)
        return -1;
    clamp(key, off, n, &at, &len);
    if (load(key, at, len) != 0)
        return -1;
    memcpy(g_line.before + at, g_line.mem + at, len);
    int r = tm_line_write(&g_line.line, at, buf, len);
    /* Pages copied before a failing one stay written on the key, so what
     * changed is stored whatever the result. */
    if ((r >= 0 ? store(key, at, (unsigned)r) : store_changes(key, at, len)) != 0)
        return -1;
    return line_result(r);
}

const struct tmsim_backend tmsim_backend_line = {
    .name = "line",
    .presence = line_presence,
    .read_rom = line_read_rom,
    .skip_rom = line_skip_rom,
    .reset = line_reset,
    .read_mem = line_read_mem,
    .write_mem = line_write_mem,
    .configure = line_configure,
};
