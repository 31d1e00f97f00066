// The hex listing of memrd: "%04lX " position, sixteen "%02lX " / "XX "
// entries with a hyphen after the eighth, a space, the printable characters.

#include "HexListing.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

static_assert(kHexChunkSize >= kHexLineBufferSize, "a chunk holds at least one line");

constexpr std::size_t kHalfLine = kHexBytesPerLine / 2;
// Entries, hyphen, separating space and line end, without the position and
// the character part.
constexpr std::size_t kHexPartSize = kHexBytesPerLine * 3 + 1 + 1 + 1;
constexpr unsigned char kFirstShown = 0x20;
constexpr unsigned char kLastShown = 0x7F;
constexpr char kHexDigits[] = "0123456789ABCDEF";

char ShownChar(unsigned char c) {
    return (c >= kFirstShown && c <= kLastShown) ? static_cast<char>(c) : '.';
}

// Writes all of text to descriptor 2; a chunk normally goes out in one
// write, the loop only covers a partial write or an interrupted one.
void WriteToStderr(const char *text, std::size_t len) {
    while (len > 0) {
        const ssize_t done = write(STDERR_FILENO, text, len);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return;
        text += done;
        len -= static_cast<std::size_t>(done);
    }
}

} // namespace

std::size_t FormatHexLine(char *out, std::size_t outSize, uint64_t index, const unsigned char *data,
                          std::size_t n) {
    if (out == nullptr || outSize == 0)
        return 0;
    out[0] = '\0';
    if (data == nullptr || n == 0 || n > kHexBytesPerLine)
        return 0;

    const int posLen =
        snprintf(out, outSize, "%04lX ", static_cast<unsigned long>(index * kHexBytesPerLine));
    // Room for the position, the rest of the line and the terminating NUL.
    if (posLen < 0 || static_cast<std::size_t>(posLen) >= outSize ||
        outSize - static_cast<std::size_t>(posLen) < kHexPartSize + n + 1) {
        out[0] = '\0';
        return 0;
    }
    std::size_t len = static_cast<std::size_t>(posLen);

    for (std::size_t pos = 0; pos < kHexBytesPerLine; ++pos) {
        if (pos == kHalfLine)
            out[len++] = '-';
        if (pos < n) {
            out[len++] = kHexDigits[data[pos] >> 4];
            out[len++] = kHexDigits[data[pos] & 0x0F];
        } else {
            out[len++] = 'X';
            out[len++] = 'X';
        }
        out[len++] = ' ';
    }
    out[len++] = ' ';
    for (std::size_t pos = 0; pos < n; ++pos)
        out[len++] = ShownChar(data[pos]);
    out[len++] = '\n';
    out[len] = '\0';
    return len;
}

void PrintHexLine(uint64_t index, const unsigned char *data, std::size_t n) {
    char line[kHexLineBufferSize];
    const std::size_t len = FormatHexLine(line, sizeof line, index, data, n);
    if (len > 0)
        WriteToStderr(line, len);
}

void PrintHexDump(const unsigned char *data, uint64_t size) {
    char chunk[kHexChunkSize];
    std::size_t used = 0;
    for (uint64_t done = 0; done < size; done += kHexBytesPerLine) {
        // Every line fits in kHexLineBufferSize: send what is gathered when
        // the rest of the chunk might not hold the next one.
        if (sizeof chunk - used < kHexLineBufferSize) {
            WriteToStderr(chunk, used);
            used = 0;
        }
        const uint64_t left = size - done;
        const std::size_t n =
            left < kHexBytesPerLine ? static_cast<std::size_t>(left) : kHexBytesPerLine;
        used += FormatHexLine(chunk + used, sizeof chunk - used, done / kHexBytesPerLine,
                              data + done, n);
    }
    WriteToStderr(chunk, used);
}
