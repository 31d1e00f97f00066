// SPDX-License-Identifier: GPL-2.0-or-later
// The far end's 1-Wire line: the portable key model and the simulated
// adapter of sim/line, fed with the serial bytes the driver sends and
// handing back the echo the line produces, plus the far end's own faults.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "EchoFaults.h"

struct tm_line;

namespace tmfarend {

class Devices;

constexpr size_t kRomSize = 8;
constexpr size_t kMemoryMax = 8192;
// Memory of a key whose family code names no known size.
constexpr unsigned kDefaultMemory = 512;
// The family of keys that carry their ROM only: no memory, and no answer
// to any memory command.
constexpr unsigned char kIdOnlyFamily = 0x01;
using Rom = std::array<unsigned char, kRomSize>;

// What the line did with the serial bytes so far.
struct LineCounts {
    unsigned long long resetBytes = 0; // bytes received at reset speed
    unsigned long long dataBytes = 0;  // bytes received at data speed
    unsigned long long otherBytes = 0; // bytes at any other speed
    unsigned long long dropped = 0;    // bytes left unanswered (silent)
    // Writes of the driver's transactions as the key received them: one per
    // ROM command, one per memory command with its address or header, one
    // per started 8 bytes of scratchpad data. Each is one velkor write
    // call, with its fixed wait, in the driver's transaction core.
    unsigned long long writes = 0;
};

// Memory size by the ROM's family code: that of the driver's table for the
// memory keys, 0 for the ID-only family, kDefaultMemory for any other.
unsigned FamilyMemory(unsigned char family);
// 16 hex digits, ROM byte 0 first, into rom. 0 on anything else.
int ParseRom(const std::string &text, Rom &rom);
std::string RomText(const Rom &rom);
// count bytes as lowercase hex digits, two a byte, no blanks.
std::string HexText(const unsigned char *bytes, size_t count);

class KeyLine {
  public:
    KeyLine();
    ~KeyLine();
    KeyLine(const KeyLine &) = delete;
    KeyLine &operator=(const KeyLine &) = delete;

    // Sets the line up: memory of memSize bytes (0: by family code), the
    // start of it holding a greeting text, and a key with rom unless
    // keyPresent is 0. Returns 0 when out of memory or memSize too large.
    int Init(const Rom &rom, int keyPresent, unsigned memSize);

    // The echo of count serial bytes sent at baud, into echo (count bytes),
    // and what each byte was on the line into kinds (count of them).
    // Returns the number of echo bytes to send back: count, or 0 when the
    // far end is silent.
    size_t Answer(const unsigned char *bytes, size_t count, unsigned baud, unsigned char *echo,
                  SlotKind *kinds);

    // Key changes; 0 with err set when the change makes no sense. They take
    // effect at the next reset pulse, so a transaction in progress ends
    // with the key it began with.
    int Attach(const Rom &rom, std::string &err);
    int Remove(std::string &err);
    int Swap(const Rom &rom, std::string &err);

    void SetSilent(int on) { m_silent = on; }
    void SetBadCrc(int on);
    void SetShort(int on);
    void ClearFaults();

    // The key as the last change left it (in effect from the next reset).
    int KeyPresent() const { return m_present; }
    const Rom &CurrentRom() const { return m_rom; }
    unsigned MemorySize() const { return m_present ? SizeFor(m_rom) : 0; }
    // The key memory as the model holds it, StoredSize() bytes. One memory
    // serves every key: remove, attach and swap leave its bytes as they
    // are. The size is that of the key as the last change left it, or of
    // the last key there was (the starting ROM or --memory) with none.
    const unsigned char *Memory() const { return m_mem.data(); }
    unsigned StoredSize() const { return SizeFor(m_rom); }
    int Silent() const { return m_silent; }
    int BadCrc() const { return m_badCrc; }
    int Shorted() const { return m_short; }
    const LineCounts &Counts() const { return m_counts; }
    // The devices beside the key, wired-AND with it on the line.
    Devices &Extra() { return *m_devices; }

  private:
    unsigned SizeFor(const Rom &rom) const;
    void ApplyChange();
    void CountWrite();
    SlotKind KindOfNextSlot() const;
    void RefuseMemoryCommand(int wasSelected);

    void Slot(const unsigned char *bytes, size_t i, unsigned char *echo);
    void KeySelected();

    tm_line *m_line = nullptr;
    std::unique_ptr<Devices> m_devices;
    std::array<unsigned char, kMemoryMax> m_mem{};
    Rom m_rom{};              // the key to be on the line
    int m_present = 0;        // whether one is to be there
    int m_changed = 0;        // a change waits for the next reset
    Rom m_liveRom{};          // the key the model has now
    unsigned m_fixedSize = 0; // memory size given at start, 0: by family
    int m_silent = 0;
    int m_badCrc = 0;
    int m_short = 0;
    unsigned m_scratchBytes = 0; // scratchpad data bytes since the reset
    LineCounts m_counts;
};

} // namespace tmfarend
