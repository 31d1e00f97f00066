// SPDX-License-Identifier: GPL-2.0-or-later
// tmattach: attaches the touch-memory driver's line discipline to a serial
// port, so that the 1-Wire interface on it becomes /dev/touchmN, and holds
// the port until SIGINT or SIGTERM (then detaches, back to the normal tty
// discipline) or until the port hangs up (the adapter was unplugged: the
// line is gone with it); either way it exits 0.
//
//   tmattach [--ldisc N] TTY
//   tmattach --persist TTY
//
// The port is opened, made exclusive, set raw 8N1 at 115200 baud, and the
// discipline set with TIOCSETD: the driver's fixed number 29, or N. For an
// FTDI adapter the latency timer is set to 1 ms when writable (else the
// message says how). Exit status 1 with one message on standard error for
// every failure.
//
// --persist marks the adapter behind TTY as a key line for udev: a rule
// line with its serial number (udevadm's ID_SERIAL_SHORT) in
// /etc/udev/rules.d/70-touchm-local.rules, the file's other lines kept;
// udev then starts tmattach@TTY.service whenever it is plugged in.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "Persist.h"

namespace {

const char kProgram[] = "tmattach";
// The discipline number the driver registers, fixed (N_DEVELOPMENT).
constexpr int kDefaultLdisc = 29;
// Line discipline numbers the kernel knows: 0 to kLdiscCount - 1.
constexpr int kLdiscCount = 30;
constexpr int kTtyLdisc = 0; // N_TTY
constexpr size_t kPathMax = PATH_MAX;
// The FTDI latency timer: how long the adapter holds received bytes before
// it sends them to the host. 1 ms keeps echo round trips short.
const char kLatencyFmt[] = "/sys/class/tty/%s/device/latency_timer";
constexpr int kLatencyWanted = 1;
constexpr size_t kLatencyTextMax = 16;
// udevadm's property listing of one device, and the local rules file, are
// read up to these sizes.
constexpr size_t kListingMax = size_t{64} * 1024;
constexpr size_t kRulesMax = size_t{1024} * 1024;
constexpr size_t kReadChunk = 4096;
constexpr mode_t kRulesMode = 0644;

volatile sig_atomic_t g_stop = 0;

void onStop(int) {
    g_stop = 1;
}

__attribute__((format(printf, 1, 2))) void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s: ", kProgram);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

void usage(FILE *out) {
    fprintf(out,
            "usage: %s [--ldisc N] TTY\n"
            "       %s --persist TTY\n"
            "Attaches the touch-memory driver to the serial port TTY (e.g. /dev/ttyUSB0)\n"
            "and holds it until interrupted or unplugged; the key is then /dev/touchm0.\n"
            "  --ldisc N  line discipline number to set (default %d, the driver's number)\n"
            "  --persist  mark the adapter behind TTY by its serial number in\n"
            "             %s,\n"
            "             so that udev attaches it whenever it is plugged in\n",
            kProgram, kProgram, kDefaultLdisc, tmattach::kLocalRulesPath);
}

// Parses the discipline number; 1 on success, 0 if @text is no number 1..29.
int parseLdisc(const char *text, int *out) {
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v <= kTtyLdisc || v >= kLdiscCount)
        return 0;
    *out = static_cast<int>(v);
    return 1;
}

// The message for a tty that cannot be opened; errno in @saved.
void sayOpenFailed(const char *tty, int saved) {
    switch (saved) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        say("no such tty: %s [%s]\n", tty, strerror(saved));
        break;
    case EACCES:
    case EPERM:
        say("permission denied: %s [%s]; run as root or as a member of the tty's group\n", tty,
            strerror(saved));
        break;
    case EBUSY:
        say("tty busy: %s is held exclusively by another program [%s]\n", tty, strerror(saved));
        break;
    default:
        say("cannot open %s [%s]\n", tty, strerror(saved));
        break;
    }
}

// The message for a discipline the kernel refused; errno in @saved.
void saySetdFailed(const char *tty, int ldisc, int saved) {
    switch (saved) {
    case EINVAL:
        say("line discipline %d is not registered: load the driver first (modprobe touchm; it "
            "registers %d) [%s]\n",
            ldisc, kDefaultLdisc, strerror(saved));
        break;
    case EOPNOTSUPP:
        say("not a serial port: %s (a pseudo-terminal?); a key line needs a real serial "
            "adapter, a UART or a USB-serial adapter [%s]\n",
            tty, strerror(saved));
        break;
    case EIO:
        say("unsuitable port: %s cannot run at both 9600 and 115200 baud, as a key line needs "
            "[%s]\n",
            tty, strerror(saved));
        break;
    case EPERM:
    case EACCES:
        say("permission denied: attaching a line discipline to %s needs root [%s]\n", tty,
            strerror(saved));
        break;
    case EBUSY:
        say("tty busy: %s [%s]\n", tty, strerror(saved));
        break;
    default:
        say("cannot attach line discipline %d to %s [%s]\n", ldisc, tty, strerror(saved));
        break;
    }
}

// For an FTDI adapter, the latency timer set to 1 ms, or advice to do so.
// Nothing for ports without one.
void tuneLatency(const char *tty) {
    char real[kPathMax];
    if (realpath(tty, real) == nullptr)
        return;
    const char *base = strrchr(real, '/');
    base = base != nullptr ? base + 1 : real;
    char path[kPathMax];
    const int n = snprintf(path, sizeof(path), kLatencyFmt, base);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path))
        return;
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return;
    char text[kLatencyTextMax];
    long now = -1;
    if (fgets(text, sizeof(text), f) != nullptr)
        now = strtol(text, nullptr, 10);
    fclose(f);
    if (now == kLatencyWanted)
        return;
    f = fopen(path, "w");
    if (f != nullptr) {
        snprintf(text, sizeof(text), "%d\n", kLatencyWanted);
        const int bad = fputs(text, f) == EOF;
        if (fclose(f) == 0 && !bad)
            return;
    }
    const int saved = errno;
    say("latency timer of %s is %ld ms; set it to %d ms for fast transfers: echo %d > %s [%s]\n",
        base, now, kLatencyWanted, kLatencyWanted, path, strerror(saved));
}

// Raw 8N1 at 115200 baud, no flow control; 1 or 0 with errno set.
int makeRaw(int fd) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return 0;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS | PARENB);
    t.c_cflag |= CLOCAL | CREAD | CS8;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, B115200) != 0 || cfsetospeed(&t, B115200) != 0)
        return 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// How the wait on an attached port ended.
enum class Held {
    Stopped, // SIGINT or SIGTERM
    HungUp,  // the tty hung up: the adapter was unplugged
    Failed,  // the tty reports an error without a hangup
};

// Waits for SIGINT or SIGTERM, or for the tty to hang up or fail.
Held holdUntilStopped(int fd) {
    sigset_t none;
    sigemptyset(&none);
    struct pollfd p = {fd, 0, 0};
    while (g_stop == 0) {
        p.revents = 0;
        const int r = ppoll(&p, 1, nullptr, &none);
        if (r > 0 && (p.revents & POLLHUP) != 0)
            return Held::HungUp;
        if (r > 0 && (p.revents & (POLLERR | POLLNVAL)) != 0)
            return Held::Failed;
    }
    return Held::Stopped;
}

int attach(const char *tty, int ldisc) {
    int fd = open(tty, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        sayOpenFailed(tty, errno);
        return 1;
    }
    int status = 1;
    int current = kTtyLdisc;
    struct termios saved_termios;
    // Asked first: with another discipline on it, the tty no longer answers
    // the termios requests that isatty() makes.
    if (ioctl(fd, TIOCGETD, &current) != 0) {
        say("not a tty: %s\n", tty);
        goto out_close;
    }
    if (current != kTtyLdisc) {
        say("tty busy: %s already has line discipline %d attached\n", tty, current);
        goto out_close;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        const int saved = errno;
        say("tty busy: %s is in use by another program [%s]\n", tty, strerror(saved));
        goto out_close;
    }
    if (tcgetattr(fd, &saved_termios) != 0 || !makeRaw(fd)) {
        const int saved = errno;
        say("cannot set %s to raw 115200 baud [%s]\n", tty, strerror(saved));
        goto out_close;
    }
    tuneLatency(tty);
    if (ioctl(fd, TIOCSETD, &ldisc) != 0) {
        saySetdFailed(tty, ldisc, errno);
        goto out_restore;
    }
    printf("%s: %s attached to the touch-memory driver (line discipline %d); "
           "interrupt to detach\n",
           kProgram, tty, ldisc);
    fflush(stdout);

    switch (holdUntilStopped(fd)) {
    case Held::Stopped:
        break;
    case Held::HungUp:
        // The port went away under us: an adapter unplugged, which ends
        // the line as an operator means it to; nothing is left to detach.
        printf("%s: %s hung up (adapter unplugged); the key line is gone\n", kProgram, tty);
        status = 0;
        goto out_close;
    case Held::Failed:
        say("%s failed while attached; the key line is gone\n", tty);
        goto out_close;
    }
    {
        int tty_ldisc = kTtyLdisc;
        if (ioctl(fd, TIOCSETD, &tty_ldisc) != 0) {
            const int saved = errno;
            say("cannot detach from %s [%s]\n", tty, strerror(saved));
            goto out_close;
        }
    }
    status = 0;
out_restore:
    tcsetattr(fd, TCSANOW, &saved_termios);
out_close:
    close(fd);
    return status;
}

// Runs udevadm with @args (found on PATH, as an operator's shell would);
// its standard output into *out when @out is given, up to kListingMax
// bytes. Its exit status, or -1 when it cannot be run (errno set).
int runUdevadm(const char *const *args, std::string *out) {
    int pipefd[2] = {-1, -1};
    if (out != nullptr && pipe2(pipefd, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid < 0) {
        const int saved = errno;
        if (out != nullptr) {
            close(pipefd[0]);
            close(pipefd[1]);
        }
        errno = saved;
        return -1;
    }
    if (pid == 0) {
        if (out != nullptr)
            dup2(pipefd[1], STDOUT_FILENO);
        else
            dup2(STDERR_FILENO, STDOUT_FILENO);
        execvp(args[0], const_cast<char *const *>(args));
        _exit(errno == ENOENT ? 127 : 126);
    }
    if (out != nullptr) {
        close(pipefd[1]);
        char buf[kReadChunk];
        for (;;) {
            const ssize_t n = read(pipefd[0], buf, sizeof(buf));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            if (out->size() < kListingMax)
                out->append(buf, std::min(static_cast<size_t>(n), kListingMax - out->size()));
        }
        close(pipefd[0]);
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

// The whole of @path into *text (empty when it does not exist); 0 or errno.
int readRules(const char *path, std::string *text) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : errno;
    char buf[kReadChunk];
    int err = 0;
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = errno;
            break;
        }
        if (n == 0)
            break;
        if (text->size() + static_cast<size_t>(n) > kRulesMax) {
            err = EFBIG;
            break;
        }
        text->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return err;
}

// @text as the new content of @path, replaced at once (a file beside it,
// then renamed over it), mode 0644; 0 or errno.
int writeRules(const char *path, const std::string &text) {
    std::string tmp = std::string(path) + ".XXXXXX";
    const int fd = mkstemp(&tmp[0]);
    if (fd < 0)
        return errno;
    int err = 0;
    size_t done = 0;
    while (err == 0 && done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            err = errno;
        else if (n > 0)
            done += static_cast<size_t>(n);
    }
    if (err == 0 && fchmod(fd, kRulesMode) != 0)
        err = errno;
    if (err == 0 && fsync(fd) != 0)
        err = errno;
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && rename(tmp.c_str(), path) != 0)
        err = errno;
    if (err != 0)
        unlink(tmp.c_str());
    return err;
}

// tmattach --persist TTY.
int persist(const char *tty) {
    const std::string name = std::string("--name=") + tty;
    const char *const info[] = {"udevadm", "info", "--query=property", name.c_str(), nullptr};
    std::string listing;
    const int rc = runUdevadm(info, &listing);
    if (rc == 127 || rc < 0) {
        say("cannot run udevadm (is udev installed?); --persist asks it for the adapter's "
            "serial number\n");
        return 1;
    }
    std::string subsystem, serial, devpath;
    if (rc != 0 || !tmattach::FindProperty(listing, "SUBSYSTEM", &subsystem)) {
        say("no such tty: udev knows no device %s\n", tty);
        return 1;
    }
    if (subsystem != "tty") {
        say("not a tty: %s (udev subsystem %s)\n", tty, subsystem.c_str());
        return 1;
    }
    tmattach::FindProperty(listing, "DEVPATH", &devpath);
    if (!tmattach::FindProperty(listing, "ID_SERIAL_SHORT", &serial) || serial.empty()) {
        std::string path;
        say("%s has no serial number (no ID_SERIAL_SHORT in udevadm info): it cannot be "
            "marked by one; mark it by where it is plugged in instead, with a line in %s\n",
            tty, tmattach::kLocalRulesPath);
        if (tmattach::FindProperty(listing, "ID_PATH", &path) && !path.empty())
            fprintf(stderr, "  SUBSYSTEM==\"tty\", ENV{ID_PATH}==\"%s\", ENV{TOUCHM_LINE}=\"1\"\n",
                    path.c_str());
        return 1;
    }
    if (!tmattach::SerialUsable(serial)) {
        say("the serial number of %s, '%s', has characters a udev rule cannot match as "
            "they are; write the line in %s by hand\n",
            tty, serial.c_str(), tmattach::kLocalRulesPath);
        return 1;
    }

    std::string existing, text;
    int err = readRules(tmattach::kLocalRulesPath, &existing);
    if (err != 0) {
        say("cannot read %s [%s]\n", tmattach::kLocalRulesPath, strerror(err));
        return 1;
    }
    if (!tmattach::AddMark(existing, serial, &text)) {
        printf("%s: %s (serial %s) is already marked in %s\n", kProgram, tty, serial.c_str(),
               tmattach::kLocalRulesPath);
        return 0;
    }
    err = writeRules(tmattach::kLocalRulesPath, text);
    if (err != 0) {
        if (err == EACCES || err == EPERM || err == EROFS)
            say("permission denied: writing %s needs root [%s]\n", tmattach::kLocalRulesPath,
                strerror(err));
        else
            say("cannot write %s [%s]\n", tmattach::kLocalRulesPath, strerror(err));
        return 1;
    }
    printf("%s: marked %s (serial %s) as a key line in %s\n", kProgram, tty, serial.c_str(),
           tmattach::kLocalRulesPath);
    fflush(stdout);

    // udev reads the rule now, and the port gets an "add" event, so that a
    // port already plugged in is attached without a re-plug.
    const char *const reload[] = {"udevadm", "control", "--reload-rules", nullptr};
    const std::string sys = std::string("/sys") + devpath;
    const char *const trigger[] = {"udevadm", "trigger", "--action=add", sys.c_str(), nullptr};
    if (runUdevadm(reload, nullptr) != 0 || devpath.empty() || runUdevadm(trigger, nullptr) != 0)
        say("udev did not take the new rule yet; run: udevadm control --reload-rules && "
            "udevadm trigger --action=add %s (or plug the adapter in again)\n",
            devpath.empty() ? tty : sys.c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    int ldisc = kDefaultLdisc;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        }
        if (strcmp(argv[i], "--persist") == 0 && i == 1 && argc == 3)
            return persist(argv[2]);
        if (strcmp(argv[i], "--ldisc") == 0 && i + 1 < argc) {
            if (!parseLdisc(argv[++i], &ldisc)) {
                say("--ldisc wants a number from 1 to %d, not '%s'\n", kLdiscCount - 1, argv[i]);
                return 2;
            }
            continue;
        }
        usage(stderr);
        return 2;
    }
    if (argc - i != 1) {
        usage(stderr);
        return 2;
    }

    // Both signals stay blocked but inside ppoll(), so none slips in
    // between the check of the flag and the wait.
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = onStop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, nullptr);

    return attach(argv[i], ldisc);
}
