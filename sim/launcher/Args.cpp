// Option parsing of the launcher.
#include "Args.h"

#include <cstring>

namespace tmsim {

namespace {

constexpr size_t kFamilyDigits = 2;
constexpr size_t kSerialDigits = 12;
constexpr size_t kCountDigits = 8;

bool Matches(const char *word, const char *name, const char **attached) {
    size_t n = std::strlen(name);
    if (std::strncmp(word, name, n) != 0)
        return false;
    if (word[n] == '\0') {
        *attached = nullptr;
        return true;
    }
    if (word[n] == '=') {
        *attached = word + n + 1;
        return true;
    }
    return false;
}

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

} // namespace

int ArgCursor::Take(const char *name, std::string &value, std::string &err) {
    const char *attached = nullptr;
    if (Done() || !Matches(Peek(), name, &attached))
        return 0;
    m_i++;
    if (attached) {
        value = attached;
    } else if (!Done()) {
        value = m_argv[m_i++];
    } else {
        err = std::string("option '") + name + "' needs a value";
    }
    return 1;
}

int ArgCursor::TakeOptional(const char *name, bool &hasValue, std::string &value,
                            std::string &err) {
    const char *attached = nullptr;
    if (Done() || !Matches(Peek(), name, &attached))
        return 0;
    m_i++;
    hasValue = attached != nullptr;
    value = attached ? attached : "";
    if (hasValue && value.empty())
        err = std::string("option '") + name + "=' needs a value after '='";
    return 1;
}

int ArgCursor::TakeFlag(const char *name, std::string &err) {
    const char *attached = nullptr;
    if (Done() || !Matches(Peek(), name, &attached))
        return 0;
    m_i++;
    if (attached)
        err = std::string("option '") + name + "' takes no value";
    return 1;
}

int TakeRomOption(ArgCursor &args, RomChoice &choice, std::string &err) {
    std::string value;
    if (args.Take("--rom", value, err)) {
        if (err.empty() && !tmsim_rom_parse(value.c_str(), choice.rom.data()))
            err = "bad value for --rom: '" + value +
                  "' (expected 16 hex digits, the 8 ROM bytes in the driver's order)";
        choice.romGiven = true;
        return 1;
    }
    if (args.Take("--family", value, err)) {
        uint64_t v = 0;
        if (err.empty() && !tmsim_hex_parse(value.c_str(), kFamilyDigits, &v))
            err = "bad value for --family: '" + value + "' (expected 2 hex digits)";
        choice.family = static_cast<uint8_t>(v);
        choice.familyGiven = true;
        return 1;
    }
    if (args.Take("--serial", value, err)) {
        uint64_t v = 0;
        if (err.empty() && !tmsim_hex_parse(value.c_str(), kSerialDigits, &v))
            err = "bad value for --serial: '" + value + "' (expected up to 12 hex digits)";
        choice.serial = v;
        choice.serialGiven = true;
        return 1;
    }
    return 0;
}

int ResolveRom(const RomChoice &choice, uint8_t rom[TM_ROM_SIZE], std::string &err) {
    if (choice.romGiven && (choice.familyGiven || choice.serialGiven)) {
        err = "--rom cannot be combined with --family or --serial";
        return 0;
    }
    if (choice.romGiven)
        std::memcpy(rom, choice.rom.data(), TM_ROM_SIZE);
    else
        tmsim_rom_build(choice.family, choice.serial, rom);
    return 1;
}

int ParseLaunch(int argc, char **argv, LaunchRequest &req, std::string &err) {
    tmsim_config_defaults(&req.cfg);
    RomChoice rom;
    ArgCursor args(argc, argv, 1);
    std::string value;
    bool hasValue = false;
    char msg[TMSIM_ERR_MAX];
    while (!args.Done() && err.empty()) {
        const char *word = args.Peek();
        if (std::strcmp(word, "--") == 0) {
            args.Skip();
            break;
        }
        if (word[0] != '-')
            break; // the command starts here
        if (std::strcmp(word, "-h") == 0 || args.TakeFlag("--help", err)) {
            if (std::strcmp(word, "-h") == 0)
                args.Skip();
            req.help = true;
        } else if (args.Take("--state", value, err)) {
            req.stateDir = value;
            if (err.empty() && value.empty())
                err = "option '--state' needs a directory";
        } else if (TakeRomOption(args, rom, err)) {
        } else if (args.Take("--memory-size", value, err)) {
            if (err.empty() && !ParseMemorySize(value, req.cfg.memory_size))
                err = "bad value for --memory-size: '" + value + "' (expected 0 to " +
                      std::to_string(TMSIM_MEMORY_SIZE_MAX) + " bytes)";
        } else if (args.TakeFlag("--absent", err)) {
            req.cfg.key_present = 0;
        } else if (args.TakeOptional("--no-device", hasValue, value, err)) {
            req.cfg.device_present = 0;
            req.cfg.device_errno = ENOENT;
            if (err.empty() && hasValue && !tmsim_errno_parse(value.c_str(), &req.cfg.device_errno))
                err = "bad value for --no-device: '" + value +
                      "' (expected an errno name such as EACCES, or a number)";
        } else if (args.Take("--fault", value, err)) {
            if (err.empty() && !tmsim_fault_apply(&req.cfg, value.c_str(), msg, sizeof(msg)))
                err = std::string("--fault: ") + msg;
        } else if (args.Take("--log", value, err)) {
            req.logPath = value;
            if (err.empty() && value.empty())
                err = "option '--log' needs a file";
        } else if (args.TakeOptional("--trace", hasValue, value, err)) {
            req.trace = true;
            req.tracePath = value;
        } else if (args.Take("--clock", value, err)) {
            if (value == "allow")
                req.cfg.clock = TMSIM_CLOCK_ALLOW;
            else if (value == "deny")
                req.cfg.clock = TMSIM_CLOCK_DENY;
            else if (err.empty())
                err = "bad value for --clock: '" + value + "' (expected allow or deny)";
        } else if (args.Take("--rtc", value, err)) {
            if (value == "absent")
                req.cfg.rtc = TMSIM_RTC_ABSENT;
            else if (value == "present")
                req.cfg.rtc = TMSIM_RTC_PRESENT;
            else if (value == "refuse")
                req.cfg.rtc = TMSIM_RTC_REFUSE;
            else if (err.empty())
                err = "bad value for --rtc: '" + value + "' (expected absent, present or refuse)";
        } else if (args.TakeFlag("--line", err)) {
            req.line = true;
            req.cfg.backend = TMSIM_BACKEND_LINE;
        } else {
            err = std::string("unknown option '") + word + "'";
        }
    }
    if (!err.empty())
        return 0;
    if (!ResolveRom(rom, req.cfg.rom, err))
        return 0;
    if (req.help)
        return 1;
    if (args.Done()) {
        err = "no command given (tmsim [options] -- command [args...])";
        return 0;
    }
    req.commandIndex = args.Index();
    return 1;
}

} // namespace tmsim
