// SPDX-License-Identifier: GPL-2.0-or-later
// The far end (tmfarend) against the driver core of sim/line running in
// this process over the pseudo-terminal's slave: resets at 9600 baud and
// time slots at 115200 set with termios, so the far end has to tell them
// apart by the speed alone. Control commands change the key and the line
// between transactions.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "FarEndFixture.h"
#include "TestSupport.h"
#include "tty_adapter.h"

// The busy-waits velkor made in this process (the user-space glue counts
// them): ten of 1 ms for every write_1w() call.
extern "C" void tm_line_plat_delays(unsigned long long *calls, unsigned long long *us);

using namespace vorn_test;

namespace {

constexpr unsigned kKeyMemory = 512;
const std::string kGreeting = "touch-memory key 0108: hello\n";
const std::string kRomDefault = "0400e1a5c0ffeeef";
const std::string kRomA = "08efbeadde0000c8";
const std::string kRomB = "2801020304050a3d";
const std::string kRomC = "0c1122334455aa24";

std::string Hex(const unsigned char *b, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 0xF];
    }
    return s;
}

class FarEndTest : public FarEndFixture {
  protected:
    // Starts the far end with extra serve options and opens its slave.
    void Start(const std::vector<std::string> &extra = {}) {
        ASSERT_NO_FATAL_FAILURE(StartFarEnd(extra));
        ASSERT_EQ(tty_adapter_open(&m_bus, m_slave.c_str(), kKeyMemory), 0) << m_slave;
    }

    // The ROM as read by the driver core, or "error N".
    std::string ReadRom() {
        std::array<unsigned char, TM_CORE_ROM_SIZE> rom{};
        int r = tm_core_read_rom(&m_bus, rom.data());
        return r ? "error " + std::to_string(r) : Hex(rom.data(), rom.size());
    }

    std::string ReadMemory(unsigned off, unsigned n) {
        std::vector<unsigned char> buf(n);
        int r = tm_core_read(&m_bus, off, buf.data(), n);
        if (r < 0)
            return "error " + std::to_string(r);
        return std::string(buf.begin(), buf.begin() + r);
    }

    // The writes the far end counted so far.
    unsigned long long FarEndWrites() {
        std::string out = CtlOk({"show"});
        size_t at = out.rfind(" writes ");
        return at == std::string::npos ? 0 : std::stoull(out.substr(at + 8));
    }

    // The far end's count of bytes received at 9600 and at 115200 baud.
    std::pair<unsigned long long, unsigned long long> FarEndBytes() {
        std::string out = CtlOk({"show"});
        size_t reset = out.rfind("counts reset ");
        size_t data = out.rfind(" data ");
        if (reset == std::string::npos || data == std::string::npos)
            return {0, 0};
        return {std::stoull(out.substr(reset + 13)), std::stoull(out.substr(data + 6))};
    }

    // The key and memory lines of show.
    std::string ShowKey() {
        std::string out = CtlOk({"show"});
        size_t second = out.find('\n', out.find('\n') + 1);
        return out.substr(0, second == std::string::npos ? second : second + 1);
    }

    tm_bus m_bus{};
};

TEST_F(FarEndTest, AnswersResetsAndSlotsByTheSpeedTheDriverSet) {
    Start();
    EXPECT_EQ(tm_core_presence(&m_bus), 0);
    EXPECT_EQ(ReadRom(), kRomDefault);
    // Two reset bytes at 9600; the Read ROM command (one write) and 64 read
    // slots at 115200. A far end that mistook either speed would count
    // otherwise.
    EXPECT_EQ(CtlOk({"show"}),
              "key " + kRomDefault +
                  "\nmemory 512\nfaults none\npace off\nbaud 115200\n"
                  "counts reset 2 data 72 other 0 dropped 0 writes 1 injected 0\n");
    EXPECT_EQ(ReadMemory(0, 32), kGreeting + std::string(32 - kGreeting.size(), '\0'));
    EXPECT_EQ(ReadMemory(500, 40), std::string(12, '\0')); // stops at the end

    ASSERT_TRUE(m_farEnd.Signal(SIGTERM));
    RunResult r = m_farEnd.Wait();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(m_dir.Exists("ctl"));
    EXPECT_FALSE(m_dir.Exists("tty"));
}

TEST_F(FarEndTest, ScratchpadWritesReachTheKeyMemory) {
    Start();
    unsigned long long calls0 = 0, calls1 = 0, us = 0;
    tm_line_plat_delays(&calls0, &us);
    // 40 bytes from 20: the end of page 0 and the start of page 1.
    std::string data;
    for (int i = 0; i < 40; i++)
        data += static_cast<char>(0xA0 + i);
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.data());
    EXPECT_EQ(tm_core_write(&m_bus, 20, bytes, 40), 40);
    EXPECT_EQ(ReadMemory(20, 40), data);
    // The far end counts the core's write_1w() calls as they really were:
    // 10 + 12 for the two pages, 2 for the read.
    tm_line_plat_delays(&calls1, &us);
    EXPECT_EQ(FarEndWrites(), 24u);
    EXPECT_EQ(FarEndWrites() * 10, calls1 - calls0);
    EXPECT_EQ(ReadMemory(0, 20), kGreeting.substr(0, 20));
    EXPECT_EQ(tm_core_write(&m_bus, 508, bytes, 8), 4);
    EXPECT_EQ(ReadMemory(504, 8), std::string(4, '\0') + data.substr(0, 4));
}

TEST_F(FarEndTest, DumpShowsTheModelMemoryWhateverKeyIsThere) {
    Start();
    // What the key must hold: the greeting, 13 bytes across the page
    // boundary at 320, the last 4 bytes of the memory, zeros elsewhere.
    std::vector<unsigned char> image(kKeyMemory, 0);
    std::memcpy(image.data(), kGreeting.data(), kGreeting.size());
    const unsigned char mid[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd};
    const unsigned char tail[] = {0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8};
    ASSERT_EQ(tm_core_write(&m_bus, 310, mid, sizeof(mid)), static_cast<int>(sizeof(mid)));
    ASSERT_EQ(tm_core_write(&m_bus, 508, tail, sizeof(tail)), 4);
    std::memcpy(image.data() + 310, mid, sizeof(mid));
    std::memcpy(image.data() + 508, tail, 4);
    EXPECT_EQ(CtlOk({"dump"}), Hex(image.data(), image.size()) + "\n");

    // A later write shows in the next dump.
    ASSERT_EQ(tm_core_write(&m_bus, 0, tail, 3), 3);
    std::memcpy(image.data(), tail, 3);
    EXPECT_EQ(CtlOk({"dump"}), Hex(image.data(), image.size()) + "\n");

    // The memory outlives the key: the same bytes with none attached, and
    // the first 128 of them for a family 0x08 key attached afterwards.
    CtlOk({"remove"});
    EXPECT_EQ(tm_core_presence(&m_bus), -ENXIO);
    EXPECT_EQ(CtlOk({"dump"}), Hex(image.data(), image.size()) + "\n");
    CtlOk({"attach", kRomA});
    EXPECT_EQ(CtlOk({"dump"}), Hex(image.data(), 128) + "\n");
    EXPECT_EQ(ReadMemory(0, 3), std::string(reinterpret_cast<const char *>(tail), 3));
}

TEST_F(FarEndTest, LongReadsSendOneSlotPerBitAndKeepTheBytesInOrder) {
    Start();
    // 203 bytes from 3: many groups of read slots in flight, and a run that
    // ends inside a group; every byte differs from its neighbours.
    std::string data;
    for (int i = 0; i < 203; i++)
        data += static_cast<char>(i * 7 + 1);
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.data());
    // Each page is read back from the scratchpad over the same path.
    ASSERT_EQ(tm_core_write(&m_bus, 3, bytes, 203), 203);

    auto before = FarEndBytes();
    EXPECT_EQ(ReadMemory(3, 203), data);
    auto after = FarEndBytes();
    // The select and the closing reset; Skip ROM, Read Memory with its
    // address, and one read slot per bit read, none beyond the last byte.
    EXPECT_EQ(after.first - before.first, 2u);
    EXPECT_EQ(after.second - before.second, 8u * (1 + 3 + 203));
}

TEST_F(FarEndTest, ControlCommandsAttachRemoveAndSwapKeys) {
    Start({"--no-key"});
    EXPECT_EQ(tm_core_presence(&m_bus), -ENXIO);
    EXPECT_EQ(ShowKey(), "key none\nmemory 0\n");

    // The memory size follows the family code.
    CtlOk({"attach", kRomA});
    EXPECT_EQ(tm_core_presence(&m_bus), 0);
    EXPECT_EQ(ReadRom(), kRomA);
    EXPECT_EQ(ShowKey(), "key " + kRomA + "\nmemory 128\n");

    RunResult again = Ctl({"attach", kRomC});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "tmfarend ctl: error: a key is attached (remove it first, or swap)\n");

    CtlOk({"swap", kRomC});
    EXPECT_EQ(ReadRom(), kRomC);
    EXPECT_EQ(ShowKey(), "key " + kRomC + "\nmemory 8192\n");
    CtlOk({"swap", kRomB});
    EXPECT_EQ(ReadRom(), kRomB);
    EXPECT_EQ(ShowKey(), "key " + kRomB + "\nmemory 512\n");
    CtlOk({"remove"});
    EXPECT_EQ(tm_core_presence(&m_bus), -ENXIO);
    EXPECT_EQ(ReadRom(), "error " + std::to_string(-ENXIO));
}

TEST_F(FarEndTest, KeyChangesWaitForTheNextReset) {
    Start();
    // A swap between the reset pulse and the ROM read: the transaction
    // ends with the key it began with, the next one sees the new key.
    ASSERT_EQ(tm_core_presence(&m_bus), 0);
    CtlOk({"swap", kRomC});
    const unsigned char readRom = 0x33;
    ASSERT_EQ(write_1w(&m_bus.port, &readRom, 1), 8);
    std::array<unsigned char, TM_CORE_ROM_SIZE> rom{};
    ASSERT_EQ(read_1wEx(&m_bus.port, rom.data(), rom.size()), 8);
    EXPECT_EQ(Hex(rom.data(), rom.size()), kRomDefault);
    EXPECT_EQ(ReadRom(), kRomC);

    ASSERT_EQ(tm_core_presence(&m_bus), 0);
    CtlOk({"remove"});
    ASSERT_EQ(write_1w(&m_bus.port, &readRom, 1), 8);
    ASSERT_EQ(read_1wEx(&m_bus.port, rom.data(), rom.size()), 8);
    EXPECT_EQ(Hex(rom.data(), rom.size()), kRomC);
    EXPECT_EQ(tm_core_presence(&m_bus), -ENXIO);
}

TEST_F(FarEndTest, ControlRefusesWhatMakesNoSense) {
    Start();
    struct Case {
        std::vector<std::string> words;
        std::string err;
    };
    const Case cases[] = {
        {{"attach", kRomB}, "a key is attached (remove it first, or swap)"},
        {{"swap", "0011"}, "bad ROM '0011' (16 hex digits)"},
        {{"swap", "zz01020304050a3d"}, "bad ROM 'zz01020304050a3d' (16 hex digits)"},
        {{"remove", "extra"}, "usage: remove"},
        {{"fault", "meltdown"},
         "unknown fault 'meltdown' (silent, crc, short, stray, flood, surplus, idle, reset, "
         "slot, late, noise)"},
        {{"pace", "maybe"}, "pace takes on or off"},
        {{"bogus"},
         "unknown command 'bogus' (attach, remove, swap, fault, clear, pace, show, dump, device)"},
    };
    for (const Case &c : cases) {
        RunResult r = Ctl(c.words);
        EXPECT_EQ(r.status, 1) << c.words[0];
        EXPECT_EQ(r.out, "") << c.words[0];
        EXPECT_EQ(r.err, "tmfarend ctl: error: " + c.err + "\n");
    }
    EXPECT_EQ(ReadRom(), kRomDefault);

    SimDir nowhere;
    RunResult r = RunCommand({BinPath("tmfarend"), "ctl", "--state", nowhere.Dir(), "show"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("tmfarend ctl: no far end at " + nowhere.Dir() + "/ctl [", 0), 0u)
        << r.err;
}

TEST_F(FarEndTest, LineFaultsFailTheTransactionsTheyHit) {
    Start();
    // A wrong CRC byte: the key answers its presence, its ROM is refused.
    CtlOk({"fault", "crc"});
    EXPECT_EQ(tm_core_presence(&m_bus), 0);
    EXPECT_EQ(ReadRom(), "error " + std::to_string(-EIO));
    CtlOk({"clear"});
    EXPECT_EQ(ReadRom(), kRomDefault);

    // Held low: every reset echo is 0x00.
    CtlOk({"fault", "short"});
    EXPECT_EQ(tm_core_presence(&m_bus), -EIO);
    CtlOk({"clear"});

    // Silent: not even the echo comes back; the read runs out of time.
    CtlOk({"fault", "silent"});
    EXPECT_EQ(tm_core_presence(&m_bus), -ETIMEDOUT);
    std::string show = CtlOk({"show"});
    EXPECT_NE(show.find("faults silent\n"), std::string::npos) << show;
    EXPECT_NE(show.find(" dropped 1 writes "), std::string::npos) << show;
    CtlOk({"clear"});
    EXPECT_EQ(tm_core_presence(&m_bus), 0);
    EXPECT_EQ(ReadRom(), kRomDefault);
}

TEST(FarEndServeArgs, BadOptionsAreUsageErrors) {
    const std::vector<std::string> cases[] = {
        {"--rom", "0011"},
        {"--memory", "0"},
        {"--memory", "8193"},
        {"--memory", "12k"},
        {"--rom", kRomB, "--no-key"},
        {"--state"},
        {"--speed", "9600"},
    };
    for (const auto &extra : cases) {
        std::vector<std::string> argv = {BinPath("tmfarend"), "serve"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        RunResult r = RunCommand(argv);
        EXPECT_EQ(r.status, 2) << extra[0];
        EXPECT_EQ(r.out, "") << extra[0];
        EXPECT_EQ(r.err.rfind("tmfarend: ", 0), 0u) << r.err;
    }
}

} // namespace
