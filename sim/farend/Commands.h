// SPDX-License-Identifier: GPL-2.0-or-later
// The far end's control commands, one line each, as the ctl subcommand
// sends them over the control socket:
//
//   attach ROM      a key with ROM (16 hex digits, byte 0 first) arrives
//   remove          the key leaves the line
//   swap ROM        the key is replaced by another at once
//   fault NAME ...  the line or the far end misbehaves (see kFaults in
//                   Commands.cpp and the README); several may be on at once
//   clear           all faults off
//   pace on|off     echoes at wire speed, or as fast as they are made
//   show            key, memory size, faults, pacing, speed, counts
//   dump            the key memory as the model holds it, one line of hex
//   device add ROM  a device beside the key, by its family: 28 a DS18B20
//                   thermometer, 2d a DS2431 EEPROM, 01 an ID-only key
//   device drop ROM it leaves the line
//   device temp ROM CELSIUS     the thermometer's next conversion gives it
//   device convtime ROM MS      how long its conversion takes
//   device eeprom ROM           the EEPROM's 128 bytes, one line of hex
//   device list     the key and the devices, one line each: ROM, what it is
//
// Counts are decimal; BYTE is hex (one or two digits, "0x" allowed).
// The reply's first line is "ok" or "error: WHAT"; show and dump add lines.
#pragma once

#include <string>

#include "EchoFaults.h"
#include "KeyLine.h"

namespace tmfarend {

struct FarEnd {
    KeyLine line;
    EchoFaults faults;
    int pace = 0;
    unsigned baud = 0; // speed of the last bytes served
};

std::string RunCommand(FarEnd &farEnd, const std::string &text);

} // namespace tmfarend
