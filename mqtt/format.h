/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The topics and payloads tmmqtt publishes, built into a caller's buffer:
 * each function returns 1, or 0 when the text does not fit (the buffer
 * then holds a truncated, NUL-terminated text that must not be sent). */
#ifndef TMMQTT_FORMAT_H
#define TMMQTT_FORMAT_H

#include <stddef.h>
#include <stdint.h>

#include "record.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sizes of the texts built here. */
#define TM_TOPIC_SIZE 512
#define TM_PAYLOAD_SIZE 2048
#define TM_TIME_TEXT_SIZE 48
#define TM_OBJECT_ID_SIZE 256

/* The leaves under <prefix>/<node>/<line>/. */
#define TM_LEAF_AVAILABILITY "availability"
#define TM_LEAF_KEY "key"
#define TM_LEAF_EVENT "event"
#define TM_LEAF_TAG "tag"

#define TM_PAYLOAD_ONLINE "online"
#define TM_PAYLOAD_OFFLINE "offline"
#define TM_PAYLOAD_NO_KEY "none"

/* The wall-clock time (ns since the epoch) of the CLOCK_MONOTONIC instant
 * event_mono_ns, given both clocks read together now. */
long long tm_wall_ns(uint64_t event_mono_ns, long long mono_now_ns, long long real_now_ns);

/* The wall-clock time of the monotonic instant, both clocks read now. */
long long tm_wall_ns_now(uint64_t event_mono_ns);

/* ISO 8601 local time with microseconds and the zone's offset, e.g.
 * "2026-12-09T04:05:06.123456+01:00" (the local zone as TZ gives it). */
int tm_format_time(long long wall_ns, char *buf, size_t len);

/* s as the inside of a JSON string: quote, backslash and control
 * characters escaped; bytes of 0x80 and above are passed as they are. */
int tm_json_escape(const char *s, char *buf, size_t len);

/* <prefix>/<node>/<line>/<leaf>. */
int tm_topic(char *buf, size_t len, const char *prefix, const char *node, const char *line,
             const char *leaf);

/* <node>_<line> with every character outside [A-Za-z0-9_-] made '_', as
 * Home Assistant's discovery topics and identifiers want it. */
int tm_object_id(char *buf, size_t len, const char *node, const char *line);

/* The event topic's JSON: {"event_type":..,"rom":..,"seq":..,"time":..}
 * and ,"lost":N when changes were lost just before it. */
int tm_format_event(const struct tm_record *rec, char *buf, size_t len);

/* What the discovery texts name. */
struct tm_names {
    const char *prefix;
    const char *discovery;
    const char *node;
    const char *line;
    const char *version;
};

/* <discovery>/tag/<id>/config and <discovery>/event/<id>/config. */
int tm_discovery_topic(char *buf, size_t len, const struct tm_names *n, const char *component);
/* The tag scanner's configuration. */
int tm_format_tag_config(const struct tm_names *n, char *buf, size_t len);
/* The event entity's configuration. */
int tm_format_event_config(const struct tm_names *n, char *buf, size_t len);

#ifdef __cplusplus
}
#endif

#endif
