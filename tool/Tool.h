// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// tmtool's process-wide state and its command handlers.

#include "CmdHelper.h"
#include "TouchMemCltK.h"

#include <atomic>
#include <cstdint>

extern CTouchMemClt g_client;

// Written from signal context and re-read on every test.
using PollFlag = std::atomic<int64_t>;
static_assert(PollFlag::is_always_lock_free, "poll flags must be signal-safe");
extern volatile PollFlag g_pollMode;
extern volatile PollFlag g_pollRunning;

// Pause after a presence check and after each failed getid attempt.
constexpr unsigned kKeySettleMicros = 50000;

extern "C" void StartDeinit(void);

// One-shot dispatch of argv[1..]; returns 0 in every case.
int RunCmdFromArgs(uint64_t count, char **words);

// Identity commands.
void CmdExit(char **words, uint64_t count);
void CmdChkSl(char **words, uint64_t count);
void CmdSkipRom(char **words, uint64_t count);
void CmdGetId(char **words, uint64_t count);
long GetRomIfPresent(CTouchMemClt *client, _tm_rom_id *rom);

// Memory commands and their one-shot aliases.
void CmdMemRd(char **words, uint64_t count);
void CmdMemWrS(char **words, uint64_t count);
void CmdMemRdF(char **words, uint64_t count);
void CmdMemWrF(char **words, uint64_t count);
void CmdRead(char **words, uint64_t count);
void CmdWrite(char **words, uint64_t count);

// Polling mode.
int PollKeys();
int ProbeKey(unsigned char *rom);
