// SPDX-License-Identifier: GPL-2.0-or-later
// Option parsing of the launcher, through getopt_long.
#include "LaunchArgs.h"

#include <array>
#include <cerrno>
#include <getopt.h>
#include <string>
#include <vector>

#include "RomOptions.h"

namespace tmsim {

namespace {

constexpr size_t kCountDigits = 8;

// Values of getopt_long for the options without a short form.
enum LaunchOption : int {
    kOptState = 256,
    kOptRom,
    kOptFamily,
    kOptSerial,
    kOptMemorySize,
    kOptFreshMemory,
    kOptAbsent,
    kOptNoDevice,
    kOptFault,
    kOptLog,
    kOptTrace,
    kOptClock,
    kOptRtc,
    kOptLine,
    kOptVersion,
};

// "+": stop at the first word that is not an option (the command), so that
// the command's own options stay its own.
constexpr const char *kShortOptions = "+h";

const struct option kLongOptions[] = {
    {"state", required_argument, nullptr, kOptState},
    {"rom", required_argument, nullptr, kOptRom},
    {"family", required_argument, nullptr, kOptFamily},
    {"serial", required_argument, nullptr, kOptSerial},
    {"memory-size", required_argument, nullptr, kOptMemorySize},
    {"fresh-memory", no_argument, nullptr, kOptFreshMemory},
    {"absent", no_argument, nullptr, kOptAbsent},
    {"no-device", optional_argument, nullptr, kOptNoDevice},
    {"fault", required_argument, nullptr, kOptFault},
    {"log", required_argument, nullptr, kOptLog},
    {"trace", optional_argument, nullptr, kOptTrace},
    {"clock", required_argument, nullptr, kOptClock},
    {"rtc", required_argument, nullptr, kOptRtc},
    {"line", no_argument, nullptr, kOptLine},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kOptVersion},
    {nullptr, 0, nullptr, 0},
};

// The name getopt_long puts before its messages, whatever path started us.
char g_programName[] = "tmsim";

int ParseMemorySize(const std::string &text, uint32_t &out) {
    uint64_t v = 0;
    if (text.empty() || text.size() > kCountDigits)
        return 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > TMSIM_MEMORY_SIZE_MAX)
        return 0;
    out = static_cast<uint32_t>(v);
    return 1;
}

// One option and its value (null when it has none) into req.
void Apply(int opt, const char *arg, LaunchRequest &req, RomChoice &rom, std::string &err) {
    std::string value = arg ? arg : "";
    std::array<char, TMSIM_ERR_MAX> msg{};
    switch (opt) {
    case 'h':
        req.help = true;
        break;
    case kOptVersion:
        req.version = true;
        break;
    case kOptState:
        req.stateDir = value;
        if (value.empty())
            err = "option '--state' needs a directory";
        break;
    case kOptRom:
        SetRom(value, rom, err);
        break;
    case kOptFamily:
        SetFamily(value, rom, err);
        break;
    case kOptSerial:
        SetSerial(value, rom, err);
        break;
    case kOptMemorySize:
        if (!ParseMemorySize(value, req.cfg.memory_size))
            err = "bad value for --memory-size: '" + value + "' (expected 0 to " +
                  std::to_string(TMSIM_MEMORY_SIZE_MAX) + " bytes)";
        req.cfg.memory_size_set = 1;
        break;
    case kOptFreshMemory:
        req.freshMemory = true;
        break;
    case kOptAbsent:
        req.cfg.key_present = 0;
        break;
    case kOptNoDevice:
        req.cfg.device_present = 0;
        req.cfg.device_errno = ENOENT;
        if (arg && value.empty())
            err = "option '--no-device=' needs a value after '='";
        else if (arg && !tmsim_errno_parse(arg, &req.cfg.device_errno))
            err = "bad value for --no-device: '" + value +
                  "' (expected an errno name such as EACCES, or a number)";
        break;
    case kOptFault:
        if (!tmsim_fault_apply(&req.cfg, value.c_str(), msg.data(), msg.size()))
            err = std::string("--fault: ") + msg.data();
        break;
    case kOptLog:
        req.logPath = value;
        if (value.empty())
            err = "option '--log' needs a file";
        break;
    case kOptTrace:
        req.trace = true;
        req.tracePath = value;
        if (arg && value.empty())
            err = "option '--trace=' needs a value after '='";
        break;
    case kOptClock:
        if (value == "allow")
            req.cfg.clock = TMSIM_CLOCK_ALLOW;
        else if (value == "deny")
            req.cfg.clock = TMSIM_CLOCK_DENY;
        else
            err = "bad value for --clock: '" + value + "' (expected allow or deny)";
        break;
    case kOptRtc:
        if (value == "absent")
            req.cfg.rtc = TMSIM_RTC_ABSENT;
        else if (value == "present")
            req.cfg.rtc = TMSIM_RTC_PRESENT;
        else if (value == "refuse")
            req.cfg.rtc = TMSIM_RTC_REFUSE;
        else
            err = "bad value for --rtc: '" + value + "' (expected absent, present or refuse)";
        break;
    case kOptLine:
        req.line = true;
        req.cfg.backend = TMSIM_BACKEND_LINE;
        break;
    default:
        break;
    }
}

} // namespace

int ParseLaunch(int argc, char **argv, LaunchRequest &req, std::string &err) {
    tmsim_config_defaults(&req.cfg);
    RomChoice rom;
    if (argc < 1) {
        err = "no command given (tmsim [options] -- command [args...])";
        return 0;
    }
    // getopt_long works on a copy whose first word is the program's name;
    // with "+" it reorders nothing, so indices stay those of argv.
    std::vector<char *> words(argv, argv + argc);
    words[0] = g_programName;
    words.push_back(nullptr);
    optind = 0; // a full restart of getopt_long's scan
    opterr = 1;
    for (;;) {
        int opt = getopt_long(argc, words.data(), kShortOptions, kLongOptions, nullptr);
        if (opt == -1)
            break;
        if (opt == '?' || opt == ':') {
            err.clear(); // getopt_long said what is wrong
            return 0;
        }
        Apply(opt, optarg, req, rom, err);
        if (!err.empty())
            return 0;
    }
    if (!ResolveRom(rom, req.cfg.rom, err))
        return 0;
    if (req.help || req.version)
        return 1;
    if (optind >= argc) {
        err = "no command given (tmsim [options] -- command [args...])";
        return 0;
    }
    req.commandIndex = optind;
    return 1;
}

} // namespace tmsim
