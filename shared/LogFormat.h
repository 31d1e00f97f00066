// SPDX-License-Identifier: LGPL-2.1-or-later
#pragma once
// Inside the diagnostic layer: the sizes of the logger's buffers and the
// pure formatters behind the prints and dumps. Not installed; the functions
// keep hidden visibility, so they never enter a deliverable's symbol table.

#include "Log.h"

#include <cstdarg>
#include <cstddef>
#include <ctime>

// Sizes of the logger's buffers and of the debug print's local buffers.
constexpr std::size_t kLogBufferSize = 32768;
constexpr std::size_t kDebugPrintBufferSize = 2048;
constexpr std::size_t kDebugPrintExBufferSize = 1024;
// Room for the level-name text, "unknown log level(%d)" included.
constexpr std::size_t kLevelNameSize = 64;
// What a print that could not get the lock formats into instead of the
// shared buffers (a stack buffer, so it is usable in signal context).
constexpr std::size_t kLogFallbackBufferSize = 4096;

// Dumps show at most this many bytes of CLog::DebugDump.
constexpr unsigned long kDumpCap = 2048;
// Bytes a dump row shows, and room for the text of one row of either dump.
constexpr unsigned long kDumpRowBytes = 16;
constexpr std::size_t kDumpRowTextSize = 128;

// Pure formatters behind the prints and dumps. Each writes into out (of size
// bytes, cut to size - 1 and always terminated when size > 0) and returns the
// length of the text it left there.

// The part of path after its last '/', or path itself ("" for null).
const char *LogBaseName(const char *path);
// "dd.mm.yyyy(hh:mm:ss) mmm" from a local calendar time and milliseconds.
std::size_t FormatLogTimestamp(char *out, std::size_t size, const struct tm &local,
                               unsigned long millis);
// The log line: timestamp text (may be empty), one space, the message.
std::size_t FormatLogLine(char *out, std::size_t size, const char *timestamp, const char *text);
// "%s[%d] " with the base name of file and line, then the message; when the
// prefix alone fills out, no message follows.
std::size_t FormatDebugPrintEx(char *out, std::size_t size, const char *file, int line,
                               const char *format, va_list args) VORN_PRINTF(5, 0);
// Header of CLog::DebugDump, followed by "stripped\n" when dataSize is above
// the cap.
std::size_t FormatDumpHeader(char *out, std::size_t size, const char *file, int line,
                             const void *data, unsigned long dataSize);
// One row of CLog::DebugDump: address, 16 hex columns ("XX " past count),
// the printable characters of the count (1 to 16) bytes at row, newline.
std::size_t FormatDumpRow(char *out, std::size_t size, const unsigned char *row,
                          unsigned long count);
// Header of CLog::DebugDump2.
std::size_t FormatDump2Header(char *out, std::size_t size, const char *file, int line,
                              unsigned long dataSize);
// One row of CLog::DebugDump2: "0x%02X," for each of the count bytes, newline.
std::size_t FormatDump2Row(char *out, std::size_t size, const unsigned char *row,
                           unsigned long count);
