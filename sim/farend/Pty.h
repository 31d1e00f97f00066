// SPDX-License-Identifier: GPL-2.0-or-later
// The pseudo-terminal the far end serves: the driver's side (a qemu serial
// backend, a test program) opens the slave; the far end reads and writes
// the master and learns the line speed the other side set from it.
#pragma once

#include <string>

namespace tmfarend {

class Pty {
  public:
    Pty() = default;
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    // Opens a master, unlocks its slave and holds the slave open too, raw
    // at data speed, so the master never reports a hang-up while the other
    // side reopens it. 0 with err set on failure (nothing left open).
    int Open(std::string &err);
    void Close();

    int Master() const { return m_master; }
    const std::string &SlavePath() const { return m_slavePath; }
    // The speed the slave side is set to, in baud; 0 when unknown.
    unsigned Baud() const;

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slavePath;
};

// Baud of a termios speed constant; 0 for one not in the table.
unsigned BaudOfSpeed(unsigned speed);

} // namespace tmfarend
