// SPDX-License-Identifier: GPL-2.0-or-later
/* tmmqtt: publishes the key events of one touch-memory line to an MQTT
 * broker, with Home Assistant discovery. One thread waits on the line's
 * event descriptor, the broker's socket and a signalfd together; events
 * wait in a bounded queue while the broker cannot take them; the line is
 * reopened when it comes back after going away. */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "format.h"
#include "options.h"
#include "password.h"
#include "queue.h"
#include "session.h"
#include "vorn.h"

#ifndef TMMQTT_VERSION
#define TMMQTT_VERSION "unknown"
#endif

#define EXIT_FAILED 1
#define EXIT_USAGE 2
/* A line that went away is looked for again this often. */
#define TM_REOPEN_MS 1000
/* At SIGTERM/SIGINT: the wait for the broker to take "offline". */
#define TM_CLOSE_WAIT_MS 1000
#define POLL_SIGNAL 0
#define POLL_LINE 1
#define POLL_BROKER 2
#define POLL_SLOTS 3
#define TM_CLIENT_ID_SIZE 256

static const char kUsage[] =
    "Usage: tmmqtt [--host H] [--port N] [--username U] [--password-file F] [--cafile F]\n"
    "              [--node NAME] [--prefix P] [--discovery-prefix P] [--config F] [DEVICE]\n"
    "Publishes the key events of a touch-memory line to an MQTT broker, under\n"
    "<prefix>/<node>/<line>/: availability (online/offline, retained), key (the\n"
    "present key's ROM or none, retained), event (JSON, QoS 1) and tag (the ROM\n"
    "of each attached key), with Home Assistant discovery.\n"
    "DEVICE defaults to " VORN_DEFAULT_PATH ".\n"
    "\n"
    "  --host H              the broker (default " TM_DEFAULT_HOST ")\n"
    "  --port N              its port (default 1883, 8883 with --cafile)\n"
    "  --username U          log in as U\n"
    "  --password-file F     the password, alone in file F (never on the command line)\n"
    "  --cafile F            TLS, the server's certificate verified against the CA in F\n"
    "                        and its name against H\n"
    "  --node NAME           this reader's name in topics (default: the host name)\n"
    "  --prefix P            topic prefix (default " TM_DEFAULT_PREFIX ")\n"
    "  --discovery-prefix P  Home Assistant's (default " TM_DEFAULT_DISCOVERY "; empty: none)\n"
    "  --config F            settings file (default " TM_DEFAULT_CONFIG "), the same names;\n"
    "                        the command line wins\n"
    "  -h, --help            this text\n"
    "  -V, --version         the version\n"
    "\n"
    "Ends with status 0 on SIGINT or SIGTERM (offline published), 1 when the\n"
    "broker refuses the login or its certificate does not verify, 2 on a usage\n"
    "error or a configuration or password file that cannot be used.\n";

struct app {
    struct tm_options opt;
    const char *line_name;
    struct tm_names names;
    char topic_avail[TM_TOPIC_SIZE];
    char topic_key[TM_TOPIC_SIZE];
    char topic_event[TM_TOPIC_SIZE];
    char topic_tag[TM_TOPIC_SIZE];
    struct vorn_line *line;
    int efd;
    long long next_reopen_ms;
    /* errno of the last failed open, reported once until it changes. */
    int open_error;
    /* The key as last seen: known at all, present, its ROM. */
    int key_known;
    int key_present;
    uint8_t key[VORN_ROM_BYTES];
    int key_dirty;
    int avail_dirty;
    struct tm_queue queue;
    struct tm_session session;
};

static void publish_discovery(struct app *a) {
    if (a->opt.discovery[0] == '\0')
        return;
    char topic[TM_TOPIC_SIZE];
    char payload[TM_PAYLOAD_SIZE];
    if (tm_discovery_topic(topic, sizeof(topic), &a->names, "tag") &&
        tm_format_tag_config(&a->names, payload, sizeof(payload)))
        tm_session_publish(&a->session, topic, payload, 1);
    if (tm_discovery_topic(topic, sizeof(topic), &a->names, "event") &&
        tm_format_event_config(&a->names, payload, sizeof(payload)))
        tm_session_publish(&a->session, topic, payload, 1);
}

static void publish_key(struct app *a) {
    char rom[VORN_ROM_TEXT_SIZE];
    const char *text = TM_PAYLOAD_NO_KEY;
    if (a->key_present) {
        vorn_rom_to_text(a->key, rom, sizeof(rom));
        text = rom;
    }
    if (tm_session_publish(&a->session, a->topic_key, text, 1))
        a->key_dirty = 0;
}

/* Hands queued events to the broker, oldest first, while it takes them. */
static void drain(struct app *a) {
    const struct tm_record *r;
    while (tm_session_can_take(&a->session) && (r = tm_queue_front(&a->queue)) != NULL) {
        char payload[TM_PAYLOAD_SIZE];
        if (!tm_format_event(r, payload, sizeof(payload))) {
            fprintf(stderr, "tmmqtt: cannot format event %lu; dropped\n", (unsigned long)r->seq);
            tm_queue_pop(&a->queue);
            continue;
        }
        if (!tm_session_publish(&a->session, a->topic_event, payload, 0))
            return;
        if (r->kind == VORN_EVENT_ATTACHED) {
            char rom[VORN_ROM_TEXT_SIZE];
            vorn_rom_to_text(r->rom, rom, sizeof(rom));
            tm_session_publish(&a->session, a->topic_tag, rom, 0);
        }
        tm_queue_pop(&a->queue);
    }
}

/* Publishes what the broker should know now: after a new connection
 * everything, otherwise what changed. */
static void publish_pending(struct app *a) {
    struct tm_session *s = &a->session;
    if (s->fresh) {
        s->fresh = 0;
        s->unacked = 0;
        publish_discovery(a);
        a->avail_dirty = 1;
        if (a->key_known)
            a->key_dirty = 1;
    }
    if (s->link != TM_LINK_UP)
        return;
    if (a->avail_dirty &&
        tm_session_publish(s, a->topic_avail, a->line ? TM_PAYLOAD_ONLINE : TM_PAYLOAD_OFFLINE, 1))
        a->avail_dirty = 0;
    drain(a);
    if (a->key_dirty && a->key_known)
        publish_key(a);
}

static void set_key(struct app *a, int present, const uint8_t rom[VORN_ROM_BYTES]) {
    if (a->key_known && a->key_present == present &&
        (!present || memcmp(a->key, rom, VORN_ROM_BYTES) == 0))
        return;
    a->key_known = 1;
    a->key_present = present;
    if (present)
        memcpy(a->key, rom, VORN_ROM_BYTES);
    a->key_dirty = 1;
}

static void line_close(struct app *a) {
    vorn_close(a->line);
    a->line = NULL;
    a->efd = -1;
    a->avail_dirty = 1;
    a->open_error = 0;
    a->next_reopen_ms = tm_now_ms() + TM_REOPEN_MS;
}

/* Opens the line, starts its watch and reads the present key. */
static void line_open(struct app *a) {
    const char *path = a->opt.device;
    struct vorn_line *line = vorn_open(path);
    int e = errno;
    int efd = line ? vorn_fd(line) : -e;
    if (efd < 0) {
        vorn_close(line);
        if (-efd != a->open_error)
            fprintf(stderr, "tmmqtt: cannot open %s [%s]; looking again every %d s\n", path,
                    strerror(-efd), TM_REOPEN_MS / 1000);
        a->open_error = -efd;
        a->next_reopen_ms = tm_now_ms() + TM_REOPEN_MS;
        return;
    }
    if (a->open_error)
        fprintf(stderr, "tmmqtt: %s: open\n", path);
    a->open_error = 0;
    a->line = line;
    a->efd = efd;
    a->avail_dirty = 1;
    /* The watch runs from vorn_fd on: a change after this read comes as an
     * event, so the key is never left stale. */
    uint8_t rom[VORN_ROM_BYTES];
    int r = vorn_read_rom(line, rom);
    if (r == 0)
        set_key(a, 1, rom);
    else if (r == -ENXIO)
        set_key(a, 0, rom);
}

/* Queues every event that waits on the line. */
static void read_events(struct app *a) {
    for (;;) {
        struct vorn_event ev;
        int r = vorn_read_event(a->line, &ev);
        if (r == -EAGAIN)
            return;
        if (r < 0) {
            fprintf(stderr, "tmmqtt: %s: the line is gone [%s]; offline until it comes back\n",
                    a->opt.device, strerror(-r));
            line_close(a);
            return;
        }
        struct tm_record rec = {.kind = ev.kind == VORN_EVENT_ATTACHED ? VORN_EVENT_ATTACHED
                                                                       : VORN_EVENT_REMOVED,
                                .seq = ev.seqno,
                                .lost = ev.lost,
                                .wall_ns = tm_wall_ns_now(ev.timestamp_ns)};
        memcpy(rec.rom, ev.rom, VORN_ROM_BYTES);
        tm_queue_push(&a->queue, &rec);
        set_key(a, rec.kind == VORN_EVENT_ATTACHED, rec.rom);
    }
}

static int min_timeout(int a, int b) {
    if (a < 0)
        return b;
    if (b < 0)
        return a;
    return a < b ? a : b;
}

static int run(struct app *a, int sfd) {
    for (;;) {
        if (a->session.fatal) {
            fprintf(stderr, "tmmqtt: %s\n", a->session.message);
            return EXIT_FAILED;
        }
        publish_pending(a);

        long long now = tm_now_ms();
        struct pollfd pfd[POLL_SLOTS] = {
            {.fd = sfd, .events = POLLIN}, {.fd = a->efd, .events = POLLIN}, {.fd = -1}};
        short events = 0;
        pfd[POLL_BROKER].fd = tm_session_poll_fd(&a->session, &events);
        pfd[POLL_BROKER].events = events;
        int timeout = tm_session_timeout_ms(&a->session, now);
        if (a->line == NULL) {
            long long wait = a->next_reopen_ms - now;
            timeout = min_timeout(timeout, wait < 0 ? 0 : (int)wait);
        }
        if (poll(pfd, POLL_SLOTS, timeout) < 0 && errno != EINTR) {
            fprintf(stderr, "tmmqtt: poll failed [%s]\n", strerror(errno));
            return EXIT_FAILED;
        }
        /* Events that came before a signal are published first. */
        if (a->line && pfd[POLL_LINE].revents)
            read_events(a);
        now = tm_now_ms();
        if (a->line == NULL && now >= a->next_reopen_ms)
            line_open(a);
        tm_session_service(&a->session, now, pfd[POLL_BROKER].revents);
        if (pfd[POLL_SIGNAL].revents) {
            publish_pending(a);
            tm_session_close(&a->session, a->topic_avail, TM_PAYLOAD_OFFLINE, TM_CLOSE_WAIT_MS);
            return 0;
        }
    }
}

/* Settings from the defaults, the configuration file and the command line;
 * 0, or the exit status. */
static int configure(int argc, char **argv, struct tm_options *o) {
    char err[TM_ERR_SIZE];
    struct tm_args args;
    tm_args_parse(argc, argv, &args, err, sizeof(err));
    switch (args.action) {
    case TM_HELP:
        fputs(kUsage, stdout);
        return -1;
    case TM_VERSION:
        printf("tmmqtt %s\n", TMMQTT_VERSION);
        return -1;
    case TM_USAGE_ERROR:
        fprintf(stderr, "tmmqtt: %s\nTry 'tmmqtt --help'.\n", err);
        return EXIT_USAGE;
    case TM_RUN:
        break;
    }
    if (!tm_options_defaults(o, err, sizeof(err)) ||
        !tm_config_load(o, args.config, args.config_given, err, sizeof(err))) {
        fprintf(stderr, "tmmqtt: %s\n", err);
        return EXIT_USAGE;
    }
    for (size_t i = 0; i < args.count; i++) {
        if (!tm_options_set(o, args.set[i].name, args.set[i].value, err, sizeof(err))) {
            fprintf(stderr, "tmmqtt: --%s: %s\nTry 'tmmqtt --help'.\n", args.set[i].name, err);
            return EXIT_USAGE;
        }
    }
    if (!tm_options_check(o, err, sizeof(err))) {
        fprintf(stderr, "tmmqtt: %s\n", err);
        return EXIT_USAGE;
    }
    return 0;
}

static int topics(struct app *a) {
    const struct tm_options *o = &a->opt;
    const char *slash = strrchr(o->device, '/');
    a->line_name = slash ? slash + 1 : o->device;
    a->names = (struct tm_names){.prefix = o->prefix,
                                 .discovery = o->discovery,
                                 .node = o->node,
                                 .line = a->line_name,
                                 .version = TMMQTT_VERSION};
    return tm_topic(a->topic_avail, sizeof(a->topic_avail), o->prefix, o->node, a->line_name,
                    TM_LEAF_AVAILABILITY) &&
           tm_topic(a->topic_key, sizeof(a->topic_key), o->prefix, o->node, a->line_name,
                    TM_LEAF_KEY) &&
           tm_topic(a->topic_event, sizeof(a->topic_event), o->prefix, o->node, a->line_name,
                    TM_LEAF_EVENT) &&
           tm_topic(a->topic_tag, sizeof(a->topic_tag), o->prefix, o->node, a->line_name,
                    TM_LEAF_TAG);
}

/* Makes the broker session with the password, which is wiped after. */
static int start_session(struct app *a) {
    char password[TM_PASSWORD_SIZE] = "";
    char err[TM_ERR_SIZE];
    const struct tm_options *o = &a->opt;
    if (o->password_file[0]) {
        int world = 0;
        if (!tm_password_read(o->password_file, password, sizeof(password), &world, err,
                              sizeof(err))) {
            fprintf(stderr, "tmmqtt: %s\n", err);
            return EXIT_USAGE;
        }
        if (world)
            fprintf(stderr,
                    "tmmqtt: warning: the password file %s can be read by others; make it "
                    "readable by its owner and group only (chmod 640)\n",
                    o->password_file);
    }
    char client_id[TM_CLIENT_ID_SIZE];
    int n = snprintf(client_id, sizeof(client_id), "tmmqtt-%s-%s", o->node, a->line_name);
    int ok = n > 0 && (size_t)n < sizeof(client_id) &&
             tm_session_init(&a->session, o, client_id, a->topic_avail,
                             o->password_file[0] ? password : NULL);
    explicit_bzero(password, sizeof(password));
    if (!ok) {
        fprintf(stderr, "tmmqtt: %s\n",
                a->session.message[0] ? a->session.message : "the client id is too long");
        return EXIT_FAILED;
    }
    return 0;
}

int main(int argc, char **argv) {
    static struct app app;
    struct app *a = &app;
    a->efd = -1;
    int status = configure(argc, argv, &a->opt);
    if (status)
        return status < 0 ? 0 : status;
    if (!topics(a)) {
        fprintf(stderr, "tmmqtt: the topics are too long\n");
        return EXIT_USAGE;
    }

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    /* A broker that closes while a message is written is a lost
     * connection, not a reason to die. */
    signal(SIGPIPE, SIG_IGN);
    if (sigprocmask(SIG_BLOCK, &stop, NULL) != 0) {
        fprintf(stderr, "tmmqtt: cannot block signals [%s]\n", strerror(errno));
        return EXIT_FAILED;
    }
    int sfd = signalfd(-1, &stop, SFD_CLOEXEC);
    if (sfd < 0) {
        fprintf(stderr, "tmmqtt: cannot take signals [%s]\n", strerror(errno));
        return EXIT_FAILED;
    }
    if (!tm_queue_init(&a->queue, TM_QUEUE_LEN)) {
        fprintf(stderr, "tmmqtt: out of memory\n");
        close(sfd);
        return EXIT_FAILED;
    }
    status = start_session(a);
    if (status == 0) {
        line_open(a);
        status = run(a, sfd);
    }
    tm_session_free(&a->session);
    vorn_close(a->line);
    tm_queue_free(&a->queue);
    close(sfd);
    return status;
}
