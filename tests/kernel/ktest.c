// SPDX-License-Identifier: GPL-2.0-or-later
#include "ktest.h"

#include <stdio.h>
#include <string.h>

static unsigned int ktest_passed;
static unsigned int ktest_failed;
static const char *ktest_current = "";

void ktest_check(int ok, const char *file, int line, const char *what)
{
	if (ok) {
		ktest_passed++;
		return;
	}
	ktest_failed++;
	printf("FAIL %s: %s:%d: %s\n", ktest_current, file, line, what);
}

void ktest_check_long(long long got, long long want, const char *file,
		      int line, const char *what)
{
	ktest_check(got == want, file, line, what);
	if (got != want)
		printf("     got %lld (0x%llx), want %lld (0x%llx)\n", got,
		       (unsigned long long)got, want, (unsigned long long)want);
}

static void ktest_dump(const char *label, const unsigned char *p, size_t n)
{
	size_t i;

	printf("     %s", label);
	for (i = 0; i < n; i++)
		printf(" %02x", p[i]);
	printf("\n");
}

void ktest_check_mem(const void *got, const void *want, size_t n,
		     const char *file, int line, const char *what)
{
	int same = memcmp(got, want, n) == 0;

	ktest_check(same, file, line, what);
	if (!same) {
		ktest_dump("got ", got, n);
		ktest_dump("want", want, n);
	}
}

void ktest_run(void (*fn)(void), const char *name)
{
	unsigned int failed_before = ktest_failed;

	ktest_current = name;
	fn();
	printf("%s %s\n", ktest_failed == failed_before ? "ok  " : "FAIL",
	       name);
	ktest_current = "";
}

int ktest_report(void)
{
	printf("%u checks passed, %u failed\n", ktest_passed, ktest_failed);
	return ktest_failed ? 1 : 0;
}
