#!/usr/bin/env bash
# The demonstration: installs what is missing, builds, then runs the real x64
# Quorin64.exe under Wine against a demonstration device and shows what it
# did. Everything it creates lives in a temporary folder and is removed at
# the end, together with its own wineserver; no display is needed.
set -euo pipefail
cd "$(dirname "$0")/.."

HARDWARE_ID='USB\VID_1F3A&PID_0C21'
DEVICE_KEY="HKLM\\System\\CurrentControlSet\\Enum\\$HARDWARE_ID"
WINE=/usr/lib/wine/wine64

scripts/build.sh
cmake --preset host > /dev/null
cmake --build --preset host --target wine_helpers > /dev/null

demo=$(mktemp -d /tmp/quorin-demo.XXXXXX)
export WINEPREFIX="$demo/prefix" WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
    [ -d "$WINEPREFIX" ] && wineserver -k > /dev/null 2>&1 || true
    [ -d "$WINEPREFIX" ] && wineserver -w > /dev/null 2>&1 || true
    rm -rf "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Windows paths of the temporary folders (Wine's drive Z: is /).
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n'; }
# Wine's output goes to a file, never into a pipe: Wine's own background
# processes could hold a pipe open long after the command ended.
wine_quiet() {
    "$WINE" "$@" < /dev/null > "$demo/wine.log" 2>&1 || { cat "$demo/wine.log"; return 1; }
}
show_device_key() {
    if wine_quiet reg query "$DEVICE_KEY" /s; then
        tr -d '\r' < "$demo/wine.log" | sed '/^$/d; s/^/    /'
    else
        echo "    (no device key)"
    fi
}

mkdir -p "$demo/bin" "$demo/pkg" "$WINEPREFIX"
cp build/windows-x64/Quorin64.exe "$demo/bin/"
cp build/host/tests/wine/runner.exe build/host/tests/wine/mkdevice.exe "$demo/bin/"
cp tests/wine/talmerix.inf "$demo/pkg/driver.inf"

echo "Creating a Wine prefix in $WINEPREFIX ..."
wineserver -p30 < /dev/null > /dev/null 2>&1
wine_quiet wineboot -i

echo "Demonstration device: two present instances created through Wine's setupapi,"
echo "and a stale instance of another service (OLDPAD) with a subkey."
wine_quiet "$demo/bin/mkdevice.exe" "$HARDWARE_ID" 0001 0002
wine_quiet reg add "$DEVICE_KEY\\OLD_0003" /v Service /t REG_SZ /d OLDPAD /f
wine_quiet reg add "$DEVICE_KEY\\OLD_0003\\Device Parameters" /v PortName /t REG_SZ /d COM9 /f

echo
echo "Device key before:"
show_device_key

argument="driver.inf+$HARDWARE_ID"
pkg=$(windows_path "$demo/pkg")
command_line="\"$(windows_path "$demo/bin")\\Quorin64.exe\" $argument"
echo
echo "Running from $pkg (the folder that holds driver.inf):"
echo "    $command_line"
"$WINE" "$demo/bin/runner.exe" "$(hex "$pkg")" "$(hex "$command_line")" < /dev/null \
    > "$demo/run.log" 2>&1 || true
code=$(tr -d '\r' < "$demo/run.log" | sed -n 's/^exit //p')
[ -n "$code" ] || { echo "the program could not be run:"; cat "$demo/run.log"; exit 1; }
[ "$code" -ge 2147483648 ] && code=$((code - 4294967296))

echo
echo "Device key after:"
show_device_key

case $code in
    1) meaning="installed; Windows asks for a restart" ;;
    0) meaning="installed; no restart needed" ;;
    -1) meaning="failure: malformed argument, unreadable directory or relaunch not started" ;;
    -2) meaning="the INF file was not found" ;;
    -3) meaning="no present device has that hardware ID" ;;
    -4) meaning="Windows refused the install flags" ;;
    -6) meaning="a 32-bit process may not install drivers on 64-bit Windows" ;;
    *) meaning="not a code this program returns" ;;
esac
echo
echo "Exit code: $code ($meaning)"
