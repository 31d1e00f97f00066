// SPDX-License-Identifier: GPL-2.0-or-later
#include "Tool.h"

#include <cstdio>
#include <cstring>

namespace {

void CmdPool(char **, uint64_t) {
    PollKeys();
}

struct OneShotWord {
    const char *word;
    CmdHandler handler;
};

// Matched in this order, byte for byte, whole word only.
const OneShotWord kOneShotWords[] = {
    {"chksl", CmdChkSl},   {"getid", CmdGetId},    {"memrd", CmdMemRd},  {"memwrs", CmdMemWrS},
    {"memrdf", CmdMemRdF}, {"memwrf", CmdMemWrF},  {"/read", CmdRead},   {"/readEX", CmdRead},
    {"/write", CmdWrite},  {"/writeEX", CmdWrite}, {"/getid", CmdGetId}, {"/pool", CmdPool},
};

} // namespace

int RunCmdFromArgs(uint64_t count, char **words) {
    for (const OneShotWord &entry : kOneShotWords) {
        if (strcmp(words[0], entry.word) == 0) {
            entry.handler(words, count);
            return 0;
        }
    }
    puts("unknown cmd");
    return 0;
}
