// SPDX-License-Identifier: GPL-2.0-or-later
// The device failing at each request it serves (--fault NAME), delivering or
// storing fewer bytes than asked, vanishing after N requests
// (--fault vanish-after=N) for every N up to the end of each command, and a
// key without memory (the ID-only family) refusing every transfer.
//
// What must hold: the command stops at the request that failed with that
// request's message, status 0, no sanitizer report; nothing after the
// failed request happens (no file written, no "ok"); the key's memory is
// changed only by a write the device fully took, and a write it took only
// in part is an error, not "ok".

#include "FaultUtil.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vorn_test;

namespace {

// A memory key (family 0x04, 512 bytes) with a valid CRC-8 in the last byte,
// so the line-level backend accepts it too.
const char *kRom = "04020304050607c6";
const std::string kEio = "Input/output error";
const std::string kEnodev = "No such device";

enum class FileAfter { Untouched, Empty }; // memrdf's output after a failure

// One device request of a command: what is printed before it goes out, and
// what the command prints when it fails ("%E" is the system's text).
struct Step {
    std::string request; // presence, rom, skip, lseek, read, write
    std::string before;
    std::string onFailure;
    FileAfter file = FileAfter::Untouched;
};

struct Command {
    const char *name;
    std::string line; // "$D/" stands for the state directory
    bool promptOnly;
    std::string progress;
    std::vector<Step> steps;
    std::string done;       // printed when every request succeeded
    std::string doneErr;    // standard error then
    std::string doneMemory; // the key image then
    std::string doneFile;   // memrdf's output then
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const Command &c, std::ostream *os) {
    *os << c.name;
}

const std::string kOut = "$D/out.bin";
const std::string kIn = "$D/in.bin";
const std::string kInData = "wxyz";

const std::vector<Command> kCommands = {
    {"ChkSl",
     "chksl",
     false,
     "checking slave presence...",
     {{"presence", "", "no slave\n"}},
     "slave present\n",
     "",
     Image(),
     ""},
    // Three attempts: a request failing every time, or a device gone, is
    // "no slave" after the last one.
    {"GetId",
     "getid",
     false,
     "getting rom id...",
     {{"presence", "", "no slave\n"}, {"rom", "", "no slave\n"}},
     "ok\nrom id c6 07 06 05 04 03 02 04\n",
     "",
     Image(),
     ""},
    {"SkipRom",
     "skiprom",
     true,
     "skiping rom...",
     {{"skip", "", "skip rom failed\n"}},
     "skip rom ok\n",
     "",
     Image(),
     ""},
    {"MemRd",
     "memrd 0 16",
     false,
     "reading 16 bytes from offset 0\n",
     {{"presence", "", "no slave\n"},
      {"rom", "", "error read rom\n"},
      {"lseek", "read from 0 16 bytes\n",
       "TouchMemCltK[106] lseek failed [%E]\nerror read nv memory\n"},
      {"read", "", "TouchMemCltK[111] read failed [%E]\nerror read nv memory\n"}},
     "",
     kListingHead,
     Image(),
     ""},
    {"MemWrS",
     "memwrs abc 0",
     false,
     "writing str 'abc' to offset 0...",
     {{"presence", "", "no slave\n"},
      {"rom", "", "error read rom\n"},
      {"lseek", "write  to 0 3 bytes\n", "TouchMemCltK[125] lseek failed [%E]\nerror\n"},
      {"write", "", "TouchMemCltK[130] write failed [%E]\nerror\n"}},
     "ok\n",
     "",
     ImageWith("abc"),
     ""},
    {"MemRdF",
     "memrdf " + kOut + " 0 16",
     false,
     "reading  from tm offset 0 size 16 =>" + kOut + "....",
     {{"presence", "", "no slave\n"},
      {"rom", "", "error read rom\n"},
      {"lseek", "read from 0 16 bytes\n", "TouchMemCltK[106] lseek failed [%E]\nerror\n",
       FileAfter::Empty},
      {"read", "", "TouchMemCltK[111] read failed [%E]\nerror\n", FileAfter::Empty}},
     "ok\ntime diff T\n",
     "",
     Image(),
     kImageHead},
    // No presence check and no ROM request before its write.
    {"MemWrF",
     "memwrf " + kIn + " 0",
     false,
     "writing  to tm offset 0 size 4 <=" + kIn + "...",
     {{"lseek", "write  to 0 4 bytes\n", "TouchMemCltK[125] lseek failed [%E]\nerror\n"},
      {"write", "", "TouchMemCltK[130] write failed [%E]\nerror\n"}},
     "ok\ntime diff T\n",
     "",
     ImageWith(kInData),
     ""},
};

struct Outcome {
    std::string out; // the command's own output
    std::string err;
    std::string memory;
    bool fileExists = false;
    std::string file;
};

// What the command does when request `failing` (an index into its steps)
// fails with errText; failing == steps.size() means nothing fails.
Outcome Expect(const Command &cmd, size_t failing, const std::string &errText) {
    Outcome o;
    o.out = cmd.progress;
    o.memory = Image();
    for (size_t i = 0; i < cmd.steps.size(); ++i) {
        const Step &step = cmd.steps[i];
        o.out += step.before;
        if (i == failing) {
            o.out += ReplaceAll(step.onFailure, "%E", errText);
            o.fileExists = step.file == FileAfter::Empty;
            return o;
        }
    }
    o.out += cmd.done;
    o.err = cmd.doneErr;
    o.memory = cmd.doneMemory;
    o.fileExists = !cmd.doneFile.empty();
    o.file = cmd.doneFile;
    return o;
}

size_t StepOf(const Command &cmd, const std::string &request) {
    for (size_t i = 0; i < cmd.steps.size(); ++i) {
        if (cmd.steps[i].request == request)
            return i;
    }
    return cmd.steps.size(); // the command never makes that request
}

void Prepare(const SimDir &dir) {
    ASSERT_TRUE(dir.WriteMemory(Image()));
    ASSERT_TRUE(dir.Write("in.bin", kInData));
}

void Check(const SimDir &dir, const RunResult &r, const std::string &expectedOut,
           const Outcome &o) {
    ExpectCleanExit(r);
    EXPECT_EQ(MaskTimes(r.out), ReplaceAll(expectedOut, "$D/", dir.Dir() + "/"));
    EXPECT_EQ(r.err, o.err);
    EXPECT_EQ(dir.Memory(), o.memory);
    if (o.fileExists) {
        EXPECT_EQ(ReadFile(dir.Path("out.bin")), o.file);
    } else {
        EXPECT_FALSE(IsRegularFile(dir.Path("out.bin")));
    }
}

RunResult RunOne(const SimDir &dir, const SimKey &key, const Command &cmd, bool atPrompt) {
    const std::string line = ReplaceAll(cmd.line, "$D/", dir.Dir() + "/");
    if (atPrompt)
        return RunSim(dir, key, {"tmtool"}, line + "\nquit\n");
    std::vector<std::string> argv{"tmtool"};
    std::istringstream words(line);
    for (std::string w; words >> w;)
        argv.push_back(w);
    return RunSim(dir, key, argv);
}

std::string Whole(const Outcome &o, bool atPrompt) {
    return atPrompt ? Transcript({o.out}) : kStartup + o.out + kClosed;
}

const std::vector<std::string> kRequestFaults = {"presence", "rom",  "skip", "reset",
                                                 "lseek",    "read", "write"};

using FaultParam = std::tuple<Command, std::string, bool>;

class RequestFails : public ::testing::TestWithParam<FaultParam> {};

TEST_P(RequestFails, CommandStopsThereWithItsMessage) {
    const auto &[cmd, fault, atPrompt] = GetParam();
    SimDir dir;
    Prepare(dir);
    const Outcome o = Expect(cmd, StepOf(cmd, fault), kEio);
    const RunResult r = RunOne(dir, Key().Rom(kRom).Fault(fault), cmd, atPrompt);
    Check(dir, r, Whole(o, atPrompt), o);
}

// Every command with every fault, one-shot (except the prompt-only
// skiprom) and at the prompt.
std::vector<FaultParam> FaultParams() {
    std::vector<FaultParam> params;
    for (const Command &cmd : kCommands) {
        for (const std::string &fault : kRequestFaults) {
            for (bool atPrompt : {false, true}) {
                if (atPrompt || !cmd.promptOnly)
                    params.emplace_back(cmd, fault, atPrompt);
            }
        }
    }
    return params;
}

INSTANTIATE_TEST_SUITE_P(Faults, RequestFails, ::testing::ValuesIn(FaultParams()),
                         [](const ::testing::TestParamInfo<FaultParam> &p) {
                             return std::string(std::get<0>(p.param).name) + "_" +
                                    std::get<1>(p.param) +
                                    (std::get<2>(p.param) ? "_AtPrompt" : "_OneShot");
                         });

// vanish-after=N: the open is the first request, then the command's own;
// request N+1 fails with ENODEV (the open, with ENOENT, for N = 0).
using VanishParam = std::tuple<Command, size_t>;

class DeviceVanishes : public ::testing::TestWithParam<VanishParam> {};

TEST_P(DeviceVanishes, CommandStopsAtTheFirstRequestAfterIt) {
    const auto &[cmd, after] = GetParam();
    SimDir dir;
    Prepare(dir);
    const SimKey key = Key().Rom(kRom).Fault("vanish-after=" + std::to_string(after));
    const RunResult r = RunOne(dir, key, cmd, false);
    if (after == 0) {
        EXPECT_FALSE(r.timedOut);
        EXPECT_TRUE(NoSanitizerReport(r.err));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "using dev /dev/touchm0\ncan not open [No such file or directory]\n"
                         "can not init client\n" +
                             kClosed);
        EXPECT_EQ(dir.Memory(), Image());
        return;
    }
    const Outcome o = Expect(cmd, after - 1, kEnodev);
    Check(dir, r, Whole(o, false), o);
}

// Every one-shot command with N from 0 (the open fails) to one past its
// last request (nothing fails).
std::vector<VanishParam> VanishParams() {
    std::vector<VanishParam> params;
    for (const Command &cmd : kCommands) {
        for (size_t after = 0; !cmd.promptOnly && after <= cmd.steps.size() + 1; ++after)
            params.emplace_back(cmd, after);
    }
    return params;
}

INSTANTIATE_TEST_SUITE_P(Faults, DeviceVanishes, ::testing::ValuesIn(VanishParams()),
                         [](const ::testing::TestParamInfo<VanishParam> &p) {
                             return std::string(std::get<0>(p.param).name) + "_After" +
                                    std::to_string(std::get<1>(p.param));
                         });

// A key of the ID-only family (0x01) answers its presence and ROM requests
// but has no memory: each command fails at its transfer with the system's
// text for EOPNOTSUPP (not "no slave"), and the key image stays as it was.
// A memory size given to the stand-in overrides the family: then every
// command goes through. One-shot and at the prompt.
const char *kIdOnlyRom = "010203040506070f";
const std::string kNotSupported = "Operation not supported";

using IdOnlyParam = std::tuple<Command, bool, bool>; // command, at the prompt, size given

class IdOnlyKey : public ::testing::TestWithParam<IdOnlyParam> {};

TEST_P(IdOnlyKey, TransfersFailUnlessASizeIsGiven) {
    const auto &[cmd, atPrompt, sized] = GetParam();
    SimDir dir;
    Prepare(dir);
    SimKey key = Key().Rom(kIdOnlyRom);
    if (sized)
        key.Memory(kKeySize);
    const size_t transfer = std::min(StepOf(cmd, "read"), StepOf(cmd, "write"));
    const Outcome o = Expect(cmd, sized ? cmd.steps.size() : transfer, kNotSupported);
    Check(dir, RunOne(dir, key, cmd, atPrompt), Whole(o, atPrompt), o);
}

std::vector<IdOnlyParam> IdOnlyParams() {
    std::vector<IdOnlyParam> params;
    for (const Command &cmd : kCommands) {
        // getid prints the ROM; it has a case of its own below.
        if (std::string(cmd.name) == "GetId")
            continue;
        for (bool atPrompt : {false, true}) {
            for (bool sized : {false, true}) {
                if (atPrompt || !cmd.promptOnly)
                    params.emplace_back(cmd, atPrompt, sized);
            }
        }
    }
    return params;
}

INSTANTIATE_TEST_SUITE_P(Keys, IdOnlyKey, ::testing::ValuesIn(IdOnlyParams()),
                         [](const ::testing::TestParamInfo<IdOnlyParam> &p) {
                             return std::string(std::get<0>(p.param).name) +
                                    (std::get<1>(p.param) ? "_AtPrompt" : "_OneShot") +
                                    (std::get<2>(p.param) ? "_SizeGiven" : "");
                         });

TEST(IdOnlyKey, GetIdAndAListingAfterTheFailedRead) {
    SimDir dir;
    Prepare(dir);
    const RunResult r =
        RunSim(dir, Key().Rom(kIdOnlyRom), {"tmtool"}, "getid\nmemrd 0 16\nchksl\nquit\n");
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, Transcript({"getting rom id...ok\nrom id 0f 07 06 05 04 03 02 01\n",
                                 "reading 16 bytes from offset 0\nread from 0 16 bytes\n"
                                 "TouchMemCltK[111] read failed [" +
                                     kNotSupported + "]\nerror read nv memory\n",
                                 "checking slave presence...slave present\n"}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir.Memory(), Image());
    // The failure is the device's answer to the read, logged as such.
    EXPECT_NE(dir.Log().find("read failed [" + kNotSupported + "]"), std::string::npos)
        << dir.Log();
}

// A session whose device goes away in the middle: every later command
// fails at its first request and the session still ends normally.
TEST(DeviceVanishes, MidSessionLaterCommandsFailAndQuitStillWorks) {
    SimDir dir;
    Prepare(dir);
    const RunResult r = RunSim(dir, Key().Rom(kRom).Fault("vanish-after=3"), {"tmtool"},
                               "memrd 0 16\nmemrd 0 16\nchksl\nmemwrs abc 0\nquit\n");
    ExpectCleanExit(r);
    EXPECT_EQ(r.out, Transcript({"reading 16 bytes from offset 0\nread from 0 16 bytes\n"
                                 "TouchMemCltK[106] lseek failed [No such device]\n"
                                 "error read nv memory\n",
                                 "reading 16 bytes from offset 0\nno slave\n",
                                 "checking slave presence...no slave\n",
                                 "writing str 'abc' to offset 0...no slave\n"}));
    EXPECT_EQ(dir.Memory(), Image());
}

// Fewer bytes than asked: a short read leaves zeros where the device gave
// nothing; a short write is an error and the key holds just the part taken.
struct ShortCase {
    const char *name;
    std::string fault;
    std::string line;
    std::string out;
    std::string err;
    std::string memory;
    std::string file; // memrdf's output, "" for none
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const ShortCase &c, std::ostream *os) {
    *os << c.name;
}

const std::vector<ShortCase> kShortCases = {
    {"MemRdShortRead", "short-read=4", "memrd 0 16",
     "reading 16 bytes from offset 0\nread from 0 16 bytes\n",
     "0000 41 42 43 44 00 00 00 00 -00 00 00 00 00 00 00 00  ABCD............\n", Image(), ""},
    {"MemRdFShortRead", "short-read=4", "memrdf $D/out.bin 0 16",
     "reading  from tm offset 0 size 16 =>$D/out.bin....read from 0 16 bytes\nok\n"
     "time diff T\n",
     "", Image(), std::string("ABCD") + std::string(12, '\0')},
    {"MemWrSShortWrite", "short-write=2", "memwrs abc 0",
     "writing str 'abc' to offset 0...write  to 0 3 bytes\n"
     "TouchMemCltK[130] write failed [stored 2 of 3 bytes]\nerror\n",
     "", ImageWith("ab"), ""},
    {"MemWrFShortWrite", "short-write=2", "memwrf $D/in.bin 0",
     "writing  to tm offset 0 size 4 <=$D/in.bin...write  to 0 4 bytes\n"
     "TouchMemCltK[130] write failed [stored 2 of 4 bytes]\nerror\n",
     "", ImageWith("wx"), ""},
    {"MemWrSNothingStored", "short-write=0", "memwrs abc 0",
     "writing str 'abc' to offset 0...write  to 0 3 bytes\n"
     "TouchMemCltK[130] write failed [stored 0 of 3 bytes]\nerror\n",
     "", Image(), ""},
    // A write that ends past the key's last byte stores only what fits.
    {"MemWrSAcrossTheEnd", "", "memwrs abc 510",
     "writing str 'abc' to offset 510...write  to 510 3 bytes\n"
     "TouchMemCltK[130] write failed [stored 2 of 3 bytes]\nerror\n",
     "", ImageWith("ab", 510), ""},
};

class ShortTransfer : public ::testing::TestWithParam<ShortCase> {};

TEST_P(ShortTransfer, IsShownAsItIs) {
    const ShortCase &c = GetParam();
    SimDir dir;
    Prepare(dir);
    SimKey key = Key().Rom(kRom);
    if (!c.fault.empty())
        key.Fault(c.fault);
    const std::string line = ReplaceAll(c.line, "$D/", dir.Dir() + "/");
    const RunResult r = RunSim(dir, key, {"tmtool"}, line + "\nquit\n");
    ExpectCleanExit(r);
    EXPECT_EQ(MaskTimes(r.out), Transcript({ReplaceAll(c.out, "$D/", dir.Dir() + "/")}));
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(dir.Memory(), c.memory);
    if (!c.file.empty()) {
        EXPECT_EQ(ReadFile(dir.Path("out.bin")), c.file);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, ShortTransfer, ::testing::ValuesIn(kShortCases),
                         [](const ::testing::TestParamInfo<ShortCase> &p) {
                             return std::string(p.param.name);
                         });

} // namespace
