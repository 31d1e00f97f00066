// SPDX-License-Identifier: GPL-2.0-or-later
// tmsim ctl: reads STATE/config, changes it, writes it back atomically. A
// running program sees the change at its next device request.
#include "Ctl.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>

#include "RomOptions.h"
#include "SimConfig.h"
#include "StateDir.h"

namespace tmsim {

namespace {

constexpr int kUsageError = 2;

enum CtlOption : int { kOptState = 256, kOptRom, kOptFamily, kOptSerial };

// The value getopt_long gives a word that is no option, with "-" first in
// the short options: words come in order, options may stand before or after
// the subcommand, whatever POSIXLY_CORRECT says.
constexpr int kOperand = 1;
constexpr const char *kShortOptions = "-";

const struct option kLongOptions[] = {
    {"state", required_argument, nullptr, kOptState},
    {"rom", required_argument, nullptr, kOptRom},
    {"family", required_argument, nullptr, kOptFamily},
    {"serial", required_argument, nullptr, kOptSerial},
    {nullptr, 0, nullptr, 0},
};

// The name getopt_long puts before its messages.
char g_programName[] = "tmsim ctl";

int Fail(const std::string &msg) {
    std::fprintf(stderr, "tmsim ctl: %s\n", msg.c_str());
    return kUsageError;
}

struct CtlRequest {
    std::string stateDir;
    RomChoice rom;
    const char *romOption = nullptr; // the first ROM option, for messages
    std::vector<std::string> words;  // subcommand and its operands
};

// 1, or 0 with err set (empty when getopt_long has reported it).
int ParseCtl(int argc, char **argv, int first, CtlRequest &req, std::string &err) {
    // getopt_long scans a copy: the program's name, then the words after
    // "ctl".
    std::vector<char *> words = {g_programName};
    words.insert(words.end(), argv + first, argv + argc);
    int count = static_cast<int>(words.size());
    words.push_back(nullptr);
    optind = 0; // a full restart of getopt_long's scan
    opterr = 1;
    for (;;) {
        int opt = getopt_long(count, words.data(), kShortOptions, kLongOptions, nullptr);
        if (opt == -1)
            break;
        std::string value = optarg ? optarg : "";
        switch (opt) {
        case kOperand:
            req.words.push_back(value);
            break;
        case kOptState:
            req.stateDir = value;
            break;
        case kOptRom:
            SetRom(value, req.rom, err);
            req.romOption = req.romOption ? req.romOption : "--rom";
            break;
        case kOptFamily:
            SetFamily(value, req.rom, err);
            req.romOption = req.romOption ? req.romOption : "--family";
            break;
        case kOptSerial:
            SetSerial(value, req.rom, err);
            req.romOption = req.romOption ? req.romOption : "--serial";
            break;
        default:
            err.clear(); // getopt_long said what is wrong
            return 0;
        }
        if (!err.empty())
            return 0;
    }
    // Whatever follows "--" is operands too.
    for (int i = optind; i < count; i++)
        req.words.emplace_back(words[static_cast<size_t>(i)]);
    return 1;
}

} // namespace

int RunCtl(int argc, char **argv, int first) {
    CtlRequest req;
    std::string err;
    if (!ParseCtl(argc, argv, first, req, err))
        return err.empty() ? kUsageError : Fail(err);
    if (req.words.empty())
        return Fail("no subcommand (attach, remove, swap, vanish, appear, fault, clear-faults, "
                    "show)");
    const std::string &cmd = req.words[0];
    size_t operands = 0;
    bool romAllowed = false;
    if (cmd == "attach" || cmd == "swap") {
        romAllowed = true;
        if (cmd == "swap" && !req.rom.Any())
            return Fail("swap needs the new key: --rom HEX or --family HH --serial HEX12");
    } else if (cmd == "fault") {
        if (req.words.size() < 2)
            return Fail(std::string("fault needs NAME[=ARG] (") + tmsim_fault_names() + ")");
        operands = 1;
    } else if (cmd != "remove" && cmd != "vanish" && cmd != "appear" && cmd != "clear-faults" &&
               cmd != "show") {
        return Fail("unknown subcommand '" + cmd + "'");
    }
    if (req.words.size() > 1 + operands)
        return Fail("unexpected argument '" + req.words[1 + operands] + "'");
    if (!romAllowed && req.rom.Any())
        return Fail(std::string("unexpected argument '") + req.romOption + "'");

    std::string dir = Absolute(req.stateDir.empty() ? DefaultStateDir() : req.stateDir);
    std::string path = InState(dir, TMSIM_CONFIG_NAME);
    static struct tmsim_config cfg;
    std::array<char, TMSIM_ERR_MAX> msg{};
    if (!tmsim_config_load(path.c_str(), &cfg, msg.data(), msg.size()))
        return Fail(std::string("no usable state in ") + dir + ": " + msg.data());

    if (cmd == "show") {
        static std::array<char, TMSIM_CONFIG_TEXT_MAX> text{};
        int len = tmsim_config_format(&cfg, text.data(), text.size());
        if (len < 0)
            return Fail("state too large to show");
        std::fwrite(text.data(), 1, static_cast<size_t>(len), stdout);
        return 0;
    }
    if (cmd == "attach" || cmd == "swap") {
        if (req.rom.Any() && !ResolveRom(req.rom, cfg.rom, err))
            return Fail(err);
        cfg.key_present = 1;
    } else if (cmd == "remove") {
        cfg.key_present = 0;
    } else if (cmd == "vanish") {
        cfg.device_present = 0;
        cfg.device_errno = ENOENT;
        cfg.device_generation++;
    } else if (cmd == "appear") {
        cfg.device_present = 1;
        cfg.device_generation++;
    } else if (cmd == "fault") {
        if (!tmsim_fault_apply(&cfg, req.words[1].c_str(), msg.data(), msg.size()))
            return Fail(msg.data());
    } else if (cmd == "clear-faults") {
        tmsim_faults_clear(&cfg);
    }
    if (!tmsim_config_save(path.c_str(), &cfg, msg.data(), msg.size()))
        return Fail(msg.data());
    return 0;
}

} // namespace tmsim
