// tmtool: the operator's console for one touch-memory key behind
// /dev/touchm0, one-shot (first argument) or interactive.

#include "CmdHelper.h"
#include "CmdTable.h"
#include "Tool.h"

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

constexpr const char *kPrompt = ">";

// A second signal while the first is being handled (SIGTERM during the
// SIGINT handler, a burst of either) must not run the exit path again.
std::atomic<int> g_exitStarted{0};
static_assert(std::atomic<int>::is_always_lock_free, "exit guard must be signal-safe");

} // namespace

extern "C" void StartDeinit(void) {
    if (g_pollMode == 0) {
        if (g_exitStarted.exchange(1) != 0)
            return;
        CmdExit(nullptr, 0);
    }
    g_pollRunning = 0;
}

int main(int argc, char **argv) {
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
