/* SPDX-License-Identifier: GPL-2.0 */
/*
 * touchm's tty backend: the line discipline that turns a serial port into
 * a touch-memory line (touchm_tty.c), registered at module start and
 * unregistered at its end (touchm_main.c).
 */
#ifndef TOUCHM_TTY_H
#define TOUCHM_TTY_H

int touchm_tty_init(void);
void touchm_tty_exit(void);

#endif /* TOUCHM_TTY_H */
