// SPDX-License-Identifier: GPL-2.0-or-later
/* evcheck: the key events of /dev/touchm0 as a program sees them: event
 * descriptors, POLLPRI on the device, the key state request, the line going
 * away, and the uevents of the device on a netlink socket. The qemu test
 * guests run it in the background and change the key on the line once it
 * has said "ready" (a line of its own on stdout).
 *
 *   evcheck events N MS DESCS  DESCS event descriptors (and a device
 *                              descriptor) each see the same N events,
 *                              numbered without gaps, in time order, none
 *                              lost, within MS; prints them ("attached ROM"
 *                              or "removed ROM"); then POLLPRI is up on the
 *                              device descriptor, the key state request
 *                              gives the last event's number and clears it
 *   evcheck pri MS             a device descriptor alone, no event
 *                              descriptor: waits for POLLPRI in epoll, then
 *                              in poll, within MS each; after each, prints
 *                              the key state ("attached ROM", "removed ROM")
 *   evcheck hold MS            holds an event descriptor open for MS
 *   evcheck lag N MS           an event descriptor nobody reads while N
 *                              changes happen (seen through the device's
 *                              key state), then read: "records R lost L
 *                              first S last E" (numbers relative to the
 *                              state at the start)
 *   evcheck hup MS             waits until the line goes: POLLHUP|POLLERR
 *                              on an event and a device descriptor, reads
 *                              what was queued, then ENODEV; "hup ok"
 *   evcheck uevents N MS       the first N uevents of touchm0 that carry
 *                              TOUCHM_EVENT: "change misc ROM-EVENT ROM"
 *
 * and two measurements for the benchmark guest (lines "TME ..."):
 *
 *   evcheck latency N PORT ROM  N times: asks the host on PORT (the guest's
 *                              request port) to attach ROM to the far end
 *                              and times the event's arrival: at most the
 *                              time from sending the request, at least the
 *                              time from the host's answer (sent once the
 *                              far end has the key); then has it removed
 *   evcheck cpu MS             the guest's busy CPU time (/proc/stat) over
 *                              MS with nobody watching, then over MS with
 *                              an event descriptor open, and the probes
 *                              made meanwhile; then over MS of ROM requests
 *                              back to back (what one probe's request
 *                              costs)
 *
 * Checks that fail print "evcheck: FAIL <check>: ..."; status 0 only when
 * all pass. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "../../driver/touchm_uapi.h"

#define DEV_PATH "/dev/touchm0"
#define DEV_NAME "touchm0"
#define DESCS_MAX 8
#define EVENTS_MAX 256
#define UEVENT_BUF 8192
#define ROM_TEXT (TOUCHM_ROM_TEXT_LEN + 1)
#define MS_PER_S 1000
#define NS_PER_MS 1000000L
/* A request number of the event magic that the device does not know. */
#define IOC_UNKNOWN _IO(TOUCHM_IOC_MAGIC, 0x7f)
/* How often the lag mode looks at the key state. */
#define LAG_STEP_MS 20
#define NS_PER_US 1000L
#define US_PER_MS 1000L
#define ROUNDS_MAX 1000
#define LINE_MAX_LEN 256
/* How long an answer of the host or an event may take, in ms. */
#define WAIT_MS 10000
/* The request's start moves by up to this much, against the probes' phase. */
#define JITTER_MS TOUCHM_WATCH_MS_DEFAULT
#define PROBES_PATH "/sys/class/misc/touchm0/probes"
/* The device's ROM request (not in the event header). */
#define REQ_READ_ROM 0x414C544BUL

static int g_failed;

static void __attribute__((format(printf, 2, 3))) fail(const char *check, const char *fmt, ...) {
    va_list ap;
    printf("evcheck: FAIL %s: ", check);
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
    g_failed++;
}

static void ready(void) {
    printf("ready\n");
    fflush(stdout);
}

static long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * MS_PER_S + ts.tv_nsec / NS_PER_MS;
}

static void rom_text(const unsigned char *rom, char *out) {
    for (int i = 0; i < TOUCHM_ROM_BYTES; i++)
        snprintf(out + 2 * i, 3, "%02x", rom[i]);
}

static const char *kind_name(unsigned int kind) {
    switch (kind) {
    case TOUCHM_EVENT_ATTACHED:
        return "attached";
    case TOUCHM_EVENT_REMOVED:
        return "removed";
    default:
        return "?";
    }
}

static int open_dev(void) {
    int fd = open(DEV_PATH, O_RDWR);
    if (fd < 0) {
        fail("open", "%s: %s", DEV_PATH, strerror(errno));
        exit(1);
    }
    return fd;
}

static int event_fd(int dev, int flags) {
    int fd = ioctl(dev, TOUCHM_IOC_EVENT_FD, flags);
    if (fd < 0) {
        fail("event-fd", "%s", strerror(errno));
        exit(1);
    }
    if (!(fcntl(fd, F_GETFD) & FD_CLOEXEC))
        fail("event-fd", "not close-on-exec");
    return fd;
}

static int key_state(int dev, struct touchm_event *ev) {
    if (ioctl(dev, TOUCHM_IOC_KEY_STATE, ev) < 0) {
        fail("key-state", "%s", strerror(errno));
        return -1;
    }
    return 0;
}

/* The requests around the event descriptor that must be refused. */
static void check_refusals(int dev) {
    errno = 0;
    if (ioctl(dev, TOUCHM_IOC_EVENT_FD, O_NONBLOCK | O_APPEND) != -1 || errno != EINVAL)
        fail("bad-flags", "event descriptor with O_APPEND: %s", strerror(errno));
    errno = 0;
    if (ioctl(dev, IOC_UNKNOWN) != -1 || errno != ENOTTY)
        fail("unknown", "request %#lx: %s", (unsigned long)IOC_UNKNOWN, strerror(errno));
    int fd = event_fd(dev, O_NONBLOCK);
    struct touchm_event ev;
    errno = 0;
    if (read(fd, &ev, sizeof ev - 1) != -1 || errno != EINVAL)
        fail("short-read", "a buffer shorter than a record: %s", strerror(errno));
    close(fd);
}

static int pri_up(int dev) {
    struct pollfd p = {dev, POLLPRI, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLPRI);
}

/* Every descriptor's records, for comparison. */
static struct touchm_event g_got[DESCS_MAX][EVENTS_MAX];

static int mode_events(int n, int ms, int descs) {
    int dev = open_dev(), fds[DESCS_MAX], have[DESCS_MAX] = {0};
    struct pollfd p[DESCS_MAX];
    if (n > EVENTS_MAX || descs < 1 || descs > DESCS_MAX) {
        fail("usage", "at most %d events and %d descriptors", EVENTS_MAX, DESCS_MAX);
        return 1;
    }
    check_refusals(dev);
    for (int d = 0; d < descs; d++) {
        fds[d] = event_fd(dev, O_NONBLOCK);
        p[d] = (struct pollfd){fds[d], POLLIN, 0};
    }
    if (pri_up(dev))
        fail("pri-at-start", "POLLPRI before any change");
    ready();
    long end = now_ms() + ms;
    for (;;) {
        int left = 0;
        for (int d = 0; d < descs; d++)
            left += have[d] < n;
        if (!left || now_ms() >= end)
            break;
        if (poll(p, descs, (int)(end - now_ms())) < 0) {
            fail("poll", "%s", strerror(errno));
            break;
        }
        for (int d = 0; d < descs; d++) {
            if (!(p[d].revents & POLLIN))
                continue;
            struct touchm_event buf[EVENTS_MAX];
            ssize_t r = read(fds[d], buf, sizeof buf);
            if (r < 0) {
                fail("read", "descriptor %d: %s", d, strerror(errno));
                continue;
            }
            if (r % sizeof buf[0])
                fail("read", "descriptor %d: %zd bytes, no whole records", d, r);
            for (size_t i = 0; i < (size_t)r / sizeof buf[0]; i++)
                if (have[d] < EVENTS_MAX)
                    g_got[d][have[d]++] = buf[i];
        }
    }
    for (int d = 0; d < descs; d++) {
        if (have[d] != n)
            fail("count", "descriptor %d saw %d events, not %d", d, have[d], n);
        for (int i = 0; i < have[d] && i < n; i++) {
            const struct touchm_event *e = &g_got[d][i], *f = &g_got[0][i];
            if (e->lost)
                fail("lost", "descriptor %d lost %u before event %d", d, e->lost, i);
            if (i && e->seqno != g_got[d][i - 1].seqno + 1)
                fail("seqno", "descriptor %d: %u after %u", d, e->seqno, g_got[d][i - 1].seqno);
            if (i && e->timestamp_ns < g_got[d][i - 1].timestamp_ns)
                fail("order", "descriptor %d: event %d earlier than the one before", d, i);
            if (memcmp(e, f, sizeof *e))
                fail("same", "descriptor %d's event %d differs from descriptor 0's", d, i);
        }
    }
    char text[ROM_TEXT];
    for (int i = 0; i < have[0] && i < n; i++) {
        rom_text(g_got[0][i].rom, text);
        printf("%s %s\n", kind_name(g_got[0][i].kind), text);
    }
    if (n && have[0] == n) {
        struct touchm_event st;
        if (!pri_up(dev))
            fail("pri", "no POLLPRI on the device after %d changes", n);
        if (!key_state(dev, &st)) {
            const struct touchm_event *last = &g_got[0][n - 1];
            if (st.seqno != last->seqno || st.kind != last->kind ||
                memcmp(st.rom, last->rom, sizeof st.rom))
                fail("state", "key state %u %s, the last event %u %s", st.seqno,
                     kind_name(st.kind), last->seqno, kind_name(last->kind));
        }
        if (pri_up(dev))
            fail("pri-cleared", "POLLPRI still up after the key state request");
    }
    return g_failed != 0;
}

static void print_state(int dev) {
    struct touchm_event st;
    char text[ROM_TEXT];
    if (key_state(dev, &st))
        return;
    rom_text(st.rom, text);
    printf("%s %s\n", kind_name(st.kind), text);
    fflush(stdout);
}

static int mode_pri(int ms) {
    int dev = open_dev(), ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event want = {.events = EPOLLPRI}, got;
    if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, dev, &want) < 0) {
        fail("epoll", "%s", strerror(errno));
        return 1;
    }
    ready();
    int n = epoll_wait(ep, &got, 1, ms);
    if (n != 1 || !(got.events & EPOLLPRI))
        fail("epoll", "no EPOLLPRI within %d ms (%d, %#x)", ms, n, n == 1 ? got.events : 0);
    else
        print_state(dev);
    close(ep);
    struct pollfd p = {dev, POLLPRI, 0};
    n = poll(&p, 1, ms);
    if (n != 1 || !(p.revents & POLLPRI))
        fail("poll", "no POLLPRI within %d ms (%d, %#x)", ms, n, p.revents);
    else
        print_state(dev);
    return g_failed != 0;
}

static int mode_hold(int ms) {
    int dev = open_dev(), fd = event_fd(dev, 0);
    ready();
    usleep((useconds_t)ms * MS_PER_S);
    close(fd);
    close(dev);
    return 0;
}

static int mode_lag(int n, int ms) {
    int dev = open_dev(), fd = event_fd(dev, O_NONBLOCK);
    struct touchm_event st;
    if (key_state(dev, &st))
        return 1;
    uint32_t start = st.seqno;
    ready();
    long end = now_ms() + ms;
    while (st.seqno - start < (uint32_t)n && now_ms() < end) {
        usleep(LAG_STEP_MS * MS_PER_S);
        if (key_state(dev, &st))
            return 1;
    }
    if (st.seqno - start < (uint32_t)n)
        fail("changes", "%u changes, not %d", st.seqno - start, n);
    struct touchm_event buf[EVENTS_MAX];
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0) {
        fail("read", "%s", strerror(errno));
        return 1;
    }
    size_t got = (size_t)r / sizeof buf[0];
    unsigned int lost = 0;
    for (size_t i = 0; i < got; i++) {
        lost += buf[i].lost;
        if (i && buf[i].lost)
            fail("lost", "record %zu says it follows lost ones", i);
        if (i && buf[i].seqno != buf[i - 1].seqno + 1)
            fail("seqno", "%u after %u", buf[i].seqno, buf[i - 1].seqno);
    }
    if (got)
        printf("records %zu lost %u first %u last %u\n", got, lost, buf[0].seqno - start,
               buf[got - 1].seqno - start);
    if (got && buf[0].seqno - start != lost + 1)
        fail("lost", "first record %u after %u lost", buf[0].seqno - start, lost);
    errno = 0;
    if (read(fd, buf, sizeof buf) != -1 || errno != EAGAIN)
        fail("drained", "a read of the empty queue: %s", strerror(errno));
    return g_failed != 0;
}

static int mode_hup(int ms) {
    int dev = open_dev(), fd = event_fd(dev, O_NONBLOCK);
    ready();
    struct pollfd p[2] = {{fd, 0, 0}, {dev, POLLPRI, 0}};
    long end = now_ms() + ms;
    /* Waits for the hangup of both (poll always reports it). */
    while (now_ms() < end) {
        if (poll(p, 2, (int)(end - now_ms())) < 0) {
            fail("poll", "%s", strerror(errno));
            return 1;
        }
        if ((p[0].revents & POLLHUP) && (p[1].revents & POLLHUP))
            break;
        p[1].events = 0; /* only the hangup from here on */
    }
    const short gone = POLLHUP | POLLERR;
    if ((p[0].revents & gone) != gone)
        fail("evfd-hup", "event descriptor revents %#x", p[0].revents);
    if ((p[1].revents & gone) != gone)
        fail("dev-hup", "device descriptor revents %#x", p[1].revents);
    struct touchm_event ev;
    int records = 0;
    ssize_t r;
    while ((r = read(fd, &ev, sizeof ev)) == (ssize_t)sizeof ev)
        records++;
    if (r != -1 || errno != ENODEV)
        fail("enodev", "read after %d records: %zd, %s", records, r, strerror(errno));
    if (!g_failed)
        printf("hup ok\n");
    return g_failed != 0;
}

/* The value of KEY= in a uevent of len bytes, or NULL. */
static const char *uevent_var(const char *msg, size_t len, const char *key) {
    size_t klen = strlen(key);
    for (size_t off = strlen(msg) + 1; off < len; off += strlen(msg + off) + 1)
        if (!strncmp(msg + off, key, klen) && msg[off + klen] == '=')
            return msg + off + klen + 1;
    return NULL;
}

static int mode_uevents(int n, int ms) {
    int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    struct sockaddr_nl addr = {.nl_family = AF_NETLINK, .nl_groups = 1};
    if (sock < 0 || bind(sock, (struct sockaddr *)&addr, sizeof addr) < 0) {
        fail("netlink", "%s", strerror(errno));
        return 1;
    }
    ready();
    static char msg[UEVENT_BUF];
    int seen = 0;
    long end = now_ms() + ms;
    while (seen < n && now_ms() < end) {
        struct pollfd p = {sock, POLLIN, 0};
        if (poll(&p, 1, (int)(end - now_ms())) <= 0)
            continue;
        ssize_t r = recv(sock, msg, sizeof msg - 1, 0);
        if (r <= 0)
            continue;
        msg[r] = '\0';
        const char *ev = uevent_var(msg, (size_t)r, "TOUCHM_EVENT");
        const char *dev = uevent_var(msg, (size_t)r, "DEVNAME");
        if (!ev || !dev || strcmp(dev, DEV_NAME))
            continue;
        const char *action = uevent_var(msg, (size_t)r, "ACTION");
        const char *subsys = uevent_var(msg, (size_t)r, "SUBSYSTEM");
        const char *rom = uevent_var(msg, (size_t)r, "TOUCHM_ROM");
        printf("%s %s %s %s\n", action ? action : "-", subsys ? subsys : "-", ev,
               rom ? rom : "-");
        seen++;
    }
    if (seen < n)
        fail("uevents", "%d of %d uevents", seen, n);
    return g_failed != 0;
}

static long now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * MS_PER_S * US_PER_MS + ts.tv_nsec / NS_PER_US;
}

/* One request to the host; 0 when it answers "ok". */
static int host_request(int port, const char *req) {
    char line[LINE_MAX_LEN];
    size_t n = 0;
    if (write(port, req, strlen(req)) != (ssize_t)strlen(req) || write(port, "\n", 1) != 1) {
        fail("host", "write: %s", strerror(errno));
        return -1;
    }
    while (n < sizeof line - 1) {
        struct pollfd p = {port, POLLIN, 0};
        if (poll(&p, 1, WAIT_MS) != 1) {
            fail("host", "no answer to '%s'", req);
            return -1;
        }
        if (read(port, line + n, 1) != 1)
            continue;
        if (line[n] == '\n')
            break;
        n++;
    }
    line[n] = '\0';
    if (strncmp(line, "ok", 2)) {
        fail("host", "'%s': %s", req, line);
        return -1;
    }
    return 0;
}

/* The next event of kind on fd within WAIT_MS; 0 or -1. */
static int next_event(int fd, unsigned int kind, struct touchm_event *ev) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, WAIT_MS) != 1 || read(fd, ev, sizeof *ev) != (ssize_t)sizeof *ev) {
        fail("event", "no %s event", kind_name(kind));
        return -1;
    }
    if (ev->kind != kind) {
        fail("event", "%s, not %s", kind_name(ev->kind), kind_name(kind));
        return -1;
    }
    return 0;
}

static int cmp_long(const void *a, const void *b) {
    long x = *(const long *)a, y = *(const long *)b;
    return (x > y) - (x < y);
}

/* Median and worst of v[n], sorted in place. */
static void stats(const char *name, long *v, int n) {
    qsort(v, (size_t)n, sizeof v[0], cmp_long);
    printf("TME latency %s n=%d median_us=%ld worst_us=%ld best_us=%ld\n", name, n, v[n / 2],
           v[n - 1], v[0]);
}

static long g_upper[ROUNDS_MAX], g_lower[ROUNDS_MAX], g_wake[ROUNDS_MAX];

static int mode_latency(int n, const char *port_path, const char *rom) {
    if (n < 1 || n > ROUNDS_MAX) {
        fail("usage", "1 to %d rounds", ROUNDS_MAX);
        return 1;
    }
    int port = open(port_path, O_RDWR | O_NOCTTY);
    if (port < 0) {
        fail("port", "%s: %s", port_path, strerror(errno));
        return 1;
    }
    int dev = open_dev(), fd = event_fd(dev, O_NONBLOCK);
    char req[LINE_MAX_LEN];
    snprintf(req, sizeof req, "attach %s", rom);
    srand((unsigned int)now_us());
    for (int i = 0; i < n; i++) {
        struct touchm_event ev;
        usleep((useconds_t)(rand() % (JITTER_MS * US_PER_MS)));
        long t0 = now_us();
        if (host_request(port, req))
            return 1;
        long t_ok = now_us();
        if (next_event(fd, TOUCHM_EVENT_ATTACHED, &ev))
            return 1;
        long t_ev = now_us();
        long seen_us = (long)(ev.timestamp_ns / NS_PER_US);
        g_upper[i] = t_ev - t0;
        g_lower[i] = t_ev > t_ok ? t_ev - t_ok : 0;
        g_wake[i] = t_ev - seen_us;
        printf("TME round %d upper_us=%ld lower_us=%ld wake_us=%ld\n", i, g_upper[i], g_lower[i],
               g_wake[i]);
        if (host_request(port, "remove") || next_event(fd, TOUCHM_EVENT_REMOVED, &ev))
            return 1;
    }
    stats("upper", g_upper, n);
    stats("lower", g_lower, n);
    stats("wake", g_wake, n);
    return g_failed != 0;
}

/* The guest's busy CPU time so far, in clock ticks (/proc/stat). */
static long long busy_ticks(void) {
    unsigned long long user, nice, sys, idle, iowait, irq, softirq, steal;
    FILE *f = fopen("/proc/stat", "r");
    if (!f || fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &sys, &idle,
                     &iowait, &irq, &softirq, &steal) != 8) {
        fail("stat", "cannot read /proc/stat");
        if (f)
            fclose(f);
        return 0;
    }
    fclose(f);
    return (long long)(user + nice + sys + irq + softirq + steal);
}

static long probes(void) {
    long n = -1;
    FILE *f = fopen(PROBES_PATH, "r");
    if (!f || fscanf(f, "%ld", &n) != 1)
        fail("probes", "cannot read %s", PROBES_PATH);
    if (f)
        fclose(f);
    return n;
}

static void cpu_phase(const char *name, int ms) {
    long hz = sysconf(_SC_CLK_TCK);
    long p0 = probes();
    long long b0 = busy_ticks();
    usleep((useconds_t)ms * US_PER_MS);
    long long b1 = busy_ticks();
    long p1 = probes();
    printf("TME cpu %s ms=%d busy_ms=%lld busy_ms_per_s=%.2f probes=%ld\n", name, ms,
           (b1 - b0) * MS_PER_S / hz, (double)(b1 - b0) * MS_PER_S / hz / ms * MS_PER_S, p1 - p0);
}

/* ROM requests back to back for ms: the busy time each costs. */
static void cpu_requests(int dev, int ms) {
    unsigned char rom[TOUCHM_ROM_BYTES];
    long hz = sysconf(_SC_CLK_TCK), n = 0;
    long long b0 = busy_ticks();
    long end = now_ms() + ms;
    while (now_ms() < end) {
        if (ioctl(dev, REQ_READ_ROM, rom) < 0) {
            fail("rom", "%s", strerror(errno));
            return;
        }
        n++;
    }
    long long b1 = busy_ticks();
    printf("TME cpu requests ms=%d rom_requests=%ld busy_ms=%lld busy_ms_per_request=%.2f\n", ms,
           n, (b1 - b0) * MS_PER_S / hz, n ? (double)(b1 - b0) * MS_PER_S / hz / n : 0.0);
}

static int mode_cpu(int ms) {
    cpu_phase("nobody", ms);
    int dev = open_dev(), fd = event_fd(dev, 0);
    cpu_phase("watcher", ms);
    close(fd);
    cpu_requests(dev, ms);
    close(dev);
    return g_failed != 0;
}

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "";
    int a = argc > 2 ? atoi(argv[2]) : 0, b = argc > 3 ? atoi(argv[3]) : 0;
    if (!strcmp(mode, "events") && argc == 5)
        return mode_events(a, b, atoi(argv[4]));
    if (!strcmp(mode, "pri") && argc == 3)
        return mode_pri(a);
    if (!strcmp(mode, "hold") && argc == 3)
        return mode_hold(a);
    if (!strcmp(mode, "lag") && argc == 4)
        return mode_lag(a, b);
    if (!strcmp(mode, "hup") && argc == 3)
        return mode_hup(a);
    if (!strcmp(mode, "uevents") && argc == 4)
        return mode_uevents(a, b);
    if (!strcmp(mode, "latency") && argc == 5)
        return mode_latency(a, argv[3], argv[4]);
    if (!strcmp(mode, "cpu") && argc == 3)
        return mode_cpu(a);
    fprintf(stderr, "usage: evcheck events N MS DESCS | pri MS | hold MS | lag N MS | hup MS | "
                    "uevents N MS | latency N PORT ROM | cpu MS\n");
    return 2;
}
