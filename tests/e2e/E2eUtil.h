// SPDX-License-Identifier: GPL-2.0-or-later
// Small helpers shared by the end-to-end tests.
#pragma once

#include "TestSupport.h"

#include <chrono>
#include <fstream>
#include <string>
#include <sys/types.h>
#include <thread>

namespace vorn_test {

// What every run prints before its command: the device line and the
// client's start line.
inline const std::string kStartup = "using dev /dev/touchm0\nlibvorn inited\n";
// What the exit path prints when the client is closed for the first time.
inline const std::string kClosed = "libvorn closed\n";

// Waits until the process blocks reading its standard input (system call 0,
// read, on descriptor 0): the prompt is up and the tool waits for a line.
inline bool WaitForStdinRead(pid_t pid, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(path);
        std::string nr, fd;
        if (in >> nr >> fd && nr == "0" && fd == "0x0")
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// Number of trace records of one ioctl request.
inline int CountRequests(const std::vector<TraceRecord> &records, unsigned long req) {
    int n = 0;
    for (const TraceRecord &r : records)
        if (r.call == "ioctl" && r.req == req)
            ++n;
    return n;
}

} // namespace vorn_test
