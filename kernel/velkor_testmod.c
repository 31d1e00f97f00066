// SPDX-License-Identifier: GPL-2.0
/*
 * velkor_test - a module that links the velkor transport with trivial
 * driver-side functions: serial writes and reads succeed without a line,
 * the line reader delivers zero bytes, prints go to the kernel log. Its
 * init checks the CRC against the catalogue's check value and pushes one
 * byte through write_1w().
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/printk.h>
#include <linux/stdarg.h>
#include <linux/string.h>
#include <linux/errno.h>

#include "velkor.h"

#define VELKOR_TEST_CHECK_CRC	0xA1

static unsigned char velkor_test_tx[VELKOR_TX_BITS_SIZE];
static unsigned char velkor_test_rx[VELKOR_RX_BUF_SIZE];

static struct tm_port velkor_test_port = {
	.tx_bits = velkor_test_tx,
	.rx_buf = velkor_test_rx,
};

int pl2303_write(struct tm_port *port, const unsigned char *buf, int count)
{
	return count;
}

int pl2303_read(struct tm_port *port, unsigned char *buf, int count)
{
	memset(buf, VELKOR_BIT_ONE, count);
	return count;
}

int read_1w(struct tm_port *port, unsigned char *buf, int count)
{
	memset(buf, 0, count);
	return count;
}

void DebugPrint(const char *fmt, ...)
{
	va_list args;

	va_start(args, fmt);
	vprintk(fmt, args);
	va_end(args);
}

static int __init velkor_test_init(void)
{
	unsigned char check[] = "123456789";
	static const unsigned char one = 0xA5;
	unsigned char crc;
	int r;

	crc = CalcTMCrc(check, sizeof(check) - 1);
	if (crc != VELKOR_TEST_CHECK_CRC) {
		pr_err("velkor_test: CRC check value %02x, expected %02x\n",
		       crc, VELKOR_TEST_CHECK_CRC);
		return -EINVAL;
	}

	r = write_1w(&velkor_test_port, &one, 1);
	if (r < 0)
		return r;

	pr_info("velkor_test: CRC check value %02x, write_1w gave %d\n",
		crc, r);
	return 0;
}

static void __exit velkor_test_exit(void)
{
	pr_info("velkor_test: unloaded\n");
}

module_init(velkor_test_init);
module_exit(velkor_test_exit);

MODULE_DESCRIPTION("velkor 1-Wire transport with stub driver functions");
MODULE_LICENSE("GPL");
