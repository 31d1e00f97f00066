// SPDX-License-Identifier: GPL-2.0-or-later
// Thread-safety check of the diagnostic layer as a program that loads
// libvorn uses it: the library's client log is the current logger; several
// threads print (DebugPrint, DebugPrintEx, CLog::Print) and dump
// (DebugDump, DumpData) through it at once, while one thread holds the
// debug-print mutex well past the 53 ms bound and another holds the
// logger's own lock past it (a DebugDump2 whose standard error drains
// slowly). Callers that give up waiting go on with private buffers.
//
// Afterwards every line of the log file must be one whole line of a known
// shape, every message must be there exactly once, and nothing may crash.
// Built twice: plainly (and under the build's sanitizers), and with
// ThreadSanitizer, which must report nothing.
//
// usage: vorn_threads_check LOGFILE

#include "Log.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

// Where a sanitizer writes its reports; declared weak so that the plain
// build links without a sanitizer runtime.
extern "C" void __sanitizer_set_report_fd(void *fd) __attribute__((weak));

namespace {

constexpr int kPrinters = 4;
constexpr int kRounds = 300;
constexpr int kHolds = 3;
constexpr auto kHoldTime = std::chrono::milliseconds(120); // past the 53 ms bound
constexpr auto kHoldGap = std::chrono::milliseconds(60);
constexpr std::size_t kDumpBytes = 40;
constexpr std::size_t kDump2Bytes = 4096;
constexpr int kSmallPipe = 4096;
constexpr std::size_t kDrainChunk = 256;
constexpr auto kDrainPause = std::chrono::milliseconds(2);
constexpr unsigned long kClientFlags = 0x301;

// A long, recognisable tail: a line cut or mixed with another loses it.
const std::string kTail = "the-quick-brown-fox-jumps-over-the-lazy-dog-0123456789-"
                          "the-quick-brown-fox-jumps-over-the-lazy-dog-0123456789-end";

std::atomic<bool> g_draining{true};
// Prints that came back only after the bounded wait ran out: the check is
// worthless unless some did.
std::atomic<int> g_timedOut{0};
constexpr auto kBound = std::chrono::milliseconds(50);

// Holds the debug-print mutex (exported by libvorn) for kHoldTime, kHolds
// times: DebugPrint, DebugPrintEx and DumpData of the others time out.
void HoldDebugPrintMutex() {
    for (int i = 0; i < kHolds; ++i) {
        bool acquired = false;
        g_debugPrintMutex.LockContext(&acquired);
        std::this_thread::sleep_for(kHoldTime);
        g_debugPrintMutex.ReleaseContext(acquired);
        std::this_thread::sleep_for(kHoldGap);
    }
}

// Holds the logger's own lock past the bound: DebugDump2 keeps it across
// all its rows, and each row also goes to standard error, here a small
// pipe that is drained slowly.
void HoldLoggerLock(CLog *log) {
    std::array<unsigned char, kDump2Bytes> data;
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>('A' + i % 26);
    for (int i = 0; i < kHolds; ++i) {
        log->DebugDump2(__FILE__, __LINE__, data.data(), data.size());
        std::this_thread::sleep_for(kHoldGap);
    }
}

// Reads the pipe behind standard error slowly until told to stop and the
// pipe is empty.
void Drain(int fd) {
    std::array<char, kDrainChunk> chunk;
    for (;;) {
        const ssize_t n = read(fd, chunk.data(), chunk.size());
        if (n <= 0 && !g_draining.load())
            return;
        std::this_thread::sleep_for(kDrainPause);
    }
}

void Printer(CLog *log, int id) {
    std::array<unsigned char, kDumpBytes> bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>('a' + (i + id) % 26);
    std::array<char, 3 * kDumpBytes + 1> text;
    auto timed = [](auto &&print) {
        const auto start = std::chrono::steady_clock::now();
        print();
        if (std::chrono::steady_clock::now() - start >= kBound)
            g_timedOut.fetch_add(1);
    };
    for (int i = 0; i < kRounds; ++i) {
        timed([&] { DebugPrint("T%d-%04d DebugPrint %s\n", id, i, kTail.c_str()); });
        timed([&] {
            DebugPrintEx(__FILE__, __LINE__, "T%d-%04d DebugPrintEx %s\n", id, i, kTail.c_str());
        });
        timed([&] { log->Print(vorn::kLogInfo, 0, "T%d-%04d Print %s\n", id, i, kTail.c_str()); });
        timed([&] { DebugDump(__FILE__, __LINE__, bytes.data(), bytes.size()); });
        DumpData(bytes.data(), bytes.size(), text.data());
        if (strlen(text.data()) != 3 * kDumpBytes - 1) {
            fprintf(stderr, "DumpData text of thread %d has the wrong length\n", id);
            _exit(1);
        }
    }
}

// The shapes a line of this run's log may have.
const std::string kStamp =
    R"([0-9]{2}\.[0-9]{2}\.[0-9]{4}\([0-9]{2}:[0-9]{2}:[0-9]{2}\) [0-9]{3} )";
const std::regex kMessage(kStamp +
                          R"((LogThreads\.cpp\[[0-9]+\] )?T([0-9])-([0-9]{4}) )"
                          R"((DebugPrint|DebugPrintEx|Print) )" +
                          kTail);
const std::regex kDumpHeader(R"(\[memory\(LogThreads\.cpp\[[0-9]+\]\] buffer 0x0x[0-9a-f]+ size )"
                             R"(([0-9]+))");
const std::regex
    kDumpRow(R"(0x0x[0-9a-f]+ ([0-9A-F]{2} |XX ){8}-([0-9A-F]{2} |XX ){8} [a-z]{1,16})");
const std::regex kDump2Header(R"(\[memory\(LogThreads\.cpp\[[0-9]+\]\] size 4096)");
const std::regex kDump2Row(R"((0x[0-9A-F]{2},){16})");
const std::regex kClientLine(kStamp + "libvorn (inited|closed)");

int Check(const std::string &path) {
    std::ifstream in(path);
    std::map<std::string, int> seen; // "T1-0042 Print" -> times
    int dumps = 0;
    int dump2s = 0;
    int lineNo = 0;
    int bad = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        std::smatch m;
        if (std::regex_match(line, m, kMessage)) {
            const bool ex = m[1].matched;
            const std::string kind = m[4];
            if (ex != (kind == "DebugPrintEx")) {
                ++bad;
                fprintf(stderr, "line %d: prefix and kind disagree: %s\n", lineNo, line.c_str());
            }
            ++seen["T" + m[2].str() + "-" + m[3].str() + " " + kind];
        } else if (std::regex_match(line, m, kDumpHeader)) {
            ++dumps;
            if (m[1] != std::to_string(kDumpBytes))
                ++bad;
        } else if (std::regex_match(line, kDump2Header)) {
            ++dump2s;
        } else if (line.empty() || std::regex_match(line, kDumpRow) ||
                   std::regex_match(line, kDump2Row) || std::regex_match(line, kClientLine)) {
            // whole lines of a dump, its closing blank line
        } else {
            ++bad;
            if (bad <= 10)
                fprintf(stderr, "line %d is not whole: '%s'\n", lineNo, line.c_str());
        }
    }
    const int expected = kPrinters * kRounds;
    int missing = 0;
    for (int id = 0; id < kPrinters; ++id) {
        for (int i = 0; i < kRounds; ++i) {
            for (const char *kind : {"DebugPrint", "DebugPrintEx", "Print"}) {
                char key[64];
                snprintf(key, sizeof key, "T%d-%04d %s", id, i, kind);
                if (seen[key] != 1) {
                    ++missing;
                    if (missing <= 10)
                        fprintf(stderr, "%s appears %d times\n", key, seen[key]);
                }
            }
        }
    }
    if (dumps != expected || dump2s != kHolds) {
        fprintf(stderr, "%d dumps (want %d), %d second-style dumps (want %d)\n", dumps, expected,
                dump2s, kHolds);
        ++bad;
    }
    printf("%d lines checked, %d bad, %d messages missing or repeated\n", lineNo, bad, missing);
    return bad == 0 && missing == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s LOGFILE\n", argv[0]);
        return 2;
    }
    const char *path = argv[1];
    unlink(path);
    // The client log, constructed and registered when libvorn was loaded.
    CLog *log = g_currentLogger;
    if (log == nullptr || log->Init(path, kClientFlags, vorn::kLogDebug, 0xFF) != 1) {
        fprintf(stderr, "cannot initialise the current logger with %s\n", path);
        return 2;
    }
    // The debug print echoes to standard output: keep it quiet. Standard
    // error becomes a small pipe drained slowly (see HoldLoggerLock).
    const int null = open("/dev/null", O_WRONLY);
    int pipeFds[2];
    if (null < 0 || pipe(pipeFds) != 0) {
        perror("set-up");
        return 2;
    }
    fcntl(pipeFds[1], F_SETPIPE_SZ, kSmallPipe);
    fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    const int realErr = dup(STDERR_FILENO);
    // Sanitizer reports must still reach the real standard error.
    if (__sanitizer_set_report_fd != nullptr)
        __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(realErr)));
    fflush(stdout);
    const int realOut = dup(STDOUT_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);

    std::thread drain(Drain, pipeFds[0]);
    std::vector<std::thread> threads;
    threads.emplace_back(HoldDebugPrintMutex);
    threads.emplace_back(HoldLoggerLock, log);
    for (int id = 0; id < kPrinters; ++id)
        threads.emplace_back(Printer, log, id);
    for (std::thread &t : threads)
        t.join();
    g_draining.store(false);
    drain.join();

    fflush(stdout); // the echoes, still buffered, go to /dev/null
    dup2(realErr, STDERR_FILENO);
    dup2(realOut, STDOUT_FILENO);
    log->Deinit();
    printf("%d prints went on after the bounded wait\n", g_timedOut.load());
    if (g_timedOut.load() == 0) {
        fprintf(stderr, "no print ever waited past the bound: the holders held nothing\n");
        return 1;
    }
    return Check(path);
}
