// SPDX-License-Identifier: GPL-2.0-or-later
// tmattach --persist: the rule line and its place in the local rules file.
#include "Persist.h"

#include <cstring>

namespace tmattach {

namespace {

const char kHeader[] = "# Serial ports that are touch-memory key lines, marked by the adapter's\n"
                       "# serial number (tmattach --persist TTY adds a line). The rules of the\n"
                       "# package vorn-tools (75-touchm.rules) attach a marked port whenever it\n"
                       "# is plugged in; every other port is left alone.\n";

bool SerialChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           strchr("._-+:", c) != nullptr;
}

} // namespace

bool FindProperty(const std::string &listing, const std::string &key, std::string *value) {
    const std::string prefix = key + "=";
    size_t at = 0;
    while (at < listing.size()) {
        size_t end = listing.find('\n', at);
        if (end == std::string::npos)
            end = listing.size();
        if (listing.compare(at, prefix.size(), prefix) == 0 && end - at >= prefix.size()) {
            *value = listing.substr(at + prefix.size(), end - at - prefix.size());
            return true;
        }
        at = end + 1;
    }
    return false;
}

bool SerialUsable(const std::string &serial) {
    if (serial.empty() || serial.size() > kSerialMax)
        return false;
    for (char c : serial)
        if (c == '\0' || !SerialChar(c))
            return false;
    return true;
}

std::string MarkRule(const std::string &serial) {
    return "SUBSYSTEM==\"tty\", ENV{ID_SERIAL_SHORT}==\"" + serial + "\", ENV{TOUCHM_LINE}=\"1\"";
}

bool AddMark(const std::string &existing, const std::string &serial, std::string *out) {
    const std::string match = "ENV{ID_SERIAL_SHORT}==\"" + serial + "\"";
    size_t at = 0;
    while (at < existing.size()) {
        size_t end = existing.find('\n', at);
        if (end == std::string::npos)
            end = existing.size();
        const std::string line = existing.substr(at, end - at);
        const size_t first = line.find_first_not_of(" \t");
        const bool comment = first == std::string::npos || line[first] == '#';
        if (!comment && line.find(match) != std::string::npos &&
            line.find("ENV{TOUCHM_LINE}=\"1\"") != std::string::npos)
            return false;
        at = end + 1;
    }
    std::string text = existing;
    if (text.empty())
        text = kHeader;
    else if (text.back() != '\n')
        text += '\n';
    text += MarkRule(serial);
    text += '\n';
    *out = text;
    return true;
}

} // namespace tmattach
