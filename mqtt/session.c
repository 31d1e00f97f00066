// SPDX-License-Identifier: GPL-2.0-or-later
/* The libmosquitto client, stepped by tmmqtt's loop (mosquitto_loop with no
 * wait), so that the line, the signals and the broker share one thread. */
#define _GNU_SOURCE
#include "session.h"

#include <errno.h>
#include <mosquitto.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "format.h"

#define MSEC_PER_SEC 1000LL
#define NSEC_PER_MSEC 1000000LL
/* While a connection is being made, libmosquitto is stepped this often
 * even without socket events (the TLS handshake's turns). */
#define TM_CONNECTING_TICK_MS 100
/* Keep-alive is checked at least this often while up. */
#define TM_MISC_TICK_MS 1000
/* The MQTT 3.1.1 CONNACK codes of a refused login. */
#define CONNACK_BAD_CREDENTIALS 4
#define CONNACK_NOT_AUTHORISED 5
/* Step of the wait for the last acknowledgement when closing. */
#define TM_CLOSE_STEP_MS 10
#define TM_DISCONNECT_WAIT_MS 200

long long tm_now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * MSEC_PER_SEC + ts.tv_nsec / NSEC_PER_MSEC;
}

static void schedule_retry(struct tm_session *s, long long now_ms) {
    s->next_attempt_ms = now_ms + s->backoff_ms;
    s->backoff_ms *= 2;
    if (s->backoff_ms > TM_BACKOFF_MAX_MS)
        s->backoff_ms = TM_BACKOFF_MAX_MS;
}

/* The connection ended or could not be made; reason for the message. */
static void link_down(struct tm_session *s, const char *reason) {
    if (s->link == TM_LINK_IDLE)
        return;
    int was_up = s->link == TM_LINK_UP;
    s->link = TM_LINK_IDLE;
    long long now = tm_now_ms();
    long long wait = s->backoff_ms;
    schedule_retry(s, now);
    if (s->fatal || s->outage_reported)
        return;
    s->outage_reported = 1;
    fprintf(stderr, "tmmqtt: %s:%d: %s [%s]; trying again in %lld s, then with a backoff\n",
            s->opt->host, s->opt->port, was_up ? "connection lost" : "cannot connect", reason,
            wait / MSEC_PER_SEC);
}

static void on_connect(struct mosquitto *mosq, void *obj, int rc) {
    (void)mosq;
    struct tm_session *s = obj;
    if (rc == 0) {
        s->link = TM_LINK_UP;
        s->fresh = 1;
        s->backoff_ms = TM_BACKOFF_FIRST_MS;
        s->auth_refusals = 0;
        if (s->outage_reported)
            fprintf(stderr, "tmmqtt: %s:%d: connected again\n", s->opt->host, s->opt->port);
        s->outage_reported = 0;
        return;
    }
    if (rc == CONNACK_BAD_CREDENTIALS || rc == CONNACK_NOT_AUTHORISED) {
        s->auth_refusals++;
        if (s->auth_refusals >= TM_AUTH_ATTEMPTS) {
            s->fatal = 1;
            snprintf(s->message, sizeof(s->message),
                     "%s:%d: authorisation failed: the broker refused user '%s' (%s); gave up "
                     "after %d attempts",
                     s->opt->host, s->opt->port, s->opt->username, mosquitto_connack_string(rc),
                     TM_AUTH_ATTEMPTS);
        }
    }
    link_down(s, mosquitto_connack_string(rc));
}

static void on_disconnect(struct mosquitto *mosq, void *obj, int rc) {
    (void)mosq;
    struct tm_session *s = obj;
    if (rc == 0) {
        /* Our own disconnect. */
        s->link = TM_LINK_IDLE;
        return;
    }
    link_down(s, mosquitto_strerror(rc));
}

static void on_publish(struct mosquitto *mosq, void *obj, int mid) {
    (void)mosq;
    (void)mid;
    struct tm_session *s = obj;
    if (s->unacked > 0)
        s->unacked--;
}

static void on_log(struct mosquitto *mosq, void *obj, int level, const char *str) {
    (void)mosq;
    struct tm_session *s = obj;
    if (level & MOSQ_LOG_ERR)
        snprintf(s->last_log, sizeof(s->last_log), "%s", str);
}

int tm_session_init(struct tm_session *s, const struct tm_options *opt, const char *client_id,
                    const char *will_topic, const char *password) {
    memset(s, 0, sizeof(*s));
    s->opt = opt;
    s->backoff_ms = TM_BACKOFF_FIRST_MS;
    s->next_attempt_ms = tm_now_ms();
    mosquitto_lib_init();
    s->mosq = mosquitto_new(client_id, true, s);
    if (s->mosq == NULL) {
        int e = errno;
        snprintf(s->message, sizeof(s->message), "cannot make the MQTT client [%s]", strerror(e));
        return 0;
    }
    mosquitto_connect_callback_set(s->mosq, on_connect);
    mosquitto_disconnect_callback_set(s->mosq, on_disconnect);
    mosquitto_publish_callback_set(s->mosq, on_publish);
    mosquitto_log_callback_set(s->mosq, on_log);
    int rc = mosquitto_will_set(s->mosq, will_topic, (int)strlen(TM_PAYLOAD_OFFLINE),
                                TM_PAYLOAD_OFFLINE, 1, true);
    if (rc == MOSQ_ERR_SUCCESS && opt->username[0])
        rc = mosquitto_username_pw_set(s->mosq, opt->username, password);
    if (rc != MOSQ_ERR_SUCCESS) {
        snprintf(s->message, sizeof(s->message), "cannot set up the MQTT client [%s]",
                 mosquitto_strerror(rc));
        return 0;
    }
    if (opt->cafile[0]) {
        rc = mosquitto_tls_set(s->mosq, opt->cafile, NULL, NULL, NULL, NULL);
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_tls_insecure_set(s->mosq, false);
        if (rc != MOSQ_ERR_SUCCESS) {
            snprintf(s->message, sizeof(s->message), "cannot use the CA file %s [%s]", opt->cafile,
                     rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
            return 0;
        }
    }
    return 1;
}

void tm_session_free(struct tm_session *s) {
    if (s->mosq)
        mosquitto_destroy(s->mosq);
    s->mosq = NULL;
    mosquitto_lib_cleanup();
}

int tm_session_poll_fd(const struct tm_session *s, short *events) {
    *events = 0;
    if (s->link == TM_LINK_IDLE)
        return -1;
    int fd = mosquitto_socket(s->mosq);
    if (fd < 0)
        return -1;
    *events = POLLIN;
    if (mosquitto_want_write(s->mosq))
        *events |= POLLOUT;
    return fd;
}

int tm_session_timeout_ms(const struct tm_session *s, long long now_ms) {
    if (s->link == TM_LINK_CONNECTING)
        return TM_CONNECTING_TICK_MS;
    if (s->link == TM_LINK_UP)
        return TM_MISC_TICK_MS;
    long long wait = s->next_attempt_ms - now_ms;
    if (wait < 0)
        return 0;
    return wait > TM_BACKOFF_MAX_MS ? TM_BACKOFF_MAX_MS : (int)wait;
}

/* OpenSSL's words, in libmosquitto's log, for a chain or a name that does
 * not verify. */
#define TLS_VERIFY_FAILED "certificate verify failed"

/* A TLS failure while connecting. The server's certificate not verifying
 * (libmosquitto checks the chain against the CA file and the name against
 * the host) is for good; anything else (the peer closing in the middle of
 * the handshake, a port without TLS) is tried again like a lost
 * connection. */
static void tls_failed(struct tm_session *s) {
    if (strstr(s->last_log, TLS_VERIFY_FAILED) == NULL) {
        link_down(s, s->last_log[0] ? s->last_log : "TLS handshake failed");
        return;
    }
    s->fatal = 1;
    s->link = TM_LINK_IDLE;
    snprintf(s->message, sizeof(s->message),
             "%s:%d: the server's certificate does not verify (not signed by the CA in %s, or "
             "not issued to '%s'): %s",
             s->opt->host, s->opt->port, s->opt->cafile, s->opt->host, s->last_log);
}

static void attempt(struct tm_session *s, long long now_ms) {
    s->last_log[0] = '\0';
    s->link = TM_LINK_CONNECTING;
    int rc = mosquitto_connect_async(s->mosq, s->opt->host, s->opt->port, TM_KEEPALIVE_S);
    if (rc == MOSQ_ERR_SUCCESS)
        return;
    if (rc == MOSQ_ERR_TLS) {
        tls_failed(s);
        return;
    }
    (void)now_ms;
    link_down(s, rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
}

void tm_session_service(struct tm_session *s, long long now_ms, short revents) {
    (void)revents;
    if (s->fatal)
        return;
    if (s->link == TM_LINK_IDLE) {
        if (now_ms < s->next_attempt_ms)
            return;
        attempt(s, now_ms);
        if (s->link == TM_LINK_IDLE || s->fatal)
            return;
    }
    int connecting = s->link == TM_LINK_CONNECTING;
    int rc = mosquitto_loop(s->mosq, 0, 1);
    if (rc == MOSQ_ERR_SUCCESS || s->fatal)
        return;
    if (rc == MOSQ_ERR_TLS && connecting) {
        tls_failed(s);
        return;
    }
    int e = errno;
    link_down(s, rc == MOSQ_ERR_ERRNO ? strerror(e) : mosquitto_strerror(rc));
}

int tm_session_publish(struct tm_session *s, const char *topic, const char *payload, int retain) {
    if (s->link != TM_LINK_UP)
        return 0;
    int rc = mosquitto_publish(s->mosq, NULL, topic, (int)strlen(payload), payload, 1, retain != 0);
    if (rc != MOSQ_ERR_SUCCESS)
        return 0;
    s->unacked++;
    return 1;
}

int tm_session_can_take(const struct tm_session *s) {
    return s->link == TM_LINK_UP && s->unacked < TM_WINDOW;
}

void tm_session_close(struct tm_session *s, const char *topic, const char *payload, int wait_ms) {
    if (s->link != TM_LINK_UP)
        return;
    long long deadline = tm_now_ms() + wait_ms;
    if (tm_session_publish(s, topic, payload, 1)) {
        while (s->unacked > 0 && s->link == TM_LINK_UP && tm_now_ms() < deadline) {
            if (mosquitto_loop(s->mosq, TM_CLOSE_STEP_MS, 1) != MOSQ_ERR_SUCCESS)
                break;
        }
    }
    if (s->link != TM_LINK_UP)
        return;
    mosquitto_disconnect(s->mosq);
    long long end = tm_now_ms() + TM_DISCONNECT_WAIT_MS;
    while (mosquitto_socket(s->mosq) >= 0 && tm_now_ms() < end) {
        if (mosquitto_loop(s->mosq, TM_CLOSE_STEP_MS, 1) != MOSQ_ERR_SUCCESS)
            break;
    }
}
