// SPDX-License-Identifier: LGPL-2.1-or-later
#pragma once
// Console command helper: prompt, line reading, tokenizing, command lookup
// with the built-in "help" and "?" rows, the SIGTERM/SIGINT handler that
// hands over to the program's StartDeinit, and argument validation.

#include "VornApi.h"

#include <cstddef>
#include <cstdint>

// A command handler gets the tokens (token 0 is the command word) and their
// count, the command word included.
typedef void (*CmdHandler)(char **tokens, uint64_t count);

// One row of a command table; a table ends with a row whose name and
// handler are null.
struct CmdTableRow {
    const char *name;
    const char *description;
    CmdHandler handler;
};

namespace vorn {
// The most tokens TokenizeString stores for one line.
constexpr std::size_t kMaxTokens = 63;
} // namespace vorn

// Builds the command table (built-in rows, then rows up to and including the
// terminating row) and sets the prompt (">" when prompt is null; cut to 63
// characters). A table built earlier is released once the new one is built;
// when the allocation fails there is no table (every word is unknown).
VORN_API void InitCmdHelper(const CmdTableRow *rows, const char *prompt);
// Releases the table; does nothing when there is none.
VORN_API void CloseCmdHelper();
// Prompts, reads a line, dispatches it. Returns at end of input or on a read
// error; a signal that interrupts the read only brings the prompt again. A
// non-blocking standard input that has nothing yet is waited for (poll),
// and a line that arrives in parts is read as one.
// Otherwise runs until a handler or a signal ends the process.
VORN_API void CmdLoop();
// Splits text in place at spaces and tabs. Stores at most vorn::kMaxTokens token
// pointers into tokens (which needs room for that many) and their number in
// *count; later tokens of the line are dropped. An empty text gives 0 and
// leaves tokens untouched.
VORN_API void TokenizeString(char *text, uint64_t *count, char **tokens);
// The first row whose name equals word exactly, or null.
VORN_API const CmdTableRow *FindCmd(const char *word);
// Lists the table, "%s%s\r\n" with the name padded to 16 columns.
VORN_API void CmdHelp(char **tokens, uint64_t count);
// Prints the first count tokens, one a line ending in "\r\n".
VORN_API void DumpTokens(uint64_t count, char **tokens);
// Installs sigterm_handler for SIGTERM and SIGINT.
VORN_API void InitConsoleHelper();
// Calls the program's StartDeinit; in a program that defines none, restores
// the signal's default action and raises it again.
VORN_API void sigterm_handler(int signo);
// 1 when no argument holds a byte of 0x80 or more, else prints the first such
// byte and its argument and returns 0.
VORN_API int ValidateArgs(int argc, char **argv);

// Defined by the program that uses the helper (tmtool). The helper refers to
// it weakly, so programs without one still link.
extern "C" VORN_API void StartDeinit(void);
