// SPDX-License-Identifier: GPL-2.0-or-later
// The launcher's command line: "tmsim [options] [--] command [args...]".
#pragma once

#include <string>

#include "SimConfig.h"

namespace tmsim {

struct LaunchRequest {
    bool help = false;
    bool version = false;
    std::string stateDir; // as given; empty = default
    std::string logPath;  // as given; empty = STATE/tmdrv.log
    bool trace = false;
    std::string tracePath; // empty = STATE/trace
    bool line = false;
    bool freshMemory = false; // replace STATE/memory.bin by a fresh image
    struct tmsim_config cfg;  // paths filled in later
    int commandIndex = -1;    // argv index of the command
};

// Parses the options with getopt_long (abbreviations of the long names,
// "--name=value" or "--name value"), up to the first word that is no option
// or up to "--". 1, or 0 with err set; err is empty when getopt_long has
// reported the problem itself.
int ParseLaunch(int argc, char **argv, LaunchRequest &req, std::string &err);

} // namespace tmsim
