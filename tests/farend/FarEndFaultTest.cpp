// SPDX-License-Identifier: GPL-2.0-or-later
// The far end's faults as the other side of the pseudo-terminal sees them:
// raw serial bytes sent at the line's two speeds and every byte that comes
// back, for each fault command; and the key of the ID-only family, which
// has no memory, against the driver's transaction core.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "FarEndFixture.h"
#include "TestSupport.h"
#include "tty_adapter.h"

using namespace vorn_test;

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

const std::string kRomDefault = "0400e1a5c0ffeeef";
// Family 0x01: the ROM only, with its CRC-8.
const std::string kRomIdOnly = "01234567890abc65";
constexpr unsigned char kResetByte = 0xF0;
// The echo of a reset pulse the key answers: its presence pulls bits 4
// and 5 low.
constexpr unsigned char kPresenceEcho = 0xC0;
constexpr unsigned char kReadRom = 0x33;
constexpr size_t kRomBits = 64;
constexpr unsigned kKeyMemory = 512;
// How long the line has to stay quiet before all that comes is taken as in.
constexpr int kQuietMs = 150;
constexpr int kCollectLimitMs = 10000;
constexpr size_t kReadChunk = 4096;

// The other side of the line, raw: bytes out at a speed set with termios,
// every byte that comes back.
class RawLine {
  public:
    ~RawLine() {
        if (m_fd >= 0)
            close(m_fd);
    }

    bool Open(const std::string &path) {
        m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        termios tio{};
        if (m_fd < 0 || tcgetattr(m_fd, &tio) != 0)
            return false;
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        return cfsetspeed(&tio, B115200) == 0 && tcsetattr(m_fd, TCSANOW, &tio) == 0;
    }

    bool Speed(speed_t speed) {
        termios tio{};
        return tcgetattr(m_fd, &tio) == 0 && cfsetspeed(&tio, speed) == 0 &&
               tcsetattr(m_fd, TCSANOW, &tio) == 0;
    }

    bool Send(const Bytes &bytes) {
        return write(m_fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // What comes back: at least want bytes, then whatever follows until
    // the line has been quiet for kQuietMs (or the limit is up).
    Bytes Collect(size_t want) {
        Bytes got;
        Clock::time_point limit = Clock::now() + std::chrono::milliseconds(kCollectLimitMs);
        while (Clock::now() < limit) {
            pollfd pfd{m_fd, POLLIN, 0};
            int r = poll(&pfd, 1, got.size() < want ? kCollectLimitMs : kQuietMs);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            unsigned char buf[kReadChunk];
            ssize_t n = read(m_fd, buf, sizeof(buf));
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    // A reset pulse at 9600 baud; its echo (and anything after it).
    Bytes Reset() {
        if (!Speed(B9600) || !Send({kResetByte}))
            return {};
        Bytes echo = Collect(1);
        return Speed(B115200) ? echo : Bytes{};
    }

    // Read ROM after the reset: the command's 8 slots and 64 read slots,
    // sent in one go; what comes back.
    Bytes ReadRom() {
        Bytes slots = Slots(kReadRom);
        slots.insert(slots.end(), kRomBits, 0xFF);
        if (!Send(slots))
            return {};
        return Collect(slots.size());
    }

    // One slot byte per bit of b, least significant first.
    static Bytes Slots(unsigned char b) {
        Bytes out;
        for (int i = 0; i < 8; i++)
            out.push_back((b >> i) & 1 ? 0xFF : 0x00);
        return out;
    }

  private:
    int m_fd = -1;
};

std::string Hex(const Bytes &b) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : b) {
        s += digits[c >> 4];
        s += digits[c & 0xF];
    }
    return s;
}

// The ROM the read slots' echoes carry (a slot echoed 0xFF is a 1).
std::string RomOf(const Bytes &echo) {
    Bytes rom(kRomBits / 8, 0);
    for (size_t i = 0; i < kRomBits && 8 + i < echo.size(); i++)
        if (echo[8 + i] == 0xFF)
            rom[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
    return Hex(rom);
}

class FarEndFaultTest : public FarEndFixture {
  protected:
    void Start(const std::vector<std::string> &extra = {}) { StartFarEnd(extra); }

    // The faults line of show.
    std::string Faults() {
        std::string out = CtlOk({"show"});
        size_t at = out.find("faults ");
        return at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
    }

    // What a clean Read ROM brings back: the command as sent, the ROM.
    Bytes CleanReadRom() {
        Bytes want = RawLine::Slots(kReadRom);
        for (size_t i = 0; i < kRomBits; i++)
            want.push_back(0xFF);
        return want;
    }
};

TEST_F(FarEndFaultTest, ImpossibleEchoesReplaceTheResetOrTheKeysSlots) {
    Start();
    RawLine line;
    ASSERT_TRUE(line.Open(m_slave));
    EXPECT_EQ(line.Reset(), Bytes{kPresenceEcho});
    Bytes clean = line.ReadRom();
    ASSERT_EQ(clean.size(), 8 + kRomBits);
    EXPECT_EQ(Bytes(clean.begin(), clean.begin() + 8), RawLine::Slots(kReadRom));
    EXPECT_EQ(RomOf(clean), kRomDefault);

    CtlOk({"fault", "reset", "ff"});
    EXPECT_EQ(line.Reset(), Bytes{0xFF});
    // The key took the reset all the same.
    EXPECT_EQ(line.ReadRom(), clean);

    CtlOk({"fault", "slot", "0x5a"});
    EXPECT_EQ(Faults(), "faults reset ff, slot 5a");
    EXPECT_EQ(line.Reset(), Bytes{0xFF});
    Bytes want = RawLine::Slots(kReadRom);
    want.insert(want.end(), kRomBits, 0x5A);
    EXPECT_EQ(line.ReadRom(), want);

    // With no key the reset echo is the fault's, not 0xF0.
    CtlOk({"clear"});
    CtlOk({"remove"});
    EXPECT_EQ(line.Reset(), Bytes{kResetByte});
    CtlOk({"fault", "reset", "f"});
    EXPECT_EQ(line.Reset(), Bytes{0x0F});
    CtlOk({"clear"});
    EXPECT_EQ(Faults(), "faults none");
    EXPECT_EQ(line.Reset(), Bytes{kResetByte});
}

TEST_F(FarEndFaultTest, StrayAndFloodBytesFollowTheirSlotOnce) {
    Start();
    RawLine line;
    ASSERT_TRUE(line.Open(m_slave));
    Bytes clean = CleanReadRom();
    for (size_t i = 0; i < kRomBits; i++) {
        // The default key's ROM, bit by bit, as the key sends it.
        const unsigned char rom[] = {0x04, 0x00, 0xe1, 0xa5, 0xc0, 0xff, 0xee, 0xef};
        clean[8 + i] = (rom[i / 8] >> (i % 8)) & 1 ? 0xFF : 0xF0;
    }
    ASSERT_EQ(line.Reset(), Bytes{kPresenceEcho});
    ASSERT_EQ(line.ReadRom(), clean);

    // One 0x00 after slot 44 (bit 3 of ROM byte 4): every echo after it
    // one place later.
    CtlOk({"fault", "stray", "1", "00"});
    EXPECT_EQ(Faults(), "faults stray 1 00 44");
    Bytes want(clean.begin(), clean.begin() + 44);
    want.push_back(0x00);
    want.insert(want.end(), clean.begin() + 44, clean.end());
    ASSERT_EQ(line.Reset(), Bytes{kPresenceEcho});
    EXPECT_EQ(line.ReadRom(), want);
    EXPECT_EQ(Faults(), "faults none");
    ASSERT_EQ(line.Reset(), Bytes{kPresenceEcho});
    EXPECT_EQ(line.ReadRom(), clean);

    // Three 0x55 right after the command (slot 8).
    CtlOk({"fault", "stray", "3", "55", "8"});
    want.assign(clean.begin(), clean.begin() + 8);
    want.insert(want.end(), 3, 0x55);
    want.insert(want.end(), clean.begin() + 8, clean.end());
    ASSERT_EQ(line.Reset(), Bytes{kPresenceEcho});
    EXPECT_EQ(line.ReadRom(), want);

    // A flood of 65536 junk bytes: all of them come, and the echoes after.
    const size_t flood = 65536;
    CtlOk({"fault", "flood", std::to_string(flood)});
    ASSERT_EQ(line.Reset(), Bytes{kPresenceEcho});
    Bytes got = line.ReadRom();
    ASSERT_EQ(got.size(), clean.size() + flood);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 44), Bytes(clean.begin(), clean.begin() + 44));
    EXPECT_EQ(Bytes(got.end() - 28, got.end()), Bytes(clean.begin() + 44, clean.end()));
    std::string show = CtlOk({"show"});
    EXPECT_NE(show.find(" injected " + std::to_string(1 + 3 + flood) + "\n"), std::string::npos)
        << show;
}

TEST_F(FarEndFaultTest, SurplusFollowsEveryChunk) {
    Start();
    RawLine line;
    ASSERT_TRUE(line.Open(m_slave));
    CtlOk({"fault", "surplus"});
    EXPECT_EQ(line.Reset(), (Bytes{kPresenceEcho, kPresenceEcho}));
    // One slot at a time: each chunk is one byte, each echo comes twice.
    for (unsigned char b : RawLine::Slots(kReadRom)) {
        ASSERT_TRUE(line.Send({b}));
        EXPECT_EQ(line.Collect(2), (Bytes{b, b}));
    }
    CtlOk({"fault", "surplus", "a5"});
    EXPECT_EQ(Faults(), "faults surplus a5");
    EXPECT_EQ(line.Reset(), (Bytes{kPresenceEcho, 0xA5}));
}

TEST_F(FarEndFaultTest, IdleBytesComeUnasked) {
    Start();
    RawLine line;
    ASSERT_TRUE(line.Open(m_slave));
    CtlOk({"fault", "idle", "5", "55"});
    EXPECT_EQ(line.Collect(5), Bytes(5, 0x55));
    // Sent at once and gone: nothing is left on.
    EXPECT_EQ(Faults(), "faults none");
    EXPECT_EQ(line.Reset(), Bytes{kPresenceEcho});
}

TEST_F(FarEndFaultTest, LateEchoesKeepTheirOrderAfterClear) {
    Start();
    RawLine line;
    ASSERT_TRUE(line.Open(m_slave));
    const int lateMs = 300;
    CtlOk({"fault", "late", std::to_string(lateMs)});
    Clock::time_point t0 = Clock::now();
    ASSERT_TRUE(line.Send({0x00}));
    // Cleared while the first echo is held: the second, not late itself,
    // still comes after it.
    CtlOk({"clear"});
    ASSERT_TRUE(line.Send({0xFF}));
    EXPECT_EQ(line.Collect(2), (Bytes{0x00, 0xFF}));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(lateMs));
}

TEST_F(FarEndFaultTest, NoiseIsTheSameForTheSameSeed) {
    Start();
    RawLine line;
    ASSERT_TRUE(line.Open(m_slave));
    auto noisy = [&](const std::string &seed) {
        CtlOk({"fault", "noise", seed, "16"});
        Bytes out = line.Reset();
        Bytes rom = line.ReadRom();
        out.insert(out.end(), rom.begin(), rom.end());
        CtlOk({"clear"});
        return out;
    };
    Bytes a = noisy("7");
    // 73 echo bytes, one noise byte after every 1 to 32 of them.
    EXPECT_GE(a.size(), 73u + 2);
    EXPECT_EQ(noisy("7"), a);
    EXPECT_NE(noisy("8"), a);
}

TEST_F(FarEndFaultTest, FaultCommandsRefuseWhatMakesNoSense) {
    Start();
    struct Case {
        std::vector<std::string> words;
        std::string err;
    };
    const Case cases[] = {
        {{"fault", "meltdown"},
         "unknown fault 'meltdown' (silent, crc, short, stray, flood, surplus, idle, reset, slot, "
         "late, noise)"},
        {{"fault", "stray", "1"}, "usage: fault stray N BYTE [SLOT]"},
        {{"fault", "stray", "0", "00"}, "bad count '0' (1 to 1048576)"},
        {{"fault", "stray", "1", "100"}, "bad byte '100' (hex 0 to 255)"},
        {{"fault", "stray", "1", "0x"}, "bad byte '0x' (hex 0 to 255)"},
        {{"fault", "stray", "1", "00", "0"}, "bad slot '0' (1 to 1048576)"},
        {{"fault", "flood", "-5"}, "bad count '-5' (1 to 1048576)"},
        {{"fault", "silent", "now"}, "usage: fault silent"},
        {{"fault", "reset"}, "usage: fault reset BYTE"},
        {{"fault", "slot", "5g"}, "bad byte '5g' (hex 0 to 255)"},
        {{"fault", "late", "0"}, "bad delay '0' (1 to 60000)"},
        {{"fault", "noise", "4294967296"}, "bad seed '4294967296' (0 to 4294967295)"},
        {{"fault", "noise", "1", "+3"}, "bad gap '+3' (1 to 1048576)"},
        {{"fault", "idle", "2", "00", "9"}, "usage: fault idle N BYTE"},
        {{"fault"}, "usage: fault NAME [ARGS]"},
    };
    for (const Case &c : cases) {
        RunResult r = Ctl(c.words);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, "tmfarend ctl: error: " + c.err + "\n");
    }
    EXPECT_EQ(Faults(), "faults none");
}

TEST_F(FarEndFaultTest, IdOnlyKeyHasNoMemoryUnlessGivenOne) {
    Start({"--rom", kRomIdOnly});
    std::string show = CtlOk({"show"});
    EXPECT_EQ(show.rfind("key " + kRomIdOnly + "\nmemory 0\n", 0), 0u) << show;
    EXPECT_EQ(CtlOk({"dump"}), "\n");

    tm_bus bus{};
    ASSERT_EQ(tty_adapter_open(&bus, m_slave.c_str(), kKeyMemory), 0);
    unsigned char rom[TM_CORE_ROM_SIZE] = {};
    ASSERT_EQ(tm_core_read_rom(&bus, rom), 0);
    EXPECT_EQ(Hex(Bytes(rom, rom + sizeof(rom))), kRomIdOnly);
    // Read Memory gets no answer: ones, however far in.
    unsigned char buf[16];
    ASSERT_EQ(tm_core_read(&bus, 0, buf, sizeof(buf)), static_cast<int>(sizeof(buf)));
    EXPECT_EQ(Bytes(buf, buf + sizeof(buf)), Bytes(sizeof(buf), 0xFF));
    // Nor does the scratchpad: its read-back is ones, the write fails.
    const unsigned char data[] = {1, 2, 3};
    EXPECT_EQ(tm_core_write(&bus, 0, data, sizeof(data)), -EIO);
    // The memory's other keys still have it: swapped in, family 0x04 reads
    // the greeting, and the ID-only key back again reads nothing.
    CtlOk({"swap", kRomDefault});
    ASSERT_EQ(tm_core_read(&bus, 0, buf, 5), 5);
    EXPECT_EQ(std::string(buf, buf + 5), "touch");
    CtlOk({"swap", kRomIdOnly});
    ASSERT_EQ(tm_core_read(&bus, 0, buf, 5), 5);
    EXPECT_EQ(Bytes(buf, buf + 5), Bytes(5, 0xFF));
}

TEST_F(FarEndFaultTest, MemoryGivenOverridesTheIdOnlyFamily) {
    Start({"--rom", kRomIdOnly, "--memory", "64"});
    std::string show = CtlOk({"show"});
    EXPECT_EQ(show.rfind("key " + kRomIdOnly + "\nmemory 64\n", 0), 0u) << show;
    tm_bus bus{};
    ASSERT_EQ(tty_adapter_open(&bus, m_slave.c_str(), 64), 0);
    unsigned char buf[5];
    ASSERT_EQ(tm_core_read(&bus, 0, buf, sizeof(buf)), 5);
    EXPECT_EQ(std::string(buf, buf + 5), "touch");
    const unsigned char data[] = {1, 2, 3};
    EXPECT_EQ(tm_core_write(&bus, 60, data, sizeof(data)), 3);
    EXPECT_EQ(CtlOk({"dump"}).substr(120), "01020300\n");
}

} // namespace
