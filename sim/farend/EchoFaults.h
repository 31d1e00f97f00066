// SPDX-License-Identifier: GPL-2.0-or-later
// The far end's misbehaviour on the echo stream: what goes back to the
// driver is the line's echo changed by the faults that are on. Some are
// sticky (until cleared), some fire once. Everything here is a function of
// the serial bytes received and the faults' own parameters (noise and
// junk come from seeded generators), so the same requests meet the same
// misbehaviour on every run.
//
// Positions inside a transaction count the data slots (bytes at data
// speed) since the last reset byte, from 1: in a memory read slots 1 to 32
// are Skip ROM, the command and its address, 33 to 40 the first data byte,
// 41 to 48 the second; in a ROM read 1 to 8 are the command and 9 to 72 the
// ROM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tmfarend {

// What a serial byte was on the line, for the faults that replace echoes.
enum class SlotKind : unsigned char {
    Reset,    // a byte at reset speed
    Slot,     // a time slot the driver drives (or no key answers in)
    KeySends, // a time slot in which the key sends a bit (ROM, memory, scratchpad)
};

// The most bytes one injection (stray, flood, idle) may send.
constexpr size_t kInjectMax = 1u << 20;
// Where stray and flood bytes go by default: after data slot 44, in the
// second data byte of a memory read and the fifth ROM byte of a ROM read.
constexpr unsigned kDefaultInjectSlot = 44;
// The mean gap of noise, in echo bytes.
constexpr unsigned kDefaultNoiseGap = 256;
// The longest hold of late echoes, in milliseconds.
constexpr unsigned kLateMaxMs = 60000;

// A deterministic generator of bytes and gaps (xorshift32).
class Junk {
  public:
    explicit Junk(uint32_t seed = 1);
    uint32_t Next();
    unsigned char Byte() { return static_cast<unsigned char>(Next() >> 24); }
    // 1 to 2 * mean, mean on average.
    unsigned Gap(unsigned mean);

  private:
    uint32_t m_state;
};

class EchoFaults {
  public:
    // Once: count bytes of value (or junk from a fixed seed when junk is
    // set) into the echoes, right after the echo of data slot slot of the
    // first transaction that gets that far. One stray and one flood may
    // wait at a time; arming again replaces the waiting one.
    void ArmStray(size_t count, unsigned char value, unsigned slot);
    void ArmFlood(size_t count, unsigned slot);
    // Sticky: one extra byte after the echo of every chunk answered: value,
    // or with copyLast a copy of the chunk's last echo byte.
    void SetSurplus(int copyLast, unsigned char value);
    // Sticky: every reset echo becomes value.
    void SetResetEcho(unsigned char value);
    // Sticky: the echo of every slot in which the key sends becomes value.
    void SetSlotEcho(unsigned char value);
    // Sticky: every echo goes back ms later than it would.
    void SetLate(unsigned ms) { m_lateMs = ms; }
    // Sticky: after every gap echo bytes on average (1 to 2 * gap, drawn
    // from seed) one byte from seed joins the echoes.
    void SetNoise(uint32_t seed, unsigned gap);
    // Once, now: count bytes of value for the far end to send while nothing
    // is asked. Taken by TakeIdle.
    void QueueIdle(size_t count, unsigned char value);

    // Everything off; waiting stray, flood and idle bytes dropped.
    void Clear();
    // The faults on, each as its command's words after "fault", ", "
    // between them; empty when none.
    std::string Describe() const;

    // The bytes to send back for the echo of count serial bytes, each of
    // the kind kinds gives, appended to out.
    void Apply(const unsigned char *echo, const SlotKind *kinds, size_t count,
               std::vector<unsigned char> &out);
    // Moves the idle bytes queued into out; 0 when there were none.
    int TakeIdle(std::vector<unsigned char> &out);
    unsigned LateMs() const { return m_lateMs; }
    // Bytes the faults added to the echoes or sent while idle so far.
    unsigned long long Injected() const { return m_injected; }

  private:
    struct Injection {
        int armed = 0;
        size_t count = 0;
        unsigned char value = 0;
        int junk = 0;
        unsigned slot = 0;
    };
    struct Replace {
        int on = 0;
        unsigned char value = 0;
    };

    void Inject(Injection &inj, std::vector<unsigned char> &out);
    void Noise(std::vector<unsigned char> &out);

    Injection m_stray;
    Injection m_flood;
    Junk m_floodJunk;
    int m_surplus = 0;
    int m_surplusCopy = 0;
    unsigned char m_surplusValue = 0;
    Replace m_reset;
    Replace m_slot;
    unsigned m_lateMs = 0;
    int m_noise = 0;
    uint32_t m_noiseSeed = 0;
    unsigned m_noiseGap = 0;
    Junk m_noiseJunk;
    unsigned m_noiseLeft = 0; // echo bytes until the next noise byte
    std::vector<unsigned char> m_idle;
    unsigned m_slots = 0; // data slots since the last reset byte
    unsigned long long m_injected = 0;
};

} // namespace tmfarend
