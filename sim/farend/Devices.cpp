// SPDX-License-Identifier: GPL-2.0-or-later
// The devices beside the key, and the ROM stage of the line, slot by slot.
#include "Devices.h"

#include <cstdio>

extern "C" {
#include "velkor.h"
}

namespace tmfarend {

namespace {

constexpr unsigned kBitsPerByte = 8;
constexpr unsigned kRomBits = kRomSize * kBitsPerByte;
// Slots of one Search ROM step: the bit, its complement, the direction.
constexpr unsigned kSearchSlots = 3;
constexpr unsigned kSearchBit = 0;
constexpr unsigned kSearchComp = 1;

// ROM commands.
constexpr unsigned char kReadRom = 0x33;
constexpr unsigned char kSkipRom = 0xCC;
constexpr unsigned char kMatchRom = 0x55;
constexpr unsigned char kSearchRom = 0xF0;
constexpr unsigned char kAlarmSearch = 0xEC;

// DS18B20 function commands.
constexpr unsigned char kConvertT = 0x44;
constexpr unsigned char kReadScratchT = 0xBE;
constexpr unsigned char kWriteScratchT = 0x4E;
constexpr unsigned char kCopyScratchT = 0x48;
constexpr unsigned char kRecallT = 0xB8;
constexpr unsigned char kReadPower = 0xB4;
// Bytes Write Scratchpad takes: TH, TL, configuration.
constexpr unsigned kThermWriteBytes = 3;
// Scratchpad bytes 5 to 7: reserved, as the datasheet gives them after a
// conversion.
constexpr unsigned char kThermRes5 = 0xFF;
constexpr unsigned char kThermRes6 = 0x10;
constexpr unsigned char kThermRes7 = 0x10;
constexpr size_t kThermCrcAt = 8;
// Sixteenths of a degree per degree; thousandths per degree.
constexpr long kSixteenths = 16;
constexpr long kMilli = 1000;
constexpr long kRawMin = -55 * kSixteenths;
constexpr long kRawMax = 125 * kSixteenths;

// DS2431 function commands and layout.
constexpr unsigned char kReadMemory = 0xF0;
constexpr unsigned char kWriteScratch = 0x0F;
constexpr unsigned char kReadScratch = 0xAA;
constexpr unsigned char kCopyScratch = 0x55;
constexpr unsigned kScratchMask = 0x07;
constexpr unsigned kRegistersEnd = 0x90; // data 0x00-0x7F, registers to 0x8F
constexpr unsigned char kEsPf = 0x20;
constexpr unsigned char kEsAa = 0x80;
constexpr unsigned char kAfterCopy = 0xAA; // alternating 1s and 0s
constexpr unsigned kAuthBytes = 3;
constexpr unsigned kAddrBytes = 2;
constexpr unsigned kByteShift = 8;
constexpr unsigned kByteMask = 0xFF;
constexpr unsigned short kCrc16Poly = 0xA001; // x^16 + x^15 + x^2 + 1, reflected

unsigned short Crc16(unsigned short crc, unsigned char b) {
    crc ^= b;
    for (unsigned k = 0; k < kBitsPerByte; k++)
        crc = static_cast<unsigned short>(crc & 1 ? (crc >> 1) ^ kCrc16Poly : crc >> 1);
    return crc;
}

} // namespace

void Device::Select() {
    OnSelect();
    Receive();
}

void Device::Receive() {
    m_mode = Mode::Receive;
    m_bit = 0;
    m_shift = 0;
}

void Device::Send(const unsigned char *bytes, size_t n) {
    m_out.assign(bytes, bytes + n);
    m_mode = Mode::Send;
    m_bit = 0;
}

int Device::Pulls() const {
    switch (m_mode) {
    case Mode::Send:
        return !m_out.empty() && !((m_out.front() >> m_bit) & 1);
    case Mode::Status:
        return !StatusBit();
    default:
        return 0;
    }
}

void Device::Clock(int level) {
    switch (m_mode) {
    case Mode::Receive:
        if (level)
            m_shift = static_cast<unsigned char>(m_shift | (1u << m_bit));
        if (++m_bit < kBitsPerByte)
            return;
        m_bit = 0;
        {
            unsigned char b = m_shift;
            m_shift = 0;
            OnByte(b);
        }
        return;
    case Mode::Send:
        if (m_out.empty())
            return;
        if (++m_bit < kBitsPerByte)
            return;
        m_bit = 0;
        m_out.pop_front();
        if (m_out.empty())
            OnSent();
        return;
    default:
        return;
    }
}

Thermometer::Thermometer(const Rom &rom) : Device(rom) {}

std::string Thermometer::Describe() const {
    char text[64];
    std::snprintf(text, sizeof(text), "thermometer %ld.%03ld C, conversion %u ms", m_milli / kMilli,
                  (m_milli < 0 ? -m_milli : m_milli) % kMilli, m_convMs);
    return text;
}

// A conversion whose time is over has put its result in the scratchpad.
void Thermometer::Settle() {
    if (!m_converting || Clock::now() < m_convEnd)
        return;
    m_converting = 0;
    long raw = m_milli * kSixteenths / kMilli;
    raw = raw < kRawMin ? kRawMin : raw > kRawMax ? kRawMax : raw;
    m_raw = static_cast<int>(raw);
}

std::array<unsigned char, 9> Thermometer::Scratchpad() {
    Settle();
    unsigned raw = static_cast<unsigned>(m_raw) & 0xFFFFu;
    std::array<unsigned char, 9> s = {static_cast<unsigned char>(raw & kByteMask),
                                      static_cast<unsigned char>(raw >> kByteShift),
                                      m_th,
                                      m_tl,
                                      m_cfg,
                                      kThermRes5,
                                      kThermRes6,
                                      kThermRes7,
                                      0};
    // velkor's CRC works in place: on a copy.
    std::array<unsigned char, 9> copy = s;
    s[kThermCrcAt] = CalcTMCrc(copy.data(), kThermCrcAt);
    return s;
}

int Thermometer::StatusBit() const {
    // Read slots during a conversion read 0 until it is done.
    if (m_cmd == kConvertT)
        return !(m_converting && Clock::now() < m_convEnd);
    return 1; // copy and recall done at once; powered externally
}

void Thermometer::OnByte(unsigned char b) {
    if (m_cmd == kWriteScratchT) {
        if (m_got == 0)
            m_th = b;
        else if (m_got == 1)
            m_tl = b;
        else
            m_cfg = b;
        if (++m_got == kThermWriteBytes)
            Ignore();
        return;
    }
    m_cmd = b;
    m_got = 0;
    switch (b) {
    case kConvertT:
        Settle();
        m_converting = 1;
        m_convEnd = Clock::now() + std::chrono::milliseconds(m_convMs);
        Status();
        break;
    case kReadScratchT: {
        std::array<unsigned char, 9> s = Scratchpad();
        Send(s.data(), s.size());
        break;
    }
    case kWriteScratchT:
        break; // keeps receiving
    case kCopyScratchT:
    case kRecallT:
    case kReadPower:
        Status();
        break;
    default:
        Ignore();
        break;
    }
}

Eeprom::Eeprom(const Rom &rom) : Device(rom) {}

std::string Eeprom::Describe() const {
    return "eeprom " + std::to_string(kEepromSize) + " bytes";
}

int Eeprom::StatusBit() const {
    return 1;
}

// TA1, TA2, E/S, the scratchpad from the target's offset to the ending
// offset, and the inverted CRC-16 of the command and all of that.
void Eeprom::SendScratch() {
    std::vector<unsigned char> out = {m_ta1, m_ta2, m_es};
    for (unsigned i = m_ta1 & kScratchMask; i <= (m_es & kScratchMask); i++)
        out.push_back(m_scratch[i]);
    unsigned short crc = Crc16(0, kReadScratch);
    for (unsigned char b : out)
        crc = Crc16(crc, b);
    crc = static_cast<unsigned short>(~crc);
    out.push_back(static_cast<unsigned char>(crc & kByteMask));
    out.push_back(static_cast<unsigned char>(crc >> kByteShift));
    Send(out.data(), out.size());
}

void Eeprom::OnSent() {
    if (m_cmd == kReadMemory) {
        unsigned char b = 0xFF;
        if (m_addr < kEepromSize)
            b = m_mem[m_addr];
        else if (m_addr < kRegistersEnd)
            b = 0x00; // no page protected, no copy protection
        m_addr++;
        Send(&b, 1);
    } else if (m_cmd == kCopyScratch && m_copied) {
        Send(&kAfterCopy, 1);
    }
}

void Eeprom::OnByte(unsigned char b) {
    if (m_got == 0 && m_cmd == 0) {
        m_cmd = b;
        if (b == kReadScratch)
            SendScratch();
        else if (b != kReadMemory && b != kWriteScratch && b != kCopyScratch)
            Ignore();
        return;
    }
    unsigned at = m_got++;
    switch (m_cmd) {
    case kReadMemory:
        if (at == 0) {
            m_addr = b;
        } else {
            m_addr |= static_cast<unsigned>(b) << kByteShift;
            m_cmd = kReadMemory;
            OnSent();
        }
        break;
    case kWriteScratch:
        if (at == 0) {
            m_ta1 = b;
        } else if (at == 1) {
            m_ta2 = b;
            m_es = static_cast<unsigned char>((m_ta1 & kScratchMask) | kEsPf);
        } else {
            unsigned pos = (m_ta1 & kScratchMask) + (at - kAddrBytes);
            if (pos <= kScratchMask) {
                m_scratch[pos] = b;
                m_es = static_cast<unsigned char>(pos);
            }
            if (pos == kScratchMask)
                Ignore();
        }
        break;
    case kCopyScratch:
        m_auth[at] = b;
        if (at + 1 < kAuthBytes)
            break;
        if (m_auth[0] == m_ta1 && m_auth[1] == m_ta2 && m_auth[2] == m_es && !(m_es & kEsPf)) {
            unsigned base = ((static_cast<unsigned>(m_ta2) << kByteShift) | m_ta1) &
                            ~static_cast<unsigned>(kScratchMask);
            for (unsigned i = 0; i <= kScratchMask; i++)
                if (base + i < kEepromSize)
                    m_mem[base + i] = m_scratch[i];
            m_es = static_cast<unsigned char>(m_es | kEsAa);
            m_copied = 1;
            OnSent();
        } else {
            Ignore();
        }
        break;
    default:
        Ignore();
        break;
    }
}

int Devices::Add(const Rom &rom, std::string &err) {
    unsigned char id[kRomSize];
    std::copy(rom.begin(), rom.end(), id);
    if (CalcTMCrc(id, kRomSize) != 0) {
        err = "the ROM's CRC does not match";
        return 0;
    }
    if (Find(rom)) {
        err = "a device with that ROM is on the line";
        return 0;
    }
    if (m_devs.size() >= kDevicesMax) {
        err = "the line has " + std::to_string(kDevicesMax) + " devices";
        return 0;
    }
    switch (rom[0]) {
    case kThermFamily:
        m_devs.push_back(std::make_unique<Thermometer>(rom));
        break;
    case kEepromFamily:
        m_devs.push_back(std::make_unique<Eeprom>(rom));
        break;
    case kIdOnlyFamily:
        m_devs.push_back(std::make_unique<IdOnlyKey>(rom));
        break;
    default:
        err = "no device model for family 0x" + HexText(rom.data(), 1) +
              " (0x28, 0x2d, 0x01; memory keys by attach)";
        return 0;
    }
    Interrupt();
    return 1;
}

// The devices changed: none takes part in the transaction in progress.
void Devices::Interrupt() {
    m_stage = Stage::Idle;
    for (auto &d : m_devs)
        d->Deselect();
}

int Devices::Drop(const Rom &rom, std::string &err) {
    for (auto it = m_devs.begin(); it != m_devs.end(); ++it)
        if ((*it)->RomId() == rom) {
            m_devs.erase(it);
            Interrupt();
            return 1;
        }
    err = "no device " + RomText(rom) + " on the line";
    return 0;
}

Device *Devices::Find(const Rom &rom) {
    for (auto &d : m_devs)
        if (d->RomId() == rom)
            return d.get();
    return nullptr;
}

int Devices::RomBit(const unsigned char *rom, unsigned bit) {
    return (rom[bit / kBitsPerByte] >> (bit % kBitsPerByte)) & 1;
}

int Devices::Reset() {
    m_stage = Stage::Command;
    m_bit = 0;
    m_cmd = 0;
    for (auto &d : m_devs)
        d->Deselect();
    return !m_devs.empty();
}

int Devices::Pulls(const unsigned char *keyRom) const {
    switch (m_stage) {
    case Stage::SendRom:
        for (auto &d : m_devs)
            if (!RomBit(d->RomId().data(), m_bit))
                return 1;
        return 0;
    case Stage::Search: {
        unsigned bit = m_bit / kSearchSlots, phase = m_bit % kSearchSlots;
        if (phase != kSearchBit && phase != kSearchComp)
            return 0;
        int want = phase == kSearchBit ? 0 : 1; // who holds the slot low
        for (size_t i = 0; i < m_devs.size(); i++)
            if (m_in[i] && RomBit(m_devs[i]->RomId().data(), bit) == want)
                return 1;
        return keyRom && m_keyIn && RomBit(keyRom, bit) == want;
    }
    case Stage::Function:
        for (auto &d : m_devs)
            if (d->Pulls())
                return 1;
        return 0;
    default:
        return 0;
    }
}

// The end of Match ROM or Search ROM: who is still in is selected.
void Devices::Finish(const unsigned char *keyRom, int &keySelected) {
    m_stage = Stage::Function;
    for (size_t i = 0; i < m_devs.size(); i++)
        if (m_in[i])
            m_devs[i]->Select();
    keySelected = keyRom && m_keyIn;
}

void Devices::Clock(int level, const unsigned char *keyRom, int &keySelected) {
    keySelected = 0;
    switch (m_stage) {
    case Stage::Command:
        if (level)
            m_cmd = static_cast<unsigned char>(m_cmd | (1u << m_bit));
        if (++m_bit < kBitsPerByte)
            return;
        m_bit = 0;
        m_in.assign(m_devs.size(), 1);
        m_keyIn = 1;
        if (m_cmd == kReadRom) {
            m_stage = m_devs.empty() ? Stage::Idle : Stage::SendRom;
        } else if (m_cmd == kSkipRom) {
            m_stage = Stage::Function;
            for (auto &d : m_devs)
                d->Select();
        } else if (m_cmd == kMatchRom) {
            m_stage = Stage::Match;
        } else if (m_cmd == kSearchRom || m_cmd == kAlarmSearch) {
            // No device here has an alarm condition.
            if (m_cmd == kAlarmSearch) {
                m_in.assign(m_devs.size(), 0);
                m_keyIn = 0;
            }
            m_stage = Stage::Search;
        } else {
            m_stage = Stage::Idle;
        }
        return;
    case Stage::SendRom:
        if (++m_bit < kRomBits)
            return;
        m_stage = Stage::Function;
        for (auto &d : m_devs)
            d->Select();
        return;
    case Stage::Match:
        for (size_t i = 0; i < m_devs.size(); i++)
            if (RomBit(m_devs[i]->RomId().data(), m_bit) != level)
                m_in[i] = 0;
        if (!keyRom || RomBit(keyRom, m_bit) != level)
            m_keyIn = 0;
        if (++m_bit == kRomBits)
            Finish(keyRom, keySelected);
        return;
    case Stage::Search: {
        unsigned bit = m_bit / kSearchSlots;
        if (m_bit % kSearchSlots == kSearchSlots - 1) {
            // The direction the master wrote: the others drop out.
            for (size_t i = 0; i < m_devs.size(); i++)
                if (RomBit(m_devs[i]->RomId().data(), bit) != level)
                    m_in[i] = 0;
            if (!keyRom || RomBit(keyRom, bit) != level)
                m_keyIn = 0;
        }
        if (++m_bit == kRomBits * kSearchSlots)
            Finish(keyRom, keySelected);
        return;
    }
    case Stage::Function:
        for (auto &d : m_devs)
            d->Clock(level);
        return;
    default:
        return;
    }
}

} // namespace tmfarend
