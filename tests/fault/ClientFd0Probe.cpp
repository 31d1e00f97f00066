// SPDX-License-Identifier: GPL-2.0-or-later
// A program that uses libvorn's client directly, for runs started with
// standard descriptors closed: Init, the requests of getid and memrd
// (presence, ROM, 16 bytes at offset 0), Deinit, then a presence request on
// the closed client. Reports where the device landed and what each request
// got, after the client's own lines. With a file name as its argument the
// report goes into that file, opened after Deinit (standard output may be
// closed); otherwise to standard output.

#include "TouchMemCltK.h"

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

constexpr unsigned int kReadSize = 16;
constexpr mode_t kReportMode = 0600;

std::string Bytes(const unsigned char *data, size_t n) {
    std::string text;
    char hex[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(hex, sizeof(hex), i + 1 < n ? "%02x " : "%02x", data[i]);
        text += hex;
    }
    return text;
}

bool Emit(const char *path, const std::string &report) {
    // The client's own lines first.
    fflush(stdout);
    const int fd =
        path ? open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kReportMode) : STDOUT_FILENO;
    if (fd < 0)
        return false;
    const bool ok = write(fd, report.data(), report.size()) == static_cast<ssize_t>(report.size());
    if (path)
        close(fd);
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    CTouchMemClt client;
    if (client.Init(TM_DEVICE_PATH) != 1)
        return 2;
    const int fd = client.Descriptor();
    const long present = client.IsSlavePreset();
    _tm_rom_id rom{};
    const long romRead = client.ReadRom(&rom);
    unsigned char memory[kReadSize] = {};
    const long memoryRead = client.MemRead(0, kReadSize, memory);
    client.Deinit();
    const long late = client.IsSlavePreset();

    std::string report;
    report += std::string("device on a standard descriptor: ") +
              (fd <= STDERR_FILENO ? "yes" : "no") + "\n";
    report += std::string("presence: ") + (present ? "answered" : "failed") + "\n";
    report += "rom: " + (romRead ? Bytes(rom.bytes, TM_ROM_SIZE) : "failed") + "\n";
    report += "memory: " + (memoryRead ? Bytes(memory, kReadSize) : "failed") + "\n";
    report += std::string("presence after Deinit: ") + (late != 0 ? "answered" : "failed") + "\n";
    return Emit(argc > 1 ? argv[1] : nullptr, report) ? 0 : 3;
}
