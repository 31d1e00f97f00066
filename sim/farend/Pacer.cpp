#include "Pacer.h"

#include <thread>

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

void Pacer::Wait(size_t count, unsigned baud) {
    Clock::time_point now = Clock::now();
    if (m_freeAt < now)
        m_freeAt = now;
    m_freeAt += WireTime(count, baud);
    std::this_thread::sleep_until(m_freeAt);
}

} // namespace tmfarend
