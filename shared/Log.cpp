// CLog: the file logger, the process's current logger, the debug print.

#include "Log.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

// Process-wide state. Exported under plain names by both deliverables; in a
// process holding both, every image reaches the program's copies. The mutex is
// constant-initialised, so it is valid before any static constructor runs.
CLog *g_currentLogger = nullptr;
CMutex g_debugPrintMutex;
int g_debugPrintMutexOnce = 0;

#if defined(__SANITIZE_ADDRESS__)
// Both images of such a process define the utility library's variables, and
// the program's copies preempt the library's by design. AddressSanitizer
// would take the second definition for a violation of the one-definition
// rule; report such pairs only when their sizes differ (a real mismatch).
// Variables set in ASAN_OPTIONS still override this default.
extern "C" const char *__asan_default_options() {
    return "detect_odr_violation=1";
}
#endif

namespace {

// Value recorded by every CMutex::Init of the logger; the wait ignores it.
constexpr unsigned long kLockValue = 50;
// Permission bits of a new log file (less the umask).
constexpr mode_t kLogFileMode = 0600;
constexpr unsigned long kMicrosPerMilli = 1000;

// Level names by level (1 to 5).
constexpr std::array<const char *, 5> kLevelNames = {"fatal error", "error", "warning", "info",
                                                     "debug"};

// The level-name text that doGetLogLevelString fills and returns.
char s_levelName[kLevelNameSize];

// One write; a failed or short write loses the line, which callers accept.
void WriteOnce(int fd, const char *text, std::size_t len) {
    if (write(fd, text, len) < 0) {
        // ignored: the line is lost
    }
}

// Hands a finished debug text to the current logger, or to standard output
// when there is none. Called with the debug-print mutex taken.
void RouteDebugText(const char *text) {
    CLog *logger = g_currentLogger;
    if (logger != nullptr)
        logger->DebugPrint("%s", text);
    else
        fputs(text, stdout);
}

} // namespace

const char *LogBaseName(const char *path) {
    if (path == nullptr)
        return "";
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Length of what snprintf left in a buffer of size bytes, given its result.
static std::size_t HeldLength(int result, std::size_t size) {
    if (result < 0 || size == 0)
        return 0;
    return static_cast<std::size_t>(result) < size ? static_cast<std::size_t>(result) : size - 1;
}

std::size_t FormatLogTimestamp(char *out, std::size_t size, const struct tm &local,
                               unsigned long millis) {
    int n =
        snprintf(out, size, "%02d.%02d.%04d(%02d:%02d:%02d) %03lu", local.tm_mday, local.tm_mon + 1,
                 local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, millis);
    return HeldLength(n, size);
}

std::size_t FormatLogLine(char *out, std::size_t size, const char *timestamp, const char *text) {
    int n = snprintf(out, size, "%s %s", timestamp, text);
    return HeldLength(n, size);
}

std::size_t FormatDebugPrintEx(char *out, std::size_t size, const char *file, int line,
                               const char *format, va_list args) {
    if (size == 0)
        return 0;
    std::size_t prefix = HeldLength(snprintf(out, size, "%s[%d] ", LogBaseName(file), line), size);
    out[prefix] = '\0';
    if (prefix + 1 >= size)
        return prefix; // the prefix fills the buffer: no message text
    std::size_t rest = size - prefix;
    std::size_t body = HeldLength(vsnprintf(out + prefix, rest, format, args), rest);
    out[prefix + body] = '\0';
    return prefix + body;
}

CLog::CLog() {
    m_formatBuf = new (std::nothrow) char[kLogBufferSize];
    m_lineBuf = new (std::nothrow) char[kLogBufferSize];
    m_dumpBuf = new (std::nothrow) char[kLogBufferSize];
    if (m_formatBuf == nullptr || m_lineBuf == nullptr || m_dumpBuf == nullptr) {
        // A logger without buffers prints nothing; leave the current logger
        // to someone who can print.
        FreeBuffers();
        return;
    }
    m_formatBuf[0] = '\0';
    m_lineBuf[0] = '\0';
    m_dumpBuf[0] = '\0';
    if (g_currentLogger == nullptr)
        g_currentLogger = this;
}

CLog::~CLog() {
    Deinit();
}

void CLog::FreeBuffers() {
    delete[] m_formatBuf;
    m_formatBuf = nullptr;
    delete[] m_lineBuf;
    m_lineBuf = nullptr;
    delete[] m_dumpBuf;
    m_dumpBuf = nullptr;
}

void CLog::CloseFile() {
    if (m_fd != 0) {
        close(m_fd);
        m_fd = 0;
    }
}

int CLog::Init(const char *path, unsigned long flags, unsigned long level, unsigned long mask) {
    m_flags = flags;
    if ((flags & kLogFlagTakeLevel) != 0)
        m_level = level;
    if ((flags & kLogFlagTakeMask) != 0)
        m_mask = mask;

    CloseFile();
    // The path lies in a world-writable directory: never follow a link
    // planted there, and keep the descriptor out of programs we exec.
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kLogFileMode);
    if (fd < 0)
        return 0;
    if (fd == 0) {
        // Descriptor 0 stands for "no file" here; move the file off it.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (moved < 0)
            return 0;
        fd = moved;
    }
    lseek(fd, 0, SEEK_END);
    m_fd = fd;

    if (g_debugPrintMutexOnce == 0 && g_debugPrintMutex.Init(kLockValue) != 0)
        g_debugPrintMutexOnce = 1;
    m_lock.Init(kLockValue);
    return 1;
}

int CLog::Deinit() {
    g_currentLogger = nullptr;
    CloseFile();
    FreeBuffers();
    m_lock.Deinit();
    return 1;
}

void CLog::SyncIfAsked() {
    if ((m_flags & kLogFlagSync) != 0 && m_fd != 0)
        fsync(m_fd);
}

int CLog::PrintStringInto(char *lineBuf, std::size_t lineSize, unsigned long level,
                          unsigned long mask, const char *text) {
    if (m_fd == 0)
        return 0;
    if (level > m_level)
        return 1;
    if (mask != 0 && level == kLogDebug && (mask & m_mask) == 0)
        return 1;
    if (lineBuf == nullptr)
        return 0;
    char timestamp[kTimestampSize] = "";
    if ((m_flags & kLogFlagTimestamp) != 0)
        doGetCurTime(timestamp);
    std::size_t len = FormatLogLine(lineBuf, lineSize, timestamp, text != nullptr ? text : "");
    WriteOnce(m_fd, lineBuf, len);
    SyncIfAsked();
    return 1;
}

int CLog::PrintString(unsigned long level, unsigned long mask, const char *text) {
    return PrintStringInto(m_lineBuf, kLogBufferSize, level, mask, text);
}

int CLog::Print(unsigned long level, unsigned long mask, const char *format, ...) {
    if (m_fd == 0 || m_formatBuf == nullptr)
        return 0;
    CMutexScope lock(m_lock);
    std::array<char, kLogFallbackBufferSize> privFormat;
    std::array<char, kLogFallbackBufferSize> privLine;
    char *formatBuf = m_formatBuf;
    char *lineBuf = m_lineBuf;
    std::size_t size = kLogBufferSize;
    if (lock.TimedOut()) {
        // The holder may still be using the shared buffers.
        formatBuf = privFormat.data();
        lineBuf = privLine.data();
        size = kLogFallbackBufferSize;
    }
    va_list args;
    va_start(args, format);
    vsnprintf(formatBuf, size, format, args);
    va_end(args);
    return PrintStringInto(lineBuf, size, level, mask, formatBuf);
}

int CLog::DebugPrint(const char *format, ...) {
    if (m_formatBuf == nullptr)
        return 1;
    if (m_level < kLogDebug)
        return 1;
    CMutexScope lock(m_lock);
    std::array<char, kLogFallbackBufferSize> privFormat;
    std::array<char, kLogFallbackBufferSize> privLine;
    char *formatBuf = m_formatBuf;
    char *lineBuf = m_lineBuf;
    std::size_t size = kLogBufferSize;
    if (lock.TimedOut()) {
        formatBuf = privFormat.data();
        lineBuf = privLine.data();
        size = kLogFallbackBufferSize;
    }
    va_list args;
    va_start(args, format);
    vsnprintf(formatBuf, size, format, args);
    va_end(args);
    fputs(formatBuf, stdout);
    PrintStringInto(lineBuf, size, kLogDebug, 0, formatBuf);
    return 1;
}

void CLog::doGetCurTime(char *out) {
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    FormatLogTimestamp(out, kTimestampSize, local,
                       static_cast<unsigned long>(tv.tv_usec) / kMicrosPerMilli);
}

const char *CLog::doGetLogLevelString(unsigned long level, unsigned long) {
    if (level >= 1 && level <= kLevelNames.size())
        snprintf(s_levelName, sizeof s_levelName, "%s", kLevelNames[level - 1]);
    else
        snprintf(s_levelName, sizeof s_levelName, "unknown log level(%d)",
                 static_cast<int>(static_cast<int32_t>(level)));
    return s_levelName;
}

void DebugPrint(const char *format, ...) {
    CMutexScope lock(g_debugPrintMutex);
    std::array<char, kDebugPrintBufferSize> text;
    va_list args;
    va_start(args, format);
    vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    RouteDebugText(text.data());
}

void DebugPrintEx(const char *file, int line, const char *format, ...) {
    CMutexScope lock(g_debugPrintMutex);
    std::array<char, kDebugPrintExBufferSize> text;
    va_list args;
    va_start(args, format);
    FormatDebugPrintEx(text.data(), text.size(), file, line, format, args);
    va_end(args);
    RouteDebugText(text.data());
}
