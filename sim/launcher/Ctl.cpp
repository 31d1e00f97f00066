// tmsim ctl: reads STATE/config, changes it, writes it back atomically. A
// running program sees the change at its next device request.
#include "Ctl.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "Args.h"
#include "SimConfig.h"
#include "StateDir.h"

namespace tmsim {

namespace {

constexpr int kUsageError = 2;

int Fail(const std::string &msg) {
    std::fprintf(stderr, "tmsim ctl: %s\n", msg.c_str());
    return kUsageError;
}

// The words after the subcommand: ROM options only (and --state).
int ParseRomWords(ArgCursor &args, RomChoice &rom, std::string &stateDir, std::string &err) {
    std::string value;
    while (!args.Done() && err.empty()) {
        if (args.Take("--state", value, err)) {
            stateDir = value;
        } else if (!TakeRomOption(args, rom, err)) {
            err = std::string("unexpected argument '") + args.Peek() + "'";
        }
    }
    return err.empty();
}

int NoMoreWords(ArgCursor &args, std::string &stateDir, std::string &err) {
    std::string value;
    while (!args.Done() && err.empty()) {
        if (!args.Take("--state", value, err))
            err = std::string("unexpected argument '") + args.Peek() + "'";
        else
            stateDir = value;
    }
    return err.empty();
}

} // namespace

int RunCtl(int argc, char **argv, int first) {
    ArgCursor args(argc, argv, first);
    std::string stateDir;
    std::string err;
    std::string value;
    while (!args.Done() && args.Take("--state", value, err)) {
        if (!err.empty())
            return Fail(err);
        stateDir = value;
    }
    if (args.Done())
        return Fail("no subcommand (attach, remove, swap, vanish, appear, fault, clear-faults, "
                    "show)");
    std::string cmd = args.Peek();
    args.Skip();

    RomChoice rom;
    std::string faultText;
    if (cmd == "attach" || cmd == "swap") {
        if (!ParseRomWords(args, rom, stateDir, err))
            return Fail(err);
        if (cmd == "swap" && !rom.Any())
            return Fail("swap needs the new key: --rom HEX or --family HH --serial HEX12");
    } else if (cmd == "fault") {
        if (args.Done())
            return Fail(std::string("fault needs NAME[=ARG] (") + tmsim_fault_names() + ")");
        faultText = args.Peek();
        args.Skip();
        if (!NoMoreWords(args, stateDir, err))
            return Fail(err);
    } else if (cmd == "remove" || cmd == "vanish" || cmd == "appear" || cmd == "clear-faults" ||
               cmd == "show") {
        if (!NoMoreWords(args, stateDir, err))
            return Fail(err);
    } else {
        return Fail("unknown subcommand '" + cmd + "'");
    }

    std::string dir = Absolute(stateDir.empty() ? DefaultStateDir() : stateDir);
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
        if (rom.Any() && !ResolveRom(rom, cfg.rom, err))
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
        if (!tmsim_fault_apply(&cfg, faultText.c_str(), msg.data(), msg.size()))
            return Fail(msg.data());
    } else if (cmd == "clear-faults") {
        tmsim_faults_clear(&cfg);
    }
    if (!tmsim_config_save(path.c_str(), &cfg, msg.data(), msg.size()))
        return Fail(msg.data());
    return 0;
}

} // namespace tmsim
