// The key's identity on the command lines of tmsim and "tmsim ctl" (--rom,
// --family, --serial), and the word cursor of "tmsim ctl". No exceptions:
// every parser returns 1, or 0 with a message naming the option.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "SimConfig.h"

namespace tmsim {

// How the ROM was asked for: verbatim, or built from family and serial.
struct RomChoice {
    bool romGiven = false;
    std::array<uint8_t, TM_ROM_SIZE> rom{};
    bool familyGiven = false;
    uint8_t family = TMSIM_DEFAULT_FAMILY;
    bool serialGiven = false;
    uint64_t serial = TMSIM_DEFAULT_SERIAL;

    bool Any() const { return romGiven || familyGiven || serialGiven; }
};

// Walks argv; options take their value as "--name=value" or as the next word.
class ArgCursor {
  public:
    ArgCursor(int argc, char **argv, int first) : m_argc(argc), m_argv(argv), m_i(first) {}
    bool Done() const { return m_i >= m_argc; }
    const char *Peek() const { return m_argv[m_i]; }
    int Index() const { return m_i; }
    void Skip() { m_i++; }
    // The current word is "--name" or "--name=...": consumes it (and its
    // value word when the value is required and not attached). 1 when it
    // matched; a matched option without its value sets err.
    int Take(const char *name, std::string &value, std::string &err);
    // "--name" or "--name=value" (value optional, attached only).
    int TakeOptional(const char *name, bool &hasValue, std::string &value, std::string &err);
    // "--name" with no value.
    int TakeFlag(const char *name, std::string &err);

  private:
    int m_argc;
    char **m_argv;
    int m_i;
};

// The value of --rom (16 hex digits), --family (up to 2) or --serial
// (exactly 12, "0x" allowed before them) into choice; err set when malformed.
void SetRom(const std::string &value, RomChoice &choice, std::string &err);
void SetFamily(const std::string &value, RomChoice &choice, std::string &err);
void SetSerial(const std::string &value, RomChoice &choice, std::string &err);

// --rom/--family/--serial at the cursor into choice. 1 when the word was one
// of them (err set when its value is malformed), 0 otherwise.
int TakeRomOption(ArgCursor &args, RomChoice &choice, std::string &err);

// The ROM bytes of a choice; 0 with err when --rom is mixed with the others.
int ResolveRom(const RomChoice &choice, uint8_t rom[TM_ROM_SIZE], std::string &err);

} // namespace tmsim
