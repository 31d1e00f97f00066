// SPDX-License-Identifier: GPL-2.0-or-later
// Console command helper: tokenizer, command lookup, listing, table set-up,
// argument validation, token dump and the fallback of the signal handler.

#include "CmdHelper.h"

#include <gtest/gtest.h>

#include <csignal>
#include <limits>
#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

void NopHandler(char **, uint64_t) {}
void OtherHandler(char **, uint64_t) {}

// Tokenizes text and returns the tokens as strings.
std::vector<std::string> Tokenize(const std::string &text) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    std::vector<char *> tokens(vorn::kMaxTokens, nullptr);
    uint64_t count = 12345;
    TokenizeString(buf.data(), &count, tokens.data());
    std::vector<std::string> out;
    for (uint64_t i = 0; i < count && i < vorn::kMaxTokens; ++i) {
        out.emplace_back(tokens[i]);
    }
    EXPECT_EQ(count, out.size());
    return out;
}

struct TokenCase {
    const char *text;
    std::vector<std::string> tokens;
};

TEST(TokenizeString, SplitsAtSpacesAndTabsOnly) {
    const std::vector<TokenCase> cases = {
        {"memrd\t16   32", {"memrd", "16", "32"}},
        {"help", {"help"}},
        {"  help  ", {"help"}},
        {"help\r", {"help"}},
        {"help foo bar", {"help", "foo", "bar"}},
        {"\t\tx\t", {"x"}},
        {"a  \t  b", {"a", "b"}},
        {"a\rb", {"a\rb"}},
        {"a \r b", {"a", "\r", "b"}},
        {"ab\r\r", {"ab"}},
        {"a b\r\n", {"a", "b"}},
        {"x\ny", {"x\ny"}},
        {" \t  \t", {""}},
        {"\r", {""}},
        {"   \r  ", {""}},
        {" ", {""}},
    };
    for (const TokenCase &c : cases) {
        EXPECT_EQ(Tokenize(c.text), c.tokens) << "text: \"" << c.text << "\"";
    }
}

TEST(TokenizeString, EmptyTextGivesNoTokensAndLeavesArray) {
    char text[] = "";
    char sentinel[] = "untouched";
    std::vector<char *> tokens(vorn::kMaxTokens, sentinel);
    uint64_t count = 99;
    TokenizeString(text, &count, tokens.data());
    EXPECT_EQ(count, 0u);
    for (char *t : tokens) {
        EXPECT_EQ(t, sentinel);
    }
}

TEST(TokenizeString, SetsOnlyAsManyEntriesAsTokens) {
    char text[] = "a b";
    char sentinel[] = "old";
    std::vector<char *> tokens(vorn::kMaxTokens, sentinel);
    uint64_t count = 0;
    TokenizeString(text, &count, tokens.data());
    ASSERT_EQ(count, 2u);
    EXPECT_STREQ(tokens[0], "a");
    EXPECT_STREQ(tokens[1], "b");
    for (std::size_t i = 2; i < tokens.size(); ++i) {
        EXPECT_EQ(tokens[i], sentinel) << i;
    }
}

// Builds "t0 t1 ... t<n-1>".
std::string NumberedWords(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) {
            s += ' ';
        }
        s += "t" + std::to_string(i);
    }
    return s;
}

TEST(TokenizeString, KeepsFirst63TokensWithoutOverrun) {
    for (std::size_t words :
         {std::size_t{62}, std::size_t{63}, std::size_t{64}, std::size_t{600}}) {
        std::string line = NumberedWords(words);
        std::vector<char> buf(line.begin(), line.end());
        buf.push_back('\0');
        // Exactly vorn::kMaxTokens entries on the heap: the sanitizer build catches
        // any write past them.
        std::vector<char *> tokens(vorn::kMaxTokens, nullptr);
        uint64_t count = 0;
        TokenizeString(buf.data(), &count, tokens.data());
        std::size_t expected = words < vorn::kMaxTokens ? words : vorn::kMaxTokens;
        ASSERT_EQ(count, expected) << words;
        for (std::size_t i = 0; i < expected; ++i) {
            EXPECT_EQ(std::string(tokens[i]), "t" + std::to_string(i)) << words;
        }
    }
}

TEST(TokenizeString, CallerArrayGuardsStayIntact) {
    std::string line = NumberedWords(600);
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back('\0');
    char guard[] = "guard";
    std::vector<char *> tokens(vorn::kMaxTokens + 8, guard);
    uint64_t count = 0;
    TokenizeString(buf.data(), &count, tokens.data());
    ASSERT_EQ(count, vorn::kMaxTokens);
    for (std::size_t i = vorn::kMaxTokens; i < tokens.size(); ++i) {
        EXPECT_EQ(tokens[i], guard) << i;
    }
}

const CmdTableRow kRows[] = {
    {"chksl", "check slave presence", NopHandler},
    {"getid", "read rom id", OtherHandler},
    {"help", "caller's own help", NopHandler},
    {nullptr, "", nullptr},
};

class CmdTableTest : public testing::Test {
  protected:
    void TearDown() override { CloseCmdHelper(); }
};

TEST_F(CmdTableTest, FindCmdMatchesWholeWordCaseSensitive) {
    InitCmdHelper(kRows, nullptr);
    const CmdTableRow *row = FindCmd("chksl");
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->name, "chksl");
    EXPECT_EQ(row->handler, &NopHandler);
    ASSERT_NE(FindCmd("getid"), nullptr);
    EXPECT_EQ(FindCmd("getid")->handler, &OtherHandler);

    for (const char *word : {"CHKSL", "chk", "chksl2", "", " chksl", "Help"}) {
        EXPECT_EQ(FindCmd(word), nullptr) << word;
    }
}

TEST_F(CmdTableTest, BuiltinRowsComeFirst) {
    InitCmdHelper(kRows, nullptr);
    for (const char *word : {"help", "?"}) {
        const CmdTableRow *row = FindCmd(word);
        ASSERT_NE(row, nullptr) << word;
        EXPECT_STREQ(row->description, "Print command list");
        EXPECT_EQ(row->handler, &CmdHelp);
    }
}

TEST_F(CmdTableTest, ListingPadsNamesToSixteenColumns) {
    const CmdTableRow rows[] = {
        {"chksl", "check slave presence", NopHandler},
        {"abcdefghijklmno", "fifteen", NopHandler},
        {"abcdefghijklmnop", "sixteen", NopHandler},
        {"a_much_longer_command_name", "long one", NopHandler},
        {"x", "", NopHandler},
        {nullptr, "", nullptr},
    };
    InitCmdHelper(rows, nullptr);
    CaptureStdout();
    CmdHelp(nullptr, 0);
    EXPECT_EQ(GetCapturedStdout(), "help            Print command list\r\n"
                                   "?               Print command list\r\n"
                                   "chksl           check slave presence\r\n"
                                   "abcdefghijklmno fifteen\r\n"
                                   "abcdefghijklmnop sixteen\r\n"
                                   "a_much_longer_command_name long one\r\n"
                                   "x               \r\n");
}

TEST_F(CmdTableTest, ListingWithoutCallerRows) {
    const CmdTableRow rows[] = {{nullptr, "", nullptr}};
    InitCmdHelper(rows, nullptr);
    CaptureStdout();
    CmdHelp(nullptr, 0);
    EXPECT_EQ(GetCapturedStdout(), "help            Print command list\r\n"
                                   "?               Print command list\r\n");
}

TEST_F(CmdTableTest, SecondInitReplacesTable) {
    const CmdTableRow other[] = {{"memrd", "read memory", OtherHandler}, {nullptr, "", nullptr}};
    InitCmdHelper(kRows, nullptr);
    InitCmdHelper(other, nullptr);
    EXPECT_EQ(FindCmd("chksl"), nullptr);
    ASSERT_NE(FindCmd("memrd"), nullptr);
    EXPECT_EQ(FindCmd("memrd")->handler, &OtherHandler);
    CaptureStdout();
    CmdHelp(nullptr, 0);
    EXPECT_EQ(GetCapturedStdout(), "help            Print command list\r\n"
                                   "?               Print command list\r\n"
                                   "memrd           read memory\r\n");
}

TEST_F(CmdTableTest, CloseTwiceThenInitAgain) {
    InitCmdHelper(kRows, nullptr);
    CloseCmdHelper();
    CloseCmdHelper();
    EXPECT_EQ(FindCmd("chksl"), nullptr);
    EXPECT_EQ(FindCmd("help"), nullptr);
    CaptureStdout();
    CmdHelp(nullptr, 0);
    EXPECT_EQ(GetCapturedStdout(), "");

    InitCmdHelper(kRows, nullptr);
    EXPECT_NE(FindCmd("chksl"), nullptr);
}

TEST_F(CmdTableTest, TerminatingRowIsNeverFound) {
    // A table whose last row names a word but has no handler: that row ends
    // the table and cannot be dispatched to.
    const CmdTableRow rows[] = {{"x", "d", NopHandler}, {"end", "", nullptr}};
    InitCmdHelper(rows, nullptr);
    EXPECT_NE(FindCmd("x"), nullptr);
    EXPECT_EQ(FindCmd("end"), nullptr);
}

TEST(DumpTokens, PrintsFirstCountTokens) {
    char a[] = "memrd", b[] = "", c[] = "b c", d[] = "not shown";
    char *tokens[] = {a, b, c, d};
    CaptureStdout();
    DumpTokens(3, tokens);
    EXPECT_EQ(GetCapturedStdout(), "memrd\r\n\r\nb c\r\n");
    CaptureStdout();
    DumpTokens(0, tokens);
    EXPECT_EQ(GetCapturedStdout(), "");
}

// Stands for "pass the number of arguments given".
constexpr int kAllArgs = std::numeric_limits<int>::min();

struct ValidateCase {
    std::vector<std::string> args;
    int count; // argument count passed, or kAllArgs
    int result;
    std::string output;
};

TEST(ValidateArgs, ReportsFirstHighByte) {
    const std::vector<ValidateCase> cases = {
        {{"tmtool", "memrd", "0", "32"}, kAllArgs, 1, ""},
        {{"tmtool", "\x7f~ok"}, kAllArgs, 1, ""},
        {{"tmtool", "caf\xc3\xa9", "\xd0\x96"},
         kAllArgs,
         0,
         "invalid symbol '\xc3' in param caf\xc3\xa9\n"},
        {{"\x80prog"}, kAllArgs, 0, "invalid symbol '\x80' in param \x80prog\n"},
        {{"tmtool", "x\xff"}, kAllArgs, 0, "invalid symbol '\xff' in param x\xff\n"},
        // Only the first count arguments are examined.
        {{"tmtool", "caf\xc3\xa9"}, 1, 1, ""},
        {{"caf\xc3\xa9"}, 0, 1, ""},
        {{"caf\xc3\xa9"}, -3, 1, ""},
    };
    for (const ValidateCase &c : cases) {
        std::vector<std::vector<char>> storage;
        std::vector<char *> argv;
        for (const std::string &a : c.args) {
            storage.emplace_back(a.begin(), a.end());
            storage.back().push_back('\0');
        }
        for (auto &s : storage) {
            argv.push_back(s.data());
        }
        int argc = c.count == kAllArgs ? static_cast<int>(argv.size()) : c.count;
        CaptureStdout();
        int result = ValidateArgs(argc, argv.data());
        EXPECT_EQ(GetCapturedStdout(), c.output) << c.args.back();
        EXPECT_EQ(result, c.result) << c.args.back();
    }
}

TEST(InitConsoleHelper, InstallsHandlerWithoutFlags) {
    struct sigaction oldTerm {
    }, oldInt{};
    sigaction(SIGTERM, nullptr, &oldTerm);
    sigaction(SIGINT, nullptr, &oldInt);

    CaptureStdout();
    InitConsoleHelper();
    EXPECT_EQ(GetCapturedStdout(), "");
    for (int sig : {SIGTERM, SIGINT}) {
        struct sigaction now {};
        ASSERT_EQ(sigaction(sig, nullptr, &now), 0);
        EXPECT_EQ(now.sa_handler, &sigterm_handler) << sig;
        EXPECT_EQ(now.sa_flags & (SA_RESTART | SA_RESETHAND | SA_NODEFER | SA_SIGINFO), 0) << sig;
    }

    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGINT, &oldInt, nullptr);
}

// This program defines no StartDeinit: the signal then ends it as it would
// have without the handler. Referred to weakly here as the helper does.
extern "C" void StartDeinit(void) __attribute__((weak));

TEST(SigtermHandlerDeathTest, WithoutStartDeinitTheSignalEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_EQ(&StartDeinit, nullptr);
    for (int sig : {SIGTERM, SIGINT}) {
        EXPECT_EXIT(
            {
                InitConsoleHelper();
                raise(sig);
                fprintf(stderr, "survived\n");
                exit(0);
            },
            testing::KilledBySignal(sig), "")
            << sig;
    }
}

} // namespace
