/* SPDX-License-Identifier: GPL-2.0-or-later */
/* User-space stand-in for <linux/errno.h>: the kernel's own numbers. */
#ifndef _LINUX_ERRNO_H
#define _LINUX_ERRNO_H

#include <asm/errno.h>

#endif
