/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The simulated touch-memory key: its ROM identifier (family, 48-bit serial,
 * CRC-8), whether it is on the line, and its memory image kept in a file so
 * that what one run writes the next run reads. Plain C: used by the preload
 * library, the launcher and the line-level simulation alike. */
#ifndef TMSIM_SIM_KEY_H
#define TMSIM_SIM_KEY_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "TouchMemProto.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A family the driver gives 512 bytes of memory, so that the default key's
 * memory is the same in the stand-in and over the driver. */
#define TMSIM_DEFAULT_FAMILY 0x04u
/* The family of keys that carry their ROM identifier and no memory. */
#define TMSIM_FAMILY_ID_ONLY 0x01u
#define TMSIM_DEFAULT_SERIAL 0x0000DEADBEEFull
#define TMSIM_SERIAL_BYTES 6
#define TMSIM_SERIAL_MAX 0xFFFFFFFFFFFFull
#define TMSIM_ROM_TEXT_SIZE (2 * TM_ROM_SIZE + 1)
#define TMSIM_MEMORY_SIZE_MAX (1u << 24)
/* What a fresh memory image holds, followed by zero bytes. */
#define TMSIM_MEMORY_TEXT "touch-memory key 0108: hello\n"

struct tmsim_key {
    int present;              /* a key answers on the line */
    uint8_t rom[TM_ROM_SIZE]; /* in the driver's order */
    int has_memory;           /* 0: an ID-only key, whose transfers fail */
    uint32_t memory_size;     /* bytes of key memory (0 without memory) */
    const char *memory_path;  /* the image file */
};

/* The key memory of a family as the driver's family table gives it: 512
 * bytes for 0x04 and 0x06, 128 for 0x08, 2048 for 0x0A, 8192 for 0x0C; 0 for
 * the ID-only family and for every family the table does not know (the
 * driver then moves no byte unless given a size). */
uint32_t tmsim_family_memory_size(uint8_t family);

/* 0 for the ID-only family: reads and writes of such a key fail with
 * EOPNOTSUPP. 1 for every other. */
int tmsim_family_has_memory(uint8_t family);

/* Dallas/Maxim CRC-8 (x^8 + x^5 + x^4 + 1, reflected, initial 0). */
uint8_t tmsim_crc8(const uint8_t *data, size_t len);

/* ROM in the usual 1-Wire order: family, serial least significant byte
 * first, CRC-8 of the first seven bytes last. */
void tmsim_rom_build(uint8_t family, uint64_t serial, uint8_t rom[TM_ROM_SIZE]);

/* Parses up to max_digits hex digits (at least one, optional "0x") into *out.
 * 1 / 0 on anything else. */
int tmsim_hex_parse(const char *text, size_t max_digits, uint64_t *out);

/* Exactly 16 hex digits, byte 0 first. 1 / 0 (rom untouched). */
int tmsim_rom_parse(const char *text, uint8_t rom[TM_ROM_SIZE]);

/* 16 lower-case hex digits and a terminating zero. */
void tmsim_rom_format(const uint8_t rom[TM_ROM_SIZE], char out[TMSIM_ROM_TEXT_SIZE]);

/* Creates the image when missing: the default text, then zero bytes up to
 * size. An existing image is left alone. 1 / 0 with errno set. */
int tmsim_mem_create(const char *path, uint32_t size);

/* The launcher's image: with fresh set, replaced by a fresh one (atomically,
 * whatever was there); otherwise created when missing and left alone when it
 * exists. An existing image that is not a regular file fails with EINVAL.
 * 1 / 0 with errno set. */
int tmsim_mem_prepare(const char *path, uint32_t size, int fresh);

/* Reads up to n bytes of key memory at off into buf. Stops at the end of the
 * key memory (0 at or after it); bytes of memory the image file does not
 * reach yet read as zero. Count, or -1 with errno set. */
ssize_t tmsim_mem_read(const struct tmsim_key *key, uint64_t off, void *buf, size_t n);

/* Stores what fits of n bytes at off and returns that count (0 at or after
 * the end), or -1 with errno set. Both fail with EINVAL, without waiting,
 * when the image is not a regular file (a FIFO, a device). */
ssize_t tmsim_mem_write(const struct tmsim_key *key, uint64_t off, const void *buf, size_t n);

#ifdef __cplusplus
}
#endif

#endif
