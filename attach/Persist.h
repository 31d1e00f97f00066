// SPDX-License-Identifier: GPL-2.0-or-later
// tmattach --persist: the udev rule line that marks an adapter as a key
// line by its serial number, and its place in the local rules file.
#pragma once

#include <string>

namespace tmattach {

// The operator's rules file: numbered before the project's 75-touchm.rules,
// which acts on the property this file sets.
constexpr const char kLocalRulesPath[] = "/etc/udev/rules.d/70-touchm-local.rules";
// The longest serial number taken (udev's ID_SERIAL_SHORT is far shorter).
constexpr size_t kSerialMax = 128;

// The value of KEY in udevadm's property listing ("KEY=value" lines); false
// when the listing has no such line.
bool FindProperty(const std::string &listing, const std::string &key, std::string *value);

// Whether a serial number can stand in a udev match as itself: 1 to
// kSerialMax characters of letters, digits and . _ - + : (no quote, no
// backslash, none of udev's pattern characters * ? [ ] |).
bool SerialUsable(const std::string &serial);

// The rule line (without "\n") that marks the tty of the adapter with this
// serial number: SUBSYSTEM=="tty", ENV{ID_SERIAL_SHORT}=="SERIAL",
// ENV{TOUCHM_LINE}="1".
std::string MarkRule(const std::string &serial);

// The rules file's text with the mark for serial added: existing lines kept
// as they are, a header comment first when the file was empty, the rule
// last. false (and *out untouched) when a rule line (not a comment) already
// marks that serial.
bool AddMark(const std::string &existing, const std::string &serial, std::string *out);

} // namespace tmattach
