// SPDX-License-Identifier: GPL-2.0
/*
 * 1-Wire time slots in batches, and Search ROM, through the transaction
 * core's line operations: the slots go out together and their echoes come
 * back together, each judged before anything is made of it.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "tm_slots.h"

/*
 * Slot bytes one batch carries at most: as many as the transaction core
 * keeps in flight, which every backend's receive buffer holds.
 */
#define TM_BATCH_SLOTS		TM_CORE_SLOTS_IN_FLIGHT
#define TM_BATCH_BYTES		(TM_BATCH_SLOTS / VELKOR_BITS_PER_BYTE)
/* Slot bytes of one search step: the direction, then two read slots. */
#define TM_STEP_SLOTS		3
/* Slot bytes a search sends ahead of the first step: its two reads. */
#define TM_STEP_READS		2

/* Whether @echo can come back for the slot byte @slot. */
static int tm_slot_echo_ok(unsigned char slot, unsigned char echo)
{
	if (slot == VELKOR_BIT_ZERO)
		return echo == VELKOR_BIT_ZERO;
	return tm_core_slot_echo_possible(echo);
}

/* Data bytes the next batch carries of @left. */
static unsigned int tm_group(unsigned int left)
{
	return left < TM_BATCH_BYTES ? left : TM_BATCH_BYTES;
}

/* Sends @n slot bytes; their echoes are due from here. */
static int tm_slots_send(struct tm_bus *bus, const unsigned char *slots,
			 unsigned int n)
{
	int r = bus->ops->write(bus, slots, (int)n);

	if (r < 0) {
		bus->ops->flush(bus);
		return r;
	}
	return 0;
}

/* Takes the echoes of @n slot bytes sent and judges each. */
static int tm_slots_take(struct tm_bus *bus, const unsigned char *slots,
			 unsigned char *echo, unsigned int n)
{
	unsigned int got = 0, i;
	int r;

	while (got < n) {
		r = bus->ops->read(bus, echo + got, (int)(n - got));
		if (r < 0)
			goto fail;
		if (r == 0) {
			r = -EIO;
			goto fail;
		}
		got += (unsigned int)r;
	}
	for (i = 0; i < n; i++)
		if (!tm_slot_echo_ok(slots[i], echo[i])) {
			bus->impossible++;
			r = -EIO;
			goto fail;
		}
	return 0;
fail:
	/* Echoes still due must not pass for those of the next batch. */
	bus->ops->flush(bus);
	return r;
}

/* Whether the first @n echoes came back exactly as their slots went. */
static int tm_slots_as_sent(struct tm_bus *bus, const unsigned char *slots,
			    const unsigned char *echo, unsigned int n)
{
	unsigned int i;

	/* A 1 the line pulled low was not written as sent. */
	for (i = 0; i < n; i++)
		if (echo[i] != slots[i]) {
			bus->impossible++;
			return -EIO;
		}
	return 0;
}

int tm_slots_touch(struct tm_bus *bus, const unsigned char *slots,
		   unsigned char *echo, unsigned int n)
{
	int r;

	if (!n || n > TM_BATCH_SLOTS)
		return -EINVAL;
	r = tm_slots_send(bus, slots, n);
	return r ? r : tm_slots_take(bus, slots, echo, n);
}

/* Write slots for @len bytes (at most a batch) of @data into @slots. */
static unsigned int tm_slots_encode(const unsigned char *data,
				    unsigned int len, unsigned char *slots)
{
	unsigned int i, k;

	for (i = 0; i < len; i++)
		for (k = 0; k < VELKOR_BITS_PER_BYTE; k++)
			slots[i * VELKOR_BITS_PER_BYTE + k] =
				(data[i] >> k) & 1 ?
				VELKOR_BIT_ONE : VELKOR_BIT_ZERO;
	return len * VELKOR_BITS_PER_BYTE;
}

int tm_slots_write(struct tm_bus *bus, const unsigned char *data,
		   unsigned int len)
{
	unsigned char slots[TM_BATCH_SLOTS], echo[TM_BATCH_SLOTS];
	unsigned int done = 0, group, n;
	int r;

	while (done < len) {
		group = tm_group(len - done);
		n = tm_slots_encode(data + done, group, slots);
		r = tm_slots_touch(bus, slots, echo, n);
		if (!r)
			r = tm_slots_as_sent(bus, slots, echo, n);
		if (r)
			return r;
		done += group;
	}
	return 0;
}

int tm_slots_collect(struct tm_bus *bus, struct tm_slots_ahead *ahead)
{
	unsigned char echo[TM_BATCH_SLOTS];
	unsigned int n = ahead->n;
	int r;

	if (!n)
		return 0;
	ahead->n = 0;
	r = tm_slots_take(bus, ahead->slots, echo, n);
	return r ? r : tm_slots_as_sent(bus, ahead->slots, echo, n);
}

int tm_slots_write_ahead(struct tm_bus *bus, struct tm_slots_ahead *ahead,
			 const unsigned char *data, unsigned int len)
{
	unsigned int done = 0, group, n;
	int r;

	while (done < len) {
		group = tm_group(len - done);
		if (ahead->n + group * VELKOR_BITS_PER_BYTE > TM_BATCH_SLOTS) {
			r = tm_slots_collect(bus, ahead);
			if (r)
				return r;
		}
		n = tm_slots_encode(data + done, group,
				    ahead->slots + ahead->n);
		r = tm_slots_send(bus, ahead->slots + ahead->n, n);
		if (r) {
			ahead->n = 0;
			return r;
		}
		ahead->n += n;
		done += group;
	}
	return 0;
}

int tm_slots_read_after(struct tm_bus *bus, struct tm_slots_ahead *ahead,
			unsigned char *buf, unsigned int len)
{
	unsigned char echo[TM_BATCH_SLOTS];
	unsigned int group, first, n, total;
	int r;

	if (!len)
		return tm_slots_collect(bus, ahead);
	if (!ahead->n)
		return tm_slots_read(bus, buf, len);
	group = tm_group(len);
	n = group * VELKOR_BITS_PER_BYTE;
	if (ahead->n + n > TM_BATCH_SLOTS) {
		r = tm_slots_collect(bus, ahead);
		return r ? r : tm_slots_read(bus, buf, len);
	}
	/* The read slots go out behind the writes; all echoes come together. */
	first = ahead->n;
	total = first + n;
	ahead->n = 0;
	memset(ahead->slots + first, VELKOR_BIT_ONE, n);
	r = tm_slots_send(bus, ahead->slots + first, n);
	if (!r)
		r = tm_slots_take(bus, ahead->slots, echo, total);
	if (!r)
		r = tm_slots_as_sent(bus, ahead->slots, echo, first);
	if (r)
		return r;
	r = tm_core_decode_slots(echo + first, buf, group);
	if (r) {
		bus->impossible++;
		return r;
	}
	return len > group ? tm_slots_read(bus, buf + group, len - group) : 0;
}

int tm_slots_read(struct tm_bus *bus, unsigned char *buf, unsigned int len)
{
	unsigned char slots[TM_BATCH_SLOTS], echo[TM_BATCH_SLOTS];
	unsigned int done = 0, group;
	int r;

	memset(slots, VELKOR_BIT_ONE, sizeof(slots));
	while (done < len) {
		group = tm_group(len - done);
		r = tm_slots_touch(bus, slots, echo,
				   group * VELKOR_BITS_PER_BYTE);
		if (r)
			return r;
		r = tm_core_decode_slots(echo, buf + done, group);
		if (r) {
			bus->impossible++;
			return r;
		}
		done += group;
	}
	return 0;
}

int tm_slots_bit(struct tm_bus *bus, int bit, unsigned char *seen)
{
	unsigned char slot = bit ? VELKOR_BIT_ONE : VELKOR_BIT_ZERO;
	unsigned char echo;
	int r = tm_slots_touch(bus, &slot, &echo, 1);

	if (r)
		return r;
	*seen = echo == VELKOR_BIT_ONE;
	return 0;
}

/* The step's result from the echoes of its two read slots. */
static unsigned char tm_step_bits(const unsigned char *echo)
{
	return (echo[0] == VELKOR_BIT_ONE ? TM_TRIPLET_ID : 0) |
	       (echo[1] == VELKOR_BIT_ONE ? TM_TRIPLET_COMP : 0);
}

/* The direction of a step whose read bits are @bits, @dir if both answered. */
static int tm_step_dir(unsigned char bits, int dir)
{
	if (!bits)
		return dir;
	return bits & TM_TRIPLET_ID ? 1 : 0;
}

/*
 * Sends the direction slot of a step (and, with @reads, the two read slots
 * of the next step), checks the direction came back as written, and leaves
 * the next step's read echoes in @next.
 */
static int tm_step_send(struct tm_bus *bus, int dir, int reads,
			unsigned char *next)
{
	unsigned char slots[TM_STEP_SLOTS] = {
		dir ? VELKOR_BIT_ONE : VELKOR_BIT_ZERO,
		VELKOR_BIT_ONE, VELKOR_BIT_ONE
	};
	unsigned char echo[TM_STEP_SLOTS];
	int r;

	r = tm_slots_touch(bus, slots, echo, reads ? TM_STEP_SLOTS : 1);
	if (r)
		return r;
	if (echo[0] != slots[0]) {
		bus->impossible++;
		return -EIO;
	}
	if (reads)
		memcpy(next, echo + 1, TM_STEP_READS);
	return 0;
}

int tm_slots_triplet(struct tm_bus *bus, int dir, unsigned char *res)
{
	static const unsigned char reads[TM_STEP_READS] = {
		VELKOR_BIT_ONE, VELKOR_BIT_ONE
	};
	unsigned char echo[TM_STEP_READS], bits;
	int r;

	r = tm_slots_touch(bus, reads, echo, TM_STEP_READS);
	if (r)
		return r;
	bits = tm_step_bits(echo);
	if (bits == TM_TRIPLET_NONE) {
		*res = bits;
		return 0;
	}
	dir = tm_step_dir(bits, dir);
	r = tm_step_send(bus, dir, 0, NULL);
	if (r)
		return r;
	*res = bits | (dir ? TM_TRIPLET_DIR : 0);
	return 0;
}

/* Search steps one batch carries when the directions are known. */
#define TM_VERIFY_STEPS		(TM_BATCH_SLOTS / TM_STEP_SLOTS)

/* Bit @bit of @rom (family in the lowest byte). */
static unsigned int tm_rom_bit(unsigned long long rom, unsigned int bit)
{
	return (unsigned int)(rom >> bit) & 1;
}

/*
 * The slots of the search steps from @bit along @path (family in the
 * lowest byte), as many as one batch carries: two read slots and the
 * direction each. Returns the number of steps.
 */
static unsigned int tm_steps_along(unsigned long long path, unsigned int bit,
				   unsigned char *slots)
{
	unsigned int steps, i;

	steps = TM_ROM_BITS - bit < TM_VERIFY_STEPS ?
		TM_ROM_BITS - bit : TM_VERIFY_STEPS;
	for (i = 0; i < steps; i++) {
		slots[i * TM_STEP_SLOTS] = VELKOR_BIT_ONE;
		slots[i * TM_STEP_SLOTS + 1] = VELKOR_BIT_ONE;
		slots[i * TM_STEP_SLOTS + 2] = tm_rom_bit(path, bit + i) ?
			VELKOR_BIT_ONE : VELKOR_BIT_ZERO;
	}
	return steps;
}

int tm_search_verify(struct tm_bus *bus, const unsigned char *rom)
{
	static const unsigned char cmd = TM_CMD_SEARCH_ROM;
	unsigned char slots[TM_VERIFY_STEPS * TM_STEP_SLOTS];
	unsigned char echo[TM_VERIFY_STEPS * TM_STEP_SLOTS];
	unsigned long long path = 0;
	unsigned int bit = 0, steps, i, b, held;
	int r;

	for (i = 0; i < TM_CORE_ROM_SIZE; i++)
		path |= (unsigned long long)rom[i] << (VELKOR_BITS_PER_BYTE * i);
	r = tm_core_presence(bus);
	if (!r)
		r = tm_slots_write(bus, &cmd, 1);
	while (!r && bit < TM_ROM_BITS) {
		steps = tm_steps_along(path, bit, slots);
		r = tm_slots_touch(bus, slots, echo, steps * TM_STEP_SLOTS);
		for (i = 0; !r && i < steps; i++) {
			b = slots[i * TM_STEP_SLOTS + 2] == VELKOR_BIT_ONE;
			/* The device holds low the read of its bit's opposite. */
			held = echo[i * TM_STEP_SLOTS + (b ? 1 : 0)];
			if (echo[i * TM_STEP_SLOTS + 2] !=
			    slots[i * TM_STEP_SLOTS + 2]) {
				bus->impossible++;
				r = -EIO;
			} else if (held == VELKOR_BIT_ONE) {
				r = -ENXIO;
			}
		}
		bit += steps;
	}
	return r;
}

/* Whether @rom (family in the lowest byte) is one a device can have. */
static int tm_rom_valid(unsigned long long rom)
{
	unsigned char id[TM_CORE_ROM_SIZE];
	unsigned int i;

	if (!rom)
		return 0;
	for (i = 0; i < TM_CORE_ROM_SIZE; i++)
		id[i] = (unsigned char)(rom >> (VELKOR_BITS_PER_BYTE * i));
	return CalcTMCrc(id, sizeof(id)) == 0;
}

/*
 * One pass of the search: the path of @last up to bit @desc, 1 at @desc,
 * 0 after it where both bits answer. The ROM found in *@rom, the last bit
 * where both answered and 0 was taken in *@zero (-1 for none).
 */
static int tm_search_pass(struct tm_bus *bus, unsigned char cmd,
			  unsigned long long last, int desc,
			  unsigned long long *rom, int *zero)
{
	static const unsigned char reads[TM_STEP_READS] = {
		VELKOR_BIT_ONE, VELKOR_BIT_ONE
	};
	unsigned char echo[TM_STEP_READS], bits;
	unsigned long long found = 0;
	int i, dir, r;

	r = tm_core_presence(bus);
	if (r)
		return r;
	r = tm_slots_write(bus, &cmd, 1);
	if (!r)
		r = tm_slots_touch(bus, reads, echo, TM_STEP_READS);
	if (r)
		return r;
	*zero = -1;
	for (i = 0; i < TM_ROM_BITS; i++) {
		bits = tm_step_bits(echo);
		/* Everyone answered the reset, nobody the step: gone, or noise. */
		if (bits == TM_TRIPLET_NONE)
			return -EIO;
		if (i < desc)
			dir = (int)((last >> i) & 1);
		else
			dir = i == desc;
		dir = tm_step_dir(bits, dir);
		if (!bits && !dir)
			*zero = i;
		found |= (unsigned long long)dir << i;
		r = tm_step_send(bus, dir, i + 1 < TM_ROM_BITS, echo);
		if (r)
			return r;
	}
	*rom = found;
	return 0;
}

/*
 * One pass along @known[@at]: each step's two read bits must be what the
 * devices of @known still selected on that path give (the id read is held
 * low by those whose bit is 0, its complement by those whose bit is 1).
 * 0 when they are, 1 when the line differs, or a negative error.
 */
static int tm_known_pass(struct tm_bus *bus, unsigned char cmd,
			 const unsigned long long *known, unsigned int n,
			 unsigned int at)
{
	unsigned char slots[TM_VERIFY_STEPS * TM_STEP_SLOTS];
	unsigned char echo[TM_VERIFY_STEPS * TM_STEP_SLOTS];
	unsigned long long path = known[at], prefix;
	unsigned int bit = 0, steps, i, j, b, zero, one;
	int r;

	r = tm_core_presence(bus);
	if (r == -ENXIO)
		return 1;
	if (!r)
		r = tm_slots_write(bus, &cmd, 1);
	while (!r && bit < TM_ROM_BITS) {
		steps = tm_steps_along(path, bit, slots);
		r = tm_slots_touch(bus, slots, echo, steps * TM_STEP_SLOTS);
		for (i = 0; !r && i < steps; i++, bit++) {
			if (echo[i * TM_STEP_SLOTS + 2] !=
			    slots[i * TM_STEP_SLOTS + 2]) {
				bus->impossible++;
				return -EIO;
			}
			/* The known devices still on this path, by their bit. */
			prefix = bit ? path & ((1ULL << bit) - 1) : 0;
			zero = 0;
			one = 0;
			for (j = 0; j < n; j++) {
				if (bit && (known[j] & ((1ULL << bit) - 1)) != prefix)
					continue;
				b = tm_rom_bit(known[j], bit);
				zero |= !b;
				one |= b;
			}
			if ((echo[i * TM_STEP_SLOTS] != VELKOR_BIT_ONE) != zero ||
			    (echo[i * TM_STEP_SLOTS + 1] != VELKOR_BIT_ONE) != one)
				return 1;
		}
	}
	return r;
}

int tm_search_known(struct tm_bus *bus, unsigned char cmd,
		    const unsigned long long *known, unsigned int n)
{
	unsigned int at;
	int r;

	if (cmd != TM_CMD_SEARCH_ROM || !n)
		return 1;
	for (at = 0; at < n; at++) {
		r = tm_known_pass(bus, cmd, known, n, at);
		if (r)
			return r;
	}
	return 0;
}

int tm_search_cached(struct tm_bus *bus, unsigned char cmd,
		     unsigned long long *found, unsigned int max,
		     unsigned int known)
{
	int r;

	if (known && known <= max) {
		r = tm_search_known(bus, cmd, found, known);
		if (r <= 0)
			return r ? r : (int)known;
	}
	return tm_search(bus, cmd, found, max);
}

int tm_search(struct tm_bus *bus, unsigned char cmd, unsigned long long *found,
	      unsigned int max)
{
	unsigned long long rom = 0, last = 0;
	unsigned int count = 0, i;
	int desc = TM_ROM_BITS, zero, r;

	if (cmd != TM_CMD_SEARCH_ROM && cmd != TM_CMD_ALARM_SEARCH)
		return -EINVAL;
	while (count < max) {
		r = tm_search_pass(bus, cmd, last, desc, &rom, &zero);
		if (r == -ENXIO && !count)
			return 0;	/* nobody on the line */
		if (r)
			return r == -ENXIO ? -EIO : r;
		if (!tm_rom_valid(rom))
			return -EIO;
		for (i = 0; i < count; i++)
			if (found[i] == rom)
				return -EIO;	/* a tree has no loops */
		found[count++] = rom;
		if (zero < 0)
			break;
		last = rom;
		desc = zero;
	}
	return (int)count;
}
