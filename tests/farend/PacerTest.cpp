// SPDX-License-Identifier: GPL-2.0-or-later
// The far end's wire schedule: echoes are due a wire time after their bytes
// arrived, or after the bytes before them if the wire was still busy; the
// schedule never depends on when the far end itself woke up.
#include <gtest/gtest.h>

#include <chrono>

#include "Pacer.h"

namespace {

using std::chrono::microseconds;
using std::chrono::nanoseconds;
using tmfarend::Pacer;

constexpr unsigned kReset = 9600;
constexpr unsigned kData = 115200;

long long Us(Pacer::Clock::duration d) {
    return std::chrono::duration_cast<microseconds>(d).count();
}

TEST(PacerTest, WireTimeIsTenBitTimesPerByte) {
    EXPECT_EQ(Us(Pacer::WireTime(1, kReset)), 1041);
    EXPECT_EQ(std::chrono::duration_cast<nanoseconds>(Pacer::WireTime(64, kData)).count(), 5555555);
    EXPECT_EQ(Pacer::WireTime(64, 0), Pacer::Clock::duration::zero());
}

TEST(PacerTest, BytesQueueBehindTheWireAndAnIdleWireStartsAfresh) {
    Pacer pacer;
    const Pacer::Clock::time_point t0{};
    const Pacer::Clock::duration slots = Pacer::WireTime(64, kData);
    // Two chunks arriving together: the second waits for the first.
    Pacer::Clock::time_point first = pacer.Due(64, kData, t0 + microseconds(1000));
    EXPECT_EQ(first, t0 + microseconds(1000) + slots);
    Pacer::Clock::time_point second = pacer.Due(64, kData, t0 + microseconds(1000));
    EXPECT_EQ(second, first + slots);
    // Bytes that arrived while the wire was still busy follow it at once,
    // however late the far end read them.
    Pacer::Clock::time_point third = pacer.Due(8, kData, second - microseconds(10));
    EXPECT_EQ(third, second + Pacer::WireTime(8, kData));
    // After an idle gap the wire starts with the bytes' arrival.
    Pacer::Clock::time_point later = third + microseconds(10000);
    EXPECT_EQ(pacer.Due(1, kReset, later), later + Pacer::WireTime(1, kReset));
}

} // namespace
