// SPDX-License-Identifier: LGPL-2.1-or-later
// Console command helper: the prompt loop, the tokenizer, the command table
// with its built-in rows, the signal hand-over and argument validation.
//
// Every operation below is a plain exported function, and the operations call
// one another (and install one another as handlers) by those names only. In
// libvorn, which is built without -Bsymbolic, those references go through the
// dynamic symbol table, so a program that exports the same names supplies the
// copies both use.

#include "CmdHelper.h"
#include "CmdHelperLimits.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>

namespace {

constexpr const char *kDefaultPrompt = ">";
constexpr const char *kHelpDescription = "Print command list";
// The built-in rows that precede the caller's rows in every table.
constexpr std::size_t kBuiltinRows = 2;
// Room for the built-in rows and the terminating row around the caller's.
constexpr std::size_t kExtraRows = kBuiltinRows + 1;

char s_prompt[kPromptSize] = ">";
char s_line[kLineBufferSize];
CmdTableRow *s_table = nullptr;

void SetPrompt(const char *prompt) {
    const char *text = prompt != nullptr ? prompt : kDefaultPrompt;
    // A longer prompt is cut so that it always ends inside the buffer.
    std::size_t len = strnlen(text, kPromptSize - 1);
    memmove(s_prompt, text, len);
    s_prompt[len] = '\0';
}

bool IsTrailingBlank(char c) {
    return c == ' ' || c == '\r' || c == '\n';
}

} // namespace

void InitCmdHelper(const CmdTableRow *rows, const char *prompt) {
    SetPrompt(prompt);

    std::size_t n = 0;
    if (rows != nullptr) {
        while (rows[n].handler != nullptr) {
            ++n;
        }
    }

    // A caller's table that long cannot exist; the check keeps the size
    // below from wrapping.
    auto *table = n <= SIZE_MAX / sizeof(CmdTableRow) - kExtraRows
                      ? static_cast<CmdTableRow *>(malloc((n + kExtraRows) * sizeof(CmdTableRow)))
                      : nullptr;
    if (table == nullptr) {
        // No table: every word is then unknown and the listing is empty.
        CloseCmdHelper();
        fputs("can not allocate command table\n", stderr);
        return;
    }
    table[0] = CmdTableRow{"help", kHelpDescription, CmdHelp};
    table[1] = CmdTableRow{"?", kHelpDescription, CmdHelp};
    for (std::size_t i = 0; i < n; ++i) {
        table[kBuiltinRows + i] = rows[i];
    }
    // The terminating row ends both walks (by name and by handler), even when
    // the caller's last row carries a name but no handler.
    CmdTableRow end = rows != nullptr ? rows[n] : CmdTableRow{nullptr, "", nullptr};
    end.name = nullptr;
    table[kBuiltinRows + n] = end;

    // The new table is complete before the one built earlier is released (the
    // caller's rows may even be that table), so repeated set-up leaks nothing.
    CloseCmdHelper();
    s_table = table;
}

void CloseCmdHelper() {
    free(s_table);
    s_table = nullptr;
}

namespace {

// What ReadPiece got.
enum class PieceResult {
    Text,        // s_line holds a piece (with or without its line feed)
    Interrupted, // a signal cut the read short before any text came
    End,         // end of input or a read error: no more input will come
};

// Whether the last read of stdin failed only because a non-blocking input
// had nothing yet.
bool InputNotReadyYet() {
    return ferror(stdin) && (errno == EAGAIN || errno == EWOULDBLOCK);
}

// Waits until stdin has something to read (or its end, or an error).
// false when waiting itself failed for another reason than a signal.
bool WaitForInput() {
    struct pollfd input {};
    input.fd = fileno(stdin);
    input.events = POLLIN;
    return poll(&input, 1, -1) >= 0 || errno == EINTR;
}

// Reads one piece into s_line as one fgets of kLineReadSize would: up to and
// including a line feed, up to the end of input, or kLineReadSize - 1
// characters. A non-blocking standard input that has nothing yet is waited
// for, and a piece that came in parts is put together, so that such an
// input reads exactly as a blocking one.
PieceResult ReadPiece() {
    std::size_t len = 0;
    s_line[0] = '\0';
    for (;;) {
        errno = 0;
        const int room = kLineReadSize - static_cast<int>(len);
        const bool got = fgets(s_line + len, room, stdin) != nullptr;
        if (got)
            len += strlen(s_line + len);
        const bool done = len > 0 && (s_line[len - 1] == '\n' ||
                                      len >= static_cast<std::size_t>(kLineReadSize - 1));
        if (!done && InputNotReadyYet()) {
            clearerr(stdin);
            if (WaitForInput())
                continue;
            return len > 0 ? PieceResult::Text : PieceResult::End;
        }
        if (len > 0)
            return PieceResult::Text;
        if (ferror(stdin) && errno == EINTR) {
            clearerr(stdin);
            return PieceResult::Interrupted;
        }
        if (feof(stdin) || ferror(stdin))
            return PieceResult::End;
        return PieceResult::Interrupted;
    }
}

} // namespace

void CmdLoop() {
    std::array<char *, kLoopTokenArraySize> tokens{};
    for (;;) {
        fputs(s_prompt, stdout);
        fflush(stdout);

        const PieceResult piece = ReadPiece();
        if (piece == PieceResult::End)
            return; // no more input will come: hand back to the caller
        if (piece == PieceResult::Interrupted) {
            // A signal cut the read short; its handler decides whether the
            // program goes on, so prompt again.
            continue;
        }

        char *lf = strchr(s_line, '\n');
        if (lf == nullptr) {
            continue; // a piece of an overlong line, or a last line without end
        }
        *lf = '\0';
        if (s_line[0] == '\0') {
            continue;
        }

        uint64_t count = 0;
        TokenizeString(s_line, &count, tokens.data());
        if (count == 0) {
            continue;
        }
        const CmdTableRow *row = FindCmd(tokens[0]);
        if (row != nullptr && row->handler != nullptr) {
            row->handler(tokens.data(), count);
        } else {
            printf("Unknown command %s\r\n try help to see all commands\r\n", tokens[0]);
        }
    }
}

void TokenizeString(char *text, uint64_t *count, char **tokens) {
    if (text == nullptr || count == nullptr) {
        return;
    }
    std::size_t len = strlen(text);
    for (std::size_t i = 0; i < len; ++i) {
        if (text[i] == '\t') {
            text[i] = ' ';
        }
    }

    std::size_t start = 0;
    while (start < len && text[start] == ' ') {
        ++start;
    }
    if (start == len) {
        start = 0; // only spaces: the remainder below is empty
    }
    if (len == 0) {
        *count = 0;
        return;
    }

    std::size_t end = len;
    while (end > start && IsTrailingBlank(text[end - 1])) {
        --end;
    }

    // Move the remainder to the front with single spaces between words.
    std::size_t out = 0;
    for (std::size_t i = start; i < end; ++i) {
        if (text[i] == ' ' && out > 0 && text[out - 1] == ' ') {
            continue;
        }
        text[out++] = text[i];
    }
    text[out] = '\0';

    // Split at the spaces. The vector keeps a null entry after the tokens, so
    // it holds at most vorn::kMaxTokens of them; the rest of the line is dropped.
    std::array<char *, kTokenVectorSize> vec{};
    std::size_t n = 0;
    vec[n++] = text;
    for (std::size_t i = 0; i < out; ++i) {
        if (text[i] != ' ') {
            continue;
        }
        text[i] = '\0';
        if (n == vorn::kMaxTokens) {
            break;
        }
        vec[n++] = &text[i + 1];
    }
    vec[n] = nullptr;

    if (tokens != nullptr) {
        for (std::size_t i = 0; i < n; ++i) {
            tokens[i] = vec[i];
        }
    }
    *count = n;
}

const CmdTableRow *FindCmd(const char *word) {
    if (s_table == nullptr || word == nullptr) {
        return nullptr;
    }
    for (const CmdTableRow *row = s_table; row->name != nullptr; ++row) {
        if (strcmp(row->name, word) == 0) {
            return row;
        }
    }
    return nullptr;
}

void CmdHelp(char ** /*tokens*/, uint64_t /*count*/) {
    if (s_table == nullptr) {
        return;
    }
    // The name takes 16 columns; a longer one keeps one space before its
    // description.
    constexpr int kNameWidth = static_cast<int>(kHelpNameColumns) - 1;
    for (const CmdTableRow *row = s_table; row->handler != nullptr; ++row) {
        const char *name = row->name != nullptr ? row->name : "";
        const char *description = row->description != nullptr ? row->description : "";
        printf("%-*s %s\r\n", kNameWidth, name, description);
    }
}

void DumpTokens(uint64_t count, char **tokens) {
    if (tokens == nullptr) {
        return;
    }
    for (uint64_t i = 0; i < count; ++i) {
        printf("%s\r\n", tokens[i] != nullptr ? tokens[i] : "");
    }
}

void InitConsoleHelper() {
    struct sigaction action {};
    action.sa_handler = sigterm_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // stays installed; interrupted calls are not restarted

    if (sigaction(SIGTERM, &action, nullptr) != 0) {
        puts("unable to install signal handler for SIGTERM:");
        return;
    }
    if (sigaction(SIGINT, &action, nullptr) != 0) {
        puts("unable to install signal handler for SIGINT:");
    }
}

// A weak reference: null in a program that defines no StartDeinit.
extern "C" void StartDeinit(void) __attribute__((weak));

void sigterm_handler(int signo) {
    if (StartDeinit != nullptr) {
        StartDeinit();
        return;
    }
    // No shutdown routine in this program: end it the way the signal would
    // have without a handler. The signal stays blocked until this returns.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(signo, &dfl, nullptr);
    raise(signo);
}

int ValidateArgs(int argc, char **argv) {
    if (argv == nullptr) {
        return 1;
    }
    for (int i = 0; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg == nullptr) {
            continue;
        }
        for (const char *p = arg; *p != '\0'; ++p) {
            if (static_cast<unsigned char>(*p) >= 0x80) {
                const char symbol[2] = {*p, '\0'};
                printf("invalid symbol '%s' in param %s\n", symbol, arg);
                return 0;
            }
        }
    }
    return 1;
}
