// SPDX-License-Identifier: GPL-2.0-or-later
// Devices beside the key on the far end's line: a DS18B20 thermometer
// (family 0x28) with a settable temperature and conversion time, a DS2431
// EEPROM (family 0x2D, 128 bytes) and ID-only keys (family 0x01), each
// modelled bit by bit, and the ROM stage all of them and the key share:
// Read ROM, Skip ROM, Match ROM and Search ROM. The line is wired-AND: a
// slot reads 0 when any device holds it low.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "KeyLine.h"

namespace tmfarend {

constexpr unsigned char kThermFamily = 0x28;
constexpr unsigned char kEepromFamily = 0x2D;
constexpr size_t kEepromSize = 128;
// The most devices the far end puts beside the key.
constexpr size_t kDevicesMax = 16;

using Clock = std::chrono::steady_clock;

// One device's function stage (after it was selected), one slot at a time.
class Device {
  public:
    explicit Device(const Rom &rom) : m_rom(rom) {}
    virtual ~Device() = default;
    const Rom &RomId() const { return m_rom; }
    virtual std::string Describe() const = 0;

    // Selected by the ROM stage: the next bytes are its commands.
    void Select();
    // Back to the ROM stage (a reset pulse).
    void Deselect() { m_mode = Mode::Idle; }
    // Whether it holds the coming slot low.
    int Pulls() const;
    // The slot is over; level is what the line carried.
    void Clock(int level);

  protected:
    // Selected: a new function command comes.
    virtual void OnSelect() {}
    // A byte received in the function stage.
    virtual void OnByte(unsigned char b) = 0;
    // Everything queued has gone out: queue more, or leave it (ones follow).
    virtual void OnSent() {}
    // What the device answers in a read slot while it signals its state.
    virtual int StatusBit() const { return 1; }

    void Receive();
    void Send(const unsigned char *bytes, size_t n);
    void Status() { m_mode = Mode::Status; }
    void Ignore() { m_mode = Mode::Idle; }

  private:
    enum class Mode { Idle, Receive, Send, Status };
    Rom m_rom;
    Mode m_mode = Mode::Idle;
    std::deque<unsigned char> m_out;
    unsigned m_bit = 0;
    unsigned char m_shift = 0;
};

class Thermometer : public Device {
  public:
    explicit Thermometer(const Rom &rom);
    std::string Describe() const override;
    // Temperature in thousandths of a degree Celsius.
    void SetMilli(long milli) { m_milli = milli; }
    void SetConvMs(unsigned ms) { m_convMs = ms; }

  protected:
    void OnSelect() override { m_cmd = 0, m_got = 0; }
    void OnByte(unsigned char b) override;
    int StatusBit() const override;

  private:
    void Settle();
    std::array<unsigned char, 9> Scratchpad();
    unsigned char m_cmd = 0;
    unsigned m_got = 0;
    long m_milli = 25000;
    unsigned m_convMs = 100;
    int m_converting = 0;
    Clock::time_point m_convEnd{};
    int m_raw = 0x0550; // 85 degrees until the first conversion
    unsigned char m_th = 0x4B, m_tl = 0x46, m_cfg = 0x7F;
};

class Eeprom : public Device {
  public:
    explicit Eeprom(const Rom &rom);
    std::string Describe() const override;
    const unsigned char *Memory() const { return m_mem.data(); }

  protected:
    void OnSelect() override { m_cmd = 0, m_got = 0, m_copied = 0; }
    void OnByte(unsigned char b) override;
    void OnSent() override;
    int StatusBit() const override;

  private:
    void SendScratch();
    unsigned char m_cmd = 0;
    unsigned m_got = 0;
    unsigned m_addr = 0;
    unsigned char m_ta1 = 0, m_ta2 = 0, m_es = 0;
    unsigned char m_auth[3]{};
    std::array<unsigned char, 8> m_scratch{};
    std::array<unsigned char, kEepromSize> m_mem{};
    int m_copied = 0;
};

class IdOnlyKey : public Device {
  public:
    explicit IdOnlyKey(const Rom &rom) : Device(rom) {}
    std::string Describe() const override { return "id-only"; }

  protected:
    void OnByte(unsigned char) override { Ignore(); }
};

// The devices and the ROM stage they share with the key.
class Devices {
  public:
    // A device by its ROM's family (0x28, 0x2D, 0x01); 0 with err set.
    int Add(const Rom &rom, std::string &err);
    int Drop(const Rom &rom, std::string &err);
    Device *Find(const Rom &rom);
    size_t Count() const { return m_devs.size(); }
    const std::vector<std::unique_ptr<Device>> &All() const { return m_devs; }

    // A reset pulse: whether any device answers with presence.
    int Reset();
    // Whether any device (or, in the ROM stage, the key with keyRom)
    // holds the coming slot low.
    int Pulls(const unsigned char *keyRom) const;
    // The slot is over with level on the line; keySelected is set when the
    // ROM stage selected the key (Match ROM or Search ROM).
    void Clock(int level, const unsigned char *keyRom, int &keySelected);

  private:
    enum class Stage { Idle, Command, SendRom, Match, Search, Function };
    static int RomBit(const unsigned char *rom, unsigned bit);
    void Interrupt();
    void Finish(const unsigned char *keyRom, int &keySelected);
    std::vector<std::unique_ptr<Device>> m_devs;
    Stage m_stage = Stage::Idle;
    unsigned m_bit = 0;      // bits done in the stage
    unsigned char m_cmd = 0; // the ROM command as it comes in
    // Who is still in the Match or Search: the devices, then the key.
    std::vector<int> m_in;
    int m_keyIn = 0;
};

} // namespace tmfarend
