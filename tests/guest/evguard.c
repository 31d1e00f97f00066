// SPDX-License-Identifier: GPL-2.0-or-later
/* evguard: what the driver lets a user do to the line and its key, run as
 * that user: the qemu test guests (watch-guard-cases.sh,
 * probe-interval-cases.sh) start it as root, and it takes the user's ids
 * first when asked to.
 *
 *   evguard [-u UID:GID] denied N    N times, the key attribute and the
 *                                    device refuse this user with EACCES
 *                                    (read of key, open of the node for
 *                                    reading and for writing, a write to
 *                                    watch_always); "denied ok"
 *   evguard [-u UID:GID] state       the device's own interface works:
 *                                    the key state request ("attached
 *                                    ROM" or "removed ROM") and an event
 *                                    descriptor
 *   evguard [-u UID:GID] poll MS     an event descriptor open, the device
 *                                    polled back to back for MS (timeout
 *                                    0 and 1 in turn: POLLIN is always
 *                                    up); probes at most one per watch_ms
 *   evguard [-u UID:GID] churn MS    event descriptors opened and closed
 *                                    back to back for MS; the same bound
 *   evguard [-u UID:GID] keyread MS  the key attribute read back to back
 *                                    for MS; the same bound
 *   evguard [-u UID:GID] cap HOLD_MS event descriptors made until the
 *                                    driver refuses: "descriptors N errno
 *                                    NAME", then "ready", held HOLD_MS
 *   evguard [-u UID:GID] charge CG N into cgroup2 folder CG, N event
 *                                    descriptors made there: "charged B
 *                                    bytes per descriptor" (memory.current
 *                                    before and after, the descriptor
 *                                    table grown first)
 *
 * The bound of poll, churn and keyread: probes (the sysfs counter) within
 * the run at most the run's length over watch_ms, plus one for the first
 * probe, which may come at once, plus one for a probe begun just before.
 * Checks that fail print "evguard: FAIL <check>: ..."; status 0 only when
 * all pass. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "../../driver/touchm_uapi.h"

#define DEV_PATH "/dev/touchm0"
#define SYS_PATH "/sys/class/misc/touchm0/"
#define KEY_PATH SYS_PATH "key"
#define PROBES_PATH SYS_PATH "probes"
#define WATCH_MS_PATH SYS_PATH "watch_ms"
#define ALWAYS_PATH SYS_PATH "watch_always"
#define MS_PER_S 1000
#define NS_PER_MS 1000000L
#define US_PER_MS 1000
#define TEXT_MAX 64
#define PATH_MAX_LEN 256
/* Probes the bound allows beyond one per interval: the first, one begun
 * just before the run. */
#define PROBES_SLACK 2
/* Descriptors the cap mode tries at most, and the charge mode's most. */
#define DESCS_MAX 65536
/* Descriptor numbers kept free above the charge mode's descriptors. */
#define FD_HEADROOM 64

static int g_failed;

static void __attribute__((format(printf, 2, 3))) fail(const char *check, const char *fmt, ...) {
    va_list ap;
    printf("evguard: FAIL %s: ", check);
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
    g_failed++;
}

static long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * MS_PER_S + ts.tv_nsec / NS_PER_MS;
}

/* The number in the text file PATH, or -1. */
static long read_number(const char *path) {
    char text[TEXT_MAX] = {0};
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    return n > 0 ? strtol(text, NULL, 10) : -1;
}

static int open_dev(void) {
    int fd = open(DEV_PATH, O_RDWR);
    if (fd < 0) {
        fail("open", "%s: %s", DEV_PATH, strerror(errno));
        exit(1);
    }
    return fd;
}

static int event_fd(int dev) {
    int fd = ioctl(dev, TOUCHM_IOC_EVENT_FD, 0);
    if (fd < 0) {
        fail("event-fd", "%s", strerror(errno));
        exit(1);
    }
    return fd;
}

/* Takes UID:GID (no other groups) for good. */
static void become(const char *ids) {
    unsigned int uid, gid;
    char end;
    if (sscanf(ids, "%u:%u%c", &uid, &gid, &end) != 2) {
        fprintf(stderr, "evguard: -u takes UID:GID, not %s\n", ids);
        exit(2);
    }
    if (setgroups(0, NULL) || setgid(gid) || setuid(uid)) {
        fprintf(stderr, "evguard: cannot become %u:%u: %s\n", uid, gid, strerror(errno));
        exit(2);
    }
}

/* open(PATH, FLAGS) must fail with EACCES. */
static void refused(const char *what, const char *path, int flags) {
    errno = 0;
    int fd = open(path, flags);
    if (fd >= 0) {
        close(fd);
        fail(what, "%s opened", path);
    } else if (errno != EACCES) {
        fail(what, "%s: %s, not EACCES", path, strerror(errno));
    }
}

static int mode_denied(int n) {
    for (int i = 0; i < n && !g_failed; i++) {
        refused("key", KEY_PATH, O_RDONLY);
        refused("node-read", DEV_PATH, O_RDONLY);
        refused("node-write", DEV_PATH, O_RDWR);
        refused("watch-always", ALWAYS_PATH, O_WRONLY);
    }
    if (!g_failed)
        printf("denied ok\n");
    return g_failed != 0;
}

static int mode_state(void) {
    int dev = open_dev(), fd = event_fd(dev);
    struct touchm_event ev;
    if (ioctl(dev, TOUCHM_IOC_KEY_STATE, &ev) < 0) {
        fail("key-state", "%s", strerror(errno));
        return 1;
    }
    printf("%s ", ev.kind == TOUCHM_EVENT_ATTACHED ? "attached" : "removed");
    for (int i = 0; i < TOUCHM_ROM_BYTES; i++)
        printf("%02x", ev.rom[i]);
    printf("\n");
    close(fd);
    close(dev);
    return 0;
}

/* Probes made while WORK ran for MS, against one per watch_ms. */
static int bounded(const char *what, int ms, long (*work)(int dev, long end), int dev) {
    long interval = read_number(WATCH_MS_PATH), p0 = read_number(PROBES_PATH);
    long start = now_ms();
    long done = work(dev, start + ms);
    long took = now_ms() - start, p1 = read_number(PROBES_PATH);
    if (interval <= 0 || p0 < 0 || p1 < 0) {
        fail("sysfs", "watch_ms %ld, probes %ld and %ld", interval, p0, p1);
        return 1;
    }
    long allowed = took / interval + PROBES_SLACK;
    printf("%s %ld times, %ld probes in %ld ms at watch_ms %ld\n", what, done, p1 - p0, took,
           interval);
    if (p1 - p0 > allowed)
        fail("interval", "%ld probes, at most %ld due", p1 - p0, allowed);
    return g_failed != 0;
}

static long work_poll(int dev, long end) {
    long n = 0;
    while (now_ms() < end) {
        struct pollfd p = {dev, POLLIN | POLLPRI, 0};
        if (poll(&p, 1, (int)(n & 1)) != 1 || !(p.revents & POLLIN)) {
            fail("poll", "POLLIN not up");
            break;
        }
        n++;
    }
    return n;
}

static long work_churn(int dev, long end) {
    long n = 0;
    while (now_ms() < end) {
        close(event_fd(dev));
        n++;
    }
    return n;
}

static long work_keyread(int dev, long end) {
    char text[TEXT_MAX];
    long n = 0;
    (void)dev;
    while (now_ms() < end) {
        int fd = open(KEY_PATH, O_RDONLY);
        if (fd < 0 || read(fd, text, sizeof text) <= 0) {
            fail("key", "%s: %s", KEY_PATH, strerror(errno));
            if (fd >= 0)
                close(fd);
            break;
        }
        close(fd);
        n++;
    }
    return n;
}

static void no_fd_limit(long want) {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < (rlim_t)want) {
        rl.rlim_cur = rl.rlim_max < (rlim_t)want ? rl.rlim_max : (rlim_t)want;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

static int mode_cap(int hold_ms) {
    int dev = open_dev(), n = 0, err = 0;
    no_fd_limit(DESCS_MAX + FD_HEADROOM);
    while (n < DESCS_MAX) {
        int fd = ioctl(dev, TOUCHM_IOC_EVENT_FD, 0);
        if (fd < 0) {
            err = errno;
            break;
        }
        n++;
    }
    printf("descriptors %d errno %s\n", n, err ? strerrorname_np(err) : "none");
    printf("ready\n");
    fflush(stdout);
    usleep((useconds_t)hold_ms * US_PER_MS);
    return 0;
}

/* The cgroup's memory.current, or -1. */
static long cg_current(const char *cg) {
    char path[PATH_MAX_LEN];
    snprintf(path, sizeof path, "%s/memory.current", cg);
    return read_number(path);
}

static int mode_charge(const char *cg, int n) {
    char path[PATH_MAX_LEN], pid[TEXT_MAX];
    if (n <= 0 || n > DESCS_MAX) {
        fail("args", "%d descriptors", n);
        return 1;
    }
    snprintf(path, sizeof path, "%s/cgroup.procs", cg);
    int fd = open(path, O_WRONLY);
    int len = snprintf(pid, sizeof pid, "%d\n", (int)getpid());
    if (fd < 0 || write(fd, pid, (size_t)len) != len) {
        fail("cgroup", "cannot join %s: %s", cg, strerror(errno));
        return 1;
    }
    close(fd);
    int dev = open_dev();
    /* The descriptor table grows now, not while the descriptors come. */
    no_fd_limit(n + FD_HEADROOM);
    if (dup2(dev, n + FD_HEADROOM / 2) < 0) {
        fail("dup2", "%s", strerror(errno));
        return 1;
    }
    long before = cg_current(cg);
    for (int i = 0; i < n; i++)
        event_fd(dev);
    long after = cg_current(cg);
    if (before < 0 || after < 0) {
        fail("memory.current", "cannot read it in %s", cg);
        return 1;
    }
    printf("charged %ld bytes per descriptor\n", (after - before) / n);
    return g_failed != 0;
}

int main(int argc, char **argv) {
    int i = 1;
    if (argc > 2 && !strcmp(argv[1], "-u")) {
        become(argv[2]);
        i = 3;
    }
    const char *mode = argc > i ? argv[i] : "";
    int a = argc > i + 1 ? atoi(argv[i + 1]) : 0;
    if (!strcmp(mode, "denied") && argc == i + 2)
        return mode_denied(a);
    if (!strcmp(mode, "state") && argc == i + 1)
        return mode_state();
    if (!strcmp(mode, "poll") && argc == i + 2) {
        int dev = open_dev(), fd = event_fd(dev);
        int r = bounded("polled", a, work_poll, dev);
        close(fd);
        return r;
    }
    if (!strcmp(mode, "churn") && argc == i + 2)
        return bounded("opened", a, work_churn, open_dev());
    if (!strcmp(mode, "keyread") && argc == i + 2)
        return bounded("read", a, work_keyread, -1);
    if (!strcmp(mode, "cap") && argc == i + 2)
        return mode_cap(a);
    if (!strcmp(mode, "charge") && argc == i + 3)
        return mode_charge(argv[i + 1], atoi(argv[i + 2]));
    fprintf(stderr, "usage: evguard [-u UID:GID] denied N | state | poll MS | churn MS | "
                    "keyread MS | cap HOLD_MS | charge CGROUP N\n");
    return 2;
}
