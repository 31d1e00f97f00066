// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * Tests of the line-level simulator: the driver core over velkor, the
 * simulated adapter and line, and the key model, with line and serial
 * faults. Everything runs at simulation speed; busy-waits are counted.
 */
#include <errno.h>
#include <stdint.h>
#include <string.h>

#include "ktest.h"
#include "tm_line.h"
#include "tm_line_core.h"

#define MEM_SIZE	512
#define LOG_MAX		8
#define LOG_TEXT	128

/* Family 02, serial 0000000001B81C, CRC A2: a valid ROM. */
static const unsigned char rom_a[8] = {
	0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2
};
/* Family 08, serial 0000DEADBEEF; main() puts its CRC into the last byte. */
static unsigned char rom_b[8] = { 0x08, 0xEF, 0xBE, 0xAD, 0xDE, 0, 0, 0 };

static unsigned char mem[MEM_SIZE];
static unsigned char shadow[MEM_SIZE];
static struct tm_line *line;

static struct {
	unsigned int n;
	int level[LOG_MAX];
	char text[LOG_MAX][LOG_TEXT];
} logged;

static void log_sink(void *ctx, int level, const char *text)
{
	(void)ctx;
	if (logged.n < LOG_MAX) {
		logged.level[logged.n] = level;
		strncpy(logged.text[logged.n], text, LOG_TEXT - 1);
	}
	logged.n++;
}

/* Bit-at-a-time CRC-8/MAXIM, kept apart from the code under test. */
static unsigned char crc8(const unsigned char *p, unsigned int n)
{
	unsigned char crc = 0;
	unsigned int i, k;

	for (i = 0; i < n; i++)
		for (k = 0; k < 8; k++)
			crc = (unsigned char)(((crc ^ (p[i] >> k)) & 1) ?
					      (crc >> 1) ^ 0x8C : crc >> 1);
	return crc;
}

static void fill_memory(void)
{
	unsigned int i;

	for (i = 0; i < MEM_SIZE; i++)
		mem[i] = (unsigned char)(i * 7 + (i >> 8) + 3);
	memcpy(shadow, mem, sizeof(mem));
}

/* A fresh line with @rom (or none) and a known memory image. */
static void fresh(const unsigned char *rom)
{
	fill_memory();
	KT_EQ(tm_line_init(line, rom, mem, sizeof(mem)), 0);
	memset(&logged, 0, sizeof(logged));
}

static void presence_follows_the_key_and_the_line(void)
{
	fresh(rom_a);
	KT_EQ(tm_line_presence(line), 0);
	KT_EQ(tm_line_reset(line), 0);
	tm_line_detach(line);
	KT_EQ(tm_line_presence(line), -ENXIO);
	KT_EQ(tm_line_reset(line), -ENXIO);
	tm_line_attach(line, rom_b);
	KT_EQ(tm_line_presence(line), 0);
	tm_line_fault_short(line, 1);
	KT_EQ(tm_line_presence(line), -EIO);
	tm_line_clear_faults(line);
	KT_EQ(tm_line_presence(line), 0);

	fresh(NULL);
	KT_EQ(tm_line_key_present(line), 0);
	KT_EQ(tm_line_presence(line), -ENXIO);
}

static void init_refuses_memory_it_cannot_address(void)
{
	KT_EQ(tm_line_init(line, rom_a, mem, TM_LINE_MEM_MAX + 1), -EINVAL);
	KT_EQ(tm_line_init(line, rom_a, NULL, 16), -EINVAL);
	KT_EQ(tm_line_init(line, rom_a, NULL, 0), 0);
	KT_EQ(tm_line_set_memory(line, NULL, 1), -EINVAL);
}

/* Straight through velkor: the key's 0 bits come back below 0xFF. */
static void slots_the_key_pulls_low_read_back_below_ff(void)
{
	static const unsigned char read_rom = 0x33;
	static const unsigned char ones[8] = {
		0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF
	};
	struct tm_port *port;
	unsigned int i, wrong = 0;
	int bit;

	fresh(rom_a);
	port = &line->bus.port;
	KT_EQ(tm_line_presence(line), 0);
	KT_EQ(write_1w(port, &read_rom, 1), 8);
	KT_EQ(write_1w(port, ones, 8), 64);
	for (i = 0; i < 64; i++) {
		bit = (rom_a[i / 8] >> (i % 8)) & 1;
		if (bit ? port->rx_buf[i] != 0xFF : port->rx_buf[i] >= 0xFF)
			wrong++;
	}
	KT_EQ(wrong, 0);
}

static void read_rom_checks_what_the_key_sends(void)
{
	static const unsigned char zeros[8];
	static const unsigned char all_ff[8] = {
		0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF
	};
	unsigned char bad_crc[8];
	static const unsigned char untouched[8] = {
		0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A
	};
	const struct {
		const unsigned char *rom;
		int result;
	} cases[] = {
		{ rom_a, 0 },
		{ rom_b, 0 },
		{ bad_crc, -EIO },
		{ zeros, -EIO },
		{ all_ff, -ENXIO },
		{ NULL, -ENXIO },
	};
	unsigned char out[8];
	unsigned int i;

	memcpy(bad_crc, rom_a, sizeof(bad_crc));
	bad_crc[7] ^= 0x01;
	for (i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
		fresh(cases[i].rom);
		memset(out, 0x5A, sizeof(out));
		KT_EQ(tm_line_read_rom(line, out), cases[i].result);
		if (cases[i].result == 0)
			KT_MEM(out, cases[i].rom, 8);
		else
			KT_MEM(out, untouched, 8);
	}
}

static void a_flipped_rom_bit_is_caught_by_the_crc(void)
{
	unsigned char out[8];
	unsigned int k, missed = 0;

	for (k = 0; k < 64; k++) {
		fresh(rom_a);
		tm_line_fault_flip(line, TM_LINE_ROM_FIRST_SLOT + k, 0, 1);
		if (tm_line_read_rom(line, out) != -EIO)
			missed++;
		/* Used up: the next request reads the ROM intact. */
		if (tm_line_read_rom(line, out) != 0 || memcmp(out, rom_a, 8))
			missed++;
	}
	KT_EQ(missed, 0);

	fresh(rom_a);
	tm_line_fault_flip(line, TM_LINE_ROM_FIRST_SLOT + 13, 0, 0);
	KT_EQ(tm_line_read_rom(line, out), -EIO);
	KT_EQ(tm_line_read_rom(line, out), -EIO);
	KT_EQ(tm_line_read_rom(line, out), -EIO);

	fresh(rom_a);
	tm_line_fault_flip(line, TM_LINE_ROM_FIRST_SLOT + 13, 2, 1);
	KT_EQ(tm_line_read_rom(line, out), 0);
	KT_EQ(tm_line_read_rom(line, out), 0);
	KT_EQ(tm_line_read_rom(line, out), -EIO);
	KT_EQ(tm_line_read_rom(line, out), 0);
}

static void a_flipped_command_bit_is_caught_by_the_echo(void)
{
	unsigned char out[8], buf[4];
	unsigned int slot;

	for (slot = 0; slot < 8; slot++) {
		fresh(rom_a);
		tm_line_fault_flip(line, slot, 0, 1);
		KT_EQ(tm_line_read_rom(line, out), -EIO);
		tm_line_fault_flip(line, slot, 0, 1);
		KT_EQ(tm_line_skip_rom(line), -EIO);
	}
	/* In the address of Read Memory (slots 16 to 31). */
	fresh(rom_a);
	tm_line_fault_flip(line, 20, 0, 1);
	KT_EQ(tm_line_read(line, 0, buf, sizeof(buf)), -EIO);
}

static void a_key_leaving_mid_transaction_fails_it(void)
{
	unsigned char out[8], buf[40];

	fresh(rom_a);
	tm_line_fault_remove(line, TM_LINE_ROM_FIRST_SLOT + 20, 0);
	KT_CHECK(tm_line_read_rom(line, out) < 0);
	KT_EQ(tm_line_key_present(line), 0);
	KT_EQ(tm_line_presence(line), -ENXIO);

	/* Read Memory: Skip ROM, command and address take slots 0 to 31. */
	fresh(rom_a);
	tm_line_fault_remove(line, 32 + 8 * 10, 0);
	KT_EQ(tm_line_read(line, 0, buf, sizeof(buf)), -ENXIO);
}

static void read_memory_delivers_what_fits(void)
{
	static const struct {
		unsigned int off, n;
		int result;
	} cases[] = {
		{ 0, 16, 16 },
		{ 5, 40, 40 },
		{ 31, 2, 2 },
		{ 300, 1, 1 },
		{ 500, 100, 12 },
		{ 511, 1, 1 },
		{ 512, 10, 0 },
		{ 600, 1, 0 },
		{ 0, 0, 0 },
		{ 0, MEM_SIZE, MEM_SIZE },
	};
	static unsigned char buf[MEM_SIZE + 100];
	unsigned int i;
	int r;

	for (i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
		fresh(rom_a);
		memset(buf, 0xEE, sizeof(buf));
		r = tm_line_read(line, cases[i].off, buf, cases[i].n);
		KT_EQ(r, cases[i].result);
		if (r > 0)
			KT_MEM(buf, mem + cases[i].off, (size_t)r);
		KT_EQ(buf[r > 0 ? r : 0], 0xEE);
	}
	fresh(NULL);
	KT_EQ(tm_line_read(line, 0, buf, 4), -ENXIO);
	KT_EQ(tm_line_read(line, 600, buf, 4), -ENXIO);
}

static void write_memory_goes_page_by_page_and_stores_what_fits(void)
{
	static const struct {
		unsigned int off, n;
		int result;
	} cases[] = {
		{ 0, 5, 5 },
		{ 30, 10, 10 },		/* two pages */
		{ 32, 32, 32 },		/* one whole page */
		{ 1, 100, 100 },	/* four pages */
		{ 500, 20, 12 },	/* the end of the memory */
		{ 512, 4, 0 },
		{ 100, 0, 0 },
	};
	unsigned char data[128];
	unsigned int i, j;
	int r;

	for (i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
		fresh(rom_a);
		for (j = 0; j < sizeof(data); j++)
			data[j] = (unsigned char)(0xA0 ^ (j * 13) ^ i);
		r = tm_line_write(line, cases[i].off, data, cases[i].n);
		KT_EQ(r, cases[i].result);
		if (r > 0)
			memcpy(shadow + cases[i].off, data, (size_t)r);
		KT_MEM(mem, shadow, sizeof(mem));
	}
	fresh(NULL);
	KT_EQ(tm_line_write(line, 0, data, 4), -ENXIO);
	KT_MEM(mem, shadow, sizeof(mem));
}

/*
 * Slots of a page write after each reset: Write Scratchpad is Skip ROM
 * (0-7), 0x0F (8-15), TA1 (16-23), TA2 (24-31), data from 32; Read
 * Scratchpad reads TA1 from slot 16; Copy Scratchpad sends TA1 from 16.
 * Each fault must fail the write and leave the memory as it was.
 */
static void a_write_that_goes_wrong_leaves_the_memory_alone(void)
{
	static const struct {
		int remove;
		unsigned int slot, skip;
		int result;
	} cases[] = {
		{ 0, 32 + 5, 0, -EIO },		/* data bit into the pad */
		{ 0, 16 + 40, 1, -EIO },	/* data bit read back */
		{ 0, 16 + 2, 1, -EIO },		/* TA1 read back */
		{ 0, 16 + 3, 2, -EIO },		/* TA1 of the copy */
		{ 1, 32 + 9, 0, -ENXIO },	/* key gone while writing */
		{ 1, 16 + 8 + 3, 2, -ENXIO },	/* key gone before the copy */
	};
	static const unsigned char data[8] = "written";
	unsigned int i;

	for (i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
		fresh(rom_a);
		if (cases[i].remove)
			tm_line_fault_remove(line, cases[i].slot,
					     cases[i].skip);
		else
			tm_line_fault_flip(line, cases[i].slot,
					   cases[i].skip, 1);
		KT_EQ(tm_line_write(line, 64, data, sizeof(data)),
		      cases[i].result);
		KT_MEM(mem, shadow, sizeof(mem));
	}

	/*
	 * The copy went through, but the final Read Scratchpad shows the
	 * done flag (E/S bit 7, slot 39) clear: the write cannot be
	 * confirmed and is reported failed, though the page was stored.
	 */
	fresh(rom_a);
	tm_line_fault_flip(line, 39, 3, 1);
	KT_EQ(tm_line_write(line, 64, data, sizeof(data)), -EIO);
	KT_MEM(mem + 64, data, sizeof(data));
}

/* Sends raw time slots: each bit of @bits (LSB first) as 0xFF or 0x00. */
static void raw_slots(struct tm_port *port, unsigned int bits,
		      unsigned int n)
{
	unsigned char slot[32];
	unsigned char echo[32];
	unsigned int i;

	for (i = 0; i < n; i++)
		slot[i] = (bits >> i) & 1 ? 0xFF : 0x00;
	KT_EQ(pl2303_write(port, slot, (int)n), n);
	KT_EQ(pl2303_read(port, echo, (int)n), n);
}

static void raw_byte(struct tm_port *port, unsigned char b)
{
	raw_slots(port, b, 8);
}

/* A write cut short inside a byte marks the scratchpad; no copy then. */
static void a_partial_byte_blocks_the_copy(void)
{
	static const unsigned char reset = 0xF0;
	struct tm_port *port;
	unsigned char echo;
	unsigned int i, es = 0;

	fresh(rom_a);
	port = &line->bus.port;
	KT_EQ(tm_pl2303_ops.set_baud(&line->bus, TM_BAUD_RESET), 0);
	KT_EQ(pl2303_write(port, &reset, 1), 1);
	KT_EQ(pl2303_read(port, &echo, 1), 1);
	KT_CHECK(echo < 0xF0);
	KT_EQ(tm_pl2303_ops.set_baud(&line->bus, TM_BAUD_DATA), 0);
	raw_byte(port, 0xCC);
	raw_byte(port, 0x0F);
	raw_byte(port, 0x40);
	raw_byte(port, 0x00);
	raw_byte(port, 0x11);
	raw_slots(port, 0x5, 3);	/* three bits of a second byte */

	/* Read Scratchpad: TA1, TA2, then E/S with the partial flag. */
	tm_line_presence(line);
	KT_EQ(tm_pl2303_ops.set_baud(&line->bus, TM_BAUD_DATA), 0);
	raw_byte(port, 0xCC);
	raw_byte(port, 0xAA);
	for (i = 0; i < 16; i++)
		raw_slots(port, 1, 1);
	for (i = 0; i < 8; i++) {
		unsigned char slot = 0xFF, back = 0;

		pl2303_write(port, &slot, 1);
		pl2303_read(port, &back, 1);
		if (back == 0xFF)
			es |= 1u << i;
	}
	KT_EQ(es, 0x20);

	/* Copy with exactly what the key reported: refused all the same. */
	tm_line_presence(line);
	raw_byte(port, 0xCC);
	raw_byte(port, 0x55);
	raw_byte(port, 0x40);
	raw_byte(port, 0x00);
	raw_byte(port, (unsigned char)es);
	KT_MEM(mem, shadow, sizeof(mem));
}

static void a_shorted_line_fails_everything(void)
{
	unsigned char buf[8];

	fresh(rom_a);
	tm_line_fault_short(line, 1);
	KT_EQ(tm_line_presence(line), -EIO);
	KT_EQ(tm_line_read_rom(line, buf), -EIO);
	KT_EQ(tm_line_skip_rom(line), -EIO);
	KT_EQ(tm_line_read(line, 0, buf, sizeof(buf)), -EIO);
	KT_EQ(tm_line_write(line, 0, buf, sizeof(buf)), -EIO);
	KT_MEM(mem, shadow, sizeof(mem));
	tm_line_fault_short(line, 0);
	KT_EQ(tm_line_read_rom(line, buf), 0);
}

static void serial_failures_are_passed_up_and_reported(void)
{
	unsigned char out[8];

	/* The reset pulse's own write passes; velkor's first one fails. */
	fresh(rom_a);
	tm_line_fault_serial_write(line, 1, 1, -5);
	KT_EQ(tm_line_read_rom(line, out), -5);
	KT_EQ(logged.n, 1);
	KT_EQ(logged.level[0], 6);
	KT_CHECK(strcmp(logged.text[0], "write ll failed -5\n") == 0);
	KT_EQ(tm_line_read_rom(line, out), 0);

	fresh(rom_a);
	tm_line_fault_serial_read(line, 1, 1, -71);
	KT_EQ(tm_line_read_rom(line, out), -71);
	KT_EQ(logged.n, 1);
	KT_CHECK(strcmp(logged.text[0], "read ll failed -71\n") == 0);

	/* The reset pulse itself fails: the driver core says nothing. */
	fresh(rom_a);
	tm_line_fault_serial_write(line, 0, 0, -19);
	KT_EQ(tm_line_presence(line), -19);
	KT_EQ(tm_line_presence(line), -19);
	KT_EQ(logged.n, 0);
	tm_line_fault_serial_write(line, 0, 0, 0);
	KT_EQ(tm_line_presence(line), 0);
}

/*
 * Physical figures: 8 serial bytes per data byte each way, and 10 ms of
 * busy-wait per started group of 8 bytes. A read of n bytes sends Skip
 * ROM, then command and address, then n read bytes, between two resets.
 */
static void counters_show_the_cost_per_data_byte(void)
{
	static const unsigned int sizes[] = { 1, 8, 9, 32, 100, MEM_SIZE };
	static unsigned char buf[MEM_SIZE];
	struct tm_line_stats st;
	unsigned long long groups, bytes;
	unsigned int i;

	for (i = 0; i < sizeof(sizes) / sizeof(sizes[0]); i++) {
		fresh(rom_a);
		KT_EQ(tm_line_read(line, 0, buf, sizes[i]), sizes[i]);
		tm_line_get_stats(line, &st);
		bytes = 1 + 3 + sizes[i];
		groups = 1 + 1 + (sizes[i] + 7) / 8;
		KT_EQ(st.data_slots, 8 * bytes);
		KT_EQ(st.serial_out, 8 * bytes + 2);
		KT_EQ(st.serial_in, 8 * bytes + 2);
		KT_EQ(st.resets, 2);
		KT_EQ(st.overruns, 0);
		KT_EQ(st.delay_calls, 10 * groups);
		KT_EQ(st.delay_us, 10000 * groups);
	}
	tm_line_clear_stats(line);
	tm_line_get_stats(line, &st);
	KT_EQ(st.serial_out + st.delay_calls + st.delay_us, 0);
}

/*
 * The memory keys whose commands the core speaks, by family code; every
 * other family has no known size (the module parameter sets one).
 */
static void family_codes_give_the_key_memory_sizes(void)
{
	static const struct {
		unsigned char family;
		unsigned int size;
	} known[] = {
		{ 0x04, 512 }, { 0x06, 512 }, { 0x08, 128 }, { 0x0A, 2048 },
		{ 0x0C, 8192 },
	};
	unsigned int i, f, sized = 0;

	for (i = 0; i < sizeof(known) / sizeof(known[0]); i++)
		KT_EQ(tm_core_family_mem_size(known[i].family), known[i].size);
	for (f = 0; f <= 0xFF; f++)
		if (tm_core_family_mem_size((unsigned char)f))
			sized++;
	KT_EQ(sized, sizeof(known) / sizeof(known[0]));
	/* The ID-only key is known to have none; an unknown family is not. */
	KT_CHECK(tm_core_family_known(0x01));
	KT_EQ(tm_core_family_mem_size(0x01), 0);
	KT_CHECK(!tm_core_family_known(0x28));
}

/*
 * A read slot comes back as sent (a 1) or with its lowest bits held low
 * by the key (a 0): 9 of the 256 byte values. Anything else is noise on
 * the line and fails the decoding instead of reading as a 0 bit.
 */
static void only_echoes_a_key_can_give_decode_as_read_slots(void)
{
	unsigned char echo[VELKOR_BITS_PER_BYTE], byte = 0x55;
	unsigned int v, possible = 0, k;

	for (v = 0; v <= 0xFF; v++)
		if (tm_core_slot_echo_possible((unsigned char)v))
			possible++;
	KT_EQ(possible, VELKOR_BITS_PER_BYTE + 1);
	KT_CHECK(tm_core_slot_echo_possible(0xFE));
	KT_CHECK(tm_core_slot_echo_possible(0x00));
	KT_CHECK(!tm_core_slot_echo_possible(0x5A));
	KT_CHECK(!tm_core_slot_echo_possible(0x0F));

	for (k = 0; k < VELKOR_BITS_PER_BYTE; k++)
		echo[k] = (k % 2) ? 0xF0 : 0xFF;	/* 0x55, LSB first */
	KT_EQ(tm_core_decode_slots(echo, &byte, 1), 0);
	KT_EQ(byte, 0x55);
	echo[3] = 0x5A;
	KT_EQ(tm_core_decode_slots(echo, &byte, 1), -EIO);
}

static uint32_t rng_next(uint32_t *state)
{
	uint32_t x = *state;

	x ^= x << 13;
	x ^= x >> 17;
	x ^= x << 5;
	*state = x;
	return x;
}

static void random_writes_and_reads_match_a_plain_copy(void)
{
	enum { ROUNDS = 120, MAX_IO = 80 };
	unsigned char data[MAX_IO], got[MAX_IO];
	uint32_t seed = 0xC0FFEE11u;
	unsigned int round, j, off, n, want, bad = 0;
	int r;

	fresh(rom_b);
	for (round = 0; round < ROUNDS; round++) {
		off = rng_next(&seed) % (MEM_SIZE + 8);
		n = rng_next(&seed) % MAX_IO;
		want = off >= MEM_SIZE ? 0 :
		       (n < MEM_SIZE - off ? n : MEM_SIZE - off);
		if (rng_next(&seed) & 1) {
			for (j = 0; j < n; j++)
				data[j] = (unsigned char)rng_next(&seed);
			r = tm_line_write(line, off, data, n);
			if (want)
				memcpy(shadow + off, data, want);
		} else {
			r = tm_line_read(line, off, got, n);
			if (r == (int)want && want &&
			    memcmp(got, shadow + off, want))
				bad++;
		}
		if (r != (int)want)
			bad++;
	}
	KT_EQ(bad, 0);
	KT_MEM(mem, shadow, sizeof(mem));
}

int main(void)
{
	int status;

	rom_b[7] = crc8(rom_b, 7);
	line = tm_line_new();
	if (!line)
		return 1;
	tm_line_set_log(log_sink, NULL);

	KT_RUN(presence_follows_the_key_and_the_line);
	KT_RUN(init_refuses_memory_it_cannot_address);
	KT_RUN(slots_the_key_pulls_low_read_back_below_ff);
	KT_RUN(read_rom_checks_what_the_key_sends);
	KT_RUN(a_flipped_rom_bit_is_caught_by_the_crc);
	KT_RUN(a_flipped_command_bit_is_caught_by_the_echo);
	KT_RUN(a_key_leaving_mid_transaction_fails_it);
	KT_RUN(read_memory_delivers_what_fits);
	KT_RUN(write_memory_goes_page_by_page_and_stores_what_fits);
	KT_RUN(a_write_that_goes_wrong_leaves_the_memory_alone);
	KT_RUN(a_partial_byte_blocks_the_copy);
	KT_RUN(a_shorted_line_fails_everything);
	KT_RUN(serial_failures_are_passed_up_and_reported);
	KT_RUN(counters_show_the_cost_per_data_byte);
	KT_RUN(random_writes_and_reads_match_a_plain_copy);
	KT_RUN(family_codes_give_the_key_memory_sizes);
	KT_RUN(only_echoes_a_key_can_give_decode_as_read_slots);

	status = ktest_report();
	tm_line_free(line);
	return status;
}
