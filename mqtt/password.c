// SPDX-License-Identifier: GPL-2.0-or-later
/* Reads the password file: its whole content, one optional final newline
 * taken off. */
#define _GNU_SOURCE
#include "password.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int tm_password_read(const char *path, char *buf, size_t len, int *world_readable, char *err,
                     size_t errlen) {
    int ok = 0;
    *world_readable = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        snprintf(err, errlen, "cannot read the password file %s [%s]", path, strerror(e));
        return 0;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        snprintf(err, errlen, "cannot read the password file %s [%s]", path, strerror(e));
        goto out;
    }
    if (!S_ISREG(st.st_mode)) {
        snprintf(err, errlen, "the password file %s is not a regular file", path);
        goto out;
    }
    *world_readable = (st.st_mode & S_IROTH) != 0;
    size_t used = 0;
    for (;;) {
        char extra;
        /* The last byte of buf is kept for the NUL; one byte more than fits
         * is read aside to tell a full buffer from a long file. */
        char *to = used + 1 < len ? buf + used : &extra;
        size_t room = used + 1 < len ? len - 1 - used : 1;
        ssize_t r = read(fd, to, room);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            int e = errno;
            snprintf(err, errlen, "cannot read the password file %s [%s]", path, strerror(e));
            goto out;
        }
        if (r == 0)
            break;
        if (to == &extra) {
            snprintf(err, errlen, "the password file %s holds more than %zu bytes", path, len - 1);
            goto out;
        }
        used += (size_t)r;
    }
    if (used > 0 && buf[used - 1] == '\n')
        used--;
    if (used > 0 && buf[used - 1] == '\r')
        used--;
    buf[used] = '\0';
    if (used == 0) {
        snprintf(err, errlen, "the password file %s is empty", path);
        goto out;
    }
    if (memchr(buf, '\n', used) != NULL || strlen(buf) != used) {
        snprintf(err, errlen, "the password file %s holds more than one line", path);
        goto out;
    }
    ok = 1;
out:
    if (!ok)
        explicit_bzero(buf, len);
    close(fd);
    return ok;
}
