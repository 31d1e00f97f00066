// SPDX-License-Identifier: GPL-2.0-or-later
// The key's identity from --rom, --family and --serial.
#include "RomOptions.h"

#include <cstring>

namespace tmsim {

namespace {

constexpr size_t kFamilyDigits = 2;
constexpr size_t kSerialDigits = 12;

// Exactly digits hex digits, after an optional "0x".
bool ParseExactHex(const std::string &text, size_t digits, uint64_t &out) {
    size_t prefix = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? 2 : 0;
    return text.size() == prefix + digits && tmsim_hex_parse(text.c_str(), digits, &out);
}

} // namespace

void SetRom(const std::string &value, RomChoice &choice, std::string &err) {
    if (!tmsim_rom_parse(value.c_str(), choice.rom.data()))
        err = "bad value for --rom: '" + value +
              "' (expected 16 hex digits, the 8 ROM bytes in the driver's order)";
    choice.romGiven = true;
}

void SetFamily(const std::string &value, RomChoice &choice, std::string &err) {
    uint64_t v = 0;
    if (!tmsim_hex_parse(value.c_str(), kFamilyDigits, &v))
        err = "bad value for --family: '" + value + "' (expected 2 hex digits)";
    choice.family = static_cast<uint8_t>(v);
    choice.familyGiven = true;
}

void SetSerial(const std::string &value, RomChoice &choice, std::string &err) {
    uint64_t v = 0;
    if (!ParseExactHex(value, kSerialDigits, v))
        err = "bad value for --serial: '" + value + "' (expected 12 hex digits)";
    choice.serial = v;
    choice.serialGiven = true;
}

int ResolveRom(const RomChoice &choice, uint8_t rom[TM_ROM_SIZE], std::string &err) {
    if (choice.romGiven && (choice.familyGiven || choice.serialGiven)) {
        err = "--rom cannot be combined with --family or --serial";
        return 0;
    }
    if (choice.romGiven)
        std::memcpy(rom, choice.rom.data(), TM_ROM_SIZE);
    else
        tmsim_rom_build(choice.family, choice.serial, rom);
    return 1;
}

} // namespace tmsim
