// SPDX-License-Identifier: GPL-2.0-or-later
// The key's identity on the command lines of tmsim and "tmsim ctl" (--rom,
// --family, --serial). No exceptions: a malformed value sets a message
// naming the option.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "SimConfig.h"

namespace tmsim {

// How the ROM was asked for: verbatim, or built from family and serial.
struct RomChoice {
    bool romGiven = false;
    std::array<uint8_t, TM_ROM_SIZE> rom{};
    bool familyGiven = false;
    uint8_t family = TMSIM_DEFAULT_FAMILY;
    bool serialGiven = false;
    uint64_t serial = TMSIM_DEFAULT_SERIAL;

    bool Any() const { return romGiven || familyGiven || serialGiven; }
};

// The value of --rom (16 hex digits), --family (up to 2) or --serial
// (exactly 12, "0x" allowed before them) into choice; err set when malformed.
void SetRom(const std::string &value, RomChoice &choice, std::string &err);
void SetFamily(const std::string &value, RomChoice &choice, std::string &err);
void SetSerial(const std::string &value, RomChoice &choice, std::string &err);

// The ROM bytes of a choice; 0 with err when --rom is mixed with the others.
int ResolveRom(const RomChoice &choice, uint8_t rom[TM_ROM_SIZE], std::string &err);

} // namespace tmsim
