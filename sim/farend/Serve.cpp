// SPDX-License-Identifier: GPL-2.0-or-later
// Serving the pseudo-terminal: every chunk of serial bytes the other side
// sends is answered with the line's echo at the speed read from the
// master, changed by the faults that are on; control connections are
// answered between chunks.
#include "Serve.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Commands.h"
#include "CtlSocket.h"
#include "Pacer.h"
#include "Pty.h"

namespace tmfarend {

namespace {

// Serial bytes taken from the master at a time.
constexpr size_t kChunk = 1024;
constexpr mode_t kStateDirMode = 0700;
constexpr long long kNsPerSecond = 1000000000LL;
// Bytes due that the other side has not taken yet, at most: a flood waits
// here while the receiver drains it. Beyond this the oldest are lost, as
// a receiver that overruns loses them.
constexpr size_t kBacklogMax = 4 * kInjectMax;
// Bytes the backlog has sent that it lets pile up before dropping them.
constexpr size_t kBacklogSentMax = size_t{64} * 1024;

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) {
    g_stop = 1;
}

void Report(const std::string &what) {
    std::fprintf(stderr, "tmfarend: %s\n", what.c_str());
}

std::string SysText(const std::string &what) {
    int saved = errno;
    return what + " [" + std::strerror(saved) + "]";
}

// Bytes due, waiting for the master to take them.
class Backlog {
  public:
    void Add(const std::vector<unsigned char> &bytes) {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        if (m_bytes.size() - m_sent > kBacklogMax)
            m_sent = m_bytes.size() - kBacklogMax;
    }
    int Empty() const { return m_sent == m_bytes.size(); }
    // Writes what the master takes now.
    void Send(int fd) {
        while (!Empty()) {
            ssize_t n = write(fd, m_bytes.data() + m_sent, m_bytes.size() - m_sent);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            m_sent += static_cast<size_t>(n);
        }
        if (Empty() || m_sent > kBacklogSentMax) {
            m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_sent));
            m_sent = 0;
        }
    }

  private:
    std::vector<unsigned char> m_bytes;
    size_t m_sent = 0;
};

// DIR/tty points at the slave; replaced in one step.
int PublishSlave(const std::string &dir, const std::string &slave, std::string &err) {
    std::string link = dir + "/tty";
    std::string tmp = link + ".new";
    unlink(tmp.c_str());
    if (symlink(slave.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0) {
        err = SysText("cannot link " + link);
        return 0;
    }
    return 1;
}

int SetUpSignals(sigset_t &waitMask) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    // Blocked except inside ppoll, so a stop request cannot slip in between
    // the test of the flag and the wait.
    if (sigprocmask(SIG_BLOCK, &block, &waitMask) != 0)
        return 0;
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

// An echo waiting for the time the wire would hand it back.
struct Echo {
    Pacer::Clock::time_point due;
    std::vector<unsigned char> bytes;
};

// Echoes and idle bytes keep their order behind those still queued.
void Queue(std::deque<Echo> &queue, Echo e) {
    if (!queue.empty() && e.due < queue.back().due)
        e.due = queue.back().due;
    queue.push_back(std::move(e));
}

// One chunk from the master, answered into the queue. 0 when the master
// failed.
int ServeBytes(const Pty &pty, FarEnd &farEnd, Pacer &pacer, std::deque<Echo> &queue) {
    std::array<unsigned char, kChunk> in{};
    std::array<unsigned char, kChunk> echo{};
    std::array<SlotKind, kChunk> kinds{};
    ssize_t n = read(pty.Master(), in.data(), in.size());
    Pacer::Clock::time_point arrival = Pacer::Clock::now();
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    if (n == 0)
        return 1;
    size_t count = static_cast<size_t>(n);
    farEnd.baud = pty.Baud();
    size_t answer = farEnd.line.Answer(in.data(), count, farEnd.baud, echo.data(), kinds.data());
    if (!answer)
        return 1;
    Echo e;
    e.due = farEnd.pace ? pacer.Due(count, farEnd.baud, arrival) : arrival;
    e.due += std::chrono::milliseconds(farEnd.faults.LateMs());
    farEnd.faults.Apply(echo.data(), kinds.data(), answer, e.bytes);
    Queue(queue, std::move(e));
    return 1;
}

// Idle bytes a control command asked for go out now.
void QueueIdle(FarEnd &farEnd, std::deque<Echo> &queue) {
    Echo e;
    e.due = Pacer::Clock::now();
    if (farEnd.faults.TakeIdle(e.bytes))
        Queue(queue, std::move(e));
}

// Moves the echoes that are due to the backlog and writes what the master
// takes.
void SendDue(const Pty &pty, std::deque<Echo> &queue, Backlog &backlog) {
    Pacer::Clock::time_point now = Pacer::Clock::now();
    while (!queue.empty() && queue.front().due <= now) {
        backlog.Add(queue.front().bytes);
        queue.pop_front();
    }
    backlog.Send(pty.Master());
}

// How long ppoll may wait: until the first echo is due, or for ever.
const timespec *WaitFor(const std::deque<Echo> &queue, timespec &ts) {
    if (queue.empty())
        return nullptr;
    auto left = queue.front().due - Pacer::Clock::now();
    long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    if (ns < 0)
        ns = 0;
    ts.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
    ts.tv_nsec = static_cast<long>(ns % kNsPerSecond);
    return &ts;
}

} // namespace

int Serve(const ServeOptions &opts) {
    FarEnd farEnd;
    farEnd.pace = opts.pace;
    if (!farEnd.line.Init(opts.rom, opts.keyPresent, opts.memory)) {
        Report("cannot set up the line (memory size at most " + std::to_string(kMemoryMax) + ")");
        return 1;
    }
    std::string err;
    if (mkdir(opts.stateDir.c_str(), kStateDirMode) != 0 && errno != EEXIST) {
        Report(SysText("cannot create " + opts.stateDir));
        return 1;
    }
    Pty pty;
    if (!pty.Open(err)) {
        Report(err);
        return 1;
    }
    fcntl(pty.Master(), F_SETFL, fcntl(pty.Master(), F_GETFL) | O_NONBLOCK);
    std::string ctlPath = opts.stateDir + "/ctl";
    int listenFd = CtlListen(ctlPath, err);
    if (listenFd < 0) {
        Report(err);
        return 1;
    }
    sigset_t waitMask;
    int status = 0;
    if (!PublishSlave(opts.stateDir, pty.SlavePath(), err) || !SetUpSignals(waitMask)) {
        Report(err.empty() ? SysText("cannot set up signals") : err);
        status = 1;
    } else {
        std::printf("tmfarend: serving %s\n", pty.SlavePath().c_str());
        std::fflush(stdout);
    }

    // Echoes go out when due, not up to the default 50 us of timer slack
    // later on every round trip.
    prctl(PR_SET_TIMERSLACK, 1UL);
    Pacer pacer;
    std::deque<Echo> queue;
    Backlog backlog;
    while (!status && !g_stop) {
        short masterEvents = static_cast<short>(POLLIN | (backlog.Empty() ? 0 : POLLOUT));
        std::array<pollfd, 2> fds{{{pty.Master(), masterEvents, 0}, {listenFd, POLLIN, 0}}};
        timespec ts{};
        int r = ppoll(fds.data(), fds.size(), WaitFor(queue, ts), &waitMask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            Report(SysText("poll failed"));
            status = 1;
            break;
        }
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) {
            if (!ServeBytes(pty, farEnd, pacer, queue)) {
                Report(SysText("reading the pseudo-terminal failed"));
                status = 1;
            }
        }
        if (fds[1].revents & POLLIN) {
            CtlServeOne(listenFd, farEnd);
            QueueIdle(farEnd, queue);
        }
        SendDue(pty, queue, backlog);
    }

    close(listenFd);
    unlink(ctlPath.c_str());
    unlink((opts.stateDir + "/tty").c_str());
    return status;
}

} // namespace tmfarend
