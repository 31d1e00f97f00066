// SPDX-License-Identifier: GPL-2.0-or-later
/* libtmsim.so: the preload library of the driver stand-in. It interposes the
 * libc entries a program reaches the device through and hands the calls for
 * /dev/touchm0 and /dev/rtc0 (and their descriptors) to the driver core; it
 * redirects opens of the client log path to the configured file and serves
 * settimeofday/clock_settime without ever setting the real clock. Copies of
 * the stand-in's descriptors (dup, dup2, dup3, fcntl F_DUPFD and
 * F_DUPFD_CLOEXEC) are followed, so that a program may move its device
 * descriptor. The waits (poll, ppoll, select, pselect, epoll_ctl) are the
 * system's own: a device or event descriptor among the waited ones only
 * starts the watch thread that brings key events while the program waits.
 * fstat, fstatat (AT_EMPTY_PATH), statx and their 64-bit and versioned forms
 * describe a device or RTC descriptor as the character device it stands
 * for. Every other path and descriptor goes to the next definition (libc, or a
 * sanitizer runtime in front of it) untouched. Only these entries are
 * exported. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "DriverCore.h"
#include "SimConfig.h"
#include "TouchMemProto.h"

#define EXPORT __attribute__((visibility("default")))

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*open2_fn)(const char *, int);
typedef int (*openat2_fn)(int, const char *, int);
typedef int (*creat_fn)(const char *, mode_t);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef off_t (*lseek_fn)(int, off_t, int);
typedef ssize_t (*read_fn)(int, void *, size_t);
typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef ssize_t (*pread_fn)(int, void *, size_t, off_t);
typedef ssize_t (*pwrite_fn)(int, const void *, size_t, off_t);
typedef ssize_t (*read_chk_fn)(int, void *, size_t, size_t);
typedef ssize_t (*pread_chk_fn)(int, void *, size_t, off_t, size_t);
typedef int (*close_fn)(int);
typedef int (*dup_fn)(int);
typedef int (*dup2_fn)(int, int);
typedef int (*dup3_fn)(int, int, int);
typedef int (*fcntl_fn)(int, int, ...);
typedef int (*poll_fn)(struct pollfd *, nfds_t, int);
typedef int (*ppoll_fn)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);
typedef int (*poll_chk_fn)(struct pollfd *, nfds_t, int, size_t);
typedef int (*ppoll_chk_fn)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *,
                            size_t);
typedef int (*select_fn)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
typedef int (*pselect_fn)(int, fd_set *, fd_set *, fd_set *, const struct timespec *,
                          const sigset_t *);
typedef int (*epoll_ctl_fn)(int, int, int, struct epoll_event *);
typedef int (*fstat_fn)(int, struct stat *);
typedef int (*fstat64_fn)(int, struct stat64 *);
typedef int (*fstatat_fn)(int, const char *, struct stat *, int);
typedef int (*fstatat64_fn)(int, const char *, struct stat64 *, int);
typedef int (*statx_fn)(int, const char *, int, unsigned, struct statx *);
typedef int (*fxstat_fn)(int, int, struct stat *);
typedef int (*fxstat64_fn)(int, int, struct stat64 *);
typedef int (*fxstatat_fn)(int, int, const char *, struct stat *, int);
typedef int (*fxstatat64_fn)(int, int, const char *, struct stat64 *, int);

/* The next definition of each entry. Resolved in the constructor; an entry
 * called before it (from another library's constructor) resolves itself. */
static struct {
    _Atomic(open_fn) open, open64;
    _Atomic(openat_fn) openat, openat64;
    _Atomic(open2_fn) open_2, open64_2;
    _Atomic(openat2_fn) openat_2, openat64_2;
    _Atomic(creat_fn) creat, creat64;
    _Atomic(ioctl_fn) ioctl;
    _Atomic(lseek_fn) lseek, lseek64;
    _Atomic(read_fn) read;
    _Atomic(write_fn) write;
    _Atomic(pread_fn) pread, pread64;
    _Atomic(pwrite_fn) pwrite, pwrite64;
    _Atomic(read_chk_fn) read_chk;
    _Atomic(pread_chk_fn) pread_chk, pread64_chk;
    _Atomic(close_fn) close;
    _Atomic(dup_fn) dup;
    _Atomic(dup2_fn) dup2;
    _Atomic(dup3_fn) dup3;
    _Atomic(fcntl_fn) fcntl, fcntl64;
    _Atomic(poll_fn) poll;
    _Atomic(ppoll_fn) ppoll;
    _Atomic(poll_chk_fn) poll_chk;
    _Atomic(ppoll_chk_fn) ppoll_chk;
    _Atomic(select_fn) select;
    _Atomic(pselect_fn) pselect;
    _Atomic(epoll_ctl_fn) epoll_ctl;
    _Atomic(fstat_fn) fstat;
    _Atomic(fstat64_fn) fstat64;
    _Atomic(fstatat_fn) fstatat;
    _Atomic(fstatat64_fn) fstatat64;
    _Atomic(statx_fn) statx;
    _Atomic(fxstat_fn) fxstat;
    _Atomic(fxstat64_fn) fxstat64;
    _Atomic(fxstatat_fn) fxstatat;
    _Atomic(fxstatat64_fn) fxstatat64;
} next;

#define NEXT(field, name)                                                                          \
    ({                                                                                             \
        __typeof__(atomic_load(&next.field)) fn_ = atomic_load(&next.field);                       \
        if (fn_ == NULL) {                                                                         \
            fn_ = (__typeof__(fn_))dlsym(RTLD_NEXT, name);                                         \
            atomic_store(&next.field, fn_);                                                        \
        }                                                                                          \
        fn_;                                                                                       \
    })

#define MISSING(result_value)                                                                      \
    do {                                                                                           \
        errno = ENOSYS;                                                                            \
        return result_value;                                                                       \
    } while (0)

static atomic_int g_started;

static void start(void) {
    if (atomic_exchange(&g_started, 1))
        return;
    tmsim_core_init(getenv(TMSIM_STATE_ENV));
}

__attribute__((constructor)) static void preload_init(void) {
    start();
    (void)NEXT(open, "open");
    (void)NEXT(open64, "open64");
    (void)NEXT(openat, "openat");
    (void)NEXT(openat64, "openat64");
    (void)NEXT(open_2, "__open_2");
    (void)NEXT(open64_2, "__open64_2");
    (void)NEXT(openat_2, "__openat_2");
    (void)NEXT(openat64_2, "__openat64_2");
    (void)NEXT(creat, "creat");
    (void)NEXT(creat64, "creat64");
    (void)NEXT(ioctl, "ioctl");
    (void)NEXT(lseek, "lseek");
    (void)NEXT(lseek64, "lseek64");
    (void)NEXT(read, "read");
    (void)NEXT(write, "write");
    (void)NEXT(pread, "pread");
    (void)NEXT(pread64, "pread64");
    (void)NEXT(pwrite, "pwrite");
    (void)NEXT(pwrite64, "pwrite64");
    (void)NEXT(read_chk, "__read_chk");
    (void)NEXT(pread_chk, "__pread_chk");
    (void)NEXT(pread64_chk, "__pread64_chk");
    (void)NEXT(close, "close");
    (void)NEXT(dup, "dup");
    (void)NEXT(dup2, "dup2");
    (void)NEXT(dup3, "dup3");
    (void)NEXT(fcntl, "fcntl");
    (void)NEXT(fcntl64, "fcntl64");
    (void)NEXT(poll, "poll");
    (void)NEXT(ppoll, "ppoll");
    (void)NEXT(poll_chk, "__poll_chk");
    (void)NEXT(ppoll_chk, "__ppoll_chk");
    (void)NEXT(select, "select");
    (void)NEXT(pselect, "pselect");
    (void)NEXT(epoll_ctl, "epoll_ctl");
    (void)NEXT(fstat, "fstat");
    (void)NEXT(fstat64, "fstat64");
    (void)NEXT(fstatat, "fstatat");
    (void)NEXT(fstatat64, "fstatat64");
    (void)NEXT(statx, "statx");
    (void)NEXT(fxstat, "__fxstat");
    (void)NEXT(fxstat64, "__fxstat64");
    (void)NEXT(fxstatat, "__fxstatat");
    (void)NEXT(fxstatat64, "__fxstatat64");
}

static int wants_mode(int flags) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

/* 1 when the open belongs to the stand-in, with its result in *res. */
static int route_open(const char *path, int flags, mode_t mode, int *res) {
    start();
    if (path == NULL || path[0] != '/' || !tmsim_core_active())
        return 0;
    if (strcmp(path, TM_DEVICE_PATH) == 0) {
        *res = tmsim_core_open_device(flags);
        return 1;
    }
    if (strcmp(path, TMSIM_RTC_PATH) == 0) {
        *res = tmsim_core_open_rtc(flags);
        return 1;
    }
    if (strcmp(path, TMSIM_CLIENT_LOG_PATH) == 0) {
        char target[TMSIM_PATH_MAX];
        open_fn real = NEXT(open, "open");
        if (!tmsim_core_log_path(target, sizeof(target)) || real == NULL)
            return 0;
        *res = real(target, flags, mode);
        return 1;
    }
    return 0;
}

EXPORT int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    int res;
    if (route_open(path, flags, mode, &res))
        return res;
    open_fn real = NEXT(open, "open");
    if (!real)
        MISSING(-1);
    return real(path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    int res;
    if (route_open(path, flags, mode, &res))
        return res;
    open_fn real = NEXT(open64, "open64");
    if (!real)
        MISSING(-1);
    return real(path, flags, mode);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    int res;
    if (route_open(path, flags, mode, &res))
        return res;
    openat_fn real = NEXT(openat, "openat");
    if (!real)
        MISSING(-1);
    return real(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    int res;
    if (route_open(path, flags, mode, &res))
        return res;
    openat_fn real = NEXT(openat64, "openat64");
    if (!real)
        MISSING(-1);
    return real(dirfd, path, flags, mode);
}

/* The fortified forms (_FORTIFY_SOURCE) take no mode. */
EXPORT int __open_2(const char *path, int flags) {
    int res;
    if (route_open(path, flags, 0, &res))
        return res;
    open2_fn real = NEXT(open_2, "__open_2");
    if (!real)
        MISSING(-1);
    return real(path, flags);
}

EXPORT int __open64_2(const char *path, int flags) {
    int res;
    if (route_open(path, flags, 0, &res))
        return res;
    open2_fn real = NEXT(open64_2, "__open64_2");
    if (!real)
        MISSING(-1);
    return real(path, flags);
}

EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    int res;
    if (route_open(path, flags, 0, &res))
        return res;
    openat2_fn real = NEXT(openat_2, "__openat_2");
    if (!real)
        MISSING(-1);
    return real(dirfd, path, flags);
}

EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
    int res;
    if (route_open(path, flags, 0, &res))
        return res;
    openat2_fn real = NEXT(openat64_2, "__openat64_2");
    if (!real)
        MISSING(-1);
    return real(dirfd, path, flags);
}

EXPORT int creat(const char *path, mode_t mode) {
    int res;
    if (route_open(path, O_CREAT | O_WRONLY | O_TRUNC, mode, &res))
        return res;
    creat_fn real = NEXT(creat, "creat");
    if (!real)
        MISSING(-1);
    return real(path, mode);
}

EXPORT int creat64(const char *path, mode_t mode) {
    int res;
    if (route_open(path, O_CREAT | O_WRONLY | O_TRUNC, mode, &res))
        return res;
    creat_fn real = NEXT(creat64, "creat64");
    if (!real)
        MISSING(-1);
    return real(path, mode);
}

EXPORT int ioctl(int fd, unsigned long req, ...) {
    /* The requests without argument are issued without one: the value read
     * here is then whatever the register held, and only the ROM request and
     * RTC_SET_TIME ever look at it. */
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int res;
    if (tmsim_core_maybe_ours(fd) && tmsim_core_ioctl(fd, req, arg, &res))
        return res;
    ioctl_fn real = NEXT(ioctl, "ioctl");
    if (!real)
        MISSING(-1);
    return real(fd, req, arg);
}

EXPORT off_t lseek(int fd, off_t off, int whence) {
    off_t res;
    if (tmsim_core_maybe_ours(fd) && tmsim_core_lseek(fd, off, whence, &res))
        return res;
    lseek_fn real = NEXT(lseek, "lseek");
    if (!real)
        MISSING(-1);
    return real(fd, off, whence);
}

EXPORT off_t lseek64(int fd, off_t off, int whence) {
    off_t res;
    if (tmsim_core_maybe_ours(fd) && tmsim_core_lseek(fd, off, whence, &res))
        return res;
    lseek_fn real = NEXT(lseek64, "lseek64");
    if (!real)
        MISSING(-1);
    return real(fd, off, whence);
}

EXPORT ssize_t read(int fd, void *buf, size_t n) {
    ssize_t res;
    if (tmsim_core_maybe_ours(fd) && tmsim_core_read(fd, buf, n, &res))
        return res;
    read_fn real = NEXT(read, "read");
    if (!real)
        MISSING(-1);
    return real(fd, buf, n);
}

EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen) {
    ssize_t res;
    if (n <= buflen && tmsim_core_maybe_ours(fd) && tmsim_core_read(fd, buf, n, &res))
        return res;
    read_chk_fn real = NEXT(read_chk, "__read_chk");
    if (!real)
        MISSING(-1);
    return real(fd, buf, n, buflen);
}

EXPORT ssize_t write(int fd, const void *buf, size_t n) {
    ssize_t res;
    if (tmsim_core_maybe_ours(fd) && tmsim_core_write(fd, buf, n, &res))
        return res;
    write_fn real = NEXT(write, "write");
    if (!real)
        MISSING(-1);
    return real(fd, buf, n);
}

EXPORT ssize_t pread(int fd, void *buf, size_t n, off_t off) {
    ssize_t res;
    if (tmsim_core_maybe_ours(fd) && tmsim_core_pread(fd, buf, n, off, &res))
        return res;
    pread_fn real = NEXT(pread, "pread");
    if (!real)
        MISSING(-1);
    return real(fd, buf, n, off);
}

EXPORT ssize_t pread64(int fd, void *buf, size_t n, off_t off) {
    ssize_t res;
    if (tmsim_core_maybe_ours(fd) && tmsim_core_pread(fd, buf, n, off, &res))
        return res;
    pread_fn real = NEXT(pread64, "pread64");
    if (!real)
        MISSING(-1);
    return real(fd, buf, n, off);
}

EXPORT ssize_t __pread_chk(int fd, void *buf, size_t n, off_t off, size_t buflen) {
    ssize_t res;
    if (n <= buflen && tmsim_core_maybe_ours(fd) && tmsim_core_pread(fd, buf, n, off, &res))
        return res;
    pread_chk_fn real = NEXT(pread_chk, "__pread_chk");
    if (!real)
        MISSING(-1);
    return real(fd, buf, n, off, buflen);
}

EXPORT ssize_t __pread64_chk(int fd, void *buf, size_t n, off_t off, size_t buflen) {
    ssize_t res;
    if (n <= buflen && tmsim_core_maybe_ours(fd) && tmsim_core_pread(fd, buf, n, off, &res))
        return res;
    pread_chk_fn real = NEXT(pread64_chk, "__pread64_chk");
    if (!real)
        MISSING(-1);
    return real(fd, buf, n, off, buflen);
}

EXPORT ssize_t pwrite(int fd, const void *buf, size_t n, off_t off) {
    ssize_t res;
    if (tmsim_core_maybe_ours(fd) && tmsim_core_pwrite(fd, buf, n, off, &res))
        return res;
    pwrite_fn real = NEXT(pwrite, "pwrite");
    if (!real)
        MISSING(-1);
    return real(fd, buf, n, off);
}

EXPORT ssize_t pwrite64(int fd, const void *buf, size_t n, off_t off) {
    ssize_t res;
    if (tmsim_core_maybe_ours(fd) && tmsim_core_pwrite(fd, buf, n, off, &res))
        return res;
    pwrite_fn real = NEXT(pwrite64, "pwrite64");
    if (!real)
        MISSING(-1);
    return real(fd, buf, n, off);
}

EXPORT int close(int fd) {
    int res;
    if (tmsim_core_maybe_ours(fd) && tmsim_core_close(fd, &res))
        return res;
    close_fn real = NEXT(close, "close");
    if (!real)
        MISSING(-1);
    return real(fd);
}

EXPORT int dup(int fd) {
    int res;
    if (tmsim_core_maybe_ours(fd) && tmsim_core_copy(TMSIM_COPY_DUP, fd, -1, 0, &res))
        return res;
    dup_fn real = NEXT(dup, "dup");
    if (!real)
        MISSING(-1);
    return real(fd);
}

/* dup2 and dup3 are ours when either number is: a copy put onto a device
 * descriptor closes that one. */
EXPORT int dup2(int fd, int to) {
    int res;
    if ((tmsim_core_maybe_ours(fd) || tmsim_core_maybe_ours(to)) &&
        tmsim_core_copy(TMSIM_COPY_DUP2, fd, to, 0, &res))
        return res;
    dup2_fn real = NEXT(dup2, "dup2");
    if (!real)
        MISSING(-1);
    return real(fd, to);
}

EXPORT int dup3(int fd, int to, int flags) {
    int res;
    if ((tmsim_core_maybe_ours(fd) || tmsim_core_maybe_ours(to)) &&
        tmsim_core_copy(TMSIM_COPY_DUP3, fd, to, flags, &res))
        return res;
    dup3_fn real = NEXT(dup3, "dup3");
    if (!real)
        MISSING(-1);
    return real(fd, to, flags);
}

/* F_DUPFD and F_DUPFD_CLOEXEC of a device descriptor; every other command,
 * and every other descriptor, goes on with its argument as it came. The
 * argument is read as a pointer, the widest thing a command takes; the
 * lowest number of F_DUPFD is its low int, as the kernel reads it. */
static int copy_by_fcntl(int fd, int cmd, void *arg, int *res) {
    if (cmd != F_DUPFD && cmd != F_DUPFD_CLOEXEC)
        return 0;
    int min = (int)(intptr_t)arg;
    return tmsim_core_maybe_ours(fd) &&
           tmsim_core_copy(TMSIM_COPY_DUPFD, fd, min, cmd == F_DUPFD_CLOEXEC ? O_CLOEXEC : 0, res);
}

EXPORT int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int res;
    if (copy_by_fcntl(fd, cmd, arg, &res))
        return res;
    fcntl_fn real = NEXT(fcntl, "fcntl");
    if (!real)
        MISSING(-1);
    return real(fd, cmd, arg);
}

/* What programs built with a 64-bit file offset call on some systems. */
EXPORT int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int res;
    if (copy_by_fcntl(fd, cmd, arg, &res))
        return res;
    fcntl_fn real = NEXT(fcntl64, "fcntl64");
    if (!real)
        MISSING(-1);
    return real(fd, cmd, arg);
}

/* The clock is never set: see tmsim_core_set_clock. */
EXPORT int settimeofday(const struct timeval *tv, const struct timezone *tz) {
    (void)tz;
    start();
    return tmsim_core_set_clock("settimeofday", tv ? (long long)tv->tv_sec : -1,
                                tv ? (long)tv->tv_usec : 0);
}

/* libc declares ts non-null; a null one is traced as sec=-1 rather than
 * dereferenced. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnonnull-compare"
EXPORT int clock_settime(clockid_t clock, const struct timespec *ts) {
    (void)clock;
    start();
    return tmsim_core_set_clock("clock_settime", ts ? (long long)ts->tv_sec : -1,
                                ts ? (long)(ts->tv_nsec / 1000) : 0);
}
#pragma GCC diagnostic pop

/* Waits: the system's own, untouched. A device or event descriptor among
 * the waited ones only starts the watch thread first (tmsim_core_waiting),
 * so that POLLPRI and event records arrive while the program waits. */
static void note_pollfds(const struct pollfd *fds, nfds_t n) {
    for (nfds_t i = 0; fds != NULL && i < n; i++)
        tmsim_core_waiting(fds[i].fd);
}

static void note_fdsets(int nfds, const fd_set *r, const fd_set *w, const fd_set *e) {
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; fd++) {
        if ((r && FD_ISSET(fd, r)) || (w && FD_ISSET(fd, w)) || (e && FD_ISSET(fd, e)))
            tmsim_core_waiting(fd);
    }
}

/* The fortified headers declare poll's array write-only; the entries here
 * read the descriptors the caller put in it, which are set. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
EXPORT int poll(struct pollfd *fds, nfds_t n, int timeout) {
    note_pollfds(fds, n);
    poll_fn real = NEXT(poll, "poll");
    if (!real)
        MISSING(-1);
    return real(fds, n, timeout);
}

EXPORT int ppoll(struct pollfd *fds, nfds_t n, const struct timespec *ts, const sigset_t *mask) {
    note_pollfds(fds, n);
    ppoll_fn real = NEXT(ppoll, "ppoll");
    if (!real)
        MISSING(-1);
    return real(fds, n, ts, mask);
}

EXPORT int __poll_chk(struct pollfd *fds, nfds_t n, int timeout, size_t fdslen) {
    if (n <= fdslen / sizeof(*fds))
        note_pollfds(fds, n);
    poll_chk_fn real = NEXT(poll_chk, "__poll_chk");
    if (!real)
        MISSING(-1);
    return real(fds, n, timeout, fdslen);
}

EXPORT int __ppoll_chk(struct pollfd *fds, nfds_t n, const struct timespec *ts,
                       const sigset_t *mask, size_t fdslen) {
    if (n <= fdslen / sizeof(*fds))
        note_pollfds(fds, n);
    ppoll_chk_fn real = NEXT(ppoll_chk, "__ppoll_chk");
    if (!real)
        MISSING(-1);
    return real(fds, n, ts, mask, fdslen);
}

#pragma GCC diagnostic pop

EXPORT int select(int nfds, fd_set *r, fd_set *w, fd_set *e, struct timeval *tv) {
    note_fdsets(nfds, r, w, e);
    select_fn real = NEXT(select, "select");
    if (!real)
        MISSING(-1);
    return real(nfds, r, w, e, tv);
}

EXPORT int pselect(int nfds, fd_set *r, fd_set *w, fd_set *e, const struct timespec *ts,
                   const sigset_t *mask) {
    note_fdsets(nfds, r, w, e);
    pselect_fn real = NEXT(pselect, "pselect");
    if (!real)
        MISSING(-1);
    return real(nfds, r, w, e, ts, mask);
}

EXPORT int epoll_ctl(int epfd, int op, int fd, struct epoll_event *ev) {
    if (op == EPOLL_CTL_ADD || op == EPOLL_CTL_MOD)
        tmsim_core_waiting(fd);
    epoll_ctl_fn real = NEXT(epoll_ctl, "epoll_ctl");
    if (!real)
        MISSING(-1);
    return real(epfd, op, fd, ev);
}

/* The stat family on a device or RTC descriptor: the system describes the
 * socket or memory file behind it; the answer is patched to the character
 * device the driver's node is (type and permission bits, device numbers,
 * no size). The path forms are the stand-in's only for AT_EMPTY_PATH with
 * an empty path, which is fstat of the descriptor itself; a stat of the
 * path /dev/touchm0 is the system's. */
#define PATCH_STAT(st)                                                                             \
    do {                                                                                           \
        unsigned major_, minor_, mode_;                                                            \
        if (tmsim_core_maybe_ours(fd) && tmsim_core_char_device(fd, &major_, &minor_, &mode_)) {   \
            (st)->st_mode = S_IFCHR | mode_;                                                       \
            (st)->st_rdev = makedev(major_, minor_);                                               \
            (st)->st_size = 0;                                                                     \
            (st)->st_blocks = 0;                                                                   \
        }                                                                                          \
    } while (0)

static int empty_path(const char *path, int flags) {
    return (flags & AT_EMPTY_PATH) && (path == NULL || path[0] == '\0');
}

EXPORT int fstat(int fd, struct stat *st) {
    fstat_fn real = NEXT(fstat, "fstat");
    if (!real)
        MISSING(-1);
    int r = real(fd, st);
    if (r == 0)
        PATCH_STAT(st);
    return r;
}

EXPORT int fstat64(int fd, struct stat64 *st) {
    fstat64_fn real = NEXT(fstat64, "fstat64");
    if (!real)
        MISSING(-1);
    int r = real(fd, st);
    if (r == 0)
        PATCH_STAT(st);
    return r;
}

EXPORT int fstatat(int fd, const char *path, struct stat *st, int flags) {
    fstatat_fn real = NEXT(fstatat, "fstatat");
    if (!real)
        MISSING(-1);
    int r = real(fd, path, st, flags);
    if (r == 0 && empty_path(path, flags))
        PATCH_STAT(st);
    return r;
}

EXPORT int fstatat64(int fd, const char *path, struct stat64 *st, int flags) {
    fstatat64_fn real = NEXT(fstatat64, "fstatat64");
    if (!real)
        MISSING(-1);
    int r = real(fd, path, st, flags);
    if (r == 0 && empty_path(path, flags))
        PATCH_STAT(st);
    return r;
}

EXPORT int statx(int fd, const char *path, int flags, unsigned mask, struct statx *stx) {
    statx_fn real = NEXT(statx, "statx");
    if (!real)
        MISSING(-1);
    int r = real(fd, path, flags, mask, stx);
    unsigned major, minor, mode;
    if (r == 0 && empty_path(path, flags) && tmsim_core_maybe_ours(fd) &&
        tmsim_core_char_device(fd, &major, &minor, &mode)) {
        stx->stx_mode = (uint16_t)(S_IFCHR | mode);
        stx->stx_rdev_major = major;
        stx->stx_rdev_minor = minor;
        stx->stx_size = 0;
        stx->stx_blocks = 0;
    }
    return r;
}

/* The versioned entries that programs built against a C library older
 * than 2.33 call. */
EXPORT int __fxstat(int ver, int fd, struct stat *st) {
    fxstat_fn real = NEXT(fxstat, "__fxstat");
    if (!real)
        MISSING(-1);
    int r = real(ver, fd, st);
    if (r == 0)
        PATCH_STAT(st);
    return r;
}

EXPORT int __fxstat64(int ver, int fd, struct stat64 *st) {
    fxstat64_fn real = NEXT(fxstat64, "__fxstat64");
    if (!real)
        MISSING(-1);
    int r = real(ver, fd, st);
    if (r == 0)
        PATCH_STAT(st);
    return r;
}

EXPORT int __fxstatat(int ver, int fd, const char *path, struct stat *st, int flags) {
    fxstatat_fn real = NEXT(fxstatat, "__fxstatat");
    if (!real)
        MISSING(-1);
    int r = real(ver, fd, path, st, flags);
    if (r == 0 && empty_path(path, flags))
        PATCH_STAT(st);
    return r;
}

EXPORT int __fxstatat64(int ver, int fd, const char *path, struct stat64 *st, int flags) {
    fxstatat64_fn real = NEXT(fxstatat64, "__fxstatat64");
    if (!real)
        MISSING(-1);
    int r = real(ver, fd, path, st, flags);
    if (r == 0 && empty_path(path, flags))
        PATCH_STAT(st);
    return r;
}
