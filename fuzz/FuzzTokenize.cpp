// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: the console helper's line handling. Each input gives a prompt
// (its first byte says how long) and a line; the command table is built
// anew with that prompt, the line is tokenized and its first word looked
// up. The tokens are checked against a plain split of the same line, the
// lookup against a plain search of the same table.

#include "CmdHelper.h"
#include "CmdHelperLimits.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxPromptInput = 80;

int g_calls = 0;
void CountCall(char **, uint64_t) {
    ++g_calls;
}

// A name as long as a listing row, one longer, "help" (never found: the
// built-in row comes first) and ordinary words.
const CmdTableRow kRows[] = {
    {"chksl", "Is slave present", CountCall},
    {"memrd", "Read memory", CountCall},
    {"exactlysixteen16", "Name of sixteen characters", CountCall},
    {"a-name-of-twenty-chars", "Longer still", CountCall},
    {"help", "Shadowed by the built-in row", CountCall},
    {"", "The empty word", CountCall},
    {nullptr, "", nullptr},
};

void Check(bool ok) {
    if (!ok)
        abort();
}

// The tokenizer's rule, written plainly: tabs are spaces; leading spaces
// go; trailing spaces, carriage returns and line feeds go; what remains is
// split at runs of spaces; at most vorn::kMaxTokens tokens are kept.
std::vector<std::string> ReferenceTokens(std::string text) {
    std::vector<std::string> tokens;
    if (text.empty())
        return tokens;
    for (char &c : text)
        c = c == '\t' ? ' ' : c;
    std::size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos)
        start = 0;
    std::size_t end = text.size();
    while (end > start && (text[end - 1] == ' ' || text[end - 1] == '\r' || text[end - 1] == '\n'))
        --end;
    const std::string rest = text.substr(start, end - start);
    std::string token;
    for (std::size_t i = 0; i <= rest.size(); ++i) {
        if (i == rest.size() || rest[i] == ' ') {
            if (i < rest.size() && i > 0 && rest[i - 1] == ' ')
                continue; // a run of spaces separates once
            tokens.push_back(token);
            token.clear();
            continue;
        }
        token += rest[i];
    }
    if (tokens.size() > vorn::kMaxTokens)
        tokens.resize(vorn::kMaxTokens);
    return tokens;
}

const CmdTableRow *ReferenceFind(const char *word) {
    static const CmdTableRow kBuiltins[] = {{"help", "", CmdHelp}, {"?", "", CmdHelp}};
    for (const CmdTableRow &row : kBuiltins) {
        if (strcmp(row.name, word) == 0)
            return &row;
    }
    for (const CmdTableRow *row = kRows; row->name != nullptr; ++row) {
        if (strcmp(row->name, word) == 0)
            return row;
    }
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const std::size_t promptLen = std::min<std::size_t>(data[0] % kMaxPromptInput, size - 1);
    const std::string prompt(reinterpret_cast<const char *>(data + 1), promptLen);
    InitCmdHelper(kRows, prompt.c_str());

    // The line as the loop would hold it: a C string, cut at a NUL.
    const char *lineStart = reinterpret_cast<const char *>(data + 1 + promptLen);
    std::string line(lineStart, size - 1 - promptLen);
    line = line.c_str();
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');

    std::array<char *, kLoopTokenArraySize> tokens;
    char sentinel[] = "untouched";
    tokens.fill(sentinel);
    uint64_t count = ~0ULL;
    TokenizeString(buffer.data(), &count, tokens.data());

    const std::vector<std::string> expected = ReferenceTokens(line);
    Check(count == expected.size());
    for (std::size_t i = 0; i < kLoopTokenArraySize; ++i) {
        if (i >= count) {
            Check(tokens[i] == sentinel); // nothing beyond the tokens is touched
            continue;
        }
        Check(tokens[i] >= buffer.data() && tokens[i] < buffer.data() + buffer.size());
        Check(expected[i] == tokens[i]);
    }

    if (count > 0) {
        const CmdTableRow *found = FindCmd(tokens[0]);
        const CmdTableRow *want = ReferenceFind(tokens[0]);
        Check((found == nullptr) == (want == nullptr));
        if (found != nullptr) {
            Check(strcmp(found->name, want->name) == 0 && found->handler == want->handler);
            found->handler(tokens.data(), count);
        }
        DumpTokens(count, tokens.data());
    }
    CloseCmdHelper();
    CloseCmdHelper(); // a second close frees nothing twice
    return 0;
}
