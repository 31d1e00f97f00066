// SPDX-License-Identifier: LGPL-2.1-or-later
#pragma once
// CTouchMemClt: a thin client of the touch-memory device. Each key operation
// is one ioctl, or an lseek followed by one read or write.

#include "TouchMemProto.h"
#include "VornApi.h"

// A key's 64-bit ROM identifier, index 0 first.
struct _tm_rom_id {
    unsigned char bytes[TM_ROM_SIZE];
};

class VORN_API CTouchMemClt {
  public:
    // Not open (descriptor 0); touches neither the log nor the device.
    CTouchMemClt() = default;
    // Calls Deinit.
    ~CTouchMemClt();
    CTouchMemClt(const CTouchMemClt &) = delete;
    CTouchMemClt &operator=(const CTouchMemClt &) = delete;

    // Starts the client log ("/tmp/tmdrv.log") and opens path. 1 when the
    // device opened; 0 after printing "can not open [%s]" (the log stays up).
    // The device never stays on descriptor 0 (it is moved above 2). The log
    // is one per process: clients in other threads share it, and it stays
    // up while any of them is initialised.
    long Init(const char *path);
    // Closes the device if open, logs "libvorn closed", and shuts the log
    // down unless another client still holds it. May be called any number
    // of times (a second call logs nothing); always 1. Init and Deinit of
    // clients in different threads are serialised with each other.
    long Deinit();

    // 1 when a key answers the presence request.
    long IsSlavePreset();
    // 1 with id holding the ROM in reversed driver order; 0 leaves id as the
    // driver left it.
    long ReadRom(_tm_rom_id *id);
    long SkipRom();
    long ResetConn();
    // Positions at offset and reads/writes size bytes. A short read is
    // success; a short write is not. 0 after a failed lseek/read/write
    // (reported with errno text) and after a write the device took only in
    // part (reported as "write failed [stored N of M bytes]").
    long MemRead(unsigned int offset, unsigned int size, unsigned char *buf);
    long MemWrite(unsigned int offset, unsigned int size, unsigned char *data);

    int Descriptor() const { return m_fd; }

  private:
    int m_fd = 0;
};
