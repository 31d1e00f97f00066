/* SPDX-License-Identifier: GPL-2.0 */
/*
 * User-space stand-in for <linux/kernel.h>, as much of it as the line
 * simulator and the transport use: printk level prefixes, container_of(),
 * ARRAY_SIZE().
 */
#ifndef _LINUX_KERNEL_H
#define _LINUX_KERNEL_H

#include <stddef.h>

#define KERN_SOH	"\001"
#define KERN_INFO	KERN_SOH "6"

#define container_of(ptr, type, member) \
	((type *)((char *)(ptr) - offsetof(type, member)))

#define ARRAY_SIZE(a)	(sizeof(a) / sizeof((a)[0]))

#endif
