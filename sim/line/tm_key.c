// SPDX-License-Identifier: GPL-2.0
/*
 * The touch-memory key as a 1-Wire slave, one time slot at a time: ROM
 * commands, Read Memory and the scratchpad. Bits travel least significant
 * first. After the reset pulse the key expects a ROM command; Read ROM and
 * Skip ROM select it for one memory command; anything it does not know
 * makes it leave the line alone until the next reset.
 */
#include <linux/kernel.h>
#include <linux/string.h>

#include "tm_line_core.h"

#define TM_ADDR_LIMIT	0x10000u

void tm_key_init(struct tm_key *key, unsigned char *mem,
		 unsigned int mem_size)
{
	memset(key, 0, sizeof(*key));
	key->mem = mem;
	key->mem_size = mem_size;
	key->state = TM_KEY_IDLE;
}

void tm_key_attach(struct tm_key *key, const unsigned char *rom)
{
	unsigned char *mem = key->mem;
	unsigned int mem_size = key->mem_size;

	tm_key_init(key, mem, mem_size);
	memcpy(key->rom, rom, TM_LINE_ROM_SIZE);
	key->present = 1;
}

static unsigned int tm_key_target(const struct tm_key *key)
{
	return (unsigned int)key->ta1 | ((unsigned int)key->ta2 << 8);
}

static int tm_key_sending(const struct tm_key *key)
{
	return key->state == TM_KEY_SEND_ROM ||
	       key->state == TM_KEY_SEND_MEM ||
	       key->state == TM_KEY_SEND_SCRATCH;
}

/* The byte to send next in the current sending state. */
static unsigned char tm_key_next_out(struct tm_key *key)
{
	unsigned int pos;

	switch (key->state) {
	case TM_KEY_SEND_ROM:
		return key->rom[key->index];
	case TM_KEY_SEND_MEM:
		if (key->addr >= key->mem_size || key->addr >= TM_ADDR_LIMIT)
			return 0xFF;
		return key->mem[key->addr++];
	case TM_KEY_SEND_SCRATCH:
		if (key->index == 0)
			return key->ta1;
		if (key->index == 1)
			return key->ta2;
		if (key->index == 2)
			return key->es;
		pos = (key->ta1 & TM_ES_END) + key->index - 3;
		if (pos > (key->es & TM_ES_END))
			return 0xFF;
		return key->scratch[pos];
	default:
		return 0xFF;
	}
}

static void tm_key_enter(struct tm_key *key, enum tm_key_state state)
{
	key->state = state;
	key->index = 0;
	key->nbits = 0;
	key->shift = 0;
	if (tm_key_sending(key))
		key->shift = tm_key_next_out(key);
}

static void tm_key_copy(struct tm_key *key)
{
	unsigned int page = tm_key_target(key) & ~(unsigned int)TM_ES_END;
	unsigned int i, addr;

	for (i = key->ta1 & TM_ES_END; i <= (key->es & TM_ES_END); i++) {
		addr = page + i;
		if (addr < key->mem_size)
			key->mem[addr] = key->scratch[i];
	}
	key->es |= TM_ES_AA;
}

static void tm_key_received(struct tm_key *key, unsigned char b)
{
	switch (key->state) {
	case TM_KEY_ROM_CMD:
		if (b == TM_CMD_READ_ROM)
			tm_key_enter(key, TM_KEY_SEND_ROM);
		else if (b == TM_CMD_SKIP_ROM)
			tm_key_enter(key, TM_KEY_FUNC_CMD);
		else
			tm_key_enter(key, TM_KEY_IDLE);
		break;
	case TM_KEY_FUNC_CMD:
		if (b == TM_CMD_READ_MEM)
			tm_key_enter(key, TM_KEY_READ_ADDR);
		else if (b == TM_CMD_WRITE_SCRATCH)
			tm_key_enter(key, TM_KEY_WRITE_ADDR);
		else if (b == TM_CMD_READ_SCRATCH)
			tm_key_enter(key, TM_KEY_SEND_SCRATCH);
		else if (b == TM_CMD_COPY_SCRATCH)
			tm_key_enter(key, TM_KEY_COPY_AUTH);
		else
			tm_key_enter(key, TM_KEY_IDLE);
		break;
	case TM_KEY_READ_ADDR:
		if (key->index++ == 0) {
			key->addr = b;
		} else {
			key->addr |= (unsigned int)b << 8;
			tm_key_enter(key, TM_KEY_SEND_MEM);
		}
		break;
	case TM_KEY_WRITE_ADDR:
		if (key->index++ == 0) {
			key->ta1 = b;
		} else {
			key->ta2 = b;
			key->wr_offset = key->ta1 & TM_ES_END;
			/* Nothing written yet counts as a partial byte. */
			key->es = (unsigned char)(key->wr_offset | TM_ES_PF);
			tm_key_enter(key, TM_KEY_WRITE_DATA);
		}
		break;
	case TM_KEY_WRITE_DATA:
		/* Bytes beyond the end of the scratchpad are dropped. */
		if (key->wr_offset < TM_SCRATCH_SIZE) {
			key->scratch[key->wr_offset] = b;
			key->es = (unsigned char)key->wr_offset;
			key->wr_offset++;
		}
		break;
	case TM_KEY_COPY_AUTH:
		key->auth[key->index++] = b;
		if (key->index < sizeof(key->auth))
			break;
		if (key->auth[0] == key->ta1 && key->auth[1] == key->ta2 &&
		    key->auth[2] == key->es && !(key->es & TM_ES_PF))
			tm_key_copy(key);
		tm_key_enter(key, TM_KEY_IDLE);
		break;
	default:
		break;
	}
}

int tm_key_reset(struct tm_key *key)
{
	if (!key->present)
		return 0;
	if (key->state == TM_KEY_WRITE_DATA && key->nbits)
		key->es |= TM_ES_PF;
	tm_key_enter(key, TM_KEY_ROM_CMD);
	return 1;
}

int tm_key_pulls_low(const struct tm_key *key)
{
	if (!key->present || !tm_key_sending(key))
		return 0;
	return !((key->shift >> key->nbits) & 1);
}

void tm_key_clock(struct tm_key *key, int level)
{
	unsigned char b;

	if (!key->present || key->state == TM_KEY_IDLE)
		return;

	if (tm_key_sending(key)) {
		if (++key->nbits < 8)
			return;
		key->nbits = 0;
		key->index++;
		if (key->state == TM_KEY_SEND_ROM &&
		    key->index == TM_LINE_ROM_SIZE) {
			tm_key_enter(key, TM_KEY_FUNC_CMD);
			return;
		}
		key->shift = tm_key_next_out(key);
		return;
	}

	if (level)
		key->shift |= (unsigned char)(1u << key->nbits);
	if (++key->nbits < 8)
		return;
	b = key->shift;
	key->shift = 0;
	key->nbits = 0;
	tm_key_received(key, b);
}
