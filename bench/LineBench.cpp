// SPDX-License-Identifier: GPL-2.0-or-later
// The line-level path of the stand-in: the touch-memory driver core over
// velkor and the simulated PL2303 adapter and 1-Wire line (sim/line/),
// reading and writing 8, 64 and 512 bytes of key memory from offset 0.
//
// Per data byte it reports what the line counted: serial bytes sent to the
// adapter and handed back, and the busy-wait time the transfer stands for
// (counted by the simulation, never slept), each against the transport's
// physical figures: 8 serial bytes per data byte, and 10 ms per started
// group of 8 bytes. The ratios show what the 1-Wire framing adds on top:
// reset pulses, ROM and memory commands, the address, and for writes the
// scratchpad's write, read-back, copy and check, page by page.
//
// The time columns are the simulation's own cost per transfer.

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>

#include "tm_line.h"

namespace {

constexpr unsigned kMemorySize = 4096;
constexpr double kPhysSerialPerByte = 8.0; // one serial byte per bit
constexpr unsigned kGroupBytes = 8;        // data bytes per write_1w() call
constexpr double kGroupDelayMs = 10.0;     // busy-wait per write_1w() call
constexpr double kUsPerMs = 1000.0;

// Family 02, serial 0000000001B81C, valid CRC-8.
constexpr std::array<unsigned char, TM_LINE_ROM_SIZE> kRom = {0x02, 0x1C, 0xB8, 0x01,
                                                              0x00, 0x00, 0x00, 0xA2};

std::array<unsigned char, kMemorySize> g_memory;
std::array<unsigned char, kMemorySize> g_data;

double PhysDelayMsPerByte(unsigned n) {
    const unsigned groups = (n + kGroupBytes - 1) / kGroupBytes;
    return kGroupDelayMs * groups / n;
}

template <bool kWrite> void LineTransfer(benchmark::State &state) {
    const unsigned n = static_cast<unsigned>(state.range(0));
    struct tm_line *line = tm_line_new();
    if (line == nullptr) {
        state.SkipWithError("tm_line_new failed");
        return;
    }
    for (unsigned i = 0; i < kMemorySize; i++) {
        g_memory[i] = static_cast<unsigned char>(i * 7 + 3);
        g_data[i] = static_cast<unsigned char>(i * 13 + 5);
    }
    if (tm_line_init(line, kRom.data(), g_memory.data(), kMemorySize) != 0) {
        state.SkipWithError("tm_line_init failed");
        tm_line_free(line);
        return;
    }
    tm_line_stats total{};
    for (auto _ : state) {
        tm_line_clear_stats(line);
        const int r = kWrite ? tm_line_write(line, 0, g_data.data(), n)
                             : tm_line_read(line, 0, g_data.data(), n);
        if (r != static_cast<int>(n)) {
            state.SkipWithError("the transfer failed");
            break;
        }
        benchmark::ClobberMemory();
        tm_line_stats st;
        tm_line_get_stats(line, &st);
        total.serial_out += st.serial_out;
        total.serial_in += st.serial_in;
        total.delay_us += st.delay_us;
    }
    tm_line_free(line);
    const double bytes = static_cast<double>(state.iterations()) * n;
    if (bytes == 0)
        return;
    const double serialOut = static_cast<double>(total.serial_out) / bytes;
    const double delayMs = static_cast<double>(total.delay_us) / kUsPerMs / bytes;
    state.counters["serial/B"] = serialOut;
    state.counters["serial_in/B"] = static_cast<double>(total.serial_in) / bytes;
    state.counters["phys_serial/B"] = kPhysSerialPerByte;
    state.counters["serial_ratio"] = serialOut / kPhysSerialPerByte;
    state.counters["delay_ms/B"] = delayMs;
    state.counters["phys_delay_ms/B"] = PhysDelayMsPerByte(n);
    state.counters["delay_ratio"] = delayMs / PhysDelayMsPerByte(n);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_LineRead(benchmark::State &state) {
    LineTransfer<false>(state);
}
void BM_LineWrite(benchmark::State &state) {
    LineTransfer<true>(state);
}
BENCHMARK(BM_LineRead)->Arg(8)->Arg(64)->Arg(512);
BENCHMARK(BM_LineWrite)->Arg(8)->Arg(64)->Arg(512);

} // namespace
