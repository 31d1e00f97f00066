// SPDX-License-Identifier: GPL-2.0-or-later
// tmfarend: the far end of a serial 1-Wire line for tests of the tty
// backend. It serves the master side of a pseudo-terminal as a passive
// 1-Wire interface with one touch-memory key on it would answer the
// byte-per-bit technique, and takes control commands from `tmfarend ctl`.
//
//   tmfarend serve [--state DIR] [--rom HEX | --no-key] [--memory N] [--pace]
//   tmfarend ctl [--state DIR] COMMAND [ARG]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "CtlSocket.h"
#include "Serve.h"

namespace {

constexpr int kUsageError = 2;
// The key a far end starts with: family 0x04, 512 bytes of memory.
constexpr char kDefaultRom[] = "0400e1a5c0ffeeef";

const char kUsage[] =
    "usage: tmfarend serve [--state DIR] [--rom HEX | --no-key] [--memory N] [--pace]\n"
    "       tmfarend ctl [--state DIR] COMMAND [ARG]\n"
    "\n"
    "serve   opens a pseudo-terminal and answers on its master as a 1-Wire line\n"
    "        with one touch-memory key; prints \"tmfarend: serving /dev/pts/N\" and\n"
    "        links DIR/tty to that slave; ends on SIGINT or SIGTERM\n"
    "  --state DIR   folder of the control socket DIR/ctl and the link DIR/tty\n"
    "                (default $TMPDIR/tmfarend-UID)\n"
    "  --rom HEX     the key's ROM, 16 hex digits, byte 0 (family) first\n"
    "                (default 0400e1a5c0ffeeef)\n"
    "  --no-key      start with no key on the line\n"
    "  --memory N    key memory in bytes, at most 8192 (default: by family code,\n"
    "                01 (ID only): none, 04 and 06: 512, 08: 128, 0A: 2048,\n"
    "                0C: 8192, else 512)\n"
    "  --pace        answer at wire speed, 10 bit times per byte\n"
    "ctl     sends one command to a running far end and prints its answer:\n"
    "        attach ROM, remove, swap ROM, fault NAME [ARGS], clear, pace on|off,\n"
    "        show, dump, device add|drop ROM, device temp ROM CELSIUS,\n"
    "        device convtime ROM MS, device eeprom ROM, device list\n"
    "devices beside the key, by the ROM's family: 28 a DS18B20 thermometer,\n"
    "        2d a DS2431 EEPROM (128 bytes), 01 an ID-only key\n"
    "faults  (counts decimal, BYTE hex, SLOT: data slots since the reset, default 44)\n"
    "  silent              nothing answers, not even the echo\n"
    "  crc                 the key's ROM carries a wrong CRC-8 byte\n"
    "  short               the line is held low: every echo 0x00\n"
    "  stray N BYTE [SLOT] once: N bytes BYTE among the echoes after slot SLOT\n"
    "  flood N [SLOT]      once: N junk bytes among the echoes after slot SLOT\n"
    "  surplus [BYTE]      one byte more after every chunk's echo (BYTE, or a copy)\n"
    "  idle N BYTE         once, now: N bytes BYTE while nothing is asked\n"
    "  reset BYTE          every reset pulse echoes BYTE\n"
    "  slot BYTE           every slot in which the key sends echoes BYTE\n"
    "  late MS             every echo MS milliseconds late\n"
    "  noise SEED [GAP]    a random byte after every GAP echo bytes on average\n"
    "                      (default 256), both from SEED\n";

int Usage(const std::string &msg) {
    std::fprintf(stderr, "tmfarend: %s\n%s", msg.c_str(), kUsage);
    return kUsageError;
}

std::string DefaultStateDir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string base = (tmp && tmp[0]) ? tmp : "/tmp";
    return base + "/tmfarend-" + std::to_string(static_cast<unsigned long>(getuid()));
}

// The value after option argv[i]; advances i. nullptr when missing.
const char *Value(int argc, char **argv, int &i) {
    if (i + 1 >= argc)
        return nullptr;
    return argv[++i];
}

int ParseMemory(const char *text, unsigned &memory) {
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 10);
    if (errno || end == text || *end || text[0] == '-' || v == 0 || v > tmfarend::kMemoryMax)
        return 0;
    memory = static_cast<unsigned>(v);
    return 1;
}

int RunServe(int argc, char **argv) {
    tmfarend::ServeOptions opts;
    opts.stateDir = DefaultStateDir();
    tmfarend::ParseRom(kDefaultRom, opts.rom);
    int romGiven = 0;
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        const char *v = nullptr;
        if (arg == "--pace") {
            opts.pace = 1;
        } else if (arg == "--no-key") {
            opts.keyPresent = 0;
        } else if (arg == "--state" || arg == "--rom" || arg == "--memory") {
            if (!(v = Value(argc, argv, i)))
                return Usage(arg + " needs a value");
            if (arg == "--state")
                opts.stateDir = v;
            else if (arg == "--rom" && !tmfarend::ParseRom(v, opts.rom))
                return Usage(std::string("bad ROM '") + v + "' (16 hex digits)");
            else if (arg == "--memory" && !ParseMemory(v, opts.memory))
                return Usage(std::string("bad memory size '") + v + "' (1 to 8192)");
            romGiven |= arg == "--rom";
        } else {
            return Usage("unknown argument '" + arg + "'");
        }
    }
    if (romGiven && !opts.keyPresent)
        return Usage("--rom and --no-key exclude each other");
    return tmfarend::Serve(opts);
}

int RunCtl(int argc, char **argv) {
    std::string stateDir = DefaultStateDir();
    int i = 2;
    if (i < argc && std::strcmp(argv[i], "--state") == 0) {
        const char *v = Value(argc, argv, i);
        if (!v)
            return Usage("--state needs a value");
        stateDir = v;
        i++;
    }
    if (i >= argc)
        return Usage("ctl needs a command");
    std::string text;
    for (; i < argc; i++)
        text += std::string(text.empty() ? "" : " ") + argv[i];
    std::string reply, err;
    if (!tmfarend::CtlRequest(stateDir + "/ctl", text, reply, err)) {
        std::fprintf(stderr, "tmfarend ctl: %s\n", err.c_str());
        return 1;
    }
    size_t eol = reply.find('\n');
    std::string first = reply.substr(0, eol);
    if (first != "ok") {
        std::fprintf(stderr, "tmfarend ctl: %s\n", first.c_str());
        return 1;
    }
    if (eol != std::string::npos)
        std::fputs(reply.c_str() + eol + 1, stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return Usage("no subcommand");
    std::string cmd = argv[1];
    if (cmd == "serve")
        return RunServe(argc, argv);
    if (cmd == "ctl")
        return RunCtl(argc, argv);
    if (cmd == "-h" || cmd == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    return Usage("unknown subcommand '" + cmd + "'");
}
