// SPDX-License-Identifier: GPL-2.0
/*
 * velkor - 1-Wire byte transport over a PL2303 USB-serial adapter, and the
 * touch-memory CRC-8 (Dallas/Maxim, CRC-8/MAXIM-DOW).
 *
 * The file needs nothing of the kernel but the functions it calls, so a
 * user-space build can compile it unchanged against stand-in headers.
 */
#include <linux/kernel.h>
#include <linux/delay.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "velkor.h"

/* The line settles for ten steps of 1000 us between sending and reading. */
#define VELKOR_SETTLE_STEPS	10
#define VELKOR_SETTLE_STEP_US	1000

/* Reflected form of x^8 + x^5 + x^4 + 1. */
#define VELKOR_CRC_POLY		0x8C

/* Mask of bit k of a byte; walking from entry 0 takes the LSB first. */
static const unsigned char BitList[VELKOR_BITS_PER_BYTE] = {
	0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80
};

/**
 * write_1w - send up to eight data bytes on the 1-Wire line
 * @port: port record; its transmit bit buffer and receive buffer are used
 * @data: bytes to send
 * @len:  number of bytes, at most %VELKOR_MAX_BYTES
 *
 * Expands every bit of @data into one serial byte in @port->tx_bits, sends
 * them, busy-waits 10 ms for the line to answer, and asks the adapter for
 * 16 bytes per data byte into @port->rx_buf. The received bytes are not
 * examined here; the caller judges them.
 *
 * Return: -EFAULT if @len is too large (nothing sent, nothing waited for);
 * the negative result of pl2303_write() or pl2303_read() if one fails;
 * otherwise the result of pl2303_read().
 */
int write_1w(struct tm_port *port, const unsigned char *data,
	     unsigned int len)
{
	unsigned int nbits = len * VELKOR_BITS_PER_BYTE;
	unsigned int j, k;
	int r;

	if (len > VELKOR_MAX_BYTES)
		return -EFAULT;

	memset(port->tx_bits, VELKOR_BIT_ZERO, nbits);
	for (j = 0; j < len; j++)
		for (k = 0; k < VELKOR_BITS_PER_BYTE; k++)
			if (data[j] & BitList[k])
				port->tx_bits[VELKOR_BITS_PER_BYTE * j + k] =
					VELKOR_BIT_ONE;

	r = pl2303_write(port, port->tx_bits, (int)nbits);
	if (r < 0) {
		DebugPrint(KERN_INFO "write ll failed %d\n", r);
		return r;
	}

	for (k = 0; k < VELKOR_SETTLE_STEPS; k++)
		udelay(VELKOR_SETTLE_STEP_US);

	r = pl2303_read(port, port->rx_buf, (int)(len * VELKOR_RX_PER_BYTE));
	if (r < 0) {
		DebugPrint(KERN_INFO "read ll failed %d\n", r);
		return r;
	}
	return r;
}

/**
 * write_1wEx - send any number of data bytes in groups of eight
 * @port: port record, passed to write_1w()
 * @data: bytes to send
 * @len:  number of bytes
 *
 * Groups already sent stay sent when a later one fails; the groups after a
 * failing one are not tried.
 *
 * Return: the first negative group result, else the total of the results.
 */
int write_1wEx(struct tm_port *port, const unsigned char *data,
	       unsigned int len)
{
	unsigned int full = len / VELKOR_MAX_BYTES;
	unsigned int rest = len % VELKOR_MAX_BYTES;
	unsigned int pos = 0;
	unsigned int i;
	int total = 0;
	int r;

	for (i = 0; i < full; i++) {
		r = write_1w(port, data + pos, VELKOR_MAX_BYTES);
		if (r < 0)
			return r;
		total += r;
		pos += VELKOR_MAX_BYTES;
	}
	if (rest) {
		r = write_1w(port, data + pos, rest);
		if (r < 0)
			return r;
		total += r;
	}
	return total;
}

/**
 * read_1wEx - read any number of data bytes in groups of eight
 * @port: port record, passed to read_1w() unchanged
 * @buf:  destination of @len bytes
 * @len:  number of bytes
 *
 * Groups already read stay in @buf when a later one fails; the groups
 * after a failing one are not tried.
 *
 * Return: the first negative group result, else the total of the results.
 */
int read_1wEx(struct tm_port *port, unsigned char *buf, unsigned int len)
{
	unsigned int full = len / VELKOR_MAX_BYTES;
	unsigned int rest = len % VELKOR_MAX_BYTES;
	unsigned int pos = 0;
	unsigned int i;
	int total = 0;
	int r;

	for (i = 0; i < full; i++) {
		r = read_1w(port, buf + pos, VELKOR_MAX_BYTES);
		if (r < 0)
			return r;
		total += r;
		pos += VELKOR_MAX_BYTES;
	}
	if (rest) {
		r = read_1w(port, buf + pos, (int)rest);
		if (r < 0)
			return r;
		total += r;
	}
	return total;
}

/**
 * CalcTMCrc - touch-memory CRC-8 of a buffer, computed in place
 * @buf: bytes to check; all @len of them are 0 on return
 * @len: number of bytes
 *
 * The Dallas/Maxim 1-Wire CRC: x^8 + x^5 + x^4 + 1, bits least significant
 * first, initial value 0, no final XOR. Each byte is shifted out of the
 * buffer bit by bit, so a caller that needs the bytes afterwards passes a
 * copy. Bytes that end with the CRC of the bytes before them give 0.
 *
 * Return: the CRC.
 */
unsigned char CalcTMCrc(unsigned char *buf, unsigned int len)
{
	unsigned char crc = 0;
	unsigned char mix;
	unsigned int i, k;

	for (i = 0; i < len; i++) {
		for (k = 0; k < VELKOR_BITS_PER_BYTE; k++) {
			mix = (crc ^ buf[i]) & 1;
			crc >>= 1;
			if (mix)
				crc ^= VELKOR_CRC_POLY;
			buf[i] >>= 1;
		}
	}
	return crc;
}
