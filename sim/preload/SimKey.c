// SPDX-License-Identifier: GPL-2.0-or-later
/* The simulated key: ROM helpers and the memory image file. */
#include "SimKey.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "SysIo.h"

#define CRC8_POLY_REFLECTED 0x8Cu
#define BITS_PER_BYTE 8
#define MEM_FILE_MODE 0644
#define ZERO_CHUNK 4096
#define MEM_PATH_MAX 4096
#define MEM_TEMP_SUFFIX_MAX 32

/* The driver's family table. */
static const struct {
    uint8_t family;
    uint32_t memory_size;
} g_family_memory[] = {
    {TMSIM_FAMILY_ID_ONLY, 0}, {0x04, 512}, {0x06, 512}, {0x08, 128}, {0x0A, 2048}, {0x0C, 8192},
};
#define FAMILY_ROWS (sizeof(g_family_memory) / sizeof(g_family_memory[0]))

uint32_t tmsim_family_memory_size(uint8_t family) {
    for (size_t i = 0; i < FAMILY_ROWS; i++) {
        if (g_family_memory[i].family == family)
            return g_family_memory[i].memory_size;
    }
    return 0;
}

int tmsim_family_has_memory(uint8_t family) {
    return family != TMSIM_FAMILY_ID_ONLY;
}

uint8_t tmsim_crc8(const uint8_t *data, size_t len) {
    uint8_t crc = 0;
    for (size_t i = 0; i < len; i++) {
        uint8_t b = data[i];
        for (int bit = 0; bit < BITS_PER_BYTE; bit++) {
            uint8_t mix = (uint8_t)((crc ^ b) & 1u);
            crc = (uint8_t)(crc >> 1);
            if (mix)
                crc ^= CRC8_POLY_REFLECTED;
            b = (uint8_t)(b >> 1);
        }
    }
    return crc;
}

void tmsim_rom_build(uint8_t family, uint64_t serial, uint8_t rom[TM_ROM_SIZE]) {
    rom[0] = family;
    for (unsigned i = 0; i < TMSIM_SERIAL_BYTES; i++)
        rom[1 + i] = (uint8_t)(serial >> (BITS_PER_BYTE * i));
    rom[TM_ROM_SIZE - 1] = tmsim_crc8(rom, TM_ROM_SIZE - 1);
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int tmsim_hex_parse(const char *text, size_t max_digits, uint64_t *out) {
    if (text == NULL)
        return 0;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    size_t n = strlen(text);
    if (n == 0 || n > max_digits || n > 16)
        return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++) {
        int d = hex_value(text[i]);
        if (d < 0)
            return 0;
        v = (v << 4) | (uint64_t)d;
    }
    *out = v;
    return 1;
}

int tmsim_rom_parse(const char *text, uint8_t rom[TM_ROM_SIZE]) {
    if (text == NULL || strlen(text) != (size_t)2 * TM_ROM_SIZE)
        return 0;
    uint8_t tmp[TM_ROM_SIZE];
    for (size_t i = 0; i < TM_ROM_SIZE; i++) {
        int hi = hex_value(text[2 * i]);
        int lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return 0;
        tmp[i] = (uint8_t)(hi << 4 | lo);
    }
    memcpy(rom, tmp, TM_ROM_SIZE);
    return 1;
}

void tmsim_rom_format(const uint8_t rom[TM_ROM_SIZE], char out[TMSIM_ROM_TEXT_SIZE]) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < TM_ROM_SIZE; i++) {
        out[2 * i] = digits[rom[i] >> 4];
        out[2 * i + 1] = digits[rom[i] & 0xF];
    }
    out[TMSIM_ROM_TEXT_SIZE - 1] = '\0';
}

/* Writes a fresh image into fd: the default text, then zero bytes up to
 * size. 1 / 0 with errno set. */
static int write_fresh(int fd, uint32_t size) {
    static const char text[] = TMSIM_MEMORY_TEXT;
    static const char zeros[ZERO_CHUNK];
    size_t text_len = sizeof(text) - 1;
    if (text_len > size)
        text_len = size;
    int ok = tms_write_all(fd, text, text_len);
    for (size_t left = size - text_len; ok && left > 0;) {
        size_t chunk = left < sizeof(zeros) ? left : sizeof(zeros);
        ok = tms_write_all(fd, zeros, chunk);
        left -= chunk;
    }
    return ok;
}

int tmsim_mem_create(const char *path, uint32_t size) {
    int fd = tms_open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, MEM_FILE_MODE);
    if (fd < 0)
        return errno == EEXIST ? 1 : 0;
    int ok = write_fresh(fd, size);
    int saved = errno;
    tms_close(fd);
    errno = saved;
    return ok;
}

/* Replaces the image at path by a fresh one: written beside it, then renamed
 * over it, so that a reader sees the old image or the new one. */
static int mem_replace(const char *path, uint32_t size) {
    char tmp[MEM_PATH_MAX + MEM_TEMP_SUFFIX_MAX];
    int n = snprintf(tmp, sizeof(tmp), "%s.fresh.%ld", path, (long)getpid());
    if (n < 0 || (size_t)n >= sizeof(tmp)) {
        errno = ENAMETOOLONG;
        return 0;
    }
    int fd = tms_open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_EXCL | O_CLOEXEC, MEM_FILE_MODE);
    if (fd < 0)
        return 0;
    int ok = write_fresh(fd, size);
    int saved = errno;
    tms_close(fd);
    if (ok && rename(tmp, path) != 0) {
        ok = 0;
        saved = errno;
    }
    if (!ok)
        unlink(tmp);
    errno = saved;
    return ok;
}

int tmsim_mem_prepare(const char *path, uint32_t size, int fresh) {
    if (fresh)
        return mem_replace(path, size);
    if (!tmsim_mem_create(path, size))
        return 0;
    int fd = tms_open_regular(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    tms_close(fd);
    return 1;
}

/* Bytes of a request at off that lie inside the key memory. */
static size_t clamp_to_memory(const struct tmsim_key *key, uint64_t off, size_t n) {
    if (off >= key->memory_size)
        return 0;
    uint64_t room = key->memory_size - off;
    return n < room ? n : (size_t)room;
}

ssize_t tmsim_mem_read(const struct tmsim_key *key, uint64_t off, void *buf, size_t n) {
    size_t want = clamp_to_memory(key, off, n);
    if (want == 0)
        return 0;
    int fd = tms_open_regular(key->memory_path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    size_t got = 0;
    while (got < want) {
        ssize_t r = tms_pread(fd, (char *)buf + got, want - got, off + got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            int saved = errno;
            tms_close(fd);
            errno = saved;
            return -1;
        }
        if (r == 0)
            break;
        got += (size_t)r;
    }
    tms_close(fd);
    /* Memory the image file does not reach yet is blank. */
    memset((char *)buf + got, 0, want - got);
    return (ssize_t)want;
}

ssize_t tmsim_mem_write(const struct tmsim_key *key, uint64_t off, const void *buf, size_t n) {
    size_t want = clamp_to_memory(key, off, n);
    if (want == 0)
        return 0;
    int fd = tms_open_regular(key->memory_path, O_WRONLY | O_CREAT | O_CLOEXEC, MEM_FILE_MODE);
    if (fd < 0)
        return -1;
    size_t put = 0;
    while (put < want) {
        ssize_t w = tms_pwrite(fd, (const char *)buf + put, want - put, off + put);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            int saved = w < 0 ? errno : EIO;
            tms_close(fd);
            errno = saved;
            return -1;
        }
        put += (size_t)w;
    }
    tms_close(fd);
    return (ssize_t)want;
}
