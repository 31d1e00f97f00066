// SPDX-License-Identifier: LGPL-2.1-or-later
#include "TouchMemCltK.h"

#include "ClientLog.h"
#include "Log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Source name and fixed line numbers of the client's failure reports.
constexpr const char *kSourceName = "TouchMemCltK";
constexpr int kLineReadSeek = 106;
constexpr int kLineRead = 111;
constexpr int kLineWriteSeek = 125;
constexpr int kLineWrite = 130;

// The lowest descriptor the device may take when open gives it 0: above
// the standard ones, so that no text meant for them reaches the device.
constexpr int kFirstDeviceDescriptor = STDERR_FILENO + 1;

// Descriptor 0 stands for "not open" in the client: a device opened there
// (standard input closed) is moved above the standard descriptors. -1 with
// errno set when that fails.
int KeepOffDescriptor0(int fd) {
    if (fd != 0)
        return fd;
    const int moved = fcntl(fd, F_DUPFD, kFirstDeviceDescriptor);
    const int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}

long Request(int fd, unsigned long request) {
    return ioctl(fd, request) == 0 ? 1 : 0;
}

} // namespace

CTouchMemClt::~CTouchMemClt() {
    Deinit();
}

long CTouchMemClt::Init(const char *path) {
    // A client that is not open takes its share of the client log; a second
    // Init keeps the share it holds and must not leak the first descriptor.
    if (m_fd == 0)
        AcquireClientLog();
    else if (m_fd > 0)
        close(m_fd);
    m_fd = KeepOffDescriptor0(open(path, TM_OPEN_FLAGS));
    if (m_fd < 0) {
        const int saved = errno;
        printf("can not open [%s]\n", strerror(saved));
        return 0;
    }
    g_clientLog.DebugPrint("libvorn inited\n");
    return 1;
}

long CTouchMemClt::Deinit() {
    // Any descriptor but 0 (a failed open leaves a negative one) means Init
    // ran and holds a share of the client log.
    const bool held = m_fd != 0;
    if (m_fd > 0)
        close(m_fd);
    m_fd = 0;
    ReleaseClientLog(held);
    return 1;
}

long CTouchMemClt::IsSlavePreset() {
    return Request(m_fd, TM_REQ_PRESENCE);
}

long CTouchMemClt::SkipRom() {
    return Request(m_fd, TM_REQ_SKIP_ROM);
}

long CTouchMemClt::ResetConn() {
    return Request(m_fd, TM_REQ_RESET);
}

long CTouchMemClt::ReadRom(_tm_rom_id *id) {
    if (ioctl(m_fd, TM_REQ_READ_ROM, id->bytes) != 0)
        return 0;
    _tm_rom_id reversed;
    for (int i = 0; i < TM_ROM_SIZE; ++i)
        reversed.bytes[i] = id->bytes[TM_ROM_SIZE - 1 - i];
    *id = reversed;
    return 1;
}

long CTouchMemClt::MemRead(unsigned int offset, unsigned int size, unsigned char *buf) {
    g_clientLog.DebugPrint("read from %d %d bytes\n", offset, size);
    if (lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        const int saved = errno;
        DebugPrintEx(kSourceName, kLineReadSeek, "lseek failed [%s]\n", strerror(saved));
        return 0;
    }
    if (read(m_fd, buf, size) < 0) {
        const int saved = errno;
        DebugPrintEx(kSourceName, kLineRead, "read failed [%s]\n", strerror(saved));
        return 0;
    }
    return 1;
}

long CTouchMemClt::MemWrite(unsigned int offset, unsigned int size, unsigned char *data) {
    g_clientLog.DebugPrint("write  to %d %d bytes\n", offset, size);
    if (lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        const int saved = errno;
        DebugPrintEx(kSourceName, kLineWriteSeek, "lseek failed [%s]\n", strerror(saved));
        return 0;
    }
    const ssize_t stored = write(m_fd, data, size);
    if (stored < 0) {
        const int saved = errno;
        DebugPrintEx(kSourceName, kLineWrite, "write failed [%s]\n", strerror(saved));
        return 0;
    }
    // A key that took only part of the data (its memory ends, the line
    // dropped) holds a half-written range: that is no success.
    if (static_cast<size_t>(stored) < size) {
        DebugPrintEx(kSourceName, kLineWrite, "write failed [stored %zd of %u bytes]\n", stored,
                     size);
        return 0;
    }
    return 1;
}
