// SPDX-License-Identifier: LGPL-2.1-or-later
// CLog: the file logger, the process's current logger, the debug print.

#include "Log.h"
#include "LogFormat.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

// Process-wide state. Exported under plain names by both deliverables; in a
// process holding both, every image reaches the program's copies. The mutex is
// constant-initialised, so it is valid before any static constructor runs.
CLog *g_currentLogger = nullptr;
CMutex g_debugPrintMutex;

// Whether a CLog::Init has created the debug-print mutex. Only CLog::Init
// reads it, and the program's CLog::Init is the one every image calls, so
// one flag per image serves the one mutex of the process.
static int s_debugPrintMutexOnce = 0;

#if defined(__SANITIZE_ADDRESS__)
// Both images of such a process define the utility library's variables, and
// the program's copies preempt the library's by design. AddressSanitizer
// would take the second definition for a violation of the one-definition
// rule; report such pairs only when their sizes differ (a real mismatch).
// Variables set in ASAN_OPTIONS still override this default. The sanitizer
// runtime looks the function up by name, so it stays visible.
extern "C" VORN_API const char *__asan_default_options() {
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

// Whether format is exactly "%s": its one argument is the finished text.
bool IsPlainStringFormat(const char *format) {
    return format[0] == '%' && format[1] == 's' && format[2] == '\0';
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

// Length of what vsnprintf left in buf (size bytes), given its result; an
// encoding error leaves whatever text it terminated there.
static std::size_t FormattedLength(int result, const char *buf, std::size_t size) {
    if (result < 0)
        return strnlen(buf, size - 1);
    return HeldLength(result, size);
}

namespace {

// Length of the timestamp text, and of its date and time part
// "dd.mm.yyyy(hh:mm:ss)" that stays the same for a whole second.
constexpr std::size_t kTimestampLength = vorn::kTimestampSize - 1;
constexpr std::size_t kDateTimeLength = 20;
constexpr int kTwoDigitLimit = 100;
constexpr int kYearLimit = 10000;
constexpr unsigned long kMillisLimit = 1000;
constexpr int kYearBase = 1900;

// Fields of a local calendar time that the timestamp shows, as printed.
struct SLogDateTime {
    int day;
    int month;
    int year;
    int hour;
    int minute;
    int second;
};

SLogDateTime DateTimeOf(const struct tm &local) {
    return {local.tm_mday, local.tm_mon + 1, local.tm_year + kYearBase,
            local.tm_hour, local.tm_min,     local.tm_sec};
}

// Whether every field prints in exactly its width ("%02d" of 0 to 99, "%04d"
// of 0 to 9999), so that the digits can be placed by hand.
bool FitsItsWidth(const SLogDateTime &dt) {
    auto twoDigits = [](int v) { return v >= 0 && v < kTwoDigitLimit; };
    return twoDigits(dt.day) && twoDigits(dt.month) && dt.year >= 0 && dt.year < kYearLimit &&
           twoDigits(dt.hour) && twoDigits(dt.minute) && twoDigits(dt.second);
}

void PutDigits(char *out, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// "dd.mm.yyyy(hh:mm:ss)" into out (kDateTimeLength bytes, not terminated);
// the fields must fit their widths.
void PutDateTime(char *out, const SLogDateTime &dt) {
    PutDigits(out, static_cast<unsigned>(dt.day), 2);
    out[2] = '.';
    PutDigits(out + 3, static_cast<unsigned>(dt.month), 2);
    out[5] = '.';
    PutDigits(out + 6, static_cast<unsigned>(dt.year), 4);
    out[10] = '(';
    PutDigits(out + 11, static_cast<unsigned>(dt.hour), 2);
    out[13] = ':';
    PutDigits(out + 14, static_cast<unsigned>(dt.minute), 2);
    out[16] = ':';
    PutDigits(out + 17, static_cast<unsigned>(dt.second), 2);
    out[19] = ')';
}

// " mmm" after the date and time, and the end of the text.
void PutMillis(char *out, unsigned long millis) {
    out[0] = ' ';
    PutDigits(out + 1, static_cast<unsigned>(millis), 3);
    out[4] = '\0';
}

// The log line "%s %s" of timestamp (tsLen bytes) and text (textLen bytes)
// into out, cut to size - 1 bytes and terminated, as snprintf would leave it.
std::size_t JoinLogLine(char *out, std::size_t size, const char *timestamp, std::size_t tsLen,
                        const char *text, std::size_t textLen) {
    if (size == 0)
        return 0;
    const std::size_t room = size - 1;
    std::size_t len = tsLen < room ? tsLen : room;
    memcpy(out, timestamp, len);
    if (len < room)
        out[len++] = ' ';
    const std::size_t rest = room - len;
    const std::size_t body = textLen < rest ? textLen : rest;
    memcpy(out + len, text, body);
    len += body;
    out[len] = '\0';
    return len;
}

std::size_t FormatTimestampSlow(char *out, std::size_t size, const SLogDateTime &dt,
                                unsigned long millis) {
    int n = snprintf(out, size, "%02d.%02d.%04d(%02d:%02d:%02d) %03lu", dt.day, dt.month, dt.year,
                     dt.hour, dt.minute, dt.second, millis);
    return HeldLength(n, size);
}

} // namespace

namespace {

// The date and time part of the timestamp for the latest second seen, so
// that the lines of one second make a single local-time conversion. The
// text belongs to a second and to the time zone setting it was converted
// in (the value of TZ, known by its address: setting TZ to another value
// gives another string), so a change of TZ is seen at the next line. Signal
// handlers and threads use it without a lock: a sequence counter, odd while
// an update is under way, tells a reader whether what it copied is whole; a
// reader that finds it changing, or another second or zone, converts the
// time itself, and an update that finds another one under way is skipped.
class CDateTimeCache {
  public:
    // Copies the text for second in zone into out (kDateTimeLength bytes);
    // false when the cache holds another second or zone or is being updated.
    bool Get(time_t second, const char *zone, char *out) const {
        const unsigned before = m_seq.load(std::memory_order_acquire);
        if ((before & 1U) != 0 || !m_filled.load(std::memory_order_acquire) ||
            m_second.load(std::memory_order_acquire) != static_cast<long long>(second) ||
            m_zone.load(std::memory_order_acquire) != zone)
            return false;
        std::array<uint64_t, kWords> words;
        for (std::size_t i = 0; i < kWords; ++i)
            words[i] = m_text[i].load(std::memory_order_acquire);
        if (m_seq.load(std::memory_order_relaxed) != before)
            return false;
        memcpy(out, words.data(), kDateTimeLength);
        return true;
    }

    // Keeps text (kDateTimeLength bytes) as the text of second in zone.
    void Put(time_t second, const char *zone, const char *text) {
        unsigned seq = m_seq.load(std::memory_order_relaxed);
        if ((seq & 1U) != 0 ||
            !m_seq.compare_exchange_strong(seq, seq + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed))
            return;
        std::array<uint64_t, kWords> words{};
        memcpy(words.data(), text, kDateTimeLength);
        m_second.store(static_cast<long long>(second), std::memory_order_release);
        m_zone.store(zone, std::memory_order_release);
        for (std::size_t i = 0; i < kWords; ++i)
            m_text[i].store(words[i], std::memory_order_release);
        m_filled.store(true, std::memory_order_release);
        m_seq.store(seq + 2, std::memory_order_release);
    }

  private:
    static constexpr std::size_t kWords =
        (kDateTimeLength + sizeof(uint64_t) - 1) / sizeof(uint64_t);
    std::atomic<unsigned> m_seq{0};
    std::atomic<bool> m_filled{false};
    std::atomic<long long> m_second{0};
    std::atomic<const char *> m_zone{nullptr};
    std::array<std::atomic<uint64_t>, kWords> m_text{};
    static_assert(std::atomic<unsigned>::is_always_lock_free, "sequence must be signal-safe");
    static_assert(std::atomic<long long>::is_always_lock_free, "second must be signal-safe");
    static_assert(std::atomic<const char *>::is_always_lock_free, "zone must be signal-safe");
    static_assert(std::atomic<uint64_t>::is_always_lock_free, "text must be signal-safe");
};

CDateTimeCache s_dateTimeCache;

// The TZ value (by address) the zone rules were last read for, so that the
// rules are read again (tzset) only after TZ changed, not once a second.
std::atomic<const char *> s_zoneRead{nullptr};
std::atomic<bool> s_zoneReadOnce{false};
static_assert(std::atomic<const char *>::is_always_lock_free, "zone must be signal-safe");

// localtime_r, unlike localtime, does not look at TZ again once it has read
// it: let it see the zone that TZ names now.
void FollowZone(const char *zone) {
    if (s_zoneReadOnce.load(std::memory_order_acquire) &&
        s_zoneRead.load(std::memory_order_acquire) == zone)
        return;
    tzset();
    s_zoneRead.store(zone, std::memory_order_release);
    s_zoneReadOnce.store(true, std::memory_order_release);
}

// The current timestamp text into out (vorn::kTimestampSize bytes); its length.
// Seconds come from time(), milliseconds from a separate gettimeofday().
std::size_t PutCurrentTimestamp(char *out) {
    const time_t now = time(nullptr);
    const char *zone = getenv("TZ");
    const bool cached = s_dateTimeCache.Get(now, zone, out);
    struct tm local {};
    if (!cached) {
        FollowZone(zone);
        if (localtime_r(&now, &local) == nullptr)
            local = tm{};
    }
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    const unsigned long millis = static_cast<unsigned long>(tv.tv_usec) / kMicrosPerMilli;
    if (!cached) {
        const SLogDateTime dt = DateTimeOf(local);
        if (!FitsItsWidth(dt))
            return FormatTimestampSlow(out, vorn::kTimestampSize, dt, millis);
        PutDateTime(out, dt);
        s_dateTimeCache.Put(now, zone, out);
    }
    if (millis >= kMillisLimit) {
        // Microseconds of a million or more: no working clock gives them,
        // but the printf form shows them as they are.
        if (cached && localtime_r(&now, &local) == nullptr)
            local = tm{};
        return FormatTimestampSlow(out, vorn::kTimestampSize, DateTimeOf(local), millis);
    }
    PutMillis(out + kDateTimeLength, millis);
    return kTimestampLength;
}

} // namespace

std::size_t FormatLogTimestamp(char *out, std::size_t size, const struct tm &local,
                               unsigned long millis) {
    const SLogDateTime dt = DateTimeOf(local);
    // Anything unusual (a field wider than its width, a short buffer) takes
    // the printf form, which the hand-made form reproduces byte for byte.
    if (size < vorn::kTimestampSize || millis >= kMillisLimit || !FitsItsWidth(dt))
        return FormatTimestampSlow(out, size, dt, millis);
    PutDateTime(out, dt);
    PutMillis(out + kDateTimeLength, millis);
    return kTimestampLength;
}

std::size_t FormatLogLine(char *out, std::size_t size, const char *timestamp, const char *text) {
    return JoinLogLine(out, size, timestamp, strlen(timestamp), text, strlen(text));
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
    m_formatBuf = static_cast<char *>(malloc(kLogBufferSize));
    m_lineBuf = static_cast<char *>(malloc(kLogBufferSize));
    m_dumpBuf = static_cast<char *>(malloc(kLogBufferSize));
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
    free(m_formatBuf);
    m_formatBuf = nullptr;
    free(m_lineBuf);
    m_lineBuf = nullptr;
    free(m_dumpBuf);
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
    if ((flags & vorn::kLogFlagTakeLevel) != 0)
        m_level = level;
    if ((flags & vorn::kLogFlagTakeMask) != 0)
        m_mask = mask;

    CloseFile();
    // The path lies in a world-writable directory: never follow a link
    // planted there, and keep the descriptor out of programs we exec. Open
    // without blocking (a FIFO or a device could block the open or every
    // later write) and keep only a regular file. Append mode puts every line
    // at the end as it stands at that write, so that several processes
    // sharing the log never write over each other's lines.
    int fd =
        open(path, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, kLogFileMode);
    if (fd < 0)
        return 0;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return 0;
    }
    const int statusFlags = fcntl(fd, F_GETFL);
    if (statusFlags >= 0)
        fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK);
    if (fd == 0) {
        // Descriptor 0 stands for "no file" here; move the file off it.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (moved < 0)
            return 0;
        fd = moved;
    }
    m_fd = fd;

    if (s_debugPrintMutexOnce == 0 && g_debugPrintMutex.Init(kLockValue) != 0)
        s_debugPrintMutexOnce = 1;
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
    if ((m_flags & vorn::kLogFlagSync) != 0 && m_fd != 0)
        fsync(m_fd);
}

int CLog::PrintStringInto(char *lineBuf, std::size_t lineSize, unsigned long level,
                          unsigned long mask, const char *text, std::size_t textLen) {
    if (m_fd == 0)
        return 0;
    if (level > m_level)
        return 1;
    if (mask != 0 && level == vorn::kLogDebug && (mask & m_mask) == 0)
        return 1;
    if (lineBuf == nullptr)
        return 0;
    char timestamp[vorn::kTimestampSize] = "";
    std::size_t tsLen = 0;
    if ((m_flags & vorn::kLogFlagTimestamp) != 0)
        tsLen = PutCurrentTimestamp(timestamp);
    std::size_t len = JoinLogLine(lineBuf, lineSize, timestamp, tsLen, text, textLen);
    WriteOnce(m_fd, lineBuf, len);
    SyncIfAsked();
    return 1;
}

namespace {

// The buffers one print formats into: the logger's own, or, when the wait
// for its lock ran out, private stack buffers, since the holder may still be
// using the shared ones.
struct PrintBuffers {
    PrintBuffers(const CMutexScope &lock, char *sharedFormat, char *sharedLine)
        : format(sharedFormat), line(sharedLine), size(kLogBufferSize) {
        if (lock.TimedOut()) {
            format = privFormat.data();
            line = privLine.data();
            size = kLogFallbackBufferSize;
        }
    }
    PrintBuffers(const PrintBuffers &) = delete;
    PrintBuffers &operator=(const PrintBuffers &) = delete;

    std::array<char, kLogFallbackBufferSize> privFormat;
    std::array<char, kLogFallbackBufferSize> privLine;
    char *format;
    char *line;
    std::size_t size;
};

} // namespace

int CLog::PrintString(unsigned long level, unsigned long mask, const char *text) {
    if (text == nullptr)
        text = "";
    return PrintStringInto(m_lineBuf, kLogBufferSize, level, mask, text, strlen(text));
}

int CLog::Print(unsigned long level, unsigned long mask, const char *format, ...) {
    if (m_fd == 0 || m_formatBuf == nullptr)
        return 0;
    CMutexScope lock(m_lock);
    PrintBuffers buffers(lock, m_formatBuf, m_lineBuf);
    char *formatBuf = buffers.format;
    char *lineBuf = buffers.line;
    const std::size_t size = buffers.size;
    va_list args;
    va_start(args, format);
    std::size_t len = FormattedLength(vsnprintf(formatBuf, size, format, args), formatBuf, size);
    va_end(args);
    return PrintStringInto(lineBuf, size, level, mask, formatBuf, len);
}

int CLog::DebugPrint(const char *format, ...) {
    if (m_formatBuf == nullptr)
        return 1;
    if (m_level < vorn::kLogDebug)
        return 1;
    CMutexScope lock(m_lock);
    PrintBuffers buffers(lock, m_formatBuf, m_lineBuf);
    char *formatBuf = buffers.format;
    char *lineBuf = buffers.line;
    const std::size_t size = buffers.size;
    const char *text = nullptr;
    std::size_t len = 0;
    va_list args;
    va_start(args, format);
    if (IsPlainStringFormat(format)) {
        // A finished text (how the debug print hands its text over): use it
        // in place, cut as formatting it into the buffer would cut it.
        va_list peek;
        va_copy(peek, args);
        text = va_arg(peek, const char *);
        va_end(peek);
        if (text != nullptr)
            len = strnlen(text, size - 1);
    }
    if (text == nullptr) {
        len = FormattedLength(vsnprintf(formatBuf, size, format, args), formatBuf, size);
        text = formatBuf;
    }
    va_end(args);
    fwrite(text, 1, len, stdout);
    PrintStringInto(lineBuf, size, vorn::kLogDebug, 0, text, len);
    return 1;
}

void CLog::doGetCurTime(char *out) {
    PutCurrentTimestamp(out);
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
