/* SPDX-License-Identifier: GPL-2.0-or-later */
/* User-space stand-in for <linux/kernel.h>: the printk level prefixes. */
#ifndef _LINUX_KERNEL_H
#define _LINUX_KERNEL_H

#define KERN_SOH	"\001"
#define KERN_INFO	KERN_SOH "6"

#endif
