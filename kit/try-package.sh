#!/usr/bin/env bash
# Tries a driver package under Wine before it reaches a customer: builds the
# Windows Installer package with kit/build-msi.sh (which checks the
# driver package first, with kit/check-package.py), then installs and
# removes it on a demonstration machine, a fresh Wine prefix of its own,
# removed afterwards. Works from a checkout and from the release archive.
set -euo pipefail

usage() {
    cat <<'EOF'
usage: kit/try-package.sh [--previous OLD.msi] [build-msi.sh options] FOLDER

Builds the MSI for the driver package in FOLDER (every other option goes
to kit/build-msi.sh, which checks the package with kit/check-package.py
first; see its --help), then on a fresh Wine machine:
  1. no controller connected: installs the MSI; the program ends with -3
     and the package is staged in the driver store. With --previous OLD.msi
     (an earlier version of the product: its UpgradeCode, a lower or the
     same version) it installs OLD.msi so first, then the new MSI as an
     upgrade: the table says which of the product folder's files changed,
     which were added and removed (the folder must hold exactly the new
     MSI's files), and that the driver package stayed in the store under
     its name, handed over to the new version (the custom actions' record
     under its new ProductCode);
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
# shellcheck source=lib/packages.sh
. "$kit/lib/packages.sh"
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

# msiexec_step NAME /i|/x [VARIABLE=VALUE...]: msiexec on step_package
# (default: the package tried); sets run_code, notes and step_trace (Wine's
# setupapi trace of the step, beside msiexec's log).
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
        "${step_package:-$work/package.msi}")\" /qn /l*v \"$(windows_path "$log")\"" "$STEP_SECONDS" \
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

# no_controller_install NAME: msiexec /i with the test newdev.dll answering
# that no device has the ID; sets folder (the product's, below Program
# Files) and staged (the driver package's name in the store).
no_controller_install() {
    local name=$1
    msiexec_step "$name" /i 'WINEDLLOVERRIDES=newdev=n;mscoree,mshtml=' \
        "QUORIN_DOUBLE_SCRIPT=$(windows_path "$work/no-device.script")"
    ended "$name" || return 1
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
}

# The driver packages the product's versions own, from the custom actions'
# record: "<ProductCode><TAB><store name>" for each version.
owned_packages() {
    wine_quiet reg query "HKLM\\SOFTWARE\\Quorin64\\Driver packages\\$upgrade_code" /s || return 0
    tr -d '\r' < "$machine_log" | awk '
        /^HKEY_/ { n = split($0, part, "\\"); key = part[n] }
        $1 == "InfName" && $2 == "REG_SZ" { sub(/^ *InfName +REG_SZ +/, ""); print key "\t" $0 }'
}

# owned_by PRODUCT_CODE: the store name owned_packages gives that version.
owned_by() { awk -F '\t' -v code="$1" 'toupper($1) == toupper(code) { print $2 }'; }

# "<SHA-256>  <path>" of each file below a folder, sorted by path.
file_sums() {
    (cd "$1" && find . -type f -printf '%P\0' | LC_ALL=C sort -z | xargs -0 -r sha256sum)
}
# listed TEXT: lines as "a, b, c", or "none".
listed() {
    if [ -z "$1" ]; then echo none; else awk 'NR > 1 { printf ", " } { printf "%s", $0 }' <<< "$1"; fi
}

# The new version over the previous one, without a controller: the product
# folder must hold exactly the new MSI's files, and the package the
# previous version put into the store must be the new version's now,
# under the same name (or, when the INF changed, the new one's alone).
upgrade_step() {
    local name="no controller: upgrade" old_folder=$folder old_staged=$staged ok=1
    local before=$work/previous.sums after=$work/upgrade.sums files store owned previous_owned
    # No folder, no files (rather than all of Program Files).
    file_sums "$prefix/drive_c/Program Files/${old_folder:-/nonexistent}" > "$before" || true
    previous_owned=$(owned_packages | owned_by "$previous_code")
    msiexec_step "$name" /i 'WINEDLLOVERRIDES=newdev=n;mscoree,mshtml=' \
        "QUORIN_DOUBLE_SCRIPT=$(windows_path "$work/no-device.script")"
    ended "$name" || return 1
    folder=$(new_folder)
    program=$(sed -n 's/^the program ended with \(.*\)/\1/p' <<< "$notes" | head -n 1)
    file_sums "$prefix/drive_c/Program Files/${folder:-/nonexistent}" > "$after" || true
    # Whole lines ("<hash>  <path>") and paths alone, each sorted for comm.
    local old new old_names new_names changed
    old=$(LC_ALL=C sort "$before") new=$(LC_ALL=C sort "$after")
    old_names=$(cut -c67- <<< "$old" | LC_ALL=C sort)
    new_names=$(cut -c67- <<< "$new" | LC_ALL=C sort)
    changed=$(LC_ALL=C comm -13 <(echo "$old") <(echo "$new") | cut -c67- | LC_ALL=C sort |
        LC_ALL=C comm -12 - <(echo "$old_names"))
    files="replaced: $(listed "$changed")"
    files+="; added: $(listed "$(LC_ALL=C comm -13 <(echo "$old_names") <(echo "$new_names"))")"
    files+="; removed: $(listed "$(LC_ALL=C comm -23 <(echo "$old_names") <(echo "$new_names"))")"
    files+="; unchanged: $(listed "$(LC_ALL=C comm -12 <(echo "$old") <(echo "$new") | cut -c67- |
        LC_ALL=C sort)")"
    [ "$folder" = "$old_folder" ] || files+=" (folder C:\\Program Files\\$old_folder now $folder)"
    local wrong
    wrong=$(LC_ALL=C comm -3 <(LC_ALL=C sort "$work/expected.sums") <(echo "$new") | sed 's/^\t//' |
        cut -c67- | LC_ALL=C sort -u)
    if [ -n "$wrong" ]; then
        files+="; NOT as the new MSI has them: $(listed "$wrong") (Windows Installer keeps a file"
        files+=" of the same or a higher version: raise the FileVersion of a file that changed)"
        ok=0
    fi
    owned=$(owned_packages)
    local new_owned
    new_owned=$(owned_by "$product_code" <<< "$owned")
    if [ "$previous_owned" != "$old_staged" ]; then
        store="the previous version's record names ${previous_owned:-no package}, not $old_staged"
        ok=0
    elif [ "$(wc -l <<< "$owned")" != 1 ] || [ -z "$new_owned" ] || ! in_store "$new_owned"; then
        store="the record names no package of the new version in the store (${owned:-no record})"
        ok=0
    elif [ "$new_owned" = "$old_staged" ]; then
        store="driver package $new_owned kept in the store,"
        store+=" handed over from $previous_code to $product_code"
    elif in_store "$old_staged"; then
        store="the new version staged $new_owned;"
        store+=" the previous version's $old_staged is still in the store"
        ok=0
    else
        store="the new version staged $new_owned (its INF changed);"
        store+=" the previous version's $old_staged is out of the store"
    fi
    [ "$run_code" = 0 ] || ok=0
    row "$name" "$(msiexec_code)" "$(passed $ok)" "program: ${program:-not run}; files $files; $store"
}

inside() {
    local hwid=$1 stale_key="System\\CurrentControlSet\\Enum\\$1\\$MACHINE_STALE"
    previous_code=${2:-} product_code=${3:-} upgrade_code=${4:-}
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

    local name folder staged program
    folders_before=$(program_folders)
    if [ -n "$previous_code" ]; then
        step_package=$work/previous.msi
        no_controller_install "previous version: install" || return 0
        step_package=
        upgrade_step || return 0
    else
        no_controller_install "no controller: install" || return 0
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
    inside "${@:3}"
    machine_stop
    exit 0
fi

# ---------------------------------------------------------------------------
# Outside: options, the package, preparation, the table.

# Every option but --previous goes to build-msi.sh.
args=()
output="" previous=""
[ $# -gt 0 ] || { usage >&2; exit 2; }
while [ $# -gt 0 ]; do
    case $1 in
        --help|-h)
            usage
            echo
            echo "kit/build-msi.sh's options:"
            bash "$kit/build-msi.sh" --help
            exit 0 ;;
        --previous=*) set -- --previous "${1#--previous=}" "${@:2}"; continue ;;
        --previous)
            [ -n "${2:-}" ] || { echo "try-package.sh: --previous needs the earlier MSI" >&2; exit 2; }
            [ -f "$2" ] || { echo "try-package.sh: --previous $2: no such file" >&2; exit 2; }
            previous=$(realpath "$2")
            shift 2
            continue ;;
        --output) output=${2:-} ;;
        --output=*) output=${1#--output=} ;;
    esac
    args+=("$1")
    shift
done

work=$(mktemp -d /tmp/quorin-try.XXXXXX)
logs=$work/logs
mkdir "$logs"
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
: > "$work/rows"

# apt_install PACKAGE...: those not installed yet.
apt_install() {
    local missing
    mapfile -t missing < <(packages_missing "$@")
    packages_install "${missing[@]}"
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

# previous_fits VERSION: whether the --previous MSI is an earlier version
# of this product (its UpgradeCode, another ProductCode, not a higher
# version: Windows compares the first three fields); why says why not.
previous_fits() {
    local values
    values=$(msiinfo export "$previous" Property 2> /dev/null | tr -d '\r') || values=
    previous_property() { awk -F '\t' -v p="$1" '$1 == p { print $2 }' <<< "$values"; }
    previous_code=$(previous_property ProductCode)
    local old_upgrade old_version
    old_upgrade=$(previous_property UpgradeCode)
    old_version=$(previous_property ProductVersion | cut -d. -f1-3)
    if [ -z "$previous_code" ]; then
        why="msiinfo cannot read it as a Windows Installer package"
    elif [ "${old_upgrade^^}" != "${upgrade_code^^}" ]; then
        why="its UpgradeCode ${old_upgrade:-(none)} is not this package's $upgrade_code: Windows would install both side by side"
    elif [ "${previous_code^^}" = "${product^^}" ]; then
        why="it has this package's ProductCode: an upgrade needs a new one (build without --product-code)"
    elif [ "$old_version" != "$1" ] &&
         [ "$(printf '%s\n' "$old_version" "$1" | sort -V | tail -n 1)" = "$old_version" ]; then
        why="its version $old_version is higher than $1: Windows refuses the downgrade"
    else
        return 0
    fi
    return 1
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
upgrade_code=$(field UpgradeCode)
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
elif [ -n "$previous" ] && ! previous_fits "$(field version)"; then
    row "build the MSI" 0 ok "$package, ProductCode ${product:-?}, hardware IDs $hwids"
    row "previous version: install" - FAILED "--previous $previous: $why"
else
    kept="$package"
    [ -n "$output" ] || kept="the MSI (removed afterwards; --output keeps it)"
    row "build the MSI" 0 ok "$kept, ProductCode ${product:-?}, hardware IDs $hwids"
    [ "$package" -ef "$work/package.msi" ] || cp "$package" "$work/package.msi"
    inside_limit=$((4 * (STEP_SECONDS + 40) + 6 * STALE_LIMIT + 120))
    if [ -n "$previous" ]; then
        cp "$previous" "$work/previous.msi"
        # What the upgrade must leave in the product's folder: the new MSI's files.
        mkdir "$work/expected"
        msiextract -C "$work/expected" "$work/package.msi" > /dev/null
        file_sums "$(find "$work/expected" -mindepth 1 -maxdepth 1 -type d | head -n 1)" \
            > "$work/expected.sums"
        inside_limit=$((inside_limit + STEP_SECONDS + 40 + 2 * STALE_LIMIT))
    fi

    echo
    echo "Preparing: the machine's helpers (MinGW) and the 32-bit root's Wine 10 ..."
    prepare install apt_install gcc-mingw-w64-x86-64 gcc mmdebstrap
    prepare helpers machine_helpers
    mkdir "$work/bin"
    cp "$(tail -n 1 "$logs/helpers.log")"/{runner.exe,mkdevice.exe,newdev.dll} "$work/bin/"
    prepare wine32-root timeout 1800 env QUORIN_WINE32=root bash "$kit/lib/wine32.sh" setup

    echo
    echo "Trying it on a demonstration machine (Wine 10, a fresh prefix) ..."
    if ! timeout -k 10 "$inside_limit" env QUORIN_WINE32=root bash "$kit/lib/wine32.sh" run \
            --bind "$work" --bind "$kit" --prefix "$work/prefix" -- \
            bash "$kit/try-package.sh" --inside "$work" "$hwid" \
                ${previous:+"$previous_code" "$product" "$upgrade_code"}; then
        row "the demonstration machine" - FAILED "ended early or took over $inside_limit s"
    fi
fi

# Steps that never came.
first_steps=("no controller: install")
[ -z "$previous" ] || first_steps=("previous version: install" "no controller: upgrade")
for step in "${first_steps[@]}" "no controller: uninstall" \
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
