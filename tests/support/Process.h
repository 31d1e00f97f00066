// SPDX-License-Identifier: GPL-2.0-or-later
// Running programs under the driver stand-in: Run for one-shot runs with
// exact capture of standard output, standard error and the exit status;
// Spawned for programs a test talks to while they run (polling, signals).
// Every child gets a process group of its own; a timeout kills the group.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "SimDir.h"
#include "SimKey.h"

namespace vorn_test {

using namespace std::chrono_literals;

struct RunResult {
    int status = -1;       // exit status, or -1 when killed by a signal
    int signal = 0;        // the signal that ended it, or 0
    std::string out;       // all of standard output
    std::string err;       // all of standard error
    bool timedOut = false; // the timeout ran out and the group was killed
};

// VORN_BIN_DIR/name when that file exists (tmtool, tmsim, devprobe...), else
// name unchanged (found through PATH).
std::string BinPath(const std::string &name);

// tmsim --state DIR <key options> -- argv..., with argv[0] resolved by BinPath.
std::vector<std::string> SimCommand(const SimDir &dir, const SimKey &key,
                                    const std::vector<std::string> &argv);

// Runs argv under tmsim, stdin fed from stdinText and then closed.
RunResult Run(const SimDir &dir, const SimKey &key, std::vector<std::string> argv,
              std::string stdinText = "", std::chrono::milliseconds timeout = 10s);
// The same. Inside a TEST body gtest's own Test::Run() hides the name Run,
// so call vorn_test::Run(...) there, or this.
inline RunResult RunSim(const SimDir &dir, const SimKey &key, std::vector<std::string> argv,
                        std::string stdinText = "", std::chrono::milliseconds timeout = 10s) {
    return Run(dir, key, std::move(argv), std::move(stdinText), timeout);
}

// Runs a full command line as it stands (argv[0] resolved by BinPath).
RunResult RunCommand(std::vector<std::string> argv, std::string stdinText = "",
                     std::chrono::milliseconds timeout = 10s);

// tmsim ctl --state DIR args...
RunResult Ctl(const SimDir &dir, std::vector<std::string> args,
              std::chrono::milliseconds timeout = 10s);

struct SpawnOptions {
    // Standard output on a pseudo-terminal instead of a pipe, so that stdio
    // buffers it by line as on a console (no "\r\n" translation).
    bool stdoutTty = false;
    // Standard input in non-blocking mode (O_NONBLOCK on the child's end of
    // its pipe): a read finds EAGAIN until the test has written something.
    bool stdinNonBlocking = false;
};

class Spawned {
  public:
    Spawned() = default;
    // Kills the process group if the child still runs.
    ~Spawned();
    Spawned(const Spawned &) = delete;
    Spawned &operator=(const Spawned &) = delete;

    // Starts argv under tmsim (as Run does). false when it cannot start.
    bool Start(const SimDir &dir, const SimKey &key, const std::vector<std::string> &argv,
               SpawnOptions opts = {});
    // Starts a full command line as it stands.
    bool StartCommand(const std::vector<std::string> &argv, SpawnOptions opts = {});

    // The next line of standard output without its "\n". false on timeout
    // or when output ended (a last unterminated piece is returned once).
    bool ReadLine(std::string &line, std::chrono::milliseconds timeout = 5s);
    // Reads lines until one contains needle (stored in *line if given).
    bool WaitForLine(const std::string &needle, std::chrono::milliseconds timeout = 5s,
                     std::string *line = nullptr);
    // Writes text to standard input now, as far as the pipe takes it; the
    // rest goes as the child reads.
    void Write(const std::string &text);
    // Closes standard input once the queued text is written.
    void CloseStdin();
    // Sends sig to the child (the command itself: tmsim replaces itself).
    bool Signal(int sig);
    // Closes stdin, waits for the exit and the end of both outputs. On
    // timeout the group is killed and timedOut set. out holds everything the
    // child wrote to standard output, lines already read included.
    RunResult Wait(std::chrono::milliseconds timeout = 10s);

    pid_t Pid() const { return m_pid; }
    bool Exited() const { return m_exited; }

  private:
    void Pump(std::chrono::steady_clock::time_point deadline, bool untilLine);
    void ReadFrom(int &fd, std::string &into);
    void FlushInput();
    void Reap(bool block);
    void KillGroup();
    void CloseAll();

    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_err = -1;
    bool m_closeInWhenDrained = false;
    std::string m_pendingIn;
    std::string m_outText;
    std::string m_errText;
    size_t m_lineStart = 0;
    bool m_exited = false;
    int m_waitStatus = 0;
    bool m_timedOut = false;
};

} // namespace vorn_test
