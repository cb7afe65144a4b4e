#!/usr/bin/env bash
# Checks of the setup author's kit (label "kit"): every option and refusal
# of kit/build-msi.sh, run from another folder with relative paths, on
# small signed driver packages made here. kit/check-package.py has its own
# table, tests/kit/check_package_test.py.
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

# build-msi.sh, on signed author's packages that check-package.py accepts
# for amd64: the test package's INF as acme.inf, with two controllers for
# TALMERIX (one line with a compatible ID too) and an old one that another
# service drives, and a file the INF does not name.
# pad NAME [file...]: the package, with these files besides.
pad() {
    mkdir -p "$1/x86"
    echo amd64 > "$1/talmerix.sys"
    echo x86 > "$1/x86/talmerix.sys"
    for file in "my drv & co [1].dat" "${@:2}"; do echo data > "$1/$file"; done
}
pad pad
pad pad-no-amd64
pad pad-bad-name 'a<b'
pad pad-code-page '日本.txt'
# One folder, two INFs: --inf chooses.
pad pad-two 'café.txt'
# The INFs, and each catalog signed by a throwaway signer under the root in
# root.pem (other.pem: a root that signed nothing).
python3 - "$root" pad pad-no-amd64 pad-bad-name pad-code-page pad-two <<'EOF'
import shutil, sys
sys.path.insert(0, sys.argv[1] + "/tests/kit")
import package_maker as maker
models = "%DeviceName% = TalmerixInstall, USB\\VID_1F3A&PID_0C21\n"
with open(sys.argv[1] + "/tests/wine/driver-package/talmerix.inf") as f:
    inf = f.read().replace(models, models.replace("0C21", "0C99, USB\\VID_1F3A&PID_0CFF")
                           + models.replace("0C21", "0C9A")
                           + "%DeviceName% = Old, USB\\VID_1F3A&PID_0C9B\n", 1)
inf += "[Old]\n[Old.Services]\nAddService = OLDPAD, 0x00000002, TalmerixService\n"
keys = {name: maker.make_key("keys/%s.key" % name) for name in ("root", "signer", "other")}
root = maker.make_certificate("Acme test root", keys["root"], ca=True)
signer = maker.make_certificate("Acme test signer", keys["signer"], root, keys["root"])
maker.write_pem("root.pem", root)
maker.write_pem("other.pem", maker.make_certificate("Other root", keys["other"], ca=True))
for folder in sys.argv[2:]:
    with open(folder + "/acme.inf", "w", newline="\r\n") as f:
        f.write(inf)
    maker.make_catalog(folder + "/talmerix.cat", [folder + "/acme.inf", folder + "/talmerix.sys",
                                                  folder + "/x86/talmerix.sys"],
                       signer, keys["signer"], chain=[root])
shutil.copy("pad-two/acme.inf", "pad-two/other.inf")
# Its next version: no old controller, a real driver file with its version.
shutil.copytree("pad-two", "next")
with open("next/acme.inf", "w", newline="\r\n") as f:
    f.write(inf.replace("%DeviceName% = Old,", "; "))
code = sys.argv[1] + "/tests/wine/driver-package/talmerix."
maker.build_driver(code + "c", code + "rc", "next/talmerix.sys", file_version="2.4.0.7")
maker.make_catalog("next/talmerix.cat", ["next/acme.inf", "next/talmerix.sys"], signer,
                   keys["signer"], chain=[root])
EOF
rm pad-no-amd64/talmerix.sys

# build-msi.sh's refusals: one line (besides the check's warnings), exit 1
# (2 for an unknown option), no package at the output path.
own=(--program "$program" --action "$action")
guid=0f1e2d3c-4b5a-4968-8776-a5b4c3d2e1f0
pick=(--upgrade-code "$guid" --name Acme --trust root.pem)
id='USB\VID_1F3A&PID_0C99'
# expected exit | stderr (grep -E) | options and folder
build_rows=(
    "1|--upgrade-code is required for your own package|--hardware-id $id --name Acme pad"
    "1|--upgrade-code \{6DCCB3BF-67D7-462E-BC59-79A74F42781F\} is the example's own|--upgrade-code {6dccb3bf-67d7-462e-bc59-79a74f42781f} --name Acme pad"
    "1|--upgrade-code 6dccb3bf is not a GUID|--upgrade-code 6dccb3bf --name Acme pad"
    "1|--product-code 6dccb3bf is not a GUID|--upgrade-code $guid --product-code 6dccb3bf --name Acme pad"
    "1|--product-code is the upgrade code|--upgrade-code $guid --product-code {$guid} --name Acme pad"
    "1|^build-msi.sh: --name needs a value$|--upgrade-code=$guid --name= pad"
    "1|folder 'a:b' cannot be a folder name on Windows|--upgrade-code $guid --name a:b pad"
    "1|^build-msi.sh: --name 'Café': use ASCII|--upgrade-code $guid --name Café pad"
    "1|^build-msi.sh: --version needs a value$|--upgrade-code $guid --name Acme pad --version"
    "1|^build-msi.sh: --output needs a value$|--output --version 1.0.0 pad"
    "1|version '1.2' is not X.Y.Z|--version 1.2"
    "1|version 1.256.0: Windows Installer takes at most 255.255.65535|--version 1.256.0"
    "1|^check-package.py: USB.VID_1F3A&PID_0C9B: .* makes OLDPAD the .*function driver service|${pick[*]} pad"
    "1|^check-package.py: USB.VID_1F3A&PID_0C9B: .* makes OLDPAD|${pick[*]} --hardware-id $id --hardware-id USB\\VID_1F3A&PID_0C9B pad"
    "1|^check-package.py: --hardware-id USB.VID_1F3A&PID_0C21: acme.inf does not list it|${pick[*]} --hardware-id USB\\VID_1F3A&PID_0C21 pad"
    "1|^check-package.py: --hardware-id USB.VID_1F3A&PID_0CFF is a compatible ID|${pick[*]} --hardware-id USB\\VID_1F3A&PID_0CFF pad"
    "1|^check-package.py: USB.VID_1F3A&PID_0C9B: .* makes OLDPAD the .*function driver service, not TALMERIX|${pick[*]} --hardware-id USB\\VID_1F3A&PID_0C9B pad"
    "1|^check-package.py: .*/pad-no-amd64/talmerix.sys is missing|${pick[*]} --hardware-id $id pad-no-amd64"
    "1|^check-package.py: .*pad/talmerix.cat: its signer CN=Acme test signer chains to CN=Acme test root, which no --trust|--upgrade-code $guid --name Acme --trust other.pem --hardware-id $id pad"
    "1|^check-package.py: .*pad-two holds 2 INF files|${pick[*]} --hardware-id $id pad-two"
    "1|^check-package.py: .*pad-two holds no INF named none.inf|${pick[*]} --inf none.inf pad-two"
    "1|^build-msi.sh: .*/pad-bad-name/a<b: Windows cannot hold a file or folder named 'a<b'$|${pick[*]} --hardware-id $id pad-bad-name"
    "1|^build-msi.sh: .*/pad-code-page/日本.txt: the MSI's code page, Windows-1252, cannot hold this name|${pick[*]} --hardware-id $id pad-code-page"
    "1|^build-msi.sh: no driver package folder nowhere$|nowhere"
    "1|^build-msi.sh: pad/acme.inf is not an x64 Windows program or DLL$|--program pad/acme.inf"
    "1|^build-msi.sh: none.dll is missing|--action none.dll"
    "2|^build-msi.sh: unknown option --colour|--colour"
)
for row in "${build_rows[@]}"; do
    IFS='|' read -r code pattern args <<< "$row"
    read -r -a argv <<< "$args"
    got=0
    "$build" "${own[@]}" --output refused.msi "${argv[@]}" > out 2> err || got=$?
    [ "$got" = "$code" ] || fail "build-msi.sh $args: exit $got, not $code: $(cat err)"
    [ "$(grep -v -c '^ \|^warning: ' err)" = 1 ] && grep -qE -- "$pattern" err ||
        fail "build-msi.sh $args said: $(cat err)"
    [ ! -e refused.msi ] || { fail "build-msi.sh $args left refused.msi"; rm refused.msi; }
done

"$build" --help > out
for option in inf name folder manufacturer upgrade-code product-code version hardware-id trust program action \
    output help; do
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
hardware IDs: USB\\VID_1F3A&PID_0C21" ] || fail "build-msi.sh printed: $(head -5 built)"
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

# An author's package with every option; relative paths from here. Its
# folder holds two INFs and a file whose name only Windows-1252 holds.
"$build" --name 'Acme & Pad' --folder 'Acme $(x) pad' --manufacturer 'Acme <Ltd>' \
    --upgrade-code "{${guid^^}}" --version 2.3.4 --hardware-id 'usb\vid_1f3a&pid_0c9a' \
    --hardware-id "$id" --hardware-id 'USB\VID_1F3A&PID_0C9a' \
    --inf ACME.INF --trust root.pem --trust other.pem \
    --program "$(realpath --relative-to=. "$program")" \
    --action "$(realpath --relative-to=. "$action")" --output 'msi/acme pad.msi' pad-two \
    > built 2> err || fail "build-msi.sh of an author's package: $(cat err)"
msi="$work/msi/acme pad.msi"
[ "$(sed -n '1p;3,6p' built | sed 's/ (valid .*; root \(.*\))$/, root \1/')" = "package: $msi
UpgradeCode: {${guid^^}}
version: 2.3.4
hardware IDs: USB\\VID_1F3A&PID_0C9A, USB\\VID_1F3A&PID_0C99
signer: CN=Acme test signer, root CN=Acme test root" ] || fail "build-msi.sh printed: $(head -6 built)"
grep -qxF '  install command:    msiexec /i "acme pad.msi" /qn /norestart' built ||
    fail "install command: $(grep install built)"
[ "$(property "$msi" ProductName)|$(property "$msi" Manufacturer)|$(property "$msi" \
    HARDWARE_ID)|$(property "$msi" ProductVersion)" = \
    'Acme & Pad|Acme <Ltd>|USB\VID_1F3A&PID_0C9A|USB\VID_1F3A&PID_0C99|2.3.4' ] || fail "the author's package's properties"
[ "$(msiinfo export "$msi" _ForceCodepage | tr -d '\r' | sed -n 3p)" = $'1252\t_ForceCodepage' ] ||
    fail "the package's code page: $(msiinfo export "$msi" _ForceCodepage)"
grep -qF '|acme.inf|' <<< "$(msiinfo export "$msi" CustomAction)" ||
    fail "the custom action's INF: $(msiinfo export "$msi" CustomAction)"
# Whole outputs first: grep -q ending early would fail the pipe.
tables=$(msiinfo export "$msi" Directory; msiinfo export "$msi" File)
grep -q $'\tAcme $(x) pad\r*$' <<< "$tables" || fail "install folder's name"
for file in 'my drv & co [1].dat' café.txt acme.inf other.inf talmerix.cat talmerix.sys; do
    grep -qF $'\t'"$file"$'\t' <<< "$tables" || fail "$file not packed"
done
[ "$(grep -c $'\ttalmerix.sys\t' <<< "$tables")" = 2 ] || fail "both talmerix.sys packed"
[ "$(upgrade_row "$msi")" = "2.3.4/513" ] || fail "Upgrade row: $(upgrade_row "$msi")"

# The next version, with its product code kept for rebuilds: a file added
# whose name sorts first, one dropped, both hardware IDs served by default.
# Every path keeps its component; only versioned files (the program, the
# driver) have a version and no hash.
table() { msiinfo export "$1" "$2" | tr -d '\r' | tail -n +4 | LC_ALL=C sort; }
components() { # path<TAB>GUID of each file
    join -t $'\t' -1 2 -2 1 -o 1.3,2.2 <(table "$1" File | LC_ALL=C sort -t $'\t' -k2,2) \
        <(table "$1" Component) | LC_ALL=C sort
}
echo new > "next/0 first.dat" && rm "next/x86/talmerix.sys"
"$build" "${own[@]}" --upgrade-code "$guid" --version 2.4.0 --name 'Acme & Pad' \
    --product-code 1a2b3c4d-5e6f-4a0b-8c1d-2e3f4a5b6c7d --inf acme.inf --trust root.pem \
    --output next.msi next > built 2> err || fail "build-msi.sh of the next version: $(cat err)"
grep -qxF 'hardware IDs: USB\VID_1F3A&PID_0C99, USB\VID_1F3A&PID_0C9A' built ||
    fail "the next version's hardware IDs: $(grep hardware built)"
[ "$(property next.msi ProductCode)" = "{1A2B3C4D-5E6F-4A0B-8C1D-2E3F4A5B6C7D}" ] ||
    fail "the product code given: $(grep ProductCode built)"
kept=$(LC_ALL=C comm -12 <(components "$msi") <(components next.msi) | cut -f1 | tr '\n' ' ')
[ "$kept" = "Quorin64.exe acme.inf café.txt my drv & co [1].dat other.inf talmerix.cat talmerix.sys " ] ||
    fail "components kept from 2.3.4 to 2.4.0: $kept"
[ "$(table next.msi File | awk -F '\t' '$5 != "" { print $3 "/" $5 "/" $6 }')" = \
    "Quorin64.exe/$project_version.0/1033
talmerix.sys/2.4.0.7/1033" ] || fail "file versions: $(table next.msi File)"
[ "$(table next.msi MsiFileHash | grep -c '^Quorin64.exe')" = 0 ] &&
    [ "$(table next.msi MsiFileHash | wc -l)" = 6 ] || fail "file hashes: $(table next.msi MsiFileHash)"

[ "$failures" -eq 0 ] && echo "kit: passed (${#build_rows[@]} refusals, 3 builds)"
[ "$failures" -eq 0 ]
