// SPDX-License-Identifier: GPL-2.0-or-later
// Standard input, output or error closed when the tool starts, and the
// descriptors of a long session.
//
// What must hold: no crash, status 0, no sanitizer report; the device and
// the log never land on descriptors 0 to 2, so that no text meant for the
// screen goes into the key's memory or the log file, and no command line
// is read from the device; a long session holds as many descriptors at its
// end as after its first command.

#include "FaultUtil.h"
#include "TouchMemProto.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <thread>

using namespace vorn_test;

namespace {

// tmsim ... -- tmtool args, started by a shell that first closes `closing`
// ("0<&-", "1>&-", ...).
RunResult RunClosed(const SimDir &dir, const std::string &closing,
                    const std::vector<std::string> &args, const std::string &input = "") {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec " + closing + "; exec \"$0\" \"$@\""};
    for (const std::string &w : SimCommand(dir, Key(), args))
        argv.push_back(w);
    return RunCommand(argv, input);
}

// Every line of the log is a timestamped log line: nothing else got in.
::testing::AssertionResult OnlyLogLines(const std::string &log) {
    static const std::regex kLine(
        R"([0-9]{2}\.[0-9]{2}\.[0-9]{4}\([0-9]{2}:[0-9]{2}:[0-9]{2}\) [0-9]{3} .*)");
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (!std::regex_match(line, kLine))
            return ::testing::AssertionFailure() << "not a log line: '" << line << "'";
    }
    return ::testing::AssertionSuccess();
}

// The descriptor the device was opened on (from the stand-in's trace).
long long DeviceDescriptor(const SimDir &dir) {
    for (const TraceRecord &rec : TraceLines(dir)) {
        if (rec.call == "open")
            return rec.result;
    }
    return -1;
}

struct ClosedCase {
    const char *name;
    std::string closing;
    bool outVisible; // standard output still reaches the test
    bool errVisible;
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const ClosedCase &c, std::ostream *os) {
    *os << c.name;
}

const std::vector<ClosedCase> kClosedCases = {
    {"Stdin", "0<&-", true, true},
    {"Stdout", "1>&-", false, true},
    {"Stderr", "2>&-", true, false},
    {"StdoutAndStderr", "1>&- 2>&-", false, false},
    {"AllThree", "0<&- 1>&- 2>&-", false, false},
};

class ClosedAtStart : public ::testing::TestWithParam<ClosedCase> {};

TEST_P(ClosedAtStart, OneShotListingGoesNowhereButTheScreen) {
    const ClosedCase &c = GetParam();
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    const RunResult r = RunClosed(dir, c.closing, {"tmtool", "memrd", "0", "16"});
    ExpectCleanExit(r);
    if (c.outVisible) {
        EXPECT_EQ(r.out,
                  kStartup + "reading 16 bytes from offset 0\nread from 0 16 bytes\n" + kClosed);
    }
    if (c.errVisible) {
        EXPECT_EQ(r.err, kListingHead);
    }
    EXPECT_EQ(dir.Memory(), Image()) << "text for the screen went into the key";
    EXPECT_TRUE(OnlyLogLines(dir.Log()));
    EXPECT_GT(DeviceDescriptor(dir), 2);
}

TEST_P(ClosedAtStart, OneShotGetIdAnswers) {
    const ClosedCase &c = GetParam();
    SimDir dir;
    const RunResult r = RunClosed(dir, c.closing, {"tmtool", "getid"});
    ExpectCleanExit(r);
    if (c.outVisible) {
        EXPECT_EQ(r.out,
                  kStartup + "getting rom id...ok\nrom id cd 00 00 de ad be ef 04\n" + kClosed);
    }
    EXPECT_EQ(CountRequests(TraceLines(dir), TM_REQ_READ_ROM), 1);
    EXPECT_GT(DeviceDescriptor(dir), 2);
}

TEST_P(ClosedAtStart, SessionEndsWithStatusZero) {
    const ClosedCase &c = GetParam();
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    const RunResult r = RunClosed(dir, c.closing, {"tmtool"}, "memrd 0 16\nquit\n");
    ExpectCleanExit(r);
    if (c.outVisible) {
        // With its input closed the tool sees the end of input at once.
        const bool inputClosed = c.closing.find("0<&-") != std::string::npos;
        EXPECT_EQ(r.out, inputClosed ? kStartup + ">" + kClosed
                                     : Transcript({"reading 16 bytes from offset 0\n"
                                                   "read from 0 16 bytes\n"}));
    }
    EXPECT_EQ(dir.Memory(), Image());
    EXPECT_TRUE(OnlyLogLines(dir.Log()));
    EXPECT_GT(DeviceDescriptor(dir), 2);
}

INSTANTIATE_TEST_SUITE_P(Stdio, ClosedAtStart, ::testing::ValuesIn(kClosedCases),
                         [](const ::testing::TestParamInfo<ClosedCase> &p) {
                             return std::string(p.param.name);
                         });

// A program of its own that has no guard of tmtool's kind: the device opens
// on descriptor 0, which the client takes for "not open", so the client
// moves it above the standard ones (F_DUPFD) and closes 0. The moved
// descriptor is the device: getid's and memrd's requests are answered;
// Deinit closes it and no request reaches the device afterwards. The probe
// writes its report into a file, as standard output may be closed too.
const std::string kProbeReport = "device on a standard descriptor: no\n"
                                 "presence: answered\n"
                                 "rom: cd 00 00 de ad be ef 04\n"
                                 "memory: 74 6f 75 63 68 2d 6d 65 6d 6f 72 79 20 6b 65 79\n"
                                 "presence after Deinit: failed\n";

TEST(ClientWithStdinClosed, MovesTheDeviceOffDescriptor0AndUsesItThere) {
    for (const char *closing : {"0<&-", "0<&- 2>&-", "0<&- 1>&- 2>&-"}) {
        SimDir dir;
        const RunResult r = RunClosed(dir, closing, {"client_fd0_probe", dir.Path("report")});
        ExpectCleanExit(r);
        EXPECT_EQ(dir.Read("report"), kProbeReport) << closing;
        const std::vector<TraceRecord> trace = TraceLines(dir);
        // Opened on 0, which the stand-in saw closed once the copy was made.
        ASSERT_GE(trace.size(), 2u) << closing;
        EXPECT_EQ(trace[0].Summary(), "open path=/dev/touchm0 flags=0x101802 result=fd errno=0");
        EXPECT_EQ(trace[0].result, 0) << closing;
        EXPECT_EQ(trace[1].Summary(), "close result=0 errno=0") << closing;
        EXPECT_EQ(CountRequests(trace, TM_REQ_PRESENCE), 1)
            << closing << ": a request reached the device after Deinit";
        EXPECT_EQ(CountRequests(trace, TM_REQ_READ_ROM), 1) << closing;
        EXPECT_EQ(trace.back().Summary(), "close result=0 errno=0") << closing;
    }
    // With standard output open the client's own lines are there, and the
    // log holds nothing but log lines.
    SimDir dir;
    const RunResult r = RunClosed(dir, "0<&-", {"client_fd0_probe"});
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, "libvorn inited\nread from 0 16 bytes\nlibvorn closed\n" + kProbeReport);
    EXPECT_TRUE(OnlyLogLines(dir.Log()));
}

// Standard output a pipe without reader, and SIGPIPE ignored by whoever
// started the tool (so that it does not end it): the watch ends at its
// first line instead of watching on for nobody.
TEST(StdoutGone, PollingEndsWhenItsOutputHasNoReader) {
    SimDir dir;
    const std::string fifo = dir.Path("out");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Opened for both ends, then for writing, then the reading end closed.
    std::vector<std::string> argv = {"/bin/sh", "-c",
                                     "trap '' PIPE; exec 3<>" + fifo + " >" + fifo +
                                         " 3<&-; exec \"$0\" \"$@\""};
    for (const std::string &w : SimCommand(dir, Key(), {"tmtool", "/pool"}))
        argv.push_back(w);
    const RunResult r = RunCommand(argv, "", 10s);
    EXPECT_FALSE(r.timedOut) << "the watch went on writing for nobody";
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(NoSanitizerReport(r.err));
}

size_t OpenDescriptors(pid_t pid) {
    size_t n = 0;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr)
        return 0;
    while (const dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

// Each round: every command, good and bad files included, ended by an
// unknown word that tells when the round is done.
std::string Round(const SimDir &dir, int i) {
    const std::string out = dir.Path("out.bin");
    const std::string in = dir.Path("in.bin");
    return "chksl\ngetid\nskiprom\nmemrd 0 32\nmemwrs abc 0\n"
           "memrdf " +
           out + " 0 16\nmemwrf " + in + " 0\nmemwrf " + in + " 0 2\nmemrdf " + dir.Dir() +
           "/ 0 16\nmemwrf " + dir.Path("missing") + " 0\nmemwrf " + dir.Dir() +
           " 0\nmemwrf /proc/self/mem 0\nmemrdf /dev/full 0 16\nhelp\nround" + std::to_string(i) +
           "\n";
}

// Sends a round and waits until the tool has done it and waits for more.
void DoRound(const SimDir &dir, Spawned &tool, int i) {
    tool.Write(Round(dir, i));
    ASSERT_TRUE(tool.WaitForLine("Unknown command round" + std::to_string(i), 30s));
    ASSERT_TRUE(WaitForStdinRead(tool.Pid(), 30s));
}

TEST(Descriptors, LongSessionHoldsNoMoreAtItsEndThanAfterOneRound) {
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Image()));
    ASSERT_TRUE(dir.Write("in.bin", "wxyz"));
    Spawned tool;
    ASSERT_TRUE(tool.Start(dir, Key().NoTrace(), {"tmtool"}));
    ASSERT_TRUE(WaitForStdinRead(tool.Pid()));
    DoRound(dir, tool, 0);
    const size_t afterOne = OpenDescriptors(tool.Pid());
    ASSERT_GT(afterOne, 0u);
    constexpr int kRounds = 50;
    for (int i = 1; i <= kRounds; ++i)
        DoRound(dir, tool, i);
    EXPECT_EQ(OpenDescriptors(tool.Pid()), afterOne);
    tool.Write("quit\n");
    const RunResult r = tool.Wait(60s);
    ExpectCleanExit(r);
    const std::string tail = ">exiting\n" + kClosed;
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
}

} // namespace
