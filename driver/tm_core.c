// SPDX-License-Identifier: GPL-2.0
/*
 * The touch-memory driver core: the device's requests carried out as
 * 1-Wire transactions through the velkor transport. Data bytes go out with
 * write_1w()/write_1wEx() and come in with read_1wEx() over read_1w(); the
 * reset pulse talks to the adapter directly, at reset speed, and so do runs
 * of read slots on a line backend that can keep several groups of them in
 * flight.
 * velkor's calls to the driver's serial functions are passed on to the
 * line backend through the bus the port record is part of.
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

#include "tm_core.h"
#include "tm_slots.h"

/*
 * Memory of the key families the core knows: those whose memory commands
 * it speaks, and the ID-only key (family 0x01), which has none.
 */
static const struct {
	unsigned char family;
	unsigned short mem_size;
} tm_family_mem[] = {
	{ 0x01, 0 },
	{ 0x04, 512 },
	{ 0x06, 512 },
	{ 0x08, 128 },
	{ 0x0A, 2048 },
	{ 0x0C, 8192 },
};

/* Ones to send while reading: each 0xFF slot lets the key answer. */
static const unsigned char tm_read_slots[VELKOR_MAX_BYTES] = {
	0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF
};

int tm_core_slot_echo_possible(unsigned char echo)
{
	unsigned int low = (unsigned char)~echo;

	/* The bits held low must be the lowest ones: low + 1 a power of 2. */
	return (low & (low + 1)) == 0;
}

int tm_core_decode_slots(const unsigned char *echo, unsigned char *buf,
			 unsigned int count)
{
	unsigned int j, k;
	unsigned char b, e;

	for (j = 0; j < count; j++) {
		b = 0;
		for (k = 0; k < VELKOR_BITS_PER_BYTE; k++) {
			e = echo[VELKOR_BITS_PER_BYTE * j + k];
			if (!tm_core_slot_echo_possible(e))
				return -EIO;
			if (e == VELKOR_BIT_ONE)
				b |= (unsigned char)(1u << k);
		}
		buf[j] = b;
	}
	return 0;
}

/* Decodes read slots; an impossible echo fails and is counted. */
static int tm_decode(struct tm_bus *bus, unsigned char *buf,
		     unsigned int count)
{
	int r = tm_core_decode_slots(bus->rx_buf, buf, count);

	if (r)
		bus->impossible++;
	return r;
}

/**
 * tm_core_read_1w_paced - read up to eight data bytes through write_1w()
 * @bus:   the bus
 * @buf:   destination of @count bytes
 * @count: 1 to %VELKOR_MAX_BYTES
 *
 * Return: @count, -EINVAL for a bad @count, -EIO when the adapter handed
 * back fewer slots than sent, or the error of write_1w().
 */
int tm_core_read_1w_paced(struct tm_bus *bus, unsigned char *buf, int count)
{
	int r;

	if (count < 1 || count > VELKOR_MAX_BYTES)
		return -EINVAL;
	r = write_1w(&bus->port, tm_read_slots, (unsigned int)count);
	if (r < 0)
		return r;
	if (r != count * VELKOR_BITS_PER_BYTE)
		return -EIO;
	r = tm_decode(bus, buf, (unsigned int)count);
	return r ? r : count;
}

static struct tm_bus *tm_bus_of(struct tm_port *port)
{
	return container_of(port, struct tm_bus, port);
}

/* The driver's serial functions and line reader, for velkor. */
int pl2303_write(struct tm_port *port, const unsigned char *buf, int count)
{
	struct tm_bus *bus = tm_bus_of(port);

	return bus->ops->write(bus, buf, count);
}

int pl2303_read(struct tm_port *port, unsigned char *buf, int count)
{
	struct tm_bus *bus = tm_bus_of(port);

	return bus->ops->read(bus, buf, count);
}

int read_1w(struct tm_port *port, unsigned char *buf, int count)
{
	struct tm_bus *bus = tm_bus_of(port);

	if (count < 1 || count > VELKOR_MAX_BYTES)
		return -EINVAL;
	return bus->ops->read_1w(bus, buf, count);
}

int tm_core_family_known(unsigned char family)
{
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(tm_family_mem); i++)
		if (tm_family_mem[i].family == family)
			return 1;
	return 0;
}

unsigned int tm_core_family_mem_size(unsigned char family)
{
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(tm_family_mem); i++)
		if (tm_family_mem[i].family == family)
			return tm_family_mem[i].mem_size;
	return 0;
}

void tm_bus_init(struct tm_bus *bus, const struct tm_bus_ops *ops)
{
	bus->port.tx_bits = bus->tx_bits;
	bus->port.rx_buf = bus->rx_buf;
	bus->ops = ops;
	bus->mem_size = 0;
	bus->impossible = 0;
	bus->match = 0;
}

/* Reset pulse at reset speed; 0 when a key answers with presence. */
static int tm_reset_pulse(struct tm_bus *bus)
{
	struct tm_port *port = &bus->port;
	unsigned char out = TM_RESET_BYTE;
	unsigned char echo = 0;
	int r;

	bus->ops->flush(bus);
	r = bus->ops->set_baud(bus, TM_BAUD_RESET);
	if (r < 0)
		return r;
	r = pl2303_write(port, &out, 1);
	if (r >= 0)
		r = pl2303_read(port, &echo, 1);
	bus->ops->set_baud(bus, TM_BAUD_DATA);
	if (r < 0)
		return r;
	if (r != 1)
		return -EIO;
	/* The interface holds the low bits low for the pulse, whoever answers. */
	if (echo & TM_RESET_LOW_MASK) {
		bus->impossible++;
		return -EIO;
	}
	if (echo == 0x00)
		return -EIO;	/* the line is held low */
	if (echo == TM_RESET_BYTE)
		return -ENXIO;	/* nobody answered */
	return 0;
}

/* Sends up to eight bytes and checks that every bit came back as sent. */
static int tm_send(struct tm_bus *bus, const unsigned char *data,
		   unsigned int len)
{
	unsigned int i, nbits = len * VELKOR_BITS_PER_BYTE;
	int r;

	r = write_1w(&bus->port, data, len);
	if (r < 0)
		return r;
	if (r != (int)nbits)
		return -EIO;
	for (i = 0; i < nbits; i++)
		if (bus->rx_buf[i] != bus->tx_bits[i]) {
			bus->impossible++;
			return -EIO;
		}
	return 0;
}

/*
 * Reads @len data bytes with several groups of read slots on the line at
 * once: slot bytes go out up to %TM_CORE_SLOTS_IN_FLIGHT ahead of the
 * echoes taken, and each group's echoes are taken and decoded as soon as
 * they are in, which makes room for the next group. A failing write or
 * echo read fails the whole run; the echoes still due are dropped, so that
 * late ones cannot pass for those of the next request.
 */
static int tm_recv_in_flight(struct tm_bus *bus, unsigned char *buf,
			     unsigned int len)
{
	unsigned int sent = 0, got = 0, group;
	int nbits, r;

	memset(bus->tx_bits, VELKOR_BIT_ONE, VELKOR_TX_BITS_SIZE);
	while (got < len) {
		while (sent < len) {
			group = len - sent < VELKOR_MAX_BYTES ?
				len - sent : VELKOR_MAX_BYTES;
			if ((sent - got + group) * VELKOR_BITS_PER_BYTE >
			    TM_CORE_SLOTS_IN_FLIGHT)
				break;
			r = bus->ops->write(bus, bus->tx_bits,
					    (int)(group * VELKOR_BITS_PER_BYTE));
			if (r < 0)
				goto fail;
			sent += group;
		}
		group = len - got < VELKOR_MAX_BYTES ?
			len - got : VELKOR_MAX_BYTES;
		nbits = (int)(group * VELKOR_BITS_PER_BYTE);
		r = bus->ops->read_echoes(bus, bus->rx_buf, nbits);
		if (r >= 0 && r != nbits)
			r = -EIO;
		if (r < 0)
			goto fail;
		r = tm_decode(bus, buf + got, group);
		if (r < 0)
			goto fail;
		got += group;
	}
	return 0;
fail:
	bus->ops->flush(bus);
	return r;
}

/* Reads a plain run of @len data bytes: read slots only. */
static int tm_recv(struct tm_bus *bus, unsigned char *buf, unsigned int len)
{
	int r;

	if (bus->ops->read_echoes)
		return tm_recv_in_flight(bus, buf, len);
	r = read_1wEx(&bus->port, buf, len);

	if (r < 0)
		return r;
	return r == (int)len ? 0 : -EIO;
}

/*
 * Reset, and Skip ROM: the one key on the line takes the next command; on
 * a line with several devices, Match ROM with the key's ROM instead.
 */
static int tm_select(struct tm_bus *bus)
{
	static const unsigned char skip = TM_CMD_SKIP_ROM;
	static const unsigned char match = TM_CMD_MATCH_ROM;
	int r = tm_reset_pulse(bus);

	if (r || !bus->match)
		return r ? r : tm_send(bus, &skip, 1);
	r = tm_send(bus, &match, 1);
	return r ? r : tm_send(bus, bus->match_rom, TM_CORE_ROM_SIZE);
}

/* Reads the scratchpad's TA1, TA2, E/S and then @len data bytes. */
static int tm_read_scratch(struct tm_bus *bus, unsigned char *out,
			   unsigned int len)
{
	static const unsigned char cmd = TM_CMD_READ_SCRATCH;
	int r = tm_select(bus);

	if (!r)
		r = tm_send(bus, &cmd, 1);
	if (!r)
		r = tm_recv(bus, out, 3 + len);
	return r;
}

/* Writes @len bytes (within one page) at @addr through the scratchpad. */
static int tm_write_page(struct tm_bus *bus, unsigned int addr,
			 const unsigned char *data, unsigned int len)
{
	unsigned char hdr[4] = {
		TM_CMD_WRITE_SCRATCH, addr & 0xFF, (addr >> 8) & 0xFF,
		(addr + len - 1) & TM_ES_END
	};
	unsigned char back[3 + TM_CORE_PAGE_SIZE];
	int r;

	r = tm_select(bus);
	if (!r)
		r = tm_send(bus, hdr, 3);
	if (r)
		return r;
	r = write_1wEx(&bus->port, data, len);
	if (r < 0)
		return r;
	if (r != (int)(len * VELKOR_BITS_PER_BYTE))
		return -EIO;

	r = tm_read_scratch(bus, back, len);
	if (r)
		return r;
	if (memcmp(back, hdr + 1, 3) || memcmp(back + 3, data, len))
		return -EIO;

	hdr[0] = TM_CMD_COPY_SCRATCH;
	r = tm_select(bus);
	if (!r)
		r = tm_send(bus, hdr, 4);
	if (r)
		return r;

	r = tm_read_scratch(bus, back, 0);
	if (r)
		return r;
	if (memcmp(back, hdr + 1, 2) || back[2] != (hdr[3] | TM_ES_AA))
		return -EIO;
	return 0;
}

/* The part of [off, off + n) inside the key memory; its length. */
static unsigned int tm_clamp(const struct tm_bus *bus, unsigned int off,
			     unsigned int n)
{
	unsigned int size = bus->mem_size;

	if (off >= size)
		return 0;
	return n < size - off ? n : size - off;
}

int tm_core_presence(struct tm_bus *bus)
{
	return tm_reset_pulse(bus);
}

int tm_core_reset(struct tm_bus *bus)
{
	int r;

	bus->ops->flush(bus);
	r = bus->ops->set_baud(bus, TM_BAUD_DATA);
	return r < 0 ? r : tm_reset_pulse(bus);
}

int tm_core_read_rom(struct tm_bus *bus, unsigned char *rom)
{
	static const unsigned char cmd = TM_CMD_READ_ROM;
	unsigned char id[TM_CORE_ROM_SIZE], copy[TM_CORE_ROM_SIZE];
	int zeros = 1, ones = 1;
	unsigned int i;
	int r;

	r = tm_reset_pulse(bus);
	if (!r)
		r = tm_send(bus, &cmd, 1);
	if (!r)
		r = tm_recv(bus, id, sizeof(id));
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

int tm_core_skip_rom(struct tm_bus *bus)
{
	return tm_select(bus);
}

int tm_core_read(struct tm_bus *bus, unsigned int off, unsigned char *buf,
		 unsigned int n)
{
	unsigned char cmd[3] = {
		TM_CMD_READ_MEM, off & 0xFF, (off >> 8) & 0xFF
	};
	int r;

	n = tm_clamp(bus, off, n);
	if (!n)
		return tm_reset_pulse(bus);
	r = tm_select(bus);
	if (!r)
		r = tm_send(bus, cmd, sizeof(cmd));
	if (!r)
		r = tm_recv(bus, buf, n);
	/*
	 * A key that left during the read delivers ones; make sure. Beside
	 * other devices, only the key's own ROM through a search can say.
	 */
	if (!r)
		r = bus->match ? tm_search_verify(bus, bus->match_rom) :
				 tm_reset_pulse(bus);
	return r ? r : (int)n;
}

int tm_core_write(struct tm_bus *bus, unsigned int off,
		  const unsigned char *data, unsigned int n)
{
	unsigned int done = 0, addr, frag;
	int r;

	n = tm_clamp(bus, off, n);
	if (!n)
		return tm_reset_pulse(bus);
	while (done < n) {
		addr = off + done;
		frag = TM_CORE_PAGE_SIZE - (addr & TM_ES_END);
		if (frag > n - done)
			frag = n - done;
		r = tm_write_page(bus, addr, data + done, frag);
		if (r)
			return r;
		done += frag;
	}
	return (int)n;
}
