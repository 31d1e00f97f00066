// SPDX-License-Identifier: GPL-2.0-or-later
// The key model and the state file of the stand-in, in process.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "SimConfig.h"
#include "SimKey.h"
#include "TestSupport.h"

using namespace vorn_test;

namespace {

std::string RomText(const uint8_t *rom) {
    std::array<char, TMSIM_ROM_TEXT_SIZE> text{};
    tmsim_rom_format(rom, text.data());
    return text.data();
}

std::string ParseError(const std::string &text) {
    static struct tmsim_config cfg;
    std::array<char, TMSIM_ERR_MAX> err{};
    if (tmsim_config_parse(text.data(), text.size(), &cfg, err.data(), err.size()))
        return "";
    return err.data();
}

} // namespace

TEST(TmSimKey, Crc8MatchesDallasCheckValues) {
    const std::string check = "123456789";
    EXPECT_EQ(tmsim_crc8(reinterpret_cast<const uint8_t *>(check.data()), check.size()), 0xA1);
    // The worked example of the 1-Wire CRC: family 02, serial 0000 0001B81C.
    const uint8_t rom[] = {0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2};
    EXPECT_EQ(tmsim_crc8(rom, 7), 0xA2);
    EXPECT_EQ(tmsim_crc8(rom, 8), 0x00); // a whole valid ROM checks to zero
}

TEST(TmSimKey, RomIsFamilySerialLeastSignificantFirstThenCrc) {
    uint8_t rom[TM_ROM_SIZE];
    tmsim_rom_build(0x02, 0x000001B81Cull, rom);
    EXPECT_EQ(RomText(rom), "021cb801000000a2");
    tmsim_rom_build(TMSIM_DEFAULT_FAMILY, TMSIM_DEFAULT_SERIAL, rom);
    EXPECT_EQ(RomText(rom), "04efbeadde0000cd");
    EXPECT_EQ(tmsim_crc8(rom, TM_ROM_SIZE), 0);
}

// The driver's family table: the memory each family gets when no size is
// given, and the ID-only family that has none.
TEST(TmSimKey, FamilyMemoryIsTheDriversTable) {
    struct Case {
        uint8_t family;
        uint32_t size;
        int hasMemory;
    } cases[] = {
        {0x04, 512, 1}, {0x06, 512, 1}, {0x08, 128, 1}, {0x0A, 2048, 1}, {0x0C, 8192, 1},
        {0x01, 0, 0},   {0x02, 0, 1},   {0x05, 0, 1},   {0x0F, 0, 1},    {0xFF, 0, 1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(tmsim_family_memory_size(c.family), c.size) << int(c.family);
        EXPECT_EQ(tmsim_family_has_memory(c.family), c.hasMemory) << int(c.family);
    }
    EXPECT_EQ(tmsim_family_memory_size(TMSIM_DEFAULT_FAMILY), 512u);
}

#ifdef TMSIM_TEST_DRIVER_TABLE
// The driver's own table (its transaction core, as the line-level backend
// links it): the two may not drift apart for any family.
extern "C" unsigned int tm_core_family_mem_size(unsigned char family);

TEST(TmSimKey, FamilyMemoryAgreesWithTheDriverForEveryFamily) {
    for (unsigned family = 0; family <= 0xFF; ++family) {
        EXPECT_EQ(tmsim_family_memory_size(static_cast<uint8_t>(family)),
                  tm_core_family_mem_size(static_cast<unsigned char>(family)))
            << "family " << family;
    }
}
#endif

TEST(TmSimKey, HexAndRomParsing) {
    struct Case {
        const char *text;
        size_t maxDigits;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"08", 2, true, 0x08},
        {"0x1f", 2, true, 0x1F},
        {"DEADBEEF", 12, true, 0xDEADBEEF},
        {"", 2, false, 0},
        {"123", 2, false, 0},
        {"zz", 2, false, 0},
        {"0x", 2, false, 0},
        {"1234567890123", 12, false, 0},
    };
    for (const Case &c : cases) {
        uint64_t v = 0;
        EXPECT_EQ(tmsim_hex_parse(c.text, c.maxDigits, &v) == 1, c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    uint8_t rom[TM_ROM_SIZE] = {};
    EXPECT_EQ(tmsim_rom_parse("0102030405060708", rom), 1);
    EXPECT_EQ(RomText(rom), "0102030405060708");
    EXPECT_EQ(tmsim_rom_parse("A1B2C3D4E5F60718", rom), 1);
    EXPECT_EQ(RomText(rom), "a1b2c3d4e5f60718");
    for (const char *bad : {"010203040506070", "01020304050607080", "01020304050607xx", ""}) {
        EXPECT_EQ(tmsim_rom_parse(bad, rom), 0) << bad;
        EXPECT_EQ(RomText(rom), "a1b2c3d4e5f60718") << "untouched after " << bad;
    }
}

TEST(TmSimConfig, FormatThenParseGivesTheSameState) {
    static struct tmsim_config a, b;
    tmsim_config_defaults(&a);
    a.device_present = 0;
    a.device_errno = EBUSY;
    a.device_generation = 7;
    a.key_present = 0;
    tmsim_rom_parse("0102030405060708", a.rom);
    a.memory_size_set = 1;
    a.memory_size = 64;
    a.faults = TMSIM_FAULT_ROM | TMSIM_FAULT_WRITE;
    a.short_read = 3;
    a.vanish_after = 0;
    a.clock = TMSIM_CLOCK_ALLOW;
    a.rtc = TMSIM_RTC_REFUSE;
    std::strcpy(a.log_path, "/tmp/some dir/log=1");
    std::strcpy(a.trace_path, "/tmp/trace");
    std::array<char, TMSIM_CONFIG_TEXT_MAX> text{};
    int len = tmsim_config_format(&a, text.data(), text.size());
    ASSERT_GT(len, 0);
    std::array<char, TMSIM_ERR_MAX> err{};
    ASSERT_EQ(tmsim_config_parse(text.data(), static_cast<size_t>(len), &b, err.data(), err.size()),
              1)
        << err.data();
    EXPECT_EQ(b.device_present, 0);
    EXPECT_EQ(b.device_errno, EBUSY);
    EXPECT_EQ(b.device_generation, 7u);
    EXPECT_EQ(b.key_present, 0);
    EXPECT_EQ(RomText(b.rom), "0102030405060708");
    EXPECT_EQ(b.memory_size_set, 1);
    EXPECT_EQ(b.memory_size, 64u);
    EXPECT_EQ(b.faults, a.faults);
    EXPECT_EQ(b.short_read, 3);
    EXPECT_EQ(b.short_write, TMSIM_COUNT_OFF);
    EXPECT_EQ(b.vanish_after, 0);
    EXPECT_EQ(b.clock, TMSIM_CLOCK_ALLOW);
    EXPECT_EQ(b.rtc, TMSIM_RTC_REFUSE);
    EXPECT_STREQ(b.log_path, "/tmp/some dir/log=1");
    EXPECT_STREQ(b.trace_path, "/tmp/trace");
    // A buffer too small is refused, not overrun.
    EXPECT_EQ(tmsim_config_format(&a, text.data(), 40), -1);
}

TEST(TmSimConfig, MalformedStateNamesTheLine) {
    struct Case {
        std::string text;
        std::string error;
    } cases[] = {
        {"# comment\n\nkey=present\n", ""},
        {"key=present\r\nrom=0102030405060708\r\n", ""},
        {"key=present\ncolour=blue\n", "line 2: unknown setting 'colour'"},
        {"key=maybe\n", "line 1: bad value for key: 'maybe'"},
        {"rom=0102\n", "line 1: bad value for rom: '0102'"},
        {"memory-size=99999999999\n", "line 1: bad value for memory-size: '99999999999'"},
        {"memory-size=-1\n", "line 1: bad value for memory-size: '-1'"},
        {"device-errno=EWHAT\n", "line 1: bad value for device-errno: 'EWHAT'"},
        {"fault=sometimes\n", "line 1: unknown fault 'sometimes'"},
        {"log=relative/path\n", "line 1: bad value for log: 'relative/path'"},
        {"just words\n", "line 1: expected key=value, got 'just words'"},
        {"=x\n", "line 1: expected key=value, got '=x'"},
        {std::string("log=/") + std::string(TMSIM_PATH_MAX + 64, 'a') + "\n", "line 1: too long"},
    };
    for (const Case &c : cases) {
        std::string err = ParseError(c.text);
        if (c.error.empty())
            EXPECT_EQ(err, "") << c.text;
        else
            EXPECT_EQ(err.substr(0, c.error.size()), c.error) << c.text;
    }
}

TEST(TmSimConfig, FaultSwitches) {
    struct Case {
        const char *text;
        const char *error; // "" when accepted
    } cases[] = {
        {"presence", ""},
        {"short-read=0", ""},
        {"vanish-after=12", ""},
        {"read=1", "fault 'read' takes no value"},
        {"short-write", "fault 'short-write' needs a count"},
        {"short-write=", "fault 'short-write' needs a count"},
        {"short-write=-2", "fault 'short-write' needs a count"},
        {"vanish-after=x", "fault 'vanish-after' needs a count"},
        {"melt", "unknown fault 'melt' (known: presence, rom,"},
    };
    for (const Case &c : cases) {
        static struct tmsim_config cfg;
        tmsim_config_defaults(&cfg);
        std::array<char, TMSIM_ERR_MAX> err{};
        int ok = tmsim_fault_apply(&cfg, c.text, err.data(), err.size());
        EXPECT_EQ(ok == 1, c.error[0] == '\0') << c.text;
        EXPECT_EQ(std::string(err.data()).substr(0, std::strlen(c.error)), c.error) << c.text;
    }
    static struct tmsim_config cfg;
    tmsim_config_defaults(&cfg);
    std::array<char, TMSIM_ERR_MAX> err{};
    ASSERT_EQ(tmsim_fault_apply(&cfg, "skip", err.data(), err.size()), 1);
    ASSERT_EQ(tmsim_fault_apply(&cfg, "short-read=5", err.data(), err.size()), 1);
    EXPECT_EQ(cfg.faults, static_cast<unsigned>(TMSIM_FAULT_SKIP));
    EXPECT_EQ(cfg.short_read, 5);
    tmsim_faults_clear(&cfg);
    EXPECT_EQ(cfg.faults, 0u);
    EXPECT_EQ(cfg.short_read, TMSIM_COUNT_OFF);
}

TEST(TmSimConfig, ErrnoNamesAndNumbers) {
    int e = 0;
    EXPECT_EQ(tmsim_errno_parse("EACCES", &e), 1);
    EXPECT_EQ(e, EACCES);
    EXPECT_EQ(tmsim_errno_parse("16", &e), 1);
    EXPECT_EQ(e, 16);
    EXPECT_EQ(tmsim_errno_parse("0", &e), 0);
    EXPECT_EQ(tmsim_errno_parse("4096", &e), 0);
    EXPECT_EQ(tmsim_errno_parse("eacces", &e), 0);
    EXPECT_STREQ(tmsim_errno_name(EBUSY), "EBUSY");
}

// Without --memory-size the memory follows the ROM's family, whatever ROM
// the state holds now; a size given holds for any key, the ID-only one too.
TEST(TmSimConfig, KeyMemoryFollowsTheFamilyUnlessASizeIsGiven) {
    struct Case {
        const char *text;
        int hasMemory;
        uint32_t size;
    } cases[] = {
        {"", 1, 512}, // the default key, family 04
        {"rom=0102030405060708\n", 0, 0},
        {"rom=0102030405060708\nmemory-size=64\n", 1, 64},
        {"rom=0102030405060708\nmemory-size=0\n", 1, 0},
        {"rom=08efbeadde0000c8\n", 1, 128},
        {"rom=0a00000000000000\n", 1, 2048},
        {"rom=0c00000000000000\n", 1, 8192},
        {"rom=1122334455667788\n", 1, 0},
        {"memory-size=64\nmemory-size=family\nrom=0600000000000000\n", 1, 512},
    };
    for (const Case &c : cases) {
        static struct tmsim_config cfg;
        std::array<char, TMSIM_ERR_MAX> err{};
        ASSERT_EQ(tmsim_config_parse(c.text, std::strlen(c.text), &cfg, err.data(), err.size()), 1)
            << err.data();
        uint32_t size = 12345;
        EXPECT_EQ(tmsim_config_memory(&cfg, &size), c.hasMemory) << c.text;
        EXPECT_EQ(size, c.size) << c.text;
    }
    EXPECT_EQ(ParseError("memory-size=auto\n"), "line 1: bad value for memory-size: 'auto'");
}

TEST(TmSimConfig, MemorySizeIsWrittenAsGivenOrAsFamily) {
    static struct tmsim_config cfg;
    tmsim_config_defaults(&cfg);
    std::array<char, TMSIM_CONFIG_TEXT_MAX> text{};
    ASSERT_GT(tmsim_config_format(&cfg, text.data(), text.size()), 0);
    EXPECT_NE(std::string(text.data()).find("\nmemory-size=family\n"), std::string::npos);
    cfg.memory_size_set = 1;
    cfg.memory_size = 0;
    ASSERT_GT(tmsim_config_format(&cfg, text.data(), text.size()), 0);
    EXPECT_NE(std::string(text.data()).find("\nmemory-size=0\n"), std::string::npos);
}

TEST(TmSimKey, MemoryImageClampsAtTheEndAndReadsMissingBytesAsZero) {
    SimDir dir;
    std::string path = dir.Path("memory.bin");
    ASSERT_EQ(tmsim_mem_create(path.c_str(), 40), 1);
    std::string image = dir.Memory();
    std::string text = TMSIM_MEMORY_TEXT;
    EXPECT_EQ(image, text + std::string(40 - text.size(), '\0'));

    // An existing image is kept, whatever its size.
    ASSERT_TRUE(dir.WriteMemory("abc"));
    ASSERT_EQ(tmsim_mem_create(path.c_str(), 40), 1);
    EXPECT_EQ(dir.Memory(), "abc");

    struct tmsim_key key = {1, {}, 1, 8, path.c_str()};
    std::array<char, 16> buf;
    buf.fill('#');
    EXPECT_EQ(tmsim_mem_read(&key, 1, buf.data(), 16), 7);
    EXPECT_EQ(std::string(buf.data(), 8), std::string("bc\0\0\0\0\0#", 8));
    EXPECT_EQ(tmsim_mem_read(&key, 8, buf.data(), 4), 0);
    EXPECT_EQ(tmsim_mem_read(&key, 1000, buf.data(), 4), 0);

    EXPECT_EQ(tmsim_mem_write(&key, 6, "XYZ", 3), 2);
    EXPECT_EQ(tmsim_mem_write(&key, 8, "XYZ", 3), 0);
    EXPECT_EQ(dir.Memory(), std::string("abc\0\0\0XY", 8));

    // A memory size reaching past a small image: the image grows on write.
    key.memory_size = 512;
    EXPECT_EQ(tmsim_mem_write(&key, 20, "Q", 1), 1);
    EXPECT_EQ(dir.Memory().size(), 21u);
}
