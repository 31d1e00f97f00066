// The table of control commands and their handlers.
#include "Commands.h"

#include <sstream>
#include <vector>

namespace tmfarend {

namespace {

using Words = std::vector<std::string>;
// Handlers return 1 with extra reply lines in out, or 0 with err set.
using Handler = int (*)(FarEnd &, const Words &, std::string &out, std::string &err);

struct Command {
    const char *name;
    size_t args; // words after the name
    const char *usage;
    Handler handler;
};

int TakeRom(const std::string &text, Rom &rom, std::string &err) {
    if (ParseRom(text, rom))
        return 1;
    err = "bad ROM '" + text + "' (16 hex digits)";
    return 0;
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
    if (w[1] == "silent")
        f.line.SetSilent(1);
    else if (w[1] == "crc")
        f.line.SetBadCrc(1);
    else if (w[1] == "short")
        f.line.SetShort(1);
    else {
        err = "unknown fault '" + w[1] + "' (silent, crc, short)";
        return 0;
    }
    return 1;
}

int CmdClear(FarEnd &f, const Words &, std::string &, std::string &) {
    f.line.ClearFaults();
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
    if (l.Silent())
        faults += " silent";
    if (l.BadCrc())
        faults += " crc";
    if (l.Shorted())
        faults += " short";
    const LineCounts &c = l.Counts();
    out += "key " + (l.KeyPresent() ? RomText(l.CurrentRom()) : std::string("none")) + "\n";
    out += "memory " + std::to_string(l.MemorySize()) + "\n";
    out += "faults" + (faults.empty() ? std::string(" none") : faults) + "\n";
    out += std::string("pace ") + (f.pace ? "on" : "off") + "\n";
    out += "baud " + std::to_string(f.baud) + "\n";
    // Last, so that a script taking the last line of the answer gets them.
    out += "counts reset " + std::to_string(c.resetBytes) + " data " + std::to_string(c.dataBytes) +
           " other " + std::to_string(c.otherBytes) + " dropped " + std::to_string(c.dropped) +
           " writes " + std::to_string(c.writes) + "\n";
    return 1;
}

// One line, the whole memory in hex, and nothing after it, so that a
// script taking the last line of the answer gets exactly the memory.
int CmdDump(FarEnd &f, const Words &, std::string &out, std::string &) {
    const KeyLine &l = f.line;
    out += HexText(l.Memory(), l.StoredSize()) + "\n";
    return 1;
}

const Command kCommands[] = {
    {"attach", 1, "attach ROM", CmdAttach}, {"remove", 0, "remove", CmdRemove},
    {"swap", 1, "swap ROM", CmdSwap},       {"fault", 1, "fault silent|crc|short", CmdFault},
    {"clear", 0, "clear", CmdClear},        {"pace", 1, "pace on|off", CmdPace},
    {"show", 0, "show", CmdShow},           {"dump", 0, "dump", CmdDump},
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
        if (words.size() != c.args + 1)
            return std::string("error: usage: ") + c.usage + "\n";
        std::string out, err;
        if (!c.handler(farEnd, words, out, err))
            return "error: " + err + "\n";
        return "ok\n" + out;
    }
    return "error: unknown command '" + words[0] + "' (" + Names() + ")\n";
}

} // namespace tmfarend
