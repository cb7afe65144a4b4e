#!/usr/bin/env bash
# Checks a built Quorin64.exe: machine, GUI subsystem, minimum Windows
# version, the DLLs it imports, the relaunch and WOW64 lookup of the x64
# program only, size and stripping. Usage: check_program.sh x64|x86 FILE
set -u
target=$1
program=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

case $target in
    x64) objdump=x86_64-w64-mingw32-objdump; minor=2; magic=PE32+; machine='i386:x86-64,' ;;
    x86) objdump=i686-w64-mingw32-objdump; minor=1; magic=PE32; machine='i386,' ;;
    *) echo "usage: $0 x64|x86 FILE"; exit 2 ;;
esac
[ -f "$program" ] || { echo "FAIL: $program is not built"; exit 1; }

headers=$($objdump -p "$program")
field() { printf '%s\n' "$headers" | awk -v name="$1" '$1 == name { print $2; exit }'; }

$objdump -f "$program" | grep -q "architecture: $machine" || fail "not built for $machine"
printf '%s\n' "$headers" | grep -q "^Magic.*($magic)" || fail "not a $magic image"
[ "$(field Subsystem)" = 00000002 ] || fail "subsystem is not Windows GUI"
for name in MajorOSystemVersion MajorSubsystemVersion; do
    [ "$(field $name)" = 5 ] || fail "$name is $(field $name), not 5"
done
for name in MinorOSystemVersion MinorSubsystemVersion; do
    [ "$(field $name)" = $minor ] || fail "$name is $(field $name), not $minor"
done

dlls=$(printf '%s\n' "$headers" | awk '/DLL Name:/ { print toupper($3) }' | sort | tr '\n' ' ')
[ "$dlls" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL NEWDEV.DLL USER32.DLL " ] ||
    fail "imports $dlls"

imports_createprocess=$(printf '%s\n' "$headers" | grep -cw CreateProcessA)
has_lookup=$(grep -c IsWow64Process "$program")
if [ "$target" = x64 ]; then
    [ "$imports_createprocess" -ge 1 ] || fail "x64 program does not import CreateProcessA"
    [ "$has_lookup" -ge 1 ] || fail "x64 program has no IsWow64Process lookup"
else
    [ "$imports_createprocess" -eq 0 ] || fail "x86 program imports CreateProcessA"
    [ "$has_lookup" -eq 0 ] || fail "x86 program contains an IsWow64Process lookup"
fi
printf '%s\n' "$headers" | grep -qw UpdateDriverForPlugAndPlayDevicesA ||
    fail "does not import UpdateDriverForPlugAndPlayDevicesA"

size=$(stat -c %s "$program")
[ "$size" -le 49152 ] || fail "$size bytes, more than 48 KB"
$objdump -t "$program" 2>/dev/null | grep -q '^\[' && fail "not stripped"

echo "$target program: $size bytes, imports $dlls"
[ "$failures" -eq 0 ]
