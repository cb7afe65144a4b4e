#!/usr/bin/env bash
# Checks a built Quorin64.exe: machine, GUI subsystem, minimum Windows
# version, ASLR and DEP with the relocations ASLR needs, the DLLs it
# imports, the relaunch and WOW64 lookup of the x64 program only, size and
# stripping, no link time in the header, and its version information and
# application manifest. With ACTION (x64), the example Windows Installer
# package's custom-action DLL too: its imports, exports, link time and
# stripping.
# Usage: check_program.sh x64|x86 FILE VERSION [ACTION] (VERSION the
# project's, e.g. 1.0.0)
set -u
target=$1
program=$2
version=${3:-}
action=${4:-}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

case $target in
    x64) tools=x86_64-w64-mingw32; minor=2; magic=PE32+; machine='i386:x86-64,'
         architecture=amd64 ;;
    x86) tools=i686-w64-mingw32; minor=1; magic=PE32; machine='i386,'; architecture=x86 ;;
    *) echo "usage: $0 x64|x86 FILE VERSION"; exit 2 ;;
esac
objdump=$tools-objdump
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "usage: $0 x64|x86 FILE VERSION"; exit 2; }
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

# Windows moves the image (ASLR, 64-bit addresses for the x64 program) and
# keeps data from running (DEP) only when the header asks for it, and can
# move it only with its relocations.
hardening="DYNAMIC_BASE NX_COMPAT"
[ "$target" = x64 ] && hardening="$hardening HIGH_ENTROPY_VA"
for flag in $hardening; do
    printf '%s\n' "$headers" | grep -qx "[[:space:]]*$flag" || fail "header lacks $flag"
done
$objdump -h "$program" | grep -q ' \.reloc ' || fail "no relocation section"

dlls=$(printf '%s\n' "$headers" | awk '/DLL Name:/ { print toupper($3) }' | sort | tr '\n' ' ')
# Known DLLs only (Windows 7 on): newdev.dll is loaded at run time from the
# system directory, so a copy planted beside the program is never imported.
[ "$dlls" = "ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL " ] ||
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
printf '%s\n' "$headers" | grep -qw UpdateDriverForPlugAndPlayDevicesA &&
    fail "imports UpdateDriverForPlugAndPlayDevicesA"
for name in newdev.dll UpdateDriverForPlugAndPlayDevicesA SetDefaultDllDirectories \
        SetDllDirectoryA; do
    grep -qa "$name" "$program" || fail "no run-time lookup of $name"
done

# The COFF header's link time must be 0, or no two builds are the same.
link_time() {
    local header
    header=$(od -An -tu4 -j 60 -N 4 "$1" | tr -d ' ')
    od -An -tu4 -j $((header + 8)) -N 4 "$1" | tr -d ' '
}
stamp=$(link_time "$program")
[ "$stamp" = 0 ] || fail "link time $stamp in the header"

# The resources, as windres reads them back out of the program.
resources=$($tools-windres -i "$program" -O rc 2>&1) || fail "no resources: $resources"
numbers="${version//./, }, 0"
trimmed=$(printf '%s\n' "$resources" | sed 's/^ *//')
for line in "FILEVERSION $numbers" "PRODUCTVERSION $numbers" \
        "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
        'VALUE "ProductName", "Quorin64"' 'VALUE "InternalName", "Quorin64"' \
        'VALUE "OriginalFilename", "Quorin64.exe"' 'VALUE "Translation", 0x409, 1200'; do
    printf '%s\n' "$trimmed" | grep -qxF "$line" || fail "version information lacks: $line"
done
printf '%s\n' "$trimmed" | grep -qx 'VALUE "FileDescription", "Quorin64 [^"]*"' ||
    fail "no FileDescription"
manifest=$(printf '%s\n' "$resources" | awk '
    /^1 24 / { inside = 1; next }
    inside && /^END/ { exit }
    inside && /^  "/ { line = substr($0, 4); sub(/"$/, "", line); gsub(/""/, "\"", line)
                       gsub(/\\n/, "\n", line); printf "%s", line }')
[ -n "$manifest" ] || fail "no application manifest (resource 1 of type 24)"
problems=$(printf '%s' "$manifest" | python3 "$(dirname "$0")/check_manifest.py" \
    "$architecture" "$version.0") || fail "manifest: $problems"

# A signature is appended to the program, and grows with the signer's
# certificate chain: the limit is on the program without it.
signature=$(printf '%s\n' "$headers" | awk '/Security Directory/ { print $4; exit }')
size=$(( $(stat -c %s "$program") - 16#${signature:-0} ))
[ "$size" -le 24576 ] || fail "$size bytes, more than 24 KB"
$objdump -t "$program" 2>/dev/null | grep -q '^\[' && fail "not stripped"

echo "$target program: $size bytes, version $version, imports $dlls"

# Windows' own DLLs only, not even the C runtime.
if [ -n "$action" ]; then
    [ -f "$action" ] || fail "$action is not built"
    headers=$($objdump -p "$action")
    dlls=$(printf '%s\n' "$headers" | awk '/DLL Name:/ { print toupper($3) }' | sort | tr '\n' ' ')
    [ "$dlls" = "ADVAPI32.DLL KERNEL32.DLL MSI.DLL SETUPAPI.DLL " ] || fail "action imports $dlls"
    exports=$(printf '%s\n' "$headers" | awk '/^\t\[ *[0-9]+\] [A-Za-z]/ { print $3 }' | sort |
        tr '\n' ' ')
    [ "$exports" = "InstallDriver RemoveDriver RollbackDriver ScheduleRestart " ] || fail "action exports $exports"
    stamp=$(link_time "$action")
    [ "$stamp" = 0 ] || fail "link time $stamp in the action's header"
    $objdump -t "$action" 2>/dev/null | grep -q '^\[' && fail "action not stripped"
    echo "custom-action DLL: $(stat -c %s "$action") bytes, imports $dlls, exports $exports"
fi
[ "$failures" -eq 0 ]
