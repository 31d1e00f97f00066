// SPDX-License-Identifier: GPL-2.0-or-later
/* <vorn/vorn.h> as the first and only include, twice (its guard), then
 * every declaration used the way a caller uses it, so that a declaration
 * that does not parse, or differs from its use, fails the compile. */
#include "vorn.h"
#include "vorn.h"

int header_alone(void);

int header_alone(void) {
    struct vorn_line *line = vorn_open(VORN_DEFAULT_PATH);
    uint8_t rom[VORN_ROM_BYTES] = {0};
    char text[VORN_ROM_TEXT_SIZE];
    unsigned char buf[VORN_ROM_BYTES];
    struct vorn_event ev;
    long total = 0;
    total += vorn_fd(line);
    total += vorn_presence(line);
    total += vorn_read_rom(line, rom);
    total += vorn_rom_to_text(rom, text, sizeof(text));
    total += vorn_rom_from_text(text, rom);
    total += vorn_key_size(line);
    total += (long)vorn_read(line, 0, buf, sizeof(buf));
    total += (long)vorn_write(line, 0, buf, sizeof(buf));
    total += vorn_wait_event(line, -1, &ev);
    total += vorn_read_event(line, &ev);
    total += ev.kind == VORN_EVENT_ATTACHED || ev.kind == VORN_EVENT_REMOVED;
    total += (long)(ev.timestamp_ns + ev.seqno + ev.lost + ev.rom[0]);
    vorn_close(line);
    return (int)total;
}
