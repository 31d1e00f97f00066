/* SPDX-License-Identifier: GPL-2.0 */
/*
 * tm_slots - 1-Wire time slots in batches, and Search ROM, over the line
 * a transaction core bus drives: what a bus master of the kernel's 1-Wire
 * core needs beyond the touch-memory requests of tm_core.h.
 *
 * A batch is up to %TM_CORE_SLOTS_IN_FLIGHT slot bytes sent at once, whose
 * echoes are taken together: a write-0 slot is 0x00, a write-1 or read
 * slot is 0xFF. Every echo is judged as a request's are: a write slot must
 * come back as sent; a read slot's echo must be one a line can give (see
 * tm_core_slot_echo_possible()). An impossible echo fails the batch and is
 * counted in the bus's @impossible.
 *
 * Plain C over kernel headers or their user-space stand-ins, like tm_core.
 */
#ifndef TM_SLOTS_H
#define TM_SLOTS_H

#include "tm_core.h"

/* Search ROM and Conditional (alarm) Search. */
#define TM_CMD_SEARCH_ROM	0xF0
#define TM_CMD_ALARM_SEARCH	0xEC
#define TM_CMD_MATCH_ROM	0x55
/* Bits of a ROM, the depth of a search. */
#define TM_ROM_BITS		64

/*
 * What a search step (a triplet) found, in the kernel 1-Wire core's
 * encoding: bit 0 the id bit read, bit 1 its complement, bit 2 the
 * direction taken. Both read bits 1: no device answered.
 */
#define TM_TRIPLET_ID		0x01
#define TM_TRIPLET_COMP		0x02
#define TM_TRIPLET_DIR		0x04
#define TM_TRIPLET_NONE		(TM_TRIPLET_ID | TM_TRIPLET_COMP)

/*
 * Sends @n slot bytes (at most %TM_CORE_SLOTS_IN_FLIGHT) and takes their
 * echoes into @echo (@n bytes). 0, -EIO for an impossible or missing
 * echo, or the line's error.
 */
int tm_slots_touch(struct tm_bus *bus, const unsigned char *slots,
		   unsigned char *echo, unsigned int n);
/* Write slots for @len data bytes, least significant bit first. */
int tm_slots_write(struct tm_bus *bus, const unsigned char *data,
		   unsigned int len);
/* Read slots for @len data bytes. */
int tm_slots_read(struct tm_bus *bus, unsigned char *buf, unsigned int len);
/* One slot: a write of @bit, or a read when @bit is 1; the bit seen. */
int tm_slots_bit(struct tm_bus *bus, int bit, unsigned char *seen);
/*
 * Write slots sent ahead: the 1-Wire core's writes return nothing to it,
 * so their echoes need not be waited for at once. They are taken with the
 * next batch's (tm_slots_read_after()) or by tm_slots_collect(), and every
 * one must come back as sent before anything read after it is handed out;
 * the slots behind them follow on the wire without a round trip between.
 * @n slot bytes whose echoes are still due, at most %TM_CORE_SLOTS_IN_FLIGHT.
 */
struct tm_slots_ahead {
	unsigned char slots[TM_CORE_SLOTS_IN_FLIGHT];
	unsigned int n;
};

/*
 * Sends write slots for @len data bytes behind those @ahead holds, and
 * leaves their echoes due in @ahead; collects first when @ahead is full.
 * 0, or a negative error: then @ahead is empty and the line flushed.
 */
int tm_slots_write_ahead(struct tm_bus *bus, struct tm_slots_ahead *ahead,
			 const unsigned char *data, unsigned int len);
/*
 * Takes the echoes @ahead waits for and judges them: each exactly as
 * sent. @ahead is empty after it. 0, -EIO, or the line's error.
 */
int tm_slots_collect(struct tm_bus *bus, struct tm_slots_ahead *ahead);
/*
 * tm_slots_read() behind the slots @ahead holds: its first batch goes out
 * at once, and the echoes of both are taken and judged together. @ahead is
 * empty after it, whatever the result.
 */
int tm_slots_read_after(struct tm_bus *bus, struct tm_slots_ahead *ahead,
			unsigned char *buf, unsigned int len);

/*
 * A search step: two read slots, then a write slot of the direction:
 * @dir when both bit values answered, else the one that did. The step's
 * result (TM_TRIPLET_*) in *@res; 0 or a negative error.
 */
int tm_slots_triplet(struct tm_bus *bus, int dir, unsigned char *res);

/*
 * Search ROM (@cmd %TM_CMD_SEARCH_ROM, or %TM_CMD_ALARM_SEARCH): every
 * device on the line, each by its ROM (family in the lowest byte) into
 * @found, at most @max. One pass per device: a reset, the command and 64
 * steps, each step one exchange of three slots (the direction of a bit
 * and the two read slots of the next). A ROM whose CRC-8 does not match,
 * or that is all zeros, fails the search; so does any failed exchange.
 * Returns the number of devices (0 when none answers the reset), or a
 * negative error: then nothing in @found may be taken for a device.
 */
int tm_search(struct tm_bus *bus, unsigned char cmd, unsigned long long *found,
	      unsigned int max);

/*
 * Whether the devices on the line are exactly the @n of @known (as
 * tm_search() gives them): a pass along each one's ROM in batches (its
 * directions are known), every step's two read bits as those devices
 * give them. Any device more or less shows as a step that differs. 0 when
 * the line has exactly those, 1 when it differs (or for no @known, or a
 * Conditional Search), or a negative error.
 */
int tm_search_known(struct tm_bus *bus, unsigned char cmd,
		    const unsigned long long *known, unsigned int n);
/*
 * tm_search() that first checks whether the line still has the @known
 * devices @found holds from the last search (tm_search_known()): their
 * count when it does, else the full search's result.
 */
int tm_search_cached(struct tm_bus *bus, unsigned char cmd,
		     unsigned long long *found, unsigned int max,
		     unsigned int known);

/*
 * Whether the device with @rom (in the order it travels) is on the line:
 * a reset, Search ROM, and the 64 steps along @rom, in batches (the
 * directions are known), each of which that device must answer. 0 when it
 * does, -ENXIO when it is not there, or another negative error.
 */
int tm_search_verify(struct tm_bus *bus, const unsigned char *rom);

#endif /* TM_SLOTS_H */
