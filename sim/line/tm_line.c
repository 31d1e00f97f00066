// SPDX-License-Identifier: GPL-2.0
/*
 * The simulated line as a whole: the driver core on the bus of the
 * simulated adapter, the key on its line, the faults and the counters.
 * Every request is bracketed so that the busy-waits it caused land in the
 * counters.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "tm_line_core.h"

_Static_assert(TM_LINE_ROM_SIZE == TM_CORE_ROM_SIZE, "ROM sizes differ");
_Static_assert(TM_LINE_PAGE_SIZE == TM_CORE_PAGE_SIZE, "page sizes differ");
_Static_assert(TM_LINE_MEM_MAX == TM_CORE_MEM_MAX, "memory limits differ");

struct tm_op {
	unsigned long long calls;
	unsigned long long us;
};

static void tm_op_begin(struct tm_op *op)
{
	tm_line_plat_delays(&op->calls, &op->us);
}

static int tm_op_end(struct tm_line *line, const struct tm_op *op, int r)
{
	unsigned long long calls, us;

	tm_line_plat_delays(&calls, &us);
	line->stats.delay_calls += calls - op->calls;
	line->stats.delay_us += us - op->us;
	return r;
}

static int tm_mem_ok(unsigned char *mem, unsigned int mem_size)
{
	return mem_size <= TM_LINE_MEM_MAX && (mem || !mem_size);
}

int tm_line_init(struct tm_line *line, const unsigned char *rom,
		 unsigned char *mem, unsigned int mem_size)
{
	if (!tm_mem_ok(mem, mem_size))
		return -EINVAL;
	memset(line, 0, sizeof(*line));
	tm_bus_init(&line->bus, &tm_pl2303_ops);
	line->bus.mem_size = mem_size;
	line->wire.baud = TM_BAUD_DATA;
	tm_key_init(&line->key, mem, mem_size);
	if (rom)
		tm_key_attach(&line->key, rom);
	return 0;
}

int tm_line_set_memory(struct tm_line *line, unsigned char *mem,
		       unsigned int mem_size)
{
	if (!tm_mem_ok(mem, mem_size))
		return -EINVAL;
	line->key.mem = mem;
	line->key.mem_size = mem_size;
	line->bus.mem_size = mem_size;
	return 0;
}

void tm_line_attach(struct tm_line *line, const unsigned char *rom)
{
	tm_key_attach(&line->key, rom);
}

void tm_line_detach(struct tm_line *line)
{
	line->key.present = 0;
}

int tm_line_key_present(const struct tm_line *line)
{
	return line->key.present;
}

int tm_line_presence(struct tm_line *line)
{
	struct tm_op op;

	tm_op_begin(&op);
	return tm_op_end(line, &op, tm_core_presence(&line->bus));
}

int tm_line_reset(struct tm_line *line)
{
	struct tm_op op;

	tm_op_begin(&op);
	return tm_op_end(line, &op, tm_core_reset(&line->bus));
}

int tm_line_read_rom(struct tm_line *line, unsigned char *rom)
{
	struct tm_op op;

	tm_op_begin(&op);
	return tm_op_end(line, &op, tm_core_read_rom(&line->bus, rom));
}

int tm_line_skip_rom(struct tm_line *line)
{
	struct tm_op op;

	tm_op_begin(&op);
	return tm_op_end(line, &op, tm_core_skip_rom(&line->bus));
}

int tm_line_read(struct tm_line *line, unsigned int off, unsigned char *buf,
		 unsigned int n)
{
	struct tm_op op;

	tm_op_begin(&op);
	return tm_op_end(line, &op, tm_core_read(&line->bus, off, buf, n));
}

int tm_line_write(struct tm_line *line, unsigned int off,
		  const unsigned char *data, unsigned int n)
{
	struct tm_op op;

	tm_op_begin(&op);
	return tm_op_end(line, &op, tm_core_write(&line->bus, off, data, n));
}

static void tm_set_slot_fault(struct tm_slot_fault *f, unsigned int slot,
			      unsigned int skip, unsigned int times)
{
	f->armed = 1;
	f->slot = slot;
	f->skip = skip;
	f->times = times;
}

void tm_line_fault_flip(struct tm_line *line, unsigned int slot,
			unsigned int skip, unsigned int times)
{
	tm_set_slot_fault(&line->wire.flip, slot, skip, times);
}

void tm_line_fault_remove(struct tm_line *line, unsigned int slot,
			  unsigned int skip)
{
	tm_set_slot_fault(&line->wire.remove, slot, skip, 1);
}

void tm_line_fault_short(struct tm_line *line, int on)
{
	line->wire.shorted = !!on;
}

static void tm_set_serial_fault(struct tm_serial_fault *f, unsigned int skip,
				unsigned int times, int err)
{
	f->err = err;
	f->skip = skip;
	f->times = times;
}

void tm_line_fault_serial_write(struct tm_line *line, unsigned int skip,
				unsigned int times, int err)
{
	tm_set_serial_fault(&line->wire.wr_fault, skip, times, err);
}

void tm_line_fault_serial_read(struct tm_line *line, unsigned int skip,
			       unsigned int times, int err)
{
	tm_set_serial_fault(&line->wire.rd_fault, skip, times, err);
}

void tm_line_clear_faults(struct tm_line *line)
{
	struct tm_wire *w = &line->wire;

	w->shorted = 0;
	memset(&w->flip, 0, sizeof(w->flip));
	memset(&w->remove, 0, sizeof(w->remove));
	memset(&w->wr_fault, 0, sizeof(w->wr_fault));
	memset(&w->rd_fault, 0, sizeof(w->rd_fault));
}

void tm_line_get_stats(const struct tm_line *line,
		       struct tm_line_stats *stats)
{
	*stats = line->stats;
}

void tm_line_clear_stats(struct tm_line *line)
{
	memset(&line->stats, 0, sizeof(line->stats));
}
