/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * A line backend of the driver's transaction core over a real tty, for
 * tests: the same transactions that run against the simulated adapter go
 * out on a pseudo-terminal whose far end answers as a 1-Wire line. Reset
 * and data speed are set with tcsetattr; a read waits for the echoes of the
 * bytes outstanding, never for the count asked; read slots go out at wire
 * speed, several groups at once for a run of data bytes (read_echoes). One
 * tty per process.
 */
#ifndef TTY_ADAPTER_H
#define TTY_ADAPTER_H

#ifdef __cplusplus
extern "C" {
#endif

/* The core's header is plain C without C++ linkage of its own. */
#include "tm_core.h"

/* How long a read waits for the echoes outstanding. */
#define TTY_ADAPTER_ECHO_TIMEOUT_MS 1000

/*
 * Opens path raw 8N1 at data speed and sets bus up on it with @mem_size
 * bytes of key memory. 0, or a negative errno (nothing left open).
 */
int tty_adapter_open(struct tm_bus *bus, const char *path, unsigned int mem_size);
void tty_adapter_close(void);

#ifdef __cplusplus
}
#endif

#endif /* TTY_ADAPTER_H */
