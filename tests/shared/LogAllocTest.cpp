// SPDX-License-Identifier: GPL-2.0-or-later
// Allocation behaviour of the logger, in a binary of its own because it
// replaces the allocator: printing allocates nothing once a logger is
// constructed, and a logger or lock whose allocation fails prints nothing
// and never crashes.
//
// Counting works below operator new: the C allocator is replaced (forwarding
// to glibc's) in a plain build; under AddressSanitizer, which owns the
// allocator, its malloc hooks count instead. Failures are injected into the
// logger's and the mutex's malloc calls through the linker's --wrap=malloc,
// which both builds support.

#include "Log.h"
#include "LogTestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <string>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define VORN_TEST_ASAN 1
// The sanitizer runtime's allocation hooks (its header ships with clang only).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void *,
                                                                            std::size_t),
                                                         void (*freeHook)(const volatile void *));
#endif

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
// 1-based index of the next allocation to fail (0: none, -1: all).
std::atomic<int> g_failAllocAt{0};
std::atomic<int> g_allocSeen{0};

void CountOne() {
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
}

bool FailThisAlloc() {
    int at = g_failAllocAt.load();
    if (at == 0)
        return false;
    int seen = g_allocSeen.fetch_add(1) + 1;
    return at < 0 || seen == at;
}

#ifdef VORN_TEST_ASAN
void CountMalloc(const volatile void *, std::size_t) {
    CountOne();
}
void IgnoreFree(const volatile void *) {}
const int g_hooksInstalled = __sanitizer_install_malloc_and_free_hooks(CountMalloc, IgnoreFree);
#endif

} // namespace

// Every malloc call of the objects linked into this program, the logger's
// and the mutex's included, comes here (-Wl,--wrap=malloc).
extern "C" void *__real_malloc(std::size_t size);
extern "C" void *__wrap_malloc(std::size_t size) {
    return FailThisAlloc() ? nullptr : __real_malloc(size);
}

#ifndef VORN_TEST_ASAN
extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *ptr, std::size_t size);
void __libc_free(void *ptr);

void *malloc(std::size_t size) {
    CountOne();
    return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size) {
    CountOne();
    return __libc_calloc(count, size);
}
void *realloc(void *ptr, std::size_t size) {
    CountOne();
    return __libc_realloc(ptr, size);
}
void free(void *ptr) {
    __libc_free(ptr);
}
}
#endif

// operator new on top of malloc, so that both builds count it the same way.
void *operator new(std::size_t size) {
    void *p = malloc(size);
    if (p == nullptr)
        abort();
    return p;
}
void *operator new[](std::size_t size) {
    return operator new(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return malloc(size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return malloc(size);
}
void operator delete(void *p) noexcept {
    free(p);
}
void operator delete[](void *p) noexcept {
    free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
    free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
    free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept {
    free(p);
}

namespace {

using logtest::ReadFile;

// Standard output and error sent to /dev/null for the scope.
class Silence {
  public:
    Silence() {
        fflush(stdout);
        m_out = dup(STDOUT_FILENO);
        m_err = dup(STDERR_FILENO);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close(null);
    }
    ~Silence() {
        fflush(stdout);
        dup2(m_out, STDOUT_FILENO);
        dup2(m_err, STDERR_FILENO);
        close(m_out);
        close(m_err);
    }

  private:
    int m_out;
    int m_err;
};

void PrintEverything(CLog &log, unsigned char *data, unsigned long size, char *hex) {
    log.Print(vorn::kLogInfo, 0, "print %d %s\n", 1, "text");
    log.PrintString(vorn::kLogError, 0, "string\n");
    log.DebugPrint("debug %lu\n", size);
    DebugPrint("free debug %d\n", 2);
    DebugPrintEx("dir/file.cpp", 10, "free debug ex %s\n", "x");
    log.DebugDump("dir/file.cpp", 11, data, size);
    log.DebugDump2("dir/file.cpp", 12, data, size);
    DebugDump("dir/file.cpp", 13, data, size);
    DumpData(data, 8, hex);
    CLog::doGetLogLevelString(3, 0);
}

class LogAllocTest : public ::testing::Test {
  protected:
    void TearDown() override {
        g_counting = false;
        g_failAllocAt = 0;
    }
    logtest::NoCurrentLogger m_noLogger;
    logtest::TempDir m_dir;
};

TEST_F(LogAllocTest, PrintingAllocatesNothing) {
    CLog log;
    ASSERT_EQ(log.Init(m_dir.File("alloc.log").c_str(), 0x301, 5, 0xff), 1);
    unsigned char data[40] = {1, 2, 3, 4, 5, 6, 7, 8};
    char hex[3 * 8 + 1];
    Silence quiet;
    PrintEverything(log, data, sizeof data, hex); // first use of stdio, time zone
    g_allocations = 0;
    g_counting = true;
    for (int i = 0; i < 10; ++i)
        PrintEverything(log, data, sizeof data, hex);
    g_counting = false;
    long duringPrints = g_allocations.exchange(0);

    // The counter does see allocations.
    static void *volatile sink;
    g_counting = true;
    sink = malloc(16);
    free(sink);
    sink = new char[16];
    delete[] static_cast<char *>(sink);
    g_counting = false;
    long probe = g_allocations.exchange(0);

    EXPECT_EQ(duringPrints, 0);
    EXPECT_GE(probe, 2);
}

class LogBufferFailureTest : public LogAllocTest, public ::testing::WithParamInterface<int> {};

TEST_P(LogBufferFailureTest, LoggerWithoutBuffersPrintsNothing) {
    std::string path = m_dir.File("nobuf.log");
    g_allocSeen = 0;
    g_failAllocAt = GetParam();
    CLog log;
    g_failAllocAt = 0;
    // Not registered: debug prints keep going to standard output.
    EXPECT_EQ(g_currentLogger, nullptr);
    EXPECT_EQ(log.Init(path.c_str(), 0x301, 5, 0xff), 1);
    unsigned char data[4] = {1, 2, 3, 4};
    logtest::CaptureFd err(STDERR_FILENO);
    logtest::CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(log.Print(vorn::kLogError, 0, "x\n"), 0);
    EXPECT_EQ(log.PrintString(vorn::kLogError, 0, "x\n"), 0);
    EXPECT_EQ(log.DebugPrint("x\n"), 1);
    EXPECT_EQ(log.DebugDump("f.cpp", 1, data, sizeof data), 1);
    EXPECT_EQ(log.DebugDump2("f.cpp", 1, data, sizeof data), 1);
    DebugPrint("to stdout\n");
    EXPECT_EQ(out.Stop(), "to stdout\n");
    EXPECT_EQ(err.Stop(), "");
    EXPECT_EQ(ReadFile(path), "");
    EXPECT_EQ(log.Deinit(), 1);
}

INSTANTIATE_TEST_SUITE_P(WhichBuffer, LogBufferFailureTest, ::testing::Values(1, 2, 3, -1),
                         [](const ::testing::TestParamInfo<int> &p) {
                             return p.param < 0 ? std::string("AllFail")
                                                : "Allocation" + std::to_string(p.param) + "Fails";
                         });

TEST_F(LogAllocTest, MutexWhoseAllocationFailsStaysWithout) {
    CMutex mutex;
    g_failAllocAt = -1;
    int result = mutex.Init(50);
    g_failAllocAt = 0;
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(mutex.HasMutex());
    EXPECT_EQ(mutex.LockContext(), 0);
    EXPECT_EQ(mutex.ReleaseContext(), 0);
    EXPECT_EQ(mutex.Init(50), 1);
    EXPECT_TRUE(mutex.HasMutex());
}

TEST_F(LogAllocTest, LoggerWhoseLockCannotBeCreatedStillPrints) {
    std::string path = m_dir.File("nolock.log");
    CLog log;
    g_failAllocAt = -1;
    int opened = log.Init(path.c_str(), 0x300, 5, 0);
    g_failAllocAt = 0;
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(log.Print(vorn::kLogInfo, 0, "unlocked\n"), 1);
    EXPECT_EQ(ReadFile(path), " unlocked\n");
}

} // namespace
