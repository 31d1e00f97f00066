// SPDX-License-Identifier: GPL-2.0-or-later
// The one-shot aliases "/read", "/readEX", "/write" and "/writeEX": their own
// operand order, re-arranged into the words of the memory commands.

#include "Tool.h"

#include <array>
#include <cstdio>

namespace {

// Word 0 of the re-arranged words, for both forms of each alias.
char g_readWord[] = "/read";
char g_writeWord[] = "/write";

} // namespace

void CmdRead(char **words, uint64_t count) {
    if (count <= 2) {
        puts("usage /read <Address> <Length> [<Output file>]");
        return;
    }
    if (count == 4) {
        // /read Address Length Output -> memrdf Output Address Length
        std::array<char *, 4> args{g_readWord, words[3], words[1], words[2]};
        CmdMemRdF(args.data(), args.size());
        return;
    }
    // Two operands, or four or more: the listing; surplus operands ignored.
    std::array<char *, 3> args{g_readWord, words[1], words[2]};
    CmdMemRd(args.data(), args.size());
}

void CmdWrite(char **words, uint64_t count) {
    if (count <= 3) {
        puts("/write <Address> <Length> <Input file>");
        return;
    }
    // /write Address Length Input -> memwrf Input Address Length
    std::array<char *, 4> args{g_writeWord, words[3], words[1], words[2]};
    CmdMemWrF(args.data(), args.size());
}
