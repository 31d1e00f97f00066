// SPDX-License-Identifier: GPL-2.0-or-later
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

    // When the echo of count bytes that arrived at arrival is due: after
    // what the wire still carries, count bytes at baud.
    Clock::time_point Due(size_t count, unsigned baud, Clock::time_point arrival);

  private:
    Clock::time_point m_freeAt{};
};

} // namespace tmfarend
