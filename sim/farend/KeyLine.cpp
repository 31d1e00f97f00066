// The far end's line: serial bytes go through the simulated adapter of
// sim/line (tm_pl2303.c), which clocks the portable key model (tm_key.c)
// one time slot per byte and hands back the echo the line carried.
#include "KeyLine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" {
#include "tm_line_core.h"
}

namespace tmfarend {

namespace {

// The greeting at the start of a fresh key's memory.
constexpr char kGreeting[] = "touch-memory key 0108: hello\n";
// The ROM byte that carries the CRC-8, and the bit a bad CRC flips in it.
constexpr size_t kCrcIndex = kRomSize - 1;
constexpr unsigned char kCrcFlip = 0x01;
constexpr unsigned kHexBase = 16;
constexpr size_t kHexDigitsPerByte = 2;

struct FamilySize {
    unsigned char family;
    unsigned size;
};
constexpr FamilySize kFamilySizes[] = {
    {0x04, 512}, {0x06, 512}, {0x08, 128}, {0x0A, 2048}, {0x0C, 8192},
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

unsigned FamilyMemory(unsigned char family) {
    for (const FamilySize &f : kFamilySizes)
        if (f.family == family)
            return f.size;
    return 0;
}

int ParseRom(const std::string &text, Rom &rom) {
    if (text.size() != kRomSize * kHexDigitsPerByte)
        return 0;
    Rom out{};
    for (size_t i = 0; i < kRomSize; i++) {
        int hi = HexDigit(text[i * kHexDigitsPerByte]);
        int lo = HexDigit(text[i * kHexDigitsPerByte + 1]);
        if (hi < 0 || lo < 0)
            return 0;
        out[i] = static_cast<unsigned char>(hi * kHexBase + lo);
    }
    rom = out;
    return 1;
}

std::string RomText(const Rom &rom) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : rom) {
        s += digits[b / kHexBase];
        s += digits[b % kHexBase];
    }
    return s;
}

KeyLine::KeyLine() = default;

KeyLine::~KeyLine() {
    tm_line_free(m_line);
}

int KeyLine::Init(const Rom &rom, int keyPresent, unsigned memSize) {
    if (memSize > kMemoryMax)
        return 0;
    if (!m_line)
        m_line = tm_line_new();
    if (!m_line)
        return 0;
    m_rom = rom;
    m_fixedSize = memSize;
    m_mem.fill(0);
    std::memcpy(m_mem.data(), kGreeting, sizeof(kGreeting) - 1);
    if (tm_line_init(m_line, nullptr, m_mem.data(), 0) != 0)
        return 0;
    if (keyPresent)
        PutKey();
    return 1;
}

// Attaches m_rom with the memory its family calls for and the CRC fault
// applied.
void KeyLine::PutKey() {
    unsigned size = m_fixedSize;
    if (!size)
        size = FamilyMemory(m_rom[0]);
    if (!size)
        size = kDefaultMemory;
    m_memSize = std::min<unsigned>(size, kMemoryMax);
    tm_line_set_memory(m_line, m_mem.data(), m_memSize);
    tm_line_attach(m_line, m_rom.data());
    SetBadCrc(m_badCrc);
}

size_t KeyLine::Answer(const unsigned char *bytes, size_t count, unsigned baud,
                       unsigned char *echo) {
    if (baud == TM_BAUD_RESET)
        m_counts.resetBytes += count;
    else if (baud == TM_BAUD_DATA)
        m_counts.dataBytes += count;
    else
        m_counts.otherBytes += count;
    if (m_silent) {
        m_counts.dropped += count;
        return 0;
    }
    // The adapter model knows two speeds: anything up to the reset speed
    // holds the line low long enough for a reset pulse, anything faster is
    // one time slot per byte.
    tm_pl2303_set_baud(&m_line->port, baud <= TM_BAUD_RESET ? TM_BAUD_RESET : TM_BAUD_DATA);
    size_t done = 0;
    while (done < count) {
        int n = static_cast<int>(std::min<size_t>(count - done, TM_FIFO_SIZE));
        int w = pl2303_write(&m_line->port, bytes + done, n);
        int r = w < 0 ? 0 : pl2303_read(&m_line->port, echo + done, n);
        if (r < n) // cannot happen without serial faults; keep the count
            std::memset(echo + done + (r < 0 ? 0 : r), 0xFF,
                        static_cast<size_t>(n - std::max(r, 0)));
        done += static_cast<size_t>(n);
    }
    return count;
}

int KeyLine::Attach(const Rom &rom, std::string &err) {
    if (KeyPresent()) {
        err = "a key is attached (remove it first, or swap)";
        return 0;
    }
    m_rom = rom;
    PutKey();
    return 1;
}

int KeyLine::Remove(std::string &err) {
    if (!KeyPresent()) {
        err = "no key attached";
        return 0;
    }
    tm_line_detach(m_line);
    return 1;
}

int KeyLine::Swap(const Rom &rom, std::string &err) {
    if (!KeyPresent()) {
        err = "no key attached (attach one)";
        return 0;
    }
    m_rom = rom;
    PutKey();
    return 1;
}

void KeyLine::SetBadCrc(int on) {
    m_badCrc = on;
    unsigned char crc = m_rom[kCrcIndex];
    m_line->key.rom[kCrcIndex] = on ? static_cast<unsigned char>(crc ^ kCrcFlip) : crc;
}

void KeyLine::SetShort(int on) {
    m_short = on;
    tm_line_fault_short(m_line, on);
}

void KeyLine::ClearFaults() {
    m_silent = 0;
    SetBadCrc(0);
    SetShort(0);
}

int KeyLine::KeyPresent() const {
    return tm_line_key_present(m_line);
}

} // namespace tmfarend
