#!/usr/bin/env bash
# The demonstration: installs what is missing, builds, then runs both real
# programs under Wine against a demonstration device and shows what each
# did: the x64 program under the host's Wine 8, then the x86 program under
# WoW64 in the Debian 13 root of kit/lib/wine32.sh (built on the first run:
# about 2 minutes and 470 MB downloaded; QUORIN_DEMO_X86=0 leaves the x86
# part out). Each program finds the whole test driver package (INF, catalog,
# driver file) where it looks. Everything it creates lives in a temporary
# folder and is removed at the end, together with its wineservers; no
# display is needed. It exits 1 when a program ends with another code than
# 0 or leaves the stale instance, so scripts/test.sh runs it too.
set -euo pipefail
cd "$(dirname "$0")/.."
. kit/lib/wine-machine.sh

HARDWARE_ID='USB\VID_1F3A&PID_0C21'
DEVICE_KEY="System\\CurrentControlSet\\Enum\\$HARDWARE_ID"
PACKAGE=build/test-package/package  # made by scripts/build.sh
INF_NAME=talmerix.inf
# What the argument names, for the test of the demonstration's own checks:
# an empty INF name (exit code -1) or another hardware ID (the stale
# instance stays) must make it fail.
ARGUMENT_INF=${QUORIN_DEMO_INF_NAME-$INF_NAME}
ARGUMENT_ID=${QUORIN_DEMO_HARDWARE_ID-$HARDWARE_ID}
X86_INF_FOLDER='Program Files/Common Files/VID_1F3A&PID_0C21/Salvenport/QarnoD217'

show_device_key() {
    if wine_quiet reg query "HKLM\\$DEVICE_KEY" /s; then
        tr -d '\r' < "$machine_log" | sed '/^$/d; s/^/    /'
    else
        echo "    (no device key)"
    fi
}

# demonstrate NAME PROGRAM_FOLDER CURRENT_DIRECTORY ARGUMENT: in the prefix
# wine_command names, with its server running; the folder also holds the
# device creator of the program's bitness. Adds a line to $demo/failures
# for each thing not as expected.
demonstrate() {
    local name=$1 bin=$2 directory=$3 argument=$4
    local program=${bin##*-}  # x64 or x86
    echo "Demonstration device: two present instances created through Wine's setupapi,"
    echo "and a stale instance of another service ($MACHINE_STALE_SERVICE) with a subkey."
    machine_add_device "$bin" "$HARDWARE_ID" 0001 0002

    echo
    echo "Device key before:"
    show_device_key

    local command_line
    command_line="\"$(windows_path "$bin")\\Quorin64.exe\" $argument"
    echo
    echo "Running from $(windows_path "$directory"):"
    echo "    $command_line"
    machine_run "$demo" "$directory" "$command_line" 60

    echo
    echo "Device key after:"
    show_device_key

    echo
    case $run_code in
        timeout|failed)
            echo "The program did not end within 60 s, or could not be run:"
            echo "$run_output" | sed 's/^/    /'
            echo "$name: no exit code" >> "$demo/failures" ;;
        *)
            echo "Exit code: $run_code ($(program_meaning "$run_code" "$program"))"
            [ "$run_code" = 0 ] ||
                echo "$name: exit code $run_code, not 0" >> "$demo/failures" ;;
    esac
    if machine_key_exists "$DEVICE_KEY\\$MACHINE_STALE"; then
        echo "$name: the stale instance $MACHINE_STALE is still there" >> "$demo/failures"
    fi
}

# The x86 part, inside the 32-bit root's namespace (kit/lib/wine32.sh run),
# or with the host's Wine where the host runs 32-bit programs itself.
demonstrate_x86() {
    local prefix="$demo/prefix-x86"
    if [ "$1" = root ]; then
        machine_root_wine "$prefix"   # a ready prefix, mounted by wine32.sh
    else
        machine_host_wine "$prefix"
    fi
    wineserver -p30 < /dev/null > /dev/null 2>&1
    [ "$1" = root ] || wine_quiet wineboot -i
    # The x86 program takes its INF from a fixed folder on the Windows
    # directory's drive, with the INF name written straight after it.
    mkdir -p "$prefix/drive_c/$X86_INF_FOLDER"
    cp -R "$PACKAGE/." "$prefix/drive_c/$X86_INF_FOLDER/"
    echo "(It shows a \"Debug\" box first; without a display it returns at once.)"
    echo "The driver package ($(ls "$PACKAGE" | tr '\n' ' ' | sed 's/ $//')) is in" \
         "C:\\${X86_INF_FOLDER//\//\\}."
    demonstrate "the x86 program" "$demo/bin-x86" "$demo/pkg" "\\$ARGUMENT_INF+$ARGUMENT_ID"
    machine_stop
}

if [ "${1:-}" = --x86-inside ]; then
    demo=$2
    machine_log="$demo/wine.log"
    demonstrate_x86 "$3"
    exit
fi

scripts/build.sh
helpers=$(machine_helpers x86)
x86=${QUORIN_DEMO_X86:-1}
if [ "$x86" = 1 ]; then
    kit/lib/wine32.sh setup
fi

demo=$(mktemp -d /tmp/quorin-demo.XXXXXX)
machine_log="$demo/wine.log"
export WINEPREFIX="$demo/prefix-x64"  # for the cleanup's host wineserver
cleanup() {
    if [ -d "$WINEPREFIX" ]; then
        machine_host_wine "$WINEPREFIX"
        machine_stop
    fi
    rm -rf "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$demo/bin-x64" "$demo/bin-x86" "$demo/pkg" "$WINEPREFIX"
cp build/windows-x64/Quorin64.exe "$helpers/mkdevice.exe" "$demo/bin-x64/"
cp build/windows-x86/Quorin64.exe "$helpers/x86/mkdevice.exe" "$demo/bin-x86/"
cp "$helpers/runner.exe" "$demo/"
: > "$demo/failures"

echo "== The x64 program, under Wine $(/usr/lib/wine/wine64 --version | sed 's/^wine-//')"
echo "Creating a Wine prefix in $WINEPREFIX ..."
machine_host_wine "$WINEPREFIX"
wineserver -p30 < /dev/null > /dev/null 2>&1
wine_quiet wineboot -i
cp -R "$PACKAGE/." "$demo/pkg/"
echo "The driver package ($(ls "$demo/pkg" | tr '\n' ' ' | sed 's/ $//')) is in the current" \
     "directory, $(windows_path "$demo/pkg")."
demonstrate "the x64 program" "$demo/bin-x64" "$demo/pkg" "$ARGUMENT_INF+$ARGUMENT_ID"
machine_stop

if [ "$x86" = 1 ]; then
    echo
    mode=$(kit/lib/wine32.sh mode)
    if [ "$mode" = root ]; then
        echo "== The x86 program, under WoW64 in Wine 10 of the 32-bit root" \
             "($(kit/lib/wine32.sh root))"
        kit/lib/wine32.sh run --bind "$demo" --prefix "$demo/prefix-x86" -- \
            "$0" --x86-inside "$demo" root
    else
        echo "== The x86 program, under WoW64 in this machine's Wine"
        "$0" --x86-inside "$demo" host
    fi
fi

echo
if [ -s "$demo/failures" ]; then
    echo "Not as expected:"
    sed 's/^/    /' "$demo/failures"
    exit 1
fi
echo "Both programs installed the driver and removed the stale instance."
