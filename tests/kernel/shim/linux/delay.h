/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * User-space stand-in for <linux/delay.h>: udelay() of a constant turns
 * into __const_udelay() of the scaled loop count, 2^32 / 10^6 rounded up
 * per microsecond, as on x86. The test supplies a recording
 * __const_udelay().
 */
#ifndef _LINUX_DELAY_H
#define _LINUX_DELAY_H

void __const_udelay(unsigned long xloops);

#define udelay(n)	__const_udelay((n) * 0x10c7ul)

#endif
