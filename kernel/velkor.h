/* SPDX-License-Identifier: GPL-2.0 */
/*
 * velkor - 1-Wire byte transport over a PL2303 USB-serial adapter, and the
 * touch-memory CRC-8.
 *
 * Every 1-Wire bit travels as one whole byte on the serial line: 0xFF for a
 * 1 bit, 0x00 for a 0 bit, least significant bit of each data byte first.
 * The touch-memory driver links this object and supplies the serial
 * functions, the line reader and the print function declared at the end.
 *
 * This header includes nothing, so that user-space builds (unit tests and
 * the line simulator) can use it unchanged.
 */
#ifndef VELKOR_H
#define VELKOR_H

/* User-space builds lack the kernel's compiler attribute macros. */
#ifndef __printf
#define __printf(a, b) __attribute__((__format__(printf, a, b)))
#endif

/* At most this many data bytes go out in one write_1w() call. */
#define VELKOR_MAX_BYTES	8
/* Serial bytes sent for one data byte: one per bit. */
#define VELKOR_BITS_PER_BYTE	8
/* Serial bytes asked back from the adapter for one data byte. */
#define VELKOR_RX_PER_BYTE	16
/* Room the two buffers of struct tm_port must offer. */
#define VELKOR_TX_BITS_SIZE	(VELKOR_MAX_BYTES * VELKOR_BITS_PER_BYTE)
#define VELKOR_RX_BUF_SIZE	(VELKOR_MAX_BYTES * VELKOR_RX_PER_BYTE)
/* Serial byte values of a 1 bit and of a 0 bit. */
#define VELKOR_BIT_ONE		0xFF
#define VELKOR_BIT_ZERO		0x00

/**
 * struct tm_port - the part of the driver's port record velkor touches
 * @tx_bits: transmit bit buffer, one serial byte per bit to send;
 *           at least %VELKOR_TX_BITS_SIZE bytes
 * @rx_buf:  receive buffer for what the adapter hands back;
 *           at least %VELKOR_RX_BUF_SIZE bytes
 *
 * The two fields stand in this order, @rx_buf directly after @tx_bits. The
 * driver embeds this structure in its own port record and finds the record
 * again with container_of() in its serial functions; it allocates both
 * buffers and owns their lifetime. Calls of write_1w() for one port must
 * not overlap, since they fill and read both buffers.
 */
struct tm_port {
	unsigned char *tx_bits;
	unsigned char *rx_buf;
};

/* Offered by velkor. */

int write_1w(struct tm_port *port, const unsigned char *data,
	     unsigned int len);
int write_1wEx(struct tm_port *port, const unsigned char *data,
	       unsigned int len);
int read_1wEx(struct tm_port *port, unsigned char *buf, unsigned int len);
unsigned char CalcTMCrc(unsigned char *buf, unsigned int len);

/* Supplied by the touch-memory driver. */

/**
 * pl2303_write - send bytes on the serial line of the adapter
 * @port:  the port record
 * @buf:   bytes to send
 * @count: number of bytes, 0 to %VELKOR_TX_BITS_SIZE
 *
 * Return: a negative error code on failure; any other value means the
 * bytes are on their way.
 */
int pl2303_write(struct tm_port *port, const unsigned char *buf, int count);

/**
 * pl2303_read - take bytes the adapter has received
 * @port:  the port record
 * @buf:   destination of at least @count bytes
 * @count: number of bytes asked for, 0 to %VELKOR_RX_BUF_SIZE
 *
 * Return: a negative error code on failure, else the number of bytes
 * stored in @buf; fewer than @count may arrive.
 */
int pl2303_read(struct tm_port *port, unsigned char *buf, int count);

/**
 * read_1w - read data bytes from the 1-Wire line
 * @port:  the port record
 * @buf:   destination of @count data bytes
 * @count: number of data bytes, 1 to %VELKOR_MAX_BYTES
 *
 * Return: a negative error code on failure, else a non-negative count.
 */
int read_1w(struct tm_port *port, unsigned char *buf, int count);

/**
 * DebugPrint - the touch-memory driver's print function
 * @fmt: printk() format, beginning with a level prefix such as KERN_INFO
 */
void DebugPrint(const char *fmt, ...) __printf(1, 2);

#endif /* VELKOR_H */
