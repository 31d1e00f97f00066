// SPDX-License-Identifier: GPL-2.0-or-later
// Console command helper: the prompt loop fed from a file, a pipe and a
// broken standard input, compared as whole transcripts.

#include "CmdHelper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::vector<std::vector<std::string>> g_calls;

// Records its tokens and leaves a mark in the transcript.
void RecordHandler(char **tokens, uint64_t count) {
    std::vector<std::string> call;
    for (uint64_t i = 0; i < count; ++i) {
        call.emplace_back(tokens[i]);
    }
    g_calls.push_back(call);
    printf("REC %lu\r\n", static_cast<unsigned long>(count));
}

const CmdTableRow kRows[] = {
    {"rec", "record the tokens", RecordHandler},
    {nullptr, "", nullptr},
};

const std::string kListing = "help            Print command list\r\n"
                             "?               Print command list\r\n"
                             "rec             record the tokens\r\n";

std::string Unknown(const std::string &word) {
    return "Unknown command " + word + "\r\n try help to see all commands\r\n";
}

// Runs CmdLoop with standard input on fd and returns what it printed.
std::string RunLoopOnFd(int fd) {
    int savedStdin = dup(STDIN_FILENO);
    EXPECT_GE(savedStdin, 0);
    EXPECT_EQ(dup2(fd, STDIN_FILENO), STDIN_FILENO);
    clearerr(stdin);
    CaptureStdout();
    CmdLoop(); // must come back once the input is used up
    std::string out = GetCapturedStdout();
    dup2(savedStdin, STDIN_FILENO);
    close(savedStdin);
    clearerr(stdin);
    return out;
}

// Runs CmdLoop with standard input read from a temporary file holding input.
std::string RunLoop(const std::string &input) {
    const char *tmpdir = getenv("TMPDIR");
    std::string path = std::string(tmpdir != nullptr ? tmpdir : "/tmp") + "/cmdloop-XXXXXX";
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    EXPECT_GE(fd, 0);
    if (fd < 0) {
        return {};
    }
    unlink(name.data());
    EXPECT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    lseek(fd, 0, SEEK_SET);
    std::string out = RunLoopOnFd(fd);
    close(fd);
    return out;
}

class CmdLoopTest : public testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();
        InitCmdHelper(kRows, nullptr);
    }
    void TearDown() override { CloseCmdHelper(); }
};

struct LoopCase {
    const char *what;
    std::string input;
    std::string output;
};

TEST_F(CmdLoopTest, TranscriptsOfShortSessions) {
    const std::vector<LoopCase> cases = {
        {"no input at all", "", ">"},
        {"an empty line", "\n", ">>"},
        {"blank lines", "\n\n\n", ">>>>"},
        {"a command", "rec a b\n", ">REC 3\r\n>"},
        {"help", "help\n", ">" + kListing + ">"},
        {"question mark", "?\n", ">" + kListing + ">"},
        {"help among spaces", "  help  \n", ">" + kListing + ">"},
        {"help with CR", "help\r\n", ">" + kListing + ">"},
        {"help with words", "help x y\n", ">" + kListing + ">"},
        {"help in capitals", "HELP\n", ">" + Unknown("HELP") + ">"},
        {"unknown word", "chk 1\n", ">" + Unknown("chk") + ">"},
        {"spaces and tabs only", " \t \t\n", ">" + Unknown("") + ">"},
        {"carriage return only", "\r\n", ">" + Unknown("") + ">"},
        {"last line without line feed", "rec", ">>"},
        {"mixed", "\nrec\nxx\n\nhelp\n", ">>REC 1\r\n>" + Unknown("xx") + ">>" + kListing + ">"},
    };
    for (const LoopCase &c : cases) {
        g_calls.clear();
        EXPECT_EQ(RunLoop(c.input), c.output) << c.what;
    }
}

TEST_F(CmdLoopTest, HandlerGetsTokensAndCount) {
    EXPECT_EQ(RunLoop("rec\t16   32\nrec a\rb \r\n"), ">REC 3\r\n>REC 2\r\n>");
    const std::vector<std::vector<std::string>> expected = {{"rec", "16", "32"}, {"rec", "a\rb"}};
    EXPECT_EQ(g_calls, expected);
}

TEST_F(CmdLoopTest, LineOf1021CharactersIsHandledWhole) {
    std::string arg(1021 - 4, 'b');
    std::string line = "rec " + arg;
    ASSERT_EQ(line.size(), 1021u);
    EXPECT_EQ(RunLoop(line + "\n"), ">REC 2\r\n>");
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0], (std::vector<std::string>{"rec", arg}));
}

TEST_F(CmdLoopTest, LineOf1022CharactersIsDroppedThenEmptyLine) {
    std::string line = "rec " + std::string(1022 - 4, 'b');
    // The 1022 characters are one dropped piece, the line feed an empty line.
    EXPECT_EQ(RunLoop(line + "\n"), ">>>");
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(CmdLoopTest, LineOf1500CharactersIsHandledAsItsLast478) {
    std::string tail = "rec " + std::string(478 - 4, 'c');
    std::string line = std::string(1022, 'x') + tail;
    ASSERT_EQ(line.size(), 1500u);
    EXPECT_EQ(RunLoop(line + "\nrec z\n"), ">>REC 2\r\n>REC 2\r\n>");
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0], (std::vector<std::string>{"rec", std::string(474, 'c')}));
    EXPECT_EQ(g_calls[1], (std::vector<std::string>{"rec", "z"}));
}

TEST_F(CmdLoopTest, LineWithMoreThan63TokensPassesFirst63) {
    std::string line = "rec";
    for (int i = 1; i < 200; ++i) {
        line += " " + std::to_string(i);
    }
    EXPECT_EQ(RunLoop(line + "\n"), ">REC 63\r\n>");
    ASSERT_EQ(g_calls.size(), 1u);
    ASSERT_EQ(g_calls[0].size(), vorn::kMaxTokens);
    EXPECT_EQ(g_calls[0][62], "62");
}

TEST_F(CmdLoopTest, ReturnsOnReadError) {
    // A descriptor open for writing only: every read fails with EBADF.
    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(RunLoopOnFd(fd), ">");
    close(fd);
}

struct PromptCase {
    const char *prompt;
    std::string shown;
};

TEST_F(CmdLoopTest, PromptIsSetAndCut) {
    const std::string p63(63, 'p');
    const std::string p100 = std::string(63, 'q') + std::string(37, 'r');
    const std::vector<PromptCase> cases = {
        {"tm$ ", "tm$ "},
        {nullptr, ">"},
        {"", ""},
        {p63.c_str(), p63},
        {p100.c_str(), std::string(63, 'q')},
        {nullptr, ">"},
    };
    for (const PromptCase &c : cases) {
        InitCmdHelper(kRows, c.prompt);
        EXPECT_EQ(RunLoop("\n"), c.shown + c.shown) << (c.prompt ? c.prompt : "(null)");
    }
}

void NoteSignal(int) {}

// State letter of a thread ('R', 'S', ...), from /proc.
char ThreadState(long tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '?';
}

// Number of the system call a thread is blocked in; -1 while it runs, -2
// when the system does not show it.
long ThreadSyscall(long tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string word;
    if (!(in >> word)) {
        return -2;
    }
    char *end = nullptr;
    long nr = strtol(word.c_str(), &end, 10);
    return end != word.c_str() && *end == '\0' ? nr : -1;
}

TEST_F(CmdLoopTest, SignalDuringReadDoesNotEndTheLoop) {
    struct sigaction action {
    }, old{};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // the interrupted read fails with EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);

    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const long mainTid = syscall(SYS_gettid);
    const pthread_t mainThread = pthread_self();
    std::atomic<bool> sawBlockedRead{false};

    std::thread feeder([&] {
        // Wait until the loop sits in read(), then interrupt it.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            long nr = ThreadSyscall(mainTid);
            if (ThreadState(mainTid) == 'S' && (nr == SYS_read || nr == -2)) {
                sawBlockedRead = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pthread_kill(mainThread, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const char line[] = "rec a\n";
        ssize_t n = write(fds[1], line, sizeof line - 1);
        (void)n;
        close(fds[1]);
    });
    std::string out = RunLoopOnFd(fds[0]);
    feeder.join();
    close(fds[0]);
    sigaction(SIGUSR1, &old, nullptr);

    ASSERT_TRUE(sawBlockedRead);
    // First prompt, the prompt again after the interrupted read, the command,
    // and the prompt that meets the end of input.
    EXPECT_EQ(out, ">>REC 2\r\n>");
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0], (std::vector<std::string>{"rec", "a"}));
}

} // namespace
