// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target: a console line through the tool's own command handlers and
// the client, against the driver stand-in. Run it under tmsim (scripts/
// fuzz.sh does): `tmsim --state DIR -- fuzz_console ...`; without the
// stand-in it refuses to start, so that it never touches a real key.
//
// The line is read as the prompt reads it (up to its line feed, at most
// 1022 characters), tokenized and dispatched through a table of the tool's
// handlers and the one-shot aliases. Left out: quit and exit (they end the
// process) and /pool (it runs until a signal). File operands are mapped
// onto a fixed set of paths in the state directory and a few special files,
// so that the fuzzer never writes anywhere else. The pauses of the commands
// are skipped (usleep returns at once). After each line no descriptor may
// be left open. The commands print to standard output and the listing goes
// to standard error: run with -close_fd_mask=3.

#include "ClientLog.h"
#include "CmdHelperLimits.h"
#include "CmdHelper.h"
#include "Tool.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <climits>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kLineMax = kLineReadSize - 1;

std::string g_files;    // the scratch directory for file operands
int g_descriptors = -1; // CommandDescriptors() before the first input
std::array<std::string, 8> g_paths;

// The file operand a handler gets: one of the fixed paths, chosen by the
// word's bytes.
char *SafePath(const char *word) {
    unsigned sum = 0;
    for (const char *p = word; *p != '\0'; ++p)
        sum = sum * 31 + static_cast<unsigned char>(*p);
    return g_paths[sum % g_paths.size()].data();
}

// Calls handler with word `at` replaced by a safe path when it is present.
void WithSafeFile(CmdHandler handler, std::size_t at, char **words, uint64_t count) {
    std::array<char *, kLoopTokenArraySize> safe{};
    for (uint64_t i = 0; i < count && i < safe.size(); ++i)
        safe[i] = words[i];
    if (count > at)
        safe[at] = SafePath(words[at]);
    handler(safe.data(), count);
}

void MemRdF(char **w, uint64_t c) {
    WithSafeFile(CmdMemRdF, 1, w, c);
}
void MemWrF(char **w, uint64_t c) {
    WithSafeFile(CmdMemWrF, 1, w, c);
}
void Read(char **w, uint64_t c) {
    WithSafeFile(CmdRead, 3, w, c);
}
void Write(char **w, uint64_t c) {
    WithSafeFile(CmdWrite, 3, w, c);
}

const CmdTableRow kRows[] = {
    {"chksl", "", CmdChkSl}, {"getid", "", CmdGetId},   {"skiprom", "", CmdSkipRom},
    {"memrd", "", CmdMemRd}, {"memwrs", "", CmdMemWrS}, {"memrdf", "", MemRdF},
    {"memwrf", "", MemWrF},  {"/read", "", Read},       {"/write", "", Write},
    {nullptr, "", nullptr},
};

// Descriptors open on anything a command may open: the device, the
// paths of file operands, the special files among them. (The lowest free
// number would not do: the sanitizers' symbolizer opens pipes of its own.)
int CommandDescriptors() {
    int n = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        abort();
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::array<char, PATH_MAX> target{};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t len = readlink(link.c_str(), target.data(), target.size() - 1);
        if (len <= 0)
            continue;
        const std::string path(target.data(), static_cast<std::size_t>(len));
        bool ours = path.find("tmsim-touchm0") != std::string::npos || path.rfind(g_files, 0) == 0;
        for (const std::string &p : g_paths)
            ours = ours || (!p.empty() && path == p);
        n += ours;
    }
    closedir(dir);
    return n;
}

} // namespace

// The commands' pauses only slow the fuzzer down.
extern "C" int usleep(useconds_t) {
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *state = getenv("TMSIM_STATE");
    const char *preload = getenv("LD_PRELOAD");
    if (state == nullptr || preload == nullptr || strstr(preload, "libtmsim") == nullptr) {
        fprintf(stderr, "fuzz_console: run me under tmsim (see scripts/fuzz.sh)\n");
        exit(2);
    }
    g_files = std::string(state) + "/fuzz-files";
    mkdir(g_files.c_str(), 0700);
    mkdir((g_files + "/dir").c_str(), 0700);
    g_paths = {g_files + "/a.bin", g_files + "/b.bin", g_files + "/dir", g_files + "/missing/x",
               "/dev/full",        "/dev/null",        "/proc/self/mem", ""};
    // Some content to read back into the key.
    FILE *a = fopen(g_paths[0].c_str(), "wb");
    if (a != nullptr) {
        fputs("file contents", a);
        fclose(a);
    }
    if (!g_client.Init(TM_DEVICE_PATH)) {
        fprintf(stderr, "fuzz_console: the stand-in's device does not open\n");
        exit(2);
    }
    InitCmdHelper(kRows, ">");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (g_descriptors < 0)
        g_descriptors = CommandDescriptors();
    std::string line(reinterpret_cast<const char *>(data), size < kLineMax ? size : kLineMax);
    line = line.substr(0, line.find('\n')).c_str();
    if (line.empty())
        return 0;
    std::array<char, kLineBufferSize> buffer{};
    memcpy(buffer.data(), line.c_str(), line.size() + 1);

    std::array<char *, kLoopTokenArraySize> tokens{};
    uint64_t count = 0;
    TokenizeString(buffer.data(), &count, tokens.data());
    if (count > 0) {
        const CmdTableRow *row = FindCmd(tokens[0]);
        if (row != nullptr && row->handler != nullptr)
            row->handler(tokens.data(), count);
    }
    fflush(stdout);

    // Nothing the command opened may stay open.
    if (CommandDescriptors() != g_descriptors)
        abort();
    // Keep the client log small: the stand-in puts it in the state directory.
    const int logFd = g_clientLog.Descriptor();
    if (logFd > 0 && (ftruncate(logFd, 0) != 0 || lseek(logFd, 0, SEEK_SET) != 0))
        abort();
    return 0;
}
