// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * w1bench - times operations of the kernel's 1-Wire core on a master
 * through its netlink interface (the connector, CN_W1_IDX), each done
 * either batched by the master's own operations or one bit per round
 * trip (W1_CMD_TOUCH goes through the master's touch_bit, one call per
 * bit, as a master without batching has to):
 *
 *   w1bench MASTER_ID ROUNDS ROM...
 *
 * For each ROM (16 hex digits, family first) and each round it prints
 *
 *   TMW op=search|search-bits|scratch|scratch-bits|nop|reset|reset-write
 *       rom=ROM us=ELAPSED
 *
 * search: a Search ROM of the whole line (the master's search operation);
 * search-bits: a reset, Search ROM and the 64 steps along ROM, touched one
 * bit at a time; scratch: a reset, Match ROM with ROM, Read Scratchpad
 * (0xBE) and its 9 bytes read in blocks; scratch-bits: the same touched
 * one bit at a time; and its parts: nop, a netlink round trip that leaves
 * the wire alone (the slave list); reset, the reset alone; reset-write,
 * the reset and the 10 bytes written. Exit status 1 when an operation
 * fails or a read brings back nothing a device sent.
 */
#include <errno.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

/* The 1-Wire core's netlink messages (drivers/w1/w1_netlink.h). */
struct w1_msg {
	uint8_t type;
	uint8_t status;
	uint16_t len;
	uint32_t master;
	uint32_t res;
	uint8_t data[];
};

struct w1_cmd {
	uint8_t cmd;
	uint8_t res;
	uint16_t len;
	uint8_t data[];
};

#define W1_MASTER_CMD		4
#define W1_CMD_READ		0
#define W1_CMD_WRITE		1
#define W1_CMD_SEARCH		2
#define W1_CMD_TOUCH		4
#define W1_CMD_RESET		5
#define W1_CMD_LIST_SLAVES	8
#define W1_CN_BUNDLE		1

#define ROM_BYTES		8
#define ROM_BITS		64
#define STEP_BITS		3
#define SEARCH_ROM		0xF0
#define MATCH_ROM		0x55
#define READ_SCRATCH		0xBE
#define SCRATCH_BYTES		9
/* Search ROM and its steps, one bit each: 1 + 64 * 3 / 8 bytes. */
#define SEARCH_TOUCH_BYTES	(1 + ROM_BITS * STEP_BITS / 8)
#define MSG_MAX			4096
#define RECV_TIMEOUT_S		10
#define US_PER_S		1000000LL
#define NS_PER_US		1000
#define HEX_BASE		16

struct req {
	unsigned char buf[MSG_MAX];
	size_t len;	/* bytes of w1 commands after the headers */
};

static unsigned int seq;

static long long now_us(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * US_PER_S + ts.tv_nsec / NS_PER_US;
}

static struct w1_msg *req_msg(struct req *r)
{
	return (struct w1_msg *)(r->buf + NLMSG_HDRLEN + sizeof(struct cn_msg));
}

static void add_cmd(struct req *r, uint8_t cmd, const void *data, uint16_t len)
{
	struct w1_cmd *c = (struct w1_cmd *)(req_msg(r)->data + r->len);

	c->cmd = cmd;
	c->res = 0;
	c->len = len;
	if (len)
		memcpy(c->data, data, len);
	r->len += sizeof(*c) + len;
}

/*
 * Sends the commands of @r to master @id and waits for the bundled reply;
 * copies the data of the first read or touch reply into @out (@n bytes).
 * 0, or -1 on failure.
 */
static int run(int fd, uint32_t id, struct req *r, unsigned char *out, size_t n)
{
	struct nlmsghdr *nlh = (struct nlmsghdr *)r->buf;
	struct cn_msg *cn = NLMSG_DATA(nlh);
	struct w1_msg *m = req_msg(r);
	unsigned char in[MSG_MAX];
	size_t total = sizeof(*cn) + sizeof(*m) + r->len;
	ssize_t got;

	memset(nlh, 0, NLMSG_HDRLEN);
	nlh->nlmsg_len = NLMSG_LENGTH(total);
	nlh->nlmsg_type = NLMSG_DONE;
	nlh->nlmsg_pid = (uint32_t)getpid();
	memset(cn, 0, sizeof(*cn));
	cn->id.idx = CN_W1_IDX;
	cn->id.val = CN_W1_VAL;
	cn->seq = ++seq;
	cn->len = (uint16_t)(sizeof(*m) + r->len);
	cn->flags = W1_CN_BUNDLE;
	m->type = W1_MASTER_CMD;
	m->status = 0;
	m->len = (uint16_t)r->len;
	m->master = id;
	m->res = 0;
	if (send(fd, nlh, nlh->nlmsg_len, 0) < 0)
		return -1;
	got = recv(fd, in, sizeof(in), 0);
	if (got < (ssize_t)(NLMSG_HDRLEN + sizeof(*cn)))
		return -1;
	/* Walk the bundle: cn_msg, w1_msg, w1_cmd... */
	{
		unsigned char *p = in + NLMSG_HDRLEN, *end = in + got;
		int copied = !out;

		while (p + sizeof(struct cn_msg) <= end) {
			struct cn_msg *rc = (struct cn_msg *)p;
			unsigned char *q = rc->data, *qend = rc->data + rc->len;

			if (qend > end)
				return -1;
			while (q + sizeof(struct w1_msg) <= qend) {
				struct w1_msg *rm = (struct w1_msg *)q;
				struct w1_cmd *c = (struct w1_cmd *)rm->data;

				if (rm->status)
					return -1;
				if (!copied && rm->len >= sizeof(*c) + n &&
				    (c->cmd == W1_CMD_READ || c->cmd == W1_CMD_TOUCH) &&
				    c->len == n) {
					memcpy(out, c->data, n);
					copied = 1;
				}
				q += sizeof(*rm) + rm->len;
			}
			p = qend;
		}
		return copied ? 0 : -1;
	}
}

static int parse_rom(const char *text, unsigned char *rom)
{
	char byte[3] = { 0 };
	char *end;
	int i;

	if (strlen(text) != 2 * ROM_BYTES)
		return -1;
	for (i = 0; i < ROM_BYTES; i++) {
		memcpy(byte, text + 2 * i, 2);
		rom[i] = (unsigned char)strtoul(byte, &end, HEX_BASE);
		if (*end)
			return -1;
	}
	return 0;
}

/* The touch bytes of Search ROM along @rom: 0xF0, then per bit 1, 1, bit. */
static void search_bits(const unsigned char *rom, unsigned char *t)
{
	unsigned int i, k, at;

	memset(t, 0, SEARCH_TOUCH_BYTES);
	t[0] = SEARCH_ROM;
	for (i = 0; i < ROM_BITS; i++) {
		unsigned int b = (rom[i / 8] >> (i % 8)) & 1;
		unsigned int bits[STEP_BITS] = { 1, 1, b };

		for (k = 0; k < STEP_BITS; k++) {
			at = 8 + i * STEP_BITS + k;
			if (bits[k])
				t[at / 8] |= (unsigned char)(1u << (at % 8));
		}
	}
}

/* Whether the echoes of search_bits() show the device with @rom answered. */
static int search_answered(const unsigned char *rom, const unsigned char *t)
{
	unsigned int i;

	for (i = 0; i < ROM_BITS; i++) {
		unsigned int b = (rom[i / 8] >> (i % 8)) & 1;
		/* The device holds low the read of its bit's opposite. */
		unsigned int at = 8 + i * STEP_BITS + (b ? 1 : 0);

		if ((t[at / 8] >> (at % 8)) & 1)
			return 0;
	}
	return 1;
}

static void report(const char *op, const char *rom, long long us)
{
	printf("TMW op=%s rom=%s us=%lld\n", op, rom, us);
	fflush(stdout);
}

static int bench_rom(int fd, uint32_t id, const char *text, int rounds)
{
	unsigned char rom[ROM_BYTES], t[SEARCH_TOUCH_BYTES];
	unsigned char pad[SCRATCH_BYTES], match[1 + ROM_BYTES + 1];
	unsigned char touch[1 + ROM_BYTES + 1 + SCRATCH_BYTES];
	struct req r;
	long long t0;
	int i;

	if (parse_rom(text, rom)) {
		fprintf(stderr, "w1bench: bad ROM %s\n", text);
		return -1;
	}
	match[0] = MATCH_ROM;
	memcpy(match + 1, rom, ROM_BYTES);
	match[1 + ROM_BYTES] = READ_SCRATCH;
	memcpy(touch, match, sizeof(match));
	memset(touch + sizeof(match), 0xFF, SCRATCH_BYTES);
	for (i = 0; i < rounds; i++) {
		r.len = 0;
		add_cmd(&r, W1_CMD_SEARCH, NULL, 0);
		t0 = now_us();
		if (run(fd, id, &r, NULL, 0))
			return -1;
		report("search", text, now_us() - t0);

		r.len = 0;
		search_bits(rom, t);
		add_cmd(&r, W1_CMD_RESET, NULL, 0);
		add_cmd(&r, W1_CMD_TOUCH, t, sizeof(t));
		t0 = now_us();
		if (run(fd, id, &r, t, sizeof(t)) || !search_answered(rom, t))
			return -1;
		report("search-bits", text, now_us() - t0);

		r.len = 0;
		add_cmd(&r, W1_CMD_RESET, NULL, 0);
		add_cmd(&r, W1_CMD_WRITE, match, sizeof(match));
		add_cmd(&r, W1_CMD_READ, pad, sizeof(pad));
		t0 = now_us();
		if (run(fd, id, &r, pad, sizeof(pad)))
			return -1;
		report("scratch", text, now_us() - t0);

		r.len = 0;
		add_cmd(&r, W1_CMD_LIST_SLAVES, NULL, 0);
		t0 = now_us();
		if (run(fd, id, &r, NULL, 0))
			return -1;
		report("nop", text, now_us() - t0);

		r.len = 0;
		add_cmd(&r, W1_CMD_RESET, NULL, 0);
		t0 = now_us();
		if (run(fd, id, &r, NULL, 0))
			return -1;
		report("reset", text, now_us() - t0);

		r.len = 0;
		add_cmd(&r, W1_CMD_RESET, NULL, 0);
		add_cmd(&r, W1_CMD_WRITE, match, sizeof(match));
		t0 = now_us();
		if (run(fd, id, &r, NULL, 0))
			return -1;
		report("reset-write", text, now_us() - t0);

		r.len = 0;
		memset(touch + sizeof(match), 0xFF, SCRATCH_BYTES);
		add_cmd(&r, W1_CMD_RESET, NULL, 0);
		add_cmd(&r, W1_CMD_TOUCH, touch, sizeof(touch));
		t0 = now_us();
		if (run(fd, id, &r, touch, sizeof(touch)))
			return -1;
		report("scratch-bits", text, now_us() - t0);
		/* The same 9 bytes either way: the device sent them. */
		if (memcmp(pad, touch + sizeof(match), SCRATCH_BYTES))
			return -1;
	}
	return 0;
}

int main(int argc, char **argv)
{
	struct sockaddr_nl sa = { .nl_family = AF_NETLINK };
	struct timeval tv = { .tv_sec = RECV_TIMEOUT_S };
	uint32_t id;
	int fd, rounds, i;

	if (argc < 4) {
		fprintf(stderr, "usage: w1bench MASTER_ID ROUNDS ROM...\n");
		return 2;
	}
	id = (uint32_t)strtoul(argv[1], NULL, 10);
	rounds = atoi(argv[2]);
	fd = socket(PF_NETLINK, SOCK_DGRAM, NETLINK_CONNECTOR);
	if (fd < 0) {
		perror("w1bench: socket");
		return 1;
	}
	sa.nl_pid = (uint32_t)getpid();
	if (bind(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0 ||
	    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) < 0) {
		perror("w1bench: bind");
		return 1;
	}
	for (i = 3; i < argc; i++)
		if (bench_rom(fd, id, argv[i], rounds)) {
			fprintf(stderr, "w1bench: %s failed: %s\n", argv[i],
				strerror(errno));
			return 1;
		}
	return 0;
}
