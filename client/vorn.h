/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * vorn.h - the C API of libvorn: a touch-memory line for C, C++ and
 * foreign-function callers (Python's ctypes among them).
 *
 * Unlike the C++ class CTouchMemClt, whose calls answer 1 or 0, every call
 * here reports as POSIX calls do: a count, or 0, for success and -errno
 * for failure (the driver's error code, negated). Nothing here prints, and
 * nothing writes a log file.
 *
 * Errors a request may give (besides those listed at each call):
 *   ENXIO      no key answered on the line
 *   ENODEV     the line is gone (adapter unplugged, tty hung up, driver
 *              detached); the line stays unusable: close it and open again
 *   ETIMEDOUT  the line stopped answering (the serial adapter went quiet)
 *   EIO        a fault on the line (a bad echo, a bad ROM CRC, a key
 *              bouncing on the contacts) that the driver's retry did not cure
 *   EINTR      the calling thread was killed while the request waited for
 *              the line (ordinary signals do not cut a request short)
 *   ENOMEM, EFAULT, ENOTTY  as for any device call
 *
 * Text form of a ROM, the one the driver shows in sysfs and uevents too:
 * 16 lower-case hex digits, the bytes in the order the line carries them,
 * family code first and CRC last, e.g. "04efbeadde0000cd" for family 0x04,
 * serial 0x0000deadbeef, CRC 0xcd.
 *
 * A struct vorn_line is for one thread at a time, except that vorn_fd and
 * vorn_wait_event/vorn_read_event may run in one thread while another
 * makes requests.
 */
#ifndef VORN_VORN_H
#define VORN_VORN_H

/* errno.h: the codes the calls return, negated. */
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VORN_C_API __attribute__((visibility("default")))
#else
#define VORN_C_API
#endif

/* The first touch-memory line. */
#define VORN_DEFAULT_PATH "/dev/touchm0"
/* Bytes of a ROM: family code, 48-bit serial (low byte first), CRC-8. */
#define VORN_ROM_BYTES 8
/* Characters of a ROM's text form, and the buffer size that holds it with
 * its terminating NUL. */
#define VORN_ROM_TEXT_LEN 16
#define VORN_ROM_TEXT_SIZE (VORN_ROM_TEXT_LEN + 1)

/* Event kinds (the driver's own numbers). */
#define VORN_EVENT_ATTACHED 1
#define VORN_EVENT_REMOVED 2

/* One change of the key on a line. */
struct vorn_event {
    /* VORN_EVENT_ATTACHED or VORN_EVENT_REMOVED. */
    int kind;
    /* The key's ROM, family code first; for a removal the key that went
     * (all zero when the driver never read it). */
    uint8_t rom[VORN_ROM_BYTES];
    /* CLOCK_MONOTONIC, in nanoseconds, when the driver saw the change. */
    uint64_t timestamp_ns;
    /* The line's count of changes, from 1. */
    uint32_t seqno;
    /* Changes this reader lost just before this one: it fell more than the
     * driver's queue behind. 0 normally. */
    uint32_t lost;
};

/* An open line; opaque. */
struct vorn_line;

/*
 * Opens a touch-memory device (any /dev/touchmN) for reading and writing,
 * close-on-exec; never creates a file. Anything else is refused before
 * anything is written to it: the path must be a character device that
 * answers the device's own TOUCHM_IOC_KEY_STATE (which does not touch the
 * line). NULL with errno set on failure: ENOTTY (not a touch-memory line:
 * a regular file, a directory, a FIFO, a socket, a block device, another
 * driver's device such as /dev/null), ENOENT (no such device, or no
 * driver), EACCES, ENODEV (the line is gone), ENOMEM, EINVAL (path NULL).
 *
 * Opening does not start the driver's watch for keys: that runs while the
 * line's event descriptor is open, and the event descriptor is made on the
 * first call of vorn_fd, vorn_wait_event or vorn_read_event. A program
 * that only reads and writes keys costs the line no watch traffic.
 */
VORN_C_API struct vorn_line *vorn_open(const char *path);

/* Closes the line and its event descriptor; NULL is ignored. */
VORN_C_API void vorn_close(struct vorn_line *line);

/*
 * The line's event descriptor, for the caller's own poll/select/epoll: it
 * is readable (POLLIN) exactly while an event waits, and gives POLLHUP |
 * POLLERR once the line is gone. Made on the first call (which starts the
 * driver's watch; events from then on are kept for this line), the same
 * descriptor afterwards; it belongs to the line, do not close it. -errno
 * when it cannot be made: ENODEV (line gone), ENOTTY (a driver without
 * key events), EMFILE.
 */
VORN_C_API int vorn_fd(const struct vorn_line *line);

/* 1 when a key answers the presence request, 0 when none does (ENXIO),
 * -errno otherwise. */
VORN_C_API int vorn_presence(struct vorn_line *line);

/* Reads the key's ROM into rom, in the order the line carries it: rom[0]
 * the family code, rom[1..6] the serial (low byte first), rom[7] the CRC.
 * 0, or -errno (ENXIO: no key); rom is left unchanged on failure. */
VORN_C_API int vorn_read_rom(struct vorn_line *line, uint8_t rom[VORN_ROM_BYTES]);

/* Writes rom's text form (see above) and a NUL into buf. VORN_ROM_TEXT_LEN
 * (16), or -ENOSPC when len is less than VORN_ROM_TEXT_SIZE (buf is then
 * left alone), -EINVAL for a NULL pointer. buf may overlap rom (the text
 * written over the ROM in one buffer): the 8 bytes are read first. */
VORN_C_API int vorn_rom_to_text(const uint8_t rom[VORN_ROM_BYTES], char *buf, size_t len);

/* Parses a ROM's text form: exactly 16 hex digits (either case), nothing
 * else. 0, or -EINVAL (rom is then left unchanged). */
VORN_C_API int vorn_rom_from_text(const char *text, uint8_t rom[VORN_ROM_BYTES]);

/*
 * Bytes of memory of the key on the line, as the driver knows them from
 * the key's family (or the size the driver was loaded with); 0 for a key
 * without memory (an ID-only key). Reads the ROM first, so a key that
 * left is not reported with its memory: -ENXIO when no key answers, or
 * another -errno.
 */
VORN_C_API long vorn_key_size(struct vorn_line *line);

/*
 * Reads up to len bytes of key memory from offset into buf. The count
 * read: len, less only where the key's memory ends, 0 at or after its
 * end. -errno: ENXIO (no key), EOPNOTSUPP (a key without memory), EINVAL
 * (len beyond SSIZE_MAX), or a line error; buf's contents are then
 * undefined. Does not use or move a file position.
 */
VORN_C_API ssize_t vorn_read(struct vorn_line *line, uint32_t offset, void *buf, size_t len);

/*
 * Writes len bytes from buf to key memory at offset. The count written:
 * len, less only where the key's memory ends. -ENOSPC when offset is at or
 * after the end of the memory (len > 0), else as vorn_read. A write that
 * fails part-way leaves the key's pages written before the failing one
 * written.
 */
VORN_C_API ssize_t vorn_write(struct vorn_line *line, uint32_t offset, const void *buf, size_t len);

/*
 * Waits up to timeout_ms milliseconds (-1: for ever, 0: not at all) for the
 * next key event and stores it in ev. 1 with an event, 0 when the time ran
 * out, -errno: ENODEV once the line is gone (after the events still queued
 * were read), EINTR when a signal handler ran during the wait (the wait is
 * not resumed, so that the caller can look at what its handler did), or an
 * error of vorn_fd. Events are those after the event descriptor was made
 * (see vorn_fd; call it right after vorn_open to miss none).
 */
VORN_C_API int vorn_wait_event(struct vorn_line *line, int timeout_ms, struct vorn_event *ev);

/*
 * Reads the next event without waiting, for a caller whose own poll said
 * vorn_fd is readable. 1 with an event in ev, -EAGAIN when none waits,
 * -ENODEV once the line is gone, or an error of vorn_fd.
 */
VORN_C_API int vorn_read_event(struct vorn_line *line, struct vorn_event *ev);

#ifdef __cplusplus
}
#endif

#endif /* VORN_VORN_H */
