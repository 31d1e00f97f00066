// SPDX-License-Identifier: GPL-2.0-or-later
// Memory dumps: the listing rows, the cap, levels, the byte-constant style
// on the log file and standard error, and the free dumps.

#include "Log.h"
#include "LogFormat.h"
#include "LogTestUtil.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <numeric>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using logtest::CaptureFd;
using logtest::ReadFile;

constexpr unsigned long kPlainFlags = vorn::kLogFlagTakeLevel | vorn::kLogFlagTakeMask;

// The address texts of the listing, printed as the dump prints them.
// "0x%p" in the header, "0x%p " before a row.
std::string HeaderAddress(const void *p) {
    char text[64];
    snprintf(text, sizeof text, "0x%p", p);
    return text;
}
std::string RowAddress(const void *p) {
    return HeaderAddress(p) + " ";
}

std::string Row(const unsigned char *row, unsigned long count) {
    std::array<char, kDumpRowTextSize> out{};
    std::size_t len = FormatDumpRow(out.data(), out.size(), row, count);
    return std::string(out.data(), len);
}

TEST(LogDumpRowTest, FullAndPartialRows) {
    unsigned char letters[16];
    std::iota(letters, letters + 16, static_cast<unsigned char>('A'));
    std::string address = RowAddress(letters);
    struct Case {
        unsigned long count;
        const char *expected;
    } cases[] = {
        {16, "41 42 43 44 45 46 47 48 -49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP\n"},
        {4, "41 42 43 44 XX XX XX XX -XX XX XX XX XX XX XX XX  ABCD\n"},
        {8, "41 42 43 44 45 46 47 48 -XX XX XX XX XX XX XX XX  ABCDEFGH\n"},
        {9, "41 42 43 44 45 46 47 48 -49 XX XX XX XX XX XX XX  ABCDEFGHI\n"},
        {1, "41 XX XX XX XX XX XX XX -XX XX XX XX XX XX XX XX  A\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Row(letters, c.count), address + c.expected) << c.count;
}

TEST(LogDumpRowTest, CharacterColumnShowsPrintableAndHighBytes) {
    const unsigned char bytes[] = {0x00, 0x1F, 0x7F, 0x20, 0x7E, 0x80, 0xFF, 0x41, 0x0A, 0xC3};
    std::string expected = RowAddress(bytes) + "00 1F 7F 20 7E 80 FF 41 -0A C3 XX XX XX XX XX XX  "
                                               "... ~\x80\xFF"
                                               "A.\xC3\n";
    EXPECT_EQ(Row(bytes, sizeof bytes), expected);
}

TEST(LogDumpRowTest, ByteConstantRows) {
    unsigned char bytes[17];
    std::iota(bytes, bytes + 17, static_cast<unsigned char>(0xF0));
    std::array<char, kDumpRowTextSize> out{};
    std::size_t len = FormatDump2Row(out.data(), out.size(), bytes, 16);
    EXPECT_EQ(std::string(out.data(), len),
              "0xF0,0xF1,0xF2,0xF3,0xF4,0xF5,0xF6,0xF7,0xF8,0xF9,0xFA,"
              "0xFB,0xFC,0xFD,0xFE,0xFF,\n");
    len = FormatDump2Row(out.data(), out.size(), bytes + 16, 1);
    EXPECT_EQ(std::string(out.data(), len), "0x00,\n");
}

TEST(LogDumpRowTest, HeadersShowBaseNameLineAndSize) {
    struct Case {
        const char *file;
        const char *name;
    } cases[] = {{"one/two/three.cpp", "three.cpp"}, {"whole.cpp", "whole.cpp"}};
    unsigned char data[4] = {};
    char out[256];
    for (const Case &c : cases) {
        FormatDumpHeader(out, sizeof out, c.file, 77, data, 3000);
        EXPECT_EQ(std::string(out), "[memory(" + std::string(c.name) + "[77]] buffer " +
                                        HeaderAddress(data) + " size 3000\nstripped\n");
        FormatDumpHeader(out, sizeof out, c.file, 77, data, 2048);
        EXPECT_EQ(std::string(out), "[memory(" + std::string(c.name) + "[77]] buffer " +
                                        HeaderAddress(data) + " size 2048\n");
        FormatDump2Header(out, sizeof out, c.file, 5, 17);
        EXPECT_EQ(std::string(out), "[memory(" + std::string(c.name) + "[5]] size 17\n");
    }
}

TEST(LogDumpRowTest, FormattersStayInsideTheirBuffer) {
    unsigned char letters[16] = {};
    std::string full = Row(letters, 16);
    for (std::size_t size : {std::size_t{1}, std::size_t{10}, full.size(), full.size() + 1}) {
        std::vector<char> out(size + 8, '#');
        std::size_t len = FormatDumpRow(out.data(), size, letters, 16);
        EXPECT_EQ(len, std::min(full.size(), size - 1)) << size;
        EXPECT_EQ(std::string(out.data(), len), full.substr(0, len));
        EXPECT_EQ(out[len], '\0');
        EXPECT_EQ(std::string(out.data() + size, 8), "########");
    }
}

class LogDumpTest : public ::testing::Test {
  protected:
    void Open(unsigned long level) {
        ASSERT_EQ(m_log.Init(m_path.c_str(), kPlainFlags, level, 0), 1);
    }

    logtest::NoCurrentLogger m_noLogger;
    logtest::TempDir m_dir;
    std::string m_path = m_dir.File("dump.log");
    CLog m_log;
};

TEST_F(LogDumpTest, TwentyBytesMakeTwoRowsAndABlankLine) {
    Open(5);
    unsigned char data[20];
    std::iota(data, data + 20, static_cast<unsigned char>('a'));
    EXPECT_EQ(m_log.DebugDump("src/x/caller.cpp", 31, data, sizeof data), 1);
    std::string expected =
        "[memory(caller.cpp[31]] buffer " + HeaderAddress(data) + " size 20\n" + RowAddress(data) +
        "61 62 63 64 65 66 67 68 -69 6A 6B 6C 6D 6E 6F 70  abcdefghijklmnop\n" +
        RowAddress(data + 16) + "71 72 73 74 XX XX XX XX -XX XX XX XX XX XX XX XX  qrst\n\n";
    EXPECT_EQ(ReadFile(m_path), expected);
}

TEST_F(LogDumpTest, EmptyDumpIsHeaderAndBlankLine) {
    Open(5);
    EXPECT_EQ(m_log.DebugDump("f.cpp", 2, nullptr, 0), 1);
    EXPECT_EQ(ReadFile(m_path),
              "[memory(f.cpp[2]] buffer " + HeaderAddress(nullptr) + " size 0\n\n");
}

TEST_F(LogDumpTest, LargeDumpIsCappedAt2048Bytes) {
    Open(5);
    std::vector<unsigned char> data(3000, 0x55);
    EXPECT_EQ(m_log.DebugDump("f.cpp", 3, data.data(), data.size()), 1);
    std::string text = ReadFile(m_path);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    ASSERT_EQ(lines.size(), 1u + 1u + 128u + 1u);
    EXPECT_NE(lines[0].find(" size 3000"), std::string::npos);
    EXPECT_EQ(lines[1], "stripped");
    std::string lastRow = RowAddress(data.data() + 2032) +
                          "55 55 55 55 55 55 55 55 -55 55 55 55 55 55 55 55  UUUUUUUUUUUUUUUU";
    EXPECT_EQ(lines[129], lastRow);
    EXPECT_EQ(lines[130], "");
}

struct DumpLevelCase {
    unsigned long level;
    bool dumps;
};

void PrintTo(const DumpLevelCase &c, std::ostream *os) {
    *os << "level " << c.level;
}

class LogDumpLevelTest : public LogDumpTest, public ::testing::WithParamInterface<DumpLevelCase> {};

TEST_P(LogDumpLevelTest, DumpsNeedLevel4) {
    Open(GetParam().level);
    unsigned char data[3] = {1, 2, 3};
    CaptureFd err(STDERR_FILENO);
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(m_log.DebugDump("f.cpp", 1, data, sizeof data), 1);
    EXPECT_EQ(m_log.DebugDump2("f.cpp", 1, data, sizeof data), 1);
    EXPECT_EQ(m_log.DebugPrint("debug\n"), 1);
    std::string printed = out.Stop();
    std::string errors = err.Stop();
    std::string file = ReadFile(m_path);
    const std::string dump2 = "[memory(f.cpp[1]] size 3\n0x01,0x02,0x03,\n";
    if (GetParam().dumps) {
        EXPECT_NE(file.find("[memory(f.cpp[1]] buffer"), std::string::npos);
        EXPECT_NE(file.find(dump2), std::string::npos);
        EXPECT_EQ(errors, dump2);
    } else {
        EXPECT_EQ(file, "");
        EXPECT_EQ(errors, "");
    }
    // DebugPrint needs level 5: nothing at 3 or 4.
    EXPECT_EQ(printed, GetParam().level >= 5 ? "debug\n" : "");
}

INSTANTIATE_TEST_SUITE_P(Levels, LogDumpLevelTest,
                         ::testing::Values(DumpLevelCase{3, false}, DumpLevelCase{4, true},
                                           DumpLevelCase{5, true}),
                         [](const ::testing::TestParamInfo<DumpLevelCase> &p) {
                             return "Level" + std::to_string(p.param.level);
                         });

TEST_F(LogDumpTest, ByteConstantsOf17BytesGoToFileAndStderr) {
    Open(5);
    unsigned char data[17];
    std::iota(data, data + 17, static_cast<unsigned char>(0x41));
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(m_log.DebugDump2("a/b/c.cpp", 8, data, sizeof data), 1);
    std::string expected = "[memory(c.cpp[8]] size 17\n"
                           "0x41,0x42,0x43,0x44,0x45,0x46,0x47,0x48,0x49,0x4A,0x4B,0x4C,0x4D,0x4E,"
                           "0x4F,0x50,\n"
                           "0x51,\n";
    EXPECT_EQ(err.Stop(), expected);
    EXPECT_EQ(ReadFile(m_path), expected);
}

TEST_F(LogDumpTest, ByteConstantsOfNothingAreTheHeaderOnly) {
    Open(5);
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(m_log.DebugDump2("c.cpp", 8, nullptr, 0), 1);
    EXPECT_EQ(err.Stop(), "[memory(c.cpp[8]] size 0\n");
    EXPECT_EQ(ReadFile(m_path), "[memory(c.cpp[8]] size 0\n");
}

TEST_F(LogDumpTest, LoggerWithoutFileDumpsOnlyToStderr) {
    unsigned char data[2] = {0xAB, 0xCD};
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(m_log.DebugDump("f.cpp", 1, data, sizeof data), 1);
    EXPECT_EQ(m_log.DebugDump2("f.cpp", 1, data, sizeof data), 1);
    EXPECT_EQ(err.Stop(), "[memory(f.cpp[1]] size 2\n0xAB,0xCD,\n");
}

TEST_F(LogDumpTest, FreeDumpsUseTheCurrentLogger) {
    unsigned char data[2] = {0x01, 0x02};
    // No current logger (the fixture's logger registered itself): nothing
    // anywhere.
    g_currentLogger = nullptr;
    {
        CaptureFd err(STDERR_FILENO);
        EXPECT_EQ(DebugDump("f.cpp", 1, data, sizeof data), 1);
        EXPECT_EQ(DebugDump2("f.cpp", 1, data, sizeof data), 1);
        EXPECT_EQ(err.Stop(), "");
    }
    g_currentLogger = &m_log;
    Open(4);
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(DebugDump("f.cpp", 1, data, sizeof data), 1);
    EXPECT_EQ(DebugDump2("f.cpp", 1, data, sizeof data), 1);
    EXPECT_EQ(err.Stop(), "[memory(f.cpp[1]] size 2\n0x01,0x02,\n");
    std::string expected = "[memory(f.cpp[1]] buffer " + HeaderAddress(data) + " size 2\n" +
                           RowAddress(data) +
                           "01 02 XX XX XX XX XX XX -XX XX XX XX XX XX XX XX  ..\n\n"
                           "[memory(f.cpp[1]] size 2\n0x01,0x02,\n";
    EXPECT_EQ(ReadFile(m_path), expected);
}

} // namespace
