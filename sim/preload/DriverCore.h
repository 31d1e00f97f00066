/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The driver core of the stand-in: the descriptors of /dev/touchm0 and
 * /dev/rtc0 it hands out, a file position per open file, request dispatch
 * to the backend, faults, vanishing, the trace and the clock paths. The
 * state comes from STATE/config and is re-read at each request when the file
 * changed (hot-plug). One lock guards it all; signals are blocked while it is
 * held, so a signal handler that closes the device (or calls any other entry
 * below) never deadlocks on it. Nothing here allocates.
 *
 * A copy of a device descriptor (dup, dup2, dup3, F_DUPFD, F_DUPFD_CLOEXEC)
 * is a device descriptor too, on the same open file: copies share the file
 * position, and closing one leaves the others working.
 *
 * Key events (driver/touchm_uapi.h): TOUCHM_IOC_EVENT_FD makes an event
 * descriptor, TOUCHM_IOC_KEY_STATE reports the key; a change of the key in
 * the state (tmsim ctl attach, remove, swap) gives POLLPRI on every device
 * descriptor and a record on every event descriptor. Device and event
 * descriptors are sockets, so the system's poll, select and epoll take them;
 * a watch thread (started by the first event descriptor, KEY_STATE, or a
 * wait on a device descriptor) re-reads the state when it changes.
 *
 * Calls taking a descriptor return 1 when it is one of the stand-in's (the
 * call's own result in *res, errno set as the call sets it), 0 when it is not
 * (the caller passes the call through to the system). */
#ifndef TMSIM_DRIVER_CORE_H
#define TMSIM_DRIVER_CORE_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TMSIM_RTC_PATH "/dev/rtc0"
#define TMSIM_CLIENT_LOG_PATH "/tmp/tmdrv.log"
#define TMSIM_STATE_ENV "TMSIM_STATE"
#define TMSIM_MAX_DESCRIPTORS 64

/* Starts the core on a state directory; NULL or "" leaves it inactive, and
 * then everything passes through. Safe to call more than once. */
void tmsim_core_init(const char *state_dir);
int tmsim_core_active(void);

/* Lock-free first test for the descriptor calls: 0 means certainly not ours. */
int tmsim_core_maybe_ours(int fd);

/* Opens; a descriptor or -1 with errno set. */
int tmsim_core_open_device(int flags);
int tmsim_core_open_rtc(int flags);

int tmsim_core_ioctl(int fd, unsigned long req, void *arg, int *res);
int tmsim_core_lseek(int fd, off_t off, int whence, off_t *res);
int tmsim_core_read(int fd, void *buf, size_t n, ssize_t *res);
int tmsim_core_write(int fd, const void *buf, size_t n, ssize_t *res);
int tmsim_core_pread(int fd, void *buf, size_t n, off_t off, ssize_t *res);
int tmsim_core_pwrite(int fd, const void *buf, size_t n, off_t off, ssize_t *res);
int tmsim_core_close(int fd, int *res);

/* Device numbers a device or RTC descriptor shows in fstat and statx: the
 * device is a misc character device (major 10) as the driver's is. */
#define TMSIM_DEVICE_MAJOR 10
#define TMSIM_DEVICE_MINOR 124
#define TMSIM_DEVICE_MODE 0660
#define TMSIM_RTC_MAJOR 252
#define TMSIM_RTC_MINOR 0
#define TMSIM_RTC_MODE 0600

/* What fstat and statx say of fd: 1 when it is a device or RTC descriptor,
 * which is a character device with these numbers and permission bits
 * (the system's answer describes the socket or memory file behind it); 0
 * when it is not one (an event descriptor included). Nothing is traced:
 * fstat does not reach the driver. */
int tmsim_core_char_device(int fd, unsigned *major, unsigned *minor, unsigned *mode);

/* The program is about to wait on fd (poll, ppoll, select, pselect,
 * epoll_ctl): a device or event descriptor starts the watch thread of the
 * process, if it does not run, so that changes of the state reach the
 * descriptor while the program makes no request. Nothing else; the wait is
 * the system's own. */
void tmsim_core_waiting(int fd);

/* How a descriptor is copied. */
enum tmsim_copy {
    TMSIM_COPY_DUP,   /* dup: the lowest free number */
    TMSIM_COPY_DUPFD, /* fcntl F_DUPFD(_CLOEXEC): the lowest at or above to */
    TMSIM_COPY_DUP2,  /* dup2: exactly to, fd itself when to == fd */
    TMSIM_COPY_DUP3,  /* dup3: exactly to, which must differ from fd */
};

/* Copies fd. Ours when fd is a device or RTC descriptor, or when dup2/dup3
 * puts the copy onto one (which that closes). flags: O_CLOEXEC (a
 * close-on-exec copy: F_DUPFD_CLOEXEC, or dup3's flag) or 0; dup3's flags
 * go to the system as given, so that it judges them. */
int tmsim_core_copy(enum tmsim_copy how, int fd, int to, int flags, int *res);

/* settimeofday / clock_settime: never sets the real clock. With the clock
 * allowed the value is recorded (trace, STATE/clock) and 0 returned, else
 * -1 with EPERM. call names the entry for the trace. */
int tmsim_core_set_clock(const char *call, long long sec, long usec);

/* The file the client log path is redirected to. 1, or 0 when inactive. */
int tmsim_core_log_path(char *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif
