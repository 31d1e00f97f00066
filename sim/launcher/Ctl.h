// SPDX-License-Identifier: GPL-2.0-or-later
// "tmsim ctl": live changes to the state of a running stand-in.
#pragma once

namespace tmsim {
// argv[first..] are the words after "ctl". Exit status: 0, or 2 with a
// message on stderr.
int RunCtl(int argc, char **argv, int first);
} // namespace tmsim
