// SPDX-License-Identifier: GPL-2.0-or-later
// Every numeric operand of every memory command, one-shot and at the prompt,
// given as a non-number, a negative number, 0, 2^31, 2^32 and 2^63.
//
// What must hold in each case: status 0, no sanitizer report; the operand
// reads as the documented number (no digits: 0; beyond the signed 32-bit
// range: saturated to 2147483647); a size the command cannot serve is
// refused before the device is asked for anything; the key's memory and the
// output file hold exactly what the command reported, and nothing written
// only in part, or not at all, is reported as "ok".

#include "FaultUtil.h"

#include <cstdint>
#include <gtest/gtest.h>

using namespace vorn_test;

namespace {

struct Value {
    const char *name;
    const char *text;
    int64_t reads; // the number the operand stands for
};

const std::vector<Value> kValues = {
    {"NonNumber", "abc", 0},
    {"Negative", "-1", -1},
    {"Zero", "0", 0},
    {"TwoTo31", "2147483648", INT32_MAX},
    {"TwoTo32", "4294967296", INT32_MAX},
    {"TwoTo63", "9223372036854775808", INT32_MAX},
};

// memrd holds at most this much; memrdf and memwrf move at most 16 MiB.
constexpr int64_t kListingMax = 16384;
constexpr int64_t kTransferMax = int64_t{16} * 1024 * 1024;

// As the messages print an operand ("%lu" of the widened value) and as the
// client's log line prints what it was given ("%d" of the 32-bit value).
std::string Shown(int64_t v) {
    return std::to_string(static_cast<unsigned long>(v));
}
std::string Dev(int64_t v) {
    return std::to_string(static_cast<int32_t>(static_cast<uint32_t>(v)));
}

// "$D/" in words and texts stands for the state directory.
std::string Subst(std::string text, const SimDir &dir) {
    return ReplaceAll(std::move(text), "$D/", dir.Dir() + "/");
}

struct OperandCase {
    std::string name;
    std::vector<std::string> words; // the command and its operands
    std::string out;                // between the start-up and closing lines
    std::string err;                // the listing, if any
    std::string memory;             // the key image afterwards
    std::string file;               // the output file, when fileMustExist
    std::string fileName;           // "" when the case writes no file
    bool fileMustExist = false;
    bool deviceUntouched = false; // no lseek, read or write reached the device
    bool oneShotOnly = false;     // the slash words exist only one-shot
    std::string group;            // cases of one group share a session
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const OperandCase &c, std::ostream *os) {
    *os << c.name;
}

const std::string kInData = "wxyz"; // memwrf's input file $D/in.bin

std::string ShortWrite(size_t asked) {
    return "TouchMemCltK[130] write failed [stored 0 of " + std::to_string(asked) +
           " bytes]\nerror\n";
}

// memrd OFFSET 16, or /read OFFSET 16.
OperandCase ReadAt(const std::string &word, const Value &v) {
    OperandCase c;
    c.words = {word, v.text, "16"};
    c.out = "reading 16 bytes from offset " + Shown(v.reads) + "\nread from " + Dev(v.reads) +
            " 16 bytes\n";
    c.err = v.reads == 0 ? kListingHead : kListingZeros;
    c.memory = Image();
    return c;
}

// memrd 0 SIZE, or /read 0 SIZE.
OperandCase ReadSize(const std::string &word, const Value &v) {
    OperandCase c;
    c.words = {word, "0", v.text};
    c.memory = Image();
    if (v.reads < 0 || v.reads > kListingMax) {
        c.out = "usage " + word + " <offset> <data size>\n";
        c.deviceUntouched = true;
    } else {
        c.out = "reading " + Shown(v.reads) + " bytes from offset 0\nread from 0 " + Dev(v.reads) +
                " bytes\n";
    }
    return c;
}

OperandCase WriteStringAt(const Value &v) {
    OperandCase c;
    c.words = {"memwrs", "xyz", v.text};
    c.out = "writing str 'xyz' to offset " + Shown(v.reads) + "...write  to " + Dev(v.reads) +
            " 3 bytes\n";
    // Only offset 0 lies inside the 512-byte key; elsewhere nothing is stored.
    c.out += v.reads == 0 ? "ok\n" : ShortWrite(3);
    c.memory = v.reads == 0 ? ImageWith("xyz") : Image();
    return c;
}

// memrdf FILE OFFSET 16 (words built by the caller for /read).
OperandCase ReadFileAt(const std::string &file, const Value &v) {
    OperandCase c;
    c.out = "reading  from tm offset " + Shown(v.reads) + " size 16 =>" + file + "....read from " +
            Dev(v.reads) + " 16 bytes\nok\ntime diff T\n";
    c.memory = Image();
    c.fileName = file;
    c.fileMustExist = true;
    c.file = v.reads == 0 ? kImageHead : std::string(16, '\0');
    return c;
}

OperandCase ReadFileSize(const std::string &file, const Value &v) {
    OperandCase c;
    c.memory = Image();
    c.fileName = file;
    const std::string progress =
        "reading  from tm offset 0 size " + Shown(v.reads) + " =>" + file + "....";
    if (v.reads < 0 || v.reads > kTransferMax) {
        c.out = progress + "error\n";
        c.deviceUntouched = true; // and no file created
    } else {
        c.out = progress + "read from 0 " + Dev(v.reads) + " bytes\nok\ntime diff T\n";
        c.fileMustExist = true;
        c.file = ""; // only size 0 is in range among the values
    }
    return c;
}

// memwrf $D/in.bin OFFSET, and /write OFFSET 4 $D/in.bin.
OperandCase WriteFileAt(const Value &v) {
    OperandCase c;
    c.out = "writing  to tm offset " + Shown(v.reads) + " size 4 <=$D/in.bin...write  to " +
            Dev(v.reads) + " 4 bytes\n";
    c.out += v.reads == 0 ? "ok\ntime diff T\n" : ShortWrite(kInData.size());
    c.memory = v.reads == 0 ? ImageWith(kInData) : Image();
    return c;
}

OperandCase WriteFileSize(const Value &v) {
    OperandCase c;
    c.memory = Image();
    const std::string progress =
        "writing  to tm offset 0 size " + Shown(v.reads) + " <=$D/in.bin...";
    if (v.reads < 0 || v.reads > kTransferMax) {
        c.out = progress + "error\n";
        c.deviceUntouched = true;
    } else {
        c.out = progress + "write  to 0 " + Dev(v.reads) + " bytes\nok\ntime diff T\n";
    }
    return c;
}

std::vector<OperandCase> AllCases() {
    std::vector<OperandCase> cases;
    auto add = [&cases](OperandCase c, const std::string &group, const Value &v,
                        bool oneShotOnly = false) {
        c.group = group;
        c.name = group + "_" + v.name;
        c.oneShotOnly = oneShotOnly;
        cases.push_back(c);
    };
    for (const Value &v : kValues) {
        const std::string out = std::string("$D/out-") + v.name + ".bin";
        add(ReadAt("memrd", v), "MemRdOffset", v);
        add(ReadSize("memrd", v), "MemRdSize", v);
        add(WriteStringAt(v), "MemWrSOffset", v);

        OperandCase c = ReadFileAt(out, v);
        c.words = {"memrdf", out, v.text, "16"};
        add(c, "MemRdFOffset", v);
        c = ReadFileSize(out, v);
        c.words = {"memrdf", out, "0", v.text};
        add(c, "MemRdFSize", v);

        c = WriteFileAt(v);
        c.words = {"memwrf", "$D/in.bin", v.text};
        add(c, "MemWrFOffset", v);
        c = WriteFileSize(v);
        c.words = {"memwrf", "$D/in.bin", "0", v.text};
        add(c, "MemWrFSize", v);

        // The one-shot aliases, with their own operand order.
        add(ReadAt("/read", v), "ReadAddress", v, true);
        add(ReadSize("/read", v), "ReadLength", v, true);
        c = ReadFileAt(out, v);
        c.words = {"/read", v.text, "16", out};
        add(c, "ReadToFileAddress", v, true);
        c = ReadFileSize(out, v);
        c.words = {"/read", "0", v.text, out};
        add(c, "ReadToFileLength", v, true);
        c = WriteFileAt(v);
        c.words = {"/write", v.text, "4", "$D/in.bin"};
        add(c, "WriteAddress", v, true);
        c = WriteFileSize(v);
        c.words = {"/write", "0", v.text, "$D/in.bin"};
        add(c, "WriteLength", v, true);
    }
    return cases;
}

void Prepare(const SimDir &dir) {
    ASSERT_TRUE(dir.WriteMemory(Image()));
    ASSERT_TRUE(dir.Write("in.bin", kInData));
}

bool DeviceDataCalls(const SimDir &dir) {
    for (const TraceRecord &rec : TraceLines(dir)) {
        if (rec.call == "lseek" || rec.call == "read" || rec.call == "write")
            return true;
    }
    return false;
}

void ExpectFile(const SimDir &dir, const OperandCase &c) {
    if (c.fileName.empty())
        return;
    const std::string path = Subst(c.fileName, dir);
    if (c.fileMustExist) {
        ASSERT_TRUE(IsRegularFile(path)) << path;
        EXPECT_EQ(ReadFile(path), c.file);
    } else {
        EXPECT_FALSE(IsRegularFile(path)) << path << " must not be created";
    }
}

class OneShotOperand : public ::testing::TestWithParam<OperandCase> {};

TEST_P(OneShotOperand, ReadsAsDocumentedAndTouchesOnlyWhatItReports) {
    const OperandCase &c = GetParam();
    SimDir dir;
    Prepare(dir);
    std::vector<std::string> argv{"tmtool"};
    for (const std::string &w : c.words)
        argv.push_back(Subst(w, dir));
    const RunResult r = RunSim(dir, Key(), argv);
    ExpectCleanExit(r);
    EXPECT_EQ(MaskTimes(r.out), kStartup + Subst(c.out, dir) + kClosed);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(dir.Memory(), c.memory);
    ExpectFile(dir, c);
    if (c.deviceUntouched) {
        EXPECT_FALSE(DeviceDataCalls(dir)) << "the device was asked although the size is refused";
    }
}

INSTANTIATE_TEST_SUITE_P(Operands, OneShotOperand, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<OperandCase> &p) {
                             return p.param.name;
                         });

// At the prompt: all values of one operand in one session, which must go on
// after each of them and end normally.
class PromptOperand : public ::testing::TestWithParam<std::string> {};

TEST_P(PromptOperand, EveryValueInOneSessionAndTheSessionGoesOn) {
    SimDir dir;
    Prepare(dir);
    std::string input;
    std::vector<std::string> outputs;
    std::string err;
    std::string memory = Image();
    std::vector<OperandCase> group;
    for (const OperandCase &c : AllCases()) {
        if (c.group != GetParam() || c.oneShotOnly)
            continue;
        group.push_back(c);
        std::string line;
        for (const std::string &w : c.words)
            line += (line.empty() ? "" : " ") + Subst(w, dir);
        input += line + "\n";
        outputs.push_back(Subst(c.out, dir));
        err += c.err;
        if (c.memory != Image())
            memory = c.memory; // every writing case writes the same bytes
    }
    ASSERT_FALSE(group.empty());
    const RunResult r = RunSim(dir, Key(), {"tmtool"}, input + "quit\n");
    ExpectCleanExit(r);
    EXPECT_EQ(MaskTimes(r.out), Transcript(outputs));
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(dir.Memory(), memory);
    for (const OperandCase &c : group)
        ExpectFile(dir, c);
}

INSTANTIATE_TEST_SUITE_P(Operands, PromptOperand,
                         ::testing::Values("MemRdOffset", "MemRdSize", "MemWrSOffset",
                                           "MemRdFOffset", "MemRdFSize", "MemWrFOffset",
                                           "MemWrFSize"),
                         [](const ::testing::TestParamInfo<std::string> &p) { return p.param; });

// Digits far beyond any range, and junk after them, read the same way.
struct ParseCase {
    const char *name;
    std::string operand;
    std::string offsetShown; // how memrd's progress line shows it
};

// Failures name the case instead of dumping its bytes.
void PrintTo(const ParseCase &c, std::ostream *os) {
    *os << c.name;
}

class LongOperand : public ::testing::TestWithParam<ParseCase> {};

TEST_P(LongOperand, ReadsAsOffset) {
    const ParseCase &c = GetParam();
    SimDir dir;
    Prepare(dir);
    const RunResult r = RunSim(dir, Key(), {"tmtool", "memrd", c.operand, "0"});
    ExpectCleanExit(r);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n', kStartup.size()) + 1),
              kStartup + "reading 0 bytes from offset " + c.offsetShown + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Operands, LongOperand,
    ::testing::Values(ParseCase{"HundredThousandDigits", std::string(100000, '9'), "2147483647"},
                      ParseCase{"HundredThousandMinusDigits", "-" + std::string(100000, '9'),
                                "18446744071562067968"},
                      ParseCase{"LeadingZerosThenSixteen", std::string(100000, '0') + "16", "16"},
                      ParseCase{"JunkAfterDigits", "12abc", "12"}, ParseCase{"SignOnly", "-", "0"},
                      ParseCase{"PlusSign", "+7", "7"}, ParseCase{"LeadingBlanks", " \t 5", "5"},
                      ParseCase{"BelowInt32Min", "-2147483649", "18446744071562067968"}),
    [](const ::testing::TestParamInfo<ParseCase> &p) { return std::string(p.param.name); });

} // namespace
