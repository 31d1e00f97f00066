// SPDX-License-Identifier: GPL-2.0-or-later
// tmattach refuses what it cannot attach with one message on standard error
// and exit status 1 (2 for a usage error), leaving the port as it was. The
// ports are pseudo-terminals made here; none of these cases needs the
// kernel module, and none may find it loaded. Where the kernel refuses the
// discipline, a preload plays its part (SetdRefusal.c).
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "Process.h"

namespace {

using vorn_test::BinPath;
using vorn_test::RunCommand;
using vorn_test::RunResult;

// The discipline number tmattach asks for by default (N_DEVELOPMENT).
constexpr int kDriverLdisc = 29;
// A discipline every kernel has built in (N_NULL).
constexpr int kNullLdisc = 27;

// A pseudo-terminal pair; the slave's path is what tmattach gets.
class Pty {
  public:
    Pty() {
        // Close-on-exec: tmattach must not hold the master (a hangup needs
        // every master descriptor closed).
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        const char *name = ptsname(m_master);
        if (name != nullptr)
            m_path = name;
        m_slave = open(m_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty() {
        if (m_slave >= 0)
            close(m_slave);
        if (m_master >= 0)
            close(m_master);
    }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool Ok() const { return m_slave >= 0; }
    // Closes the master side: the slave hangs up, as a USB-serial tty does
    // when its adapter is unplugged.
    void HangUp() {
        if (m_master >= 0)
            close(m_master);
        m_master = -1;
    }
    const std::string &Path() const { return m_path; }
    int Slave() const { return m_slave; }
    int Ldisc() const {
        int d = -1;
        return ioctl(m_slave, TIOCGETD, &d) == 0 ? d : -1;
    }
    // The slave's settings; false when they cannot be read.
    bool Settings(struct termios *t) const { return tcgetattr(m_slave, t) == 0; }

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

// Whether the running kernel has line discipline number n registered.
bool LdiscRegistered(int n) {
    std::ifstream in("/proc/tty/ldiscs");
    std::string name;
    int num = -1;
    while (in >> name >> num)
        if (num == n)
            return true;
    return false;
}

void ExpectRefused(const RunResult &r, int status, const std::string &err) {
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, err);
}

// tmattach args... with TIOCSETD failing with errno err, as the kernel
// would refuse the discipline.
RunResult RunWithSetdRefused(int err, const std::vector<std::string> &args) {
    const char *asan = getenv("ASAN_OPTIONS");
    std::vector<std::string> cmd{
        "env", std::string("LD_PRELOAD=") + ATTACH_SETD_REFUSAL,
        // The preload comes before a sanitizer runtime in tmattach.
        std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") +
            "verify_asan_link_order=0",
        "VORN_TEST_SETD_ERRNO=" + std::to_string(err), BinPath("tmattach")};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return RunCommand(cmd);
}

// tmattach args... started with TIOCSETD accepted without the driver.
bool StartWithSetdAccepted(vorn_test::Spawned &p, const std::vector<std::string> &args) {
    const char *asan = getenv("ASAN_OPTIONS");
    std::vector<std::string> cmd{"env", std::string("LD_PRELOAD=") + ATTACH_SETD_REFUSAL,
                                 std::string("ASAN_OPTIONS=") +
                                     (asan != nullptr ? std::string(asan) + ":" : "") +
                                     "verify_asan_link_order=0",
                                 "VORN_TEST_SETD_ERRNO=0", BinPath("tmattach")};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return p.StartCommand(cmd);
}

struct SetdRefusal {
    const char *name;
    int err;
    std::vector<std::string> options; // before the port
    std::string said;                 // "$TTY" stands for the port
};

void PrintTo(const SetdRefusal &c, std::ostream *os) {
    *os << c.name;
}

const SetdRefusal kSetdRefusals[] = {
    {"NotRegistered",
     EINVAL,
     {},
     "line discipline 29 is not registered: load the driver first (modprobe touchm; it "
     "registers 29) [Invalid argument]"},
    {"OtherNumberNotRegistered",
     EINVAL,
     {"--ldisc", "5"},
     "line discipline 5 is not registered: load the driver first (modprobe touchm; it "
     "registers 29) [Invalid argument]"},
    {"NoSerialPort",
     EOPNOTSUPP,
     {},
     "not a serial port: $TTY (a pseudo-terminal?); a key line needs a real serial adapter, a "
     "UART or a USB-serial adapter [Operation not supported]"},
    {"SpeedsUnavailable",
     EIO,
     {},
     "unsuitable port: $TTY cannot run at both 9600 and 115200 baud, as a key line needs "
     "[Input/output error]"},
    {"NotRoot",
     EPERM,
     {},
     "permission denied: attaching a line discipline to $TTY needs root [Operation not "
     "permitted]"},
    {"Busy", EBUSY, {}, "tty busy: $TTY [Device or resource busy]"},
    {"Other", ENOMEM, {}, "cannot attach line discipline 29 to $TTY [Cannot allocate memory]"},
};

class SetdRefused : public ::testing::TestWithParam<SetdRefusal> {};

// Each refusal has its own message, and the port keeps its discipline and
// gets its settings back (tmattach set it raw before asking).
TEST_P(SetdRefused, SaysWhyAndLeavesThePortAsItWas) {
    const SetdRefusal &c = GetParam();
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    struct termios before, after;
    ASSERT_TRUE(pty.Settings(&before));
    std::vector<std::string> args = c.options;
    args.push_back(pty.Path());
    std::string said = c.said;
    const size_t at = said.find("$TTY");
    if (at != std::string::npos)
        said.replace(at, strlen("$TTY"), pty.Path());
    ExpectRefused(RunWithSetdRefused(c.err, args), 1, "tmattach: " + said + "\n");
    EXPECT_EQ(pty.Ldisc(), 0);
    ASSERT_TRUE(pty.Settings(&after));
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
}

std::string SetdRefusalName(const ::testing::TestParamInfo<SetdRefusal> &p) {
    return p.param.name;
}

INSTANTIATE_TEST_SUITE_P(Attach, SetdRefused, ::testing::ValuesIn(kSetdRefusals), SetdRefusalName);

TEST(Attach, RefusesPortsThatAreNoTtys) {
    ExpectRefused(RunCommand({"tmattach", "/dev/no-such-tty"}), 1,
                  "tmattach: no such tty: /dev/no-such-tty [No such file or directory]\n");
    ExpectRefused(RunCommand({"tmattach", "/dev/null"}), 1, "tmattach: not a tty: /dev/null\n");
}

TEST(Attach, SaysTheDriverIsMissingWhenTheDisciplineIsUnknown) {
    if (LdiscRegistered(kDriverLdisc))
        GTEST_SKIP() << "line discipline " << kDriverLdisc << " is registered here";
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    ExpectRefused(RunCommand({"tmattach", pty.Path()}), 1,
                  "tmattach: line discipline 29 is not registered: load the driver first "
                  "(modprobe touchm; it registers 29) [Invalid argument]\n");
    EXPECT_EQ(pty.Ldisc(), 0);
}

TEST(Attach, LeavesABusyPortAlone) {
    Pty locked;
    ASSERT_TRUE(locked.Ok());
    ASSERT_EQ(flock(locked.Slave(), LOCK_EX | LOCK_NB), 0);
    ExpectRefused(RunCommand({"tmattach", locked.Path()}), 1,
                  "tmattach: tty busy: " + locked.Path() +
                      " is in use by another program [Resource temporarily unavailable]\n");

    Pty taken;
    ASSERT_TRUE(taken.Ok());
    int ldisc = kNullLdisc;
    if (ioctl(taken.Slave(), TIOCSETD, &ldisc) != 0)
        GTEST_SKIP() << "cannot set line discipline " << kNullLdisc << ": errno " << errno;
    ExpectRefused(RunCommand({"tmattach", taken.Path()}), 1,
                  "tmattach: tty busy: " + taken.Path() +
                      " already has line discipline 27 attached\n");
    EXPECT_EQ(taken.Ldisc(), kNullLdisc);
}

TEST(Attach, RejectsBadUsage) {
    const char *const usage =
        "usage: tmattach [--ldisc N] TTY\n"
        "       tmattach --persist TTY\n"
        "Attaches the touch-memory driver to the serial port TTY (e.g. /dev/ttyUSB0)\n"
        "and holds it until interrupted or unplugged; the key is then /dev/touchm0.\n"
        "  --ldisc N  line discipline number to set (default 29, the driver's number)\n"
        "  --persist  mark the adapter behind TTY by its serial number in\n"
        "             /etc/udev/rules.d/70-touchm-local.rules,\n"
        "             so that udev attaches it whenever it is plugged in\n";
    ExpectRefused(RunCommand({"tmattach"}), 2, usage);
    ExpectRefused(RunCommand({"tmattach", "--speed", "/dev/ttyS0"}), 2, usage);
    ExpectRefused(RunCommand({"tmattach", "/dev/ttyS0", "/dev/ttyS1"}), 2, usage);
    ExpectRefused(RunCommand({"tmattach", "--persist"}), 2, usage);
    ExpectRefused(RunCommand({"tmattach", "--persist", "/dev/ttyS0", "/dev/ttyS1"}), 2, usage);
    ExpectRefused(RunCommand({"tmattach", "--ldisc", "5", "--persist", "/dev/ttyS0"}), 2, usage);
    for (const char *bad : {"0", "30", "x", "-1", ""})
        ExpectRefused(RunCommand({"tmattach", "--ldisc", bad, "/dev/ttyS0"}), 2,
                      std::string("tmattach: --ldisc wants a number from 1 to 29, not '") + bad +
                          "'\n");
    const RunResult help = RunCommand({"tmattach", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, usage);
}

// Unplugging the adapter hangs its tty up: the line is gone, which is how
// an operator ends it, so tmattach says so on standard output and exits 0
// (its systemd unit then ends inactive, not failed).
TEST(Attach, EndsCleanlyWhenThePortHangsUp) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    vorn_test::Spawned p;
    ASSERT_TRUE(StartWithSetdAccepted(p, {pty.Path()}));
    ASSERT_TRUE(p.WaitForLine("attached to the touch-memory driver"));
    pty.HangUp();
    const RunResult r = p.Wait();
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("tmattach: " + pty.Path() +
                         " hung up (adapter unplugged); the key line is gone\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.err, "");
}

// SIGTERM (systemctl stop, or the unit's end) detaches: the port gets the
// normal discipline and its own settings back, and tmattach exits 0.
TEST(Attach, DetachesOnSigterm) {
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    struct termios before, after;
    ASSERT_TRUE(pty.Settings(&before));
    vorn_test::Spawned p;
    ASSERT_TRUE(StartWithSetdAccepted(p, {pty.Path()}));
    ASSERT_TRUE(p.WaitForLine("attached to the touch-memory driver"));
    ASSERT_TRUE(p.Signal(SIGTERM));
    const RunResult r = p.Wait();
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find("hung up"), std::string::npos) << r.out;
    ASSERT_TRUE(pty.Settings(&after));
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
}

} // namespace
