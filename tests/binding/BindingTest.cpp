// SPDX-License-Identifier: GPL-2.0-or-later
// A program that exports its own copy of the shared utility library and
// links libvorn, as tmtool does. In such a process every use of a utility
// operation or variable, libvorn's own included, binds to the program's
// copy: one current logger and one debug-print mutex.

#include "Log.h"
#include "TouchMemCltK.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

// The current logger as static initialisation left it, before main. The
// libraries a program needs are initialised before the program itself, so
// libvorn's client log has been constructed by now.
CLog *const g_loggerBeforeMain = g_currentLogger;

constexpr const char *kLibraryName = "libvorn.so.1";

std::string ObjectOf(const void *address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr)
        return "";
    return info.dli_fname;
}

bool EndsWith(const std::string &text, const std::string &tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// libvorn's own definition of a symbol (not the one the process binds to).
void *LibrarysOwn(const char *symbol) {
    void *library = dlopen(kLibraryName, RTLD_LAZY | RTLD_NOLOAD);
    if (library == nullptr)
        return nullptr;
    void *address = dlsym(library, symbol);
    dlclose(library);
    return address;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class BindingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *tmp = getenv("TMPDIR");
        m_path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vornbind.XXXXXX";
        int fd = mkstemp(m_path.data());
        ASSERT_GE(fd, 0);
        close(fd);
    }
    void TearDown() override { unlink(m_path.c_str()); }

    // Takes the client log out of the current-logger slot.
    static void ClearCurrentLogger() {
        CLog throwaway;
        throwaway.Deinit(); // clears the current logger, whichever it is
    }

    // The program's own logger, registered by its constructor and writing
    // plain lines (no timestamp) to m_path at level 5.
    void InitOwnLogger(CLog &own) {
        ASSERT_EQ(g_currentLogger, &own);
        ASSERT_EQ(own.Init(m_path.c_str(), 0x300, 5, 0xff), 1);
    }

    std::string m_path;
};

TEST_F(BindingTest, ClientLogRegisteredItselfInTheProgramsCurrentLogger) {
    ASSERT_NE(g_loggerBeforeMain, nullptr);
    EXPECT_TRUE(EndsWith(ObjectOf(g_loggerBeforeMain), kLibraryName))
        << "current logger lies in " << ObjectOf(g_loggerBeforeMain);
    // The program's variable is the one that was written; libvorn's own
    // copy was never touched.
    EXPECT_TRUE(EndsWith(ObjectOf(&g_currentLogger), "binding_test"));
    auto *librarysLogger = static_cast<CLog **>(LibrarysOwn("g_currentLogger"));
    ASSERT_NE(librarysLogger, nullptr);
    EXPECT_NE(librarysLogger, &g_currentLogger);
    EXPECT_EQ(*librarysLogger, nullptr);
}

TEST_F(BindingTest, DebugPrintInsideTheLibraryRunsTheProgramsCopy) {
    ClearCurrentLogger();
    CLog own;
    InitOwnLogger(own);
    // A descriptor that cannot seek: the client reports the failed lseek
    // through DebugPrintEx from inside libvorn.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    int savedStdin = dup(STDIN_FILENO);
    dup2(pipeFds[0], STDIN_FILENO);
    unsigned char buf[4];
    long result;
    {
        CTouchMemClt client; // descriptor 0 until Init
        result = client.MemRead(0, sizeof buf, buf);
    }
    dup2(savedStdin, STDIN_FILENO);
    close(savedStdin);
    close(pipeFds[0]);
    close(pipeFds[1]);
    EXPECT_EQ(result, 0);
    std::string log = ReadFile(m_path);
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(\[\d+\] lseek failed \[Illegal seek\]\n)")))
        << log;
    own.Deinit();
}

TEST_F(BindingTest, LibrarysOwnCopyUsesTheProgramsLoggerAndMutex) {
    using DebugPrintExFn = void (*)(const char *, int, const char *, ...);
    auto librarysDebugPrintEx =
        reinterpret_cast<DebugPrintExFn>(LibrarysOwn("_Z12DebugPrintExPKciS0_z"));
    ASSERT_NE(librarysDebugPrintEx, nullptr);
    ASSERT_NE(reinterpret_cast<void *>(librarysDebugPrintEx),
              reinterpret_cast<void *>(&DebugPrintEx));
    EXPECT_TRUE(EndsWith(ObjectOf(reinterpret_cast<void *>(librarysDebugPrintEx)), kLibraryName));

    ClearCurrentLogger();
    CLog own;
    InitOwnLogger(own);
    // The debug-print mutex the program's Init created is the one in use.
    EXPECT_TRUE(g_debugPrintMutex.HasMutex());
    auto *librarysMutex = static_cast<CMutex *>(LibrarysOwn("g_debugPrintMutex"));
    ASSERT_NE(librarysMutex, nullptr);
    EXPECT_NE(librarysMutex, &g_debugPrintMutex);
    EXPECT_FALSE(librarysMutex->HasMutex());

    librarysDebugPrintEx("dir/caller.cpp", 77, "from the library's copy %d\n", 5);
    EXPECT_EQ(ReadFile(m_path), " caller.cpp[77] from the library's copy 5\n");
    own.Deinit();
}

} // namespace
