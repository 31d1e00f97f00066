// SPDX-License-Identifier: GPL-2.0-or-later
#include "Pacer.h"

namespace tmfarend {

namespace {
constexpr long long kNsPerSecond = 1000000000LL;
}

Pacer::Clock::duration Pacer::WireTime(size_t count, unsigned baud) {
    if (!baud)
        return Clock::duration::zero();
    long long ns = static_cast<long long>(count) * kBitsPerSerialByte * kNsPerSecond / baud;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

Pacer::Clock::time_point Pacer::Due(size_t count, unsigned baud, Clock::time_point arrival) {
    if (m_freeAt < arrival)
        m_freeAt = arrival;
    m_freeAt += WireTime(count, baud);
    return m_freeAt;
}

} // namespace tmfarend
