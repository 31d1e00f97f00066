// SPDX-License-Identifier: GPL-2.0-or-later
// The memrd listing of 16384 bytes, PrintHexDump to standard error (here
// /dev/null), against one write(2) per line of the same, ready-made lines:
// formatting the lines and writing them one by one must cost at most
// 1.1 times what writing the finished lines one by one costs.

#include "BenchUtil.h"
#include "RatioTable.h"

#include "HexListing.h"

#include <array>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kDumpSize = 16384;

// Every byte value, printable and not, in turn.
std::array<unsigned char, kDumpSize> MakeData() {
    std::array<unsigned char, kDumpSize> data{};
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 7 + 3);
    return data;
}

void BM_PrintHexDump(benchmark::State &state) {
    const auto data = MakeData();
    CMuteFd mute(STDERR_FILENO);
    for (auto _ : state)
        PrintHexDump(data.data(), data.size());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDumpSize));
}
BENCHMARK(BM_PrintHexDump);

void BM_PrintHexDump_write(benchmark::State &state) {
    const auto data = MakeData();
    std::vector<std::string> lines;
    char line[kHexLineBufferSize];
    for (std::size_t i = 0; i < kDumpSize / kHexBytesPerLine; ++i) {
        const std::size_t len = FormatHexLine(line, sizeof line, i,
                                              data.data() + i * kHexBytesPerLine, kHexBytesPerLine);
        lines.emplace_back(line, len);
    }
    CMuteFd mute(STDERR_FILENO);
    for (auto _ : state) {
        for (const std::string &l : lines)
            benchmark::DoNotOptimize(write(STDERR_FILENO, l.data(), l.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDumpSize));
}
BENCHMARK(BM_PrintHexDump_write);

const int kRegistered =
    RegisterRatio({"BM_PrintHexDump", "BM_PrintHexDump_write", 1.1, 0,
                   "PrintHexDump of 16384 bytes to /dev/null vs one write(2) per ready-made line"});

} // namespace
