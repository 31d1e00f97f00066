/* SPDX-License-Identifier: GPL-2.0 */
/*
 * User-space stand-in for <linux/delay.h>: udelay() of a constant becomes
 * __const_udelay() of 2^32 / 10^6 (rounded up) loops per microsecond, as
 * on x86; the line simulator counts them.
 */
#ifndef _LINUX_DELAY_H
#define _LINUX_DELAY_H

void __const_udelay(unsigned long xloops);

#define udelay(n)	__const_udelay((n) * 0x10c7ul)

#endif
