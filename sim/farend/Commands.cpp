// SPDX-License-Identifier: GPL-2.0-or-later
// The tables of control commands and of faults, and their handlers.
#include "Commands.h"
#include "Devices.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace tmfarend {

namespace {

using Words = std::vector<std::string>;
// Handlers return 1 with extra reply lines in out, or 0 with err set.
using Handler = int (*)(FarEnd &, const Words &, std::string &out, std::string &err);

struct Command {
    const char *name;
    size_t minArgs; // words after the name
    size_t maxArgs;
    const char *usage;
    Handler handler;
};

// A fault's handler gets the words after "fault NAME".
using FaultHandler = int (*)(FarEnd &, const Words &, std::string &err);

struct Fault {
    const char *name;
    size_t minArgs;
    size_t maxArgs;
    const char *usage;
    FaultHandler handler;
};

constexpr unsigned kDecimal = 10;
constexpr unsigned kHex = 16;
constexpr unsigned long kByteMax = 0xFF;
constexpr unsigned long kSeedMax = 0xFFFFFFFFul;
constexpr size_t kHexPrefix = 2; // "0x"
// A slot position past any transaction the driver makes (8192 bytes read
// are 65536 slots) is one that never comes.
constexpr unsigned long kSlotMax = 1ul << 20;
constexpr unsigned long kGapMax = 1ul << 20;

// A number in base within [min, max]: digits only (hex ones may follow
// "0x"), no sign, no blanks. 0 with err set otherwise.
int TakeNumber(const std::string &text, unsigned base, unsigned long min, unsigned long max,
               const char *what, unsigned long &value, std::string &err) {
    size_t start = 0;
    if (base == kHex && text.size() > kHexPrefix && text[0] == '0' &&
        (text[1] == 'x' || text[1] == 'X'))
        start = kHexPrefix;
    int digits = start < text.size();
    for (size_t i = start; i < text.size(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        digits &= base == kHex ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long v = digits ? std::strtoul(text.c_str() + start, &end, static_cast<int>(base)) : 0;
    if (!digits || errno || *end || v < min || v > max) {
        err = "bad " + std::string(what) + " '" + text + "' (" + (base == kHex ? "hex " : "") +
              std::to_string(min) + " to " + std::to_string(max) + ")";
        return 0;
    }
    value = v;
    return 1;
}

int TakeByte(const std::string &text, unsigned char &value, std::string &err) {
    unsigned long v = 0;
    if (!TakeNumber(text, kHex, 0, kByteMax, "byte", v, err))
        return 0;
    value = static_cast<unsigned char>(v);
    return 1;
}

int TakeCount(const std::string &text, size_t &value, std::string &err) {
    unsigned long v = 0;
    if (!TakeNumber(text, kDecimal, 1, kInjectMax, "count", v, err))
        return 0;
    value = v;
    return 1;
}

// An optional slot position: words[at] if there, else the default.
int TakeSlot(const Words &w, size_t at, unsigned &slot, std::string &err) {
    unsigned long v = kDefaultInjectSlot;
    if (w.size() > at && !TakeNumber(w[at], kDecimal, 1, kSlotMax, "slot", v, err))
        return 0;
    slot = static_cast<unsigned>(v);
    return 1;
}

int TakeRom(const std::string &text, Rom &rom, std::string &err) {
    if (ParseRom(text, rom))
        return 1;
    err = "bad ROM '" + text + "' (16 hex digits)";
    return 0;
}

int FaultSilent(FarEnd &f, const Words &, std::string &) {
    f.line.SetSilent(1);
    return 1;
}

int FaultCrc(FarEnd &f, const Words &, std::string &) {
    f.line.SetBadCrc(1);
    return 1;
}

int FaultShort(FarEnd &f, const Words &, std::string &) {
    f.line.SetShort(1);
    return 1;
}

int FaultStray(FarEnd &f, const Words &w, std::string &err) {
    size_t count = 0;
    unsigned char value = 0;
    unsigned slot = 0;
    if (!TakeCount(w[0], count, err) || !TakeByte(w[1], value, err) || !TakeSlot(w, 2, slot, err))
        return 0;
    f.faults.ArmStray(count, value, slot);
    return 1;
}

int FaultFlood(FarEnd &f, const Words &w, std::string &err) {
    size_t count = 0;
    unsigned slot = 0;
    if (!TakeCount(w[0], count, err) || !TakeSlot(w, 1, slot, err))
        return 0;
    f.faults.ArmFlood(count, slot);
    return 1;
}

int FaultSurplus(FarEnd &f, const Words &w, std::string &err) {
    unsigned char value = 0;
    if (!w.empty() && !TakeByte(w[0], value, err))
        return 0;
    f.faults.SetSurplus(w.empty(), value);
    return 1;
}

int FaultIdle(FarEnd &f, const Words &w, std::string &err) {
    size_t count = 0;
    unsigned char value = 0;
    if (!TakeCount(w[0], count, err) || !TakeByte(w[1], value, err))
        return 0;
    f.faults.QueueIdle(count, value);
    return 1;
}

int FaultReset(FarEnd &f, const Words &w, std::string &err) {
    unsigned char value = 0;
    if (!TakeByte(w[0], value, err))
        return 0;
    f.faults.SetResetEcho(value);
    return 1;
}

int FaultSlot(FarEnd &f, const Words &w, std::string &err) {
    unsigned char value = 0;
    if (!TakeByte(w[0], value, err))
        return 0;
    f.faults.SetSlotEcho(value);
    return 1;
}

int FaultLate(FarEnd &f, const Words &w, std::string &err) {
    unsigned long ms = 0;
    if (!TakeNumber(w[0], kDecimal, 1, kLateMaxMs, "delay", ms, err))
        return 0;
    f.faults.SetLate(static_cast<unsigned>(ms));
    return 1;
}

int FaultNoise(FarEnd &f, const Words &w, std::string &err) {
    unsigned long seed = 0, gap = kDefaultNoiseGap;
    if (!TakeNumber(w[0], kDecimal, 0, kSeedMax, "seed", seed, err) ||
        (w.size() > 1 && !TakeNumber(w[1], kDecimal, 1, kGapMax, "gap", gap, err)))
        return 0;
    f.faults.SetNoise(static_cast<uint32_t>(seed), static_cast<unsigned>(gap));
    return 1;
}

const Fault kFaults[] = {
    {"silent", 0, 0, "fault silent", FaultSilent},
    {"crc", 0, 0, "fault crc", FaultCrc},
    {"short", 0, 0, "fault short", FaultShort},
    {"stray", 2, 3, "fault stray N BYTE [SLOT]", FaultStray},
    {"flood", 1, 2, "fault flood N [SLOT]", FaultFlood},
    {"surplus", 0, 1, "fault surplus [BYTE]", FaultSurplus},
    {"idle", 2, 2, "fault idle N BYTE", FaultIdle},
    {"reset", 1, 1, "fault reset BYTE", FaultReset},
    {"slot", 1, 1, "fault slot BYTE", FaultSlot},
    {"late", 1, 1, "fault late MS", FaultLate},
    {"noise", 1, 2, "fault noise SEED [GAP]", FaultNoise},
};

std::string FaultNames() {
    std::string s;
    for (const Fault &f : kFaults)
        s += std::string(s.empty() ? "" : ", ") + f.name;
    return s;
}

int CmdAttach(FarEnd &f, const Words &w, std::string &, std::string &err) {
    Rom rom;
    return TakeRom(w[1], rom, err) && f.line.Attach(rom, err);
}

int CmdRemove(FarEnd &f, const Words &, std::string &, std::string &err) {
    return f.line.Remove(err);
}

int CmdSwap(FarEnd &f, const Words &w, std::string &, std::string &err) {
    Rom rom;
    return TakeRom(w[1], rom, err) && f.line.Swap(rom, err);
}

int CmdFault(FarEnd &f, const Words &w, std::string &, std::string &err) {
    for (const Fault &fault : kFaults) {
        if (w[1] != fault.name)
            continue;
        Words args(w.begin() + 2, w.end());
        if (args.size() < fault.minArgs || args.size() > fault.maxArgs) {
            err = std::string("usage: ") + fault.usage;
            return 0;
        }
        return fault.handler(f, args, err);
    }
    err = "unknown fault '" + w[1] + "' (" + FaultNames() + ")";
    return 0;
}

int CmdClear(FarEnd &f, const Words &, std::string &, std::string &) {
    f.line.ClearFaults();
    f.faults.Clear();
    return 1;
}

int CmdPace(FarEnd &f, const Words &w, std::string &, std::string &err) {
    if (w[1] != "on" && w[1] != "off") {
        err = "pace takes on or off";
        return 0;
    }
    f.pace = w[1] == "on";
    return 1;
}

int CmdShow(FarEnd &f, const Words &, std::string &out, std::string &) {
    const KeyLine &l = f.line;
    std::string faults;
    auto add = [&faults](const std::string &item) {
        faults += (faults.empty() ? "" : ", ") + item;
    };
    if (l.Silent())
        add("silent");
    if (l.BadCrc())
        add("crc");
    if (l.Shorted())
        add("short");
    std::string echo = f.faults.Describe();
    if (!echo.empty())
        add(echo);
    const LineCounts &c = l.Counts();
    out += "key " + (l.KeyPresent() ? RomText(l.CurrentRom()) : std::string("none")) + "\n";
    out += "memory " + std::to_string(l.MemorySize()) + "\n";
    out += "faults " + (faults.empty() ? std::string("none") : faults) + "\n";
    out += std::string("pace ") + (f.pace ? "on" : "off") + "\n";
    out += "baud " + std::to_string(f.baud) + "\n";
    // Last, so that a script taking the last line of the answer gets them.
    out += "counts reset " + std::to_string(c.resetBytes) + " data " + std::to_string(c.dataBytes) +
           " other " + std::to_string(c.otherBytes) + " dropped " + std::to_string(c.dropped) +
           " writes " + std::to_string(c.writes) + " injected " +
           std::to_string(f.faults.Injected()) + "\n";
    return 1;
}

// One line, the whole memory in hex, and nothing after it, so that a
// script taking the last line of the answer gets exactly the memory.
int CmdDump(FarEnd &f, const Words &, std::string &out, std::string &) {
    const KeyLine &l = f.line;
    out += HexText(l.Memory(), l.StoredSize()) + "\n";
    return 1;
}

// A temperature in degrees Celsius with up to three decimals ("-10.125")
// as thousandths.
constexpr long kTempMilliMin = -55000;
constexpr long kTempMilliMax = 125000;
constexpr unsigned long kConvMsMax = 10000;
constexpr size_t kMilliDigits = 3;
constexpr long kMilliPerDegree = 1000;

int AllDigits(const std::string &text) {
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return 0;
    return 1;
}

int TakeTemp(const std::string &text, long &milli, std::string &err) {
    size_t at = !text.empty() && text[0] == '-';
    size_t dot = text.find('.', at);
    std::string whole = text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
    std::string frac = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    int ok = !whole.empty() && whole.size() <= kMilliDigits && AllDigits(whole) &&
             frac.size() <= kMilliDigits && AllDigits(frac) &&
             (dot == std::string::npos || !frac.empty());
    long v = 0;
    if (ok) {
        frac.append(kMilliDigits - frac.size(), '0');
        v = std::stol(whole) * kMilliPerDegree + std::stol(frac);
        v = at ? -v : v;
    }
    if (!ok || v < kTempMilliMin || v > kTempMilliMax) {
        err = "bad temperature '" + text + "' (-55 to 125, up to three decimals)";
        return 0;
    }
    milli = v;
    return 1;
}

// device add ROM | drop ROM | temp ROM CELSIUS | convtime ROM MS |
// eeprom ROM | list
int CmdDevice(FarEnd &f, const Words &w, std::string &out, std::string &err) {
    Devices &d = f.line.Extra();
    if (w[1] == "list") {
        if (f.line.KeyPresent())
            out += RomText(f.line.CurrentRom()) + " key\n";
        for (const auto &dev : d.All())
            out += RomText(dev->RomId()) + " " + dev->Describe() + "\n";
        return 1;
    }
    Rom rom;
    if (w.size() < 3 || !TakeRom(w[2], rom, err)) {
        if (err.empty())
            err = "usage: device add|drop|temp|convtime|eeprom ROM [VALUE], or device list";
        return 0;
    }
    if (w[1] == "add")
        return d.Add(rom, err);
    if (w[1] == "drop")
        return d.Drop(rom, err);
    Device *dev = d.Find(rom);
    if (!dev) {
        err = "no device " + w[2] + " on the line";
        return 0;
    }
    auto *therm = dynamic_cast<Thermometer *>(dev);
    auto *eeprom = dynamic_cast<Eeprom *>(dev);
    if (w[1] == "eeprom" && eeprom) {
        out += HexText(eeprom->Memory(), kEepromSize) + "\n";
        return 1;
    }
    if ((w[1] == "temp" || w[1] == "convtime") && therm && w.size() == 4) {
        if (w[1] == "temp") {
            long milli = 0;
            if (!TakeTemp(w[3], milli, err))
                return 0;
            therm->SetMilli(milli);
            return 1;
        }
        unsigned long ms = 0;
        if (!TakeNumber(w[3], kDecimal, 0, kConvMsMax, "conversion time", ms, err))
            return 0;
        therm->SetConvMs(static_cast<unsigned>(ms));
        return 1;
    }
    err = "device " + w[1] + " does not apply to " + w[2] + " (" + dev->Describe() + ")";
    return 0;
}

const Command kCommands[] = {
    {"attach", 1, 1, "attach ROM", CmdAttach},
    {"remove", 0, 0, "remove", CmdRemove},
    {"swap", 1, 1, "swap ROM", CmdSwap},
    {"fault", 1, 4, "fault NAME [ARGS]", CmdFault},
    {"clear", 0, 0, "clear", CmdClear},
    {"pace", 1, 1, "pace on|off", CmdPace},
    {"show", 0, 0, "show", CmdShow},
    {"dump", 0, 0, "dump", CmdDump},
    {"device", 1, 3, "device add|drop|temp|convtime|eeprom ROM [VALUE] | device list", CmdDevice},
};

std::string Names() {
    std::string s;
    for (const Command &c : kCommands)
        s += std::string(s.empty() ? "" : ", ") + c.name;
    return s;
}

} // namespace

std::string RunCommand(FarEnd &farEnd, const std::string &text) {
    std::istringstream in(text);
    Words words;
    std::string word;
    while (in >> word)
        words.push_back(word);
    if (words.empty())
        return "error: no command (" + Names() + ")\n";
    for (const Command &c : kCommands) {
        if (words[0] != c.name)
            continue;
        if (words.size() < c.minArgs + 1 || words.size() > c.maxArgs + 1)
            return std::string("error: usage: ") + c.usage + "\n";
        std::string out, err;
        if (!c.handler(farEnd, words, out, err))
            return "error: " + err + "\n";
        return "ok\n" + out;
    }
    return "error: unknown command '" + words[0] + "' (" + Names() + ")\n";
}

} // namespace tmfarend
