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
command -v wixl > /dev/null || fail "wixl is missing: run scripts/prerequisites.sh"
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
printf 'package: %s (%s bytes, version %s, %s)\n' "$(realpath "$output")" \
    "$(stat -c %s "$output")" "$version" "$inf_name"
