// SPDX-License-Identifier: LGPL-2.1-or-later
/* The C API of libvorn over the touch-memory device: requests by ioctl,
 * key memory by pread/pwrite, events through the line's event descriptor.
 * It never prints and never logs: every outcome is the return value. */
#define _GNU_SOURCE
#include "vorn.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "TouchMemProto.h"
#include "touchm_uapi.h"

_Static_assert(VORN_ROM_BYTES == TM_ROM_SIZE, "ROM size of the C API and the device differ");
_Static_assert(VORN_ROM_BYTES == TOUCHM_ROM_BYTES, "ROM size of the C API and events differ");
_Static_assert(VORN_ROM_TEXT_LEN == 2 * VORN_ROM_BYTES, "two hex digits a ROM byte");
_Static_assert(VORN_EVENT_ATTACHED == TOUCHM_EVENT_ATTACHED, "event kinds differ");
_Static_assert(VORN_EVENT_REMOVED == TOUCHM_EVENT_REMOVED, "event kinds differ");

/* The open never creates a file and never waits: O_NONBLOCK keeps a wrong
 * path (a serial port waiting for its carrier, a FIFO) from blocking the
 * open, O_NOCTTY a terminal from becoming the controlling one, O_CLOEXEC
 * keeps the descriptor out of programs the caller runs. Requests and
 * transfers wait for the line (the driver never returns EAGAIN for them),
 * so the device is made blocking once it is known to be a touch-memory
 * line. */
#define VORN_OPEN_FLAGS (O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)
#define NSEC_PER_MSEC 1000000LL
#define MSEC_PER_SEC 1000LL
#define HEX_DIGITS "0123456789abcdef"
#define NIBBLE_BITS 4
#define NIBBLE_MASK 0x0f

struct vorn_line {
    int fd;
    /* The event descriptor, -1 until first needed; made once, then fixed. */
    atomic_int event_fd;
};

/* The errno of an open that failed: a directory (EISDIR) or a socket
 * (ENXIO, which a device node without its driver also gives) is not a
 * touch-memory line either. */
static int open_error(const char *path, int err) {
    struct stat st;
    if (err == EISDIR || (err == ENXIO && stat(path, &st) == 0 && S_ISSOCK(st.st_mode)))
        return ENOTTY;
    return err;
}

/* 0 when fd is a touch-memory line, else the errno: ENOTTY for anything
 * that is not a character device or does not answer the device's own
 * TOUCHM_IOC_KEY_STATE (which reports what the driver's watch saw last
 * and never touches the line), ENODEV for a line that is gone. Nothing is
 * written to fd before this says 0. */
static int line_check(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0)
        return errno;
    if (!S_ISCHR(st.st_mode))
        return ENOTTY;
    struct touchm_event state;
    memset(&state, 0, sizeof(state));
    int r;
    do
        r = ioctl(fd, TOUCHM_IOC_KEY_STATE, &state);
    while (r < 0 && errno == EINTR);
    if (r < 0)
        return errno == ENODEV || errno == ENOMEM ? errno : ENOTTY;
    if (state.kind != TOUCHM_EVENT_ATTACHED && state.kind != TOUCHM_EVENT_REMOVED)
        return ENOTTY;
    /* A line: from now on its calls wait. */
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return errno;
    return 0;
}

struct vorn_line *vorn_open(const char *path) {
    if (path == NULL) {
        errno = EINVAL;
        return NULL;
    }
    struct vorn_line *line = malloc(sizeof(*line));
    if (line == NULL) {
        errno = ENOMEM;
        return NULL;
    }
    int fd;
    do
        fd = open(path, VORN_OPEN_FLAGS);
    while (fd < 0 && errno == EINTR);
    int err = fd < 0 ? open_error(path, errno) : line_check(fd);
    if (err != 0) {
        if (fd >= 0)
            close(fd);
        free(line);
        errno = err;
        return NULL;
    }
    line->fd = fd;
    atomic_init(&line->event_fd, -1);
    return line;
}

void vorn_close(struct vorn_line *line) {
    if (line == NULL)
        return;
    int efd = atomic_load(&line->event_fd);
    if (efd >= 0)
        close(efd);
    close(line->fd);
    free(line);
}

/* The event descriptor, made on the first call; -errno when it cannot be.
 * Two threads asking at once make one each; the first stored wins and the
 * other is closed. */
static int event_fd(struct vorn_line *line) {
    int efd = atomic_load(&line->event_fd);
    if (efd >= 0)
        return efd;
    int made = ioctl(line->fd, TOUCHM_IOC_EVENT_FD, (unsigned long)O_NONBLOCK);
    if (made < 0)
        return -errno;
    /* The driver's descriptor is close-on-exec already; the stand-in's may
     * not be: make sure. */
    (void)fcntl(made, F_SETFD, FD_CLOEXEC);
    int expected = -1;
    if (atomic_compare_exchange_strong(&line->event_fd, &expected, made))
        return made;
    close(made);
    return expected;
}

int vorn_fd(const struct vorn_line *line) {
    if (line == NULL)
        return -EINVAL;
    /* The line is only ever made by vorn_open (malloc), never a const
     * object: the descriptor is state kept for the caller, made lazily. */
    return event_fd((struct vorn_line *)line);
}

/* One request; 0 or -errno. Restarted after EINTR: a request is whole or
 * not served. */
static int request(struct vorn_line *line, unsigned long req, void *arg) {
    int r;
    do
        r = ioctl(line->fd, req, arg);
    while (r < 0 && errno == EINTR);
    return r < 0 ? -errno : 0;
}

int vorn_presence(struct vorn_line *line) {
    if (line == NULL)
        return -EINVAL;
    int r = request(line, TM_REQ_PRESENCE, NULL);
    if (r == 0)
        return 1;
    return r == -ENXIO ? 0 : r;
}

int vorn_read_rom(struct vorn_line *line, uint8_t rom[VORN_ROM_BYTES]) {
    if (line == NULL || rom == NULL)
        return -EINVAL;
    uint8_t got[VORN_ROM_BYTES];
    int r = request(line, TM_REQ_READ_ROM, got);
    if (r == 0)
        memcpy(rom, got, sizeof(got));
    return r;
}

int vorn_rom_to_text(const uint8_t rom[VORN_ROM_BYTES], char *buf, size_t len) {
    if (rom == NULL || buf == NULL)
        return -EINVAL;
    if (len < VORN_ROM_TEXT_SIZE)
        return -ENOSPC;
    /* The ROM is read whole before the first digit is written, so that the
     * text may overlap it (a ROM converted in place in its own buffer). */
    uint8_t bytes[VORN_ROM_BYTES];
    memcpy(bytes, rom, sizeof(bytes));
    for (size_t i = 0; i < VORN_ROM_BYTES; i++) {
        buf[2 * i] = HEX_DIGITS[bytes[i] >> NIBBLE_BITS];
        buf[2 * i + 1] = HEX_DIGITS[bytes[i] & NIBBLE_MASK];
    }
    buf[VORN_ROM_TEXT_LEN] = '\0';
    return VORN_ROM_TEXT_LEN;
}

/* The value of one hex digit, -1 for anything else. */
static int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int vorn_rom_from_text(const char *text, uint8_t rom[VORN_ROM_BYTES]) {
    if (text == NULL || rom == NULL)
        return -EINVAL;
    uint8_t got[VORN_ROM_BYTES];
    for (size_t i = 0; i < VORN_ROM_BYTES; i++) {
        /* A NUL stops at the first of the pair: nothing is read past it. */
        int hi = hex_value(text[2 * i]);
        if (hi < 0)
            return -EINVAL;
        int lo = hex_value(text[2 * i + 1]);
        if (lo < 0)
            return -EINVAL;
        got[i] = (uint8_t)(hi << NIBBLE_BITS | lo);
    }
    if (text[VORN_ROM_TEXT_LEN] != '\0')
        return -EINVAL;
    memcpy(rom, got, sizeof(got));
    return 0;
}

long vorn_key_size(struct vorn_line *line) {
    if (line == NULL)
        return -EINVAL;
    /* The ROM request answers for the key there now, and teaches the
     * driver its family's memory size, which a seek to the end gives. */
    uint8_t rom[VORN_ROM_BYTES];
    int r = request(line, TM_REQ_READ_ROM, rom);
    if (r < 0)
        return r;
    off_t end;
    do
        end = lseek(line->fd, 0, SEEK_END);
    while (end < 0 && errno == EINTR);
    if (end < 0)
        return -errno;
    return end > LONG_MAX ? LONG_MAX : (long)end;
}

/* pread or pwrite of the whole of len, short only where the key's memory
 * ends (the device moves 0 bytes there); -errno on failure. */
static ssize_t transfer(struct vorn_line *line, int writing, uint32_t offset, void *buf,
                        size_t len) {
    if (line == NULL || (buf == NULL && len > 0))
        return -EINVAL;
    if (len > SSIZE_MAX)
        return -EINVAL;
    size_t done = 0;
    while (done < len) {
        off_t at = (off_t)offset + (off_t)done;
        ssize_t n = writing ? pwrite(line->fd, (const char *)buf + done, len - done, at)
                            : pread(line->fd, (char *)buf + done, len - done, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            break;
        done += (size_t)n;
    }
    if (writing && done == 0 && len > 0)
        return -ENOSPC;
    return (ssize_t)done;
}

ssize_t vorn_read(struct vorn_line *line, uint32_t offset, void *buf, size_t len) {
    return transfer(line, 0, offset, buf, len);
}

ssize_t vorn_write(struct vorn_line *line, uint32_t offset, const void *buf, size_t len) {
    return transfer(line, 1, offset, (void *)buf, len);
}

/* Reads one record from the event descriptor without waiting: 1 with ev
 * filled, -errno otherwise (-EAGAIN: none waits). One record a call, so
 * that the descriptor stays readable exactly while events wait. */
static int read_one(int efd, struct vorn_event *ev) {
    struct touchm_event rec;
    ssize_t n;
    do
        n = read(efd, &rec, sizeof(rec));
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EWOULDBLOCK ? -EAGAIN : -errno;
    if ((size_t)n != sizeof(rec))
        return -EIO;
    memset(ev, 0, sizeof(*ev));
    ev->kind = rec.kind;
    memcpy(ev->rom, rec.rom, sizeof(ev->rom));
    ev->timestamp_ns = rec.timestamp_ns;
    ev->seqno = rec.seqno;
    ev->lost = rec.lost;
    return 1;
}

int vorn_read_event(struct vorn_line *line, struct vorn_event *ev) {
    if (line == NULL || ev == NULL)
        return -EINVAL;
    int efd = event_fd(line);
    if (efd < 0)
        return efd;
    return read_one(efd, ev);
}

static long long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * MSEC_PER_SEC + ts.tv_nsec / NSEC_PER_MSEC;
}

int vorn_wait_event(struct vorn_line *line, int timeout_ms, struct vorn_event *ev) {
    if (line == NULL || ev == NULL || timeout_ms < -1)
        return -EINVAL;
    int efd = event_fd(line);
    if (efd < 0)
        return efd;
    const long long deadline = timeout_ms < 0 ? 0 : now_ms() + timeout_ms;
    for (;;) {
        int r = read_one(efd, ev);
        if (r != -EAGAIN)
            return r;
        int wait = -1;
        if (timeout_ms >= 0) {
            long long left = deadline - now_ms();
            if (left <= 0)
                return 0;
            wait = left > INT_MAX ? INT_MAX : (int)left;
        }
        struct pollfd pfd = {.fd = efd, .events = POLLIN};
        int p = poll(&pfd, 1, wait);
        if (p < 0)
            return -errno;
        /* Readable, hung up (read then gives the queued events, then
         * ENODEV) or the time is up: the read at the loop's top decides;
         * another reader of the same line may have taken the event. */
        if (p == 0 && timeout_ms >= 0 && deadline - now_ms() <= 0)
            return 0;
    }
}
