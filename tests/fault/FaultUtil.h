// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers shared by the fault and bad-input tests: what every run must
// satisfy (no sanitizer report, no crash, no hang) and the texts of a key
// image that is easy to recognise in a listing.
#pragma once

#include "E2eUtil.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <fstream>
#include <sstream>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace vorn_test {

// What a sanitizer prints when it finds something; none may appear on
// standard error in any case of the suite.
inline const std::array<const char *, 5> kSanitizerMarks = {
    "ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "WARNING: ThreadSanitizer",
    "SUMMARY: UndefinedBehaviorSanitizer"};

inline ::testing::AssertionResult NoSanitizerReport(const std::string &err) {
    for (const char *mark : kSanitizerMarks) {
        if (err.find(mark) != std::string::npos)
            return ::testing::AssertionFailure() << "sanitizer report on stderr:\n" << err;
    }
    return ::testing::AssertionSuccess();
}

// The run ended by itself with status 0: no signal, no timeout, no report.
inline void ExpectCleanExit(const RunResult &r) {
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(NoSanitizerReport(r.err));
}

// "time diff N" varies from run to run; the rest of the text must not.
inline std::string MaskTimes(const std::string &out) {
    static const std::regex kTimeDiff("time diff -?[0-9]+\n");
    return std::regex_replace(out, kTimeDiff, "time diff T\n");
}

// A key image whose first line reads A to P and the rest zeros.
constexpr size_t kKeySize = 512;
inline const std::string kImageHead = "ABCDEFGHIJKLMNOP";
inline std::string Image() {
    std::string image = kImageHead;
    image.resize(kKeySize, '\0');
    return image;
}
// The image with bytes put in at offset.
inline std::string ImageWith(const std::string &bytes, size_t offset = 0) {
    std::string image = Image();
    image.replace(offset, bytes.size(), bytes);
    return image;
}
inline const std::string kListingHead =
    "0000 41 42 43 44 45 46 47 48 -49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP\n";
inline const std::string kListingZeros =
    "0000 00 00 00 00 00 00 00 00 -00 00 00 00 00 00 00 00  ................\n";

// The interactive transcript of lines whose outputs are given, ended by quit.
inline std::string Transcript(const std::vector<std::string> &outputs) {
    std::string text = kStartup;
    for (const std::string &o : outputs)
        text += ">" + o;
    return text + ">exiting\n" + kClosed;
}

// text with every from replaced by to.
inline std::string ReplaceAll(std::string text, const std::string &from, const std::string &to) {
    size_t at = text.find(from);
    while (at != std::string::npos) {
        text.replace(at, from.size(), to);
        at = text.find(from, at + to.size());
    }
    return text;
}

// Contents of any file; "" when it cannot be read.
inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits until the process sits in system call nr (x86-64 numbers, from
// /proc/PID/syscall) with a first argument for which firstArg holds.
template <typename Pred>
bool WaitForCall(pid_t pid, long nr, Pred firstArg, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(path);
        long got = -1;
        std::string arg;
        if (in >> got >> arg && got == nr && firstArg(std::stol(arg, nullptr, 16)))
            return true;
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

constexpr long kSysWrite = 1;
constexpr long kSysPoll = 7;

inline bool IsRegularFile(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace vorn_test
