// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Small helpers of the benchmarks: a scratch directory, redirecting a
// standard descriptor to /dev/null for the length of a scope, reading a file.

#include <string>

// A fresh directory under TMPDIR, removed with its files at destruction.
class CScratchDir {
  public:
    CScratchDir();
    ~CScratchDir();
    CScratchDir(const CScratchDir &) = delete;
    CScratchDir &operator=(const CScratchDir &) = delete;
    const std::string &Path() const { return m_path; }
    std::string File(const char *name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Points descriptor fd at /dev/null until the scope ends (stdout is flushed
// first and last, so buffered text goes where it was meant to).
class CMuteFd {
  public:
    explicit CMuteFd(int fd);
    ~CMuteFd();
    CMuteFd(const CMuteFd &) = delete;
    CMuteFd &operator=(const CMuteFd &) = delete;

  private:
    int m_fd;
    int m_saved;
};

// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string &path);
// The last line of text (its line end included), or "".
std::string LastLine(const std::string &text);
