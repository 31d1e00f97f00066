// SPDX-License-Identifier: GPL-2.0-or-later
/* capiprobe: calls libvorn's C API from a script on its command line, one
 * call per word, and prints one line per call: the step, its result and,
 * for a negative result, the errno name; data where there is some. Built as
 * C99 with -pedantic: it is the C caller the API is made for. The C API
 * tests run it under tmsim.
 *
 *   open[:PATH]        vorn_open (default /dev/touchm0); "open ok" or the
 *                      errno of the failure
 *   close              vorn_close
 *   fd                 vorn_fd: "fd ok" (and the same descriptor on every
 *                      call: "fd same"), or the error
 *   presence  rom  size
 *   read:OFF:N         vorn_read, data printed as hex
 *   write:OFF:HEX      vorn_write of the bytes given in hex
 *   wait:MS            vorn_wait_event; the event printed as
 *                      "KIND ROM seq=N lost=N"
 *   readev             vorn_read_event
 *   drain              vorn_read_event until none waits: the count, the
 *                      first event's lost count, first and last seqno
 *   poll:MS            the caller's own poll of vorn_fd: "readable" (just
 *                      POLLIN), "hangup" (POLLHUP and POLLERR), "idle", or
 *                      the revents
 *   text:HEX16         vorn_rom_from_text then vorn_rom_to_text
 *   textlen:LEN        vorn_rom_to_text of the default key's ROM into a
 *                      LEN-byte buffer; on failure whether it was touched
 *   inplace:AT         vorn_rom_to_text of the default key's ROM stored at
 *                      byte AT of the text buffer itself (text over ROM)
 *   alarm:MS           SIGALRM in MS milliseconds, to a handler that returns
 *   pause              print "pause" and read a line from standard input
 *   sleep:MS
 */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include "vorn.h"

#define DATA_MAX 65536
#define LINE_MAX_IN 256
#define NS_PER_MS 1000000L
#define US_PER_MS 1000L
#define MS_PER_SEC 1000
#define TEXT_BUF_MAX 64

/* The default key's ROM, family code first. */
static const uint8_t kDefaultRomBytes[VORN_ROM_BYTES] = {0x04, 0xef, 0xbe, 0xad,
                                                         0xde, 0x00, 0x00, 0xcd};

static unsigned char g_data[DATA_MAX];
static struct vorn_line *g_line;
static int g_fd = -1;

struct errno_name {
    int code;
    const char *name;
};

static const struct errno_name kErrnoNames[] = {
    {ENOENT, "ENOENT"},       {EINTR, "EINTR"},           {EIO, "EIO"},       {ENXIO, "ENXIO"},
    {EBADF, "EBADF"},         {EAGAIN, "EAGAIN"},         {ENOMEM, "ENOMEM"}, {EFAULT, "EFAULT"},
    {ENODEV, "ENODEV"},       {EINVAL, "EINVAL"},         {ENOTTY, "ENOTTY"}, {ENOSPC, "ENOSPC"},
    {ETIMEDOUT, "ETIMEDOUT"}, {EOPNOTSUPP, "EOPNOTSUPP"}, {EACCES, "EACCES"},
};

static const char *errno_name(int code) {
    for (size_t i = 0; i < sizeof(kErrnoNames) / sizeof(kErrnoNames[0]); i++)
        if (kErrnoNames[i].code == code)
            return kErrnoNames[i].name;
    return "E?";
}

/* "STEP R" and, for a negative R, the errno name. */
static void result(const char *step, long r) {
    if (r < 0)
        printf("%s %ld %s\n", step, r, errno_name((int)-r));
    else
        printf("%s %ld\n", step, r);
}

static void print_hex(const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; i++)
        printf("%02x", p[i]);
}

static int hex_nibble(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Bytes of a hex string into g_data; -1 when it is not one. */
static long parse_hex(const char *hex) {
    size_t len = strlen(hex);
    if (len % 2 || len / 2 > DATA_MAX)
        return -1;
    for (size_t i = 0; i < len / 2; i++) {
        int hi = hex_nibble(hex[2 * i]);
        int lo = hex_nibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return -1;
        g_data[i] = (unsigned char)(hi << 4 | lo);
    }
    return (long)(len / 2);
}

static void print_event(const char *step, int r, const struct vorn_event *ev) {
    if (r != 1) {
        if (r == 0)
            printf("%s timeout\n", step);
        else
            result(step, r);
        return;
    }
    char text[VORN_ROM_TEXT_SIZE];
    vorn_rom_to_text(ev->rom, text, sizeof(text));
    const char *kind = ev->kind == VORN_EVENT_ATTACHED  ? "attached"
                       : ev->kind == VORN_EVENT_REMOVED ? "removed"
                                                        : "unknown";
    printf("%s %s %s seq=%lu lost=%lu\n", step, kind, text, (unsigned long)ev->seqno,
           (unsigned long)ev->lost);
}

static volatile sig_atomic_t g_alarms;

static void on_alarm(int sig) {
    (void)sig;
    g_alarms++;
}

static void sleep_ms(long ms) {
    struct timespec ts;
    ts.tv_sec = ms / MS_PER_SEC;
    ts.tv_nsec = (ms % MS_PER_SEC) * NS_PER_MS;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

/* Numbers of a step "NAME:N[:N]...": 1 when s is name and count numbers
 * (decimal; -1 allowed) separated by colons, with *rest past the last one
 * (at a colon or the end); 0 otherwise. */
static int numbers(const char *s, const char *name, long *out, int count, const char **rest) {
    size_t len = strlen(name);
    if (strncmp(s, name, len) != 0 || s[len] != ':')
        return 0;
    const char *p = s + len;
    for (int i = 0; i < count; i++) {
        if (*p != ':')
            return 0;
        char *end = NULL;
        errno = 0;
        long long v = strtoll(p + 1, &end, 10);
        if (errno || end == p + 1 || v < -1 || v > UINT32_MAX)
            return 0;
        out[i] = (long)v;
        p = end;
    }
    if (rest)
        *rest = p;
    else if (*p != '\0')
        return 0;
    return 1;
}

static int step(const char *s) {
    long n[2] = {0, 0};
    const char *rest = NULL;
    if (strncmp(s, "open", 4) == 0 && (s[4] == '\0' || s[4] == ':')) {
        g_line = vorn_open(s[4] == ':' ? s + 5 : VORN_DEFAULT_PATH);
        if (g_line)
            printf("open ok\n");
        else
            result("open", -errno);
        g_fd = -1;
    } else if (strcmp(s, "close") == 0) {
        vorn_close(g_line);
        g_line = NULL;
        printf("close\n");
    } else if (strcmp(s, "fd") == 0) {
        int fd = vorn_fd(g_line);
        if (fd < 0)
            result("fd", fd);
        else
            printf("fd %s\n", g_fd < 0 ? "ok" : fd == g_fd ? "same" : "changed");
        if (fd >= 0)
            g_fd = fd;
    } else if (strcmp(s, "presence") == 0) {
        result("presence", vorn_presence(g_line));
    } else if (strcmp(s, "rom") == 0) {
        uint8_t rom[VORN_ROM_BYTES];
        memset(rom, 0xaa, sizeof(rom));
        int r = vorn_read_rom(g_line, rom);
        if (r == 0) {
            printf("rom 0 ");
            print_hex(rom, sizeof(rom));
            printf("\n");
        } else {
            result("rom", r);
            printf("rom-buffer ");
            print_hex(rom, sizeof(rom));
            printf("\n");
        }
    } else if (strcmp(s, "size") == 0) {
        result("size", vorn_key_size(g_line));
    } else if (numbers(s, "read", n, 2, NULL)) {
        if (n[0] < 0 || n[1] < 0 || n[1] > DATA_MAX)
            return 0;
        ssize_t r = vorn_read(g_line, (uint32_t)n[0], g_data, (size_t)n[1]);
        if (r >= 0) {
            printf("read %ld ", (long)r);
            print_hex(g_data, (size_t)r);
            printf("\n");
        } else {
            result("read", r);
        }
    } else if (numbers(s, "write", n, 1, &rest) && *rest == ':') {
        long len = parse_hex(rest + 1);
        if (n[0] < 0 || len < 0)
            return 0;
        result("write", vorn_write(g_line, (uint32_t)n[0], g_data, (size_t)len));
    } else if (numbers(s, "wait", n, 1, NULL)) {
        struct vorn_event ev;
        print_event("wait", vorn_wait_event(g_line, (int)n[0], &ev), &ev);
    } else if (strcmp(s, "drain") == 0) {
        /* Every waiting event: their count, the first one's lost count,
         * the first and last seqno, and whether the seqnos ran on by one. */
        struct vorn_event ev;
        unsigned long count = 0, lost = 0, first = 0, last = 0;
        int gapless = 1, r;
        while ((r = vorn_read_event(g_line, &ev)) == 1) {
            if (count == 0) {
                lost = ev.lost;
                first = ev.seqno;
            } else if (ev.seqno != last + 1 || ev.lost != 0) {
                gapless = 0;
            }
            last = ev.seqno;
            count++;
        }
        printf("drain %lu lost=%lu first=%lu last=%lu %s end=%s\n", count, lost, first, last,
               gapless ? "gapless" : "gaps", r == -EAGAIN ? "EAGAIN" : errno_name(-r));
    } else if (strcmp(s, "readev") == 0) {
        struct vorn_event ev;
        print_event("readev", vorn_read_event(g_line, &ev), &ev);
    } else if (numbers(s, "poll", n, 1, NULL)) {
        struct pollfd pfd;
        pfd.fd = vorn_fd(g_line);
        pfd.events = POLLIN;
        pfd.revents = 0;
        if (pfd.fd < 0) {
            result("poll", pfd.fd);
            return 1;
        }
        int r = poll(&pfd, 1, (int)n[0]);
        if (r < 0)
            result("poll", -errno);
        else if (r == 0)
            printf("poll idle\n");
        else if (pfd.revents == POLLIN)
            printf("poll readable\n");
        else if ((pfd.revents & (POLLHUP | POLLERR)) == (POLLHUP | POLLERR))
            printf("poll hangup\n");
        else
            printf("poll revents=0x%x\n", (unsigned)pfd.revents);
    } else if (strncmp(s, "text:", 5) == 0) {
        uint8_t rom[VORN_ROM_BYTES];
        char text[VORN_ROM_TEXT_SIZE];
        int r = vorn_rom_from_text(s + 5, rom);
        if (r < 0) {
            result("text", r);
        } else {
            result("text", vorn_rom_to_text(rom, text, sizeof(text)));
            printf("text %s\n", text);
        }
    } else if (numbers(s, "inplace", n, 1, NULL)) {
        /* One buffer for both: the ROM at byte n[0], the text from 0. */
        union {
            char text[TEXT_BUF_MAX];
            uint8_t rom[TEXT_BUF_MAX];
        } both;
        if (n[0] < 0 || (size_t)n[0] > sizeof(both) - VORN_ROM_BYTES)
            return 0;
        memset(both.text, '#', sizeof(both.text));
        memcpy(both.rom + n[0], kDefaultRomBytes, VORN_ROM_BYTES);
        int r = vorn_rom_to_text(both.rom + n[0], both.text, sizeof(both.text));
        result("inplace", r);
        if (r > 0)
            printf("inplace %s\n", both.text);
    } else if (numbers(s, "textlen", n, 1, NULL)) {
        const uint8_t *kRom = kDefaultRomBytes;
        char text[TEXT_BUF_MAX];
        if (n[0] < 0 || (size_t)n[0] > sizeof(text))
            return 0;
        memset(text, '#', sizeof(text));
        int r = vorn_rom_to_text(kRom, text, (size_t)n[0]);
        result("textlen", r);
        if (r < 0)
            printf("textlen %s\n", text[0] == '#' ? "untouched" : "written");
        else
            printf("textlen %s\n", text);
    } else if (strcmp(s, "pause") == 0) {
        char line[LINE_MAX_IN];
        printf("pause\n");
        fflush(stdout);
        if (fgets(line, sizeof(line), stdin) == NULL)
            return 0;
    } else if (numbers(s, "alarm", n, 1, NULL) && n[0] > 0) {
        /* SIGALRM in n[0] ms, to a handler that does nothing (no
         * SA_RESTART): a wait then sees the signal. */
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = on_alarm;
        sigemptyset(&sa.sa_mask);
        struct itimerval it;
        memset(&it, 0, sizeof(it));
        it.it_value.tv_sec = n[0] / MS_PER_SEC;
        it.it_value.tv_usec = (n[0] % MS_PER_SEC) * US_PER_MS;
        if (sigaction(SIGALRM, &sa, NULL) != 0 || setitimer(ITIMER_REAL, &it, NULL) != 0)
            return 0;
        printf("alarm set\n");
    } else if (numbers(s, "sleep", n, 1, NULL) && n[0] >= 0) {
        sleep_ms(n[0]);
    } else {
        return 0;
    }
    fflush(stdout);
    return 1;
}

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (!step(argv[i])) {
            fprintf(stderr, "capiprobe: bad step %s\n", argv[i]);
            return 2;
        }
    }
    vorn_close(g_line);
    return 0;
}
