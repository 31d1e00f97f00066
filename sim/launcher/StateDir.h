// SPDX-License-Identifier: GPL-2.0-or-later
// The state directory of the stand-in and the files in it.
#pragma once

#include <string>

namespace tmsim {

// ${TMPDIR:-/tmp}/tmsim-<uid>.
std::string DefaultStateDir();

// path made absolute against the current directory (no symlinks resolved).
std::string Absolute(const std::string &path);

// Creates dir (and missing parents) with mode 0700 unless it exists as a
// directory. 1 / 0 with err.
int EnsureDir(const std::string &dir, std::string &err);

// 1 when path is missing or a regular file (symbolic links followed); 0 with
// err naming it when it is anything else (a FIFO, a device, a directory),
// which the stand-in would refuse to use.
int RegularOrMissing(const std::string &path, std::string &err);

// dir + "/" + name.
std::string InState(const std::string &dir, const char *name);

} // namespace tmsim
