/* SPDX-License-Identifier: GPL-2.0-or-later */
/* romhex.h: a ROM id as the test programs of the qemu guests take it on
 * their command line, 16 hex digits in the driver's byte order. */
#ifndef ROMHEX_H
#define ROMHEX_H

#include <stdlib.h>
#include <string.h>

#define ROM_SIZE 8

/* 1 with the ROM in rom, or 0 for text that is no ROM id. */
static inline int parse_rom(const char *text, unsigned char *rom) {
    if (strlen(text) != 2 * ROM_SIZE)
        return 0;
    for (int i = 0; i < ROM_SIZE; i++) {
        char byte[3] = {text[2 * i], text[2 * i + 1], '\0'};
        char *end;
        rom[i] = (unsigned char)strtoul(byte, &end, 16);
        if (*end)
            return 0;
    }
    return 1;
}

#endif
