// SPDX-License-Identifier: GPL-2.0-or-later
/* devprobe: makes raw device calls from a script on its command line, one
 * call per word, and prints one line per call: the step name, the result,
 * the errno name on failure, and data where there is some. The stand-in's
 * tests run it under tmsim.
 *
 *   open[:PATH[:FLAGS]]  open (default /dev/touchm0, O_RDWR|O_NONBLOCK|O_SYNC)
 *   openat:PATH  open2:PATH  creat:PATH          the other open forms
 *   use:I                 act on the I-th descriptor opened (from 0)
 *   dup  dupfd:MIN  dupfdcloexec:MIN  dup2:TO  dup3:TO[:cloexec]
 *                         copy the current descriptor (TO a number, or @I for
 *                         the I-th descriptor opened); the copy is current
 *                         and is listed as opened; "STEP ok" when the copy
 *                         took TO, or a number at or above MIN, else "STEP
 *                         wrong N" with the number it took
 *   cloexec               whether the current descriptor is close-on-exec
 *   presence  rom  reset  skip  ioctl:HEX         requests
 *   seek:OFF[:WHENCE]     lseek
 *   read:N  pread:OFF:N   read, data printed as hex
 *   readnull:N  writenull:N   read/write with a null buffer
 *   write:TEXT  writehex:HEX  pwrite:OFF:TEXT
 *   close
 *   settime:SEC  clockset:SEC  rtc:SEC             clock paths
 *   file:PATH:TEXT        append TEXT to PATH (created 0600), then close
 *   cat:PATH              print PATH's contents
 *   sleep:MS  wait        pause; print "wait" and read a line from stdin
 *   sigpresence           on SIGUSR1: a presence request from the handler
 *   sigtermclose          on SIGTERM: close the device in the handler, print
 *                         "term close R" and exit 0
 *   hammer:N              N times lseek and read 16 bytes; "hammer ok" when all
 *                         succeeded, else the first failure
 *   poll:MS  select:MS  epoll:MS
 *                         wait up to MS ms for the current descriptor to be
 *                         readable, writable or to have priority data, and
 *                         print what the call reported ("poll 1 in pri")
 *   keystate              TOUCHM_IOC_KEY_STATE: kind, count, ROM
 *   eventfd[:HEX|:nonblock]  TOUCHM_IOC_EVENT_FD with that argument (default
 *                         0); the event descriptor is current and listed
 *   events:N              read with room for N records; one line per record
 *   eventread:BYTES       read of BYTES into a buffer of that size
 *   nonblock              whether the current descriptor is non-blocking
 *   stat                  the current descriptor through fstat, fstat64,
 *                         fstatat and statx (AT_EMPTY_PATH) and __fxstat:
 *                         "stat TYPE MAJ:MIN MODE SIZE" when all agree
 *                         (TYPE chr, sock, reg, fifo...), else each answer
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/rtc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "TouchMemProto.h"
#include "touchm_uapi.h"

#define MAX_FDS 16
#define DATA_MAX 65536
#define LINE_MAX_IN 256
#define MS_PER_SEC 1000
#define NS_PER_MS 1000000L
#define US_PER_MS 1000
#define EVENTS_MAX 128
/* An event is "fresh" when its time is this close to now. */
#define EVENT_AGE_MAX_NS (60ll * 1000 * NS_PER_MS)

extern int __open_2(const char *path, int flags);
/* What programs built against a C library before 2.33 call for fstat. */
extern int __fxstat(int ver, int fd, struct stat *st);
#define FXSTAT_VERSION 1
#define STAT_TEXT_MAX 96
#define STAT_FORMS 5
#define PERM_BITS 07777

static int g_fds[MAX_FDS];
static int g_nfds;
static volatile sig_atomic_t g_cur = -1;
static volatile sig_atomic_t g_handler_failures;
static unsigned char g_data[DATA_MAX];

static void result(const char *step, long r);

static void on_usr1(int sig) {
    (void)sig;
    int saved = errno;
    if (ioctl(g_cur, TM_REQ_PRESENCE) != 0)
        g_handler_failures++;
    errno = saved;
}

static void on_term(int sig) {
    (void)sig;
    char msg[32];
    int r = close(g_cur);
    int n = snprintf(msg, sizeof(msg), "term close %d\n", r);
    if (n > 0 && write(STDOUT_FILENO, msg, (size_t)n) < 0)
        _exit(1);
    _exit(0);
}

static int install(int sig, void (*fn)(int)) {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = fn;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    return sigaction(sig, &sa, NULL);
}

static void hammer(long n) {
    unsigned char buf[16];
    for (long i = 0; i < n; i++) {
        if (lseek(g_cur, 0, SEEK_SET) != 0) {
            result("hammer-seek", -1);
            return;
        }
        ssize_t r = read(g_cur, buf, sizeof(buf));
        if (r != (ssize_t)sizeof(buf)) {
            result("hammer-read", (long)r);
            return;
        }
    }
    printf("hammer ok handler-failures %d\n", (int)g_handler_failures);
}

static const char *err_name(int e) {
    const char *n = strerrorname_np(e);
    return n ? n : "E?";
}

static void result(const char *step, long r) {
    if (r < 0)
        printf("%s %ld %s\n", step, r, err_name(errno));
    else
        printf("%s %ld\n", step, r);
}

static void hex_line(const char *step, long r, const unsigned char *p) {
    if (r < 0) {
        result(step, r);
        return;
    }
    printf("%s %ld ", step, r);
    for (long i = 0; i < r; i++)
        printf("%02x", p[i]);
    printf("\n");
}

static int parse_hex_bytes(const char *text, unsigned char *out, size_t max, size_t *n) {
    size_t len = strlen(text);
    if (len % 2 || len / 2 > max)
        return 0;
    for (size_t i = 0; i < len / 2; i++) {
        char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
        char *end = NULL;
        unsigned long v = strtoul(pair, &end, 16);
        if (*end != '\0')
            return 0;
        out[i] = (unsigned char)v;
    }
    *n = len / 2;
    return 1;
}

/* The whole of text as a number in base. 0 for anything else. */
static int number(const char *text, int base, long long *out) {
    if (text == NULL || *text == '\0')
        return 0;
    char *end = NULL;
    errno = 0;
    long long v = strtoll(text, &end, base);
    if (errno != 0 || *end != '\0')
        return 0;
    *out = v;
    return 1;
}

static const char *type_name(unsigned mode) {
    return S_ISCHR(mode)    ? "chr"
           : S_ISBLK(mode)  ? "blk"
           : S_ISREG(mode)  ? "reg"
           : S_ISDIR(mode)  ? "dir"
           : S_ISFIFO(mode) ? "fifo"
           : S_ISSOCK(mode) ? "sock"
           : S_ISLNK(mode)  ? "lnk"
                            : "none";
}

static void stat_text(char *out, size_t size, int r, unsigned mode, unsigned maj, unsigned min,
                      long long bytes) {
    if (r != 0)
        snprintf(out, size, "-1 %s", err_name(errno));
    else
        snprintf(out, size, "%s %u:%u %o %lld", type_name(mode), maj, min, mode & PERM_BITS, bytes);
}

/* The current descriptor through every form of the stat family. */
static void stat_step(void) {
    char text[STAT_FORMS][STAT_TEXT_MAX];
    struct stat st;
    struct stat64 st64;
    struct statx stx;
    int r = fstat(g_cur, &st);
    stat_text(text[0], sizeof(text[0]), r, st.st_mode, major(st.st_rdev), minor(st.st_rdev),
              (long long)st.st_size);
    r = fstat64(g_cur, &st64);
    stat_text(text[1], sizeof(text[1]), r, st64.st_mode, major(st64.st_rdev), minor(st64.st_rdev),
              (long long)st64.st_size);
    r = fstatat(g_cur, "", &st, AT_EMPTY_PATH);
    stat_text(text[2], sizeof(text[2]), r, st.st_mode, major(st.st_rdev), minor(st.st_rdev),
              (long long)st.st_size);
    r = statx(g_cur, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &stx);
    stat_text(text[3], sizeof(text[3]), r, stx.stx_mode, stx.stx_rdev_major, stx.stx_rdev_minor,
              (long long)stx.stx_size);
    r = __fxstat(FXSTAT_VERSION, g_cur, &st);
    stat_text(text[4], sizeof(text[4]), r, st.st_mode, major(st.st_rdev), minor(st.st_rdev),
              (long long)st.st_size);
    int same = 1;
    for (int i = 1; i < STAT_FORMS; i++)
        same = same && strcmp(text[i], text[0]) == 0;
    if (same) {
        printf("stat %s\n", text[0]);
        return;
    }
    printf("stat differ fstat=%s fstat64=%s fstatat=%s statx=%s fxstat=%s\n", text[0], text[1],
           text[2], text[3], text[4]);
}

static void opened(const char *step, int fd) {
    if (fd < 0) {
        result(step, fd);
        return;
    }
    if (g_nfds < MAX_FDS)
        g_fds[g_nfds++] = fd;
    g_cur = fd;
    printf("%s ok\n", step);
}

/* A copy made: listed and current, like an opened descriptor. right says
 * whether it took the number asked for. */
static void copied(const char *step, int fd, int right) {
    if (fd < 0) {
        result(step, fd);
        return;
    }
    if (g_nfds < MAX_FDS)
        g_fds[g_nfds++] = fd;
    g_cur = fd;
    if (right)
        printf("%s ok\n", step);
    else
        printf("%s wrong %d\n", step, fd);
}

/* A descriptor operand: a number, or @I for the I-th one opened. */
static int descriptor_operand(const char *text, int *fd) {
    long long v = 0;
    if (text[0] == '@') {
        if (!number(text + 1, 10, &v) || v < 0 || v >= g_nfds)
            return 0;
        *fd = g_fds[v];
        return 1;
    }
    if (!number(text, 10, &v) || v < 0 || v > INT_MAX)
        return 0;
    *fd = (int)v;
    return 1;
}

/* dup2:TO and dup3:TO[:cloexec]. 0 for a malformed operand. */
static int dup_onto(const char *name, char *arg) {
    char *flag = strchr(arg, ':');
    int flags = 0;
    if (flag) {
        *flag++ = '\0';
        if (strcmp(name, "dup3") != 0 || strcmp(flag, "cloexec") != 0)
            return 0;
        flags = O_CLOEXEC;
    }
    int to = -1;
    if (!descriptor_operand(arg, &to))
        return 0;
    int fd = strcmp(name, "dup2") == 0 ? dup2(g_cur, to) : dup3(g_cur, to, flags);
    copied(name, fd, fd == to);
    return 1;
}

static void rtc_step(long sec) {
    int fd = open("/dev/rtc0", O_WRONLY);
    if (fd < 0) {
        result("rtc-open", fd);
        return;
    }
    printf("rtc-open ok\n");
    time_t t = (time_t)sec;
    struct tm tm;
    gmtime_r(&t, &tm);
    struct rtc_time rt;
    memset(&rt, 0, sizeof(rt));
    rt.tm_sec = tm.tm_sec;
    rt.tm_min = tm.tm_min;
    rt.tm_hour = tm.tm_hour;
    rt.tm_mday = tm.tm_mday;
    rt.tm_mon = tm.tm_mon;
    rt.tm_year = tm.tm_year;
    result("rtc-set", ioctl(fd, RTC_SET_TIME, &rt));
    result("rtc-close", close(fd));
}

static void cat_step(const char *path) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        result("cat", fd);
        return;
    }
    ssize_t n = read(fd, g_data, sizeof(g_data) - 1);
    close(fd);
    if (n < 0) {
        result("cat", n);
        return;
    }
    printf("cat %zd ", n);
    for (ssize_t i = 0; i < n; i++) {
        if (g_data[i] == '\n')
            printf("\\n");
        else
            putchar(g_data[i]);
    }
    printf("\n");
}

/* The poll flags of interest, in a fixed order. */
static void print_events(const char *step, int r, unsigned ev, unsigned in, unsigned pri,
                         unsigned out, unsigned err, unsigned hup) {
    if (r < 0) {
        result(step, r);
        return;
    }
    printf("%s %d%s%s%s%s%s\n", step, r, ev & in ? " in" : "", ev & pri ? " pri" : "",
           ev & out ? " out" : "", ev & err ? " err" : "", ev & hup ? " hup" : "");
}

static void wait_step(const char *name, int ms) {
    if (strcmp(name, "poll") == 0) {
        struct pollfd p = {.fd = g_cur, .events = POLLIN | POLLPRI | POLLOUT};
        int r = poll(&p, 1, ms);
        print_events(name, r, (unsigned)p.revents, POLLIN, POLLPRI, POLLOUT, POLLERR, POLLHUP);
    } else if (strcmp(name, "select") == 0) {
        fd_set r, w, x;
        FD_ZERO(&r);
        FD_ZERO(&w);
        FD_ZERO(&x);
        FD_SET(g_cur, &r);
        FD_SET(g_cur, &w);
        FD_SET(g_cur, &x);
        struct timeval tv = {.tv_sec = ms / MS_PER_SEC,
                             .tv_usec = (suseconds_t)(ms % MS_PER_SEC) * US_PER_MS};
        int n = select(g_cur + 1, &r, &w, &x, &tv);
        unsigned ev = (FD_ISSET(g_cur, &r) ? 1u : 0u) | (FD_ISSET(g_cur, &x) ? 2u : 0u) |
                      (FD_ISSET(g_cur, &w) ? 4u : 0u);
        print_events(name, n, n > 0 ? ev : 0, 1u, 2u, 4u, 0, 0);
    } else {
        int ep = epoll_create1(EPOLL_CLOEXEC);
        struct epoll_event e = {.events = EPOLLIN | EPOLLPRI | EPOLLOUT};
        if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, g_cur, &e) != 0) {
            result("epoll-ctl", -1);
            if (ep >= 0)
                close(ep);
            return;
        }
        struct epoll_event got = {0};
        int r = epoll_wait(ep, &got, 1, ms);
        print_events(name, r, r > 0 ? got.events : 0, EPOLLIN, EPOLLPRI, EPOLLOUT, EPOLLERR,
                     EPOLLHUP);
        close(ep);
    }
}

static const char *event_kind(unsigned kind) {
    return kind == TOUCHM_EVENT_ATTACHED  ? "attached"
           : kind == TOUCHM_EVENT_REMOVED ? "removed"
                                          : "kind?";
}

static int event_fresh(unsigned long long ns) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long at = (long long)now.tv_sec * MS_PER_SEC * NS_PER_MS + now.tv_nsec;
    return ns > 0 && (long long)ns <= at && at - (long long)ns < EVENT_AGE_MAX_NS;
}

static void print_rom(const unsigned char *rom) {
    for (int i = 0; i < TOUCHM_ROM_BYTES; i++)
        printf("%02x", rom[i]);
}

static void keystate_step(void) {
    struct touchm_event ev;
    memset(&ev, 0xAA, sizeof(ev));
    int r = ioctl(g_cur, TOUCHM_IOC_KEY_STATE, &ev);
    if (r < 0) {
        result("keystate", r);
        return;
    }
    printf("keystate %d %s seq=%u rom=", r, event_kind(ev.kind), ev.seqno);
    print_rom(ev.rom);
    printf(" time=%s\n", ev.seqno == 0 ? (ev.timestamp_ns == 0 ? "none" : "bad")
                                       : (event_fresh(ev.timestamp_ns) ? "fresh" : "bad"));
}

static void events_step(long n) {
    static struct touchm_event evs[EVENTS_MAX];
    ssize_t r = read(g_cur, evs, (size_t)n * sizeof(evs[0]));
    result("events", (long)r);
    for (ssize_t i = 0; r > 0 && i < r / (ssize_t)sizeof(evs[0]); i++) {
        printf("event seq=%u %s lost=%u rom=", evs[i].seqno, event_kind(evs[i].kind), evs[i].lost);
        print_rom(evs[i].rom);
        printf("%s\n", event_fresh(evs[i].timestamp_ns) ? "" : " stale");
    }
}

/* One step; 0 for a malformed one. */
static int step(char *word) {
    char *arg = strchr(word, ':');
    if (arg)
        *arg++ = '\0';
    const char *name = word;
    long long value = 0;
    int numeric = arg != NULL && number(arg, 10, &value);

    if (strcmp(name, "open") == 0) {
        const char *path = TM_DEVICE_PATH;
        int flags = TM_OPEN_FLAGS;
        if (arg) {
            char *fl = strchr(arg, ':');
            if (fl) {
                *fl++ = '\0';
                long long v = 0;
                if (!number(fl, 16, &v))
                    return 0;
                flags = (int)v;
            }
            path = arg;
        }
        opened("open", open(path, flags));
    } else if (strcmp(name, "openat") == 0 && arg) {
        opened("openat", openat(AT_FDCWD, arg, TM_OPEN_FLAGS));
    } else if (strcmp(name, "open2") == 0 && arg) {
        opened("open2", __open_2(arg, TM_OPEN_FLAGS));
    } else if (strcmp(name, "creat") == 0 && arg) {
        opened("creat", creat(arg, 0600));
    } else if (strcmp(name, "use") == 0 && arg) {
        long long i = 0;
        if (!number(arg, 10, &i) || i < 0 || i >= g_nfds)
            return 0;
        g_cur = g_fds[i];
    } else if (strcmp(name, "dup") == 0) {
        copied("dup", dup(g_cur), 1);
    } else if ((strcmp(name, "dupfd") == 0 || strcmp(name, "dupfdcloexec") == 0) && numeric) {
        int cmd = name[5] == '\0' ? F_DUPFD : F_DUPFD_CLOEXEC;
        int fd = fcntl(g_cur, cmd, (int)value);
        copied(name, fd, fd >= value);
    } else if ((strcmp(name, "dup2") == 0 || strcmp(name, "dup3") == 0) && arg) {
        return dup_onto(name, arg);
    } else if (strcmp(name, "cloexec") == 0) {
        int flags = fcntl(g_cur, F_GETFD);
        result("cloexec", flags < 0 ? flags : (flags & FD_CLOEXEC) != 0);
    } else if (strcmp(name, "presence") == 0) {
        result("presence", ioctl(g_cur, TM_REQ_PRESENCE));
    } else if (strcmp(name, "rom") == 0) {
        unsigned char rom[TM_ROM_SIZE];
        memset(rom, 0xAA, sizeof(rom));
        int r = ioctl(g_cur, TM_REQ_READ_ROM, rom);
        int saved = errno;
        hex_line("rom", r < 0 ? r : TM_ROM_SIZE, rom);
        if (r < 0) {
            errno = saved;
            printf("rom-buffer ");
            for (int i = 0; i < TM_ROM_SIZE; i++)
                printf("%02x", rom[i]);
            printf("\n");
        }
    } else if (strcmp(name, "reset") == 0) {
        result("reset", ioctl(g_cur, TM_REQ_RESET));
    } else if (strcmp(name, "skip") == 0) {
        result("skip", ioctl(g_cur, TM_REQ_SKIP_ROM));
    } else if (strcmp(name, "ioctl") == 0 && arg) {
        long long req = 0;
        if (!number(arg, 16, &req))
            return 0;
        result("ioctl", ioctl(g_cur, (unsigned long)req, NULL));
    } else if (strcmp(name, "seek") == 0 && arg) {
        char *wh = strchr(arg, ':');
        long long whence = SEEK_SET;
        if (wh) {
            *wh++ = '\0';
            if (!number(wh, 10, &whence))
                return 0;
        }
        long long off = 0;
        if (!number(arg, 10, &off))
            return 0;
        result("seek", (long)lseek(g_cur, (off_t)off, (int)whence));
    } else if (strcmp(name, "read") == 0 && arg) {
        long long n = 0;
        if (!number(arg, 10, &n) || n < 0 || (size_t)n > sizeof(g_data))
            return 0;
        hex_line("read", (long)read(g_cur, g_data, (size_t)n), g_data);
    } else if (strcmp(name, "pread") == 0 && arg) {
        char *cnt = strchr(arg, ':');
        if (!cnt)
            return 0;
        *cnt++ = '\0';
        long long n = 0;
        long long off = 0;
        if (!number(cnt, 10, &n) || n < 0 || (size_t)n > sizeof(g_data) || !number(arg, 10, &off))
            return 0;
        hex_line("pread", (long)pread(g_cur, g_data, (size_t)n, (off_t)off), g_data);
    } else if (strcmp(name, "readnull") == 0 && numeric) {
        result("readnull", (long)read(g_cur, NULL, (size_t)value));
    } else if (strcmp(name, "writenull") == 0 && numeric) {
        result("writenull", (long)write(g_cur, NULL, (size_t)value));
    } else if (strcmp(name, "write") == 0) {
        const char *text = arg ? arg : "";
        result("write", (long)write(g_cur, text, strlen(text)));
    } else if (strcmp(name, "writehex") == 0 && arg) {
        size_t n = 0;
        if (!parse_hex_bytes(arg, g_data, sizeof(g_data), &n))
            return 0;
        result("writehex", (long)write(g_cur, g_data, n));
    } else if (strcmp(name, "pwrite") == 0 && arg) {
        char *text = strchr(arg, ':');
        if (!text)
            return 0;
        *text++ = '\0';
        long long off = 0;
        if (!number(arg, 10, &off))
            return 0;
        result("pwrite", (long)pwrite(g_cur, text, strlen(text), (off_t)off));
    } else if (strcmp(name, "close") == 0) {
        result("close", close(g_cur));
    } else if (strcmp(name, "settime") == 0 && numeric) {
        struct timeval tv = {.tv_sec = (time_t)value, .tv_usec = 0};
        result("settime", settimeofday(&tv, NULL));
    } else if (strcmp(name, "clockset") == 0 && numeric) {
        struct timespec ts = {.tv_sec = (time_t)value, .tv_nsec = 0};
        result("clockset", clock_settime(CLOCK_REALTIME, &ts));
    } else if (strcmp(name, "rtc") == 0 && numeric) {
        rtc_step((long)value);
    } else if (strcmp(name, "file") == 0 && arg) {
        char *text = strchr(arg, ':');
        if (!text)
            return 0;
        *text++ = '\0';
        int fd = open(arg, O_RDWR | O_CREAT | O_APPEND, 0600);
        if (fd < 0) {
            result("file", fd);
        } else {
            result("file", (long)write(fd, text, strlen(text)));
            close(fd);
        }
    } else if (strcmp(name, "cat") == 0 && arg) {
        cat_step(arg);
    } else if (strcmp(name, "sleep") == 0 && numeric) {
        long ms = (long)value;
        struct timespec ts = {.tv_sec = ms / MS_PER_SEC, .tv_nsec = (ms % MS_PER_SEC) * NS_PER_MS};
        nanosleep(&ts, NULL);
    } else if (strcmp(name, "sigpresence") == 0) {
        result("sigpresence", install(SIGUSR1, on_usr1));
    } else if (strcmp(name, "sigtermclose") == 0) {
        result("sigtermclose", install(SIGTERM, on_term));
    } else if (strcmp(name, "hammer") == 0 && numeric) {
        hammer((long)value);
    } else if ((strcmp(name, "poll") == 0 || strcmp(name, "select") == 0 ||
                strcmp(name, "epoll") == 0) &&
               numeric && value >= 0 && value <= INT_MAX) {
        wait_step(name, (int)value);
    } else if (strcmp(name, "keystate") == 0) {
        keystate_step();
    } else if (strcmp(name, "eventfd") == 0) {
        long long flags = 0;
        if (arg && strcmp(arg, "nonblock") == 0)
            flags = O_NONBLOCK;
        else if (arg && !number(arg, 16, &flags))
            return 0;
        opened("eventfd", ioctl(g_cur, TOUCHM_IOC_EVENT_FD, (long)flags));
    } else if (strcmp(name, "events") == 0 && numeric && value > 0 && value <= EVENTS_MAX) {
        events_step((long)value);
    } else if (strcmp(name, "eventread") == 0 && numeric && value >= 0 &&
               (size_t)value <= sizeof(g_data)) {
        result("eventread", (long)read(g_cur, g_data, (size_t)value));
    } else if (strcmp(name, "nonblock") == 0) {
        int flags = fcntl(g_cur, F_GETFL);
        result("nonblock", flags < 0 ? flags : (flags & O_NONBLOCK) != 0);
    } else if (strcmp(name, "stat") == 0) {
        stat_step();
    } else if (strcmp(name, "wait") == 0) {
        char line[LINE_MAX_IN];
        printf("wait\n");
        fflush(stdout);
        if (!fgets(line, sizeof(line), stdin))
            printf("wait eof\n");
    } else {
        return 0;
    }
    return 1;
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    for (int i = 1; i < argc; i++) {
        if (!step(argv[i])) {
            fprintf(stderr, "devprobe: bad step '%s'\n", argv[i]);
            return 2;
        }
    }
    return 0;
}
