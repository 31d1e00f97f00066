/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The broker password, read from a file that holds it alone. */
#ifndef TMMQTT_PASSWORD_H
#define TMMQTT_PASSWORD_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest password taken. */
#define TM_PASSWORD_SIZE 256

/* Reads the password (the file's content without a final newline) into
 * buf. 1, or 0 with a message naming the file in err. *world_readable is
 * set when others than the owner and the group may read the file. */
int tm_password_read(const char *path, char *buf, size_t len, int *world_readable, char *err,
                     size_t errlen);

#ifdef __cplusplus
}
#endif

#endif
