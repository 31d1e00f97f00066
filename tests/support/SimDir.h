// SPDX-License-Identifier: GPL-2.0-or-later
// SimDir: a temporary state directory for the driver stand-in, removed with
// everything in it when the object goes (also when an assertion failed).
#pragma once

#include <cstddef>
#include <string>

namespace vorn_test {

class SimDir {
  public:
    // Creates ${TMPDIR:-/tmp}/vorn-sim-XXXXXX; aborts the test program when
    // that is impossible.
    SimDir();
    ~SimDir();
    SimDir(const SimDir &) = delete;
    SimDir &operator=(const SimDir &) = delete;

    const std::string &Dir() const { return m_dir; }
    // Dir() + "/" + name.
    std::string Path(const std::string &name) const;

    bool Exists(const std::string &name) const;
    // Contents of a file in the directory; "" when missing.
    std::string Read(const std::string &name) const;
    // Replaces a file's contents. true on success.
    bool Write(const std::string &name, const std::string &content) const;

    // The key's memory image (memory.bin).
    std::string Memory() const;
    // Writes the memory image: bytes, then zero bytes up to size (if larger).
    bool WriteMemory(const std::string &bytes, size_t size = 0) const;
    // The redirected client log (tmdrv.log) and the raw trace (trace).
    std::string Log() const;
    std::string Trace() const;

  private:
    std::string m_dir;
};

} // namespace vorn_test
