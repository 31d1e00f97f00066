// SPDX-License-Identifier: LGPL-2.1-or-later
/* Device protocol of the touch-memory driver behind /dev/touchm0: the open
 * flags, the four request numbers and the ROM record size. Shared by the
 * client, the tool's polling probe and the driver stand-in; usable from C. */
#ifndef TOUCHMEM_PROTO_H
#define TOUCHMEM_PROTO_H

#include <fcntl.h>

#define TM_DEVICE_PATH "/dev/touchm0"

/* O_RDWR | O_NONBLOCK | O_SYNC, 0x101802 on x86-64 Linux. */
#define TM_OPEN_FLAGS (O_RDWR | O_NONBLOCK | O_SYNC)

/* Requests; each succeeds when ioctl returns 0. */
#define TM_REQ_PRESENCE 0x414C544AUL /* no argument: a key answers */
#define TM_REQ_READ_ROM 0x414C544BUL /* 8 writable bytes: the ROM id */
#define TM_REQ_RESET 0x414C544CUL    /* no argument: reset the connection */
#define TM_REQ_SKIP_ROM 0x414C544DUL /* no argument: skip the ROM stage */

#define TM_ROM_SIZE 8

#endif
