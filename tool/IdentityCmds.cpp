// SPDX-License-Identifier: GPL-2.0-or-later
#include "Tool.h"

#include "Log.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

namespace {

// Set by the first entry into the exit path, whichever way it starts.
std::atomic<int> g_exitStarted{0};
static_assert(std::atomic<int>::is_always_lock_free, "exit guard must be signal-safe");

// SIGTERM and SIGINT are held from here on: they stay pending until the
// process ends, so none can re-enter the exit path or cut its output short.
void HoldExitSignals() {
    sigset_t exitSignals;
    sigemptyset(&exitSignals);
    sigaddset(&exitSignals, SIGTERM);
    sigaddset(&exitSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &exitSignals, nullptr);
}

constexpr int kGetIdAttempts = 3;
// DumpData text of the 8 ROM bytes: three characters a byte and the NUL.
constexpr std::size_t kRomTextSize = 3 * TM_ROM_SIZE + 1;

} // namespace

void CmdExit(char **, uint64_t) {
    // The exit path runs once, whether quit/exit or a signal starts it. A
    // signal that came in before the signals were held has run it to its
    // end in its handler (which never returns); one that finds it taken
    // (another entry is under way) leaves it alone.
    HoldExitSignals();
    if (g_exitStarted.exchange(1) != 0)
        return;
    puts("exiting");
    g_client.Deinit();
    exit(0);
}

void CmdChkSl(char **, uint64_t) {
    printf("checking slave presence...");
    if (g_client.IsSlavePreset())
        puts("slave present");
    else
        puts("no slave");
}

void CmdSkipRom(char **, uint64_t) {
    printf("skiping rom...");
    if (g_client.SkipRom())
        puts("skip rom ok");
    else
        puts("skip rom failed");
}

long GetRomIfPresent(CTouchMemClt *client, _tm_rom_id *rom) {
    if (!client->IsSlavePreset())
        return 0;
    return client->ReadRom(rom);
}

void CmdGetId(char **, uint64_t) {
    printf("getting rom id...");
    _tm_rom_id rom{};
    int attemptsLeft = kGetIdAttempts;
    while (attemptsLeft != 0) {
        if (GetRomIfPresent(&g_client, &rom))
            break;
        usleep(kKeySettleMicros);
        --attemptsLeft;
    }
    if (attemptsLeft == 0) {
        puts("no slave");
        return;
    }
    puts("ok");
    char text[kRomTextSize];
    DumpData(rom.bytes, TM_ROM_SIZE, text);
    printf("rom id %s\n", text);
}
