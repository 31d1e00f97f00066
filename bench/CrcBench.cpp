// SPDX-License-Identifier: GPL-2.0-or-later
// CalcTMCrc, the kernel transport's bit-at-a-time CRC-8, built in user space
// from kernel/velkor.c, over 8 bytes (a ROM identifier) and 4 KiB, against a
// table-driven CRC-8 of the same polynomial over the same bytes. CalcTMCrc
// clears its buffer, so both sides copy the input first. The ratio table
// adds cycles per byte: CPU time per byte (copy included) times the clock
// rate the library measured.

#include "RatioTable.h"

#include <array>
#include <cstring>
#include <vector>

extern "C" {
#include "velkor.h"
}

namespace {

constexpr unsigned char kReflectedPoly = 0x8C;
constexpr std::size_t kRomBytes = 8;
constexpr std::size_t kPageBytes = 4096;

std::array<unsigned char, 256> MakeTable() {
    std::array<unsigned char, 256> table{};
    for (unsigned v = 0; v < table.size(); ++v) {
        unsigned char crc = static_cast<unsigned char>(v);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<unsigned char>((crc & 1) ? (crc >> 1) ^ kReflectedPoly : crc >> 1);
        table[v] = crc;
    }
    return table;
}

const std::array<unsigned char, 256> kTable = MakeTable();

unsigned char TableCrc(const unsigned char *buf, std::size_t len) {
    unsigned char crc = 0;
    for (std::size_t i = 0; i < len; ++i)
        crc = kTable[crc ^ buf[i]];
    return crc;
}

std::vector<unsigned char> MakeInput(std::size_t len) {
    std::vector<unsigned char> in(len);
    for (std::size_t i = 0; i < len; ++i)
        in[i] = static_cast<unsigned char>(i * 31 + 17);
    return in;
}

template <bool kBitwise> void CrcLoop(benchmark::State &state) {
    const std::size_t len = static_cast<std::size_t>(state.range(0));
    const std::vector<unsigned char> in = MakeInput(len);
    std::vector<unsigned char> work(len);
    // Both give the same CRC, or the comparison means nothing.
    std::memcpy(work.data(), in.data(), len);
    if (CalcTMCrc(work.data(), static_cast<unsigned int>(len)) != TableCrc(in.data(), len)) {
        state.SkipWithError("CalcTMCrc and the table CRC differ");
        return;
    }
    for (auto _ : state) {
        std::memcpy(work.data(), in.data(), len);
        benchmark::ClobberMemory();
        unsigned char crc;
        if (kBitwise)
            crc = CalcTMCrc(work.data(), static_cast<unsigned int>(len));
        else
            crc = TableCrc(work.data(), len);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}

void BM_CalcTMCrc(benchmark::State &state) {
    CrcLoop<true>(state);
}
void BM_TableCrc(benchmark::State &state) {
    CrcLoop<false>(state);
}
BENCHMARK(BM_CalcTMCrc)->Arg(kRomBytes)->Arg(kPageBytes);
BENCHMARK(BM_TableCrc)->Arg(kRomBytes)->Arg(kPageBytes);

const int kRegistered =
    RegisterRatio({"BM_CalcTMCrc/8", "BM_TableCrc/8", 0, kRomBytes,
                   "CalcTMCrc over 8 bytes vs a 256-entry table CRC-8 (same polynomial)"}) +
    RegisterRatio({"BM_CalcTMCrc/4096", "BM_TableCrc/4096", 0, kPageBytes,
                   "CalcTMCrc over 4 KiB vs a 256-entry table CRC-8 (same polynomial)"});

} // namespace
