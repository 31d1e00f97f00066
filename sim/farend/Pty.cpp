// SPDX-License-Identifier: GPL-2.0-or-later
// Opening the far end's pseudo-terminal and reading its speed.
#include "Pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace tmfarend {

namespace {

struct SpeedBaud {
    speed_t speed;
    unsigned baud;
};
constexpr SpeedBaud kSpeeds[] = {
    {B300, 300},       {B600, 600},       {B1200, 1200},     {B2400, 2400},   {B4800, 4800},
    {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600}, {B115200, 115200},
    {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
};

std::string SysText(const char *what) {
    int saved = errno;
    return std::string(what) + " [" + std::strerror(saved) + "]";
}

} // namespace

unsigned BaudOfSpeed(unsigned speed) {
    for (const SpeedBaud &s : kSpeeds)
        if (s.speed == speed)
            return s.baud;
    return 0;
}

Pty::~Pty() {
    Close();
}

int Pty::Open(std::string &err) {
    Close();
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        err = SysText("cannot open a pseudo-terminal");
        return 0;
    }
    const char *name = nullptr;
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 || !(name = ptsname(m_master))) {
        err = SysText("cannot unlock the pseudo-terminal");
        Close();
        return 0;
    }
    m_slavePath = name;
    m_slave = open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tio;
    if (m_slave < 0 || tcgetattr(m_slave, &tio) != 0) {
        err = SysText("cannot open the slave side");
        Close();
        return 0;
    }
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tio.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(m_slave, TCSANOW, &tio) != 0) {
        err = SysText("cannot set the slave side raw");
        Close();
        return 0;
    }
    return 1;
}

void Pty::Close() {
    if (m_slave >= 0)
        close(m_slave);
    if (m_master >= 0)
        close(m_master);
    m_slave = -1;
    m_master = -1;
    m_slavePath.clear();
}

unsigned Pty::Baud() const {
    // On a master, tcgetattr reports the slave's settings: the speed the
    // other side chose.
    struct termios tio;
    if (tcgetattr(m_master, &tio) != 0)
        return 0;
    return BaudOfSpeed(cfgetospeed(&tio));
}

} // namespace tmfarend
