# shellcheck shell=bash disable=SC2034,SC2154
# A demonstration machine under Wine, for scripts/demo.sh and
# kit/try-package.sh (sourced, not run): which Wine runs in which
# prefix, the machine's Windows helpers (built from this folder's sources:
# mkdevice.exe creates present devices through Wine's setupapi, runner.exe
# starts a command line and prints its full 32-bit exit code, newdev.dll
# answers the driver update as scripted), a demonstration device with a
# stale instance of another service, and time bounds.
#
# The caller sets `machine_log` (a file for Wine's output) before the first
# call, and chooses the Wine with machine_host_wine or machine_root_wine.

# The stale instance every demonstration device gets.
MACHINE_STALE=OLD_0003
MACHINE_STALE_SERVICE=OLDPAD

# Windows path of a Unix path (Wine's drive Z: is /), and hex for runner.exe.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n'; }

MACHINE_SOURCES=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# machine_helpers [x86]: builds the helpers with MinGW, once per version of
# their sources, into a cache folder that it prints: runner.exe, mkdevice.exe
# and newdev.dll (x64), and with x86 also x86/mkdevice.exe. Works from a
# checkout and from the release archive's kit alike.
machine_helpers() {
    local x86=${1:-} sum cache folder work
    sum=$({ cat "$MACHINE_SOURCES/runner.c" "$MACHINE_SOURCES/mkdevice.c" \
                "$MACHINE_SOURCES/newdev_double.c"; echo "$x86"; } | sha256sum | cut -c1-16)
    cache=${QUORIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorin64}
    folder=$cache/helpers-$sum
    if [ ! -f "$folder/done" ]; then
        mkdir -p "$cache"
        work=$(mktemp -d "$cache/.helpers.XXXXXX")
        local cc=x86_64-w64-mingw32-gcc flags=(-Os -s -static-libgcc)
        # --kill-at: the export keeps its plain name in a 32-bit build too.
        "$cc" "${flags[@]}" -o "$work/runner.exe" "$MACHINE_SOURCES/runner.c" &&
            "$cc" "${flags[@]}" -o "$work/mkdevice.exe" "$MACHINE_SOURCES/mkdevice.c" -lsetupapi &&
            "$cc" "${flags[@]}" -shared -o "$work/newdev.dll" "$MACHINE_SOURCES/newdev_double.c" \
                -ladvapi32 -lsetupapi -Wl,--kill-at &&
            { [ -z "$x86" ] || { mkdir "$work/x86" && i686-w64-mingw32-gcc "${flags[@]}" \
                -o "$work/x86/mkdevice.exe" "$MACHINE_SOURCES/mkdevice.c" -lsetupapi; }; } ||
            { rm -rf "$work"; return 1; }
        touch "$work/done"
        # Whole or not at all: another run may be building the same folder.
        mv -T "$work" "$folder" 2> /dev/null || rm -rf "$work"
    fi
    echo "$folder"
}

# wine and wineserver of the machine: the host's, or those inside the
# 32-bit root (only from a namespace of `kit/lib/wine32.sh run`). Extra
# variables for every Wine call go in machine_env.
machine_env=(WINEDEBUG=-all 'WINEDLLOVERRIDES=mscoree,mshtml=')
machine_host_wine() {
    wine_command=(env -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$1")
}
machine_root_wine() {
    wine_command=(chroot "$QUORIN_WINE32_CHROOT" env -i PATH=/usr/bin:/bin HOME=/root
                  LC_ALL=C.UTF-8 XDG_RUNTIME_DIR=/tmp/xdg WINEPREFIX="$1")
}
wine() { "${wine_command[@]}" "${machine_env[@]}" /usr/lib/wine/wine64 "$@"; }
wineserver() { "${wine_command[@]}" wineserver "$@"; }
machine_stop() {
    wineserver -k > /dev/null 2>&1 || true
    wineserver -w > /dev/null 2>&1 || true
}

# Wine's output goes to a file, never into a pipe: Wine's own background
# processes could hold a pipe open long after the command ended. Bounded:
# a Wine that hangs ends with status 124.
wine_quiet() {
    timeout -k 10 120 "${wine_command[@]}" "${machine_env[@]}" /usr/lib/wine/wine64 "$@" \
        < /dev/null > "$machine_log" 2>&1
}

# machine_add_device FOLDER HARDWARE_ID INSTANCE...: present instances,
# created through Wine's setupapi by FOLDER's mkdevice.exe (of the bitness
# of the program that looks for them), and the stale instance OLD_0003 of
# the service OLDPAD, with a subkey.
machine_add_device() {
    local folder=$1 id=$2
    shift 2
    local key="HKLM\\System\\CurrentControlSet\\Enum\\$id\\$MACHINE_STALE"
    wine_quiet "$folder/mkdevice.exe" "$id" "$@" &&
        wine_quiet reg add "$key" /v Service /t REG_SZ /d "$MACHINE_STALE_SERVICE" /f &&
        wine_quiet reg add "$key\\Device Parameters" /v PortName /t REG_SZ /d COM9 /f ||
        { cat "$machine_log"; return 1; }
}

# machine_key_exists KEY (below HKLM), machine_value KEY NAME: a REG_SZ's text.
machine_key_exists() { wine_quiet reg query "HKLM\\$1"; }
machine_value() {
    wine_quiet reg query "HKLM\\$1" /v "$2" || return 1
    tr -d '\r' < "$machine_log" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

# machine_run FOLDER_OF_RUNNER DIRECTORY COMMAND_LINE SECONDS [VARIABLE=VALUE...]:
# starts the command line (Windows text) in DIRECTORY (a Unix path, or "-"
# for runner's own) and waits at most SECONDS. Sets run_code to its exit
# code as a signed 32-bit number, or to "timeout" when it did not end in
# time (every Wine process of the machine is then stopped, since what hangs
# may be a process the command started), or to "failed" when it could not
# be run (run_output says why).
machine_run() {
    local runner=$1 directory=$2 command_line=$3 seconds=$4
    shift 4
    [ "$directory" = - ] || directory=$(hex "$(windows_path "$directory")")
    local status=0
    # Appended to, so that a caller may cut the log short while it grows.
    : > "$machine_log"
    timeout -k 10 $((seconds + 30)) "${wine_command[@]}" "${machine_env[@]}" "$@" \
        /usr/lib/wine/wine64 "$runner/runner.exe" "$directory" "$(hex "$command_line")" \
        $((seconds * 1000)) < /dev/null >> "$machine_log" 2>&1 || status=$?
    # Without Wine's debug lines, which a caller may have asked for.
    run_output=$(grep -a -v -E '^([0-9a-f]+:){0,2}(trace|warn|err|fixme):' "$machine_log" |
        tr -d '\r')
    run_code=$(sed -n 's/^exit //p' <<< "$run_output")
    if [ -n "$run_code" ]; then
        [ "$run_code" -lt 2147483648 ] || run_code=$((run_code - 4294967296))
    elif grep -qx timeout <<< "$run_output" || [ "$status" -eq 124 ]; then
        run_code=timeout
        machine_stop
    else
        run_code=failed
    fi
}

# program_meaning CODE x64|x86: what an exit code of that program means
# (docs/exit-codes.tsv; tests/exit_codes_test.py checks that they agree).
program_meaning() {
    case $1 in
        1) echo "installed; Windows asks for a restart" ;;
        0) echo "installed; no restart needed" ;;
        -1) echo "any other failure (a bad or over-long argument, an unreadable current directory, no usable newdev.dll, or a relaunch that could not be started)" ;;
        -2) echo "the INF file was not found at the INF path" ;;
        -3) echo "no present device has that hardware ID" ;;
        -4) echo "Windows refused the install flags" ;;
        -6) if [ "$2" = x86 ]; then
                echo "Windows refused a 32-bit driver install twice (64-bit Windows)"
            else
                echo "Windows refused to install from the x64 program and its relaunched copy (an x64 program emulated on ARM64 Windows)"
            fi ;;
        *) echo "not a code this program returns" ;;
    esac
}
