#!/usr/bin/env bash
# Checks of the setup author's kit (label "kit"): every option and refusal
# of kit/build-msi.sh, run from another folder with relative paths, on
# small driver packages made here. kit/check-package.py has its own table,
# tests/kit/check_package_test.py.
#
# usage: kit_test.sh X64_EXE X64_ACTION_DLL VERSION
set -euo pipefail
program=$(realpath "$1")
action=$(realpath "$2")
project_version=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/kit/build-msi.sh

work=$(mktemp -d /tmp/quorin-kit.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A package as authors ship it: decorated and undecorated sections, a disk
# path (amd64) and a file's own subdirectory (x86), names in other cases
# than the files', quoted values, string tokens, a continued line, a ";"
# inside quotes.
cat > mydrv.inf <<'EOF'
; Acme pad
[Version]
Signature   = "$Windows NT$"
Class       = HIDClass
Provider    = %Mfg%
CatalogFile.NTamd64 = "%Cat%"   ; decorated
CatalogFile.NTx86   = MyDrv.CAT

[manufacturer]
%Mfg% = Models, NTamd64, NTx86

[Models.NTamd64]
%Dev% = Install, USB\VID_1F3A&PID_0C99, \
        USB\VID_1F3A&PID_0C9A
[MODELS.NTX86]
%Dev% = Install, usb\vid_1f3a&pid_0c99

[SourceDisksNames.amd64]
1 = %Disk%,,,\amd64
[SourceDisksNames]
1 = %Disk%,,,
2 = "Data; not a comment",,,

[SourceDisksFiles.amd64]
MyDrv.SYS = 1
[SourceDisksFiles.x86]
mydrv.sys = 1,x86
[SourceDisksFiles]
"my drv & co [1].dat" = 2

[Strings]
Mfg  = "Acme"
Dev  = "Acme pad"
Disk = "Acme disk"
Cat  = "mydrv.cat"
EOF
# package NAME [sed expression for the INF] [files to leave out...]
package() {
    local name=$1 edit=${2:-} file left_out
    left_out=$(printf '%s\n' "${@:3}")
    mkdir -p "$name/amd64" "$name/x86"
    sed "$edit" mydrv.inf > "$name/mydrv.inf"
    for file in mydrv.cat amd64/mydrv.sys x86/mydrv.sys "my drv & co [1].dat"; do
        grep -qxF "$file" <<< "$left_out" || echo "$file" > "$name/$file"
    done
}
package good
package no-amd64 '' amd64/mydrv.sys

# build-msi.sh. Refusals: one line, exit 1 (2 for an unknown option), no
# package at the output path.
own=(--program "$program" --action "$action")
guid=0f1e2d3c-4b5a-4968-8776-a5b4c3d2e1f0
package bad-name
touch 'bad-name/a<b'
# expected exit | stderr (grep -E) | options and folder
build_rows=(
    "1|--upgrade-code is required for your own package|--hardware-id USB\\VID_1F3A&PID_0C99 --name Acme good"
    "1|--upgrade-code \{6DCCB3BF-67D7-462E-BC59-79A74F42781F\} is the example's own|--upgrade-code {6dccb3bf-67d7-462e-bc59-79a74f42781f} --name Acme good"
    "1|--upgrade-code 6dccb3bf is not a GUID|--upgrade-code 6dccb3bf --name Acme good"
    "1|^build-msi.sh: --name needs a value$|--upgrade-code=$guid --name= good"
    "1|folder 'a:b' cannot be a folder name on Windows|--upgrade-code $guid --name a:b good"
    "1|^build-msi.sh: --version needs a value$|--upgrade-code $guid --name Acme good --version"
    "1|^build-msi.sh: --output needs a value$|--output --version 1.0.0 good"
    "1|version '1.2' is not X.Y.Z|--version 1.2"
    "1|version 1.256.0: Windows Installer takes at most 255.255.65535|--version 1.256.0"
    "1|mydrv.inf lists 2 hardware IDs \(USB.VID_1F3A&PID_0C99, USB.VID_1F3A&PID_0C9A\): choose one with --hardware-id|--upgrade-code $guid --name Acme good"
    "1|--hardware-id USB.VID_1F3A&PID_0C21: mydrv.inf does not list it in its models|--upgrade-code $guid --name Acme --hardware-id USB\\VID_1F3A&PID_0C21 good"
    "1|^check-package.sh: .*/no-amd64/amd64/MyDrv.SYS is missing|--upgrade-code $guid --name Acme no-amd64"
    "1|^build-msi.sh: .*/bad-name/a<b: Windows cannot hold a file or folder named 'a<b'$|--upgrade-code $guid --name Acme --hardware-id USB\\VID_1F3A&PID_0C9A bad-name"
    "1|^build-msi.sh: no driver package folder nowhere$|nowhere"
    "1|^build-msi.sh: mydrv.inf is not an x64 Windows program or DLL$|--program mydrv.inf"
    "1|^build-msi.sh: none.dll is missing|--action none.dll"
    "2|^build-msi.sh: unknown option --colour|--colour"
)
for row in "${build_rows[@]}"; do
    IFS='|' read -r code pattern args <<< "$row"
    read -r -a argv <<< "$args"
    got=0
    "$build" "${own[@]}" --output refused.msi "${argv[@]}" > out 2> err || got=$?
    [ "$got" = "$code" ] || fail "build-msi.sh $args: exit $got, not $code: $(cat err)"
    [ "$(grep -vc '^ ' err)" = 1 ] && grep -qE -- "$pattern" err ||
        fail "build-msi.sh $args said: $(cat err)"
    [ ! -e refused.msi ] || { fail "build-msi.sh $args left refused.msi"; rm refused.msi; }
done

"$build" --help > out
for option in name folder manufacturer upgrade-code version hardware-id program action output help; do
    grep -q -- "--$option" out || fail "--help does not list --$option"
done

# msiinfo's value of one property, and the Upgrade row of the major upgrade.
property() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }
upgrade_row() { msiinfo export "$1" Upgrade | tr -d '\r' | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $3 "/" $5 }'; }

# The project's test package with every default, from another folder.
mkdir elsewhere && cd elsewhere
"$build" "${own[@]}" --output ../msi/test.msi > ../built 2> ../err ||
    fail "build-msi.sh of the test package: $(cat ../err)"
cd ..
msi=$work/msi/test.msi
product=$(sed -n 's/^ProductCode: //p' built)
[ "$(head -5 built | sed '2s/{[0-9A-F-]*}/{GUID}/')" = "package: $msi
ProductCode: {GUID}
UpgradeCode: {6DCCB3BF-67D7-462E-BC59-79A74F42781F}
version: $project_version
hardware ID: USB\\VID_1F3A&PID_0C21" ] || fail "build-msi.sh printed: $(head -5 built)"
[ -f "$msi" ] && [ "$(property "$msi" ProductCode)" = "$product" ] ||
    fail "the test package's ProductCode is not $product"
[ "$(property "$msi" ProductName)/$(property "$msi" Manufacturer)" = \
    "Quorin64 example driver/Quorin64 example" ] || fail "the test package's names"
# Same-version upgrades: the maximum version is included (512 + 1).
[ "$(upgrade_row "$msi")" = "$project_version/513" ] || fail "Upgrade row: $(upgrade_row "$msi")"
grep -qxF "  uninstall command:  msiexec /x $product /qn /norestart" built &&
    grep -qxF "  install command:    msiexec /i test.msi /qn /norestart" built &&
    grep -qxF "  detection rule:     MSI product code $product" built ||
    fail "the lines to paste: $(cat built)"

# An author's package with every option; relative paths from here.
"$build" --name 'Acme & Pad' --folder 'Acme $(x) pad' --manufacturer 'Acme <Ltd>' \
    --upgrade-code "{${guid^^}}" --version 2.3.4 --hardware-id 'usb\vid_1f3a&pid_0c9a' \
    --program "$(realpath --relative-to=. "$program")" \
    --action "$(realpath --relative-to=. "$action")" --output 'msi/acme pad.msi' good \
    > built 2> err || fail "build-msi.sh of an author's package: $(cat err)"
msi="$work/msi/acme pad.msi"
[ "$(sed -n '1p;3,5p' built)" = "package: $msi
UpgradeCode: {${guid^^}}
version: 2.3.4
hardware ID: USB\\VID_1F3A&PID_0C9A" ] || fail "build-msi.sh printed: $(head -5 built)"
grep -qxF '  install command:    msiexec /i "acme pad.msi" /qn /norestart' built ||
    fail "install command: $(grep install built)"
[ "$(property "$msi" ProductName)|$(property "$msi" Manufacturer)|$(property "$msi" \
    HARDWARE_ID)|$(property "$msi" ProductVersion)" = \
    'Acme & Pad|Acme <Ltd>|USB\VID_1F3A&PID_0C9A|2.3.4' ] || fail "the author's package's properties"
# Whole outputs first: grep -q ending early would fail the pipe.
tables=$(msiinfo export "$msi" Directory; msiinfo export "$msi" File)
grep -q $'\tAcme $(x) pad\r*$' <<< "$tables" || fail "install folder's name"
for file in 'my drv & co [1].dat' mydrv.inf mydrv.cat mydrv.sys; do
    grep -qF $'\t'"$file"$'\t' <<< "$tables" || fail "$file not packed"
done
[ "$(grep -c $'\tmydrv.sys\t' <<< "$tables")" = 2 ] || fail "both mydrv.sys packed"
[ "$(upgrade_row "$msi")" = "2.3.4/513" ] || fail "Upgrade row: $(upgrade_row "$msi")"

[ "$failures" -eq 0 ] && echo "kit: passed (${#build_rows[@]} refusals, 2 builds)"
[ "$failures" -eq 0 ]
