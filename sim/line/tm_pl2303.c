// SPDX-License-Identifier: GPL-2.0
/*
 * The simulated PL2303 adapter with its serial line wired as a 1-Wire line.
 * Every byte sent comes back into the receive FIFO as the line carried it:
 * at data speed a byte is one time slot, at reset speed a byte that holds
 * the line low long enough is a reset pulse. Line and serial faults are
 * applied here. Read slots go out through velkor's write_1w(), whose fixed
 * wait the simulation counts rather than spends.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "tm_line_core.h"

static struct tm_line *tm_line_of(struct tm_bus *bus)
{
	return container_of(bus, struct tm_line, bus);
}

/* Whether a serial fault hits this call; its error code if so. */
static int tm_serial_fault_hits(struct tm_serial_fault *f)
{
	int err = f->err;

	if (!err)
		return 0;
	if (f->skip) {
		f->skip--;
		return 0;
	}
	if (f->times && --f->times == 0)
		f->err = 0;
	return err;
}

/* Whether a slot fault fires in the current slot; uses it up if so. */
static int tm_slot_fault_hits(struct tm_slot_fault *f, unsigned int slot)
{
	if (!f->armed || f->slot != slot)
		return 0;
	if (f->skip) {
		f->skip--;
		return 0;
	}
	if (f->times && --f->times == 0)
		f->armed = 0;
	return 1;
}

static void tm_fifo_push(struct tm_line *line, unsigned char b)
{
	struct tm_wire *w = &line->wire;

	if (w->fifo_len == TM_FIFO_SIZE) {
		line->stats.overruns++;
		return;
	}
	w->fifo[(w->fifo_head + w->fifo_len) % TM_FIFO_SIZE] = b;
	w->fifo_len++;
}

static unsigned char tm_wire_reset_byte(struct tm_line *line,
					unsigned char b)
{
	struct tm_wire *w = &line->wire;
	int presence;

	if (w->shorted) {
		/* Held low, the key sees one endless reset pulse. */
		tm_key_reset(&line->key);
		return 0x00;
	}
	if (b & TM_RESET_LOW_MASK)
		return b;

	line->stats.resets++;
	w->slot = 0;
	presence = tm_key_reset(&line->key);
	return presence ? (unsigned char)(b & ~TM_PRESENCE_MASK) : b;
}

static unsigned char tm_wire_slot(struct tm_line *line, unsigned char b)
{
	struct tm_wire *w = &line->wire;
	struct tm_key *key = &line->key;
	unsigned char late;
	int level;

	if (tm_slot_fault_hits(&w->remove, w->slot))
		key->present = 0;

	level = (b & TM_SLOT_SAMPLE_BIT) && !w->shorted &&
		!tm_key_pulls_low(key);
	if (tm_slot_fault_hits(&w->flip, w->slot))
		level = !level;

	tm_key_clock(key, level);
	w->slot++;
	line->stats.data_slots++;

	late = w->shorted ? 0 : (unsigned char)(b & TM_ECHO_LATE);
	return (unsigned char)(late | (level ? TM_ECHO_EARLY : 0));
}

static int tm_pl2303_write(struct tm_bus *bus, const unsigned char *buf,
			   int count)
{
	struct tm_line *line = tm_line_of(bus);
	unsigned char echo;
	int err, i;

	if (count < 0)
		return -EINVAL;
	err = tm_serial_fault_hits(&line->wire.wr_fault);
	if (err)
		return err;

	for (i = 0; i < count; i++) {
		if (line->wire.baud == TM_BAUD_RESET)
			echo = tm_wire_reset_byte(line, buf[i]);
		else
			echo = tm_wire_slot(line, buf[i]);
		tm_fifo_push(line, echo);
	}
	line->stats.serial_out += (unsigned int)count;
	return count;
}

static int tm_pl2303_read(struct tm_bus *bus, unsigned char *buf, int count)
{
	struct tm_line *line = tm_line_of(bus);
	struct tm_wire *w = &line->wire;
	unsigned int n, i;
	int err;

	if (count < 0)
		return -EINVAL;
	err = tm_serial_fault_hits(&w->rd_fault);
	if (err)
		return err;

	n = (unsigned int)count < w->fifo_len ? (unsigned int)count :
						w->fifo_len;
	for (i = 0; i < n; i++) {
		buf[i] = w->fifo[w->fifo_head];
		w->fifo_head = (w->fifo_head + 1) % TM_FIFO_SIZE;
	}
	w->fifo_len -= n;
	line->stats.serial_in += n;
	return (int)n;
}

/* The adapter sends at once: the switch takes effect with the next byte. */
static int tm_pl2303_set_baud(struct tm_bus *bus, unsigned int baud)
{
	if (baud != TM_BAUD_DATA && baud != TM_BAUD_RESET)
		return -EINVAL;
	tm_line_of(bus)->wire.baud = baud;
	return 0;
}

/* Drops whatever the adapter has received and not handed on. */
static void tm_pl2303_flush(struct tm_bus *bus)
{
	struct tm_wire *w = &tm_line_of(bus)->wire;

	w->fifo_head = 0;
	w->fifo_len = 0;
}

const struct tm_bus_ops tm_pl2303_ops = {
	.write = tm_pl2303_write,
	.read = tm_pl2303_read,
	.read_1w = tm_core_read_1w_paced,
	.set_baud = tm_pl2303_set_baud,
	.flush = tm_pl2303_flush,
};
