/*
 * The serial functions of the driver core over a real tty, for tests: the
 * same transactions that run against the simulated adapter go out on a
 * pseudo-terminal whose far end answers as a 1-Wire line. A read waits
 * for the echoes of the bytes outstanding, never for the count asked.
 * One tty per process.
 */
#ifndef TTY_ADAPTER_H
#define TTY_ADAPTER_H

#ifdef __cplusplus
extern "C" {
#endif

/* How long a read waits for the echoes outstanding. */
#define TTY_ADAPTER_ECHO_TIMEOUT_MS 1000

/* Opens path raw 8N1 at data speed. 0, or a negative errno. */
int tty_adapter_open(const char *path);
void tty_adapter_close(void);

#ifdef __cplusplus
}
#endif

#endif /* TTY_ADAPTER_H */
