// Wire-speed pacing: the far end hands an echo back no earlier than the
// line would, 10 bit times per byte (start, 8 data bits, stop) at the
// speed the byte was sent at, one byte after another.
#pragma once

#include <chrono>
#include <cstddef>

namespace tmfarend {

constexpr unsigned kBitsPerSerialByte = 10;

class Pacer {
  public:
    using Clock = std::chrono::steady_clock;

    // The wire time of count bytes at baud; zero for an unknown speed.
    static Clock::duration WireTime(size_t count, unsigned baud);

    // Sleeps until bytes that arrived by now and follow what the wire still
    // carries would have crossed it at baud.
    void Wait(size_t count, unsigned baud);

  private:
    Clock::time_point m_freeAt{};
};

} // namespace tmfarend
