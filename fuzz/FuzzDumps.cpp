// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: the memory dumps. Each input gives a line number, a file
// name (any length, any bytes) and the data; CLog::DebugDump or
// CLog::DebugDump2 (directly or through the free DebugDump/DebugDump2 and the
// current logger) writes it into the log file, which is read back and
// compared with the dump built plainly from the same rules. DebugDump2
// copies to standard error: run with -close_fd_mask=2.

#include "FuzzLogFile.h"
#include "LogFormat.h"
#include "Log.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned long kFlags =
    vorn::kLogFlagTimestamp | vorn::kLogFlagTakeLevel | vorn::kLogFlagTakeMask;
constexpr std::size_t kTextMax = 64; // room for one formatted piece

CLog g_log; // the current logger
CFuzzLogFile g_file;

void Check(bool ok) {
    if (!ok)
        abort();
}

// "0x%p" of a pointer, with the trailing text given.
std::string Pointer(const void *pointer, const char *after) {
    char text[kTextMax];
    snprintf(text, sizeof text, "0x%p%s", pointer, after);
    return text;
}

std::string HexEntry(unsigned char byte) {
    char text[kTextMax];
    snprintf(text, sizeof text, "%02X ", static_cast<unsigned>(byte));
    return text;
}

std::string ByteConstant(unsigned char byte) {
    char text[kTextMax];
    snprintf(text, sizeof text, "0x%02X,", static_cast<unsigned>(byte));
    return text;
}

std::string BaseName(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The dump buffer holds at most this much of a header.
std::string Cut(const std::string &text) {
    return text.substr(0, kLogBufferSize - 1);
}

std::string ExpectedDump(const std::string &file, int line, const unsigned char *data,
                         unsigned long size) {
    std::string header = "[memory(" + BaseName(file) + "[" + std::to_string(line) + "]] buffer " +
                         Pointer(data, "") + " size " + std::to_string(size) + "\n";
    if (size > kDumpCap)
        header += "stripped\n";
    std::string text = Cut(header);
    const unsigned long covered = size > kDumpCap ? kDumpCap : size;
    for (unsigned long off = 0; off < covered; off += kDumpRowBytes) {
        text += Pointer(data + off, " ");
        for (unsigned long col = 0; col < kDumpRowBytes; ++col) {
            if (col == kDumpRowBytes / 2)
                text += "-";
            text += off + col < covered ? HexEntry(data[off + col]) : "XX ";
        }
        text += " ";
        for (unsigned long col = 0; col < kDumpRowBytes && off + col < covered; ++col) {
            const unsigned char b = data[off + col];
            text += (b >= 0x20 && b != 0x7F) ? static_cast<char>(b) : '.';
        }
        text += "\n";
    }
    return text + "\n";
}

std::string ExpectedDump2(const std::string &file, int line, const unsigned char *data,
                          unsigned long size) {
    std::string text = Cut("[memory(" + BaseName(file) + "[" + std::to_string(line) + "]] size " +
                           std::to_string(size) + "\n");
    for (unsigned long off = 0; off < size; off += kDumpRowBytes) {
        for (unsigned long col = 0; col < kDumpRowBytes && off + col < size; ++col)
            text += ByteConstant(data[off + col]);
        text += "\n";
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Level 4: dumps are made, although the debug print would print nothing.
    g_file.Open(g_log, kFlags, vorn::kLogInfo, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    constexpr std::size_t kHeader = sizeof(int) + 1;
    if (size < kHeader)
        return 0;
    int line = 0;
    memcpy(&line, data, sizeof line);
    const uint8_t how = data[sizeof line];
    const std::string rest(reinterpret_cast<const char *>(data + kHeader), size - kHeader);
    const std::size_t at = rest.find('\x01');
    const std::string file = rest.substr(0, at).c_str();
    // The bytes after the name, in a buffer of their own so that a read past
    // them is caught.
    const std::string bytes = at == std::string::npos ? "" : rest.substr(at + 1);
    std::vector<unsigned char> held(bytes.begin(), bytes.end());
    unsigned char *buf = held.data();
    const unsigned long n = held.size();

    g_file.Clear();
    if ((how & 1) == 0) {
        Check(((how & 2) ? DebugDump(file.c_str(), line, buf, n)
                         : g_log.DebugDump(file.c_str(), line, buf, n)) == 1);
        Check(g_file.Contents() == ExpectedDump(file, line, buf, n));
    } else {
        Check(((how & 2) ? DebugDump2(file.c_str(), line, buf, n)
                         : g_log.DebugDump2(file.c_str(), line, buf, n)) == 1);
        Check(g_file.Contents() == ExpectedDump2(file, line, buf, n));
    }
    return 0;
}
