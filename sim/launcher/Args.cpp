// Option parsing of the launcher.
#include "Args.h"

#include <cstring>

namespace tmsim {

namespace {

constexpr size_t kFamilyDigits = 2;
constexpr size_t kSerialDigits = 12;

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

// Exactly digits hex digits, after an optional "0x".
bool ParseExactHex(const std::string &text, size_t digits, uint64_t &out) {
    size_t prefix = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? 2 : 0;
    return text.size() == prefix + digits && tmsim_hex_parse(text.c_str(), digits, &out);
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

void SetRom(const std::string &value, RomChoice &choice, std::string &err) {
    if (!tmsim_rom_parse(value.c_str(), choice.rom.data()))
        err = "bad value for --rom: '" + value +
              "' (expected 16 hex digits, the 8 ROM bytes in the driver's order)";
    choice.romGiven = true;
}

void SetFamily(const std::string &value, RomChoice &choice, std::string &err) {
    uint64_t v = 0;
    if (!tmsim_hex_parse(value.c_str(), kFamilyDigits, &v))
        err = "bad value for --family: '" + value + "' (expected 2 hex digits)";
    choice.family = static_cast<uint8_t>(v);
    choice.familyGiven = true;
}

void SetSerial(const std::string &value, RomChoice &choice, std::string &err) {
    uint64_t v = 0;
    if (!ParseExactHex(value, kSerialDigits, v))
        err = "bad value for --serial: '" + value + "' (expected 12 hex digits)";
    choice.serial = v;
    choice.serialGiven = true;
}

int TakeRomOption(ArgCursor &args, RomChoice &choice, std::string &err) {
    std::string value;
    if (args.Take("--rom", value, err)) {
        if (err.empty())
            SetRom(value, choice, err);
        return 1;
    }
    if (args.Take("--family", value, err)) {
        if (err.empty())
            SetFamily(value, choice, err);
        return 1;
    }
    if (args.Take("--serial", value, err)) {
        if (err.empty())
            SetSerial(value, choice, err);
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

} // namespace tmsim
