// SPDX-License-Identifier: GPL-2.0-or-later
// tmsim: runs a command against the touch-memory driver stand-in. It writes
// the state directory from its options and then replaces itself with the
// command, preloading libtmsim.so from its own directory.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "Ctl.h"
#include "DriverCore.h"
#include "LaunchArgs.h"
#include "SimConfig.h"
#include "StateDir.h"
#include "Usage.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kNotFound = 127;
constexpr int kNotRunnable = 126;
constexpr const char *kPreloadName = "libtmsim.so";
constexpr const char *kAsanNoLinkOrderCheck = "verify_asan_link_order=0";

// msg is empty when getopt_long has printed the message already.
int Fail(const std::string &msg, bool hint) {
    if (!msg.empty())
        std::fprintf(stderr, "tmsim: %s\n", msg.c_str());
    if (hint)
        std::fprintf(stderr, "Try 'tmsim --help'.\n");
    return kUsageError;
}

// The directory this program was started from.
std::string SelfDir() {
    std::array<char, TMSIM_PATH_MAX> buf{};
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0)
        return ".";
    std::string path(buf.data(), static_cast<size_t>(n));
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

int CopyPath(char *dst, size_t size, const std::string &path) {
    if (path.size() >= size)
        return 0;
    std::memcpy(dst, path.c_str(), path.size() + 1);
    return 1;
}

// The preload goes first; what was preloaded already stays after it. The
// sanitizer runtime of an instrumented command is then not first in the
// library list, which it would refuse by default.
int SetChildEnvironment(const std::string &lib, const std::string &stateDir) {
    const char *old = std::getenv("LD_PRELOAD");
    std::string preload = lib;
    if (old && old[0])
        preload += std::string(":") + old;
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::string asanOptions = kAsanNoLinkOrderCheck;
    if (asan && asan[0])
        asanOptions = std::string(asan) + ":" + kAsanNoLinkOrderCheck;
    return setenv("LD_PRELOAD", preload.c_str(), 1) == 0 &&
           setenv(TMSIM_STATE_ENV, stateDir.c_str(), 1) == 0 &&
           setenv("ASAN_OPTIONS", asanOptions.c_str(), 1) == 0;
}

int Launch(int argc, char **argv) {
    tmsim::LaunchRequest req;
    std::string err;
    if (!tmsim::ParseLaunch(argc, argv, req, err))
        return Fail(err, true);
    if (req.help) {
        std::fputs(tmsim::UsageText(), stdout);
        return 0;
    }
    if (req.version) {
        std::printf("tmsim %s\n", TMSIM_VERSION);
        return 0;
    }
    // What --memory-size gave, else the memory of the key's family.
    uint32_t memorySize = 0;
    (void)tmsim_config_memory(&req.cfg, &memorySize);
    if (req.line) {
#ifndef TMSIM_HAVE_LINE
        return Fail("--line: line-level backend not built", false);
#endif
        if (memorySize > TMSIM_LINE_MEMORY_MAX)
            return Fail("--line: key memory of " + std::to_string(memorySize) +
                            " bytes is more than the line addresses (at most " +
                            std::to_string(TMSIM_LINE_MEMORY_MAX) + ")",
                        false);
    } else if (req.cfg.line_flip != TMSIM_COUNT_OFF || req.cfg.line_remove != TMSIM_COUNT_OFF ||
               (req.cfg.faults & TMSIM_FAULT_LINE_SHORT)) {
        return Fail("--fault: line-flip, line-remove and line-short need --line", false);
    }

    std::string dir =
        tmsim::Absolute(req.stateDir.empty() ? tmsim::DefaultStateDir() : req.stateDir);
    if (!tmsim::EnsureDir(dir, err))
        return Fail(err, false);
    std::string logPath =
        req.logPath.empty() ? tmsim::InState(dir, TMSIM_LOG_NAME) : tmsim::Absolute(req.logPath);
    std::string tracePath;
    if (req.trace)
        tracePath = req.tracePath.empty() ? tmsim::InState(dir, TMSIM_TRACE_NAME)
                                          : tmsim::Absolute(req.tracePath);
    if (!CopyPath(req.cfg.log_path, sizeof(req.cfg.log_path), logPath) ||
        !CopyPath(req.cfg.trace_path, sizeof(req.cfg.trace_path), tracePath))
        return Fail("path too long", false);

    // The stand-in writes these with every signal blocked; it refuses all
    // but regular files there, so say so now rather than lose the records.
    for (const std::string &path :
         {tracePath, tmsim::InState(dir, TMSIM_CLOCK_NAME), tmsim::InState(dir, TMSIM_RTC_NAME)}) {
        if (!path.empty() && !tmsim::RegularOrMissing(path, err))
            return Fail(err, false);
    }

    std::array<char, TMSIM_ERR_MAX> msg{};
    std::string config = tmsim::InState(dir, TMSIM_CONFIG_NAME);
    if (!tmsim_config_save(config.c_str(), &req.cfg, msg.data(), msg.size()))
        return Fail(msg.data(), false);
    std::string memory = tmsim::InState(dir, TMSIM_MEMORY_NAME);
    if (!tmsim_mem_prepare(memory.c_str(), memorySize, req.freshMemory ? 1 : 0)) {
        if (errno == EINVAL)
            return Fail(memory +
                            " is not a regular file (remove it, or launch with --fresh-memory)",
                        false);
        return Fail("cannot create " + memory + " [" + std::strerror(errno) + "]", false);
    }

    std::string lib = SelfDir() + "/" + kPreloadName;
    if (access(lib.c_str(), R_OK) != 0)
        return Fail("preload library " + lib + " not found [" + std::strerror(errno) + "]", false);
    if (!SetChildEnvironment(lib, dir))
        return Fail(std::string("cannot set the environment [") + std::strerror(errno) + "]",
                    false);

    char **command = argv + req.commandIndex;
    execvp(command[0], command);
    int saved = errno;
    std::fprintf(stderr, "tmsim: cannot run '%s' [%s]\n", command[0], std::strerror(saved));
    return saved == ENOENT ? kNotFound : kNotRunnable;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "ctl") == 0)
        return tmsim::RunCtl(argc, argv, 2);
    return Launch(argc, argv);
}
