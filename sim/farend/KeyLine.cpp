// SPDX-License-Identifier: GPL-2.0-or-later
// The far end's line: serial bytes go through the simulated adapter of
// sim/line (tm_pl2303.c), which clocks the portable key model (tm_key.c)
// one time slot per byte and hands back the echo the line carried.
#include "KeyLine.h"
#include "Devices.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" {
#include "tm_line_core.h"
}

namespace tmfarend {

namespace {

// The greeting at the start of a fresh key's memory.
constexpr char kGreeting[] = "touch-memory key 0108: hello\n";
// The ROM byte that carries the CRC-8, and the bit a bad CRC flips in it.
constexpr size_t kCrcIndex = kRomSize - 1;
constexpr unsigned char kCrcFlip = 0x01;
constexpr unsigned kHexBase = 16;
// The key has this many bits of a byte when the next slot completes it.
constexpr unsigned kKeyLastBit = 7;
constexpr size_t kHexDigitsPerByte = 2;

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

unsigned FamilyMemory(unsigned char family) {
    if (family == kIdOnlyFamily)
        return 0;
    unsigned size = tm_core_family_mem_size(family);
    return size ? size : kDefaultMemory;
}

int ParseRom(const std::string &text, Rom &rom) {
    if (text.size() != kRomSize * kHexDigitsPerByte)
        return 0;
    Rom out{};
    for (size_t i = 0; i < kRomSize; i++) {
        int hi = HexDigit(text[i * kHexDigitsPerByte]);
        int lo = HexDigit(text[i * kHexDigitsPerByte + 1]);
        if (hi < 0 || lo < 0)
            return 0;
        out[i] = static_cast<unsigned char>(hi * kHexBase + lo);
    }
    rom = out;
    return 1;
}

std::string RomText(const Rom &rom) {
    return HexText(rom.data(), rom.size());
}

std::string HexText(const unsigned char *bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(count * kHexDigitsPerByte);
    for (size_t i = 0; i < count; i++) {
        s += digits[bytes[i] / kHexBase];
        s += digits[bytes[i] % kHexBase];
    }
    return s;
}

KeyLine::KeyLine() : m_devices(std::make_unique<Devices>()) {}

KeyLine::~KeyLine() {
    tm_line_free(m_line);
}

int KeyLine::Init(const Rom &rom, int keyPresent, unsigned memSize) {
    if (memSize > kMemoryMax)
        return 0;
    if (!m_line)
        m_line = tm_line_new();
    if (!m_line)
        return 0;
    m_rom = rom;
    m_present = keyPresent;
    m_changed = 1;
    m_fixedSize = memSize;
    m_mem.fill(0);
    std::memcpy(m_mem.data(), kGreeting, sizeof(kGreeting) - 1);
    if (tm_line_init(m_line, nullptr, m_mem.data(), 0) != 0)
        return 0;
    ApplyChange();
    return 1;
}

unsigned KeyLine::SizeFor(const Rom &rom) const {
    unsigned size = m_fixedSize ? m_fixedSize : FamilyMemory(rom[0]);
    return std::min<unsigned>(size, kMemoryMax);
}

// Puts the key to be there on the line (with the memory its family calls
// for and the CRC fault applied), or takes it away.
void KeyLine::ApplyChange() {
    if (!m_changed)
        return;
    m_changed = 0;
    if (!m_present) {
        tm_line_detach(m_line);
        return;
    }
    tm_line_set_memory(m_line, m_mem.data(), SizeFor(m_rom));
    tm_line_attach(m_line, m_rom.data());
    m_liveRom = m_rom;
    SetBadCrc(m_badCrc);
}

size_t KeyLine::Answer(const unsigned char *bytes, size_t count, unsigned baud, unsigned char *echo,
                       SlotKind *kinds) {
    if (baud == TM_BAUD_RESET)
        m_counts.resetBytes += count;
    else if (baud == TM_BAUD_DATA)
        m_counts.dataBytes += count;
    else
        m_counts.otherBytes += count;
    if (m_silent) {
        m_counts.dropped += count;
        return 0;
    }
    if (baud <= TM_BAUD_RESET)
        ApplyChange();
    // The adapter model knows two speeds: anything up to the reset speed
    // holds the line low long enough for a reset pulse, anything faster is
    // one time slot per byte.
    const tm_bus_ops &adapter = tm_pl2303_ops;
    adapter.set_baud(&m_line->bus, baud <= TM_BAUD_RESET ? TM_BAUD_RESET : TM_BAUD_DATA);
    if (baud <= TM_BAUD_RESET)
        m_scratchBytes = 0;
    // One byte at a time, so the key's state shows what each completes.
    for (size_t i = 0; i < count; i++) {
        CountWrite();
        kinds[i] = baud <= TM_BAUD_RESET ? SlotKind::Reset : KindOfNextSlot();
        int wasSelected = m_line->key.state == TM_KEY_FUNC_CMD;
        Slot(bytes, i, echo);
        RefuseMemoryCommand(wasSelected);
    }
    return count;
}

// One byte through the adapter, with the devices beside the key on the
// line: in a data slot any of them may hold it low, which the key then
// reads as the line's level; a reset pulse they answer with presence.
void KeyLine::Slot(const unsigned char *bytes, size_t i, unsigned char *echo) {
    const tm_bus_ops &adapter = tm_pl2303_ops;
    const tm_key &key = m_line->key;
    const unsigned char *keyRom = key.present ? key.rom : nullptr;
    int reset = m_line->wire.baud == TM_BAUD_RESET;
    unsigned char out = bytes[i];
    if (!reset && m_devices->Pulls(keyRom))
        out = static_cast<unsigned char>(out & ~TM_SLOT_SAMPLE_BIT);
    if (adapter.write(&m_line->bus, &out, 1) != 1 || adapter.read(&m_line->bus, echo + i, 1) != 1)
        echo[i] = out; // cannot happen without serial faults
    if (m_line->wire.shorted)
        return;
    if (reset) {
        if (!(out & TM_RESET_LOW_MASK) && m_devices->Reset())
            echo[i] = static_cast<unsigned char>(echo[i] & ~TM_PRESENCE_MASK);
        return;
    }
    int selected = 0;
    m_devices->Clock((echo[i] & TM_ECHO_EARLY) != 0, keyRom, selected);
    if (selected)
        KeySelected();
}

// Match ROM or Search ROM chose the key: its function commands come next,
// as after Skip ROM.
void KeyLine::KeySelected() {
    tm_key &key = m_line->key;
    key.state = TM_KEY_FUNC_CMD;
    key.index = 0;
    key.nbits = 0;
    key.shift = 0;
}

// Whether the key sends a bit in the coming data slot.
SlotKind KeyLine::KindOfNextSlot() const {
    const tm_key &key = m_line->key;
    if (!key.present)
        return SlotKind::Slot;
    switch (key.state) {
    case TM_KEY_SEND_ROM:
    case TM_KEY_SEND_MEM:
    case TM_KEY_SEND_SCRATCH:
        return SlotKind::KeySends;
    default:
        return SlotKind::Slot;
    }
}

// A key without memory (the ID-only family) knows no memory command: once
// it has received one it leaves the line alone until the next reset, so
// reads see ones and the scratchpad never answers.
void KeyLine::RefuseMemoryCommand(int wasSelected) {
    tm_key &key = m_line->key;
    if (wasSelected && key.present && key.mem_size == 0 && key.state != TM_KEY_FUNC_CMD)
        key.state = TM_KEY_IDLE;
}

// Called before a data-speed byte goes to the key: if it completes a byte
// the key receives, counts the write it belongs to.
void KeyLine::CountWrite() {
    const tm_key &key = m_line->key;
    if (!key.present || key.nbits != kKeyLastBit || m_line->wire.baud != TM_BAUD_DATA)
        return;
    switch (key.state) {
    case TM_KEY_ROM_CMD:
    case TM_KEY_FUNC_CMD:
        m_counts.writes++;
        break;
    case TM_KEY_WRITE_DATA:
        if (m_scratchBytes++ % VELKOR_MAX_BYTES == 0)
            m_counts.writes++;
        break;
    default:
        break;
    }
}

int KeyLine::Attach(const Rom &rom, std::string &err) {
    if (m_present) {
        err = "a key is attached (remove it first, or swap)";
        return 0;
    }
    m_rom = rom;
    m_present = 1;
    m_changed = 1;
    return 1;
}

int KeyLine::Remove(std::string &err) {
    if (!m_present) {
        err = "no key attached";
        return 0;
    }
    m_present = 0;
    m_changed = 1;
    return 1;
}

int KeyLine::Swap(const Rom &rom, std::string &err) {
    if (!m_present) {
        err = "no key attached (attach one)";
        return 0;
    }
    m_rom = rom;
    m_changed = 1;
    return 1;
}

void KeyLine::SetBadCrc(int on) {
    m_badCrc = on;
    unsigned char crc = m_liveRom[kCrcIndex];
    m_line->key.rom[kCrcIndex] = on ? static_cast<unsigned char>(crc ^ kCrcFlip) : crc;
}

void KeyLine::SetShort(int on) {
    m_short = on;
    tm_line_fault_short(m_line, on);
}

void KeyLine::ClearFaults() {
    m_silent = 0;
    SetBadCrc(0);
    SetShort(0);
}

} // namespace tmfarend
