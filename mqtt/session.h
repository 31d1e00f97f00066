/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The broker session: one libmosquitto client driven from tmmqtt's own
 * poll loop, connecting without blocking, reconnecting with a backoff, and
 * telling the permanent failures (a refused login, a certificate that does
 * not verify) from the passing ones (a broker that is down). */
#ifndef TMMQTT_SESSION_H
#define TMMQTT_SESSION_H

#include <poll.h>
#include <stddef.h>

#include "options.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Reconnection waits: 1 s doubling up to 60 s. */
#define TM_BACKOFF_FIRST_MS 1000
#define TM_BACKOFF_MAX_MS 60000
/* A refused login is tried this often in all before tmmqtt gives up. */
#define TM_AUTH_ATTEMPTS 3
/* Events handed to libmosquitto and not yet acknowledged, at most: the
 * rest wait in tmmqtt's bounded queue. */
#define TM_WINDOW 20
/* MQTT keep-alive, seconds: a broker that went silent is noticed within
 * one and a half of it. */
#define TM_KEEPALIVE_S 30
/* Room for a failure message with a path and libmosquitto's words. */
#define TM_MESSAGE_SIZE (2 * TM_PATH_SIZE)

struct mosquitto;

enum tm_link { TM_LINK_IDLE, TM_LINK_CONNECTING, TM_LINK_UP };

struct tm_session {
    struct mosquitto *mosq;
    const struct tm_options *opt;
    enum tm_link link;
    /* Set when a connection was accepted; the owner clears it after
     * publishing what a new connection needs. */
    int fresh;
    /* Nonzero: tmmqtt must end with this status, the reason in message. */
    int fatal;
    char message[TM_MESSAGE_SIZE];
    int backoff_ms;
    long long next_attempt_ms;
    int auth_refusals;
    /* Messages handed to libmosquitto, not yet acknowledged. */
    int unacked;
    /* The connection's trouble was reported (once an outage). */
    int outage_reported;
    /* libmosquitto's last error lines (TLS errors come only through its
     * log). */
    char last_log[TM_ERR_SIZE];
};

/* Makes the client: identity, last will (will_topic, "offline",
 * retained), user name and password, TLS with verification when a CA file
 * is set. The password is copied by libmosquitto. 1, or 0 with message. */
int tm_session_init(struct tm_session *s, const struct tm_options *opt, const char *client_id,
                    const char *will_topic, const char *password);
void tm_session_free(struct tm_session *s);

/* The socket to wait on (-1: none) and the events, and the longest wait
 * before tm_session_service must run again. */
int tm_session_poll_fd(const struct tm_session *s, short *events);
int tm_session_timeout_ms(const struct tm_session *s, long long now_ms);

/* Connects when due and does the socket's reading, writing and keep-alive;
 * revents from the poll on the socket (0 when it was not polled). */
void tm_session_service(struct tm_session *s, long long now_ms, short revents);

/* Publishes at QoS 1. 1 when libmosquitto took it. */
int tm_session_publish(struct tm_session *s, const char *topic, const char *payload, int retain);

/* Whether an event may be handed over now (up, and the window not full). */
int tm_session_can_take(const struct tm_session *s);

/* Publishes payload on topic (retained) if up, waits for its acknowledgement
 * up to wait_ms, and disconnects cleanly (no last will then). */
void tm_session_close(struct tm_session *s, const char *topic, const char *payload, int wait_ms);

/* The monotonic clock in milliseconds. */
long long tm_now_ms(void);

#ifdef __cplusplus
}
#endif

#endif
