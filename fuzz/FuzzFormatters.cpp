// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: the small formatters and the debug print. The first byte
// picks the operation; the rest is its data. DumpData, DumpData2 and
// DumpData4 write into buffers of exactly the documented size and must give
// the reference text; DebugPrint, DebugPrintEx and CLog::Print take file
// names and messages as data (always as an argument to "%s", never as a
// format) and must put exactly the expected line, cut to their buffer, into
// the current logger's file. The debug print echoes to standard output:
// run with -close_fd_mask=1.

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
constexpr unsigned long kMask = 0x0F;

CLog g_log; // the first logger of the process: the current logger
CFuzzLogFile g_file;

void Check(bool ok) {
    if (!ok)
        abort();
}

// Lower-case hex, zero-padded to width digits.
std::string Hex(int width, unsigned long value) {
    char item[32];
    snprintf(item, sizeof item, "%0*lx", width, value);
    return item;
}

// The items joined by single spaces.
template <typename T> std::string Joined(const std::vector<T> &items, int width) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i)
        text += (i ? " " : "") + Hex(width, static_cast<unsigned long>(items[i]));
    return text;
}

template <typename T> std::vector<T> Items(const uint8_t *data, size_t size) {
    std::vector<T> items(size / sizeof(T));
    if (!items.empty())
        memcpy(items.data(), data, items.size() * sizeof(T));
    return items;
}

// The line the logger writes: timestamp, space, text. Only the text is
// compared; the timestamp's shape is checked.
void ExpectLogLine(const std::string &text) {
    const std::string log = g_file.Contents();
    Check(log.size() == kFuzzTimestampLength + 1 + text.size());
    Check(log[2] == '.' && log[5] == '.' && log[10] == '(' && log[19] == ')');
    Check(log.compare(kFuzzTimestampLength, std::string::npos, " " + text) == 0);
}

std::string Cut(const std::string &text, std::size_t bufferSize) {
    return text.substr(0, bufferSize - 1);
}

std::string BaseName(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Splits the data at the first byte 0x01 into two C strings (each cut at a NUL).
void Split(const uint8_t *data, size_t size, std::string &first, std::string &second) {
    const std::string all(reinterpret_cast<const char *>(data), size);
    const std::size_t at = all.find('\x01');
    first = all.substr(0, at).c_str();
    second = at == std::string::npos ? "" : all.substr(at + 1).c_str();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_file.Open(g_log, kFlags, vorn::kLogDebug, kMask);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t op = data[0] % 7;
    ++data;
    --size;
    g_file.Clear();

    switch (op) {
    case 0: {
        std::vector<unsigned char> bytes(data, data + size);
        std::vector<char> out(3 * bytes.size() + 1);
        DumpData(bytes.data(), bytes.size(), out.data());
        Check(std::string(out.data()) == Joined(bytes, 2));
        break;
    }
    case 1: {
        std::vector<unsigned short> items = Items<unsigned short>(data, size);
        std::vector<char> out(5 * items.size() + 1);
        DumpData2(items.data(), items.size(), out.data());
        Check(std::string(out.data()) == Joined(items, 4));
        break;
    }
    case 2: {
        std::vector<unsigned long> items = Items<unsigned long>(data, size);
        std::vector<char> out(17 * items.size() + 1);
        DumpData4(items.data(), items.size(), out.data());
        Check(std::string(out.data()) == Joined(items, 8));
        break;
    }
    case 3: {
        // A line number from the data, then a file name and a message.
        int line = 0;
        if (size >= sizeof line) {
            memcpy(&line, data, sizeof line);
            data += sizeof line;
            size -= sizeof line;
        }
        std::string file, message;
        Split(data, size, file, message);
        DebugPrintEx(file.c_str(), line, "%s", message.c_str());
        const std::string prefix = BaseName(file) + "[" + std::to_string(line) + "] ";
        const std::string text = prefix.size() >= kDebugPrintExBufferSize
                                     ? Cut(prefix, kDebugPrintExBufferSize)
                                     : Cut(prefix + message, kDebugPrintExBufferSize);
        ExpectLogLine(text);
        break;
    }
    case 4: {
        const std::string message = std::string(reinterpret_cast<const char *>(data), size).c_str();
        DebugPrint("%s", message.c_str());
        ExpectLogLine(Cut(message, kDebugPrintBufferSize));
        break;
    }
    case 5: {
        if (size < 2)
            break;
        const unsigned long level = data[0] % 8;
        const unsigned long mask = data[1];
        const std::string message =
            std::string(reinterpret_cast<const char *>(data + 2), size - 2).c_str();
        Check(g_log.Print(level, mask, "%s", message.c_str()) == 1);
        const bool filtered = level > vorn::kLogDebug ||
                              (mask != 0 && level == vorn::kLogDebug && (mask & kMask) == 0);
        if (filtered)
            Check(g_file.Contents().empty());
        else
            ExpectLogLine(Cut(message, kLogBufferSize - kFuzzTimestampLength - 1));
        break;
    }
    default: {
        unsigned long level = 0;
        memcpy(&level, data, size < sizeof level ? size : sizeof level);
        const std::string name = CLog::doGetLogLevelString(level, 0);
        static const char *const kNames[] = {"fatal error", "error", "warning", "info", "debug"};
        if (level >= 1 && level <= 5)
            Check(name == kNames[level - 1]);
        else
            Check(name == "unknown log level(" +
                              std::to_string(static_cast<int>(static_cast<int32_t>(level))) + ")");
        break;
    }
    }
    return 0;
}
