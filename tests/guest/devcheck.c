// SPDX-License-Identifier: GPL-2.0-or-later
/* devcheck: checks the device protocol of /dev/touchm0 call by call, where
 * tmtool cannot see it: repeated opens, the ROM request writing exactly its
 * 8 bytes, the requests' results and errno, the kernel-kept file position,
 * short transfers at the end of the key memory. The qemu test guest runs it
 * against touchm.
 *
 *   devcheck ROMHEX MEMSIZE   a key with ROM ROMHEX (driver's order) is on
 *                             the line, its memory has MEMSIZE bytes
 *   devcheck none MEMSIZE     no key on the line
 *
 * Prints "devcheck: FAIL <check>: ..." for every check that fails and ends
 * with "devcheck: ok" or "devcheck: N failed"; status 0 only when all pass.
 * Memory writes go to the last 20 bytes of the key memory. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "romhex.h"

#define DEV_PATH "/dev/touchm0"
#define DEV_FLAGS (O_RDWR | O_NONBLOCK | O_SYNC)
#define REQ_PRESENCE 0x414C544AUL
#define REQ_READ_ROM 0x414C544BUL
#define REQ_RESET 0x414C544CUL
#define REQ_SKIP_ROM 0x414C544DUL
#define REQ_UNKNOWN 0x414C544EUL
#define GUARD 4
#define GUARD_BYTE 0xAA
#define OPEN_ROUNDS 200
#define TAIL_BYTES 20
#define TAIL_PAST 8
#define SEEK_AT 100
#define READ_PIECE 16
/* More than the test guest has memory: an address range, never touched. */
#define HUGE_READ (1UL << 30)

static int g_failed;

static void __attribute__((format(printf, 2, 3))) fail(const char *check, const char *fmt, ...) {
    va_list ap;
    printf("devcheck: FAIL %s: ", check);
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    printf("\n");
    g_failed++;
}

/* A request without argument that must give want (0, or -1 with err). */
static void request(int fd, const char *check, unsigned long req, int want, int err) {
    errno = 0;
    int r = ioctl(fd, req);
    if (r != want || (want < 0 && errno != err))
        fail(check, "ioctl %#lx gave %d (%s), wanted %d (%s)", req, r, strerror(errno), want,
             want < 0 ? strerror(err) : "-");
}

static void check_opens(void) {
    for (int i = 0; i < OPEN_ROUNDS; i++) {
        int fd = open(DEV_PATH, DEV_FLAGS);
        if (fd < 0) {
            fail("reopen", "open %d of %d: %s", i + 1, OPEN_ROUNDS, strerror(errno));
            return;
        }
        close(fd);
    }
}

/* The ROM lands in 8 bytes between guard bytes that stay untouched. */
static void check_rom(int fd, const unsigned char *rom) {
    unsigned char buf[GUARD + ROM_SIZE + GUARD];
    memset(buf, GUARD_BYTE, sizeof buf);
    errno = 0;
    int r = ioctl(fd, REQ_READ_ROM, buf + GUARD);
    if (rom && r != 0)
        fail("rom", "ROM request gave %d (%s)", r, strerror(errno));
    if (!rom && (r != -1 || errno != ENXIO))
        fail("rom", "ROM request without key gave %d (%s), wanted ENXIO", r, strerror(errno));
    for (int i = 0; i < (int)sizeof buf; i++) {
        int inside = i >= GUARD && i < GUARD + ROM_SIZE;
        int want = inside && rom ? rom[i - GUARD] : GUARD_BYTE;
        if (buf[i] != want) {
            fail("rom", "byte %d of the buffer is %02x, wanted %02x", i - GUARD, buf[i], want);
            break;
        }
    }
    errno = 0;
    r = ioctl(fd, REQ_READ_ROM, NULL);
    if (rom && (r != -1 || errno != EFAULT))
        fail("rom-null", "ROM request to NULL gave %d (%s), wanted EFAULT", r, strerror(errno));
}

static void check_position(int fd, unsigned mem_size) {
    unsigned char a[READ_PIECE], b[READ_PIECE];
    off_t at = lseek(fd, SEEK_AT, SEEK_SET);
    if (at != SEEK_AT)
        fail("seek", "lseek to %d gave %ld", SEEK_AT, (long)at);
    ssize_t n = read(fd, a, sizeof a);
    if (n != (ssize_t)sizeof a)
        fail("read", "read of %zu gave %zd (%s)", sizeof a, n, strerror(errno));
    at = lseek(fd, 0, SEEK_CUR);
    if (at != SEEK_AT + READ_PIECE)
        fail("position", "position after the read is %ld, wanted %d", (long)at,
             SEEK_AT + READ_PIECE);
    n = pread(fd, b, sizeof b, SEEK_AT);
    if (n != (ssize_t)sizeof b || memcmp(a, b, sizeof a) != 0)
        fail("pread", "pread at %d gave %zd bytes, or other bytes than read", SEEK_AT, n);

    /* A second descriptor has a position of its own. */
    int other = open(DEV_PATH, DEV_FLAGS);
    if (other < 0) {
        fail("second-open", "%s", strerror(errno));
    } else {
        if (lseek(other, 0, SEEK_CUR) != 0)
            fail("second-open", "a fresh descriptor is not at 0");
        close(other);
    }
    if (lseek(fd, 0, SEEK_CUR) != SEEK_AT + READ_PIECE)
        fail("position", "another descriptor moved this one");
    at = lseek(fd, 0, SEEK_END);
    if (at != (off_t)mem_size)
        fail("seek-end", "SEEK_END gave %ld, wanted %u", (long)at, mem_size);
    errno = 0;
    at = lseek(fd, -1, SEEK_SET);
    if (at != -1 || errno != EINVAL)
        fail("seek-negative", "lseek to -1 gave %ld (%s)", (long)at, strerror(errno));
}

/* Transfers that reach the end of the key memory stop short there. */
static void check_tail(int fd, unsigned mem_size) {
    unsigned char out[TAIL_BYTES + TAIL_PAST], in[TAIL_BYTES + TAIL_PAST];
    for (int i = 0; i < (int)sizeof out; i++)
        out[i] = (unsigned char)(0x30 + i);
    off_t start = (off_t)mem_size - TAIL_BYTES;
    ssize_t n = pwrite(fd, out, sizeof out, start);
    if (n != TAIL_BYTES)
        fail("write-end", "write over the end gave %zd (%s), wanted %d", n, strerror(errno),
             TAIL_BYTES);
    memset(in, 0, sizeof in);
    n = pread(fd, in, sizeof in, start);
    if (n != TAIL_BYTES || memcmp(in, out, TAIL_BYTES) != 0)
        fail("read-end", "read over the end gave %zd bytes, or other bytes than written", n);
    n = pread(fd, in, sizeof in, mem_size);
    if (n != 0)
        fail("read-past", "read at the end gave %zd, wanted 0", n);
    n = pwrite(fd, out, sizeof out, mem_size + TAIL_PAST);
    if (n != 0)
        fail("write-past", "write after the end gave %zd, wanted 0", n);
}

int main(int argc, char **argv) {
    unsigned char rom[ROM_SIZE];
    const int have_key = argc == 3 && strcmp(argv[1], "none") != 0;
    if (argc != 3 || (have_key && !parse_rom(argv[1], rom))) {
        fprintf(stderr, "usage: devcheck ROMHEX|none MEMSIZE\n");
        return 2;
    }
    const unsigned mem_size = (unsigned)strtoul(argv[2], NULL, 10);
    if (mem_size < TAIL_BYTES) {
        fprintf(stderr, "devcheck: MEMSIZE below %d\n", TAIL_BYTES);
        return 2;
    }

    check_opens();
    int fd = open(DEV_PATH, DEV_FLAGS);
    if (fd < 0) {
        fail("open", "%s", strerror(errno));
    } else {
        request(fd, "presence", REQ_PRESENCE, have_key ? 0 : -1, ENXIO);
        request(fd, "reset", REQ_RESET, have_key ? 0 : -1, ENXIO);
        request(fd, "skip", REQ_SKIP_ROM, have_key ? 0 : -1, ENXIO);
        request(fd, "unknown", REQ_UNKNOWN, -1, ENOTTY);
        check_rom(fd, have_key ? rom : NULL);
        if (have_key) {
            check_position(fd, mem_size);
            check_tail(fd, mem_size);
        } else {
            unsigned char buf[READ_PIECE];
            errno = 0;
            ssize_t n = pread(fd, buf, sizeof buf, 0);
            if (n != -1 || errno != ENXIO)
                fail("read", "read without key gave %zd (%s), wanted ENXIO", n, strerror(errno));
            /* A length far past any key's memory is cut to the key only
             * once the key is known: without one it must fail the same
             * way, not make the driver reserve what was asked for. */
            void *huge = mmap(NULL, HUGE_READ, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (huge == MAP_FAILED) {
                fail("read-huge", "no address space for the read: %s", strerror(errno));
            } else {
                errno = 0;
                n = pread(fd, huge, HUGE_READ, 0);
                if (n != -1 || errno != ENXIO)
                    fail("read-huge", "read of %lu without key gave %zd (%s), wanted ENXIO",
                         HUGE_READ, n, strerror(errno));
                munmap(huge, HUGE_READ);
            }
        }
        close(fd);
    }
    if (g_failed) {
        printf("devcheck: %d failed\n", g_failed);
        return 1;
    }
    printf("devcheck: ok\n");
    return 0;
}
