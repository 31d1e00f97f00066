// SPDX-License-Identifier: GPL-2.0-or-later
/* Topics, event JSON, Home Assistant discovery texts and the event time. */
#define _GNU_SOURCE
#include "format.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#define NSEC_PER_SEC 1000000000LL
#define NSEC_PER_USEC 1000LL
#define SEC_PER_MIN 60L
#define MIN_PER_HOUR 60L
#define DATE_TIME_SIZE 32
/* "\u00XX": six characters for a control character. */
#define JSON_CONTROL_ESCAPE_LEN 6
#define JSON_CONTROL_LIMIT 0x20

/* A text built piece by piece into a fixed buffer; ok turns 0 once a piece
 * did not fit. */
struct tm_text {
    char *buf;
    size_t len;
    size_t used;
    int ok;
};

static void text_init(struct tm_text *t, char *buf, size_t len) {
    t->buf = buf;
    t->len = len;
    t->used = 0;
    t->ok = len > 0;
    if (len > 0)
        buf[0] = '\0';
}

__attribute__((format(printf, 2, 3))) static void text_add(struct tm_text *t, const char *fmt,
                                                           ...) {
    if (!t->ok)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(t->buf + t->used, t->len - t->used, fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= t->len - t->used) {
        t->ok = 0;
        return;
    }
    t->used += (size_t)n;
}

/* Adds s as a JSON string, quotes included. */
static void text_add_json(struct tm_text *t, const char *s) {
    text_add(t, "\"");
    for (const unsigned char *p = (const unsigned char *)s; *p && t->ok; p++) {
        switch (*p) {
        case '"':
            text_add(t, "\\\"");
            break;
        case '\\':
            text_add(t, "\\\\");
            break;
        case '\n':
            text_add(t, "\\n");
            break;
        case '\r':
            text_add(t, "\\r");
            break;
        case '\t':
            text_add(t, "\\t");
            break;
        default:
            if (*p < JSON_CONTROL_LIMIT)
                text_add(t, "\\u%04x", *p);
            else
                text_add(t, "%c", *p);
        }
    }
    text_add(t, "\"");
}

long long tm_wall_ns(uint64_t event_mono_ns, long long mono_now_ns, long long real_now_ns) {
    return real_now_ns - (mono_now_ns - (long long)event_mono_ns);
}

long long tm_wall_ns_now(uint64_t event_mono_ns) {
    struct timespec mono, real;
    clock_gettime(CLOCK_MONOTONIC, &mono);
    clock_gettime(CLOCK_REALTIME, &real);
    return tm_wall_ns(event_mono_ns, (long long)mono.tv_sec * NSEC_PER_SEC + mono.tv_nsec,
                      (long long)real.tv_sec * NSEC_PER_SEC + real.tv_nsec);
}

int tm_format_time(long long wall_ns, char *buf, size_t len) {
    struct tm_text t;
    text_init(&t, buf, len);
    /* Floor division, so that an instant before the epoch keeps a
     * fraction in [0, 1) s. */
    long long sec = wall_ns / NSEC_PER_SEC;
    long long frac = wall_ns % NSEC_PER_SEC;
    if (frac < 0) {
        frac += NSEC_PER_SEC;
        sec--;
    }
    time_t when = (time_t)sec;
    struct tm local;
    char date[DATE_TIME_SIZE];
    if (localtime_r(&when, &local) == NULL ||
        strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S", &local) == 0) {
        return 0;
    }
    long off_min = local.tm_gmtoff / SEC_PER_MIN;
    char sign = off_min < 0 ? '-' : '+';
    if (off_min < 0)
        off_min = -off_min;
    text_add(&t, "%s.%06lld%c%02ld:%02ld", date, frac / NSEC_PER_USEC, sign, off_min / MIN_PER_HOUR,
             off_min % MIN_PER_HOUR);
    return t.ok;
}

int tm_json_escape(const char *s, char *buf, size_t len) {
    struct tm_text t;
    text_init(&t, buf, len);
    text_add_json(&t, s);
    if (!t.ok)
        return 0;
    /* Without the quotes. */
    memmove(buf, buf + 1, t.used - 2);
    buf[t.used - 2] = '\0';
    return 1;
}

int tm_topic(char *buf, size_t len, const char *prefix, const char *node, const char *line,
             const char *leaf) {
    struct tm_text t;
    text_init(&t, buf, len);
    text_add(&t, "%s/%s/%s/%s", prefix, node, line, leaf);
    return t.ok;
}

int tm_object_id(char *buf, size_t len, const char *node, const char *line) {
    struct tm_text t;
    text_init(&t, buf, len);
    text_add(&t, "%s_%s", node, line);
    if (!t.ok)
        return 0;
    for (char *p = buf; *p; p++) {
        char c = *p;
        int keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '-';
        if (!keep)
            *p = '_';
    }
    return 1;
}

static const char *kind_name(int kind) {
    return kind == VORN_EVENT_ATTACHED ? "attached" : "removed";
}

int tm_format_event(const struct tm_record *rec, char *buf, size_t len) {
    char rom[VORN_ROM_TEXT_SIZE];
    char when[TM_TIME_TEXT_SIZE];
    if (vorn_rom_to_text(rec->rom, rom, sizeof(rom)) < 0 ||
        !tm_format_time(rec->wall_ns, when, sizeof(when))) {
        if (len > 0)
            buf[0] = '\0';
        return 0;
    }
    struct tm_text t;
    text_init(&t, buf, len);
    text_add(&t, "{\"event_type\":\"%s\",\"rom\":\"%s\",\"seq\":%lu,\"time\":\"%s\"",
             kind_name(rec->kind), rom, (unsigned long)rec->seq, when);
    if (rec->lost)
        text_add(&t, ",\"lost\":%lu", (unsigned long)rec->lost);
    text_add(&t, "}");
    return t.ok;
}

int tm_discovery_topic(char *buf, size_t len, const struct tm_names *n, const char *component) {
    char id[TM_OBJECT_ID_SIZE];
    if (!tm_object_id(id, sizeof(id), n->node, n->line)) {
        if (len > 0)
            buf[0] = '\0';
        return 0;
    }
    struct tm_text t;
    text_init(&t, buf, len);
    text_add(&t, "%s/%s/%s/config", n->discovery, component, id);
    return t.ok;
}

/* "device":{...}, the same in both configurations so that Home Assistant
 * puts the tag scanner and the event entity on one device. */
static void add_device(struct tm_text *t, const struct tm_names *n, const char *id) {
    char name[TM_TOPIC_SIZE];
    char ident[TM_OBJECT_ID_SIZE + sizeof("vorn_")];
    int nn = snprintf(name, sizeof(name), "%s %s", n->node, n->line);
    int ni = snprintf(ident, sizeof(ident), "vorn_%s", id);
    if (nn < 0 || (size_t)nn >= sizeof(name) || ni < 0 || (size_t)ni >= sizeof(ident)) {
        t->ok = 0;
        return;
    }
    text_add(t, "\"device\":{\"identifiers\":[");
    text_add_json(t, ident);
    text_add(t, "],\"name\":");
    text_add_json(t, name);
    text_add(t, ",\"model\":\"touch-memory reader\",\"sw_version\":");
    text_add_json(t, n->version);
    text_add(t, "}");
}

int tm_format_tag_config(const struct tm_names *n, char *buf, size_t len) {
    char id[TM_OBJECT_ID_SIZE];
    char topic[TM_TOPIC_SIZE];
    struct tm_text t;
    text_init(&t, buf, len);
    if (!tm_object_id(id, sizeof(id), n->node, n->line) ||
        !tm_topic(topic, sizeof(topic), n->prefix, n->node, n->line, TM_LEAF_TAG))
        return 0;
    text_add(&t, "{\"topic\":");
    text_add_json(&t, topic);
    text_add(&t, ",");
    add_device(&t, n, id);
    text_add(&t, "}");
    return t.ok;
}

int tm_format_event_config(const struct tm_names *n, char *buf, size_t len) {
    char id[TM_OBJECT_ID_SIZE];
    char state[TM_TOPIC_SIZE];
    char avail[TM_TOPIC_SIZE];
    struct tm_text t;
    text_init(&t, buf, len);
    if (!tm_object_id(id, sizeof(id), n->node, n->line) ||
        !tm_topic(state, sizeof(state), n->prefix, n->node, n->line, TM_LEAF_EVENT) ||
        !tm_topic(avail, sizeof(avail), n->prefix, n->node, n->line, TM_LEAF_AVAILABILITY))
        return 0;
    text_add(&t, "{\"name\":\"Key\",\"unique_id\":\"vorn_%s_event\",\"state_topic\":", id);
    text_add_json(&t, state);
    text_add(&t, ",\"event_types\":[\"attached\",\"removed\"],\"availability_topic\":");
    text_add_json(&t, avail);
    text_add(&t, ",");
    add_device(&t, n, id);
    text_add(&t, "}");
    return t.ok;
}
