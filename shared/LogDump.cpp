// SPDX-License-Identifier: LGPL-2.1-or-later
// CLog::DebugDump and CLog::DebugDump2: memory dumps into the log file, and
// the free DebugDump/DebugDump2 through the current logger.

#include "Log.h"
#include "LogFormat.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr unsigned long kHalfRowBytes = kDumpRowBytes / 2;

// Appends printf-style pieces to a caller's buffer, never past its end.
class TextOut {
  public:
    TextOut(char *out, std::size_t size) : m_out(out), m_size(size) {
        if (m_size > 0)
            m_out[0] = '\0';
    }

    void Add(const char *format, ...) VORN_PRINTF(2, 3) {
        if (m_len + 1 >= m_size)
            return;
        std::size_t room = m_size - m_len;
        va_list args;
        va_start(args, format);
        int n = vsnprintf(m_out + m_len, room, format, args);
        va_end(args);
        if (n > 0)
            m_len += static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room - 1;
    }

    void AddChar(char c) {
        if (m_len + 1 >= m_size)
            return;
        m_out[m_len++] = c;
        m_out[m_len] = '\0';
    }

    std::size_t Length() const { return m_len; }

  private:
    char *m_out;
    std::size_t m_size;
    std::size_t m_len = 0;
};

// The character column shows bytes 32 to 126 and 128 to 255 themselves.
bool ShowsItself(unsigned char byte) {
    return byte >= 0x20 && byte != 0x7F;
}

void WriteOnce(int fd, const char *text, std::size_t len) {
    if (write(fd, text, len) < 0) {
        // ignored: the dump text is lost
    }
}

// Collects the text of one dump and writes it to the log file: in a single
// write when it fits the buffer (always, in the logger's own dump buffer),
// else piece by piece whenever the buffer is full.
class DumpSink {
  public:
    DumpSink(char *buf, std::size_t cap, std::size_t held, int fd)
        : m_buf(buf), m_cap(cap), m_len(held), m_fd(fd) {}

    void Add(const char *text, std::size_t len) {
        if (m_len + len > m_cap)
            Flush();
        if (len > m_cap)
            len = m_cap;
        memcpy(m_buf + m_len, text, len);
        m_len += len;
    }

    void Flush() {
        if (m_len > 0)
            WriteOnce(m_fd, m_buf, m_len);
        m_len = 0;
    }

  private:
    char *m_buf;
    std::size_t m_cap;
    std::size_t m_len;
    int m_fd;
};

} // namespace

std::size_t FormatDumpHeader(char *out, std::size_t size, const char *file, int line,
                             const void *data, unsigned long dataSize) {
    TextOut text(out, size);
    text.Add("[memory(%s[%d]] buffer 0x%p size %lu\n", LogBaseName(file), line, data, dataSize);
    if (dataSize > kDumpCap)
        text.Add("stripped\n");
    return text.Length();
}

std::size_t FormatDumpRow(char *out, std::size_t size, const unsigned char *row,
                          unsigned long count) {
    TextOut text(out, size);
    text.Add("0x%p ", static_cast<const void *>(row));
    for (unsigned long col = 0; col < kDumpRowBytes; ++col) {
        if (col == kHalfRowBytes)
            text.Add("-");
        if (col < count)
            text.Add("%02X ", static_cast<unsigned>(row[col]));
        else
            text.Add("XX ");
    }
    text.Add(" ");
    for (unsigned long col = 0; col < count && col < kDumpRowBytes; ++col)
        text.AddChar(ShowsItself(row[col]) ? static_cast<char>(row[col]) : '.');
    text.Add("\n");
    return text.Length();
}

std::size_t FormatDump2Header(char *out, std::size_t size, const char *file, int line,
                              unsigned long dataSize) {
    TextOut text(out, size);
    text.Add("[memory(%s[%d]] size %lu\n", LogBaseName(file), line, dataSize);
    return text.Length();
}

std::size_t FormatDump2Row(char *out, std::size_t size, const unsigned char *row,
                           unsigned long count) {
    TextOut text(out, size);
    for (unsigned long col = 0; col < count && col < kDumpRowBytes; ++col)
        text.Add("0x%02X,", static_cast<unsigned>(row[col]));
    text.Add("\n");
    return text.Length();
}

int CLog::DebugDump(const char *file, int line, unsigned char *data, unsigned long size) {
    if (m_level <= vorn::kLogWarning)
        return 1;
    if (m_dumpBuf == nullptr)
        return 1;
    if (m_fd == 0)
        return 1; // the text would go nowhere
    CMutexScope lock(m_lock);
    std::array<char, kLogFallbackBufferSize> privDump;
    char *buf = m_dumpBuf;
    std::size_t cap = kLogBufferSize;
    if (lock.TimedOut()) {
        // The holder may still be using the dump buffer.
        buf = privDump.data();
        cap = privDump.size();
    }

    std::size_t held = FormatDumpHeader(buf, cap, file, line, data, size);
    DumpSink sink(buf, cap, held, m_fd);
    unsigned long covered = size > kDumpCap ? kDumpCap : size;
    std::array<char, kDumpRowTextSize> row;
    for (unsigned long offset = 0; offset < covered; offset += kDumpRowBytes) {
        unsigned long count = covered - offset < kDumpRowBytes ? covered - offset : kDumpRowBytes;
        sink.Add(row.data(), FormatDumpRow(row.data(), row.size(), data + offset, count));
    }
    sink.Add("\n", 1);
    sink.Flush();
    SyncIfAsked();
    return 1;
}

int CLog::DebugDump2(const char *file, int line, unsigned char *data, unsigned long size) {
    if (m_level <= vorn::kLogWarning)
        return 1;
    if (m_dumpBuf == nullptr)
        return 1;
    CMutexScope lock(m_lock);
    std::array<char, kLogFallbackBufferSize> privDump;
    char *buf = m_dumpBuf;
    std::size_t cap = kLogBufferSize;
    if (lock.TimedOut()) {
        buf = privDump.data();
        cap = privDump.size();
    }

    auto emit = [this, buf](std::size_t len) {
        if (m_fd != 0)
            WriteOnce(m_fd, buf, len);
        WriteOnce(STDERR_FILENO, buf, len);
    };
    emit(FormatDump2Header(buf, cap, file, line, size));
    SyncIfAsked();
    if (size == 0)
        return 1;
    for (unsigned long offset = 0; offset < size; offset += kDumpRowBytes) {
        unsigned long count = size - offset < kDumpRowBytes ? size - offset : kDumpRowBytes;
        emit(FormatDump2Row(buf, cap, data + offset, count));
    }
    SyncIfAsked();
    return 1;
}

int DebugDump(const char *file, int line, unsigned char *data, unsigned long size) {
    CLog *logger = g_currentLogger;
    if (logger == nullptr)
        return 1;
    return logger->DebugDump(file, line, data, size);
}

int DebugDump2(const char *file, int line, unsigned char *data, unsigned long size) {
    CLog *logger = g_currentLogger;
    if (logger == nullptr)
        return 1;
    return logger->DebugDump2(file, line, data, size);
}
