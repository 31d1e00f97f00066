// SPDX-License-Identifier: GPL-2.0-or-later
// tmtool: the operator's console for one touch-memory key behind
// /dev/touchm0, one-shot (first argument) or interactive.

#include "CmdHelper.h"
#include "CmdTable.h"
#include "Tool.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char *kPrompt = ">";
constexpr const char *kNullDevice = "/dev/null";

// Descriptors 0 to 2 that the caller left closed are opened on /dev/null
// before anything else is opened. Otherwise the log file or the device
// would take their place: text meant for the screen would go into the log
// or into the key's memory, and the prompt would read its lines from the
// device.
void OccupyClosedStandardDescriptors() {
    for (;;) {
        const int fd = open(kNullDevice, O_RDWR);
        if (fd < 0)
            return;
        if (fd > STDERR_FILENO) {
            close(fd);
            return;
        }
    }
}

} // namespace

extern "C" void StartDeinit(void) {
    if (g_pollMode == 0) {
        // Returns only when the exit path is already under way (a second
        // signal, or quit/exit); that entry finishes it.
        CmdExit(nullptr, 0);
        return;
    }
    g_pollRunning = 0;
}

int main(int argc, char **argv) {
    // A file-size limit (ulimit -f) fails the write that would pass it, with
    // EFBIG, instead of ending the tool: the log loses its line, memrdf
    // reports its file.
    signal(SIGXFSZ, SIG_IGN);
    OccupyClosedStandardDescriptors();
    g_pollMode = 0;
    printf("using dev %s\n", TM_DEVICE_PATH);
    if (!g_client.Init(TM_DEVICE_PATH)) {
        puts("can not init client");
        return 1;
    }
    if (argc > 1)
        return RunCmdFromArgs(static_cast<uint64_t>(argc - 1), argv + 1);

    InitConsoleHelper();
    InitCmdHelper(CmdTable, kPrompt);
    CmdLoop();
    // End of input: leave through the normal exit path. The handlers go back
    // to their defaults first so that a late signal cannot re-enter exit.
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    return 0;
}
