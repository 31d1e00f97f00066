// SPDX-License-Identifier: LGPL-2.1-or-later
#pragma once
// CLog: a file logger with levels, flags and a subsystem mask, the process's
// current logger, the debug print and the small hex formatters.

#include "Mutex.h"
#include "VornApi.h"

#include <cstddef>

namespace vorn {

// Room for the timestamp text "dd.mm.yyyy(hh:mm:ss) mmm" and its NUL
// (CLog::doGetCurTime).
constexpr std::size_t kTimestampSize = 25;

// Flag bits of CLog::Init.
constexpr unsigned long kLogFlagTimestamp = 0x1;
constexpr unsigned long kLogFlagSync = 0x2;
constexpr unsigned long kLogFlagTakeLevel = 0x100;
constexpr unsigned long kLogFlagTakeMask = 0x200;

// Levels: a smaller number is more severe.
constexpr unsigned long kLogFatal = 1;
constexpr unsigned long kLogError = 2;
constexpr unsigned long kLogWarning = 3;
constexpr unsigned long kLogInfo = 4;
constexpr unsigned long kLogDebug = 5;

} // namespace vorn

#define VORN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

class VORN_API CLog {
  public:
    // Allocates the three buffers; registers itself as current logger when
    // none is registered. When an allocation fails the object keeps no
    // buffer, prints and dumps nothing (Print and PrintString return 0) and
    // does not register, so that debug prints still reach standard output.
    CLog();
    ~CLog();
    CLog(const CLog &) = delete;
    CLog &operator=(const CLog &) = delete;

    // Stores flags (and level/mask per 0x100/0x200; these take effect even
    // when the open fails), then opens path read-write in append mode,
    // without blocking, without following a symbolic link and without
    // truncating it (mode 0600, created if missing): new lines follow the
    // existing content, and loggers of several processes sharing the file
    // lose none of each other's lines. Only a regular file is kept; a FIFO,
    // a device or a directory at path leaves the logger without a file. A
    // file already open is closed first. Creates the debug-print
    // mutex on the first successful Init of the process and the logger's
    // lock. 1 when the file is open; 0 leaves the logger without a file.
    // After Deinit the buffers are gone for good: Init opens the file, but
    // the object prints and dumps nothing until it is destroyed, and it does
    // not become the current logger again.
    int Init(const char *path, unsigned long flags, unsigned long level, unsigned long mask);
    // Clears the current logger (whichever logger it points to), closes the
    // file, frees the buffers and the lock. Repeated calls do nothing more.
    // Returns 1.
    int Deinit();

    // Writes one line (timestamp per flag 0x1, a space, text; no newline
    // added) unless filtered: a level above the logger's, or a level-5
    // message whose non-zero mask shares no bit with the logger's mask.
    // 0 without a file (or without buffers), else 1, also when filtered or
    // when the write fails. Takes no lock: callers hold the logger's.
    int PrintString(unsigned long level, unsigned long mask, const char *text);
    // Formats (cut to 32767 bytes) under the lock and hands the text to
    // PrintString; 0 without a file, formatting nothing.
    int Print(unsigned long level, unsigned long mask, const char *format, ...) VORN_PRINTF(4, 5);
    // At level 5 or more: the text to standard output and, as a level-5
    // line that the mask never filters, to the file. Always 1.
    int DebugPrint(const char *format, ...) VORN_PRINTF(2, 3);

    // Hex listing of at most 2048 bytes into the file (level 4 or more),
    // one write; nothing without a file. Always 1.
    int DebugDump(const char *file, int line, unsigned char *data, unsigned long size);
    // Byte constants, 16 a line, into the file and to standard error (level
    // 4 or more). Always 1.
    int DebugDump2(const char *file, int line, unsigned char *data, unsigned long size);
    // A print or dump that waited in vain for the lock formats into private
    // stack buffers (4096 bytes each) instead of the shared ones,
    // which the holder may still be using; its text is cut to that size, and
    // a dump is then written in several pieces.

    // Timestamp text into out (at least vorn::kTimestampSize bytes).
    static void doGetCurTime(char *out);
    // Name of a level in one static buffer that each call overwrites.
    static const char *doGetLogLevelString(unsigned long level, unsigned long unused);

    int Descriptor() const { return m_fd; }
    unsigned long Flags() const { return m_flags; }
    unsigned long Level() const { return m_level; }
    unsigned long Mask() const { return m_mask; }

  private:
    // PrintString into lineBuf (lineSize bytes) of the text's first textLen
    // bytes.
    VORN_LOCAL int PrintStringInto(char *lineBuf, std::size_t lineSize, unsigned long level,
                                   unsigned long mask, const char *text, std::size_t textLen);
    VORN_LOCAL void SyncIfAsked();
    VORN_LOCAL void CloseFile();
    VORN_LOCAL void FreeBuffers();

    int m_fd = 0;
    unsigned long m_flags = vorn::kLogFlagTimestamp;
    unsigned long m_level = vorn::kLogDebug;
    unsigned long m_mask = 0;
    char *m_formatBuf = nullptr;
    char *m_lineBuf = nullptr;
    char *m_dumpBuf = nullptr;
    CMutex m_lock;
};

// The process-wide current logger (null at start) and the debug-print mutex.
// Exported by both deliverables; the program's copies win.
extern VORN_API CLog *g_currentLogger;
extern VORN_API CMutex g_debugPrintMutex;

// Format into a local buffer (2048 bytes; 1024 for DebugPrintEx, its
// "name[line] " prefix included) under the debug-print mutex and hand the
// finished text to the current logger's DebugPrint, or to standard output
// when there is none. Lock order: the debug-print mutex, then the logger's.
VORN_API void DebugPrint(const char *format, ...) VORN_PRINTF(1, 2);
VORN_API void DebugPrintEx(const char *file, int line, const char *format, ...) VORN_PRINTF(3, 4);

// out must hold 3 x count + 1 bytes; two lower-case hex digits an item,
// separated by single spaces. Takes the debug-print mutex (not for count 0).
VORN_API void DumpData(unsigned char *data, unsigned long count, char *out);
// out must hold 5 x count + 1 bytes.
VORN_API void DumpData2(unsigned short *data, unsigned long count, char *out);
// out must hold 17 x count + 1 bytes (9 x count + 1 for items below 2^32).
VORN_API void DumpData4(unsigned long *data, unsigned long count, char *out);

// Through the current logger; 1 when there is none.
VORN_API int DebugDump(const char *file, int line, unsigned char *data, unsigned long size);
VORN_API int DebugDump2(const char *file, int line, unsigned char *data, unsigned long size);
