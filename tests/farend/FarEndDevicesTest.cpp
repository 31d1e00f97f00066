// SPDX-License-Identifier: GPL-2.0-or-later
// Several devices on the far end's line (a thermometer, an EEPROM, ID-only
// keys beside the memory key), wired-AND at the slot level, driven by the
// driver's batched slots and Search ROM (driver/tm_slots.c) over the
// pseudo-terminal: the search finds exactly the devices there, Match ROM
// reaches each one alone, and a far end that misbehaves during a search
// never makes a device appear.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FarEndFixture.h"
#include "TestSupport.h"
#include "tty_adapter.h"

extern "C" {
#include "tm_slots.h"
}

using namespace vorn_test;

namespace {

constexpr unsigned kKeyMemory = 512;
const std::string kKey = "0400e1a5c0ffeeef";
const std::string kTherm = "28a1b2c3d4e5f6ac";
const std::string kEeprom = "2d0102030405a6f8";
const std::string kIdKey = "01aabbccddee0144";
const std::string kIdKey2 = "0133445566778f47";
constexpr size_t kFoundMax = 16;
constexpr unsigned char kConvert = 0x44;
constexpr unsigned char kReadScratchT = 0xBE;
constexpr unsigned kThermScratch = 9;
constexpr unsigned kConvMs = 20;
constexpr unsigned char kEeWrite = 0x0F, kEeReadScratch = 0xAA, kEeCopy = 0x55, kEeRead = 0xF0;
constexpr unsigned kEeRow = 8;
constexpr unsigned kEeSize = 128;
// Noisy far ends tried during searches.
constexpr unsigned kNoiseSeeds = 12;

std::string RomHex(unsigned long long rom) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < TM_CORE_ROM_SIZE; i++) {
        unsigned b = (rom >> (8 * i)) & 0xFF;
        s += digits[b >> 4];
        s += digits[b & 0xF];
    }
    return s;
}

std::array<unsigned char, TM_CORE_ROM_SIZE> RomBytes(const std::string &hex) {
    std::array<unsigned char, TM_CORE_ROM_SIZE> b{};
    for (size_t i = 0; i < b.size(); i++)
        b[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return b;
}

class FarEndDevicesTest : public FarEndFixture {
  protected:
    void Start() {
        ASSERT_NO_FATAL_FAILURE(StartFarEnd({"--rom", kKey}));
        ASSERT_EQ(tty_adapter_open(&m_bus, m_slave.c_str(), kKeyMemory), 0) << m_slave;
    }

    // The ROMs a search found, sorted, or "error N".
    std::vector<std::string> Search() {
        unsigned long long found[kFoundMax] = {};
        int n = tm_search(&m_bus, TM_CMD_SEARCH_ROM, found, kFoundMax);
        if (n < 0)
            return {"error " + std::to_string(n)};
        std::vector<std::string> roms;
        for (int i = 0; i < n; i++)
            roms.push_back(RomHex(found[i]));
        std::sort(roms.begin(), roms.end());
        return roms;
    }

    // Reset and Match ROM: only the device with rom listens from here.
    int Match(const std::string &rom) {
        std::array<unsigned char, 1 + TM_CORE_ROM_SIZE> cmd{};
        cmd[0] = TM_CMD_MATCH_ROM;
        auto b = RomBytes(rom);
        std::copy(b.begin(), b.end(), cmd.begin() + 1);
        int r = tm_core_presence(&m_bus);
        return r ? r : tm_slots_write(&m_bus, cmd.data(), cmd.size());
    }

    int Send(std::vector<unsigned char> bytes) {
        return tm_slots_write(&m_bus, bytes.data(), static_cast<unsigned>(bytes.size()));
    }

    // The thermometer's scratchpad after a conversion, or an empty one.
    std::vector<unsigned char> Convert(const std::string &rom) {
        std::vector<unsigned char> pad(kThermScratch);
        if (Match(rom) || Send({kConvert}))
            return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * kConvMs));
        if (Match(rom) || Send({kReadScratchT}) || tm_slots_read(&m_bus, pad.data(), kThermScratch))
            return {};
        return pad;
    }

    tm_bus m_bus{};
};

TEST_F(FarEndDevicesTest, SearchFindsExactlyTheDevicesThereAsTheyComeAndGo) {
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(Search(), std::vector<std::string>({kKey}));
    for (const std::string &rom : {kTherm, kEeprom, kIdKey})
        CtlOk({"device", "add", rom});
    std::vector<std::string> all = {kIdKey, kKey, kTherm, kEeprom};
    std::sort(all.begin(), all.end());
    EXPECT_EQ(Search(), all);
    // The merged Read ROM is no device's: its CRC says so.
    std::array<unsigned char, TM_CORE_ROM_SIZE> rom{};
    EXPECT_EQ(tm_core_read_rom(&m_bus, rom.data()), -EIO);

    CtlOk({"remove"});
    CtlOk({"device", "drop", kEeprom});
    EXPECT_EQ(Search(), std::vector<std::string>({kIdKey, kTherm}));
    CtlOk({"device", "drop", kTherm});
    CtlOk({"device", "drop", kIdKey});
    EXPECT_EQ(Search(), std::vector<std::string>());
    // A device the far end has no model for, or a bad CRC, is refused.
    EXPECT_NE(Ctl({"device", "add", "0400e1a5c0ffeeee"}).status, 0);
    EXPECT_NE(Ctl({"device", "add", "1a00000000000000"}).status, 0);
}

TEST_F(FarEndDevicesTest, ACachedSearchNoticesEveryDeviceMoreOrLess) {
    ASSERT_NO_FATAL_FAILURE(Start());
    CtlOk({"device", "add", kTherm});
    CtlOk({"device", "add", kIdKey});
    unsigned long long found[kFoundMax] = {};
    int n = tm_search(&m_bus, TM_CMD_SEARCH_ROM, found, kFoundMax);
    ASSERT_EQ(n, 3);
    unsigned known = static_cast<unsigned>(n);
    EXPECT_EQ(tm_search_known(&m_bus, TM_CMD_SEARCH_ROM, found, known), 0);
    // One more, sharing the ID-only key's family (its first branch).
    CtlOk({"device", "add", kIdKey2});
    EXPECT_EQ(tm_search_known(&m_bus, TM_CMD_SEARCH_ROM, found, known), 1);
    n = tm_search_cached(&m_bus, TM_CMD_SEARCH_ROM, found, kFoundMax, known);
    ASSERT_EQ(n, 4);
    known = static_cast<unsigned>(n);
    EXPECT_EQ(tm_search_cached(&m_bus, TM_CMD_SEARCH_ROM, found, kFoundMax, known), 4);
    // One less: the key leaves.
    CtlOk({"remove"});
    EXPECT_EQ(tm_search_known(&m_bus, TM_CMD_SEARCH_ROM, found, known), 1);
    n = tm_search_cached(&m_bus, TM_CMD_SEARCH_ROM, found, kFoundMax, known);
    ASSERT_EQ(n, 3);
    std::vector<std::string> roms;
    for (int i = 0; i < n; i++)
        roms.push_back(RomHex(found[i]));
    std::sort(roms.begin(), roms.end());
    EXPECT_EQ(roms, std::vector<std::string>({kIdKey2, kIdKey, kTherm}));
    // Swapped for another with the same count: still noticed.
    CtlOk({"device", "drop", kIdKey2});
    CtlOk({"attach", kKey});
    EXPECT_EQ(tm_search_known(&m_bus, TM_CMD_SEARCH_ROM, found, 3), 1);
}

TEST_F(FarEndDevicesTest, MatchRomReachesTheThermometerAloneWithItsTemperature) {
    ASSERT_NO_FATAL_FAILURE(Start());
    CtlOk({"device", "add", kTherm});
    CtlOk({"device", "add", kIdKey});
    CtlOk({"device", "convtime", kTherm, std::to_string(kConvMs)});
    struct Case {
        const char *celsius;
        unsigned raw;
    } cases[] = {{"21.5", 0x0158}, {"-10.125", 0xFF5E}, {"0", 0x0000}, {"-55", 0xFC90}};
    for (const Case &c : cases) {
        CtlOk({"device", "temp", kTherm, c.celsius});
        std::vector<unsigned char> pad = Convert(kTherm);
        ASSERT_EQ(pad.size(), kThermScratch) << c.celsius;
        unsigned char crc[kThermScratch];
        std::copy(pad.begin(), pad.end(), crc);
        EXPECT_EQ(CalcTMCrc(crc, kThermScratch), 0) << c.celsius;
        EXPECT_EQ(pad[0] | pad[1] << 8, static_cast<int>(c.raw)) << c.celsius;
    }
    // The memory key, matched, answers its own memory command alone.
    unsigned char mem[8] = {};
    ASSERT_EQ(Match(kKey), 0);
    ASSERT_EQ(Send({TM_CMD_READ_MEM, 0, 0}), 0);
    ASSERT_EQ(tm_slots_read(&m_bus, mem, sizeof(mem)), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(mem), sizeof(mem)), "touch-me");
    // A ROM nobody has selects nobody: read slots come back ones.
    ASSERT_EQ(Match(kIdKey2), 0);
    ASSERT_EQ(Send({kReadScratchT}), 0);
    ASSERT_EQ(tm_slots_read(&m_bus, mem, sizeof(mem)), 0);
    for (unsigned char b : mem)
        EXPECT_EQ(b, 0xFF);
}

TEST_F(FarEndDevicesTest, WritesSentAheadAreJudgedWithTheReadBehindThem) {
    ASSERT_NO_FATAL_FAILURE(Start());
    CtlOk({"device", "add", kTherm});
    CtlOk({"device", "convtime", kTherm, std::to_string(kConvMs)});
    CtlOk({"device", "temp", kTherm, "21.5"});
    tm_slots_ahead ahead{};
    std::array<unsigned char, 1 + TM_CORE_ROM_SIZE> match{};
    match[0] = TM_CMD_MATCH_ROM;
    auto therm = RomBytes(kTherm);
    std::copy(therm.begin(), therm.end(), match.begin() + 1);
    const unsigned char convert = kConvert, readPad = kReadScratchT;
    auto matchAhead = [&](unsigned char cmd) {
        ASSERT_EQ(tm_core_presence(&m_bus), 0);
        ASSERT_EQ(tm_slots_write_ahead(&m_bus, &ahead, match.data(), match.size()), 0);
        ASSERT_EQ(tm_slots_write_ahead(&m_bus, &ahead, &cmd, 1), 0);
        EXPECT_EQ(ahead.n, (match.size() + 1) * VELKOR_BITS_PER_BYTE);
    };
    // While it converts the thermometer holds every 1 slot low: a write of
    // ones behind the command collides, and neither the read behind it nor
    // a collect passes that for the write sent.
    const unsigned char ones = 0xFF;
    unsigned char byte = 0;
    unsigned long before = m_bus.impossible;
    ASSERT_NO_FATAL_FAILURE(matchAhead(convert));
    ASSERT_EQ(tm_slots_write_ahead(&m_bus, &ahead, &ones, 1), 0);
    EXPECT_EQ(tm_slots_read_after(&m_bus, &ahead, &byte, 1), -EIO);
    EXPECT_GT(m_bus.impossible, before);
    before = m_bus.impossible;
    ASSERT_NO_FATAL_FAILURE(matchAhead(convert));
    ASSERT_EQ(tm_slots_write_ahead(&m_bus, &ahead, &ones, 1), 0);
    EXPECT_EQ(tm_slots_collect(&m_bus, &ahead), -EIO);
    EXPECT_GT(m_bus.impossible, before);
    // A conversion: its command's echoes collected with nothing read.
    ASSERT_NO_FATAL_FAILURE(matchAhead(convert));
    ASSERT_EQ(tm_slots_collect(&m_bus, &ahead), 0);
    EXPECT_EQ(ahead.n, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * kConvMs));
    // Its scratchpad read right behind Match ROM and the command.
    std::array<unsigned char, kThermScratch> pad{};
    ASSERT_NO_FATAL_FAILURE(matchAhead(readPad));
    ASSERT_EQ(tm_slots_read_after(&m_bus, &ahead, pad.data(), pad.size()), 0);
    EXPECT_EQ(ahead.n, 0u);
    EXPECT_EQ(pad[0] | pad[1] << 8, 0x0158);
    // The check works in place: on a copy.
    std::array<unsigned char, kThermScratch> crc = pad;
    EXPECT_EQ(CalcTMCrc(crc.data(), kThermScratch), 0);

    // More than one batch ahead: the first is collected to make room.
    std::vector<unsigned char> zeros(40, 0);
    ASSERT_EQ(tm_core_presence(&m_bus), 0);
    ASSERT_EQ(tm_slots_write_ahead(&m_bus, &ahead, match.data(), match.size()), 0);
    ASSERT_EQ(tm_slots_write_ahead(&m_bus, &ahead, zeros.data(), zeros.size()), 0);
    EXPECT_LE(ahead.n, static_cast<unsigned>(TM_CORE_SLOTS_IN_FLIGHT));
    ASSERT_EQ(tm_slots_collect(&m_bus, &ahead), 0);

    // A stray byte among the writes' echoes fails the read behind them:
    // nothing it brought is handed out, and the line is clean after it.
    before = m_bus.impossible;
    CtlOk({"fault", "stray", "1", "0", "5"});
    ASSERT_NO_FATAL_FAILURE(matchAhead(readPad));
    pad.fill(0);
    EXPECT_EQ(tm_slots_read_after(&m_bus, &ahead, pad.data(), pad.size()), -EIO);
    EXPECT_EQ(ahead.n, 0u);
    EXPECT_GT(m_bus.impossible, before);
    CtlOk({"clear"});
    std::vector<unsigned char> again = Convert(kTherm);
    ASSERT_EQ(again.size(), kThermScratch);
    EXPECT_EQ(again[0] | again[1] << 8, 0x0158);
}

TEST_F(FarEndDevicesTest, TheEepromWritesThroughItsScratchpadAndReadsBack) {
    ASSERT_NO_FATAL_FAILURE(Start());
    CtlOk({"device", "add", kEeprom});
    const unsigned addr = 0x48;
    std::vector<unsigned char> data = {'e', 'e', 'p', 'r', 'o', 'm', '!', '\n'};
    std::vector<unsigned char> cmd = {kEeWrite, addr, 0};
    cmd.insert(cmd.end(), data.begin(), data.end());
    ASSERT_EQ(Match(kEeprom), 0);
    ASSERT_EQ(Send(cmd), 0);
    unsigned char back[3 + kEeRow] = {};
    ASSERT_EQ(Match(kEeprom), 0);
    ASSERT_EQ(Send({kEeReadScratch}), 0);
    ASSERT_EQ(tm_slots_read(&m_bus, back, sizeof(back)), 0);
    EXPECT_EQ(back[0], addr);
    EXPECT_EQ(back[1], 0);
    EXPECT_EQ(back[2], kEeRow - 1);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back + 3));
    // Copy with the authorisation the scratchpad gave.
    ASSERT_EQ(Match(kEeprom), 0);
    ASSERT_EQ(Send({kEeCopy, addr, 0, static_cast<unsigned char>(kEeRow - 1)}), 0);
    unsigned char mem[kEeSize] = {};
    ASSERT_EQ(Match(kEeprom), 0);
    ASSERT_EQ(Send({kEeRead, 0, 0}), 0);
    ASSERT_EQ(tm_slots_read(&m_bus, mem, sizeof(mem)), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), mem + addr));
    std::string dump = CtlOk({"device", "eeprom", kEeprom});
    EXPECT_NE(dump.find("656570726f6d210a"), std::string::npos) << dump;
    // A wrong authorisation copies nothing.
    cmd[3] = 'X';
    ASSERT_EQ(Match(kEeprom), 0);
    ASSERT_EQ(Send(cmd), 0);
    ASSERT_EQ(Match(kEeprom), 0);
    ASSERT_EQ(Send({kEeCopy, addr, 0, 0}), 0);
    ASSERT_EQ(Match(kEeprom), 0);
    ASSERT_EQ(Send({kEeRead, addr, 0}), 0);
    ASSERT_EQ(tm_slots_read(&m_bus, mem, kEeRow), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), mem));
}

TEST_F(FarEndDevicesTest, ANoisyFarEndDuringASearchMakesNoDeviceAppear) {
    ASSERT_NO_FATAL_FAILURE(Start());
    CtlOk({"device", "add", kTherm});
    CtlOk({"device", "add", kIdKey});
    std::vector<std::string> real = {kIdKey, kKey, kTherm};
    std::sort(real.begin(), real.end());
    unsigned failed = 0;
    for (unsigned seed = 1; seed <= kNoiseSeeds; seed++) {
        CtlOk({"fault", "noise", std::to_string(seed), "40"});
        std::vector<std::string> got = Search();
        CtlOk({"clear"});
        if (got.size() == 1 && got[0].rfind("error", 0) == 0) {
            failed++;
            continue;
        }
        for (const std::string &rom : got)
            EXPECT_TRUE(std::find(real.begin(), real.end(), rom) != real.end())
                << "seed " << seed << " made " << rom << " appear";
    }
    // The noise did reach the searches.
    EXPECT_GT(failed, 0u);
    EXPECT_EQ(Search(), real);
    // A device whose ROM carries a wrong CRC-8 fails the search: it is no
    // device's ROM, and the search's other answers cannot be trusted.
    CtlOk({"fault", "crc"});
    std::vector<std::string> bad = Search();
    CtlOk({"clear"});
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].rfind("error", 0), 0u) << bad[0];
}

} // namespace
