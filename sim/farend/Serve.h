// SPDX-License-Identifier: GPL-2.0-or-later
// tmfarend serve: the far end's main loop.
#pragma once

#include <string>

#include "KeyLine.h"

namespace tmfarend {

struct ServeOptions {
    std::string stateDir;
    Rom rom{};
    int keyPresent = 1;
    unsigned memory = 0; // 0: by the ROM's family code
    int pace = 0;
};

// Serves until SIGINT or SIGTERM; the exit status (0, or 1 on failure).
int Serve(const ServeOptions &opts);

} // namespace tmfarend
