// Help text of tmsim.
#include "Usage.h"

namespace tmsim {

const char *UsageText() {
    return "Usage: tmsim [options] -- command [args...]\n"
           "       tmsim ctl [--state DIR] attach [--rom HEX | --family HH --serial HEX12]\n"
           "       tmsim ctl [--state DIR] remove\n"
           "       tmsim ctl [--state DIR] swap --rom HEX | --family HH --serial HEX12\n"
           "       tmsim ctl [--state DIR] vanish | appear\n"
           "       tmsim ctl [--state DIR] fault NAME[=ARG] | clear-faults\n"
           "       tmsim ctl [--state DIR] show\n"
           "\n"
           "Runs command with the touch-memory driver stand-in: /dev/touchm0 is served\n"
           "by a simulated key, /tmp/tmdrv.log is redirected, the clock is never set.\n"
           "The command replaces tmsim (same process), so its exit status is tmsim's.\n"
           "\n"
           "Options:\n"
           "  --state DIR          state directory (default ${TMPDIR:-/tmp}/tmsim-<uid>)\n"
           "  --rom HEX            the 8 ROM bytes in the driver's order, 16 hex digits\n"
           "  --family HH          ROM family byte (default 08)\n"
           "  --serial HEX12       48-bit serial number (default 0000deadbeef); the ROM is\n"
           "                       family, serial (least significant byte first), CRC-8\n"
           "  --memory-size N      key memory in bytes (default 512)\n"
           "  --absent             no key on the line\n"
           "  --no-device[=ERRNO]  /dev/touchm0 missing: open fails with ENOENT or ERRNO\n"
           "  --fault NAME[=ARG]   presence, rom, skip, reset, lseek, read, write (fail\n"
           "                       with EIO), short-read=N, short-write=N (at most N bytes),\n"
           "                       vanish-after=N (device gone after N requests); repeatable\n"
           "                       With --line also line-flip=SLOT (the line inverts data\n"
           "                       slot SLOT, counted from 0 after each reset pulse, in every\n"
           "                       transaction), line-remove=SLOT (the key leaves the line\n"
           "                       at slot SLOT, once), line-short (the line held low)\n"
           "  --log FILE           where /tmp/tmdrv.log goes (default STATE/tmdrv.log)\n"
           "  --trace[=FILE]       one line per device call (default STATE/trace)\n"
           "  --clock=allow|deny   settimeofday recorded and 0, or EPERM (default deny)\n"
           "  --rtc=absent|present|refuse\n"
           "                       /dev/rtc0 missing, accepting RTC_SET_TIME, or refusing\n"
           "                       it with EINVAL (default absent)\n"
           "  --line               serve requests through the line-level driver core\n"
           "  --help               this text\n"
           "\n"
           "State: STATE/config (rewritten at each launch), STATE/memory.bin (the key's\n"
           "memory, kept across runs), STATE/tmdrv.log, STATE/trace, STATE/clock, STATE/rtc.\n"
           "A bad option exits with status 2 without running the command.\n";
}

} // namespace tmsim
