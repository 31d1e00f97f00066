// SPDX-License-Identifier: GPL-2.0-or-later
// A recording stand-in for the debug print, linked into the time helper tests
// in place of the logger, so that they see exactly which source name, line
// number and text each diagnostic carries.

#include "Log.h"
#include "LogFormat.h"

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_records;

} // namespace

void DebugPrintEx(const char *file, int line, const char *format, ...) {
    char text[kDebugPrintExBufferSize];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_records.push_back(std::string(file) + "[" + std::to_string(line) + "] " + text);
}

// The diagnostics recorded since the last call, each "file[line] text".
std::vector<std::string> TakeFakeLog() {
    std::vector<std::string> out;
    out.swap(g_records);
    return out;
}
