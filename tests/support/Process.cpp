// SPDX-License-Identifier: GPL-2.0-or-later
// Child processes for end-to-end tests.
#include "Process.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#ifndef VORN_BIN_DIR
#error "VORN_BIN_DIR must name the build's bin directory"
#endif

namespace vorn_test {

namespace {

constexpr int kPollSliceMs = 10;
constexpr size_t kReadChunk = 65536;
constexpr size_t kPtyNameMax = 128;
// How long output may stay open after the child exited (a grandchild still
// holding it) before the group is killed.
constexpr auto kOutputGrace = 500ms;

void IgnoreSigpipeOnce() {
    static bool done = false;
    if (!done) {
        std::signal(SIGPIPE, SIG_IGN);
        done = true;
    }
}

void CloseFd(int &fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// A pseudo-terminal pair whose output side passes bytes unchanged.
bool OpenPty(int &master, int &slave) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        return false;
    std::array<char, kPtyNameMax> name{};
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name.data(), name.size()) != 0) {
        CloseFd(master);
        return false;
    }
    slave = open(name.data(), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        CloseFd(master);
        return false;
    }
    struct termios tio;
    if (tcgetattr(slave, &tio) == 0) {
        tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tio.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(slave, TCSANOW, &tio);
    }
    return true;
}

} // namespace

std::string BinPath(const std::string &name) {
    if (name.find('/') != std::string::npos)
        return name;
    std::string path = std::string(VORN_BIN_DIR) + "/" + name;
    return access(path.c_str(), X_OK) == 0 ? path : name;
}

std::vector<std::string> SimCommand(const SimDir &dir, const SimKey &key,
                                    const std::vector<std::string> &argv) {
    std::vector<std::string> cmd = {BinPath("tmsim"), "--state", dir.Dir()};
    for (const std::string &opt : key.Options())
        cmd.push_back(opt);
    cmd.push_back("--");
    for (size_t i = 0; i < argv.size(); i++)
        cmd.push_back(i == 0 ? BinPath(argv[i]) : argv[i]);
    return cmd;
}

RunResult Run(const SimDir &dir, const SimKey &key, std::vector<std::string> argv,
              std::string stdinText, std::chrono::milliseconds timeout) {
    return RunCommand(SimCommand(dir, key, argv), std::move(stdinText), timeout);
}

RunResult RunCommand(std::vector<std::string> argv, std::string stdinText,
                     std::chrono::milliseconds timeout) {
    Spawned child;
    RunResult failed;
    if (!child.StartCommand(argv)) {
        failed.err = "cannot start " + (argv.empty() ? std::string("nothing") : argv[0]);
        return failed;
    }
    child.Write(stdinText);
    return child.Wait(timeout);
}

RunResult Ctl(const SimDir &dir, std::vector<std::string> args, std::chrono::milliseconds timeout) {
    std::vector<std::string> cmd = {BinPath("tmsim"), "ctl", "--state", dir.Dir()};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return RunCommand(cmd, "", timeout);
}

Spawned::~Spawned() {
    if (m_pid > 0 && !m_exited) {
        KillGroup();
        Reap(true);
    }
    CloseAll();
}

bool Spawned::Start(const SimDir &dir, const SimKey &key, const std::vector<std::string> &argv,
                    SpawnOptions opts) {
    return StartCommand(SimCommand(dir, key, argv), opts);
}

bool Spawned::StartCommand(const std::vector<std::string> &argv, SpawnOptions opts) {
    if (m_pid > 0 || argv.empty())
        return false;
    IgnoreSigpipeOnce();
    std::vector<std::string> words = argv;
    words[0] = BinPath(words[0]);
    std::vector<char *> cargv;
    for (std::string &w : words)
        cargv.push_back(w.data());
    cargv.push_back(nullptr);

    int inPipe[2] = {-1, -1};
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    bool ok = pipe(inPipe) == 0 && pipe(errPipe) == 0;
    if (ok)
        ok = opts.stdoutTty ? OpenPty(outPipe[0], outPipe[1]) : pipe(outPipe) == 0;
    if (ok) {
        m_pid = fork();
        ok = m_pid >= 0;
    }
    if (ok && m_pid == 0) {
        // Child: only async-signal-safe calls from here to exec.
        if (opts.stdoutTty) {
            setsid();
            ioctl(outPipe[1], TIOCSCTTY, 0);
        } else {
            setpgid(0, 0);
        }
        dup2(inPipe[0], STDIN_FILENO);
        if (opts.stdinNonBlocking)
            fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
            if (fd > STDERR_FILENO)
                close(fd);
        }
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(cargv[0], cargv.data());
        const char msg[] = "cannot exec the command\n";
        if (write(STDERR_FILENO, msg, sizeof(msg) - 1) < 0)
            _exit(127);
        _exit(127);
    }
    if (ok && !opts.stdoutTty)
        setpgid(m_pid, m_pid); // also from here: no race with the first kill
    for (int fd : {inPipe[0], outPipe[1], errPipe[1]}) {
        if (fd >= 0)
            close(fd);
    }
    m_in = inPipe[1];
    m_out = outPipe[0];
    m_err = errPipe[0];
    if (!ok) {
        m_pid = -1;
        CloseAll();
        return false;
    }
    SetNonBlocking(m_in);
    SetNonBlocking(m_out);
    SetNonBlocking(m_err);
    return true;
}

void Spawned::CloseAll() {
    CloseFd(m_in);
    CloseFd(m_out);
    CloseFd(m_err);
}

void Spawned::ReadFrom(int &fd, std::string &into) {
    std::array<char, kReadChunk> buf;
    for (;;) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n > 0) {
            into.append(buf.data(), static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        CloseFd(fd); // end of output (EIO on a pty whose other side closed)
        return;
    }
}

void Spawned::Reap(bool block) {
    if (m_pid <= 0 || m_exited)
        return;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(m_pid, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == m_pid) {
        m_exited = true;
        m_waitStatus = status;
    }
}

void Spawned::KillGroup() {
    if (m_pid > 0) {
        kill(-m_pid, SIGKILL);
        kill(m_pid, SIGKILL);
    }
}

void Spawned::Pump(std::chrono::steady_clock::time_point deadline, bool untilLine) {
    std::chrono::steady_clock::time_point exitSeen{};
    bool polledOnce = false;
    for (;;) {
        if (untilLine && m_outText.find('\n', m_lineStart) != std::string::npos)
            return;
        Reap(false);
        if (m_exited && m_out < 0 && m_err < 0)
            return;
        if (untilLine && m_out < 0)
            return;
        auto now = std::chrono::steady_clock::now();
        if (m_exited) {
            if (exitSeen == std::chrono::steady_clock::time_point{}) {
                exitSeen = now;
            } else if (now - exitSeen > kOutputGrace) {
                // A grandchild still holds the output open: end the group.
                KillGroup();
                if (m_out >= 0)
                    ReadFrom(m_out, m_outText);
                if (m_err >= 0)
                    ReadFrom(m_err, m_errText);
                CloseFd(m_out);
                CloseFd(m_err);
                return;
            }
        }
        // At least one look at the descriptors, even with no time left.
        if (now >= deadline && polledOnce)
            return;
        polledOnce = true;
        FlushInput();

        std::array<struct pollfd, 3> fds{};
        nfds_t n = 0;
        if (m_out >= 0)
            fds[n++] = {m_out, POLLIN, 0};
        if (m_err >= 0)
            fds[n++] = {m_err, POLLIN, 0};
        if (m_in >= 0 && !m_pendingIn.empty())
            fds[n++] = {m_in, POLLOUT, 0};
        long long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        int slice =
            static_cast<int>(std::max<long long>(0, std::min<long long>(left + 1, kPollSliceMs)));
        if (poll(fds.data(), n, slice) < 0 && errno != EINTR)
            return;
        for (nfds_t i = 0; i < n; i++) {
            if (fds[i].revents == 0)
                continue;
            if (fds[i].fd == m_out)
                ReadFrom(m_out, m_outText);
            else if (fds[i].fd == m_err)
                ReadFrom(m_err, m_errText);
            else if (fds[i].fd == m_in)
                FlushInput();
        }
    }
}

bool Spawned::ReadLine(std::string &line, std::chrono::milliseconds timeout) {
    Pump(std::chrono::steady_clock::now() + timeout, true);
    size_t nl = m_outText.find('\n', m_lineStart);
    if (nl != std::string::npos) {
        line = m_outText.substr(m_lineStart, nl - m_lineStart);
        m_lineStart = nl + 1;
        return true;
    }
    if (m_out < 0 && m_lineStart < m_outText.size()) {
        line = m_outText.substr(m_lineStart);
        m_lineStart = m_outText.size();
        return true;
    }
    return false;
}

bool Spawned::WaitForLine(const std::string &needle, std::chrono::milliseconds timeout,
                          std::string *line) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string got;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0 || !ReadLine(got, left))
            return false;
        if (got.find(needle) != std::string::npos) {
            if (line)
                *line = got;
            return true;
        }
    }
}

void Spawned::FlushInput() {
    while (m_in >= 0 && !m_pendingIn.empty()) {
        ssize_t w = write(m_in, m_pendingIn.data(), m_pendingIn.size());
        if (w > 0) {
            m_pendingIn.erase(0, static_cast<size_t>(w));
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && errno == EAGAIN) {
            return; // the rest goes as the child reads
        } else {
            m_pendingIn.clear(); // the child closed its stdin
            CloseFd(m_in);
        }
    }
    if (m_in >= 0 && m_pendingIn.empty() && m_closeInWhenDrained)
        CloseFd(m_in);
}

void Spawned::Write(const std::string &text) {
    m_pendingIn += text;
    FlushInput();
}

void Spawned::CloseStdin() {
    m_closeInWhenDrained = true;
    FlushInput();
}

bool Spawned::Signal(int sig) {
    return m_pid > 0 && !m_exited && kill(m_pid, sig) == 0;
}

RunResult Spawned::Wait(std::chrono::milliseconds timeout) {
    RunResult result;
    CloseStdin();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    Pump(deadline, false);
    if (!m_exited || m_out >= 0 || m_err >= 0) {
        if (!m_exited)
            m_timedOut = true;
        KillGroup();
        Reap(true);
        if (m_out >= 0)
            ReadFrom(m_out, m_outText);
        if (m_err >= 0)
            ReadFrom(m_err, m_errText);
        CloseAll();
    }
    result.timedOut = m_timedOut;
    if (m_exited && WIFEXITED(m_waitStatus))
        result.status = WEXITSTATUS(m_waitStatus);
    else if (m_exited && WIFSIGNALED(m_waitStatus))
        result.signal = WTERMSIG(m_waitStatus);
    result.out = m_outText;
    result.err = m_errText;
    return result;
}

} // namespace vorn_test
