/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * User-space stand-in for <linux/string.h>. memset() goes to the test's
 * recording fake, which clears the bytes as well. Only the transport's own
 * translation unit sees this macro; the fake itself calls libc's memset().
 */
#ifndef _LINUX_STRING_H_
#define _LINUX_STRING_H_

#include <stddef.h>

void *fake_memset(void *s, int c, size_t n);

#define memset(s, c, n)	fake_memset((s), (c), (n))

#endif
