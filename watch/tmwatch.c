// SPDX-License-Identifier: GPL-2.0-or-later
/* tmwatch: prints the key events of a touch-memory line as they happen, one
 * line each, for scripts. One poll waits on a signalfd, the line's event
 * descriptor and standard output together, so that SIGINT and SIGTERM end
 * it at any moment without a race against the wait, even while a reader
 * is too slow to take its output (nothing is written before poll says
 * standard output has room), and so that it ends when its reader goes
 * away (POLLERR or POLLHUP on standard output), key events or not. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <inttypes.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include "vorn.h"

#ifndef TMWATCH_VERSION
#define TMWATCH_VERSION "unknown"
#endif

#define EXIT_USAGE 2
#define EXIT_LINE 1
/* Standard output failed: the same status as a line that went. */
#define EXIT_OUTPUT EXIT_LINE
#define NSEC_PER_SEC 1000000000LL
#define NSEC_PER_USEC 1000LL
/* Room for the longest output of one event: a lost line and an event
 * line, or one JSON object. */
#define OUT_MAX 256
/* Events still printed after a signal, at most: the driver's queue. */
#define STOP_EVENTS_MAX 64
#define DEV_NULL "/dev/null"

enum { SLOT_SIGNAL, SLOT_EVENTS, SLOT_OUTPUT, POLL_SLOTS };

static const char kUsage[] =
    "Usage: tmwatch [--json] [DEVICE]\n"
    "Prints one line per key event of a touch-memory line as it happens:\n"
    "  attached <rom>   a key came (ROM: 16 lower-case hex digits, family first)\n"
    "  removed          the key went\n"
    "  lost <n>         n events were lost before the next one (a slow reader)\n"
    "DEVICE defaults to " VORN_DEFAULT_PATH ".\n"
    "\n"
    "  -j, --json     one JSON object a line instead:\n"
    "                 {\"event\":\"attached\",\"rom\":\"...\",\"time\":...,\"seq\":...,"
    "\"lost\":...}\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "\n"
    "Ends with status 0 on SIGINT or SIGTERM, 1 when the device cannot be\n"
    "opened, the line goes or standard output fails, 2 on a usage error.\n"
    "When the reader of its output goes away (tmwatch | head -n 1), it ends\n"
    "as a write to that pipe would end it: by SIGPIPE, or with status 1\n"
    "where SIGPIPE is ignored.\n";

/* What is left to write of one event's output. */
struct output {
    char buf[OUT_MAX];
    size_t len;
    size_t done;
};

/* The wall-clock time of a CLOCK_MONOTONIC instant, in nanoseconds since
 * the epoch. */
static long long wall_ns(uint64_t monotonic_ns) {
    struct timespec mono, real;
    clock_gettime(CLOCK_MONOTONIC, &mono);
    clock_gettime(CLOCK_REALTIME, &real);
    long long mono_now = (long long)mono.tv_sec * NSEC_PER_SEC + mono.tv_nsec;
    long long real_now = (long long)real.tv_sec * NSEC_PER_SEC + real.tv_nsec;
    return real_now - (mono_now - (long long)monotonic_ns);
}

/* Formats one event into out; its length (less than OUT_MAX). */
static size_t format_event(const struct vorn_event *ev, int json, char *out) {
    char rom[VORN_ROM_TEXT_SIZE];
    vorn_rom_to_text(ev->rom, rom, sizeof(rom));
    const char *kind = ev->kind == VORN_EVENT_ATTACHED  ? "attached"
                       : ev->kind == VORN_EVENT_REMOVED ? "removed"
                                                        : "unknown";
    int n;
    if (json) {
        long long wall = wall_ns(ev->timestamp_ns);
        long long sec = wall / NSEC_PER_SEC;
        long long usec = (wall % NSEC_PER_SEC) / NSEC_PER_USEC;
        n = snprintf(out, OUT_MAX,
                     "{\"event\":\"%s\",\"rom\":\"%s\",\"time\":%lld.%06lld,\"seq\":%" PRIu32
                     ",\"lost\":%" PRIu32 "}\n",
                     kind, rom, sec, usec, ev->seqno, ev->lost);
    } else {
        char lost[OUT_MAX / 2] = "";
        if (ev->lost)
            snprintf(lost, sizeof(lost), "lost %" PRIu32 "\n", ev->lost);
        if (ev->kind == VORN_EVENT_ATTACHED)
            n = snprintf(out, OUT_MAX, "%sattached %s\n", lost, rom);
        else if (ev->kind == VORN_EVENT_REMOVED)
            n = snprintf(out, OUT_MAX, "%sremoved\n", lost);
        else
            n = snprintf(out, OUT_MAX, "%sunknown %d\n", lost, ev->kind);
    }
    /* The longest line is far shorter than OUT_MAX. */
    if (n < 0)
        return 0;
    return (size_t)n < OUT_MAX ? (size_t)n : OUT_MAX - 1;
}

/* The reader of standard output went away. As a write to its pipe would,
 * SIGPIPE ends the process where it takes its default action; where the
 * signal is ignored or blocked, the status says that output failed. */
static int reader_gone(void) {
    struct sigaction sa;
    sigset_t blocked;
    if (sigaction(SIGPIPE, NULL, &sa) == 0 && sa.sa_handler == SIG_DFL &&
        sigprocmask(SIG_BLOCK, NULL, &blocked) == 0 && !sigismember(&blocked, SIGPIPE))
        raise(SIGPIPE);
    fprintf(stderr, "tmwatch: cannot write to standard output [%s]\n", strerror(EPIPE));
    return EXIT_OUTPUT;
}

/* Waits for events and prints them; the exit status of tmwatch. With
 * output pending no event is read (they wait in the driver's queue), and
 * standard output is written only when poll says it has room, so no call
 * here blocks but poll. After a signal, what is already there is printed
 * as far as it goes without waiting. */
static int watch(struct vorn_line *line, const char *path, int sfd, int json) {
    int efd = vorn_fd(line);
    if (efd < 0) {
        fprintf(stderr, "tmwatch: %s: cannot watch the line [%s]\n", path, strerror(-efd));
        return EXIT_LINE;
    }
    struct output out = {.len = 0, .done = 0};
    int stopping = 0;
    int stop_events = 0;
    for (;;) {
        int pending = out.done < out.len;
        /* Standard output with no events asked still reports POLLERR and
         * POLLHUP: its reader went away. */
        struct pollfd pfd[POLL_SLOTS] = {
            [SLOT_SIGNAL] = {.fd = stopping ? -1 : sfd, .events = POLLIN},
            [SLOT_EVENTS] = {.fd = pending ? -1 : efd, .events = POLLIN},
            [SLOT_OUTPUT] = {.fd = STDOUT_FILENO, .events = pending ? POLLOUT : 0},
        };
        int ready = poll(pfd, POLL_SLOTS, stopping ? 0 : -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "tmwatch: poll failed [%s]\n", strerror(errno));
            return EXIT_LINE;
        }
        if (ready == 0 && stopping)
            return 0;
        if (pfd[SLOT_OUTPUT].revents & (POLLERR | POLLHUP))
            return reader_gone();
        if (pfd[SLOT_OUTPUT].revents & POLLNVAL) {
            fprintf(stderr, "tmwatch: cannot write to standard output [%s]\n", strerror(EBADF));
            return EXIT_OUTPUT;
        }
        if (pending && (pfd[SLOT_OUTPUT].revents & POLLOUT)) {
            ssize_t n = write(STDOUT_FILENO, out.buf + out.done, out.len - out.done);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            if (n < 0 && errno == EPIPE)
                return reader_gone();
            if (n < 0) {
                fprintf(stderr, "tmwatch: cannot write to standard output [%s]\n", strerror(errno));
                return EXIT_OUTPUT;
            }
            out.done += (size_t)n;
            continue;
        }
        /* Events that came before the signal are printed first. */
        if (!pending && pfd[SLOT_EVENTS].revents) {
            struct vorn_event ev;
            int r = vorn_read_event(line, &ev);
            if (r == -ENODEV) {
                fprintf(stderr, "tmwatch: %s: the line is gone [%s]\n", path, strerror(ENODEV));
                return EXIT_LINE;
            }
            if (r < 0 && r != -EAGAIN) {
                fprintf(stderr, "tmwatch: %s: cannot read events [%s]\n", path, strerror(-r));
                return EXIT_LINE;
            }
            if (r == 1) {
                out.len = format_event(&ev, json, out.buf);
                out.done = 0;
                if (stopping && ++stop_events > STOP_EVENTS_MAX)
                    return 0;
            }
            continue;
        }
        if (pfd[SLOT_SIGNAL].revents)
            stopping = 1;
        else if (stopping)
            return 0;
    }
}

/* Writes text to standard output and flushes it; 0, or EXIT_OUTPUT with a
 * message (a full disk, a closed descriptor). */
static int print_text(const char *text) {
    if (fputs(text, stdout) == EOF || fflush(stdout) != 0) {
        fprintf(stderr, "tmwatch: cannot write to standard output [%s]\n", strerror(errno));
        return EXIT_OUTPUT;
    }
    return 0;
}

/* Descriptors 0 to 2 that are closed get /dev/null, so that the line's
 * descriptors are never taken for standard streams (a message to a closed
 * standard error must not become a write to the key). 1 when standard
 * output was closed. */
static int reserve_standard_fds(void) {
    int out_closed = 0;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        if (fd == STDOUT_FILENO)
            out_closed = 1;
        int null = open(DEV_NULL, O_RDWR | O_NOCTTY);
        if (null >= 0 && null != fd)
            close(null);
    }
    return out_closed;
}

int main(int argc, char **argv) {
    static const struct option kOptions[] = {{"json", no_argument, NULL, 'j'},
                                             {"help", no_argument, NULL, 'h'},
                                             {"version", no_argument, NULL, 'V'},
                                             {NULL, 0, NULL, 0}};
    if (reserve_standard_fds()) {
        fprintf(stderr, "tmwatch: cannot write to standard output [%s]\n", strerror(EBADF));
        return EXIT_OUTPUT;
    }
    int json = 0;
    int c;
    while ((c = getopt_long(argc, argv, "jhV", kOptions, NULL)) != -1) {
        switch (c) {
        case 'j':
            json = 1;
            break;
        case 'h':
            return print_text(kUsage);
        case 'V':
            return print_text("tmwatch " TMWATCH_VERSION "\n");
        default:
            fputs("Try 'tmwatch --help'.\n", stderr);
            return EXIT_USAGE;
        }
    }
    if (argc - optind > 1) {
        fputs("tmwatch: one device at most\nTry 'tmwatch --help'.\n", stderr);
        return EXIT_USAGE;
    }
    const char *path = optind < argc ? argv[optind] : VORN_DEFAULT_PATH;

    /* The signals are taken through a descriptor: blocked first, so that
     * one arriving at any point is seen by the wait. */
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &stop, NULL) != 0) {
        fprintf(stderr, "tmwatch: cannot block signals [%s]\n", strerror(errno));
        return EXIT_LINE;
    }
    int sfd = signalfd(-1, &stop, SFD_CLOEXEC);
    if (sfd < 0) {
        fprintf(stderr, "tmwatch: cannot take signals [%s]\n", strerror(errno));
        return EXIT_LINE;
    }

    struct vorn_line *line = vorn_open(path);
    if (line == NULL) {
        fprintf(stderr, "tmwatch: cannot open %s [%s]\n", path, strerror(errno));
        close(sfd);
        return EXIT_LINE;
    }
    int status = watch(line, path, sfd, json);
    vorn_close(line);
    close(sfd);
    return status;
}
