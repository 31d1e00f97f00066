/* SPDX-License-Identifier: GPL-2.0 */
/* User-space stand-in for <linux/string.h>: libc's memcpy, memset, memcmp. */
#ifndef _LINUX_STRING_H_
#define _LINUX_STRING_H_

#include <string.h>

#endif
