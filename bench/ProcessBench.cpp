// SPDX-License-Identifier: GPL-2.0-or-later
// One-shot runs from process start to exit, all under the driver stand-in:
// "tmtool getid" and "tmtool memrd 0 512" against devcalls, a minimal C
// program making the same device calls (the 50 ms settle pause of memrd
// included). The ratio is what the tool's loading, client log and output
// cost over the calls themselves.

#include "BenchUtil.h"
#include "RatioTable.h"

#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

const std::string kTmsim = std::string(VORN_BIN_DIR) + "/tmsim";
const std::string kTmtool = std::string(VORN_BIN_DIR) + "/tmtool";
const std::string kDevcalls = std::string(VORN_BENCH_BIN_DIR) + "/devcalls";

// tmsim's key for every run: present, family 0x04 with 512 bytes of memory.
constexpr const char *kSimRom = "04efbeadde0000cd";

// Runs argv with standard output and error on /dev/null; the exit status, or
// -1 when it could not be started or did not exit normally.
int RunQuiet(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void RunUnderSim(benchmark::State &state, const std::vector<std::string> &command) {
    CScratchDir dir;
    std::vector<std::string> args = {kTmsim, "--state", dir.Path(), "--rom", kSimRom, "--"};
    args.insert(args.end(), command.begin(), command.end());
    if (RunQuiet(args) != 0) { // also creates the state before timing
        state.SkipWithError("the command failed under tmsim");
        return;
    }
    for (auto _ : state) {
        if (RunQuiet(args) != 0) {
            state.SkipWithError("the command failed under tmsim");
            break;
        }
    }
}

void BM_TmtoolGetid(benchmark::State &state) {
    RunUnderSim(state, {kTmtool, "getid"});
}
void BM_DevcallsGetid(benchmark::State &state) {
    RunUnderSim(state, {kDevcalls, "getid"});
}
void BM_TmtoolMemrd(benchmark::State &state) {
    RunUnderSim(state, {kTmtool, "memrd", "0", "512"});
}
void BM_DevcallsMemrd(benchmark::State &state) {
    RunUnderSim(state, {kDevcalls, "memrd"});
}
BENCHMARK(BM_TmtoolGetid)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_DevcallsGetid)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_TmtoolMemrd)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_DevcallsMemrd)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

const int kRegistered =
    RegisterRatio({"BM_TmtoolGetid/min_time:1.000/real_time",
                   "BM_DevcallsGetid/min_time:1.000/real_time", 1.2, 0,
                   "tmsim -- tmtool getid vs tmsim -- devcalls getid, process start to exit"}) +
    RegisterRatio({"BM_TmtoolMemrd/min_time:2.000/real_time",
                   "BM_DevcallsMemrd/min_time:2.000/real_time", 0, 0,
                   "tmsim -- tmtool memrd 0 512 vs tmsim -- devcalls memrd (both pause 50 ms)"});

} // namespace
