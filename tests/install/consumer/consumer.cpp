// SPDX-License-Identifier: GPL-2.0-or-later
// A small program built against an installed libvorn, as a user would: it
// defines no StartDeinit and is linked with no special flag. It has a Log.h
// of its own, which the library's headers must not shadow.
//
//   consumer          Init("/dev/touchm0"), presence, ROM id, 29 bytes of
//                     memory, Deinit; exit status 0 when all of it worked.
//   consumer signal   installs the library's SIGTERM handler and raises
//                     SIGTERM: with no StartDeinit in the program the handler
//                     restores the default action, so the process dies of it.

#include <vorn/CmdHelper.h>
#include <vorn/Log.h>
#include <vorn/TouchMemCltK.h>

// The program's own Log.h (tests/install/consumer/own), not the library's.
#include <Log.h>
static_assert(kConsumersOwnLogHeader == 1, "the program's own Log.h");

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned kMemBytes = 29;
// DumpData needs 3 bytes an item and the NUL.
constexpr std::size_t kRomTextSize = 3 * TM_ROM_SIZE + 1;

int RunClient() {
    CTouchMemClt client;
    if (!client.Init(TM_DEVICE_PATH)) {
        puts("init failed");
        return 1;
    }
    int status = 0;
    const long present = client.IsSlavePreset();
    printf("present %ld\n", present);
    _tm_rom_id rom{};
    if (present && client.ReadRom(&rom)) {
        char text[kRomTextSize];
        DumpData(rom.bytes, TM_ROM_SIZE, text);
        printf("rom %s\n", text);
    } else {
        puts("rom failed");
        status = 1;
    }
    fflush(stdout);
    unsigned char mem[kMemBytes + 1] = {};
    if (client.MemRead(0, kMemBytes, mem)) {
        // The memory holds text; a line end in it is shown as '|'.
        for (unsigned i = 0; i < kMemBytes; ++i)
            if (mem[i] == '\n')
                mem[i] = '|';
        printf("mem '%s'\n", reinterpret_cast<char *>(mem));
    } else {
        puts("mem failed");
        status = 1;
    }
    fflush(stdout);
    client.Deinit();
    return status;
}

int RaiseTerm() {
    InitConsoleHelper();
    puts("raising");
    fflush(stdout);
    raise(SIGTERM);
    // Reached only when the handler swallowed the signal.
    puts("survived SIGTERM");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "signal") == 0)
        return RaiseTerm();
    return RunClient();
}
