// SPDX-License-Identifier: GPL-2.0-or-later
// The far end's faults on the echo stream, byte by byte: where stray and
// flood bytes go, what replaces which echo, that surplus, noise and junk
// are the same on every run and do not depend on how the bytes arrived in
// chunks, and that clear ends them all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EchoFaults.h"

namespace {

using tmfarend::EchoFaults;
using tmfarend::Junk;
using tmfarend::SlotKind;
using Bytes = std::vector<unsigned char>;

constexpr unsigned char kResetEcho = 0xC0;
constexpr unsigned char kOne = 0xFF;
constexpr unsigned char kZero = 0x00;
// Bytes of a transaction: Read ROM as the driver sends it, one reset byte,
// the command's 8 slots, 64 slots of the ROM.
constexpr size_t kCommandSlots = 8;
constexpr size_t kRomSlots = 64;

// A transaction's echoes and the kinds of its bytes.
struct Transaction {
    Bytes echo;
    std::vector<SlotKind> kinds;
};

// A reset, then slots driven by the master (cmd) and slots the key sends
// in (sent), each echo a value of its own so that shifts show.
Transaction Make(size_t cmd, size_t sent) {
    Transaction t;
    t.echo.push_back(kResetEcho);
    t.kinds.push_back(SlotKind::Reset);
    for (size_t i = 0; i < cmd + sent; i++) {
        t.echo.push_back(static_cast<unsigned char>(i % 2 ? kOne : kZero + i % 16));
        t.kinds.push_back(i < cmd ? SlotKind::Slot : SlotKind::KeySends);
    }
    return t;
}

// What the faults send back for t, handed over in chunks of chunk bytes.
Bytes Echoes(EchoFaults &f, const Transaction &t, size_t chunk = 0) {
    Bytes out;
    if (!chunk)
        chunk = t.echo.size();
    for (size_t at = 0; at < t.echo.size(); at += chunk) {
        size_t n = std::min(chunk, t.echo.size() - at);
        f.Apply(t.echo.data() + at, t.kinds.data() + at, n, out);
    }
    return out;
}

TEST(EchoFaults, WithNoFaultTheEchoGoesBackAsItIs) {
    EchoFaults f;
    Transaction t = Make(kCommandSlots, kRomSlots);
    EXPECT_EQ(Echoes(f, t), t.echo);
    EXPECT_EQ(f.Describe(), "");
    EXPECT_EQ(f.Injected(), 0u);
}

TEST(EchoFaults, StrayBytesFollowTheGivenSlotOnceWhateverTheChunks) {
    Transaction t = Make(kCommandSlots, kRomSlots);
    // The reset echo and 44 slot echoes, two stray bytes, the rest.
    Bytes want(t.echo.begin(), t.echo.begin() + 45);
    want.push_back(0x00);
    want.push_back(0x00);
    want.insert(want.end(), t.echo.begin() + 45, t.echo.end());
    for (size_t chunk : {0u, 1u, 3u, 44u, 45u, 46u}) {
        EchoFaults f;
        f.ArmStray(2, 0x00, 44);
        EXPECT_EQ(f.Describe(), "stray 2 00 44");
        EXPECT_EQ(Echoes(f, t, chunk), want) << "chunks of " << chunk;
        EXPECT_EQ(f.Describe(), "") << "chunks of " << chunk;
        // Once: the next transaction gets its echo unchanged.
        EXPECT_EQ(Echoes(f, t, chunk), t.echo) << "chunks of " << chunk;
        EXPECT_EQ(f.Injected(), 2u);
    }
}

TEST(EchoFaults, StrayBytesWaitForATransactionThatGetsThatFar) {
    EchoFaults f;
    f.ArmStray(1, 0xA5, 40);
    // A transaction of 32 slots ends before slot 40: nothing happens.
    Transaction shortOne = Make(kCommandSlots, 24);
    EXPECT_EQ(Echoes(f, shortOne), shortOne.echo);
    // Slots count from the reset, not across transactions.
    Transaction t = Make(kCommandSlots, kRomSlots);
    Bytes out = Echoes(f, t);
    ASSERT_EQ(out.size(), t.echo.size() + 1);
    EXPECT_EQ(out[41], 0xA5);
    EXPECT_EQ(Bytes(out.begin() + 42, out.end()), Bytes(t.echo.begin() + 41, t.echo.end()));
}

TEST(EchoFaults, FloodJunkIsTheSameOnEveryRunAndNotOneValue) {
    Transaction t = Make(kCommandSlots, kRomSlots);
    const size_t flood = 65536;
    EchoFaults a, b;
    a.ArmFlood(flood, 44);
    b.ArmFlood(flood, 44);
    Bytes outA = Echoes(a, t, 7);
    Bytes outB = Echoes(b, t);
    ASSERT_EQ(outA.size(), t.echo.size() + flood);
    EXPECT_EQ(outA, outB);
    Bytes junk(outA.begin() + 45, outA.begin() + 45 + static_cast<std::ptrdiff_t>(flood));
    size_t distinct = 0;
    std::vector<int> seen(256, 0);
    for (unsigned char c : junk)
        distinct += !seen[c]++;
    EXPECT_EQ(distinct, 256u);
    EXPECT_EQ(Bytes(outA.begin() + 45 + static_cast<std::ptrdiff_t>(flood), outA.end()),
              Bytes(t.echo.begin() + 45, t.echo.end()));
    // Armed again, the flood starts its junk over.
    a.ArmFlood(flood, 44);
    EXPECT_EQ(Echoes(a, t), outB);
}

TEST(EchoFaults, SurplusAddsOneByteAfterEveryChunk) {
    Transaction t = Make(2, 2); // reset, 2 driven slots, 2 sent: 5 bytes
    EchoFaults f;
    f.SetSurplus(1, 0);
    EXPECT_EQ(f.Describe(), "surplus copy");
    // Chunks of 2: each chunk's last echo once more.
    Bytes want = {t.echo[0], t.echo[1], t.echo[1], t.echo[2],
                  t.echo[3], t.echo[3], t.echo[4], t.echo[4]};
    EXPECT_EQ(Echoes(f, t, 2), want);
    f.SetSurplus(0, 0x5A);
    EXPECT_EQ(f.Describe(), "surplus 5a");
    want = t.echo;
    want.push_back(0x5A);
    EXPECT_EQ(Echoes(f, t), want);
    EXPECT_EQ(f.Injected(), 4u);
}

TEST(EchoFaults, ImpossibleEchoesReplaceOnlyTheirKind) {
    Transaction t = Make(kCommandSlots, kRomSlots);
    EchoFaults f;
    f.SetResetEcho(0xFF);
    Bytes want = t.echo;
    want[0] = 0xFF;
    EXPECT_EQ(Echoes(f, t), want);

    f.Clear();
    f.SetSlotEcho(0x5A);
    EXPECT_EQ(f.Describe(), "slot 5a");
    want = t.echo;
    for (size_t i = 1 + kCommandSlots; i < want.size(); i++)
        want[i] = 0x5A;
    EXPECT_EQ(Echoes(f, t), want);

    // Both at once; neither adds a byte.
    f.SetResetEcho(0x0F);
    want[0] = 0x0F;
    EXPECT_EQ(Echoes(f, t, 5), want);
    EXPECT_EQ(f.Describe(), "reset 0f, slot 5a");
    EXPECT_EQ(f.Injected(), 0u);
}

TEST(EchoFaults, NoiseFollowsItsSeedWhateverTheChunks) {
    Transaction t = Make(kCommandSlots, kRomSlots);
    const unsigned gap = 8;
    auto noisy = [&](uint32_t seed, size_t chunk) {
        EchoFaults f;
        f.SetNoise(seed, gap);
        Bytes out;
        for (int i = 0; i < 10; i++) {
            Bytes one = Echoes(f, t, chunk);
            out.insert(out.end(), one.begin(), one.end());
        }
        return out;
    };
    Bytes a = noisy(7, 0);
    EXPECT_EQ(noisy(7, 1), a);
    EXPECT_EQ(noisy(7, 13), a);
    EXPECT_NE(noisy(8, 0), a);
    // 730 echo bytes, one noise byte after every 1 to 16 of them: between
    // 45 and 730 noise bytes, about 81 on average.
    size_t echoes = 10 * t.echo.size();
    ASSERT_GT(a.size(), echoes + echoes / (size_t{2} * gap));
    ASSERT_LT(a.size(), echoes + echoes / 4);
    // The echoes themselves are all there, in order, between the noise.
    size_t j = 0;
    for (size_t i = 0; i < a.size() && j < echoes; i++)
        j += a[i] == t.echo[j % t.echo.size()];
    EXPECT_EQ(j, echoes);
}

TEST(EchoFaults, IdleBytesAreTakenOnce) {
    EchoFaults f;
    Bytes out;
    EXPECT_EQ(f.TakeIdle(out), 0);
    f.QueueIdle(3, 0x55);
    f.QueueIdle(1, 0x01);
    EXPECT_EQ(f.TakeIdle(out), 1);
    EXPECT_EQ(out, (Bytes{0x55, 0x55, 0x55, 0x01}));
    EXPECT_EQ(f.TakeIdle(out), 0);
    EXPECT_EQ(f.Injected(), 4u);
}

TEST(EchoFaults, ClearEndsEveryFault) {
    Transaction t = Make(kCommandSlots, kRomSlots);
    EchoFaults f;
    f.ArmStray(1, 0x00, 44);
    f.ArmFlood(100, 50);
    f.SetSurplus(1, 0);
    f.SetResetEcho(0xFF);
    f.SetSlotEcho(0x5A);
    f.SetLate(400);
    f.SetNoise(3, 16);
    f.QueueIdle(5, 0x55);
    EXPECT_EQ(f.Describe(), "stray 1 00 44, flood 100 50, surplus copy, reset ff, slot 5a, "
                            "late 400, noise 3 16");
    f.Clear();
    EXPECT_EQ(f.Describe(), "");
    EXPECT_EQ(f.LateMs(), 0u);
    Bytes idle;
    EXPECT_EQ(f.TakeIdle(idle), 0);
    EXPECT_EQ(Echoes(f, t), t.echo);
}

TEST(EchoFaults, JunkIsXorshiftFromItsSeed) {
    // The first values of xorshift32 from 1, and a zero seed that still
    // moves.
    Junk j(1);
    EXPECT_EQ(j.Next(), 270369u);
    EXPECT_EQ(j.Next(), 67634689u);
    Junk z(0);
    EXPECT_NE(z.Next(), 0u);
    Junk g(5);
    for (int i = 0; i < 1000; i++) {
        unsigned gap = g.Gap(3);
        ASSERT_GE(gap, 1u);
        ASSERT_LE(gap, 6u);
    }
}

} // namespace
