#!/usr/bin/env bash
# Tries a driver package under Wine before it reaches a customer: builds the
# Windows Installer package with kit/build-msi.sh (which checks the
# driver package first, with kit/check-package.py), then installs and
# removes it on a demonstration machine, a fresh Wine prefix of its own,
# removed afterwards. Works from a checkout and from the release archive.
set -euo pipefail

usage() {
    cat <<'EOF'
usage: kit/try-package.sh [build-msi.sh options] FOLDER

Builds the MSI for the driver package in FOLDER (every option goes to
kit/build-msi.sh, which checks the package with kit/check-package.py
first; see its --help), then on a fresh Wine machine:
  1. no controller connected: installs the MSI; the program ends with -3
     and the package is staged in the driver store;
  2. uninstalls it: the files are gone and the package is out of the store;
  3. with a device carrying the first hardware ID served and a stale instance
     of another service: installs the MSI through Wine's own driver install;
     the device is served, the stale instance is gone;
  4. uninstalls it again.
It prints one table with each step's exit code and what it means, and exits
1 when a step is not as expected (2 on a usage error). A refused package
stops before anything runs under Wine. Each step has a time limit
(QUORIN_TRY_STEP_SECONDS, default 120). When a step fails, the logs of
every step (build-msi.sh's output, msiexec's logs, Wine's setupapi traces)
are kept in try-package-logs-<time> beside the --output MSI, else in the
current folder; the table's last lines name it. It installs what it needs
on Debian; Wine 10 runs in the root of kit/lib/wine32.sh (built on the
first run: a few minutes, 470 MB downloaded). Without --output the MSI is
removed with the machine.
EOF
}

top=$(cd "$(dirname "$0")/.." && pwd)
kit=$top/kit
# shellcheck source=lib/wine-machine.sh
. "$kit/lib/wine-machine.sh"
STEP_SECONDS=${QUORIN_TRY_STEP_SECONDS:-120}
[[ "$STEP_SECONDS" =~ ^[1-9][0-9]*$ ]] || { echo "QUORIN_TRY_STEP_SECONDS must be a number of seconds" >&2; exit 2; }
ERROR_NO_SUCH_DEVINST=0xE000020B
STALE_LIMIT=60  # seconds for each helper call (device creation, reading keys)
# Wine's setupapi trace of one step, bounded: past this many bytes the
# middle is left out (a copy that setupapi retries for ever writes
# gigabytes), keeping the start and the latest lines.
TRACE_LIMIT=$((16 * 1024 * 1024))

# row STEP CODE VERDICT MEANING: one line of the table.
row() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "${*:4}" >> "$work/rows"; }

msiexec_meaning() {
    case $1 in
        0) echo "success" ;;
        3010) echo "success; restart needed" ;;
        1603) echo "failed; rolled back" ;;
        1605) echo "product not installed" ;;
        1618) echo "another install is running" ;;
        1619) echo "package could not be opened" ;;
        timeout) echo "stopped" ;;
        *) echo "msiexec's own code" ;;
    esac
}
# The last msiexec's exit code for the table, with its meaning.
msiexec_code() { echo "$run_code ($(msiexec_meaning "$run_code"))"; }

# ---------------------------------------------------------------------------
# Inside the 32-bit root's namespace: the Wine steps.

# The "Quorin64: ..." lines of the custom actions in msiexec's log.
notes_of() { sed -n 's/^Quorin64: \(.*\)\.\r*$/\1/p' "$1" 2> /dev/null; }

# bound_trace FILE: keeps FILE (appended to by Wine) under TRACE_LIMIT while
# the step runs: the first part goes to FILE.start once, then FILE starts
# over. Runs until killed.
bound_trace() {
    local file=$1 size
    while sleep 1; do
        size=$(stat -c %s "$file" 2> /dev/null) || continue
        [ "$size" -gt "$TRACE_LIMIT" ] || continue
        [ -e "$file.start" ] || head -c $((TRACE_LIMIT / 4)) "$file" | head -n -1 > "$file.start"
        : > "$file"
        echo "$size" >> "$file.dropped"
    done
}
# join_trace FILE: the bounded trace as one file again.
join_trace() {
    local file=$1
    [ -e "$file.start" ] || return 0
    { cat "$file.start"
      echo "[... about $(awk '{ n += $1 } END { print int(n / 1048576) }' "$file.dropped") MB of trace left out ...]"
      cat "$file"; } > "$file.joined"
    mv "$file.joined" "$file"
    rm -f "$file.start" "$file.dropped"
}

# msiexec_step NAME /i|/x [VARIABLE=VALUE...]: sets run_code, notes and
# step_trace (Wine's setupapi trace of the step, beside msiexec's log).
msiexec_step() {
    local name=$1 action=$2
    shift 2
    local n=$((++msiexec_runs)) slug
    slug=$(tr -c 'a-z\n' - <<< "$name")
    local log="$logs/$n-$slug.msiexec.log"
    step_trace="$logs/$n-$slug.setupapi.log"
    echo "$name ..."
    : > "$step_trace"
    bound_trace "$step_trace" &
    local watcher=$!
    machine_log=$step_trace
    machine_run "$work/bin" - "C:\\windows\\system32\\msiexec.exe $action \"$(windows_path \
        "$work/package.msi")\" /qn /l*v \"$(windows_path "$log")\"" "$STEP_SECONDS" \
        WINEDEBUG=-all,trace+setupapi "$@"
    kill "$watcher" 2> /dev/null || true
    wait "$watcher" 2> /dev/null || true
    join_trace "$step_trace"
    machine_log="$work/wine.log"
    notes=$(notes_of "$log")
}

# The file setupapi was last looking for in a step's trace: its latest
# "need media L"<folder>" L"<file>"" line, else the source of its latest
# copy line (Wine writes the strings with doubled backslashes).
wanted_file() {
    { grep -a -E 'need media L"' "$1" | tail -n 1 |
          sed -n -E 's/.*need media L"([^"]*)" L"([^"]*)".*/\1\\\\\2/p'
      grep -a -E 'copy(ing file)? L"' "$1" | tail -n 1 |
          sed -n -E 's/.*copy(ing file)? L"([^"]*)".*/\2/p'; } |
        head -n 1 | sed 's/\\\\/\\/g'
}

# The folders msiexec made below Program Files: those not there before.
program_folders() { ls -1 "$prefix/drive_c/Program Files"; }
new_folder() {
    comm -13 <(sort <<< "$folders_before") <(program_folders | sort) | head -n 1
}

passed() { if [ "$1" = 1 ]; then echo ok; else echo FAILED; fi; }

# Whether the staged INF is in Windows' INF folder or in Wine 10's own
# driver store (a folder named after the INF).
in_store() {
    [ -e "$prefix/drive_c/windows/inf/$1" ] ||
        [ -n "$(find "$prefix/drive_c/windows/system32/driverstore/filerepository" \
                -maxdepth 1 -iname "$1_*" 2> /dev/null)" ]
}

# Did the previous msiexec step end? Records a row for a timeout and stops.
ended() {
    case $run_code in
        timeout)
            local wanted
            wanted=$(wanted_file "$step_trace")
            row "$1" "$(msiexec_code)" FAILED "no end within $STEP_SECONDS s, every Wine process stopped:" \
                "Wine's setupapi retries for ever when it cannot find a file the INF names" \
                "(${wanted:+it was looking for $wanted; }Windows would ask for the disk," \
                "and nobody answers that unattended)"
            stopped=1
            return 1 ;;
        failed)
            row "$1" - FAILED "msiexec could not be started: $run_output"
            stopped=1
            return 1 ;;
    esac
}

# uninstall_step NAME FOLDER REMARK: msiexec /x; the files in FOLDER and the
# package the custom action names must be gone.
uninstall_step() {
    local name=$1 folder=$2 remark=$3
    msiexec_step "$name" /x
    ended "$name" || return 0
    local files store staged ok=1
    if [ -n "$folder" ] && [ ! -e "$prefix/drive_c/Program Files/$folder" ]; then
        files="files gone from C:\\Program Files\\$folder"
    else
        files="files left in C:\\Program Files\\${folder:-?}"
        ok=0
    fi
    staged=$(sed -n 's/^driver package \(.*\) \(taken out of\|stays in\|could not be taken out of\) the driver store.*/\1/p' \
        <<< "$notes")
    if [ -z "$staged" ]; then
        store="no package taken out of the store (${notes:-no Quorin64 log line})"
        ok=0
    elif grep -q "stays in the driver store: a device still uses it" <<< "$notes"; then
        store="$staged stays in the store: the device uses it"
    elif in_store "$staged"; then
        store="$staged is still in the driver store ($notes)"
        ok=0
    else
        store="$staged out of the driver store$remark"
    fi
    [ "$run_code" = 0 ] || ok=0
    row "$name" "$(msiexec_code)" "$(passed $ok)" "$files; $store"
}

inside() {
    local hwid=$1 stale_key="System\\CurrentControlSet\\Enum\\$1\\$MACHINE_STALE"
    prefix="$work/prefix"
    logs="$work/logs"
    machine_log="$work/wine.log"
    machine_root_wine "$prefix"
    wineserver -p60 < /dev/null > /dev/null 2>&1
    msiexec_runs=0
    stopped=0

    # Wine's own newdev reports success when no device has the ID (Windows:
    # ERROR_NO_SUCH_DEVINST), so for the first install the project's test
    # newdev.dll answers as Windows does; Wine's own serves the later one.
    cp "$work/bin/newdev.dll" "$prefix/drive_c/windows/system32/newdev.dll"
    printf '0 %s 0\n' "$ERROR_NO_SUCH_DEVINST" > "$work/no-device.script"

    local name="no controller: install" folder staged program
    folders_before=$(program_folders)
    msiexec_step "$name" /i 'WINEDLLOVERRIDES=newdev=n;mscoree,mshtml=' \
        "QUORIN_DOUBLE_SCRIPT=$(windows_path "$work/no-device.script")"
    ended "$name" || return 0
    folder=$(new_folder)
    staged=$(sed -n 's/^the driver package is in the driver store as \(.*\); Windows installs.*/\1/p' \
        <<< "$notes")
    program=$(sed -n 's/^the program ended with \(.*\)/\1/p' <<< "$notes" | head -n 1)
    if [ -n "$staged" ] && in_store "$staged"; then
        row "$name" "$(msiexec_code)" "$(passed "$([ "$run_code" = 0 ] && echo 1 || echo 0)")" \
            "program: ${program:-not run}; staged as C:\\windows\\inf\\$staged (Windows names it oemNN.inf)"
    else
        row "$name" "$(msiexec_code)" FAILED "nothing staged (${notes:-no Quorin64 log line})"
    fi

    uninstall_step "no controller: uninstall" "$folder" ""
    [ $stopped = 0 ] || return 0

    name="controller present: install"
    if ! machine_add_device "$work/bin" "$hwid" 0001 > "$work/device.log" 2>&1; then
        row "$name" - FAILED "the demonstration device could not be created: $(tail -n 3 "$work/device.log")"
        return 0
    fi
    folders_before=$(program_folders)
    msiexec_step "$name" /i
    ended "$name" || return 0
    folder=$(new_folder)
    program=$(sed -n 's/^the program ended with \(.*\)/\1/p' <<< "$notes" | head -n 1)
    local service ok=1 device stale instance="System\\CurrentControlSet\\Enum\\$hwid\\0001"
    if service=$(machine_value "$instance" Service) && [ -n "$service" ]; then
        device="device $hwid\\0001 served by $service"
        [ "${service^^}" = TALMERIX ] || { device+=" (Quorin64 keeps TALMERIX only)"; ok=0; }
    elif machine_key_exists "$instance"; then
        device="device $hwid\\0001 has no service: the INF did not install on it"
        ok=0
    else
        device="device $hwid\\0001 removed: its service is not TALMERIX, the one Quorin64 keeps"
        ok=0
    fi
    if machine_key_exists "$stale_key"; then
        stale="stale instance $MACHINE_STALE ($MACHINE_STALE_SERVICE) still there"
        ok=0
    else
        stale="stale instance $MACHINE_STALE ($MACHINE_STALE_SERVICE) gone"
    fi
    case $run_code in 0|3010) ;; *) ok=0 ;; esac
    case $program in "0 "*|"1 "*) ;; *) ok=0 ;; esac
    row "$name" "$(msiexec_code)" "$(passed $ok)" "program: ${program:-not run}; $device; $stale"

    uninstall_step "controller present: uninstall" "$folder" \
        " (Wine's; Windows keeps a package a device uses)"
}

if [ "${1:-}" = --inside ]; then
    work=$2
    inside "$3"
    machine_stop
    exit 0
fi

# ---------------------------------------------------------------------------
# Outside: options, the package, preparation, the table.

args=("$@")
output=""
[ $# -gt 0 ] || { usage >&2; exit 2; }
for ((i = 0; i < $#; i++)); do
    case ${args[i]} in
        --help|-h)
            usage
            echo
            echo "kit/build-msi.sh's options:"
            bash "$kit/build-msi.sh" --help
            exit 0 ;;
        --output) output=${args[i + 1]:-} ;;
        --output=*) output=${args[i]#--output=} ;;
    esac
done

work=$(mktemp -d /tmp/quorin-try.XXXXXX)
logs=$work/logs
mkdir "$logs"
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
: > "$work/rows"

# apt_install PACKAGE...: those not installed yet, quietly.
apt_install() {
    local missing=() package sudo_cmd=()
    for package in "$@"; do
        [ "$(dpkg-query -W -f='${Status}' "$package" 2> /dev/null)" = "install ok installed" ] ||
            missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    command -v apt-get > /dev/null || { echo "missing: ${missing[*]}"; return 1; }
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq &&
        DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=600 \
            install -y -qq --no-install-recommends "${missing[@]}"
}
# prepare STEP COMMAND...: a preparation that must succeed, its output kept.
prepare() {
    local step=$1
    shift
    if ! ("$@") > "$logs/$step.log" 2>&1; then
        cat "$logs/$step.log"
        echo "try-package.sh: preparing failed (or took over 30 minutes): see above" >&2
        exit 1
    fi
}

# A checkout builds its programs first; the release archive has them.
if [ -f "$top/CMakeLists.txt" ]; then
    echo "Building the programs (scripts/build.sh) ..."
    prepare build-programs timeout 1800 "$top/scripts/build.sh"
fi

# The package, checked and built where the author asked or in the machine's
# folder, before anything runs under Wine.
# Through bash: an unzip may drop the scripts' modes.
build=(timeout 300 bash "$kit/build-msi.sh" "${args[@]}")
[ -n "$output" ] || build+=(--output "$work/package.msi")
code=0
"${build[@]}" > "$logs/build-msi.out" 2> "$logs/build-msi.err" || code=$?
cat "$logs/build-msi.out"
cat "$logs/build-msi.err" >&2
field() { sed -n "s/^$1: //p" "$logs/build-msi.out" | head -n 1; }
package=$(field package)
product=$(field ProductCode)
# The demonstration device carries the first of the IDs the MSI serves.
hwids=$(field "hardware IDs")
hwid=${hwids%%, *}
if [ "$code" = 124 ]; then
    row "build the MSI" timeout FAILED "build-msi.sh did not end within 300 s"
elif [ "$code" != 0 ]; then
    # The refusal's own lines, not the warnings.
    refusal=$(grep -v '^warning: ' "$logs/build-msi.err" | paste -sd ' ' | cut -c1-600)
    row "build the MSI" "$code" FAILED "refused: ${refusal:-see above}"
elif [ -z "$package" ] || [ ! -f "$package" ] || [ -z "$hwid" ]; then
    row "build the MSI" "$code" FAILED "build-msi.sh did not name the package and its hardware IDs"
else
    kept="$package"
    [ -n "$output" ] || kept="the MSI (removed afterwards; --output keeps it)"
    row "build the MSI" 0 ok "$kept, ProductCode ${product:-?}, hardware IDs $hwids"
    [ "$package" -ef "$work/package.msi" ] || cp "$package" "$work/package.msi"

    echo
    echo "Preparing: the machine's helpers (MinGW) and the 32-bit root's Wine 10 ..."
    prepare install apt_install gcc-mingw-w64-x86-64 gcc mmdebstrap
    prepare helpers machine_helpers
    mkdir "$work/bin"
    cp "$(tail -n 1 "$logs/helpers.log")"/{runner.exe,mkdevice.exe,newdev.dll} "$work/bin/"
    prepare wine32-root timeout 1800 env QUORIN_WINE32=root bash "$kit/lib/wine32.sh" setup

    echo
    echo "Trying it on a demonstration machine (Wine 10, a fresh prefix) ..."
    inside_limit=$((4 * (STEP_SECONDS + 40) + 6 * STALE_LIMIT + 120))
    if ! timeout -k 10 "$inside_limit" env QUORIN_WINE32=root bash "$kit/lib/wine32.sh" run \
            --bind "$work" --bind "$kit" --prefix "$work/prefix" -- \
            bash "$kit/try-package.sh" --inside "$work" "$hwid"; then
        row "the demonstration machine" - FAILED "ended early or took over $inside_limit s"
    fi
fi

# Steps that never came.
for step in "no controller: install" "no controller: uninstall" \
            "controller present: install" "controller present: uninstall"; do
    cut -f1 "$work/rows" | grep -qxF "$step" || row "$step" - "not run" ""
done

echo
table=$(printf 'step\texit code\tresult\twhat it means\n'; cat "$work/rows")
column -t -s $'\t' <<< "$table" | sed 's/ *$//'
echo
echo "Under Wine: Wine 10 stages a package under its own INF name (Windows: oemNN.inf) and"
echo "takes it out of the store even while a device uses it (Windows keeps it then)."
if grep -qP '\t(FAILED|not run)\t' "$work/rows"; then
    # The logs outlive the machine: beside the MSI the author keeps, else here.
    kept_logs="$(dirname "${output:-./x}")/try-package-logs-$(date +%Y%m%d-%H%M%S)"
    if mkdir -p "$kept_logs" && cp -R "$logs/." "$kept_logs/"; then
        echo "Logs of every step (build-msi.sh, msiexec, Wine's setupapi trace): $kept_logs"
    fi
    echo "Not as expected: see the rows marked FAILED." >&2
    exit 1
fi
echo "Every step as expected (its logs are removed with the machine)."
