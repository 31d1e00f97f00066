// SPDX-License-Identifier: GPL-2.0
/*
 * The touch-memory driver core: the device's requests carried out as
 * 1-Wire transactions through the velkor transport. Data bytes go out with
 * write_1w()/write_1wEx() and come in with read_1wEx() over read_1w();
 * only the reset pulse talks to the adapter directly, at reset speed.
 *
 * What the line answers is checked wherever it can be: the echo of every
 * command and address byte must show the bits as sent, a ROM must carry a
 * matching CRC-8, the scratchpad is read back and compared before the copy
 * and read once more to see the copy done, and a memory read ends with a
 * reset pulse that the key must still answer.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "tm_line_core.h"

/* Ones to send while reading: each 0xFF slot lets the key answer. */
static const unsigned char tm_read_slots[VELKOR_MAX_BYTES] = {
	0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF
};

/**
 * read_1w - read up to eight data bytes from the 1-Wire line
 * @port:  the port record
 * @buf:   destination of @count bytes
 * @count: 1 to %VELKOR_MAX_BYTES
 *
 * Sends one read slot per bit and takes a bit as 1 when its slot came
 * back as 0xFF, as 0 when the key pulled it lower.
 *
 * Return: @count, -EINVAL for a bad @count, -EIO when the adapter handed
 * back fewer slots than sent, or the error of write_1w().
 */
int read_1w(struct tm_port *port, unsigned char *buf, int count)
{
	unsigned int j, k;
	unsigned char b;
	int r;

	if (count < 1 || count > VELKOR_MAX_BYTES)
		return -EINVAL;
	r = write_1w(port, tm_read_slots, (unsigned int)count);
	if (r < 0)
		return r;
	if (r != count * VELKOR_BITS_PER_BYTE)
		return -EIO;

	for (j = 0; j < (unsigned int)count; j++) {
		b = 0;
		for (k = 0; k < VELKOR_BITS_PER_BYTE; k++)
			if (port->rx_buf[VELKOR_BITS_PER_BYTE * j + k] ==
			    VELKOR_BIT_ONE)
				b |= (unsigned char)(1u << k);
		buf[j] = b;
	}
	return count;
}

/* Reset pulse at reset speed; 0 when a key answers with presence. */
static int tm_reset_pulse(struct tm_line *line)
{
	struct tm_port *port = &line->port;
	unsigned char out = TM_RESET_BYTE;
	unsigned char echo = 0;
	int r;

	tm_pl2303_flush(port);
	r = tm_pl2303_set_baud(port, TM_BAUD_RESET);
	if (r < 0)
		return r;
	r = pl2303_write(port, &out, 1);
	if (r >= 0)
		r = pl2303_read(port, &echo, 1);
	tm_pl2303_set_baud(port, TM_BAUD_DATA);
	if (r < 0)
		return r;
	if (r != 1)
		return -EIO;
	if (echo == 0x00)
		return -EIO;	/* the line is held low */
	if (echo == TM_RESET_BYTE)
		return -ENXIO;	/* nobody answered */
	return 0;
}

/* Sends up to eight bytes and checks that every bit came back as sent. */
static int tm_send(struct tm_line *line, const unsigned char *data,
		   unsigned int len)
{
	unsigned int i, nbits = len * VELKOR_BITS_PER_BYTE;
	int r;

	r = write_1w(&line->port, data, len);
	if (r < 0)
		return r;
	if (r != (int)nbits)
		return -EIO;
	for (i = 0; i < nbits; i++)
		if (line->rx_buf[i] != line->tx_bits[i])
			return -EIO;
	return 0;
}

static int tm_recv(struct tm_line *line, unsigned char *buf,
		   unsigned int len)
{
	int r = read_1wEx(&line->port, buf, len);

	if (r < 0)
		return r;
	return r == (int)len ? 0 : -EIO;
}

/* Reset, and Skip ROM: the one key on the line takes the next command. */
static int tm_select(struct tm_line *line)
{
	static const unsigned char skip = TM_CMD_SKIP_ROM;
	int r = tm_reset_pulse(line);

	return r ? r : tm_send(line, &skip, 1);
}

/* Reads the scratchpad's TA1, TA2, E/S and then @len data bytes. */
static int tm_read_scratch(struct tm_line *line, unsigned char *out,
			   unsigned int len)
{
	static const unsigned char cmd = TM_CMD_READ_SCRATCH;
	int r = tm_select(line);

	if (!r)
		r = tm_send(line, &cmd, 1);
	if (!r)
		r = tm_recv(line, out, 3 + len);
	return r;
}

/* Writes @len bytes (within one page) at @addr through the scratchpad. */
static int tm_write_page(struct tm_line *line, unsigned int addr,
			 const unsigned char *data, unsigned int len)
{
	unsigned char hdr[4] = {
		TM_CMD_WRITE_SCRATCH, addr & 0xFF, (addr >> 8) & 0xFF,
		(addr + len - 1) & TM_ES_END
	};
	unsigned char back[3 + TM_SCRATCH_SIZE];
	int r;

	r = tm_select(line);
	if (!r)
		r = tm_send(line, hdr, 3);
	if (r)
		return r;
	r = write_1wEx(&line->port, data, len);
	if (r < 0)
		return r;
	if (r != (int)(len * VELKOR_BITS_PER_BYTE))
		return -EIO;

	r = tm_read_scratch(line, back, len);
	if (r)
		return r;
	if (memcmp(back, hdr + 1, 3) || memcmp(back + 3, data, len))
		return -EIO;

	hdr[0] = TM_CMD_COPY_SCRATCH;
	r = tm_select(line);
	if (!r)
		r = tm_send(line, hdr, 4);
	if (r)
		return r;

	r = tm_read_scratch(line, back, 0);
	if (r)
		return r;
	if (memcmp(back, hdr + 1, 2) || back[2] != (hdr[3] | TM_ES_AA))
		return -EIO;
	return 0;
}

/* The part of [off, off + n) inside the key memory; its length. */
static unsigned int tm_clamp(const struct tm_line *line, unsigned int off,
			     unsigned int n)
{
	unsigned int size = line->key.mem_size;

	if (off >= size)
		return 0;
	return n < size - off ? n : size - off;
}

/* Brackets every request so the busy-waits it caused land in the stats. */
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
	line->port.tx_bits = line->tx_bits;
	line->port.rx_buf = line->rx_buf;
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
	return tm_op_end(line, &op, tm_reset_pulse(line));
}

int tm_line_reset(struct tm_line *line)
{
	struct tm_op op;

	tm_op_begin(&op);
	tm_pl2303_flush(&line->port);
	tm_pl2303_set_baud(&line->port, TM_BAUD_DATA);
	return tm_op_end(line, &op, tm_reset_pulse(line));
}

static int tm_read_rom(struct tm_line *line, unsigned char *rom)
{
	static const unsigned char cmd = TM_CMD_READ_ROM;
	unsigned char id[TM_LINE_ROM_SIZE], copy[TM_LINE_ROM_SIZE];
	int zeros = 1, ones = 1;
	unsigned int i;
	int r;

	r = tm_reset_pulse(line);
	if (!r)
		r = tm_send(line, &cmd, 1);
	if (!r)
		r = tm_recv(line, id, sizeof(id));
	if (r)
		return r;

	for (i = 0; i < sizeof(id); i++) {
		zeros &= id[i] == 0x00;
		ones &= id[i] == 0xFF;
	}
	if (ones)
		return -ENXIO;	/* nobody drove the line: the key has left */
	if (zeros)
		return -EIO;
	/* The CRC is computed in place; keep the id out of its way. */
	memcpy(copy, id, sizeof(id));
	if (CalcTMCrc(copy, sizeof(copy)) != 0)
		return -EIO;
	memcpy(rom, id, sizeof(id));
	return 0;
}

int tm_line_read_rom(struct tm_line *line, unsigned char *rom)
{
	struct tm_op op;

	tm_op_begin(&op);
	return tm_op_end(line, &op, tm_read_rom(line, rom));
}

int tm_line_skip_rom(struct tm_line *line)
{
	struct tm_op op;

	tm_op_begin(&op);
	return tm_op_end(line, &op, tm_select(line));
}

static int tm_read(struct tm_line *line, unsigned int off, unsigned char *buf,
		   unsigned int n)
{
	unsigned char cmd[3] = {
		TM_CMD_READ_MEM, off & 0xFF, (off >> 8) & 0xFF
	};
	int r;

	n = tm_clamp(line, off, n);
	if (!n)
		return tm_reset_pulse(line);
	r = tm_select(line);
	if (!r)
		r = tm_send(line, cmd, sizeof(cmd));
	if (!r)
		r = tm_recv(line, buf, n);
	/* A key that left during the read delivers ones; make sure. */
	if (!r)
		r = tm_reset_pulse(line);
	return r ? r : (int)n;
}

int tm_line_read(struct tm_line *line, unsigned int off, unsigned char *buf,
		 unsigned int n)
{
	struct tm_op op;

	tm_op_begin(&op);
	return tm_op_end(line, &op, tm_read(line, off, buf, n));
}

static int tm_write(struct tm_line *line, unsigned int off,
		    const unsigned char *data, unsigned int n)
{
	unsigned int done = 0, addr, frag;
	int r;

	n = tm_clamp(line, off, n);
	if (!n)
		return tm_reset_pulse(line);
	while (done < n) {
		addr = off + done;
		frag = TM_LINE_PAGE_SIZE - (addr & TM_ES_END);
		if (frag > n - done)
			frag = n - done;
		r = tm_write_page(line, addr, data + done, frag);
		if (r)
			return r;
		done += frag;
	}
	return (int)n;
}

int tm_line_write(struct tm_line *line, unsigned int off,
		  const unsigned char *data, unsigned int n)
{
	struct tm_op op;

	tm_op_begin(&op);
	return tm_op_end(line, &op, tm_write(line, off, data, n));
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
