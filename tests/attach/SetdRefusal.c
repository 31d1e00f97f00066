// SPDX-License-Identifier: GPL-2.0-or-later
/* Preloaded into tmattach by its tests: TIOCSETD of any discipline but
 * N_TTY fails with the errno given in VORN_TEST_SETD_ERRNO (a number), as
 * the kernel refuses a discipline, so that tmattach's message for each
 * refusal can be checked without the driver. VORN_TEST_SETD_ERRNO=0
 * accepts the discipline instead, as a kernel with the driver would, and
 * leaves the port as it is (a pseudo-terminal, which the driver itself
 * would refuse), so that what tmattach does while attached can be
 * checked. Every other call goes through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>

#define SETD_ERRNO_ENV "VORN_TEST_SETD_ERRNO"
#define N_TTY_LDISC 0

typedef int (*ioctl_fn)(int fd, unsigned long request, ...);

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (request == TIOCSETD && arg != NULL && *(const int *)arg != N_TTY_LDISC) {
        const char *text = getenv(SETD_ERRNO_ENV);
        if (text != NULL) {
            const int err = (int)strtol(text, NULL, 10);
            if (err == 0)
                return 0;
            errno = err;
            return -1;
        }
    }
    static ioctl_fn next;
    if (next == NULL)
        next = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    if (next == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, arg);
}
