// SPDX-License-Identifier: GPL-2.0-or-later
#include "velkor_fakes.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "velkor.h"

/* The shim header routes the transport's memset() here. */
void *fake_memset(void *s, int c, size_t n);
void __const_udelay(unsigned long xloops);

static struct fake_call fake_log[FAKE_MAX_CALLS];
static unsigned int fake_logged;
static unsigned int fake_dropped;

static int fake_results[FAKE_KINDS][FAKE_SCRIPT_MAX];
static unsigned int fake_scripted[FAKE_KINDS];
static unsigned int fake_used[FAKE_KINDS];

void fake_reset(void)
{
	memset(fake_log, 0, sizeof(fake_log));
	fake_logged = 0;
	fake_dropped = 0;
	memset(fake_scripted, 0, sizeof(fake_scripted));
	memset(fake_used, 0, sizeof(fake_used));
}

void fake_script(enum fake_kind kind, const int *results, unsigned int n)
{
	unsigned int i;

	if (n > FAKE_SCRIPT_MAX)
		n = FAKE_SCRIPT_MAX;
	for (i = 0; i < n; i++)
		fake_results[kind][i] = results[i];
	fake_scripted[kind] = n;
	fake_used[kind] = 0;
}

static struct fake_call *fake_record(enum fake_kind kind, const void *port,
				     const void *buf, long count)
{
	static struct fake_call spare;
	struct fake_call *c;

	if (fake_logged >= FAKE_MAX_CALLS) {
		/* The checks on call counts then fail visibly. */
		fake_dropped++;
		c = &spare;
	} else {
		c = &fake_log[fake_logged++];
	}
	memset(c, 0, sizeof(*c));
	c->kind = kind;
	c->port = port;
	c->buf = buf;
	c->count = count;
	return c;
}

static int fake_result(enum fake_kind kind, int otherwise)
{
	if (fake_used[kind] < fake_scripted[kind])
		return fake_results[kind][fake_used[kind]++];
	return otherwise;
}

unsigned int fake_total(void)
{
	return fake_logged + fake_dropped;
}

unsigned int fake_count(enum fake_kind kind)
{
	unsigned int i, n = 0;

	for (i = 0; i < fake_logged; i++)
		if (fake_log[i].kind == kind)
			n++;
	return n;
}

int fake_index(enum fake_kind kind, unsigned int n)
{
	unsigned int i;

	for (i = 0; i < fake_logged; i++)
		if (fake_log[i].kind == kind && n-- == 0)
			return (int)i;
	return -1;
}

const struct fake_call *fake_nth(enum fake_kind kind, unsigned int n)
{
	int i = fake_index(kind, n);

	return i < 0 ? NULL : &fake_log[i];
}

void *fake_memset(void *s, int c, size_t n)
{
	struct fake_call *rec = fake_record(FAKE_MEMSET, NULL, s, (long)n);

	rec->fill = c;
	return memset(s, c, n);
}

void __const_udelay(unsigned long xloops)
{
	fake_record(FAKE_UDELAY, NULL, NULL, (long)xloops);
}

int pl2303_write(struct tm_port *port, const unsigned char *buf, int count)
{
	struct fake_call *rec;
	size_t keep = count > 0 ? (size_t)count : 0;

	rec = fake_record(FAKE_SERIAL_WRITE, port, buf, count);
	if (keep > sizeof(rec->data))
		keep = sizeof(rec->data);
	memcpy(rec->data, buf, keep);
	return fake_result(FAKE_SERIAL_WRITE, count);
}

int pl2303_read(struct tm_port *port, unsigned char *buf, int count)
{
	fake_record(FAKE_SERIAL_READ, port, buf, count);
	return fake_result(FAKE_SERIAL_READ, count);
}

int read_1w(struct tm_port *port, unsigned char *buf, int count)
{
	fake_record(FAKE_READ_1W, port, buf, count);
	return fake_result(FAKE_READ_1W, count);
}

void DebugPrint(const char *fmt, ...)
{
	struct fake_call *rec = fake_record(FAKE_PRINT, NULL, NULL, 0);
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(rec->text, sizeof(rec->text), fmt, ap);
	va_end(ap);
}
