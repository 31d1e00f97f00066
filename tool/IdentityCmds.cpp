#include "Tool.h"

#include "Log.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr int kGetIdAttempts = 3;
// DumpData text of the 8 ROM bytes: three characters a byte and the NUL.
constexpr std::size_t kRomTextSize = 3 * TM_ROM_SIZE + 1;

} // namespace

void CmdExit(char **, uint64_t) {
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
