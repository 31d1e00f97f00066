// SPDX-License-Identifier: GPL-2.0-or-later
// The far end's faults on the echo stream: see EchoFaults.h.
#include "EchoFaults.h"

#include <cstdio>

namespace tmfarend {

namespace {

// xorshift32 has no zero state; a zero seed starts here instead.
constexpr uint32_t kZeroSeedState = 0x9e3779b9u;
// The flood's junk, the same on every run.
constexpr uint32_t kFloodSeed = 0x0f100d00u;
constexpr unsigned kXorShiftA = 13;
constexpr unsigned kXorShiftB = 17;
constexpr unsigned kXorShiftC = 5;
constexpr size_t kHexByteText = 3; // two digits and the terminator

std::string HexByte(unsigned char value) {
    char text[kHexByteText];
    std::snprintf(text, sizeof(text), "%02x", value);
    return text;
}

} // namespace

Junk::Junk(uint32_t seed) : m_state(seed ? seed : kZeroSeedState) {}

uint32_t Junk::Next() {
    m_state ^= m_state << kXorShiftA;
    m_state ^= m_state >> kXorShiftB;
    m_state ^= m_state << kXorShiftC;
    return m_state;
}

unsigned Junk::Gap(unsigned mean) {
    if (!mean)
        return 1;
    return 1 + Next() % (2 * mean);
}

void EchoFaults::ArmStray(size_t count, unsigned char value, unsigned slot) {
    m_stray = Injection{1, count, value, 0, slot};
}

void EchoFaults::ArmFlood(size_t count, unsigned slot) {
    m_flood = Injection{1, count, 0, 1, slot};
    m_floodJunk = Junk(kFloodSeed);
}

void EchoFaults::SetSurplus(int copyLast, unsigned char value) {
    m_surplus = 1;
    m_surplusCopy = copyLast;
    m_surplusValue = value;
}

void EchoFaults::SetResetEcho(unsigned char value) {
    m_reset = Replace{1, value};
}

void EchoFaults::SetSlotEcho(unsigned char value) {
    m_slot = Replace{1, value};
}

void EchoFaults::SetNoise(uint32_t seed, unsigned gap) {
    m_noise = 1;
    m_noiseSeed = seed;
    m_noiseGap = gap;
    m_noiseJunk = Junk(seed);
    m_noiseLeft = m_noiseJunk.Gap(gap);
}

void EchoFaults::QueueIdle(size_t count, unsigned char value) {
    m_idle.insert(m_idle.end(), count, value);
    m_injected += count;
}

void EchoFaults::Clear() {
    unsigned long long injected = m_injected;
    unsigned slots = m_slots;
    *this = EchoFaults();
    m_injected = injected;
    m_slots = slots;
}

std::string EchoFaults::Describe() const {
    std::vector<std::string> items;
    if (m_stray.armed)
        items.push_back("stray " + std::to_string(m_stray.count) + " " + HexByte(m_stray.value) +
                        " " + std::to_string(m_stray.slot));
    if (m_flood.armed)
        items.push_back("flood " + std::to_string(m_flood.count) + " " +
                        std::to_string(m_flood.slot));
    if (m_surplus)
        items.push_back("surplus " +
                        (m_surplusCopy ? std::string("copy") : HexByte(m_surplusValue)));
    if (m_reset.on)
        items.push_back("reset " + HexByte(m_reset.value));
    if (m_slot.on)
        items.push_back("slot " + HexByte(m_slot.value));
    if (m_lateMs)
        items.push_back("late " + std::to_string(m_lateMs));
    if (m_noise)
        items.push_back("noise " + std::to_string(m_noiseSeed) + " " + std::to_string(m_noiseGap));
    std::string text;
    for (const std::string &item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

void EchoFaults::Inject(Injection &inj, std::vector<unsigned char> &out) {
    if (!inj.armed || m_slots != inj.slot)
        return;
    for (size_t i = 0; i < inj.count; i++)
        out.push_back(inj.junk ? m_floodJunk.Byte() : inj.value);
    m_injected += inj.count;
    inj = Injection{};
}

void EchoFaults::Noise(std::vector<unsigned char> &out) {
    if (!m_noise || --m_noiseLeft)
        return;
    out.push_back(m_noiseJunk.Byte());
    m_injected++;
    m_noiseLeft = m_noiseJunk.Gap(m_noiseGap);
}

void EchoFaults::Apply(const unsigned char *echo, const SlotKind *kinds, size_t count,
                       std::vector<unsigned char> &out) {
    unsigned char last = 0;
    for (size_t i = 0; i < count; i++) {
        unsigned char b = echo[i];
        if (kinds[i] == SlotKind::Reset) {
            m_slots = 0;
            if (m_reset.on)
                b = m_reset.value;
        } else if (kinds[i] == SlotKind::KeySends && m_slot.on) {
            b = m_slot.value;
        }
        out.push_back(b);
        last = b;
        if (kinds[i] != SlotKind::Reset) {
            m_slots++;
            Inject(m_stray, out);
            Inject(m_flood, out);
        }
        Noise(out);
    }
    if (count && m_surplus) {
        out.push_back(m_surplusCopy ? last : m_surplusValue);
        m_injected++;
    }
}

int EchoFaults::TakeIdle(std::vector<unsigned char> &out) {
    if (m_idle.empty())
        return 0;
    out.insert(out.end(), m_idle.begin(), m_idle.end());
    m_idle.clear();
    return 1;
}

} // namespace tmfarend
