#!/usr/bin/env bash
# The demonstration: installs what is missing, builds, then runs both real
# programs under Wine against a demonstration device and shows what each
# did: the x64 program under the host's Wine 8, then the x86 program under
# WoW64 in the Debian 13 root of scripts/wine32.sh (built on the first run:
# about 2 minutes and 470 MB downloaded; QUORIN_DEMO_X86=0 leaves the x86
# part out). Everything it creates lives in a temporary folder and is removed
# at the end, together with its wineservers; no display is needed.
set -euo pipefail
cd "$(dirname "$0")/.."

HARDWARE_ID='USB\VID_1F3A&PID_0C21'
DEVICE_KEY="HKLM\\System\\CurrentControlSet\\Enum\\$HARDWARE_ID"
X86_INF_FOLDER='Program Files/Common Files/VID_1F3A&PID_0C21/Salvenport/QarnoD217'

# Windows paths of the temporary folders (Wine's drive Z: is /).
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n'; }

# wine and wineserver of the part being shown: the host's, or those inside
# the 32-bit root (run from its namespace).
wine_env=(WINEDEBUG=-all 'WINEDLLOVERRIDES=mscoree,mshtml=')
use_host_wine() {
    wine_command=(env -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$1" "${wine_env[@]}")
}
use_root_wine() {
    wine_command=(chroot "$QUORIN_WINE32_CHROOT" env -i PATH=/usr/bin:/bin HOME=/root
                  LC_ALL=C.UTF-8 XDG_RUNTIME_DIR=/tmp/xdg WINEPREFIX="$1" "${wine_env[@]}")
}
wine() { "${wine_command[@]}" /usr/lib/wine/wine64 "$@"; }
wineserver() { "${wine_command[@]}" wineserver "$@"; }
# Wine's output goes to a file, never into a pipe: Wine's own background
# processes could hold a pipe open long after the command ended.
wine_quiet() {
    wine "$@" < /dev/null > "$demo/wine.log" 2>&1 || { cat "$demo/wine.log"; return 1; }
}
show_device_key() {
    if wine_quiet reg query "$DEVICE_KEY" /s; then
        tr -d '\r' < "$demo/wine.log" | sed '/^$/d; s/^/    /'
    else
        echo "    (no device key)"
    fi
}

# demonstrate PROGRAM_FOLDER CURRENT_DIRECTORY ARGUMENT: in the prefix
# wine_command names, with its server running; the folder also holds the
# device creator of the program's bitness.
demonstrate() {
    local bin=$1 directory=$2 argument=$3
    echo "Demonstration device: two present instances created through Wine's setupapi,"
    echo "and a stale instance of another service (OLDPAD) with a subkey."
    wine_quiet "$bin/mkdevice.exe" "$HARDWARE_ID" 0001 0002
    wine_quiet reg add "$DEVICE_KEY\\OLD_0003" /v Service /t REG_SZ /d OLDPAD /f
    wine_quiet reg add "$DEVICE_KEY\\OLD_0003\\Device Parameters" /v PortName /t REG_SZ \
        /d COM9 /f

    echo
    echo "Device key before:"
    show_device_key

    local command_line code meaning
    command_line="\"$(windows_path "$bin")\\Quorin64.exe\" $argument"
    echo
    echo "Running from $(windows_path "$directory"):"
    echo "    $command_line"
    wine "$demo/runner.exe" "$(hex "$(windows_path "$directory")")" "$(hex "$command_line")" \
        < /dev/null > "$demo/run.log" 2>&1 || true
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
}

# The x86 part, inside the 32-bit root's namespace (scripts/wine32.sh run),
# or with the host's Wine where the host runs 32-bit programs itself.
demonstrate_x86() {
    local prefix="$demo/prefix-x86"
    if [ "$1" = root ]; then
        use_root_wine "$prefix"   # a ready prefix, mounted by wine32.sh
    else
        use_host_wine "$prefix"
    fi
    wineserver -p30 < /dev/null > /dev/null 2>&1
    [ "$1" = root ] || wine_quiet wineboot -i
    # The x86 program takes its INF from a fixed folder on the Windows
    # directory's drive, with the INF name written straight after it.
    mkdir -p "$prefix/drive_c/$X86_INF_FOLDER"
    cp tests/wine/driver-package/talmerix.inf "$prefix/drive_c/$X86_INF_FOLDER/driver.inf"
    echo "(It shows a \"Debug\" box first; without a display it returns at once.)"
    echo "driver.inf is in C:\\${X86_INF_FOLDER//\//\\}."
    demonstrate "$demo/bin-x86" "$demo/pkg" "\\driver.inf+$HARDWARE_ID"
    wineserver -k > /dev/null 2>&1 || true
    wineserver -w > /dev/null 2>&1 || true
}

if [ "${1:-}" = --x86-inside ]; then
    demo=$2
    demonstrate_x86 "$3"
    exit
fi

scripts/build.sh
cmake --preset host > /dev/null
cmake --build --preset host --target wine_helpers > /dev/null
x86=${QUORIN_DEMO_X86:-1}
if [ "$x86" = 1 ]; then
    scripts/wine32.sh setup
fi

demo=$(mktemp -d /tmp/quorin-demo.XXXXXX)
export WINEPREFIX="$demo/prefix-x64"  # for the cleanup's host wineserver
cleanup() {
    if [ -d "$WINEPREFIX" ]; then
        env WINEPREFIX="$WINEPREFIX" /usr/bin/wineserver -k > /dev/null 2>&1 || true
        env WINEPREFIX="$WINEPREFIX" /usr/bin/wineserver -w > /dev/null 2>&1 || true
    fi
    rm -rf "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$demo/bin-x64" "$demo/bin-x86" "$demo/pkg" "$WINEPREFIX"
cp build/windows-x64/Quorin64.exe build/host/tests/wine/mkdevice.exe "$demo/bin-x64/"
cp build/windows-x86/Quorin64.exe build/host/tests/wine/x86/mkdevice.exe "$demo/bin-x86/"
cp build/host/tests/wine/runner.exe "$demo/"
cp tests/wine/driver-package/talmerix.inf "$demo/pkg/driver.inf"

echo "== The x64 program, under Wine $(/usr/lib/wine/wine64 --version | sed 's/^wine-//')"
echo "Creating a Wine prefix in $WINEPREFIX ..."
use_host_wine "$WINEPREFIX"
wineserver -p30 < /dev/null > /dev/null 2>&1
wine_quiet wineboot -i
echo "driver.inf is in the current directory, $(windows_path "$demo/pkg")."
demonstrate "$demo/bin-x64" "$demo/pkg" "driver.inf+$HARDWARE_ID"
wineserver -k > /dev/null 2>&1 || true

if [ "$x86" = 1 ]; then
    echo
    mode=$(scripts/wine32.sh mode)
    if [ "$mode" = root ]; then
        echo "== The x86 program, under WoW64 in Wine 10 of the 32-bit root" \
             "($(scripts/wine32.sh root))"
        scripts/wine32.sh run --bind "$demo" --prefix "$demo/prefix-x86" -- \
            "$0" --x86-inside "$demo" root
    else
        echo "== The x86 program, under WoW64 in this machine's Wine"
        "$0" --x86-inside "$demo" host
    fi
fi
