/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The stand-in's state file (STATE/config): the whole device, key and fault
 * state as text key=value lines. The launcher writes it from its options,
 * "tmsim ctl" edits it, the preload library re-reads it whenever it changed.
 * Plain C, no allocation; parse/load/save use static buffers, so callers
 * serialise them (the preload library holds its lock). */
#ifndef TMSIM_SIM_CONFIG_H
#define TMSIM_SIM_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#include "SimKey.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TMSIM_PATH_MAX 4096
#define TMSIM_CONFIG_TEXT_MAX 16384
#define TMSIM_ERR_MAX 512
#define TMSIM_COUNT_MAX 1000000000L
#define TMSIM_COUNT_OFF (-1L)

#define TMSIM_CONFIG_NAME "config"
#define TMSIM_MEMORY_NAME "memory.bin"
#define TMSIM_LOG_NAME "tmdrv.log"
#define TMSIM_TRACE_NAME "trace"
#define TMSIM_CLOCK_NAME "clock"
#define TMSIM_RTC_NAME "rtc"

enum tmsim_clock_mode { TMSIM_CLOCK_DENY = 0, TMSIM_CLOCK_ALLOW };
enum tmsim_rtc_mode { TMSIM_RTC_ABSENT = 0, TMSIM_RTC_PRESENT, TMSIM_RTC_REFUSE };
enum tmsim_backend_kind { TMSIM_BACKEND_DIRECT = 0, TMSIM_BACKEND_LINE };

/* Request faults: the request fails with -1 / EIO. */
enum tmsim_fault_bit {
    TMSIM_FAULT_PRESENCE = 1u << 0,
    TMSIM_FAULT_ROM = 1u << 1,
    TMSIM_FAULT_SKIP = 1u << 2,
    TMSIM_FAULT_RESET = 1u << 3,
    TMSIM_FAULT_LSEEK = 1u << 4,
    TMSIM_FAULT_READ = 1u << 5,
    TMSIM_FAULT_WRITE = 1u << 6,
    /* Line-level backend only: the line is held low, every request on it
     * fails with EIO. */
    TMSIM_FAULT_LINE_SHORT = 1u << 7,
};

/* Key memory the line-level backend can address (16-bit addresses). */
#define TMSIM_LINE_MEMORY_MAX 65536u

struct tmsim_config {
    int device_present;         /* /dev/touchm0 exists */
    int device_errno;           /* what a failing open reports */
    unsigned device_generation; /* bumped by vanish/appear: older descriptors die */
    int key_present;
    uint8_t rom[TM_ROM_SIZE];
    /* memory_size given (--memory-size): it holds for any key; otherwise the
     * memory follows the family of the ROM (tmsim_config_memory). */
    int memory_size_set;
    uint32_t memory_size;
    unsigned faults; /* enum tmsim_fault_bit */
    long short_read; /* TMSIM_COUNT_OFF or the most a read delivers */
    long short_write;
    long vanish_after; /* TMSIM_COUNT_OFF or device requests before it vanishes */
    /* Line-level backend only; data slots count from 0 after each reset
     * pulse. TMSIM_COUNT_OFF or the slot in which the line carries the
     * opposite level (every transaction), or in which the key leaves the
     * line (once per process). */
    long line_flip;
    long line_remove;
    enum tmsim_clock_mode clock;
    enum tmsim_rtc_mode rtc;
    enum tmsim_backend_kind backend;
    char log_path[TMSIM_PATH_MAX];   /* where "/tmp/tmdrv.log" goes; "" = STATE/tmdrv.log */
    char trace_path[TMSIM_PATH_MAX]; /* "" = no trace */
};

/* Defaults: device present, default key present, memory from its family, no
 * faults, clock denied, no RTC, direct backend, no trace, log in the state
 * directory. */
void tmsim_config_defaults(struct tmsim_config *cfg);

/* The key memory of the state: the size given, else the one of the ROM's
 * family (tmsim_family_memory_size). Returns 0 for a key without memory (the
 * ID-only family, no size given), 1 otherwise; *size is 0 without memory. */
int tmsim_config_memory(const struct tmsim_config *cfg, uint32_t *size);

/* Applies one fault switch "NAME[=ARG]". 1 / 0 with a message in err. */
int tmsim_fault_apply(struct tmsim_config *cfg, const char *text, char *err, size_t err_size);

/* Turns every fault off. */
void tmsim_faults_clear(struct tmsim_config *cfg);

/* The list of fault names for messages and help. */
const char *tmsim_fault_names(void);

/* "ENOENT" or a decimal number 1..4095. 1 / 0. */
int tmsim_errno_parse(const char *text, int *out);
/* Symbolic name ("ENOENT") or NULL when the table lacks it. */
const char *tmsim_errno_name(int err);

/* Parses state text (len bytes, need not be terminated). Starts from the
 * defaults. 1 / 0 with "line N: ..." in err. */
int tmsim_config_parse(const char *text, size_t len, struct tmsim_config *cfg, char *err,
                       size_t err_size);

/* Formats the state. Length written, or -1 when buf is too small. */
int tmsim_config_format(const struct tmsim_config *cfg, char *buf, size_t size);

/* Reads and parses a state file; anything but a regular file is refused
 * without waiting on it. 1 / 0 with a message in err. */
int tmsim_config_load(const char *path, struct tmsim_config *cfg, char *err, size_t err_size);

/* Writes a state file atomically (temporary file, then rename). 1 / 0 with a
 * message in err. */
int tmsim_config_save(const char *path, const struct tmsim_config *cfg, char *err, size_t err_size);

#ifdef __cplusplus
}
#endif

#endif
