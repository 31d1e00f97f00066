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
