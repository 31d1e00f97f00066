// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Helpers of the logger tests: a scoped temporary directory, file reading,
// capture of a standard descriptor, and a clean current logger per test.

#include "Log.h"

#include <string>

namespace logtest {

// A fresh directory under TMPDIR (or /tmp), removed with its files at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &Path() const { return m_path; }
    std::string File(const std::string &name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &content);

// Sends descriptor fd (1 or 2) into a temporary file until Stop(), which
// returns what was written. Flushes the standard streams around the switch.
class CaptureFd {
  public:
    explicit CaptureFd(int fd);
    ~CaptureFd();
    CaptureFd(const CaptureFd &) = delete;
    CaptureFd &operator=(const CaptureFd &) = delete;
    std::string Stop();

  private:
    int m_fd;
    int m_saved = -1;
    std::string m_path;
};

// Number of open descriptors of this process.
int OpenDescriptorCount();

// Clears the current logger before and after a test, so that each test
// starts with none registered whatever the one before left behind.
class NoCurrentLogger {
  public:
    NoCurrentLogger() { g_currentLogger = nullptr; }
    ~NoCurrentLogger() { g_currentLogger = nullptr; }
    NoCurrentLogger(const NoCurrentLogger &) = delete;
    NoCurrentLogger &operator=(const NoCurrentLogger &) = delete;
};

} // namespace logtest
