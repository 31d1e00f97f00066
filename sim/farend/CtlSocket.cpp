// SPDX-License-Identifier: GPL-2.0-or-later
#include "CtlSocket.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "Commands.h"

namespace tmfarend {

namespace {

constexpr int kBacklog = 4;
// A command is one short line; anything longer is cut here.
constexpr size_t kCommandMax = 256;
constexpr size_t kReadChunk = 512;
// The longest answer is dump's: two hex digits a byte of the largest
// memory, with "ok" and the line ends well within the spare command size.
constexpr size_t kReplyMax = 2 * kMemoryMax + kCommandMax;
// How long either side waits for the other's next bytes.
constexpr time_t kIoTimeoutSeconds = 5;

std::string SysText(const std::string &what) {
    int saved = errno;
    return what + " [" + std::strerror(saved) + "]";
}

int Address(const std::string &path, sockaddr_un &addr, std::string &err) {
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        err = "socket path too long: " + path;
        return 0;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return 1;
}

void SetTimeouts(int fd) {
    timeval tv{};
    tv.tv_sec = kIoTimeoutSeconds;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

int WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        done += static_cast<size_t>(n);
    }
    return 1;
}

// Reads until end of input, a line end (when lineOnly) or limit bytes.
int ReadText(int fd, std::string &text, int lineOnly, size_t limit) {
    std::array<char, kReadChunk> buf{};
    while (text.size() < limit) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return 0;
        if (n == 0)
            break;
        text.append(buf.data(), static_cast<size_t>(n));
        if (lineOnly && text.find('\n') != std::string::npos)
            break;
    }
    return 1;
}

} // namespace

int CtlListen(const std::string &path, std::string &err) {
    sockaddr_un addr;
    if (!Address(path, addr, err))
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = SysText("cannot create the control socket");
        return -1;
    }
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(fd, kBacklog) != 0) {
        err = SysText("cannot listen on " + path);
        close(fd);
        return -1;
    }
    return fd;
}

int CtlServeOne(int listenFd, FarEnd &farEnd) {
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return 0;
    SetTimeouts(fd);
    std::string text;
    std::string reply;
    if (!ReadText(fd, text, 1, kCommandMax))
        reply = "error: no command received\n";
    else
        reply = RunCommand(farEnd, text.substr(0, text.find('\n')));
    WriteAll(fd, reply);
    close(fd);
    return 1;
}

int CtlRequest(const std::string &path, const std::string &text, std::string &reply,
               std::string &err) {
    sockaddr_un addr;
    if (!Address(path, addr, err))
        return 0;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        err = SysText("cannot create a socket");
        return 0;
    }
    int ok = 1;
    SetTimeouts(fd);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        err = SysText("no far end at " + path);
        ok = 0;
    } else if (!WriteAll(fd, text + "\n") || shutdown(fd, SHUT_WR) != 0 ||
               !ReadText(fd, reply, 0, kReplyMax)) {
        err = SysText("control request failed");
        ok = 0;
    }
    close(fd);
    return ok;
}

} // namespace tmfarend
