/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Raw system calls for the stand-in's own file work. The preload library
 * interposes open/read/write/close and friends; going straight to the kernel
 * here means the stand-in never re-enters its own wrappers (nor a sanitizer
 * runtime's), and every call below is async-signal-safe. Each returns -1 with
 * errno set on failure, like the libc calls they replace. */
#ifndef TMSIM_SYS_IO_H
#define TMSIM_SYS_IO_H

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static inline int tms_open(const char *path, int flags, mode_t mode) {
    return (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

static inline int tms_close(int fd) {
    return (int)syscall(SYS_close, fd);
}

static inline ssize_t tms_read(int fd, void *buf, size_t n) {
    return (ssize_t)syscall(SYS_read, fd, buf, n);
}

static inline ssize_t tms_write(int fd, const void *buf, size_t n) {
    return (ssize_t)syscall(SYS_write, fd, buf, n);
}

static inline ssize_t tms_pread(int fd, void *buf, size_t n, uint64_t off) {
    return (ssize_t)syscall(SYS_pread64, fd, buf, n, (off_t)off);
}

static inline ssize_t tms_pwrite(int fd, const void *buf, size_t n, uint64_t off) {
    return (ssize_t)syscall(SYS_pwrite64, fd, buf, n, (off_t)off);
}

static inline off_t tms_lseek(int fd, off_t off, int whence) {
    return (off_t)syscall(SYS_lseek, fd, off, whence);
}

/* Copies of a descriptor: the lowest free number (dup), the lowest at or
 * above min (F_DUPFD, F_DUPFD_CLOEXEC), or exactly to (dup3; flags 0 or
 * O_CLOEXEC, to must differ from fd). */
static inline int tms_dup(int fd) {
    return (int)syscall(SYS_dup, fd);
}

static inline int tms_dupfd(int fd, int min, int cloexec) {
    return (int)syscall(SYS_fcntl, fd, cloexec ? F_DUPFD_CLOEXEC : F_DUPFD, min);
}

static inline int tms_dup3(int fd, int to, int flags) {
    return (int)syscall(SYS_dup3, fd, to, flags);
}

static inline int tms_fstat(int fd, struct stat *st) {
    return (int)syscall(SYS_fstat, fd, st);
}

static inline int tms_stat(const char *path, struct stat *st) {
    return (int)syscall(SYS_newfstatat, AT_FDCWD, path, st, 0);
}

/* Opens a state file only when it is a regular file (an O_CREAT open may
 * create one). The open never waits: O_NONBLOCK keeps a FIFO's open from
 * waiting for its other end (and has no effect on a regular file), O_NOCTTY
 * keeps a terminal from becoming the controlling one. Anything but a regular
 * file (FIFO, socket, device, directory) fails with EINVAL; reads and writes
 * on what it returns therefore never block either. */
static inline int tms_open_regular(const char *path, int flags, mode_t mode) {
    int fd = tms_open(path, flags | O_NONBLOCK | O_NOCTTY, mode);
    if (fd < 0) {
        /* A FIFO without a reader, a socket or a device without its driver
         * (ENXIO), a directory opened for writing (EISDIR). */
        if (errno == ENXIO || errno == EISDIR)
            errno = EINVAL;
        return -1;
    }
    struct stat st;
    int known = tms_fstat(fd, &st) == 0;
    int saved = errno;
    if (!known || !S_ISREG(st.st_mode)) {
        tms_close(fd);
        errno = known ? EINVAL : saved;
        return -1;
    }
    return fd;
}

/* Writes all of buf unless an error other than EINTR stops it. 1 / 0. */
static inline int tms_write_all(int fd, const void *buf, size_t n) {
    const char *p = (const char *)buf;
    while (n > 0) {
        ssize_t w = tms_write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return 0;
        }
        p += w;
        n -= (size_t)w;
    }
    return 1;
}

#endif
