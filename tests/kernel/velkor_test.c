// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * Tests of the velkor transport and CRC, built from the very source file
 * the kernel module uses, against the recording fakes.
 */
#include <stdint.h>
#include <string.h>

#include "ktest.h"
#include "velkor.h"
#include "velkor_fakes.h"

#define EFAULT_RESULT	(-14)
#define UDELAY_1000US	4295000L
#define SETTLE_DELAYS	10
#define STALE		0x77

static unsigned char tx_bits[VELKOR_TX_BITS_SIZE];
static unsigned char rx_buf[VELKOR_RX_BUF_SIZE];
static struct tm_port port = { tx_bits, rx_buf };

static void fresh_port(void)
{
	fake_reset();
	memset(tx_bits, STALE, sizeof(tx_bits));
	memset(rx_buf, STALE, sizeof(rx_buf));
}

/* Every delay logged between calls @from and @to is one of 1000 us. */
static int delays_between(int from, int to)
{
	unsigned int i, n = 0;
	const struct fake_call *c;

	for (i = 0; (c = fake_nth(FAKE_UDELAY, i)) != NULL; i++) {
		int at = fake_index(FAKE_UDELAY, i);

		if (at > from && at < to && c->count == UDELAY_1000US)
			n++;
	}
	return (int)n;
}

/* Turns one chunk of serial bytes back into data bytes. */
static void decode_bits(const unsigned char *bits, unsigned int nbytes,
			unsigned char *out)
{
	unsigned int j, k;

	for (j = 0; j < nbytes; j++) {
		out[j] = 0;
		for (k = 0; k < 8; k++)
			if (bits[8 * j + k] == 0xFF)
				out[j] |= (unsigned char)(1u << k);
	}
}

static void write_1w_sends_a5_lsb_first_then_asks_for_16(void)
{
	static const unsigned char a5[] = { 0xA5 };
	static const unsigned char want[] = {
		0xFF, 0x00, 0xFF, 0x00, 0x00, 0xFF, 0x00, 0xFF
	};
	const int read_result[] = { 37 };
	const struct fake_call *wr, *rd, *clr;

	fresh_port();
	fake_script(FAKE_SERIAL_READ, read_result, 1);
	KT_EQ(write_1w(&port, a5, 1), 37);

	KT_EQ(fake_count(FAKE_SERIAL_WRITE), 1);
	KT_EQ(fake_count(FAKE_SERIAL_READ), 1);
	wr = fake_nth(FAKE_SERIAL_WRITE, 0);
	rd = fake_nth(FAKE_SERIAL_READ, 0);
	clr = fake_nth(FAKE_MEMSET, 0);
	if (!wr || !rd || !clr) {
		KT_CHECK(wr && rd && clr);
		return;
	}
	KT_CHECK(wr->port == &port);
	KT_CHECK(wr->buf == tx_bits);
	KT_EQ(wr->count, 8);
	KT_MEM(wr->data, want, sizeof(want));
	KT_CHECK(rd->port == &port);
	KT_CHECK(rd->buf == rx_buf);
	KT_EQ(rd->count, 16);

	/* Clear, send, ten settling delays of 1000 us, read; nothing else. */
	KT_CHECK(clr->buf == tx_bits);
	KT_EQ(clr->fill, 0);
	KT_EQ(clr->count, 8);
	KT_CHECK(fake_index(FAKE_MEMSET, 0) <
		 fake_index(FAKE_SERIAL_WRITE, 0));
	KT_EQ(delays_between(fake_index(FAKE_SERIAL_WRITE, 0),
			     fake_index(FAKE_SERIAL_READ, 0)), SETTLE_DELAYS);
	KT_EQ(fake_count(FAKE_UDELAY), SETTLE_DELAYS);
	KT_EQ(fake_count(FAKE_PRINT), 0);
	KT_EQ(fake_total(), 1 + 1 + SETTLE_DELAYS + 1);
}

static void write_1w_expands_bits_and_clears_only_its_part(void)
{
	static const struct {
		unsigned char data[2];
		unsigned int len;
		unsigned char bits[16];
	} cases[] = {
		{ { 0x00 }, 1, { 0, 0, 0, 0, 0, 0, 0, 0 } },
		{ { 0x01 }, 1, { 0xFF, 0, 0, 0, 0, 0, 0, 0 } },
		{ { 0x80 }, 1, { 0, 0, 0, 0, 0, 0, 0, 0xFF } },
		{ { 0x3C }, 1, { 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0 } },
		{ { 0xFF }, 1, { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
				 0xFF } },
		{ { 0x0F, 0xF0 }, 2, { 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0,
				       0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF } },
	};
	unsigned char untouched[VELKOR_TX_BITS_SIZE];
	const struct fake_call *wr;
	unsigned int i, n;

	memset(untouched, STALE, sizeof(untouched));
	for (i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
		n = 8 * cases[i].len;
		fresh_port();
		KT_EQ(write_1w(&port, cases[i].data, cases[i].len),
		      16 * cases[i].len);
		KT_MEM(tx_bits, cases[i].bits, n);
		KT_MEM(tx_bits + n, untouched, sizeof(tx_bits) - n);
		wr = fake_nth(FAKE_SERIAL_WRITE, 0);
		KT_CHECK(wr && wr->count == (long)n);
	}
}

static void write_1w_refuses_more_than_eight_bytes(void)
{
	static const unsigned char data[16];
	static const unsigned int lens[] = { 9, 16, 1000, 0xFFFFFFFFu };
	unsigned int i;

	for (i = 0; i < sizeof(lens) / sizeof(lens[0]); i++) {
		fresh_port();
		KT_EQ(write_1w(&port, data, lens[i]), EFAULT_RESULT);
		KT_EQ(fake_total(), 0);
		KT_EQ(tx_bits[0], STALE);
	}
}

static void write_1w_of_nothing_still_waits_and_reads(void)
{
	const int read_result[] = { 5 };
	const struct fake_call *wr, *rd;

	fresh_port();
	fake_script(FAKE_SERIAL_READ, read_result, 1);
	KT_EQ(write_1w(&port, NULL, 0), 5);
	wr = fake_nth(FAKE_SERIAL_WRITE, 0);
	rd = fake_nth(FAKE_SERIAL_READ, 0);
	KT_CHECK(wr && rd);
	if (wr && rd) {
		KT_EQ(wr->count, 0);
		KT_EQ(rd->count, 0);
	}
	KT_EQ(fake_count(FAKE_UDELAY), SETTLE_DELAYS);
	KT_EQ(tx_bits[0], STALE);
}

static void write_1w_failing_write_reports_and_stops(void)
{
	static const unsigned char one[] = { 0x5A };
	const int write_result[] = { -32 };
	const struct fake_call *msg;

	fresh_port();
	fake_script(FAKE_SERIAL_WRITE, write_result, 1);
	KT_EQ(write_1w(&port, one, 1), -32);
	KT_EQ(fake_count(FAKE_UDELAY), 0);
	KT_EQ(fake_count(FAKE_SERIAL_READ), 0);
	KT_EQ(fake_count(FAKE_PRINT), 1);
	msg = fake_nth(FAKE_PRINT, 0);
	if (msg)
		KT_CHECK(strcmp(msg->text, "\0016write ll failed -32\n") == 0);
}

static void write_1w_failing_read_reports_after_the_wait(void)
{
	static const unsigned char one[] = { 0x5A };
	const int read_result[] = { -71 };
	const struct fake_call *msg;

	fresh_port();
	fake_script(FAKE_SERIAL_READ, read_result, 1);
	KT_EQ(write_1w(&port, one, 1), -71);
	KT_EQ(fake_count(FAKE_UDELAY), SETTLE_DELAYS);
	KT_EQ(fake_count(FAKE_PRINT), 1);
	msg = fake_nth(FAKE_PRINT, 0);
	if (msg)
		KT_CHECK(strcmp(msg->text, "\0016read ll failed -71\n") == 0);
	KT_CHECK(fake_index(FAKE_SERIAL_READ, 0) < fake_index(FAKE_PRINT, 0));
}

static void fill_pattern(unsigned char *p, unsigned int n)
{
	unsigned int i;

	for (i = 0; i < n; i++)
		p[i] = (unsigned char)(0x11 * (i + 1) ^ (i << 5));
}

static void write_1wex_sends_20_bytes_as_8_8_4(void)
{
	unsigned char data[20], sent[8];
	const int read_results[] = { 100, 3, 300 };
	static const unsigned int counts[] = { 8, 8, 4 };
	const struct fake_call *wr, *rd;
	unsigned int i;

	fill_pattern(data, sizeof(data));
	fresh_port();
	fake_script(FAKE_SERIAL_READ, read_results, 3);
	/* A short count (3) is no failure; the next chunk starts at 16. */
	KT_EQ(write_1wEx(&port, data, sizeof(data)), 403);
	KT_EQ(fake_count(FAKE_SERIAL_WRITE), 3);
	KT_EQ(fake_count(FAKE_SERIAL_READ), 3);
	KT_EQ(fake_count(FAKE_UDELAY), 3 * SETTLE_DELAYS);
	for (i = 0; i < 3; i++) {
		wr = fake_nth(FAKE_SERIAL_WRITE, i);
		rd = fake_nth(FAKE_SERIAL_READ, i);
		if (!wr || !rd)
			continue;
		KT_EQ(wr->count, 8 * counts[i]);
		KT_EQ(rd->count, 16 * counts[i]);
		decode_bits(wr->data, counts[i], sent);
		KT_MEM(sent, data + 8 * i, counts[i]);
	}
}

static void write_1wex_stops_at_the_first_failing_chunk(void)
{
	unsigned char data[20];
	const int read_fails_second[] = { 128, -5 };
	const int write_fails_second[] = { 64, -5 };
	const struct fake_call *msg;

	fill_pattern(data, sizeof(data));

	fresh_port();
	fake_script(FAKE_SERIAL_READ, read_fails_second, 2);
	KT_EQ(write_1wEx(&port, data, sizeof(data)), -5);
	KT_EQ(fake_count(FAKE_SERIAL_WRITE), 2);
	KT_EQ(fake_count(FAKE_SERIAL_READ), 2);

	fresh_port();
	fake_script(FAKE_SERIAL_WRITE, write_fails_second, 2);
	KT_EQ(write_1wEx(&port, data, sizeof(data)), -5);
	KT_EQ(fake_count(FAKE_SERIAL_WRITE), 2);
	KT_EQ(fake_count(FAKE_SERIAL_READ), 1);
	msg = fake_nth(FAKE_PRINT, 0);
	KT_CHECK(msg && strcmp(msg->text, "\0016write ll failed -5\n") == 0);
}

/* Chunk counts both loops must produce for a given length. */
static const struct {
	unsigned int len;
	unsigned int nchunks;
	unsigned int chunk[4];
} chunk_cases[] = {
	{ 0, 0, { 0 } },
	{ 1, 1, { 1 } },
	{ 7, 1, { 7 } },
	{ 8, 1, { 8 } },
	{ 9, 2, { 8, 1 } },
	{ 16, 2, { 8, 8 } },
	{ 20, 3, { 8, 8, 4 } },
	{ 31, 4, { 8, 8, 8, 7 } },
};

#define NCHUNK_CASES (sizeof(chunk_cases) / sizeof(chunk_cases[0]))

static void write_1wex_chunks_by_eight(void)
{
	unsigned char data[32];
	unsigned int i, k;
	const struct fake_call *wr;

	fill_pattern(data, sizeof(data));
	for (i = 0; i < NCHUNK_CASES; i++) {
		fresh_port();
		KT_EQ(write_1wEx(&port, data, chunk_cases[i].len),
		      16 * chunk_cases[i].len);
		KT_EQ(fake_count(FAKE_SERIAL_WRITE), chunk_cases[i].nchunks);
		for (k = 0; k < chunk_cases[i].nchunks; k++) {
			wr = fake_nth(FAKE_SERIAL_WRITE, k);
			if (wr)
				KT_EQ(wr->count, 8 * chunk_cases[i].chunk[k]);
		}
		if (chunk_cases[i].len == 0)
			KT_EQ(fake_total(), 0);
	}
}

static void read_1wex_chunks_by_eight_into_place(void)
{
	unsigned char buf[32];
	struct tm_port other = { NULL, NULL };
	const struct fake_call *c;
	unsigned int i, k;

	for (i = 0; i < NCHUNK_CASES; i++) {
		fake_reset();
		KT_EQ(read_1wEx(&other, buf, chunk_cases[i].len),
		      chunk_cases[i].len);
		KT_EQ(fake_total(), chunk_cases[i].nchunks);
		for (k = 0; k < chunk_cases[i].nchunks; k++) {
			c = fake_nth(FAKE_READ_1W, k);
			if (!c)
				continue;
			KT_CHECK(c->port == &other);
			KT_CHECK(c->buf == buf + 8 * k);
			KT_EQ(c->count, chunk_cases[i].chunk[k]);
		}
	}
}

static void read_1wex_sums_and_stops_at_the_first_failure(void)
{
	unsigned char buf[20];
	const int results[] = { 2, 5, 1 };
	const int fails_second[] = { 8, -110, 4 };

	fake_reset();
	fake_script(FAKE_READ_1W, results, 3);
	KT_EQ(read_1wEx(&port, buf, sizeof(buf)), 8);

	fake_reset();
	fake_script(FAKE_READ_1W, fails_second, 3);
	KT_EQ(read_1wEx(&port, buf, sizeof(buf)), -110);
	KT_EQ(fake_count(FAKE_READ_1W), 2);
	KT_EQ(fake_count(FAKE_PRINT), 0);
}

/* Bit-reflect one byte. */
static unsigned char reflect8(unsigned char b)
{
	unsigned char r = 0;
	int i;

	for (i = 0; i < 8; i++)
		if (b & (1u << i))
			r |= (unsigned char)(0x80u >> i);
	return r;
}

/*
 * Independent reference: the same CRC in its textbook, most significant
 * bit first form with the unreflected polynomial 0x31, on reflected input,
 * with the result reflected back.
 */
static unsigned char crc8_reference(const unsigned char *p, size_t n)
{
	unsigned char crc = 0;
	size_t i;
	int k;

	for (i = 0; i < n; i++) {
		crc ^= reflect8(p[i]);
		for (k = 0; k < 8; k++)
			crc = (unsigned char)(crc & 0x80 ? (crc << 1) ^ 0x31 :
							   crc << 1);
	}
	return reflect8(crc);
}

static void crc_of_check_input_is_a1_and_buffer_is_cleared(void)
{
	unsigned char digits[10] = { '1', '2', '3', '4', '5', '6', '7', '8',
				     '9', STALE };
	static const unsigned char zero[9];

	KT_EQ(crc8_reference((const unsigned char *)"123456789", 9), 0xA1);
	KT_EQ(CalcTMCrc(digits, 9), 0xA1);
	KT_MEM(digits, zero, 9);
	KT_EQ(digits[9], STALE);
}

static void crc_over_bytes_ending_in_their_crc_is_zero(void)
{
	static const struct {
		unsigned char bytes[10];
		unsigned int len;
	} cases[] = {
		/* A ROM id: family 02, serial 0000000001B81C, CRC A2. */
		{ { 0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2 }, 8 },
		{ { '1', '2', '3', '4', '5', '6', '7', '8', '9', 0xA1 }, 10 },
		{ { 0x00 }, 1 },
		{ { 0x01, 0x5E }, 2 },
	};
	unsigned char copy[10];
	unsigned int i;

	for (i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
		memcpy(copy, cases[i].bytes, sizeof(copy));
		KT_EQ(CalcTMCrc(copy, cases[i].len), 0);
	}
	KT_EQ(CalcTMCrc(NULL, 0), 0);
	KT_EQ(CalcTMCrc(copy, 0), 0);
}

/* xorshift32: the same numbers on every run and every libc. */
static uint32_t rng_next(uint32_t *state)
{
	uint32_t x = *state;

	x ^= x << 13;
	x ^= x >> 17;
	x ^= x << 5;
	*state = x;
	return x;
}

static void crc_matches_the_reference_over_random_buffers(void)
{
	enum { ROUNDS = 500, MAX_LEN = 300 };
	static unsigned char buf[MAX_LEN], keep[MAX_LEN], zero[MAX_LEN];
	uint32_t seed = 0x1234ABCDu;
	unsigned int round, i, len, bad_crc = 0, not_cleared = 0;
	unsigned char crc;

	for (round = 0; round < ROUNDS; round++) {
		len = rng_next(&seed) % (MAX_LEN + 1);
		for (i = 0; i < len; i++)
			buf[i] = (unsigned char)rng_next(&seed);
		memcpy(keep, buf, len);
		crc = CalcTMCrc(buf, len);
		if (crc != crc8_reference(keep, len))
			bad_crc++;
		if (memcmp(buf, zero, len) != 0)
			not_cleared++;
	}
	KT_EQ(bad_crc, 0);
	KT_EQ(not_cleared, 0);
}

int main(void)
{
	KT_RUN(write_1w_sends_a5_lsb_first_then_asks_for_16);
	KT_RUN(write_1w_expands_bits_and_clears_only_its_part);
	KT_RUN(write_1w_refuses_more_than_eight_bytes);
	KT_RUN(write_1w_of_nothing_still_waits_and_reads);
	KT_RUN(write_1w_failing_write_reports_and_stops);
	KT_RUN(write_1w_failing_read_reports_after_the_wait);
	KT_RUN(write_1wex_sends_20_bytes_as_8_8_4);
	KT_RUN(write_1wex_stops_at_the_first_failing_chunk);
	KT_RUN(write_1wex_chunks_by_eight);
	KT_RUN(read_1wex_chunks_by_eight_into_place);
	KT_RUN(read_1wex_sums_and_stops_at_the_first_failure);
	KT_RUN(crc_of_check_input_is_a1_and_buffer_is_cleared);
	KT_RUN(crc_over_bytes_ending_in_their_crc_is_zero);
	KT_RUN(crc_matches_the_reference_over_random_buffers);
	return ktest_report();
}
