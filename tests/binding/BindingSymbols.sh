#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks how libvorn exports and binds the shared utility library:
#  - the utility operations and the process-wide variables are defined in
#    its dynamic symbol table;
#  - StartDeinit is left undefined, for the program to supply;
#  - the library is not linked symbolically, and its own references to the
#    variables and operations go through dynamic relocations, so that a
#    program exporting its own copy wins.
# Usage: BindingSymbols.sh NM READELF LIBRARY
set -u
nm=$1
readelf=$2
lib=$3
failed=0

fail() {
    echo "FAIL: $*"
    failed=1
}

symbols=$("$nm" -D -C "$lib") || { echo "FAIL: $nm cannot read $lib"; exit 1; }
raw=$("$nm" -D "$lib")
dynamic=$("$readelf" -dW "$lib")
relocs=$("$readelf" -rW "$lib")

# Names (demangled, with their signatures) of one symbol type.
of_type() {
    printf '%s\n' "$symbols" | awk -v t="$1" '$2 == t { sub(/^[0-9a-f]* *[A-Za-z] /, ""); print }'
}
text=$(of_type T)
data=$( (of_type B; of_type D) )

# The diagnostic layer's operations, defined in the library's text.
while IFS= read -r op; do
    [ -n "$op" ] || continue
    printf '%s\n' "$text" | grep -qxF -- "$op" || fail "operation not defined (T): $op"
done <<'OPS'
CMutex::~CMutex()
CMutex::Init(unsigned long)
CMutex::Deinit()
CMutex::LockContext()
CMutex::ReleaseContext()
CLog::CLog()
CLog::~CLog()
CLog::Init(char const*, unsigned long, unsigned long, unsigned long)
CLog::Deinit()
CLog::PrintString(unsigned long, unsigned long, char const*)
CLog::Print(unsigned long, unsigned long, char const*, ...)
CLog::DebugPrint(char const*, ...)
CLog::doGetCurTime(char*)
CLog::doGetLogLevelString(unsigned long, unsigned long)
CLog::DebugDump(char const*, int, unsigned char*, unsigned long)
CLog::DebugDump2(char const*, int, unsigned char*, unsigned long)
DebugPrint(char const*, ...)
DebugPrintEx(char const*, int, char const*, ...)
DumpData(unsigned char*, unsigned long, char*)
DumpData2(unsigned short*, unsigned long, char*)
DumpData4(unsigned long*, unsigned long, char*)
DebugDump(char const*, int, unsigned char*, unsigned long)
DebugDump2(char const*, int, unsigned char*, unsigned long)
OPS

# The rest of the utility library, by name.
for name in InitCmdHelper CmdLoop CmdHelp FindCmd TokenizeString sigterm_handler \
    Time_t2StringEx GetCurTimeMS; do
    printf '%s\n' "$text" | grep -q -- "^$name(" || fail "operation not defined (T): $name"
done

# The process-wide variables, defined as data.
for var in g_currentLogger g_debugPrintMutex; do
    printf '%s\n' "$data" | grep -qxF -- "$var" || fail "variable not defined (B/D): $var"
done

# StartDeinit comes from the program that loads the library.
printf '%s\n' "$raw" | grep -qE '^ +[Uw] StartDeinit$' || fail "StartDeinit is not undefined"

# No symbolic linking: the library's own references may be interposed.
printf '%s\n' "$dynamic" | grep -q 'SYMBOLIC' && fail "linked with -Bsymbolic (DT_SYMBOLIC)"
printf '%s\n' "$dynamic" | grep -q 'SONAME.*\[libvorn\.so\.1\]' || fail "SONAME is not libvorn.so.1"

# The library reaches its own variables and operations by name: dynamic
# relocations against them (a GOT entry for data, a PLT slot for calls).
for sym in g_currentLogger g_debugPrintMutex; do
    printf '%s\n' "$relocs" | grep -qE "GLOB_DAT +[0-9a-f]+ +$sym " ||
        fail "no dynamic relocation for the library's own use of $sym"
done
for sym in _ZN4CLog10DebugPrintEPKcz _Z12DebugPrintExPKciS0_z _ZN4CLog4InitEPKcmmm \
    _ZN4CLog6DeinitEv _ZN6CMutex4InitEm; do
    printf '%s\n' "$relocs" | grep -qE "JUMP_SLOT +[0-9a-f]+ +$sym " ||
        fail "no PLT relocation for the library's own calls of $sym"
done

if [ "$failed" -eq 0 ]; then
    echo "libvorn exports and binds the utility library by name"
fi
exit "$failed"
