// SPDX-License-Identifier: GPL-2.0-or-later
#include "Tool.h"

#include "CmdHelper.h"
#include "Log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr unsigned kPollPauseMicros = 200;
// Room set aside for the DumpData text of the 8 ROM bytes.
constexpr std::size_t kPollTextSize = 72;
// The presence state before the first probe: neither absent nor present,
// so the first probe always reports ("rom id ..." or "no slave").
constexpr int kPresenceUnknown = -1;

// Event lines reach a reader at once, not when a pipe buffer fills. false
// when standard output is gone (a pipe without reader, where SIGPIPE was
// ignored by whoever started the tool): nobody sees the watch any more.
bool PrintEvent(const char *line) {
    clearerr(stdout);
    errno = 0;
    fputs(line, stdout);
    return fflush(stdout) == 0 || errno != EPIPE;
}

} // namespace

int ProbeKey(unsigned char *rom) {
    const int fd = open(TM_DEVICE_PATH, TM_OPEN_FLAGS);
    if (fd < 0)
        return 0;
    int result = 0;
    if (ioctl(fd, TM_REQ_PRESENCE) == 0)
        result = ioctl(fd, TM_REQ_READ_ROM, rom) == 0 ? 1 : 0;
    // Descriptor 0 is closed too: a run started with standard input closed
    // gets 0 from open and must not leak it on every pass.
    close(fd);
    return result;
}

int PollKeys() {
    int newKeyMark = 0;
    int lastPresent = kPresenceUnknown;
    unsigned char current[TM_ROM_SIZE] = {};
    unsigned char lastReported[TM_ROM_SIZE] = {};
    char text[kPollTextSize];

    g_pollMode = 1;
    g_pollRunning = 1;
    // Ctrl-C or kill ends the watch through StartDeinit, so every line
    // printed so far is delivered and the status is 0.
    InitConsoleHelper();
    g_client.Deinit();
    fflush(stdout);

    while (g_pollRunning == 1) {
        usleep(kPollPauseMicros);
        const int present = ProbeKey(current);
        if (present != lastPresent) {
            lastPresent = present;
            if (present == 0) {
                if (!PrintEvent("no slave\n"))
                    break;
            } else {
                newKeyMark = 1;
            }
        }
        if (present == 0)
            continue;
        if (newKeyMark != 0)
            newKeyMark = 0;
        else if (memcmp(current, lastReported, sizeof current) == 0)
            continue;
        memcpy(lastReported, current, sizeof lastReported);
        DumpData(lastReported, TM_ROM_SIZE, text);
        char line[kPollTextSize + 16];
        snprintf(line, sizeof line, "rom id %s\n", text);
        if (!PrintEvent(line))
            break;
    }
    return 0;
}
