// SPDX-License-Identifier: GPL-2.0-or-later
// A log file for fuzz targets: a CLog initialised to a temporary file that
// is emptied before each input and read back after it, so that the file
// never grows and each input's text can be checked.
#pragma once

#include "Log.h"

#include <string>

// The logger registers itself as the current logger on construction; Open
// gives it its file (flags, level and mask as for CLog::Init). Aborts the
// target when no temporary file can be made.
class CFuzzLogFile {
  public:
    CFuzzLogFile() = default;
    ~CFuzzLogFile();
    CFuzzLogFile(const CFuzzLogFile &) = delete;
    CFuzzLogFile &operator=(const CFuzzLogFile &) = delete;

    void Open(CLog &log, unsigned long flags, unsigned long level, unsigned long mask);
    // Empties the file and puts its position back to the start.
    void Clear();
    // Everything written since the last Clear.
    std::string Contents() const;

  private:
    CLog *m_log = nullptr;
    std::string m_path;
};

// The length of a timestamp text ("dd.mm.yyyy(hh:mm:ss) mmm").
constexpr std::size_t kFuzzTimestampLength = vorn::kTimestampSize - 1;
