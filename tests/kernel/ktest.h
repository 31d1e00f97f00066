/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * A small pass/fail counter for the C tests of the kernel-side code, in the
 * manner of the kernel's tools/testing: every check is counted, a failing
 * one prints where and why, and main() returns non-zero if any failed.
 */
#ifndef KTEST_H
#define KTEST_H

#include <stddef.h>

void ktest_check(int ok, const char *file, int line, const char *what);
void ktest_check_long(long long got, long long want, const char *file,
		      int line, const char *what);
void ktest_check_mem(const void *got, const void *want, size_t n,
		     const char *file, int line, const char *what);
void ktest_run(void (*fn)(void), const char *name);
/* Prints the totals; returns the process exit status. */
int ktest_report(void);

#define KT_CHECK(cond) ktest_check(!!(cond), __FILE__, __LINE__, #cond)
#define KT_EQ(got, want) \
	ktest_check_long((long long)(got), (long long)(want), __FILE__, \
			 __LINE__, #got " == " #want)
#define KT_MEM(got, want, n) \
	ktest_check_mem((got), (want), (n), __FILE__, __LINE__, \
			#got " equals " #want)
#define KT_RUN(fn) ktest_run(fn, #fn)

#endif
