// SPDX-License-Identifier: GPL-2.0-or-later
// tmwatch and its standard output: a signal ends it while a slow reader
// leaves its pipe full, it ends when the reader goes away even with no key
// event, a non-blocking pipe makes it wait for room rather than fail, and
// a full disk or a closed descriptor fails with a message.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"

using namespace vorn_test;

namespace {

constexpr const char *kDefaultRom = "04efbeadde0000cd";
constexpr const char *kSwapRom = "0102030405060708";
// A small pipe, two pages, filled by a few dozen events.
constexpr int kSmallPipe = 8192;
// Room a JSON line needs at most.
constexpr int kLineRoom = 128;
// The pipe is full for its writer when this many changes in a row left
// what it holds as it was.
constexpr int kStableSwaps = 3;
// Changes made at most while filling the pipe, and the pause between two.
constexpr int kSwapsMax = 200;
constexpr auto kSwapPause = 20ms;
// Time for tmwatch to write what it can after a change.
constexpr auto kSettle = 300ms;
// How long tmwatch may take to end once it should.
constexpr auto kEndTimeout = 5s;
constexpr auto kReapPause = 10ms;
constexpr size_t kReadChunk = 4096;

// How the child's standard output is set up.
enum class Output { Pipe, NonBlockingPipe, DevFull, Closed };

// tmwatch (under tmsim, or alone) with standard output as asked and standard
// error into a file; the test holds the pipe's read end.
class Watcher {
  public:
    ~Watcher() {
        if (m_pid > 0 && !m_reaped) {
            kill(-m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        CloseRead();
    }

    bool Start(const std::vector<std::string> &argv, const std::string &errPath, Output out,
               bool ignorePipe = false) {
        int fds[2] = {-1, -1};
        if (out == Output::Pipe || out == Output::NonBlockingPipe) {
            if (pipe2(fds, O_CLOEXEC) != 0 || fcntl(fds[1], F_SETPIPE_SZ, kSmallPipe) < 0)
                return false;
            if (out == Output::NonBlockingPipe &&
                fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK) != 0)
                return false;
        }
        std::vector<char *> cargv;
        for (const std::string &a : argv)
            cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        m_pid = fork();
        if (m_pid < 0)
            return false;
        if (m_pid == 0) {
            setpgid(0, 0);
            int null = open("/dev/null", O_RDONLY);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(null, STDIN_FILENO);
            dup2(err, STDERR_FILENO);
            if (out == Output::DevFull)
                dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO);
            else if (out == Output::Closed)
                close(STDOUT_FILENO);
            else
                dup2(fds[1], STDOUT_FILENO);
            signal(SIGPIPE, ignorePipe ? SIG_IGN : SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execvp(cargv[0], cargv.data());
            _exit(127);
        }
        setpgid(m_pid, m_pid);
        if (fds[1] >= 0)
            close(fds[1]);
        m_read = fds[0];
        return true;
    }

    // Bytes waiting in the pipe.
    int Queued() const {
        int n = 0;
        return ioctl(m_read, FIONREAD, &n) == 0 ? n : -1;
    }

    // Everything in the pipe now, without waiting.
    std::string Take() {
        std::string got;
        char buf[kReadChunk];
        int flags = fcntl(m_read, F_GETFL);
        fcntl(m_read, F_SETFL, flags | O_NONBLOCK);
        ssize_t n;
        while ((n = read(m_read, buf, sizeof(buf))) > 0)
            got.append(buf, static_cast<size_t>(n));
        fcntl(m_read, F_SETFL, flags);
        return got;
    }

    void CloseRead() {
        if (m_read >= 0)
            close(m_read);
        m_read = -1;
    }

    bool Running() {
        if (m_reaped)
            return false;
        if (waitpid(m_pid, &m_status, WNOHANG) == 0)
            return true;
        m_reaped = true;
        return false;
    }

    // Waits for the end; false when it did not come in time.
    bool Wait(std::chrono::milliseconds timeout = kEndTimeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (Running()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(kReapPause);
        }
        return true;
    }

    void Signal(int sig) const { kill(m_pid, sig); }
    int Status() const { return m_status; }

  private:
    pid_t m_pid = -1;
    int m_read = -1;
    int m_status = 0;
    bool m_reaped = false;
};

void CtlOk(const SimDir &dir, std::vector<std::string> args) {
    RunResult c = Ctl(dir, std::move(args));
    EXPECT_EQ(c.status, 0) << c.err;
}

// Swaps the key back and forth (each swap is two events) until tmwatch
// writes no more to the pipe: what the pipe holds stays the same while
// more events come, so that tmwatch has output it cannot write. false
// when that never happened.
bool FillThePipe(const SimDir &dir, Watcher &w) {
    int stable = 0;
    int before = 0;
    for (int i = 0; i < kSwapsMax && stable < kStableSwaps; i++) {
        CtlOk(dir, {"swap", "--rom", i % 2 ? kDefaultRom : kSwapRom});
        std::this_thread::sleep_for(kSwapPause);
        const int now = w.Queued();
        stable = now > 0 && now == before ? stable + 1 : 0;
        before = now;
    }
    std::this_thread::sleep_for(kSettle);
    return stable == kStableSwaps && w.Queued() == before;
}

} // namespace

// SIGTERM and SIGINT end tmwatch with status 0 while its reader leaves the
// pipe full and more events wait.
TEST(TmwatchOutput, SignalEndsItWhileThePipeIsFull) {
    for (int sig : {SIGTERM, SIGINT}) {
        SimDir dir;
        Watcher w;
        ASSERT_TRUE(
            w.Start(SimCommand(dir, Key(), {"tmwatch", "--json"}), dir.Path("err"), Output::Pipe));
        ASSERT_TRUE(WaitForIoctl(dir, kEventFdRequest, kWatcherStartTimeout)) << dir.Trace();
        ASSERT_TRUE(FillThePipe(dir, w));
        EXPECT_TRUE(w.Running());
        w.Signal(sig);
        ASSERT_TRUE(w.Wait()) << "signal " << sig << " did not end tmwatch";
        EXPECT_TRUE(WIFEXITED(w.Status()) && WEXITSTATUS(w.Status()) == 0) << w.Status();
        EXPECT_EQ(dir.Read("err"), "");
    }
}

// The reader goes away (tmwatch | head -n 1) and no key event comes:
// tmwatch ends as a write to the pipe would end it, by SIGPIPE, or with
// status 1 and a message where SIGPIPE is ignored.
TEST(TmwatchOutput, EndsWhenItsReaderGoesAwayWithoutAnyEvent) {
    for (bool ignored : {false, true}) {
        SimDir dir;
        Watcher w;
        ASSERT_TRUE(
            w.Start(SimCommand(dir, Key(), {"tmwatch"}), dir.Path("err"), Output::Pipe, ignored));
        ASSERT_TRUE(WaitForIoctl(dir, kEventFdRequest, kWatcherStartTimeout)) << dir.Trace();
        EXPECT_TRUE(w.Running());
        w.CloseRead();
        ASSERT_TRUE(w.Wait()) << "tmwatch went on without its reader";
        if (ignored) {
            EXPECT_TRUE(WIFEXITED(w.Status()) && WEXITSTATUS(w.Status()) == 1) << w.Status();
            EXPECT_EQ(dir.Read("err"), "tmwatch: cannot write to standard output [Broken pipe]\n");
        } else {
            EXPECT_TRUE(WIFSIGNALED(w.Status()) && WTERMSIG(w.Status()) == SIGPIPE) << w.Status();
            EXPECT_EQ(dir.Read("err"), "");
        }
    }
}

// A non-blocking standard output that is full makes tmwatch wait for room:
// every event comes through once the reader reads, in order, none lost.
TEST(TmwatchOutput, NonBlockingOutputWaitsForRoom) {
    SimDir dir;
    Watcher w;
    ASSERT_TRUE(w.Start(SimCommand(dir, Key(), {"tmwatch", "--json"}), dir.Path("err"),
                        Output::NonBlockingPipe));
    ASSERT_TRUE(WaitForIoctl(dir, kEventFdRequest, kWatcherStartTimeout)) << dir.Trace();
    ASSERT_TRUE(FillThePipe(dir, w));
    EXPECT_TRUE(w.Running()) << dir.Read("err");
    std::string out = w.Take();
    std::this_thread::sleep_for(kSettle);
    out += w.Take();
    w.Signal(SIGTERM);
    ASSERT_TRUE(w.Wait());
    out += w.Take();
    EXPECT_TRUE(WIFEXITED(w.Status()) && WEXITSTATUS(w.Status()) == 0) << w.Status();
    EXPECT_EQ(dir.Read("err"), "");

    const std::regex line(R"re(\{"event":"(attached|removed)","rom":"[0-9a-f]{16}",)re"
                          R"re("time":[0-9]+\.[0-9]{6},"seq":([0-9]+),"lost":0\}\n)re");
    unsigned long count = 0, last = 0;
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it) {
        const unsigned long seq = std::stoul((*it)[2]);
        EXPECT_EQ(seq, last + 1) << out;
        last = seq;
        count++;
    }
    EXPECT_GT(count * kLineRoom, static_cast<unsigned long>(kSmallPipe) / 2) << out;
    EXPECT_EQ(std::regex_replace(out, line, ""), "");
}

// --help and --version into a full disk, and a closed standard output,
// fail with status 1 and say why.
TEST(TmwatchOutput, FullDiskAndClosedOutputFail) {
    SimDir dir;
    for (const char *opt : {"--help", "--version"}) {
        Watcher w;
        ASSERT_TRUE(w.Start({BinPath("tmwatch"), opt}, dir.Path("err"), Output::DevFull));
        ASSERT_TRUE(w.Wait());
        EXPECT_TRUE(WIFEXITED(w.Status()) && WEXITSTATUS(w.Status()) == 1) << opt;
        EXPECT_EQ(dir.Read("err"),
                  "tmwatch: cannot write to standard output [No space left on device]\n");
    }
    Watcher w;
    ASSERT_TRUE(w.Start(SimCommand(dir, Key(), {"tmwatch"}), dir.Path("err"), Output::Closed));
    ASSERT_TRUE(w.Wait());
    EXPECT_TRUE(WIFEXITED(w.Status()) && WEXITSTATUS(w.Status()) == 1) << w.Status();
    EXPECT_EQ(dir.Read("err"), "tmwatch: cannot write to standard output [Bad file descriptor]\n");
}
