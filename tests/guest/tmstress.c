// SPDX-License-Identifier: GPL-2.0-or-later
/* tmstress: stress calls on /dev/touchm0, for the qemu stress guest
 * (tests/guest/guest-stress.sh). Every call's result is checked against what the
 * kernel's file layer and the driver must give for its arguments.
 *
 *   tmstress random SEED SECONDS PROCS ROMHEX MEMSIZE
 *       PROCS processes make random calls for SECONDS: open and close
 *       (several descriptors each, read-only, write-only or both), the four
 *       requests with good, null and bad pointers, unknown requests, lseek
 *       with every whence and negative, huge and overflowing offsets, reads
 *       and writes of zero, odd, whole, huge and absurd lengths into good,
 *       unaligned, null, kernel and half-mapped buffers. The parent
 *       interrupts them with signals all the while. Each process owns a
 *       slice of the key memory: it writes only there, remembers what it
 *       wrote and checks every byte of its slice that a read returns, so a
 *       lost write or a transaction mixed with another shows. A key with ROM
 *       ROMHEX and MEMSIZE bytes must be on the line all the time.
 *   tmstress loop KIND SECONDS
 *       repeats one request (presence, rom, reset, skip, read, write) until
 *       it fails, as when the line hangs up under it: it must fail with a
 *       line error, and the next request on the same descriptor with ENODEV.
 *       KIND open opens, asks for presence and closes until opening fails
 *       (ENODEV, or ENOENT once the node is gone). Prints "TMS loop KIND started" after the first
 *       success.
 *   tmstress hangup TTY
 *       hangs TTY up (TIOCVHANGUP), as a carrier loss would.
 *   tmstress fresh MEMSIZE
 *       on a line just attached, before any transfer: SEEK_END, SEEK_DATA
 *       and SEEK_HOLE must already know the key memory size.
 *
 * Result lines start with "TMS " for the test log; failures with
 * "tmstress: FAIL". Status 0 when every check passed. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "romhex.h"

#define DEV_PATH "/dev/touchm0"
#define REQ_PRESENCE 0x414C544AUL
#define REQ_READ_ROM 0x414C544BUL
#define REQ_RESET 0x414C544CUL
#define REQ_SKIP_ROM 0x414C544DUL
#define PAGE 4096
#define KEY_PAGE 32
#define MEM_MAX 8192
/* Room for a whole key memory at any misalignment within a key page. */
#define BUF_SIZE (MEM_MAX + PAGE)
#define PROCS_MAX 16
#define FDS_MAX 4
#define ERRNO_SLOTS 160
#define FAIL_PRINTS_MAX 20
/* A call taking longer than this has hung as far as the test is concerned:
 * the driver's waits are bounded at 250 ms an exchange, and a process waits
 * at most for the transfers of the others before its own. */
#define CALL_LIMIT_MS 10000
/* How long the parent waits for its children after the run, and after
 * killing those that did not end. */
#define GRACE_S 30
#define KILL_GRACE_S 5
/* The parent interrupts a random child every this many ms, at most: often
 * enough that requests are cut short at every stage, seldom enough that
 * most of them finish. */
#define INTERRUPT_MS_MAX 300
/* Where user addresses end on x86-64 with 4-level paging: a buffer that
 * reaches past it fails the file layer's access check. */
#define USER_TOP 0x7ffffffff000ULL
/* The file layer cuts every transfer to this (INT_MAX rounded down to a page). */
#define MAX_RW_COUNT ((size_t)(INT_MAX & ~(PAGE - 1)))
#define KERNEL_ADDR ((void *)0xffffffff81000000UL)
#define LOOP_WAIT_MS 1000

static int g_failed;

static void __attribute__((format(printf, 1, 2))) fail(const char *fmt, ...) {
    va_list ap;
    printf("tmstress: FAIL ");
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
    g_failed++;
}

static long long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* --- random calls --------------------------------------------------------- */

/* What one process did, in memory shared with the parent. */
struct counts {
    unsigned long calls;
    unsigned long ok;
    unsigned long err[ERRNO_SLOTS];
    unsigned long written;
    unsigned long verified;
    unsigned long failures;
    long long slowest_ms;
};

struct fd_state {
    int fd;
    int mode; /* O_RDONLY, O_WRONLY or O_RDWR */
    long long pos;
};

struct worker {
    int index;
    uint64_t rng;
    unsigned mem_size;
    unsigned lo, hi; /* the slice [lo, hi) this process writes */
    const unsigned char *rom;
    unsigned char shadow[MEM_MAX];
    struct fd_state fds[FDS_MAX];
    int nfds;
    unsigned char *buf;  /* BUF_SIZE good bytes */
    unsigned char *edge; /* a page, then a page without access */
    void *unmapped;      /* a user address with nothing mapped */
    struct counts *counts;
    int prints;
};

static uint64_t next_rand(struct worker *w) {
    /* xorshift64*: reproducible from the seed, no library state. */
    w->rng ^= w->rng >> 12;
    w->rng ^= w->rng << 25;
    w->rng ^= w->rng >> 27;
    return w->rng * 0x2545F4914F6CDD1DULL;
}

static unsigned pick(struct worker *w, unsigned n) {
    return (unsigned)(next_rand(w) % n);
}

static void __attribute__((format(printf, 2, 3))) wfail(struct worker *w, const char *fmt, ...) {
    va_list ap;
    w->counts->failures++;
    if (w->prints++ >= FAIL_PRINTS_MAX)
        return;
    printf("tmstress: FAIL p%d call %lu: ", w->index, w->counts->calls);
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
}

/* Books a call's outcome; r < 0 means it failed with err. */
static void book(struct worker *w, long long r, int err, long long started) {
    long long took = now_ms() - started;
    w->counts->calls++;
    if (r >= 0)
        w->counts->ok++;
    else
        w->counts->err[err >= 0 && err < ERRNO_SLOTS ? err : 0]++;
    if (took > w->counts->slowest_ms)
        w->counts->slowest_ms = took;
    if (took > CALL_LIMIT_MS)
        wfail(w, "a call took %lld ms", took);
}

/* The call gave r (errno err): it must be want, or fail with want_err
 * (want < 0). EINTR is always a proper answer: the parent sends signals. */
static int expect(struct worker *w, const char *what, long long r, int err, long long want,
                  int want_err) {
    if (r < 0 && err == EINTR)
        return 0;
    if (want >= 0 && r == want)
        return 1;
    if (want < 0 && r < 0 && err == want_err)
        return 1;
    if (want >= 0)
        wfail(w, "%s gave %lld (%s), wanted %lld", what, r, r < 0 ? strerror(err) : "-", want);
    else
        wfail(w, "%s gave %lld (%s), wanted %s", what, r, r < 0 ? strerror(err) : "-",
              strerror(want_err));
    return 0;
}

static void do_open(struct worker *w) {
    static const int modes[] = {O_RDWR, O_RDWR, O_RDWR, O_RDONLY, O_WRONLY};
    if (w->nfds == FDS_MAX)
        return;
    int mode = modes[pick(w, sizeof modes / sizeof modes[0])];
    int flags = mode | (pick(w, 2) ? O_NONBLOCK : 0) | O_CLOEXEC;
    long long t = now_ms();
    int fd = open(DEV_PATH, flags);
    int err = errno;
    book(w, fd, err, t);
    if (fd < 0) {
        if (err != EINTR)
            wfail(w, "open: %s", strerror(err));
        return;
    }
    w->fds[w->nfds++] = (struct fd_state){fd, mode, 0};
}

static void do_close(struct worker *w) {
    if (!w->nfds)
        return;
    unsigned i = pick(w, (unsigned)w->nfds);
    long long t = now_ms();
    int r = close(w->fds[i].fd);
    book(w, r, errno, t);
    if (r != 0)
        wfail(w, "close: %s", strerror(errno));
    w->fds[i] = w->fds[--w->nfds];
}

/* A pointer of one of the kinds a careless caller passes; *good tells
 * whether it is a proper buffer. */
static unsigned char *pointer(struct worker *w, int *good) {
    switch (pick(w, 6)) {
    case 0:
        *good = 0;
        return NULL;
    case 1:
        *good = 0;
        return KERNEL_ADDR;
    case 2:
        *good = 0;
        return w->unmapped;
    default:
        *good = 1;
        return w->buf + pick(w, KEY_PAGE);
    }
}

static void do_request(struct worker *w, int fd) {
    static const unsigned long reqs[] = {REQ_PRESENCE, REQ_READ_ROM, REQ_RESET, REQ_SKIP_ROM};
    unsigned long req = reqs[pick(w, 4)];
    int good;
    unsigned char *arg = pointer(w, &good);
    if (good)
        memset(arg, 0xAA, ROM_SIZE + 1);
    long long t = now_ms();
    errno = 0;
    int r = ioctl(fd, req, arg);
    int err = errno;
    book(w, r, err, t);
    if (req != REQ_READ_ROM || good) {
        if (expect(w, "request", r, err, 0, 0) && req == REQ_READ_ROM &&
            (memcmp(arg, w->rom, ROM_SIZE) != 0 || arg[ROM_SIZE] != 0xAA))
            wfail(w, "ROM request wrote other than the 8 ROM bytes");
        return;
    }
    expect(w, "ROM request to a bad pointer", r, err, -1, EFAULT);
}

static void do_unknown_request(struct worker *w, int fd) {
    /* Near misses of the device's requests, a terminal's and a file's, and
     * random ones with a size field of 256 or more that no layer above the
     * driver takes for its own. */
    static const unsigned long near[] = {0x414C5449UL, 0x414C544EUL, 0x014C544AUL, 0xC14C544BUL,
                                         0UL,          0xFFFFFFFFUL, 0x5401UL,     0x541BUL};
    unsigned long req;
    if (pick(w, 2))
        req = near[pick(w, sizeof near / sizeof near[0])];
    else
        do
            req = 0x41000000UL | (next_rand(w) & 0x00FFFFFFUL);
        while (req >= REQ_PRESENCE && req <= REQ_SKIP_ROM);
    int good;
    unsigned char *arg = pointer(w, &good);
    long long t = now_ms();
    errno = 0;
    int r = ioctl(fd, req, arg);
    int err = errno;
    book(w, r, err, t);
    expect(w, "unknown request", r, err, -1, ENOTTY);
}

/* What lseek must give: the new position, or -errno. */
static long long seek_result(long long pos, long long off, int whence, unsigned size) {
    long long to;
    switch (whence) {
    case SEEK_SET:
        to = off;
        break;
    case SEEK_CUR:
        if (off == 0)
            return pos;
        to = (long long)((unsigned long long)pos + (unsigned long long)off);
        break;
    case SEEK_END:
        to = (long long)((unsigned long long)off + size);
        break;
    case SEEK_DATA:
        if ((unsigned long long)off >= size)
            return -ENXIO;
        to = off;
        break;
    case SEEK_HOLE:
        if ((unsigned long long)off >= size)
            return -ENXIO;
        to = size;
        break;
    default:
        return -EINVAL;
    }
    return to < 0 ? -EINVAL : to;
}

static long long some_offset(struct worker *w) {
    static const long long odd[] = {-1, LLONG_MAX, LLONG_MIN, 1LL << 62, -(1LL << 62)};
    unsigned size = w->mem_size;
    if (pick(w, 4) == 0)
        return odd[pick(w, sizeof odd / sizeof odd[0])];
    return (long long)pick(w, 4 * size) - 2 * (long long)size;
}

static void do_seek(struct worker *w, struct fd_state *f) {
    static const int whences[] = {SEEK_SET, SEEK_CUR, SEEK_END, SEEK_DATA, SEEK_HOLE, 5, -1};
    int whence = whences[pick(w, sizeof whences / sizeof whences[0])];
    long long off = some_offset(w);
    long long want = seek_result(f->pos, off, whence, w->mem_size);
    long long t = now_ms();
    errno = 0;
    long long r = lseek(f->fd, off, whence);
    int err = errno;
    book(w, r, err, t);
    char what[64];
    snprintf(what, sizeof what, "lseek %lld whence %d from %lld", off, whence, f->pos);
    if (expect(w, what, r, err, want < 0 ? -1 : want, (int)-want) && r >= 0)
        f->pos = r;
}

/* The bytes a transfer of len at pos moves: cut by the file layer, then to
 * the key memory. */
static size_t span(const struct worker *w, long long pos, size_t len) {
    if (len > MAX_RW_COUNT)
        len = MAX_RW_COUNT;
    if (pos >= (long long)w->mem_size)
        return 0;
    return len < w->mem_size - (size_t)pos ? len : w->mem_size - (size_t)pos;
}

static size_t some_length(struct worker *w) {
    static const size_t odd[] = {0, 1, 31, 33, 1u << 30, (1UL << 31) + 5, (size_t)1 << 63};
    switch (pick(w, 4)) {
    case 0:
        return odd[pick(w, sizeof odd / sizeof odd[0])];
    case 1:
        return w->mem_size + pick(w, 2);
    default:
        return 1 + pick(w, 2 * KEY_PAGE + 7);
    }
}

/* Compares what a read returned with the part of the slice it covers. */
static void verify(struct worker *w, long long pos, const unsigned char *got, size_t n) {
    for (size_t i = 0; i < n; i++) {
        unsigned long long at = (unsigned long long)pos + i;
        if (at < w->lo || at >= w->hi)
            continue;
        w->counts->verified++;
        if (got[i] != w->shadow[at]) {
            wfail(w, "byte %llu read as %02x, written %02x", at, got[i], w->shadow[at]);
            return;
        }
    }
}

/* What a transfer of len at pos must give, checked in the order the file
 * layer and the driver check: the position, the descriptor's direction
 * (wrong_way), the buffer's address range, an overflowing end, and then the
 * bytes inside the key memory, of which a buffer takes only its first valid
 * ones (0 for a null or unmapped one). The result, or -errno. */
static long long transfer_result(const struct worker *w, long long pos, int wrong_way,
                                 const unsigned char *buf, size_t len, size_t valid) {
    unsigned long long end = (unsigned long long)(uintptr_t)buf + len;
    if (pos < 0)
        return -EINVAL;
    if (wrong_way)
        return -EBADF;
    if (end < (uintptr_t)buf || end > USER_TOP)
        return -EFAULT;
    if (len > SSIZE_MAX || (long long)((unsigned long long)pos + len) < 0)
        return -EINVAL;
    size_t n = span(w, pos, len);
    return n > valid ? -EFAULT : (long long)n;
}

static void do_read(struct worker *w, struct fd_state *f) {
    int positioned = pick(w, 2);
    long long pos = positioned ? some_offset(w) : f->pos;
    if (positioned && pick(w, 2))
        pos = pick(w, w->mem_size + 1);
    size_t len = some_length(w);
    int good;
    unsigned char *buf = pointer(w, &good);
    size_t valid = good ? SIZE_MAX : 0;
    if (good && pick(w, 4) == 0) {
        /* The buffer runs into a page without access. */
        valid = 1 + pick(w, KEY_PAGE * 3);
        buf = w->edge + PAGE - valid;
    }
    long long want = transfer_result(w, pos, f->mode == O_WRONLY, buf, len, valid);
    long long t = now_ms();
    errno = 0;
    long long r = positioned ? pread(f->fd, buf, len, pos) : read(f->fd, buf, len);
    int err = errno;
    book(w, r, err, t);
    char what[96];
    snprintf(what, sizeof what, "%s of %zu at %lld", positioned ? "pread" : "read", len, pos);
    if (!expect(w, what, r, err, want < 0 ? -1 : want, (int)-want) || r < 0)
        return;
    if (!positioned)
        f->pos += r;
    verify(w, pos, buf, (size_t)r);
}

/* Reads [from, to) of the slice back into the shadow, after a write that a
 * signal cut short left part of it unknown. */
static void resync(struct worker *w, unsigned from, unsigned to) {
    int fd = open(DEV_PATH, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        wfail(w, "open to read back: %s", strerror(errno));
        return;
    }
    for (int tries = 0; tries < 100; tries++) {
        ssize_t r = pread(fd, w->shadow + from, to - from, from);
        if (r == (ssize_t)(to - from)) {
            close(fd);
            return;
        }
        if (r >= 0 || errno != EINTR) {
            wfail(w, "read back of %u..%u: %zd (%s)", from, to, r, strerror(errno));
            close(fd);
            return;
        }
    }
    wfail(w, "read back of %u..%u interrupted 100 times", from, to);
    close(fd);
}

/* The shadow after a write of len from src at pos whose source ends after
 * valid bytes: the driver writes key page by key page and stops at the
 * first piece it cannot copy. */
static void written(struct worker *w, long long pos, const unsigned char *src, size_t len,
                    size_t valid) {
    size_t done = 0;
    while (done < len) {
        size_t off = (size_t)pos + done;
        size_t n = KEY_PAGE - off % KEY_PAGE;
        if (n > len - done)
            n = len - done;
        if (done + n > valid)
            break;
        memcpy(w->shadow + off, src + done, n);
        w->counts->written += n;
        done += n;
    }
}

static void do_write(struct worker *w, struct fd_state *f) {
    /* Good data goes only to this process's slice; what could reach beyond
     * it fails before a byte is written, or starts past the memory's end. */
    unsigned room;
    long long pos = w->lo + pick(w, w->hi - w->lo);
    size_t len, valid = SIZE_MAX;
    unsigned char *src;
    room = w->hi - (unsigned)pos;
    switch (pick(w, 8)) {
    case 0: /* a null or kernel buffer of a huge length */
        src = pick(w, 2) ? NULL : KERNEL_ADDR;
        valid = 0;
        len = pick(w, 2) ? 1u << 30 : room;
        break;
    case 1: /* past the end of the memory */
        pos = w->mem_size + pick(w, 3 * KEY_PAGE);
        src = w->buf;
        len = pick(w, 2) ? 1u << 30 : 1 + pick(w, KEY_PAGE);
        break;
    case 2: /* into a page without access */
        len = 1 + pick(w, room);
        valid = pick(w, (unsigned)len);
        src = w->edge + PAGE - valid;
        break;
    case 3:
        len = 0;
        src = w->buf;
        break;
    default: /* good data at any alignment */
        len = 1 + pick(w, room);
        src = w->buf + pick(w, KEY_PAGE);
        break;
    }
    size_t fill = len < valid ? len : valid;
    for (size_t i = 0; i < fill && i < MEM_MAX; i++)
        src[i] = (unsigned char)next_rand(w);
    size_t n = span(w, pos, len);
    long long want = transfer_result(w, pos, f->mode == O_RDONLY, src, len, valid);
    long long t = now_ms();
    errno = 0;
    long long r = pwrite(f->fd, src, len, pos);
    int err = errno;
    book(w, r, err, t);
    char what[96];
    snprintf(what, sizeof what, "pwrite of %zu at %lld", len, pos);
    if (r < 0 && err == EINTR && f->mode != O_RDONLY && n) {
        resync(w, (unsigned)pos, (unsigned)pos + (unsigned)n);
        return;
    }
    if (!expect(w, what, r, err, want < 0 ? -1 : want, (int)-want))
        return;
    if (want == -EFAULT && valid < len)
        /* The key pages before the first it could not copy are written. */
        written(w, pos, src, n, valid);
    else if (r > 0)
        written(w, pos, src, (size_t)r, SIZE_MAX);
}

/* Writes the whole slice once, so that every byte of it is known. */
static int fill_slice(struct worker *w) {
    int fd = open(DEV_PATH, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        wfail(w, "open: %s", strerror(errno));
        return 0;
    }
    for (unsigned i = w->lo; i < w->hi; i++)
        w->shadow[i] = (unsigned char)next_rand(w);
    int ok = 0;
    for (int tries = 0; tries < 100 && !ok; tries++) {
        ssize_t r = pwrite(fd, w->shadow + w->lo, w->hi - w->lo, w->lo);
        ok = r == (ssize_t)(w->hi - w->lo);
        if (!ok && (r >= 0 || errno != EINTR))
            break;
    }
    if (!ok)
        wfail(w, "the slice %u..%u could not be written: %s", w->lo, w->hi, strerror(errno));
    else
        w->counts->written += w->hi - w->lo;
    close(fd);
    return ok;
}

/* At the end: the whole slice as it was last written. */
static void check_slice(struct worker *w) {
    unsigned char got[MEM_MAX];
    int fd = open(DEV_PATH, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        wfail(w, "final open: %s", strerror(errno));
        return;
    }
    for (int tries = 0; tries < 100; tries++) {
        ssize_t r = pread(fd, got + w->lo, w->hi - w->lo, w->lo);
        if (r == (ssize_t)(w->hi - w->lo)) {
            verify(w, w->lo, got + w->lo, (size_t)r);
            break;
        }
        if (r >= 0 || errno != EINTR) {
            wfail(w, "final read: %zd (%s)", r, strerror(errno));
            break;
        }
    }
    close(fd);
}

static void on_signal(int sig) {
    (void)sig;
}

static int run_worker(struct worker *w, long long deadline) {
    w->buf = mmap(NULL, BUF_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    w->edge = mmap(NULL, 2 * PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    w->unmapped = mmap(NULL, PAGE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (w->buf == MAP_FAILED || w->edge == MAP_FAILED || w->unmapped == MAP_FAILED ||
        mprotect(w->edge + PAGE, PAGE, PROT_NONE) != 0 || munmap(w->unmapped, PAGE) != 0) {
        wfail(w, "no buffers: %s", strerror(errno));
        return 1;
    }
    if (!fill_slice(w))
        return 1;
    while (now_ms() < deadline) {
        unsigned op = pick(w, 100);
        if (op < 5 || !w->nfds) {
            do_open(w);
            continue;
        }
        if (op < 9) {
            do_close(w);
            continue;
        }
        struct fd_state *f = &w->fds[pick(w, (unsigned)w->nfds)];
        if (op < 25)
            do_request(w, f->fd);
        else if (op < 30)
            do_unknown_request(w, f->fd);
        else if (op < 45)
            do_seek(w, f);
        else if (op < 72)
            do_read(w, f);
        else
            do_write(w, f);
    }
    while (w->nfds)
        close(w->fds[--w->nfds].fd);
    /* Signals now would only cut the last check short. */
    signal(SIGUSR1, SIG_IGN);
    check_slice(w);
    return w->counts->failures ? 1 : 0;
}

static void print_totals(const struct counts *c, int procs, int seconds) {
    struct counts t;
    memset(&t, 0, sizeof t);
    for (int p = 0; p < procs; p++) {
        t.calls += c[p].calls;
        t.ok += c[p].ok;
        t.written += c[p].written;
        t.verified += c[p].verified;
        t.failures += c[p].failures;
        for (int e = 0; e < ERRNO_SLOTS; e++)
            t.err[e] += c[p].err[e];
        if (c[p].slowest_ms > t.slowest_ms)
            t.slowest_ms = c[p].slowest_ms;
    }
    printf("TMS random: procs %d seconds %d calls %lu ok %lu failures %lu slowest %lld ms\n", procs,
           seconds, t.calls, t.ok, t.failures, t.slowest_ms);
    printf("TMS random errors:");
    for (int e = 0; e < ERRNO_SLOTS; e++)
        if (t.err[e])
            printf(" %s %lu", e ? strerrorname_np(e) : "other", t.err[e]);
    printf("\n");
    printf("TMS random bytes: written %lu verified %lu\n", t.written, t.verified);
}

static int random_calls(unsigned long seed, int seconds, int procs, const unsigned char *rom,
                        unsigned mem_size) {
    struct counts *counts = mmap(NULL, sizeof(struct counts) * PROCS_MAX, PROT_READ | PROT_WRITE,
                                 MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (counts == MAP_FAILED) {
        fail("no shared memory: %s", strerror(errno));
        return 1;
    }
    memset(counts, 0, sizeof(struct counts) * PROCS_MAX);
    /* Set before the children exist, so that no signal finds one without
     * it; no SA_RESTART, so that an interrupted call ends with EINTR. */
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGUSR1, &sa, NULL);
    static struct worker workers[PROCS_MAX];
    pid_t pids[PROCS_MAX];
    long long deadline = now_ms() + (long long)seconds * 1000;
    unsigned slice = mem_size / (unsigned)procs;
    fflush(stdout);
    for (int p = 0; p < procs; p++) {
        struct worker *w = &workers[p];
        w->index = p;
        w->rng = seed * 1000003ULL + (uint64_t)p + 1;
        w->mem_size = mem_size;
        w->lo = (unsigned)p * slice;
        w->hi = w->lo + slice;
        w->rom = rom;
        w->counts = &counts[p];
        pids[p] = fork();
        if (pids[p] == 0)
            _exit(run_worker(w, deadline));
        if (pids[p] < 0) {
            fail("fork: %s", strerror(errno));
            procs = p;
            break;
        }
    }
    /* Signals at random moments while the children run. */
    uint64_t rng = seed | 1;
    while (now_ms() < deadline && procs > 0) {
        rng ^= rng << 13;
        rng ^= rng >> 7;
        rng ^= rng << 17;
        struct timespec nap = {0, (long)(rng % INTERRUPT_MS_MAX + 1) * 1000000L};
        nanosleep(&nap, NULL);
        kill(pids[rng % (unsigned)procs], SIGUSR1);
    }
    int left = procs;
    int status_bad = 0;
    long long give_up = deadline + GRACE_S * 1000LL;
    int killed = 0;
    while (left > 0) {
        int status;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid > 0) {
            left--;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                status_bad++;
            continue;
        }
        if (now_ms() > give_up) {
            if (killed) {
                fail("%d process(es) still in the device after SIGKILL", left);
                break;
            }
            fail("%d process(es) still running %d s after the end", left, GRACE_S);
            for (int p = 0; p < procs; p++)
                kill(pids[p], SIGKILL);
            killed = 1;
            give_up = now_ms() + KILL_GRACE_S * 1000LL;
        }
        struct timespec nap = {0, 50 * 1000000L};
        nanosleep(&nap, NULL);
    }
    print_totals(counts, procs, seconds);
    for (int p = 0; p < procs; p++)
        if (counts[p].failures)
            g_failed++;
    if (status_bad && !g_failed)
        fail("%d process(es) ended badly", status_bad);
    return g_failed ? 1 : 0;
}

/* --- one request until the line goes -------------------------------------- */

static const char *const kinds[] = {"presence", "rom", "reset", "skip", "read", "write"};
#define KINDS (sizeof kinds / sizeof kinds[0])

/* One request of kind k; 0, or -errno. */
static int one_request(int fd, unsigned k, long long size) {
    static const unsigned long reqs[] = {REQ_PRESENCE, REQ_READ_ROM, REQ_RESET, REQ_SKIP_ROM};
    unsigned char buf[MEM_MAX];
    ssize_t r;
    if (k < 4)
        return ioctl(fd, reqs[k], buf) == 0 ? 0 : -errno;
    if (size <= 0 || size > MEM_MAX)
        return -EINVAL;
    if (k == 4) {
        r = pread(fd, buf, (size_t)size, 0);
    } else {
        for (int i = 0; i < KEY_PAGE; i++)
            buf[i] = (unsigned char)(0x40 + i);
        r = pwrite(fd, buf, KEY_PAGE, size - KEY_PAGE);
    }
    if (r < 0)
        return -errno;
    return r == (k == 4 ? size : KEY_PAGE) ? 0 : -EIO;
}

/* A line error: what a request in flight may get when the line goes. */
static int line_error(int err) {
    return err == ENODEV || err == EIO || err == ETIMEDOUT || err == ENXIO;
}

/* Opens the node, asks for presence and closes, until opening fails.
 * Between the line going and its node going, an open may still succeed:
 * its request must then fail with ENODEV. */
static int loop_open(int seconds) {
    long long t0 = now_ms(), deadline = t0 + (long long)seconds * 1000;
    unsigned long n = 0, late = 0;
    int err = 0;
    while (now_ms() < deadline) {
        int fd = open(DEV_PATH, O_RDWR);
        if (fd < 0) {
            err = errno;
            break;
        }
        if (ioctl(fd, REQ_PRESENCE) == 0) {
            if (n++ == 0) {
                printf("TMS loop open started\n");
                fflush(stdout);
            }
        } else if (errno == ENODEV) {
            late++;
        } else if (!line_error(errno)) {
            fail("loop open: presence gave %s", strerror(errno));
        }
        close(fd);
    }
    if (!err) {
        fail("loop open: %lu opens and the node still there after %d s", n, seconds);
        return 1;
    }
    printf("TMS loop open: %lu ok, %lu opened on a dead line, then %s after %lld ms\n", n, late,
           strerrorname_np(err), now_ms() - t0);
    /* ENODEV while the node is still there without its device. */
    if (err != ENOENT && err != ENODEV)
        fail("loop open: open failed with %s, not ENOENT or ENODEV", strerror(err));
    return g_failed ? 1 : 0;
}

static int loop_request(const char *kind, int seconds) {
    if (strcmp(kind, "open") == 0)
        return loop_open(seconds);
    unsigned k = 0;
    while (k < KINDS && strcmp(kinds[k], kind) != 0)
        k++;
    if (k == KINDS) {
        fprintf(stderr, "tmstress: no request kind %s\n", kind);
        return 2;
    }
    int fd = open(DEV_PATH, O_RDWR);
    if (fd < 0) {
        fail("loop %s: open: %s", kind, strerror(errno));
        return 1;
    }
    long long size = lseek(fd, 0, SEEK_END);
    long long t0 = now_ms(), deadline = t0 + (long long)seconds * 1000;
    unsigned long n = 0;
    int r = 0;
    while (now_ms() < deadline) {
        long long t = now_ms();
        r = one_request(fd, k, size);
        if (now_ms() - t > LOOP_WAIT_MS * 5)
            fail("loop %s: a request took %lld ms", kind, now_ms() - t);
        if (r)
            break;
        if (n++ == 0) {
            printf("TMS loop %s started\n", kind);
            fflush(stdout);
        }
    }
    if (!r) {
        fail("loop %s: %lu requests and no failure in %d s", kind, n, seconds);
        return 1;
    }
    int again = one_request(fd, k, size);
    printf("TMS loop %s: %lu ok, then %s after %lld ms; next %s\n", kind, n, strerrorname_np(-r),
           now_ms() - t0, again ? strerrorname_np(-again) : "ok");
    if (!line_error(-r))
        fail("loop %s: failed with %s, not a line error", kind, strerror(-r));
    if (again != -ENODEV)
        fail("loop %s: next request on the descriptor gave %s, not ENODEV", kind,
             again ? strerror(-again) : "success");
    close(fd);
    return g_failed ? 1 : 0;
}

/* --- the rest -------------------------------------------------------------- */

static int hangup(const char *tty) {
    int fd = open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || ioctl(fd, TIOCVHANGUP) != 0) {
        fail("hangup %s: %s", tty, strerror(errno));
        return 1;
    }
    close(fd);
    return 0;
}

static void seek_to(int fd, long long off, int whence, long long want, int want_err) {
    errno = 0;
    long long r = lseek(fd, off, whence);
    if (want >= 0 ? r != want : (r != -1 || errno != want_err))
        fail("fresh: lseek %lld whence %d gave %lld (%s), wanted %lld (%s)", off, whence, r,
             strerror(errno), want, want < 0 ? strerror(want_err) : "-");
}

static int fresh(unsigned size) {
    int fd = open(DEV_PATH, O_RDONLY);
    if (fd < 0) {
        fail("fresh: open: %s", strerror(errno));
        return 1;
    }
    seek_to(fd, 0, SEEK_END, size, 0);
    seek_to(fd, -1, SEEK_END, size - 1, 0);
    seek_to(fd, 0, SEEK_HOLE, size, 0);
    seek_to(fd, size, SEEK_DATA, -1, ENXIO);
    close(fd);
    if (!g_failed)
        printf("TMS fresh: ok\n");
    return g_failed ? 1 : 0;
}

static int usage(void) {
    fprintf(stderr, "usage: tmstress random SEED SECONDS PROCS ROMHEX MEMSIZE\n"
                    "       tmstress loop presence|rom|reset|skip|read|write|open SECONDS\n"
                    "       tmstress hangup TTY\n"
                    "       tmstress fresh MEMSIZE\n");
    return 2;
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc == 7 && strcmp(argv[1], "random") == 0) {
        unsigned char rom[ROM_SIZE];
        int seconds = atoi(argv[3]), procs = atoi(argv[4]);
        unsigned size = (unsigned)strtoul(argv[6], NULL, 10);
        if (!parse_rom(argv[5], rom) || seconds < 1 || procs < 1 || procs > PROCS_MAX ||
            size < (unsigned)procs * KEY_PAGE || size > MEM_MAX)
            return usage();
        return random_calls(strtoul(argv[2], NULL, 10), seconds, procs, rom, size);
    }
    if (argc == 4 && strcmp(argv[1], "loop") == 0)
        return loop_request(argv[2], atoi(argv[3]));
    if (argc == 3 && strcmp(argv[1], "hangup") == 0)
        return hangup(argv[2]);
    if (argc == 3 && strcmp(argv[1], "fresh") == 0) {
        unsigned size = (unsigned)strtoul(argv[2], NULL, 10);
        return size ? fresh(size) : usage();
    }
    return usage();
}
