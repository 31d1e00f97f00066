// tmattach refuses what it cannot attach with one message on standard error
// and exit status 1 (2 for a usage error), leaving the port as it was. The
// ports are pseudo-terminals made here; none of these cases needs the
// kernel module, and none may find it loaded.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "Process.h"

namespace {

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
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        const char *name = ptsname(m_master);
        if (name != nullptr)
            m_path = name;
        m_slave = open(m_path.c_str(), O_RDWR | O_NOCTTY);
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
    const std::string &Path() const { return m_path; }
    int Slave() const { return m_slave; }
    int Ldisc() const {
        int d = -1;
        return ioctl(m_slave, TIOCGETD, &d) == 0 ? d : -1;
    }

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
                  "(modprobe touchm, or insmod touchm.ko ldisc=29) [Invalid argument]\n");
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
        "Attaches the touch-memory driver to the serial port TTY (e.g. /dev/ttyUSB0)\n"
        "and holds it until interrupted; the key is then /dev/touchm0.\n"
        "  --ldisc N  line discipline number the driver registered (default 29)\n";
    ExpectRefused(RunCommand({"tmattach"}), 2, usage);
    ExpectRefused(RunCommand({"tmattach", "--speed", "/dev/ttyS0"}), 2, usage);
    ExpectRefused(RunCommand({"tmattach", "/dev/ttyS0", "/dev/ttyS1"}), 2, usage);
    for (const char *bad : {"0", "30", "x", "-1", ""})
        ExpectRefused(RunCommand({"tmattach", "--ldisc", bad, "/dev/ttyS0"}), 2,
                      std::string("tmattach: --ldisc wants a number from 1 to 29, not '") + bad +
                          "'\n");
    const RunResult help = RunCommand({"tmattach", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, usage);
}

} // namespace
