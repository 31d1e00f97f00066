// SPDX-License-Identifier: GPL-2.0-or-later
/* tmwatch: prints the key events of a touch-memory line as they happen, one
 * line each, for scripts. Waits on the line's event descriptor and a
 * signalfd together, so that SIGINT and SIGTERM end it cleanly at any
 * moment without a race against the wait. */
#define _GNU_SOURCE
#include <errno.h>
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
#define NSEC_PER_SEC 1000000000LL
#define NSEC_PER_USEC 1000LL
#define POLL_SLOTS 2

static const char kUsage[] =
    "Usage: tmwatch [--json] [DEVICE]\n"
    "Prints one line per key event of a touch-memory line as it happens:\n"
    "  attached <rom>   a key came (ROM: 16 lower-case hex digits, family first)\n"
    "  removed          the key went\n"
    "  lost <n>         n events were lost before the next one (a slow reader)\n"
    "DEVICE defaults to " VORN_DEFAULT_PATH ".\n"
    "\n"
    "  -j, --json     one JSON object a line instead:\n"
    "                 {\"event\":\"attached\",\"rom\":\"...\",\"time\":...,\"seq\":...}\n"
    "  -h, --help     this text\n"
    "  -V, --version  the version\n"
    "\n"
    "Ends with status 0 on SIGINT or SIGTERM, 1 when the device cannot be\n"
    "opened or the line goes, 2 on a usage error.\n";

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

/* Prints one event; 0, or -1 when standard output failed. */
static int print_event(const struct vorn_event *ev, int json) {
    char rom[VORN_ROM_TEXT_SIZE];
    vorn_rom_to_text(ev->rom, rom, sizeof(rom));
    const char *kind = ev->kind == VORN_EVENT_ATTACHED  ? "attached"
                       : ev->kind == VORN_EVENT_REMOVED ? "removed"
                                                        : "unknown";
    if (json) {
        long long wall = wall_ns(ev->timestamp_ns);
        long long sec = wall / NSEC_PER_SEC;
        long long usec = (wall % NSEC_PER_SEC) / NSEC_PER_USEC;
        printf("{\"event\":\"%s\",\"rom\":\"%s\",\"time\":%lld.%06lld,\"seq\":%" PRIu32
               ",\"lost\":%" PRIu32 "}\n",
               kind, rom, sec, usec, ev->seqno, ev->lost);
    } else {
        if (ev->lost)
            printf("lost %" PRIu32 "\n", ev->lost);
        if (ev->kind == VORN_EVENT_ATTACHED)
            printf("attached %s\n", rom);
        else if (ev->kind == VORN_EVENT_REMOVED)
            printf("removed\n");
        else
            printf("unknown %d\n", ev->kind);
    }
    return fflush(stdout) == 0 ? 0 : -1;
}

/* Prints every event that waits. 0 when none is left, else the exit status
 * of tmwatch. */
static int drain(struct vorn_line *line, const char *path, int json) {
    for (;;) {
        struct vorn_event ev;
        int r = vorn_read_event(line, &ev);
        if (r == -EAGAIN)
            return 0;
        if (r == -ENODEV) {
            fprintf(stderr, "tmwatch: %s: the line is gone [%s]\n", path, strerror(ENODEV));
            return EXIT_LINE;
        }
        if (r < 0) {
            fprintf(stderr, "tmwatch: %s: cannot read events [%s]\n", path, strerror(-r));
            return EXIT_LINE;
        }
        if (print_event(&ev, json) != 0) {
            fprintf(stderr, "tmwatch: cannot write to standard output [%s]\n", strerror(errno));
            return EXIT_LINE;
        }
    }
}

static int watch(struct vorn_line *line, const char *path, int sfd, int json) {
    int efd = vorn_fd(line);
    if (efd < 0) {
        fprintf(stderr, "tmwatch: %s: cannot watch the line [%s]\n", path, strerror(-efd));
        return EXIT_LINE;
    }
    for (;;) {
        struct pollfd pfd[POLL_SLOTS] = {{.fd = sfd, .events = POLLIN},
                                         {.fd = efd, .events = POLLIN}};
        if (poll(pfd, POLL_SLOTS, -1) < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "tmwatch: poll failed [%s]\n", strerror(errno));
            return EXIT_LINE;
        }
        /* Events that came before the signal are printed first. */
        if (pfd[1].revents) {
            int r = drain(line, path, json);
            if (r)
                return r;
        }
        if (pfd[0].revents)
            return 0;
    }
}

int main(int argc, char **argv) {
    static const struct option kOptions[] = {{"json", no_argument, NULL, 'j'},
                                             {"help", no_argument, NULL, 'h'},
                                             {"version", no_argument, NULL, 'V'},
                                             {NULL, 0, NULL, 0}};
    int json = 0;
    int c;
    while ((c = getopt_long(argc, argv, "jhV", kOptions, NULL)) != -1) {
        switch (c) {
        case 'j':
            json = 1;
            break;
        case 'h':
            fputs(kUsage, stdout);
            return 0;
        case 'V':
            printf("tmwatch %s\n", TMWATCH_VERSION);
            return 0;
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
