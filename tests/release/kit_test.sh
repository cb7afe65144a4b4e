#!/usr/bin/env bash
# Checks of the setup author's kit (label "kit"): kit/check-package.sh
# on small driver packages made here, and every option and refusal of
# kit/build-msi.sh, run from another folder with relative paths.
#
# usage: kit_test.sh X64_EXE X64_ACTION_DLL VERSION
set -euo pipefail
program=$(realpath "$1")
action=$(realpath "$2")
project_version=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
check=$root/kit/check-package.sh
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
package crlf 's/$/\r/'
package utf16 '' amd64/mydrv.sys
iconv -t UTF-16LE utf16/mydrv.inf | { printf '\xff\xfe'; cat; } > utf16/new && mv utf16/new utf16/mydrv.inf
package no-amd64 '' amd64/mydrv.sys
package no-x86 '' x86/mydrv.sys
package no-data '' "my drv & co [1].dat"
package no-catalog '' mydrv.cat
package unsigned '/^CatalogFile/d'
package no-disk 's/^\("my drv.*\) = 2$/\1 = 3/'
package outside 's/^1 = %Disk%,,,$/1 = %Disk%,,,..\\elsewhere/'
package two-infs && echo '[Version]' > two-infs/other.INF
mkdir no-inf

# expected exit | stderr (grep -E, "" for none) | options and folder
check_rows=(
    "0||good"
    "0||crlf"
    "0||--arch amd64 no-x86"
    "1|^check-package.sh: no-x86/x86/mydrv.sys is missing: mydrv.inf's \[SourceDisksFiles.x86\] for x86 names it$|no-x86"
    "1|^check-package.sh: no-amd64/amd64/MyDrv.SYS is missing: .*\[SourceDisksFiles.amd64\] for amd64|--arch amd64 no-amd64"
    "0||--arch x86 no-amd64"
    "1|^check-package.sh: utf16/amd64/MyDrv.SYS is missing|utf16"
    "1|^check-package.sh: no-data/my drv & co \[1\].dat is missing: .*\[SourceDisksFiles\] for amd64|no-data"
    "1|^check-package.sh: no-catalog/mydrv.cat is missing: mydrv.inf's CatalogFile.NTamd64 names it$|no-catalog"
    "1|^check-package.sh: no-catalog/MyDrv.CAT is missing: mydrv.inf's CatalogFile.NTx86|--arch x86 no-catalog"
    "0|^warning: mydrv.inf names no CatalogFile: the package is unsigned$|unsigned"
    "1|^check-package.sh: mydrv.inf's \[SourceDisksFiles\] puts my drv & co \[1\].dat on disk 3, which no \[SourceDisksNames\] lists$|no-disk"
    "1|^check-package.sh: mydrv.inf's \[SourceDisksFiles.x86\] puts mydrv.sys outside the package$|outside"
    "1|^check-package.sh: two-infs holds 2 INF files \(mydrv.inf other.INF\), not exactly one$|two-infs"
    "1|^check-package.sh: no-inf holds no INF file$|no-inf"
    "1|^check-package.sh: no package folder nowhere$|nowhere"
    "2|^check-package.sh: --arch arm64: use amd64 or x86$|--arch arm64 good"
    "2|^check-package.sh: --arch needs a value|--arch"
)
for row in "${check_rows[@]}"; do
    IFS='|' read -r code pattern args <<< "$row"
    read -r -a argv <<< "$args"
    got=0
    "$check" "${argv[@]}" > out 2> err || got=$?
    [ "$got" = "$code" ] || fail "check-package.sh $args: exit $got, not $code: $(cat err)"
    if [ -z "$pattern" ]; then
        [ ! -s err ] || fail "check-package.sh $args said: $(cat err)"
    else
        [ "$(wc -l < err)" = 1 ] && grep -qE -- "$pattern" err ||
            fail "check-package.sh $args said: $(cat err)"
    fi
done
"$check" --hardware-ids good > out 2> err || fail "check-package.sh --hardware-ids: $(cat err)"
[ "$(cat out)" = $'USB\\VID_1F3A&PID_0C99\nUSB\\VID_1F3A&PID_0C9A' ] ||
    fail "hardware IDs of good: $(cat out)"

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
    "1|--product-code 6dccb3bf is not a GUID|--upgrade-code $guid --product-code 6dccb3bf --name Acme good"
    "1|--product-code is the upgrade code|--upgrade-code $guid --product-code {$guid} --name Acme good"
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
for option in name folder manufacturer upgrade-code product-code version hardware-id program action output help; do
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

# The next version, with its product code kept for rebuilds: a file added
# whose name sorts first, one dropped. Every path keeps its component; only
# versioned files (the program) have a version and no hash.
table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4 | LC_ALL=C sort; }
components() { # path<TAB>GUID of each file
    join -t $'\t' -1 2 -2 1 -o 1.3,2.2 <(table "$1" File | LC_ALL=C sort -t $'\t' -k2,2) \
        <(table "$1" Component) | LC_ALL=C sort
}
cp -r good next && echo new > "next/0 first.dat" && rm "next/x86/mydrv.sys"
"$build" "${own[@]}" --upgrade-code "$guid" --version 2.4.0 --name 'Acme & Pad' \
    --product-code 1a2b3c4d-5e6f-4a0b-8c1d-2e3f4a5b6c7d --hardware-id 'usb\vid_1f3a&pid_0c9a' \
    --output next.msi next > built 2> err || fail "build-msi.sh of the next version: $(cat err)"
[ "$(property next.msi ProductCode)" = "{1A2B3C4D-5E6F-4A0B-8C1D-2E3F4A5B6C7D}" ] ||
    fail "the product code given: $(grep ProductCode built)"
kept=$(LC_ALL=C comm -12 <(components "$msi") <(components next.msi) | cut -f1 | tr '\n' ' ')
[ "$kept" = "Quorin64.exe my drv & co [1].dat mydrv.cat mydrv.inf mydrv.sys " ] ||
    fail "components kept from 2.3.4 to 2.4.0: $kept"
[ "$(table next.msi File | awk -F '\t' '$5 != "" { print $3 "/" $5 "/" $6 }')" = \
    "Quorin64.exe/$project_version.0/1033" ] || fail "file versions: $(table next.msi File)"
[ "$(table next.msi MsiFileHash | grep -c '^Quorin64.exe')" = 0 ] &&
    [ "$(table next.msi MsiFileHash | wc -l)" = 5 ] || fail "file hashes: $(table next.msi MsiFileHash)"

[ "$failures" -eq 0 ] && echo "kit: passed (${#check_rows[@]} package checks, ${#build_rows[@]} refusals, 2 builds)"
[ "$failures" -eq 0 ]
