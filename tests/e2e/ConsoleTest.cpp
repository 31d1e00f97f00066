// SPDX-License-Identifier: GPL-2.0-or-later
// tmtool start-up, one-shot dispatch, identity commands and the interactive
// console, run for real under the driver stand-in.

#include "E2eUtil.h"
#include "TouchMemProto.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace vorn_test;

namespace {

const std::string kListing = "help            Print command list\r\n"
                             "?               Print command list\r\n"
                             "quit            Exit from program\r\n"
                             "exit            Exit from program\r\n"
                             "chksl           Is slave present\r\n"
                             "getid           Get rom id\r\n"
                             "skiprom         Sjip rom\r\n"
                             "memrd           Read memory\r\n"
                             "memwrs          Write string to mem\r\n"
                             "memrdf          Read memory to file\r\n"
                             "memwrf          Write memory from file\r\n";

const std::string kUnknownPrefix = "Unknown command ";
const std::string kUnknownSuffix = "\r\n try help to see all commands\r\n";

// Valid CRC-8 in the last byte, so the line-level backend accepts it too.
const char *kRom = "010203040506070f";
const char *kRomReversed = "rom id 0f 07 06 05 04 03 02 01\n";

struct OneShotCase {
    const char *name;
    std::vector<std::string> args;
    bool keyPresent;
    std::string expected; // between the start-up lines and the closing line
};

// Parameters show by name in test lists and failure messages.
void PrintTo(const OneShotCase &c, std::ostream *os) {
    *os << c.name;
}

class OneShot : public ::testing::TestWithParam<OneShotCase> {};

TEST_P(OneShot, PrintsExactlyAndExitsZero) {
    const OneShotCase &c = GetParam();
    SimDir dir;
    SimKey key = Key().Rom(kRom);
    if (!c.keyPresent)
        key.Absent();
    std::vector<std::string> argv{"tmtool"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = vorn_test::Run(dir, key, argv);
    EXPECT_EQ(r.out, kStartup + c.expected + kClosed);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Words, OneShot,
    ::testing::Values(
        OneShotCase{"ChkslWithKey", {"chksl"}, true, "checking slave presence...slave present\n"},
        OneShotCase{"ChkslWithoutKey", {"chksl"}, false, "checking slave presence...no slave\n"},
        OneShotCase{"GetIdReversesRom",
                    {"getid"},
                    true,
                    std::string("getting rom id...ok\n") + kRomReversed},
        OneShotCase{"SlashGetIdIsGetId",
                    {"/getid"},
                    true,
                    std::string("getting rom id...ok\n") + kRomReversed},
        OneShotCase{"GetIdIgnoresExtraWords",
                    {"getid", "a", "b"},
                    true,
                    std::string("getting rom id...ok\n") + kRomReversed},
        OneShotCase{"GetIdWithoutKey", {"getid"}, false, "getting rom id...no slave\n"},
        OneShotCase{"UpperCaseIsUnknown", {"CHKSL"}, true, "unknown cmd\n"},
        OneShotCase{"PrefixIsUnknown", {"chk"}, true, "unknown cmd\n"},
        OneShotCase{"LongerWordIsUnknown", {"chksl2"}, true, "unknown cmd\n"},
        OneShotCase{"SkipRomIsInteractiveOnly", {"skiprom"}, true, "unknown cmd\n"},
        OneShotCase{"QuitIsInteractiveOnly", {"quit"}, true, "unknown cmd\n"},
        OneShotCase{"ExitIsInteractiveOnly", {"exit"}, true, "unknown cmd\n"},
        OneShotCase{"HelpIsInteractiveOnly", {"help"}, true, "unknown cmd\n"},
        OneShotCase{"QuestionMarkIsInteractiveOnly", {"?"}, true, "unknown cmd\n"},
        OneShotCase{"EmptyWordIsUnknown", {""}, true, "unknown cmd\n"}),
    [](const ::testing::TestParamInfo<OneShotCase> &p) { return std::string(p.param.name); });

TEST(GetId, MakesThreeAttemptsWithoutRomRequestsWhenNoKey) {
    SimDir dir;
    const RunResult r = vorn_test::Run(dir, Key().Absent(), {"tmtool", "getid"});
    ASSERT_EQ(r.status, 0);
    const auto trace = TraceLines(dir);
    EXPECT_EQ(CountRequests(trace, TM_REQ_PRESENCE), 3);
    EXPECT_EQ(CountRequests(trace, TM_REQ_READ_ROM), 0);
}

TEST(GetId, RetriesAFailingRomRequestThreeTimesThenSaysNoSlave) {
    SimDir dir;
    const RunResult r = vorn_test::Run(dir, Key().Fault("rom"), {"tmtool", "getid"});
    EXPECT_EQ(r.out, kStartup + "getting rom id...no slave\n" + kClosed);
    const auto trace = TraceLines(dir);
    EXPECT_EQ(CountRequests(trace, TM_REQ_PRESENCE), 3);
    EXPECT_EQ(CountRequests(trace, TM_REQ_READ_ROM), 3);
}

TEST(GetId, PausesFiftyMillisecondsAfterEachFailedAttempt) {
    SimDir dir;
    ASSERT_EQ(vorn_test::Run(dir, Key().Absent(), {"tmtool", "getid"}).status, 0);
    const auto trace = TraceLines(dir);
    std::vector<unsigned long long> times;
    for (const TraceRecord &rec : trace)
        if (rec.call == "ioctl" && rec.req == TM_REQ_PRESENCE)
            times.push_back(rec.t);
    ASSERT_EQ(times.size(), 3u);
    EXPECT_GE(times[1] - times[0], 50000u);
    EXPECT_GE(times[2] - times[1], 50000u);
}

TEST(Startup, MissingDeviceSaysCanNotInitAndExitsOne) {
    SimDir dir;
    const RunResult r = vorn_test::Run(dir, Key().NoDevice(), {"tmtool", "chksl"});
    EXPECT_EQ(r.out, "using dev /dev/touchm0\n"
                     "can not open [No such file or directory]\n"
                     "can not init client\n" +
                         kClosed);
    EXPECT_EQ(r.status, 1);
    // The client log was started all the same.
    EXPECT_NE(dir.Log().find("libvorn closed"), std::string::npos);
}

TEST(Startup, DeviceOpenedWithTheClientFlags) {
    SimDir dir;
    ASSERT_EQ(vorn_test::Run(dir, Key(), {"tmtool", "chksl"}).status, 0);
    const auto trace = TraceLines(dir);
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front().call, "open");
    EXPECT_EQ(trace.front().flags, 0x101802u);
}

TEST(Startup, ClientLogGetsTimestampedLines) {
    SimDir dir;
    ASSERT_EQ(vorn_test::Run(dir, Key(), {"tmtool", "chksl"}).status, 0);
    const std::string log = dir.Log();
    EXPECT_NE(log.find(") "), std::string::npos);
    EXPECT_NE(log.find(" libvorn inited\n"), std::string::npos);
    EXPECT_NE(log.find(" libvorn closed\n"), std::string::npos);
}

// The interactive console: a scripted standard input, the whole transcript.
struct SessionCase {
    const char *name;
    std::string input;
    std::string transcript; // after the start-up lines
};

void PrintTo(const SessionCase &c, std::ostream *os) {
    *os << c.name;
}

class Session : public ::testing::TestWithParam<SessionCase> {};

TEST_P(Session, TranscriptMatches) {
    const SessionCase &c = GetParam();
    SimDir dir;
    const RunResult r = vorn_test::Run(dir, Key().Rom(kRom), {"tmtool"}, c.input);
    EXPECT_EQ(r.out, kStartup + c.transcript);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.timedOut);
}

const std::string kQuit = ">exiting\n" + kClosed;

std::string Spaces(size_t n) {
    return std::string(n, ' ');
}

INSTANTIATE_TEST_SUITE_P(
    Console, Session,
    ::testing::Values(
        SessionCase{"HelpListsBuiltInsThenTable", "help\nquit\n", ">" + kListing + kQuit},
        SessionCase{"QuestionMarkLists", "?\nexit\n", ">" + kListing + kQuit},
        SessionCase{"HelpWithArgumentsLists", "help me please\nquit\n", ">" + kListing + kQuit},
        SessionCase{"HelpPaddedWithSpacesAndTabs", "  \thelp \t  \nquit\n", ">" + kListing + kQuit},
        SessionCase{"HelpWithCarriageReturn", "help\r\nquit\n", ">" + kListing + kQuit},
        SessionCase{"UpperCaseHelpIsUnknown", "HELP\nquit\n",
                    ">" + kUnknownPrefix + "HELP" + kUnknownSuffix + kQuit},
        SessionCase{"SlashWordsAreOneShotOnly", "/getid\nquit\n",
                    ">" + kUnknownPrefix + "/getid" + kUnknownSuffix + kQuit},
        SessionCase{"BlankLineGivesPromptAgain", "\n\nquit\n", ">>>exiting\n" + kClosed},
        SessionCase{"WhitespaceOnlyLineIsAnEmptyWord", " \t \nquit\n",
                    ">" + kUnknownPrefix + kUnknownSuffix + kQuit},
        SessionCase{"CarriageReturnOnlyLineIsAnEmptyWord", "\r\nquit\n",
                    ">" + kUnknownPrefix + kUnknownSuffix + kQuit},
        SessionCase{"CarriageReturnInsideWordStays", "ch\rksl\nquit\n",
                    ">" + kUnknownPrefix + "ch\rksl" + kUnknownSuffix + kQuit},
        SessionCase{"ChkslAndGetIdAtThePrompt", "chksl\ngetid\nquit\n",
                    ">checking slave presence...slave present\n>getting rom id...ok\n" +
                        std::string(kRomReversed) + kQuit},
        SessionCase{"SkipRom", "skiprom\nquit\n", ">skiping rom...skip rom ok\n" + kQuit},
        SessionCase{"TabsAndRepeatedSpacesSeparateWords", "getid\t  x   y\nquit\n",
                    ">getting rom id...ok\n" + std::string(kRomReversed) + kQuit},
        SessionCase{"LineOf1021CharactersIsHandledWhole", "chksl" + Spaces(1016) + "\nquit\n",
                    ">checking slave presence...slave present\n" + kQuit},
        SessionCase{"LineOf1022CharactersIsDropped", "chksl" + Spaces(1017) + "\nquit\n",
                    ">>" + kQuit},
        SessionCase{"LineOf1500CharactersKeepsItsLast478",
                    std::string(1022, 'x') + "chksl" + Spaces(473) + "\nquit\n",
                    ">>checking slave presence...slave present\n" + kQuit},
        SessionCase{"EndOfInputEndsWithStatusZero", "getid\n",
                    ">getting rom id...ok\n" + std::string(kRomReversed) + ">" + kClosed},
        SessionCase{"EmptyInputEndsWithStatusZero", "", ">" + kClosed}),
    [](const ::testing::TestParamInfo<SessionCase> &p) { return std::string(p.param.name); });

TEST(Session, SkipRomFailureIsReported) {
    SimDir dir;
    const RunResult r = vorn_test::Run(dir, Key().Fault("skip"), {"tmtool"}, "skiprom\nquit\n");
    EXPECT_EQ(r.out, kStartup + ">skiping rom...skip rom failed\n" + kQuit);
}

TEST(Session, QuitClosesTheDeviceOnce) {
    SimDir dir;
    ASSERT_EQ(vorn_test::Run(dir, Key(), {"tmtool"}, "quit\n").status, 0);
    int closes = 0;
    for (const TraceRecord &rec : TraceLines(dir))
        closes += rec.call == "close";
    EXPECT_EQ(closes, 1);
}

class SignalAtPrompt : public ::testing::TestWithParam<int> {};

TEST_P(SignalAtPrompt, SaysExitingAndEndsWithStatusZero) {
    SimDir dir;
    Spawned tool;
    ASSERT_TRUE(tool.Start(dir, Key(), {"tmtool"}));
    ASSERT_TRUE(WaitForStdinRead(tool.Pid()));
    ASSERT_TRUE(tool.Signal(GetParam()));
    const RunResult r = tool.Wait();
    EXPECT_EQ(r.out, kStartup + ">exiting\n" + kClosed);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.signal, 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalAtPrompt, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int> &p) {
                             return std::string(p.param == SIGINT ? "Sigint" : "Sigterm");
                         });

TEST(SignalAtPrompt, BurstOfSignalsExitsOnce) {
    SimDir dir;
    Spawned tool;
    ASSERT_TRUE(tool.Start(dir, Key(), {"tmtool"}));
    ASSERT_TRUE(WaitForStdinRead(tool.Pid()));
    for (int i = 0; i < 100; ++i)
        tool.Signal(i % 2 ? SIGINT : SIGTERM);
    const RunResult r = tool.Wait();
    EXPECT_EQ(r.out, kStartup + ">exiting\n" + kClosed);
    EXPECT_EQ(r.status, 0);
}

} // namespace

namespace {

// Libraries planted in the current directory are never loaded: the run path
// names only the program's own directory and the library directory beside
// it (an empty entry would make the loader look in the current directory
// for every library, the C library included).
TEST(Startup, IgnoresLibrariesPlantedInTheCurrentDirectory) {
    SimDir dir;
    for (const char *name : {"libvorn.so.1", "libc.so.6", "libstdc++.so.6"})
        ASSERT_TRUE(dir.Write(name, "not a library\n"));
    std::vector<std::string> cmd{"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", dir.Dir()};
    const auto sim = SimCommand(dir, Key(), {"tmtool", "chksl"});
    cmd.insert(cmd.end(), sim.begin(), sim.end());
    const RunResult r = RunCommand(cmd);
    EXPECT_EQ(r.out, kStartup + "checking slave presence...slave present\n" + kClosed);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

} // namespace
