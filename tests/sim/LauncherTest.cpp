// SPDX-License-Identifier: GPL-2.0-or-later
// The tmsim launcher: options, errors, the command's status and environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "Probe.h"
#include "TestSupport.h"

using namespace vorn_test;

namespace {

// Sets an environment variable for one scope, then restores it.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value) : m_name(name) {
        const char *old = std::getenv(name);
        m_had = old != nullptr;
        if (old)
            m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_had)
            setenv(m_name, m_old.c_str(), 1);
        else
            unsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    const char *m_name;
    bool m_had = false;
    std::string m_old;
};

std::vector<std::string> Tmsim(std::vector<std::string> args) {
    args.insert(args.begin(), BinPath("tmsim"));
    return args;
}

} // namespace

TEST(TmSimLauncher, HelpListsEveryOption) {
    RunResult r = RunCommand(Tmsim({"--help"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("Usage: tmsim [options] -- command [args...]\n", 0), 0u);
    for (const char *opt :
         {"--state DIR", "--rom HEX", "--family HH", "--serial HEX12", "--memory-size N",
          "--absent", "--no-device[=ERRNO]", "--fault NAME[=ARG]", "--log FILE", "--trace[=FILE]",
          "--clock=allow|deny", "--rtc=absent|present|refuse", "--line", "--help",
          "tmsim ctl [--state DIR] attach", "swap", "vanish | appear", "clear-faults"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
    for (const char *fault : {"line-flip=SLOT", "line-remove=SLOT", "line-short"})
        EXPECT_NE(r.out.find(fault), std::string::npos) << fault;
    EXPECT_EQ(RunCommand(Tmsim({"-h"})).out, r.out);
}

TEST(TmSimLauncher, BadOptionsSayWhatIsWrongAndRunNothing) {
    struct Case {
        std::vector<std::string> opts;
        std::string message;
    } cases[] = {
        {{"--bogus"}, "tmsim: unrecognized option '--bogus'\nTry 'tmsim --help'.\n"},
        {{"-x"}, "tmsim: invalid option -- 'x'\n"},
        {{"--f", "01"}, "tmsim: option '--f' is ambiguous; possibilities:"},
        {{"--rom", "0102"}, "tmsim: bad value for --rom: '0102' (expected 16 hex digits"},
        {{"--rom=01020304050607zz"}, "tmsim: bad value for --rom: '01020304050607zz'"},
        {{"--family", "123"}, "tmsim: bad value for --family: '123' (expected 2 hex digits)\n"},
        {{"--serial", "1234567890123"}, "tmsim: bad value for --serial: '1234567890123'"},
        {{"--serial", "12"}, "tmsim: bad value for --serial: '12' (expected 12 hex digits)\n"},
        {{"--serial=0xdeadbeef"}, "tmsim: bad value for --serial: '0xdeadbeef'"},
        {{"--memory-size", "-1"}, "tmsim: bad value for --memory-size: '-1'"},
        {{"--memory-size", "99999999"}, "tmsim: bad value for --memory-size: '99999999'"},
        {{"--no-device=EFOO"}, "tmsim: bad value for --no-device: 'EFOO'"},
        {{"--fault", "melt"}, "tmsim: --fault: unknown fault 'melt'"},
        {{"--fault", "short-read"}, "tmsim: --fault: fault 'short-read' needs a count"},
        {{"--fault", "read=3"}, "tmsim: --fault: fault 'read' takes no value\n"},
        {{"--clock=sometimes"},
         "tmsim: bad value for --clock: 'sometimes' (expected allow or deny)"},
        {{"--rtc", "maybe"}, "tmsim: bad value for --rtc: 'maybe'"},
        {{"--rom", "0102030405060708", "--family", "01"},
         "tmsim: --rom cannot be combined with --family or --serial\n"},
        {{"--absent=1"}, "tmsim: option '--absent' doesn't allow an argument\n"},
        {{"--fresh-memory=yes"}, "tmsim: option '--fresh-memory' doesn't allow an argument\n"},
        {{"--trace="}, "tmsim: option '--trace=' needs a value after '='\n"},
        {{"--line", "--memory-size", "65537"},
         "tmsim: --line: key memory of 65537 bytes is more than the line addresses (at most "
         "65536)\n"},
        {{"--fault", "line-short"},
         "tmsim: --fault: line-flip, line-remove and line-short need --line\n"},
        {{"--fault", "line-flip=7", "--fault", "read"},
         "tmsim: --fault: line-flip, line-remove and line-short need --line\n"},
        {{"--line", "--fault", "line-remove"}, "tmsim: --fault: fault 'line-remove' needs a count"},
        {{"--line", "--fault", "line-short=1"},
         "tmsim: --fault: fault 'line-short' takes no value\n"},
    };
    for (const Case &c : cases) {
        SimDir dir;
        std::vector<std::string> args = {"--state", dir.Dir()};
        args.insert(args.end(), c.opts.begin(), c.opts.end());
        args.insert(args.end(), {"--", BinPath("devprobe"), "file:" + dir.Path("ran") + ":x"});
        RunResult r = RunCommand(Tmsim(args));
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.substr(0, c.message.size()), c.message);
        EXPECT_FALSE(dir.Exists("ran")) << "the command must not run: " << c.message;
    }
    // Options missing their value, or no command at all.
    for (const auto &c : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--rom"}, "tmsim: option '--rom' requires an argument\n"},
             {{"--state"}, "tmsim: option '--state' requires an argument\n"},
             {{"--absent"}, "tmsim: no command given (tmsim [options] -- command [args...])\n"},
             {{"--absent", "--"}, "tmsim: no command given"},
         }) {
        RunResult r = RunCommand(Tmsim(c.first));
        EXPECT_EQ(r.status, 2) << c.second;
        EXPECT_EQ(r.err.substr(0, c.second.size()), c.second);
    }
}

TEST(TmSimLauncher, CommandStatusAndSignalComeThrough) {
    SimDir dir;
    RunResult r = RunSim(dir, Key(), {"/bin/sh", "-c", "echo out; echo err >&2; exit 7"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    r = RunSim(dir, Key(), {"/bin/sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(r.status, -1);
    r = RunSim(dir, Key(), {"/bin/sh", "-c", "read line; echo got $line"}, "hello\n");
    EXPECT_EQ(r.out, "got hello\n");
}

TEST(TmSimLauncher, MissingCommandIs127) {
    SimDir dir;
    RunResult r = RunSim(dir, Key(), {"/nonexistent/program"});
    EXPECT_EQ(r.status, 127);
    EXPECT_EQ(r.err, "tmsim: cannot run '/nonexistent/program' [No such file or directory]\n");
}

TEST(TmSimLauncher, TheCommandWithoutDashDashAlsoRuns) {
    SimDir dir;
    RunResult r =
        RunCommand(Tmsim({"--state", dir.Dir(), BinPath("devprobe"), "open", "presence"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "open ok\npresence 0\n");
}

TEST(TmSimLauncher, OptionsAbbreviateAndStopAtTheCommand) {
    SimDir dir;
    // Unambiguous prefixes, both value forms, the first word that is not an
    // option starts the command: options after it are the command's own.
    RunResult r = RunCommand(Tmsim({"--sta", dir.Dir(), "--fam=02", "--ser", "0x00000001b81c",
                                    "--mem", "64", "--abs", BinPath("devprobe"), "open", "rom"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "open ok\nrom -1 ENXIO\nrom-buffer aaaaaaaaaaaaaaaa\n");
    std::string config = dir.Read("config");
    EXPECT_NE(config.find("\nrom=021cb801000000a2\n"), std::string::npos) << config;
    EXPECT_NE(config.find("\nmemory-size=64\n"), std::string::npos) << config;
    r = RunCommand(Tmsim({"--state", dir.Dir(), "--", "/bin/sh", "-c", "echo \"$*\"", "sh",
                          "--line", "-h", "--", "x"}));
    EXPECT_EQ(r.out, "--line -h -- x\n");
    EXPECT_EQ(dir.Read("config").find("backend=line"), std::string::npos);
}

TEST(TmSimLauncher, VersionIsTheProjectVersion) {
    SimDir dir;
    for (const char *opt : {"--version", "--vers"}) {
        RunResult r =
            RunCommand(Tmsim({opt, "--", BinPath("devprobe"), "file:" + dir.Path("ran") + ":x"}));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string("tmsim ") + VORN_PROJECT_VERSION + "\n");
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(dir.Exists("ran"));
    }
}

TEST(TmSimLauncher, ChildEnvironment) {
    SimDir dir;
    ScopedEnv asan("ASAN_OPTIONS", "detect_leaks=0");
    ScopedEnv preload("LD_PRELOAD", nullptr);
    RunResult r =
        RunSim(dir, Key(), {"/bin/sh", "-c", "echo \"$TMSIM_STATE|$LD_PRELOAD|$ASAN_OPTIONS\""});
    EXPECT_EQ(r.out, dir.Dir() + "|" + BinPath("libtmsim.so") +
                         "|detect_leaks=0:verify_asan_link_order=0\n");
    ScopedEnv noAsan("ASAN_OPTIONS", nullptr);
    r = RunSim(dir, Key(), {"/bin/sh", "-c", "echo \"$ASAN_OPTIONS\""});
    EXPECT_EQ(r.out, "verify_asan_link_order=0\n");
}

TEST(TmSimLauncher, StateIsWrittenFromTheOptionsOfEachLaunch) {
    SimDir dir;
    std::string state = dir.Path("a/b/state");
    RunResult r = RunCommand(Tmsim({"--state", state, "--absent", "--memory-size", "32", "--",
                                    BinPath("devprobe"), "open", "presence"}));
    EXPECT_EQ(r.out, "open ok\npresence -1 ENXIO\n");
    EXPECT_EQ(dir.Read("a/b/state/memory.bin").size(), 32u);
    std::string config = dir.Read("a/b/state/config");
    EXPECT_NE(config.find("key=absent\n"), std::string::npos) << config;
    EXPECT_NE(config.find("log=" + state + "/tmdrv.log\n"), std::string::npos) << config;
    // Nothing carries over from the launch before.
    r = RunCommand(Tmsim({"--state", state, "--", BinPath("devprobe"), "open", "presence"}));
    EXPECT_EQ(r.out, "open ok\npresence 0\n");
}

TEST(TmSimLauncher, DefaultStateDirectoryIsUnderTmpdir) {
    SimDir dir;
    ScopedEnv tmp("TMPDIR", dir.Dir().c_str());
    RunResult r = RunCommand(Tmsim({"--", BinPath("devprobe"), "open", "rom"}));
    EXPECT_EQ(r.out, "open ok\nrom 8 04efbeadde0000cd\n");
    std::string state = "tmsim-" + std::to_string(getuid());
    EXPECT_TRUE(dir.Exists(state + "/config"));
    EXPECT_TRUE(dir.Exists(state + "/memory.bin"));
}

TEST(TmSimLauncher, StateDirectoryThatIsAFile) {
    SimDir dir;
    ASSERT_TRUE(dir.Write("plain", "x"));
    RunResult r = RunCommand(Tmsim({"--state", dir.Path("plain"), "--", "/bin/true"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tmsim: state directory " + dir.Path("plain") + " is not a directory\n");
}
