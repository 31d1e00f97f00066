// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * The device calls of "tmtool getid" and "tmtool memrd 0 512", and nothing
 * else: the baseline of the process benchmarks. Run under tmsim like the
 * tool, it shows what the tool's start-up, log and output add.
 *
 *   devcalls getid   open, presence, ROM, close
 *   devcalls memrd   open, presence, 50 ms settle pause, ROM,
 *                    lseek 0, read 512, close
 */
#include "TouchMemProto.h"

#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define DEVCALLS_SETTLE_US 50000
#define DEVCALLS_READ_SIZE 512

int main(int argc, char **argv) {
    unsigned char rom[TM_ROM_SIZE];
    unsigned char mem[DEVCALLS_READ_SIZE];
    int memrd = argc > 1 && strcmp(argv[1], "memrd") == 0;
    int fd = open(TM_DEVICE_PATH, TM_OPEN_FLAGS);
    int status = 1;

    if (fd < 0)
        return 1;
    if (ioctl(fd, TM_REQ_PRESENCE) != 0)
        goto out;
    if (memrd)
        usleep(DEVCALLS_SETTLE_US);
    if (ioctl(fd, TM_REQ_READ_ROM, rom) != 0)
        goto out;
    if (memrd) {
        if (lseek(fd, 0, SEEK_SET) < 0 || read(fd, mem, sizeof(mem)) < 0)
            goto out;
    }
    status = 0;
out:
    close(fd);
    return status;
}
