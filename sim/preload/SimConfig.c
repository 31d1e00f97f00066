// SPDX-License-Identifier: GPL-2.0-or-later
/* The state file: defaults, fault switches, parsing and formatting. */
#include "SimConfig.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "SysIo.h"

#define CONFIG_FILE_MODE 0644
#define ERRNO_NUMBER_MAX 4095
#define LINE_KEY_MAX 32
#define TEMP_SUFFIX_MAX 32
/* The state file's memory-size when the memory follows the family. */
#define MEMORY_FROM_FAMILY "family"

enum fault_kind { FAULT_SWITCH, FAULT_COUNT };

struct fault_row {
    const char *name;
    enum fault_kind kind;
    unsigned bit;        /* FAULT_SWITCH */
    size_t count_offset; /* FAULT_COUNT: offset of the long in the config */
};

static const struct fault_row g_faults[] = {
    {"presence", FAULT_SWITCH, TMSIM_FAULT_PRESENCE, 0},
    {"rom", FAULT_SWITCH, TMSIM_FAULT_ROM, 0},
    {"skip", FAULT_SWITCH, TMSIM_FAULT_SKIP, 0},
    {"reset", FAULT_SWITCH, TMSIM_FAULT_RESET, 0},
    {"lseek", FAULT_SWITCH, TMSIM_FAULT_LSEEK, 0},
    {"read", FAULT_SWITCH, TMSIM_FAULT_READ, 0},
    {"write", FAULT_SWITCH, TMSIM_FAULT_WRITE, 0},
    {"short-read", FAULT_COUNT, 0, offsetof(struct tmsim_config, short_read)},
    {"short-write", FAULT_COUNT, 0, offsetof(struct tmsim_config, short_write)},
    {"vanish-after", FAULT_COUNT, 0, offsetof(struct tmsim_config, vanish_after)},
    {"line-flip", FAULT_COUNT, 0, offsetof(struct tmsim_config, line_flip)},
    {"line-remove", FAULT_COUNT, 0, offsetof(struct tmsim_config, line_remove)},
    {"line-short", FAULT_SWITCH, TMSIM_FAULT_LINE_SHORT, 0},
};
#define FAULT_ROWS (sizeof(g_faults) / sizeof(g_faults[0]))

struct errno_row {
    const char *name;
    int value;
};

static const struct errno_row g_errnos[] = {
    {"EPERM", EPERM},         {"ENOENT", ENOENT},   {"EINTR", EINTR},   {"EIO", EIO},
    {"ENXIO", ENXIO},         {"EBADF", EBADF},     {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},
    {"EACCES", EACCES},       {"EFAULT", EFAULT},   {"EBUSY", EBUSY},   {"EEXIST", EEXIST},
    {"ENODEV", ENODEV},       {"ENOTDIR", ENOTDIR}, {"EISDIR", EISDIR}, {"EINVAL", EINVAL},
    {"ENFILE", ENFILE},       {"EMFILE", EMFILE},   {"ENOTTY", ENOTTY}, {"ENOSPC", ENOSPC},
    {"ESPIPE", ESPIPE},       {"EROFS", EROFS},     {"EPIPE", EPIPE},   {"ENOSYS", ENOSYS},
    {"ETIMEDOUT", ETIMEDOUT},
};
#define ERRNO_ROWS (sizeof(g_errnos) / sizeof(g_errnos[0]))

__attribute__((format(printf, 3, 4))) static void set_err(char *err, size_t size, const char *fmt,
                                                          ...) {
    if (err == NULL || size == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    /* The analyzer loses va_start here under the lint build's flags. */
    vsnprintf(err, size, fmt, ap); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
}

/* Decimal 0..max, digits only. 1 / 0. */
static int parse_count(const char *text, long max, long *out) {
    if (text == NULL || *text == '\0')
        return 0;
    long v = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9')
            return 0;
        v = v * 10 + (*p - '0');
        if (v > max)
            return 0;
    }
    *out = v;
    return 1;
}

void tmsim_config_defaults(struct tmsim_config *cfg) {
    memset(cfg, 0, sizeof(*cfg));
    cfg->device_present = 1;
    cfg->device_errno = ENOENT;
    cfg->key_present = 1;
    tmsim_rom_build(TMSIM_DEFAULT_FAMILY, TMSIM_DEFAULT_SERIAL, cfg->rom);
    cfg->memory_size_set = 0;
    cfg->memory_size = 0;
    tmsim_faults_clear(cfg);
    cfg->clock = TMSIM_CLOCK_DENY;
    cfg->rtc = TMSIM_RTC_ABSENT;
    cfg->backend = TMSIM_BACKEND_DIRECT;
}

int tmsim_config_memory(const struct tmsim_config *cfg, uint32_t *size) {
    if (cfg->memory_size_set) {
        *size = cfg->memory_size;
        return 1;
    }
    uint8_t family = cfg->rom[0];
    *size = tmsim_family_memory_size(family);
    return tmsim_family_has_memory(family);
}

void tmsim_faults_clear(struct tmsim_config *cfg) {
    cfg->faults = 0;
    cfg->short_read = TMSIM_COUNT_OFF;
    cfg->short_write = TMSIM_COUNT_OFF;
    cfg->vanish_after = TMSIM_COUNT_OFF;
    cfg->line_flip = TMSIM_COUNT_OFF;
    cfg->line_remove = TMSIM_COUNT_OFF;
}

const char *tmsim_fault_names(void) {
    return "presence, rom, skip, reset, lseek, read, write, short-read=N, short-write=N, "
           "vanish-after=N, line-flip=SLOT, line-remove=SLOT, line-short";
}

int tmsim_fault_apply(struct tmsim_config *cfg, const char *text, char *err, size_t err_size) {
    const char *eq = strchr(text, '=');
    size_t name_len = eq ? (size_t)(eq - text) : strlen(text);
    for (size_t i = 0; i < FAULT_ROWS; i++) {
        const struct fault_row *row = &g_faults[i];
        if (strlen(row->name) != name_len || strncmp(row->name, text, name_len) != 0)
            continue;
        if (row->kind == FAULT_SWITCH) {
            if (eq) {
                set_err(err, err_size, "fault '%s' takes no value", row->name);
                return 0;
            }
            cfg->faults |= row->bit;
            return 1;
        }
        long n = 0;
        if (!eq || !parse_count(eq + 1, TMSIM_COUNT_MAX, &n)) {
            set_err(err, err_size, "fault '%s' needs a count: %s=N (N from 0 to %ld)", row->name,
                    row->name, TMSIM_COUNT_MAX);
            return 0;
        }
        *(long *)((char *)cfg + row->count_offset) = n;
        return 1;
    }
    set_err(err, err_size, "unknown fault '%.*s' (known: %s)", (int)name_len, text,
            tmsim_fault_names());
    return 0;
}

int tmsim_errno_parse(const char *text, int *out) {
    for (size_t i = 0; i < ERRNO_ROWS; i++) {
        if (strcmp(text, g_errnos[i].name) == 0) {
            *out = g_errnos[i].value;
            return 1;
        }
    }
    long n = 0;
    if (!parse_count(text, ERRNO_NUMBER_MAX, &n) || n == 0)
        return 0;
    *out = (int)n;
    return 1;
}

const char *tmsim_errno_name(int err) {
    for (size_t i = 0; i < ERRNO_ROWS; i++) {
        if (g_errnos[i].value == err)
            return g_errnos[i].name;
    }
    return NULL;
}

/* One "key=value" line (value terminated). 1 / 0 with a message. */
static int parse_line(struct tmsim_config *cfg, const char *key, const char *value, char *err,
                      size_t err_size) {
    long n = 0;
    if (strcmp(key, "device") == 0) {
        if (strcmp(value, "present") == 0)
            cfg->device_present = 1;
        else if (strcmp(value, "missing") == 0)
            cfg->device_present = 0;
        else
            goto bad_value;
    } else if (strcmp(key, "device-errno") == 0) {
        if (!tmsim_errno_parse(value, &cfg->device_errno))
            goto bad_value;
    } else if (strcmp(key, "device-generation") == 0) {
        if (!parse_count(value, TMSIM_COUNT_MAX, &n))
            goto bad_value;
        cfg->device_generation = (unsigned)n;
    } else if (strcmp(key, "key") == 0) {
        if (strcmp(value, "present") == 0)
            cfg->key_present = 1;
        else if (strcmp(value, "absent") == 0)
            cfg->key_present = 0;
        else
            goto bad_value;
    } else if (strcmp(key, "rom") == 0) {
        if (!tmsim_rom_parse(value, cfg->rom))
            goto bad_value;
    } else if (strcmp(key, "memory-size") == 0) {
        if (strcmp(value, MEMORY_FROM_FAMILY) == 0) {
            cfg->memory_size_set = 0;
            cfg->memory_size = 0;
        } else if (parse_count(value, TMSIM_MEMORY_SIZE_MAX, &n)) {
            cfg->memory_size_set = 1;
            cfg->memory_size = (uint32_t)n;
        } else {
            goto bad_value;
        }
    } else if (strcmp(key, "fault") == 0) {
        return tmsim_fault_apply(cfg, value, err, err_size);
    } else if (strcmp(key, "log") == 0 || strcmp(key, "trace") == 0) {
        char *dst = key[0] == 'l' ? cfg->log_path : cfg->trace_path;
        size_t len = strlen(value);
        if (len >= TMSIM_PATH_MAX || (len > 0 && value[0] != '/'))
            goto bad_value;
        memcpy(dst, value, len + 1);
    } else if (strcmp(key, "clock") == 0) {
        if (strcmp(value, "allow") == 0)
            cfg->clock = TMSIM_CLOCK_ALLOW;
        else if (strcmp(value, "deny") == 0)
            cfg->clock = TMSIM_CLOCK_DENY;
        else
            goto bad_value;
    } else if (strcmp(key, "rtc") == 0) {
        if (strcmp(value, "absent") == 0)
            cfg->rtc = TMSIM_RTC_ABSENT;
        else if (strcmp(value, "present") == 0)
            cfg->rtc = TMSIM_RTC_PRESENT;
        else if (strcmp(value, "refuse") == 0)
            cfg->rtc = TMSIM_RTC_REFUSE;
        else
            goto bad_value;
    } else if (strcmp(key, "backend") == 0) {
        if (strcmp(value, "direct") == 0)
            cfg->backend = TMSIM_BACKEND_DIRECT;
        else if (strcmp(value, "line") == 0)
            cfg->backend = TMSIM_BACKEND_LINE;
        else
            goto bad_value;
    } else {
        set_err(err, err_size, "unknown setting '%s'", key);
        return 0;
    }
    return 1;

bad_value:
    set_err(err, err_size, "bad value for %s: '%s'", key, value);
    return 0;
}

int tmsim_config_parse(const char *text, size_t len, struct tmsim_config *cfg, char *err,
                       size_t err_size) {
    tmsim_config_defaults(cfg);
    /* Each line is copied into a bounded buffer so that it can be split and
     * terminated without touching the caller's text. */
    static char line[TMSIM_PATH_MAX + LINE_KEY_MAX + 2];
    char msg[TMSIM_ERR_MAX];
    size_t pos = 0;
    int line_no = 0;
    while (pos < len) {
        line_no++;
        size_t end = pos;
        while (end < len && text[end] != '\n')
            end++;
        size_t n = end - pos;
        if (n > 0 && text[pos + n - 1] == '\r')
            n--;
        if (n >= sizeof(line)) {
            set_err(err, err_size, "line %d: too long", line_no);
            return 0;
        }
        memcpy(line, text + pos, n);
        line[n] = '\0';
        pos = end + 1;
        if (n == 0 || line[0] == '#')
            continue;
        char *eq = strchr(line, '=');
        if (eq == NULL || eq == line) {
            set_err(err, err_size, "line %d: expected key=value, got '%s'", line_no, line);
            return 0;
        }
        *eq = '\0';
        if (!parse_line(cfg, line, eq + 1, msg, sizeof(msg))) {
            set_err(err, err_size, "line %d: %s", line_no, msg);
            return 0;
        }
    }
    return 1;
}

/* Appends formatted text at *used. 1 / 0 when it does not fit. */
__attribute__((format(printf, 4, 5))) static int append(char *buf, size_t size, size_t *used,
                                                        const char *fmt, ...) {
    if (*used >= size)
        return 0;
    va_list ap;
    va_start(ap, fmt);
    /* NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): as in set_err */
    int n = vsnprintf(buf + *used, size - *used, fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= size - *used)
        return 0;
    *used += (size_t)n;
    return 1;
}

int tmsim_config_format(const struct tmsim_config *cfg, char *buf, size_t size) {
    static const char *const clock_names[] = {"deny", "allow"};
    static const char *const rtc_names[] = {"absent", "present", "refuse"};
    static const char *const backend_names[] = {"direct", "line"};
    char rom[TMSIM_ROM_TEXT_SIZE];
    tmsim_rom_format(cfg->rom, rom);
    const char *err_name = tmsim_errno_name(cfg->device_errno);
    size_t used = 0;
    int ok = append(buf, size, &used, "# tmsim state: rewritten by each launch and by tmsim ctl\n");
    ok = ok && append(buf, size, &used, "device=%s\n", cfg->device_present ? "present" : "missing");
    if (err_name)
        ok = ok && append(buf, size, &used, "device-errno=%s\n", err_name);
    else
        ok = ok && append(buf, size, &used, "device-errno=%d\n", cfg->device_errno);
    ok = ok && append(buf, size, &used, "device-generation=%u\n", cfg->device_generation);
    ok = ok && append(buf, size, &used, "key=%s\n", cfg->key_present ? "present" : "absent");
    ok = ok && append(buf, size, &used, "rom=%s\n", rom);
    if (cfg->memory_size_set)
        ok = ok && append(buf, size, &used, "memory-size=%u\n", (unsigned)cfg->memory_size);
    else
        ok = ok && append(buf, size, &used, "memory-size=%s\n", MEMORY_FROM_FAMILY);
    for (size_t i = 0; ok && i < FAULT_ROWS; i++) {
        const struct fault_row *row = &g_faults[i];
        if (row->kind == FAULT_SWITCH) {
            if (cfg->faults & row->bit)
                ok = append(buf, size, &used, "fault=%s\n", row->name);
            continue;
        }
        long n = *(const long *)((const char *)cfg + row->count_offset);
        if (n != TMSIM_COUNT_OFF)
            ok = append(buf, size, &used, "fault=%s=%ld\n", row->name, n);
    }
    ok = ok && append(buf, size, &used, "log=%s\n", cfg->log_path);
    ok = ok && append(buf, size, &used, "trace=%s\n", cfg->trace_path);
    ok = ok && append(buf, size, &used, "clock=%s\n", clock_names[cfg->clock]);
    ok = ok && append(buf, size, &used, "rtc=%s\n", rtc_names[cfg->rtc]);
    ok = ok && append(buf, size, &used, "backend=%s\n", backend_names[cfg->backend]);
    return ok ? (int)used : -1;
}

int tmsim_config_load(const char *path, struct tmsim_config *cfg, char *err, size_t err_size) {
    static char text[TMSIM_CONFIG_TEXT_MAX];
    int fd = tms_open_regular(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0 && errno == EINVAL) {
        set_err(err, err_size, "%s is not a regular file", path);
        return 0;
    }
    if (fd < 0) {
        set_err(err, err_size, "cannot open %s [%s]", path, strerror(errno));
        return 0;
    }
    size_t len = 0;
    for (;;) {
        ssize_t r = tms_read(fd, text + len, sizeof(text) - len);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            set_err(err, err_size, "cannot read %s [%s]", path, strerror(errno));
            tms_close(fd);
            return 0;
        }
        if (r == 0)
            break;
        len += (size_t)r;
        if (len == sizeof(text)) {
            set_err(err, err_size, "%s: larger than %zu bytes", path, sizeof(text) - 1);
            tms_close(fd);
            return 0;
        }
    }
    tms_close(fd);
    char msg[TMSIM_ERR_MAX];
    if (!tmsim_config_parse(text, len, cfg, msg, sizeof(msg))) {
        set_err(err, err_size, "%s: %s", path, msg);
        return 0;
    }
    return 1;
}

int tmsim_config_save(const char *path, const struct tmsim_config *cfg, char *err,
                      size_t err_size) {
    static char text[TMSIM_CONFIG_TEXT_MAX];
    if (strchr(cfg->log_path, '\n') || strchr(cfg->trace_path, '\n')) {
        set_err(err, err_size, "a path holds a line break");
        return 0;
    }
    int len = tmsim_config_format(cfg, text, sizeof(text));
    if (len < 0) {
        set_err(err, err_size, "state too large to write");
        return 0;
    }
    char tmp[TMSIM_PATH_MAX + TEMP_SUFFIX_MAX];
    int n = snprintf(tmp, sizeof(tmp), "%s.tmp.%ld", path, (long)getpid());
    if (n < 0 || (size_t)n >= sizeof(tmp)) {
        set_err(err, err_size, "state path too long");
        return 0;
    }
    int fd = tms_open_regular(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, CONFIG_FILE_MODE);
    if (fd < 0) {
        set_err(err, err_size, "cannot create %s [%s]", tmp, strerror(errno));
        return 0;
    }
    int ok = tms_write_all(fd, text, (size_t)len);
    int saved = errno;
    tms_close(fd);
    if (!ok) {
        set_err(err, err_size, "cannot write %s [%s]", tmp, strerror(saved));
        unlink(tmp);
        return 0;
    }
    if (rename(tmp, path) != 0) {
        set_err(err, err_size, "cannot rename %s to %s [%s]", tmp, path, strerror(errno));
        unlink(tmp);
        return 0;
    }
    return 1;
}
