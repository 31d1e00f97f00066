/* SPDX-License-Identifier: GPL-2.0 */
/*
 * tm_core - the touch-memory driver's transactions over the velkor
 * transport, for any line behind a small table of operations.
 *
 * The core serves the requests of the touch-memory device: presence,
 * Read ROM (0x33; a ROM whose CRC-8 does not match, or that is all 0x00 or
 * all 0xFF, is a failed request), Skip ROM (0xCC), Read Memory (0xF0 and a
 * two-byte address) and writes through the key's 32-byte scratchpad (Write
 * 0x0F, Read 0xAA and compare, Copy 0x55, Read again to see the copy done).
 * It never knows what carries the bytes: a line backend (the simulated
 * adapter and key, or a real tty) embeds struct tm_bus in its own record and
 * supplies struct tm_bus_ops. velkor's pl2303_write(), pl2303_read() and
 * read_1w() land in those operations through the port record.
 *
 * Results: 0 (or a byte count) on success, else a negative error code:
 * -ENXIO when no key answers, -EIO for a line failure (shorted line, bits
 * that did not come back as sent, a bad ROM, a scratchpad mismatch),
 * -EINVAL for bad arguments, or what a failing line operation returned.
 *
 * Plain C that includes only kernel headers (or their user-space stand-ins),
 * so the same file builds into the kernel module and into user space. One
 * bus is for one thread at a time.
 */
#ifndef TM_CORE_H
#define TM_CORE_H

#include "velkor.h"

#define TM_CORE_ROM_SIZE	8
/* Key memory is addressed with 16 bits. */
#define TM_CORE_MEM_MAX		65536u
#define TM_CORE_PAGE_SIZE	32

/*
 * Read slot bytes a run of data bytes keeps on the line at most, with a
 * backend that offers read_echoes: four groups of eight data bytes. Each
 * exchange with the adapter costs a latency of its own (a USB frame and the
 * adapter's latency timer, 1 to 16 ms); a group is 5.6 ms on the wire at
 * data speed, so with four groups out the wire stays busy while the echoes
 * of the first are on their way, up to 16 ms of latency. The backend's
 * receive buffer must hold this many echoes.
 */
#define TM_CORE_SLOTS_IN_FLIGHT	(4 * VELKOR_TX_BITS_SIZE)

/* Adapter speeds: one byte per time slot, and one byte per reset pulse. */
#define TM_BAUD_DATA		115200u
#define TM_BAUD_RESET		9600u

/*
 * The reset pulse: 0xF0 at reset speed holds the line low for the start
 * bit and four data bits, ~520 us. A key's presence pulse pulls some of
 * the following bits low, so its echo differs from 0xF0; a line held low
 * echoes 0x00.
 */
#define TM_RESET_BYTE		0xF0
#define TM_RESET_LOW_MASK	0x0F

/* Touch-memory commands. */
#define TM_CMD_READ_ROM		0x33
#define TM_CMD_SKIP_ROM		0xCC
#define TM_CMD_READ_MEM		0xF0
#define TM_CMD_WRITE_SCRATCH	0x0F
#define TM_CMD_READ_SCRATCH	0xAA
#define TM_CMD_COPY_SCRATCH	0x55

/* Ending offset and status byte of the scratchpad. */
#define TM_ES_END		0x1F
#define TM_ES_PF		0x20	/* last byte written only in part */
#define TM_ES_AA		0x80	/* copy done */

struct tm_bus;

/**
 * struct tm_bus_ops - what a line backend does for the core
 * @write:    pl2303_write(): send @count bit bytes; a negative error code,
 *            else the bytes are on their way
 * @read:     pl2303_read(): at most @count received bytes into @buf; their
 *            number, or a negative error code
 * @read_1w:  read_1w(): read @count (1 to %VELKOR_MAX_BYTES) data bytes by
 *            sending read slots and decoding their echoes (see
 *            tm_core_decode_slots()); @count or a negative error code
 * @read_echoes: optional; wait until the echoes of the first @count bytes
 *            outstanding are in (not those of everything outstanding) and
 *            take exactly those into @buf; @count, or a negative error code.
 *            @count is at most the bytes outstanding. A backend whose
 *            receive buffer holds %TM_CORE_SLOTS_IN_FLIGHT echoes and whose
 *            waits sleep offers it; the core then keeps several groups of
 *            read slots on the line at once. Without it, runs of data bytes
 *            are read through read_1wEx(), one group at a time.
 * @set_baud: switch to %TM_BAUD_DATA or %TM_BAUD_RESET once everything sent
 *            so far is on the line; 0 or a negative error code
 * @flush:    drop whatever has been received and not read
 * @begin:    optional; a request of the device begins on the line: what
 *            arrived since the last one is dropped; 0 or a negative error
 * @end:      optional; the request has ended: 0 when the line brought
 *            nothing during it but the echoes of what was sent, -EIO when
 *            it did (its data cannot be trusted then)
 */
struct tm_bus_ops {
	int (*write)(struct tm_bus *bus, const unsigned char *buf, int count);
	int (*read)(struct tm_bus *bus, unsigned char *buf, int count);
	int (*read_1w)(struct tm_bus *bus, unsigned char *buf, int count);
	int (*read_echoes)(struct tm_bus *bus, unsigned char *buf, int count);
	int (*set_baud)(struct tm_bus *bus, unsigned int baud);
	void (*flush)(struct tm_bus *bus);
	int (*begin)(struct tm_bus *bus);
	int (*end)(struct tm_bus *bus);
};

/**
 * struct tm_bus - a line as the core sees it
 * @port:     the velkor port record; its buffers are @tx_bits and @rx_buf
 * @ops:      the backend's operations
 * @mem_size: bytes of key memory; transfers stop at its end
 * @impossible: echoes seen that no line could give for what was sent:
 *            a reset echo with any of its low bits high, a read slot echo
 *            whose low bits are not the lowest ones, a write slot echo
 *            other than the slot; each fails its transaction
 * @match:    the line carries several devices: requests address the key
 *            @match_rom by Match ROM (0x55 and the ROM) where a line with
 *            one device is addressed by Skip ROM, and a read checks that
 *            the key is still there by following its ROM through a Search
 *            ROM rather than by a reset pulse. 0: Skip ROM, as always
 * @match_rom: the key's ROM, in the order it travels
 */
struct tm_bus {
	struct tm_port port;
	const struct tm_bus_ops *ops;
	unsigned int mem_size;
	unsigned long impossible;
	int match;
	unsigned char match_rom[TM_CORE_ROM_SIZE];
	unsigned char tx_bits[VELKOR_TX_BITS_SIZE];
	unsigned char rx_buf[VELKOR_RX_BUF_SIZE];
};

/* Points the port at the bus's buffers; key memory size 0. */
void tm_bus_init(struct tm_bus *bus, const struct tm_bus_ops *ops);

/* Reset pulse; 0 when a key answers with its presence pulse. */
int tm_core_presence(struct tm_bus *bus);
/* Resets the connection: received bytes dropped, data speed, reset pulse. */
int tm_core_reset(struct tm_bus *bus);
/* Reads the ROM into @rom (untouched on failure), in the order it travels. */
int tm_core_read_rom(struct tm_bus *bus, unsigned char *rom);
int tm_core_skip_rom(struct tm_bus *bus);
/*
 * Memory at @off: at most @n bytes, fewer at the end of the key memory
 * (0 at or after it). Returns the count. A read checks afterwards that the
 * key is still there; a write goes page by page through the scratchpad,
 * and pages copied before a failing one stay written.
 */
int tm_core_read(struct tm_bus *bus, unsigned int off, unsigned char *buf,
		 unsigned int n);
int tm_core_write(struct tm_bus *bus, unsigned int off,
		  const unsigned char *data, unsigned int n);

/*
 * read_1w() the way velkor paces it: the read slots go out through
 * write_1w(), with its fixed wait, and are decoded. For backends whose
 * time is simulated.
 */
int tm_core_read_1w_paced(struct tm_bus *bus, unsigned char *buf, int count);

/*
 * Whether @echo can be the echo of a read slot (0xFF sent): the key holds
 * the line low from the slot's start for a 0 bit, so the bits that came
 * back low are the lowest ones (0xFE, 0xFC, ... 0x00), or none (0xFF, a 1
 * bit). Anything else (0x5A, 0x0F) is noise.
 */
int tm_core_slot_echo_possible(unsigned char echo);

/*
 * Decodes the echoes of @count bytes of read slots (8 per byte, least
 * significant bit first): a slot that came back as 0xFF is a 1, one the
 * key pulled low a 0. Returns 0, or -EIO at the first impossible echo
 * (@buf then holds part of the bytes).
 */
int tm_core_decode_slots(const unsigned char *echo, unsigned char *buf,
			 unsigned int count);

/*
 * Bytes of memory of the key families the core knows, by the family code
 * (the ROM's first byte): the memory keys whose protocol it speaks, and 0
 * for the ID-only key (0x01); 0 for any other family too.
 */
unsigned int tm_core_family_mem_size(unsigned char family);
/* Whether the core knows the family's memory (none counts, for 0x01). */
int tm_core_family_known(unsigned char family);

#endif /* TM_CORE_H */
