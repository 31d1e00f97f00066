// SPDX-License-Identifier: GPL-2.0-or-later
// The client log's path (/tmp/tmdrv.log, redirected by the stand-in) taken
// by something the client cannot or must not write: a directory, a
// read-only file, a symbolic link, a path under a missing directory.
//
// What must hold: the tool works exactly as with a good log (same standard
// output, same listing, status 0), says nothing about the log, and writes
// nothing through a symbolic link, not even creating its missing target.
// A FIFO at the path is no log either: the tool neither blocks on it nor
// writes into it.

#include "FaultUtil.h"

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vorn_test;

namespace {

const std::string kKept = "kept line\n";

struct LogCase {
    const char *name;
    std::string logName;                       // in the state directory, or absolute
    std::function<bool(const SimDir &)> setUp; // makes what sits at the path
    std::function<void(const SimDir &)> check; // what must hold of it afterwards
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const LogCase &c, std::ostream *os) {
    *os << c.name;
}

bool MakeDir(const SimDir &dir) {
    return mkdir(dir.Path("logdir").c_str(), 0700) == 0;
}

bool MakeReadOnly(const SimDir &dir) {
    return dir.Write("ro.log", kKept) && chmod(dir.Path("ro.log").c_str(), 0444) == 0;
}

bool MakeLinkToFile(const SimDir &dir) {
    return dir.Write("target.log", kKept) &&
           symlink(dir.Path("target.log").c_str(), dir.Path("link.log").c_str()) == 0;
}

bool MakeDanglingLink(const SimDir &dir) {
    return symlink(dir.Path("missing.log").c_str(), dir.Path("link.log").c_str()) == 0;
}

bool MakeLinkToDir(const SimDir &dir) {
    return MakeDir(dir) && symlink(dir.Path("logdir").c_str(), dir.Path("link.log").c_str()) == 0;
}

void DirStaysEmpty(const SimDir &dir) {
    EXPECT_FALSE(IsRegularFile(dir.Path("logdir/tmdrv.log")));
    EXPECT_EQ(rmdir(dir.Path("logdir").c_str()), 0) << "the directory is no longer empty";
}

void ReadOnlyKept(const SimDir &dir) {
    const std::string content = ReadFile(dir.Path("ro.log"));
    if (geteuid() == 0) // root writes to it whatever its permission bits
        EXPECT_EQ(content.substr(0, kKept.size()), kKept);
    else {
        EXPECT_EQ(content, kKept);
    }
}

void TargetKept(const SimDir &dir) {
    EXPECT_EQ(ReadFile(dir.Path("target.log")), kKept);
}

void TargetNotCreated(const SimDir &dir) {
    EXPECT_FALSE(IsRegularFile(dir.Path("missing.log")));
}

const std::string kProcVersion = ReadFile("/proc/version");

void ProcVersionKept(const SimDir &) {
    EXPECT_EQ(ReadFile("/proc/version"), kProcVersion);
}

void NothingToCheck(const SimDir &) {}

const std::vector<LogCase> kCases = {
    {"Directory", "logdir", MakeDir, DirStaysEmpty},
    {"ReadOnlyFile", "ro.log", MakeReadOnly, ReadOnlyKept},
    {"ReadOnlyEvenForRoot", "/proc/version", nullptr, ProcVersionKept},
    {"SymlinkToAFile", "link.log", MakeLinkToFile, TargetKept},
    {"DanglingSymlink", "link.log", MakeDanglingLink, TargetNotCreated},
    {"SymlinkToADirectory", "link.log", MakeLinkToDir, DirStaysEmpty},
    {"UnderAMissingDirectory", "nodir/tmdrv.log", nullptr, NothingToCheck},
};

std::string LogPath(const SimDir &dir, const LogCase &c) {
    return c.logName[0] == '/' ? c.logName : dir.Path(c.logName);
}

class LogAt : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogAt, OneShotWorksAndSaysNothingAboutTheLog) {
    const LogCase &c = GetParam();
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    if (c.setUp) {
        ASSERT_TRUE(c.setUp(dir));
    }
    const RunResult r = RunSim(dir, Key().Log(LogPath(dir, c)), {"tmtool", "memrd", "0", "16"});
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, kStartup + "reading 16 bytes from offset 0\nread from 0 16 bytes\n" + kClosed);
    EXPECT_EQ(r.err, kListingHead);
    c.check(dir);
}

TEST_P(LogAt, SessionWorksAndSaysNothingAboutTheLog) {
    const LogCase &c = GetParam();
    SimDir dir;
    if (c.setUp) {
        ASSERT_TRUE(c.setUp(dir));
    }
    const RunResult r =
        RunSim(dir, Key().Log(LogPath(dir, c)), {"tmtool"}, "chksl\nmemwrs abc 0\nquit\n");
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, Transcript({"checking slave presence...slave present\n",
                                 "writing str 'abc' to offset 0...write  to 0 3 bytes\nok\n"}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir.Memory().substr(0, 3), "abc");
    c.check(dir);
}

INSTANTIATE_TEST_SUITE_P(Log, LogAt, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<LogCase> &p) {
                             return std::string(p.param.name);
                         });

// A FIFO at the log path, held open and filled by the test so that a writer
// would block on it for good.
class FullFifo {
  public:
    explicit FullFifo(const std::string &path) {
        if (mkfifo(path.c_str(), 0600) != 0)
            return;
        m_fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        const std::string chunk(4096, 'f');
        for (;;) {
            const ssize_t n = m_fd >= 0 ? write(m_fd, chunk.data(), chunk.size()) : -1;
            if (n <= 0)
                break;
            m_filled += static_cast<size_t>(n);
        }
    }
    ~FullFifo() {
        if (m_fd >= 0)
            close(m_fd);
    }
    FullFifo(const FullFifo &) = delete;
    FullFifo &operator=(const FullFifo &) = delete;
    bool Ready() const { return m_fd >= 0 && m_filled > 0; }
    // Everything in the FIFO is the test's own filler.
    ::testing::AssertionResult HoldsOnlyTheFiller() const {
        std::string all;
        char buf[4096];
        for (;;) {
            const ssize_t n = read(m_fd, buf, sizeof buf);
            if (n <= 0)
                break;
            all.append(buf, static_cast<size_t>(n));
        }
        if (all == std::string(m_filled, 'f'))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << all.size() << " bytes in the FIFO, " << m_filled << " put in";
    }

  private:
    int m_fd = -1;
    size_t m_filled = 0;
};

TEST(LogAtAFifo, OneShotNeitherBlocksNorWritesIntoIt) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    FullFifo fifo(dir.Path("fifo.log"));
    ASSERT_TRUE(fifo.Ready());
    const RunResult r =
        RunSim(dir, Key().Log(dir.Path("fifo.log")), {"tmtool", "memrd", "0", "16"});
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, kStartup + "reading 16 bytes from offset 0\nread from 0 16 bytes\n" + kClosed);
    EXPECT_EQ(r.err, kListingHead);
    EXPECT_TRUE(fifo.HoldsOnlyTheFiller());
}

TEST(LogAtAFifo, SessionNeitherBlocksNorWritesIntoIt) {
    SimDir dir;
    FullFifo fifo(dir.Path("fifo.log"));
    ASSERT_TRUE(fifo.Ready());
    const RunResult r =
        RunSim(dir, Key().Log(dir.Path("fifo.log")), {"tmtool"}, "chksl\nmemwrs abc 0\nquit\n");
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, Transcript({"checking slave presence...slave present\n",
                                 "writing str 'abc' to offset 0...write  to 0 3 bytes\nok\n"}));
    EXPECT_TRUE(fifo.HoldsOnlyTheFiller());
}

} // namespace
