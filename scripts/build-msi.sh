#!/usr/bin/env bash
# Builds the example Windows Installer package (examples/msi) with msitools'
# wixl: the x64 program, the custom-action DLL and every file of a driver
# package folder.
#
# usage: scripts/build-msi.sh [--version X.Y.Z] [--output FILE] [driver package folder]
#
# The folder (default: the demo's, tests/wine/driver-package) must hold
# exactly one INF file; the package runs the program with that INF's name.
# The version defaults to the project's; a major upgrade needs a higher one.
# The package goes to build/msi/Quorin64-example.msi unless --output says
# otherwise. Run scripts/build.sh first (it builds the program and the DLL).
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^project(Quorin64 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
output=build/msi/Quorin64-example.msi
package=tests/wine/driver-package
while [ $# -gt 0 ]; do
    case "$1" in
        --version) version=$2; shift 2 ;;
        --output) output=$2; shift 2 ;;
        -*) echo "unknown option $1" >&2; exit 2 ;;
        *) package=$1; shift ;;
    esac
done

fail() {
    echo "build-msi.sh: $*" >&2
    exit 1
}

program=build/windows-x64/Quorin64.exe
action=build/windows-x64/Quorin64Action.dll
for file in "$program" "$action"; do
    [ -f "$file" ] || fail "$file is missing: run scripts/build.sh first"
done
for tool in wixl msiinfo msibuild; do
    command -v $tool > /dev/null || fail "$tool is missing: run scripts/prerequisites.sh"
done
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "version '$version' is not X.Y.Z"
[ -d "$package" ] || fail "no driver package folder $package"

mapfile -t infs < <(find "$package" -mindepth 1 -maxdepth 1 -type f -iname '*.inf')
[ ${#infs[@]} -eq 1 ] ||
    fail "$package holds ${#infs[@]} INF files, not exactly one"
inf_name=$(basename "${infs[0]}")
# The program takes the INF name up to the first "+"; Windows Installer
# would read brackets and braces in it as references.
[[ "$inf_name" =~ ^[A-Za-z0-9._\ -]+$ ]] ||
    fail "INF name '$inf_name': use only letters, digits, blanks, '.', '_' and '-'"

# wixl takes no absolute source paths: every one is relative to here.
package=$(realpath --relative-to=. "$package")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Every file of the folder, subfolders included, in a fixed order.
(cd "$package" && find . -type f | LC_ALL=C sort) |
    wixl-heat --win64 --directory-ref Quorin64Folder --component-group DriverPackage \
        --var var.DriverPackage -p ./ > "$work/driver-package.wxs"

mkdir -p "$(dirname "$output")"
wixl -a x64 -o "$output" -D Version="$version" -D Program="$program" \
    -D ActionDll="$action" -D InfName="$inf_name" \
    -D DriverPackage="$package" -D Win64=yes \
    examples/msi/quorin64.wxs "$work/driver-package.wxs"

# wixl 0.101 drops Execute="rollback" (it writes the action as immediate):
# give each rollback action of the source its in-script and rollback bits.
rollback=$(awk '/<CustomAction/ { element = "" } { element = element " " $0 }
    /\/>/ { if (element ~ /<CustomAction/ && element ~ /Execute="rollback"/ &&
                 match(element, / Id="[^"]*"/)) print substr(element, RSTART + 5, RLENGTH - 6)
            element = "" }' examples/msi/quorin64.wxs)
if [ -n "$rollback" ]; then
    msiinfo export "$output" CustomAction |
        awk -F '\t' -v OFS='\t' -v names="$rollback" '
            BEGIN { split(names, list, "\n"); for (i in list) rollback[list[i]] = 1 }
            NR > 3 && ($1 in rollback) && int($2 / 256) % 2 == 0 { $2 += 256 + 1024 } { print }' \
        > "$work/CustomAction.idt"
    msibuild "$output" -i "$work/CustomAction.idt"
fi
printf 'package: %s (%s bytes, version %s, %s)\n' "$(realpath "$output")" \
    "$(stat -c %s "$output")" "$version" "$inf_name"
