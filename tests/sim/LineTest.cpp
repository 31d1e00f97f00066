// SPDX-License-Identifier: GPL-2.0-or-later
// The line-level backend (--line): the same device answers as the direct
// backend gives, now carried out as 1-Wire traffic over the simulated
// adapter and line, and what only the line can show: ROMs the CRC check
// refuses, and line faults (a flipped bit, a key leaving mid-transaction,
// a shorted line).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "Probe.h"
#include "TestSupport.h"
#include "TouchMemProto.h"

using namespace vorn_test;

namespace {

// Data slots of a transaction, from 0 after its reset pulse: the ROM
// command takes 0 to 7, so ROM bit k travels in slot 8 + k. A memory read
// is Skip ROM (0-7), the command (8-15), the address (16-31), then data.
constexpr int kRomFirstSlot = 8;
constexpr int kReadDataFirstSlot = 32;
constexpr int kSlotsPerByte = 8;

const std::string kStartup = "using dev /dev/touchm0\nlibvorn inited\n";
const std::string kClosed = "libvorn closed\n";

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; i++)
        s[i] = static_cast<char>(i * 7 + 3);
    return s;
}

struct Outcome {
    std::string out;
    std::string memory;
    std::vector<std::string> trace;
};

Outcome RunProbe(const SimKey &key, const std::vector<std::string> &steps,
                 const std::string &image) {
    SimDir dir;
    if (!image.empty()) {
        EXPECT_TRUE(dir.WriteMemory(image));
    }
    Outcome o;
    o.out = Probe(dir, key, steps);
    o.memory = dir.Memory();
    o.trace = TraceSummaries(TraceLines(dir));
    return o;
}

// devprobe released step by step, a ctl command before each "wait".
std::string Scripted(const SimDir &dir, const SimKey &key, const std::vector<std::string> &steps,
                     const std::vector<std::vector<std::string>> &ctls) {
    std::vector<std::string> argv = {"devprobe"};
    argv.insert(argv.end(), steps.begin(), steps.end());
    Spawned p;
    EXPECT_TRUE(p.Start(dir, key, argv));
    for (const std::vector<std::string> &ctl : ctls) {
        EXPECT_TRUE(p.WaitForLine("wait"));
        RunResult c = Ctl(dir, ctl);
        EXPECT_EQ(c.status, 0) << c.err;
        p.Write("go\n");
    }
    RunResult r = p.Wait();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
}

} // namespace

TEST(TmSimLine, AnswersLikeTheDirectBackend) {
    const std::string page = Pattern(70);
    struct Case {
        const char *name;
        SimKey key;
        std::string image; // "" for a fresh one
        std::vector<std::string> steps;
    } cases[] = {
        {"requests", Key(), "", {"presence", "rom", "skip", "reset", "close"}},
        {"reads", Key(), Pattern(512), {"seek:100", "read:40", "pread:500:20", "read:600"}},
        {"writes across pages",
         Key(),
         Pattern(512),
         {"seek:20", "write:" + std::string(70, 'w'), "pwrite:500:abcdefghijklmnop", "seek:0",
          "read:90", "pread:496:16"}},
        {"binary write", Key(), "", {"seek:30", "writehex:00ff7f80a5", "pread:28:9"}},
        {"end of memory",
         Key().Memory(64),
         Pattern(64),
         {"seek:60", "read:8", "seek:64", "read:8", "seek:62", "write:abcd", "pread:63:4"}},
        {"short image", Key().Memory(16), "hi", {"read:8", "read:16", "pwrite:10:z"}},
        {"no memory", Key().Memory(0), "", {"read:4", "write:x", "presence"}},
        {"largest memory",
         Key().Memory(65536),
         Pattern(65536),
         {"seek:65530", "read:8", "pwrite:65534:xyz", "pread:65533:4"}},
        {"absent key",
         Key().Absent(),
         "",
         {"presence", "rom", "skip", "reset", "seek:4", "read:4", "write:x"}},
        {"rom fault", Key().Fault("rom"), "", {"rom", "presence"}},
        {"read and write faults",
         Key().Fault("read").Fault("write"),
         "",
         {"read:2", "write:x", "skip"}},
        {"short read", Key().Fault("short-read=3"), "", {"read:8", "read:2"}},
        {"short write", Key().Fault("short-write=2"), "", {"write:abcd", "seek:0", "read:4"}},
        {"vanish", Key().Fault("vanish-after=3"), "", {"presence", "rom", "read:1", "presence"}},
        {"id-only key",
         Key().Family("01"),
         Pattern(512),
         {"presence", "rom", "seek:4", "read:4", "read:0", "write:x", "pwrite:0:x", "seek:0:2"}},
        {"id-only key absent", Key().Family("01").Absent(), "", {"read:4", "write:x"}},
        {"id-only key given memory",
         Key().Family("01").Memory(40),
         "",
         {"seek:0:2", "pwrite:36:abcdef", "pread:32:16"}},
        {"family 08",
         Key().Family("08"),
         Pattern(512),
         {"seek:0:2", "pread:120:16", "pwrite:126:abcd", "pread:124:8"}},
        {"family without a size", Key().Family("02"), "", {"seek:0:2", "read:4", "write:x"}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> steps = {"open"};
        steps.insert(steps.end(), c.steps.begin(), c.steps.end());
        SimKey line = c.key;
        line.Line();
        const Outcome direct = RunProbe(c.key, steps, c.image);
        const Outcome overLine = RunProbe(line, steps, c.image);
        EXPECT_EQ(overLine.out, direct.out) << c.name;
        EXPECT_EQ(overLine.memory, direct.memory) << c.name;
        EXPECT_EQ(overLine.trace, direct.trace) << c.name;
    }
}

TEST(TmSimLine, RomsTheLineRefuses) {
    // What the direct backend hands out verbatim fails the ROM request over
    // the line: a CRC that does not match, all zeros, or all ones (what the
    // line reads when nobody drives it: no key).
    struct Case {
        const char *rom;
        std::string out;
    } cases[] = {
        {"0102030405060708", "rom -1 EIO\n"},
        {"0000000000000000", "rom -1 EIO\n"},
        {"ffffffffffffffff", "rom -1 ENXIO\n"},
        {"021cb801000000a2", "rom 8 021cb801000000a2\n"},
    };
    for (const Case &c : cases) {
        SimDir dir;
        std::string out = c.out;
        if (out.find("-1") != std::string::npos)
            out += "rom-buffer aaaaaaaaaaaaaaaa\n";
        EXPECT_EQ(Probe(dir, Key().Rom(c.rom).Line(), {"open", "presence", "rom"}),
                  "open ok\npresence 0\n" + out)
            << c.rom;
    }
}

TEST(TmSimLine, DefaultKeyWithTmtool) {
    SimDir dir;
    RunResult r = RunSim(dir, Key().Line(), {"tmtool", "getid"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kStartup + "getting rom id...ok\nrom id cd 00 00 de ad be ef 04\n" + kClosed);
    EXPECT_EQ(r.err, "");
}

TEST(TmSimLine, CorruptedRomBitIsCaughtByTheCrc) {
    // One ROM bit flipped on the line in every transaction: the family's
    // lowest bit, a serial bit, the CRC's top bit. The CRC check fails each
    // of getid's three attempts; the presence requests before them succeed.
    for (int bit : {0, 29, 63}) {
        SimDir dir;
        const int slot = kRomFirstSlot + bit;
        RunResult r = RunSim(dir, Key().Line().Fault("line-flip=" + std::to_string(slot)),
                             {"tmtool", "getid"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, kStartup + "getting rom id...no slave\n" + kClosed) << bit;
        std::vector<std::string> rom;
        std::vector<std::string> presence;
        for (const TraceRecord &rec : TraceLines(dir)) {
            if (rec.call == "ioctl" && rec.req == TM_REQ_READ_ROM)
                rom.push_back(rec.Summary());
            if (rec.call == "ioctl" && rec.req == TM_REQ_PRESENCE)
                presence.push_back(rec.Summary());
        }
        EXPECT_EQ(rom, std::vector<std::string>(3, "ioctl req=0x414c544b result=-1 errno=5"))
            << bit;
        EXPECT_EQ(presence, std::vector<std::string>(3, "ioctl req=0x414c544a result=0 errno=0"))
            << bit;
    }
}

TEST(TmSimLine, FlippedCommandAddressOrDataBitFailsTheRequest) {
    // The echo of a command or address byte does not show what was sent;
    // a data bit of a write makes the scratchpad read back wrong, and
    // nothing is copied. Read Memory carries no check of its own, so the
    // same flip in a read's data goes through (bit 5 of the first byte).
    const std::string fresh =
        std::string("touch-memory key 0108: hello\n") + std::string(483, '\0');
    struct Case {
        int slot;
        std::vector<std::string> steps;
        std::string out;
    } cases[] = {
        {3, {"rom", "skip"}, "rom -1 EIO\nrom-buffer aaaaaaaaaaaaaaaa\nskip -1 EIO\n"},
        {20, {"skip", "read:4"}, "skip 0\nread -1 EIO\n"},
        {kReadDataFirstSlot + 5,
         {"write:ab", "seek:0", "read:2"},
         "write -1 EIO\nseek 0\nread 2 546f\n"},
    };
    for (const Case &c : cases) {
        SimDir dir;
        std::vector<std::string> steps = {"open"};
        steps.insert(steps.end(), c.steps.begin(), c.steps.end());
        EXPECT_EQ(Probe(dir, Key().Line().Fault("line-flip=" + std::to_string(c.slot)), steps),
                  "open ok\n" + c.out)
            << c.slot;
        EXPECT_EQ(dir.Memory(), fresh) << c.slot;
    }
}

TEST(TmSimLine, WritesGoThroughTheScratchpadAndPersist) {
    SimDir dir;
    const std::string image = Pattern(512);
    ASSERT_TRUE(dir.WriteMemory(image));
    // 100 bytes from 50: parts of four pages.
    const std::string text(100, 'q');
    EXPECT_EQ(Probe(dir, Key().Line(), {"open", "seek:50", "write:" + text}),
              "open ok\nseek 50\nwrite 100\n");
    std::string expected = image;
    expected.replace(50, text.size(), text);
    EXPECT_EQ(dir.Memory(), expected);
    // The direct backend, in a new process, reads what went over the line.
    EXPECT_EQ(Probe(dir, Key(), {"open", "pread:148:4"}), "open ok\npread 4 71711d24\n");
}

TEST(TmSimLine, KeyRemovedMidTransactionFailsTheRequest) {
    // In the tenth data byte of a read: the key is gone, the line reads
    // ones, and the closing reset finds nobody. The state still has the key
    // attached, so the next request finds it again.
    SimDir dir;
    ASSERT_TRUE(dir.WriteMemory(Pattern(512)));
    const int slot = kReadDataFirstSlot + kSlotsPerByte * 10;
    EXPECT_EQ(Probe(dir, Key().Line().Fault("line-remove=" + std::to_string(slot)),
                    {"open", "read:40", "presence", "pread:0:2"}),
              "open ok\nread -1 ENXIO\npresence 0\npread 2 030a\n");
    std::vector<TraceRecord> trace = TraceLines(dir);
    ASSERT_EQ(trace.size(), 4u);
    EXPECT_EQ(trace[1].Summary(), "read size=40 result=-1 errno=6");

    // In a write of three pages, during the second page's Write
    // Scratchpad: the first page stays written (and stored), the rest not.
    SimDir wdir;
    const std::string image = Pattern(512);
    ASSERT_TRUE(wdir.WriteMemory(image));
    const std::string text(70, 'w'); // 20..31, 32..63, 64..89
    EXPECT_EQ(Probe(wdir, Key().Line().Fault("line-remove=192"),
                    {"open", "pwrite:20:" + text, "presence"}),
              "open ok\npwrite -1 ENXIO\npresence 0\n");
    std::string expected = image;
    expected.replace(20, 12, std::string(12, 'w'));
    EXPECT_EQ(wdir.Memory(), expected);
}

TEST(TmSimLine, ShortedLineFailsEveryRequest) {
    SimDir dir;
    std::string out = Scripted(
        dir, Key().Line().Fault("line-short"),
        {"open", "presence", "rom", "read:2", "write:x", "reset", "wait", "presence", "pread:0:2"},
        {{"clear-faults"}});
    EXPECT_EQ(out, "open ok\npresence -1 EIO\nrom -1 EIO\nrom-buffer aaaaaaaaaaaaaaaa\n"
                   "read -1 EIO\nwrite -1 EIO\nreset -1 EIO\nwait\npresence 0\npread 2 746f\n");
    EXPECT_EQ(dir.Memory().substr(0, 2), "to") << "nothing written over a shorted line";
}

// An ID-only key's transfers ask the line first: a shorted line is EIO, as
// for any request, and only a key that answers is told EOPNOTSUPP.
TEST(TmSimLine, IdOnlyKeyIsAskedBeforeItIsRefused) {
    SimDir dir;
    std::string out =
        Scripted(dir, Key().Family("01").Line().Fault("line-short"),
                 {"open", "read:2", "write:x", "wait", "read:2", "write:x"}, {{"clear-faults"}});
    EXPECT_EQ(out, "open ok\nread -1 EIO\nwrite -1 EIO\nwait\nread -1 EOPNOTSUPP\n"
                   "write -1 EOPNOTSUPP\n");
}

TEST(TmSimLine, HotPlugAndLiveLineFaults) {
    SimDir dir;
    std::string out = Scripted(dir, Key().Line(),
                               {"open", "rom", "wait", "presence", "rom", "wait", "rom", "wait",
                                "rom", "wait", "rom", "wait", "presence", "seek:0", "open"},
                               {{"remove"},
                                {"attach", "--rom", "021cb801000000a2"},
                                {"fault", "line-flip=" + std::to_string(kRomFirstSlot + 40)},
                                {"clear-faults"},
                                {"vanish"}});
    EXPECT_EQ(out, "open ok\nrom 8 04efbeadde0000cd\nwait\n"
                   "presence -1 ENXIO\nrom -1 ENXIO\nrom-buffer aaaaaaaaaaaaaaaa\nwait\n"
                   "rom 8 021cb801000000a2\nwait\n"
                   "rom -1 EIO\nrom-buffer aaaaaaaaaaaaaaaa\nwait\n"
                   "rom 8 021cb801000000a2\nwait\n"
                   "presence -1 ENODEV\nseek -1 ENODEV\nopen -1 ENOENT\n");
}

TEST(TmSimLine, HarnessTakesTheBackendFromTheEnvironment) {
    const char *old = std::getenv("VORN_TEST_BACKEND");
    const std::string saved = old ? old : "";
    auto count = [](const SimKey &key) {
        const std::vector<std::string> opts = key.Options();
        return std::count(opts.begin(), opts.end(), "--line");
    };
    setenv("VORN_TEST_BACKEND", "line", 1);
    EXPECT_TRUE(LineBackendByDefault());
    EXPECT_EQ(count(Key()), 1);
    EXPECT_EQ(count(Key().Line()), 1) << "asked for already: not twice";
    EXPECT_EQ(count(Key().Option("--line")), 1);
    SimDir dir;
    Probe(dir, Key(), {"open"});
    EXPECT_NE(dir.Read("config").find("\nbackend=line\n"), std::string::npos);
    setenv("VORN_TEST_BACKEND", "direct", 1);
    EXPECT_FALSE(LineBackendByDefault());
    EXPECT_EQ(count(Key()), 0);
    unsetenv("VORN_TEST_BACKEND");
    EXPECT_EQ(count(Key()), 0);
    EXPECT_EQ(count(Key().Line()), 1);
    if (old)
        setenv("VORN_TEST_BACKEND", saved.c_str(), 1);
}
