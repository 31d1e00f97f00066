// Serving the pseudo-terminal: every chunk of serial bytes the other side
// sends is answered with the line's echo at the speed read from the
// master; control connections are answered between chunks.
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

// Writes what the master takes; a full buffer on the other side loses the
// rest, as a receiver that overruns would.
size_t WriteEcho(int fd, const unsigned char *buf, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, buf + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

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

// One chunk from the master, answered into the queue. 0 when the master
// failed.
int ServeBytes(const Pty &pty, FarEnd &farEnd, Pacer &pacer, std::deque<Echo> &queue) {
    std::array<unsigned char, kChunk> in{};
    std::array<unsigned char, kChunk> echo{};
    ssize_t n = read(pty.Master(), in.data(), in.size());
    Pacer::Clock::time_point arrival = Pacer::Clock::now();
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    if (n == 0)
        return 1;
    size_t count = static_cast<size_t>(n);
    farEnd.baud = pty.Baud();
    size_t answer = farEnd.line.Answer(in.data(), count, farEnd.baud, echo.data());
    if (!answer)
        return 1;
    Echo e;
    e.due = farEnd.pace ? pacer.Due(count, farEnd.baud, arrival) : arrival;
    // Unpaced echoes keep their order behind paced ones still queued.
    if (!queue.empty() && e.due < queue.back().due)
        e.due = queue.back().due;
    e.bytes.assign(echo.begin(), echo.begin() + static_cast<std::ptrdiff_t>(answer));
    queue.push_back(std::move(e));
    return 1;
}

// Writes the echoes that are due.
void SendDue(const Pty &pty, std::deque<Echo> &queue) {
    Pacer::Clock::time_point now = Pacer::Clock::now();
    while (!queue.empty() && queue.front().due <= now) {
        WriteEcho(pty.Master(), queue.front().bytes.data(), queue.front().bytes.size());
        queue.pop_front();
    }
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
    while (!status && !g_stop) {
        std::array<pollfd, 2> fds{{{pty.Master(), POLLIN, 0}, {listenFd, POLLIN, 0}}};
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
        SendDue(pty, queue);
        if (fds[1].revents & POLLIN)
            CtlServeOne(listenFd, farEnd);
    }

    close(listenFd);
    unlink(ctlPath.c_str());
    unlink((opts.stateDir + "/tty").c_str());
    return status;
}

} // namespace tmfarend
