#!/usr/bin/env bash
# Builds a Windows Installer package (kit/msi/quorin64.wxs) for a
# driver package with msitools' wixl: the x64 program, the custom-action
# DLL and every file of the driver package folder. Works from a checkout
# (after scripts/build.sh) and from the release archive's kit alike.
#
# usage: kit/build-msi.sh [options] [FOLDER]
#
#   FOLDER                the driver package: its INF at its top and every
#                         file the INF names (default: the project's test
#                         package, build/test-package/package)
#   --inf NAME            the package's INF, where the folder holds several
#   --name NAME           product name (default: the example's for the test
#                         package, else "<INF name> driver")
#   --folder NAME         its folder under Program Files (default: NAME)
#   --manufacturer NAME   publisher (default: the product name)
#   --upgrade-code GUID   your product's UpgradeCode: one GUID of your own,
#                         the same for every version (required but for the
#                         project's test package)
#   --version X.Y.Z       product version; raise it at each release
#   --product-code GUID   the product code (default: a new one each build);
#                         keep one for a rebuild of the same version
#   --hardware-id ID      a hardware ID to serve (repeatable, in the order
#                         given; default: every one the INF's amd64 models
#                         list); a compatible ID, or one whose install adds
#                         no TALMERIX service, is refused: name the others
#                         to serve them alone
#   --trust CERT.pem      a root certificate to trust for the catalog's
#                         signer, such as your own test root (repeatable)
#   --program FILE        the x64 Quorin64.exe (default: the build's or the kit's)
#   --action FILE         Quorin64Action.dll (default: the build's or the kit's)
#   --output FILE         the package (default: build/msi/Quorin64-example.msi
#                         for the test package, else NAME-VERSION.msi here)
#   --help                this text
#
# Relative paths are taken from the current folder. The package is checked
# first by kit/check-package.py (run with python3) for 64-bit Windows. On
# success the first lines are "package:", "ProductCode:", "UpgradeCode:",
# "version:" and "hardware IDs:" (", " between them), and "signer:" for a
# signed package, then
# the commands and the detection rule to paste. A refused package gets a
# line naming each problem, exit code 1, and nothing is written at the
# output path. Needs python3, wixl and msitools (installed with apt-get
# when missing).
set -euo pipefail
# wixl and msitools convert the package's strings to and from the Windows
# code page they guess from the locale (libgsf): Windows-1252, whatever
# this machine's locale.
export WINDOWS_LANGUAGE=en

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
wxs=$here/msi/quorin64.wxs
test_package=$root/build/test-package/package
example_upgrade_code='{6DCCB3BF-67D7-462E-BC59-79A74F42781F}'
# The checkout keeps the programs in its build folders, the kit beside the
# scripts' folder.
if [ -f "$root/CMakeLists.txt" ]; then
    program=$root/build/windows-x64/Quorin64.exe
    action=$root/build/windows-x64/Quorin64Action.dll
    version=$(sed -n 's/^project(Quorin64 VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
else
    program=$root/x64/Quorin64.exe
    action=$root/x64/Quorin64Action.dll
    version=1.0.0
fi

fail() {
    echo "build-msi.sh: $*" >&2
    exit 1
}
usage() {
    sed -n '/^# usage:/,/^#   --help/s/^# \{0,1\}//p' "$0"
}

name='' folder_name='' manufacturer='' upgrade_code='' output='' package=''
product_code='' inf='' trust=() wanted=()
while [ $# -gt 0 ]; do
    case "$1" in
        --*=*) set -- "${1%%=*}" "${1#*=}" "${@:2}"; continue ;;
        --help|-h) usage; exit 0 ;;
        --name|--folder|--manufacturer|--upgrade-code|--product-code|--version|--hardware-id|--program|--action|--output|--inf|--trust)
            [ $# -ge 2 ] && [ -n "$2" ] && [[ "$2" != --* ]] || fail "$1 needs a value"
            value=$2
            case "$1" in
                --name) name=$value ;;
                --folder) folder_name=$value ;;
                --manufacturer) manufacturer=$value ;;
                --upgrade-code) upgrade_code=$value ;;
                --product-code) product_code=$value ;;
                --version) version=$value ;;
                --hardware-id) wanted+=("$value") ;;
                --program) program=$value ;;
                --action) action=$value ;;
                --output) output=$value ;;
                --inf) inf=$value ;;
                --trust) trust+=(--trust "$value") ;;
            esac
            shift 2 ;;
        -*) echo "build-msi.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
        *)
            [ -z "$package" ] || fail "one driver package folder only: $package, $1"
            package=$1; shift ;;
    esac
done

# wixl and msitools (msibuild, msiinfo), from the distribution, and python3
# for the package check.
missing=()
command -v python3 > /dev/null || missing+=(python3)
command -v wixl > /dev/null || missing+=(wixl)
command -v msibuild > /dev/null && command -v msiinfo > /dev/null || missing+=(msitools)
if [ ${#missing[@]} -gt 0 ]; then
    . "$here/lib/packages.sh"
    packages_install "${missing[@]}" > /dev/null || fail "could not install ${missing[*]}"
fi

# The folder, and whether it is the project's own test package.
[ -n "$package" ] || package=$test_package
[ -d "$package" ] || fail "no driver package folder $package"
package=$(realpath "$package")
own_package=no
[ -d "$test_package" ] && [ "$package" = "$(realpath "$test_package")" ] && own_package=yes

# The PE machine of a Windows program or DLL: 8664 for x64.
pe_machine() {
    local offset
    offset=$(od -An -tu4 -j 60 -N 4 "$1" 2> /dev/null | tr -d ' ')
    [ "$(head -c 2 "$1")" = MZ ] && [ -n "$offset" ] || return 0
    [ "$(od -An -c -j "$offset" -N 2 "$1" | tr -d ' ')" = PE ] || return 0
    od -An -tx2 -j $((offset + 4)) -N 2 "$1" | tr -d ' '
}
for file in "$program" "$action"; do
    [ -f "$file" ] || fail "$file is missing: run scripts/build.sh first, or name it with --program/--action"
    [ "$(pe_machine "$file")" = 8664 ] || fail "$file is not an x64 Windows program or DLL"
done
program=$(realpath "$program")
action=$(realpath "$action")

[[ "$version" =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)$ ]] || fail "version '$version' is not X.Y.Z"
# Windows Installer's limits: 255.255.65535.
[ "${BASH_REMATCH[1]}" -le 255 ] && [ "${BASH_REMATCH[2]}" -le 255 ] &&
    [ "${BASH_REMATCH[3]}" -le 65535 ] || fail "version $version: Windows Installer takes at most 255.255.65535"

guid='^\{?[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}?$'
if [ -z "$upgrade_code" ]; then
    [ $own_package = yes ] ||
        fail "--upgrade-code is required for your own package: make one GUID (cat /proc/sys/kernel/random/uuid) and keep it for every version"
    upgrade_code=$example_upgrade_code
fi
[[ "$upgrade_code" =~ $guid ]] || fail "--upgrade-code $upgrade_code is not a GUID"
upgrade_code=$(tr -d '{}' <<< "$upgrade_code" | tr a-f A-F)
upgrade_code="{$upgrade_code}"
[ $own_package = yes ] || [ "$upgrade_code" != "$example_upgrade_code" ] ||
    fail "--upgrade-code $upgrade_code is the example's own: make a GUID of your own (cat /proc/sys/kernel/random/uuid)"
product_given=$product_code
if [ -n "$product_code" ]; then
    [[ "$product_code" =~ $guid ]] || fail "--product-code $product_code is not a GUID"
    product_code=$(tr -d '{}' <<< "$product_code" | tr a-f A-F)
    product_code="{$product_code}"
    [ "$product_code" != "$upgrade_code" ] || fail "--product-code is the upgrade code: use two GUIDs"
else
    product_code=$(tr a-f A-F < /proc/sys/kernel/random/uuid)
    product_code="{$product_code}"
fi

# The package itself, for 64-bit Windows: its INF and hardware IDs first;
# once the names are settled, the whole check with the IDs chosen (a
# compatible ID, or one whose install adds no TALMERIX service, is refused
# there).
checker=(python3 "$here/check-package.py" --arch amd64)
[ -z "$inf" ] || checker+=(--inf "$inf")
# Its warnings come again with the whole check: shown only with a refusal.
ids_err=$(mktemp)
ids=$("${checker[@]}" --hardware-ids "$package" 2> "$ids_err") ||
    { cat "$ids_err" >&2; rm -f "$ids_err"; exit 1; }
rm -f "$ids_err"
# The INF as the folder spells it (the check found exactly one, or --inf).
inf_name=$(find "$package" -mindepth 1 -maxdepth 1 -type f -iname '*.inf' -printf '%f\n' |
    awk -v want="$inf" 'want == "" || tolower($0) == tolower(want)' | head -n 1)

# The product's names: the example's for the test package, else named
# after the INF unless told; the folder under Program Files and the
# manufacturer after the product unless told.
if [ -z "$name" ] && [ $own_package = yes ]; then
    name="Quorin64 example driver"
    [ -n "$folder_name" ] || folder_name="Quorin64 example"
    [ -n "$manufacturer" ] || manufacturer="Quorin64 example"
elif [ -z "$name" ]; then
    name="${inf_name%.*} driver"
    echo "warning: no --name: the product is called '$name'" >&2
fi
[ -n "$folder_name" ] || folder_name=$name
[ -n "$manufacturer" ] || manufacturer=$name
# Windows refuses these in a file or folder name; control characters too.
bad_name() {
    [[ "$1" == *[\\/:*?\"\<\>\|]* || "$1" =~ [[:cntrl:]] || "$1" == *[.\ ] || "$1" == \ * ]]
}
! bad_name "$folder_name" || fail "folder '$folder_name' cannot be a folder name on Windows (\\ / : * ? \" < > | or a trailing dot or blank): choose one with --folder"
# wixl 0.101 takes its variables (-D) in ASCII only; the program and the
# custom action read their folder in the machine's ANSI code page.
ascii() { [[ "$1" =~ ^[\ -~]*$ ]]; }
ascii "$name" || fail "--name '$name': use ASCII (wixl takes no other characters there)"
ascii "$manufacturer" || fail "--manufacturer '$manufacturer': use ASCII (wixl takes no other characters there)"
ascii "$folder_name" ||
    fail "folder '$folder_name': use ASCII (the program and its custom action read their folder in the ANSI code page of the machine): choose one with --folder"
# The program takes the INF name up to the first "+"; the custom action's
# data splits at "|"; Windows Installer would read brackets and braces as
# references. Non-ASCII names would reach the program in another code page.
[[ "$inf_name" =~ ^[\ -~]+$ && "$inf_name" != *[][{}\|+]* ]] ||
    fail "INF name '$inf_name': use ASCII without [ ] { } | +"

# The IDs to serve: those named, in the INF's spelling, in order, each once
# whatever its case; else every one the INF lists.
mapfile -t listed <<< "$ids"
[ -n "$ids" ] || listed=()
served=()
if [ ${#wanted[@]} -eq 0 ]; then
    served=("${listed[@]}")
fi
for want in "${wanted[@]}"; do
    for id in "${listed[@]}" "${served[@]}"; do
        [ "${id^^}" != "${want^^}" ] || want=$id
    done
    for id in "${served[@]}"; do
        [ "$id" != "$want" ] || continue 2
    done
    served+=("$want")
done
[ ${#served[@]} -gt 0 ] || fail "$inf_name lists no hardware ID in its models for 64-bit Windows"
# The project's test package is signed by a throwaway root made with it.
[ $own_package = no ] || [ ${#trust[@]} -gt 0 ] || [ ! -f "$test_package/../trust.pem" ] ||
    trust=(--trust "$(realpath "$test_package/../trust.pem")")
check=("${checker[@]}" "${trust[@]}")
for id in "${served[@]}"; do
    check+=(--hardware-id "$id")
done
# The check refuses an ID the INF does not list.
check_err=$(mktemp)
code=0
signers=$("${check[@]}" "$package" 2> "$check_err") || code=$?
check_err_text=$(cat "$check_err")
rm -f "$check_err"
[ -z "$check_err_text" ] || echo "$check_err_text" >&2
if [ $code != 0 ]; then
    # A refused ID the author did not name: the others can still be served.
    if [ ${#wanted[@]} -eq 0 ] && [ ${#served[@]} -gt 1 ]; then
        for id in "${served[@]}"; do
            grep -v '^warning: ' <<< "$check_err_text" | grep -qF -- "$id: " || continue
            echo "  (build-msi.sh serves every hardware ID the INF lists unless told: name those to serve with --hardware-id)" >&2
            break
        done
    fi
    exit 1
fi
for id in "${served[@]}"; do
    [[ "$id" != *\|* ]] || fail "hardware ID $id: the custom action's data cannot hold '|'"
done
hardware_ids=$(IFS='|'; echo "${served[*]}")

if [ -z "$output" ]; then
    if [ $own_package = yes ] && [ "$name" = "Quorin64 example driver" ]; then
        output=$root/build/msi/Quorin64-example.msi
    else
        output="$folder_name-$version.msi"
    fi
fi
[ ! -d "$output" ] || fail "--output $output is a folder"
output=$(realpath -m "$output")

work=$(mktemp -d)
partial=$output.partial.$$
trap 'rm -rf "$work" "$partial"' EXIT
mkdir "$work/src"
ln -s "$program" "$work/src/Quorin64.exe"
ln -s "$action" "$work/src/Quorin64Action.dll"

# The driver package's files as WiX source. wixl reads attributes through
# its preprocessor, where "$" starts a variable and "$$(" cannot be
# written: every "$" becomes $(var.Dollar). Sources are links with plain
# names, so only the Name attributes carry the real ones, XML-escaped.
(cd "$package" && find . -type f -printf '%P\n' | LC_ALL=C sort) > "$work/files"
n=0
while IFS= read -r file; do
    n=$((n + 1))
    IFS=/ read -r -a parts <<< "$file"
    for part in "${parts[@]}"; do
        bad_name "$part" && fail "$package/$file: Windows cannot hold a file or folder named '$part'"
    done
    # The package's strings are Windows-1252 (below); wixl would write a name
    # outside it as an empty one, which msiexec fails on (1603).
    iconv -f UTF-8 -t CP1252 <<< "$file" > /dev/null 2>&1 ||
        fail "$package/$file: the MSI's code page, Windows-1252, cannot hold this name: rename it"
    ln -s "$package/$file" "$work/src/$n"
done < "$work/files"
# One component GUID per install path, from the UpgradeCode and the path:
# another file added or dropped in a later version changes no other
# file's component (the program's first, then the package's files).
{ echo Quorin64.exe; cat "$work/files"; } |
    python3 "$here/lib/msi_files.py" guids "$upgrade_code" > "$work/guids" ||
    fail "could not derive the components' GUIDs"
program_guid=$(head -n 1 "$work/guids")
tail -n +2 "$work/guids" > "$work/file-guids"
LC_ALL=C awk '
function esc(s) {
    gsub(/&/, "\\&amp;", s); gsub(/</, "\\&lt;", s); gsub(/>/, "\\&gt;", s)
    gsub(/"/, "\\&quot;", s); gsub(/\$/, "$(var.Dollar)", s)
    return s
}
BEGIN {
    print "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    print "<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\"><Fragment>"
    print "<DirectoryRef Id=\"Quorin64Folder\">"
    depth = 0
}
FNR == NR { guid[FNR] = $0; next }
{
    n = split($0, part, "/")
    # Close the folders this file is not in, open those it is in.
    same = 0
    while (same < depth && same < n - 1 && open[same + 1] == part[same + 1]) same++
    for (; depth > same; depth--) print "</Directory>"
    for (; depth < n - 1; depth++) {
        open[depth + 1] = part[depth + 1]
        printf "<Directory Id=\"d%d\" Name=\"%s\">\n", FNR, esc(part[depth + 1])
    }
    printf "<Component Id=\"c%d\" Guid=\"%s\" Win64=\"yes\"><File Id=\"f%d\" Name=\"%s\" Source=\"src/%d\" KeyPath=\"yes\" /></Component>\n", FNR, guid[FNR], FNR, esc(part[n]), FNR
    refs = refs sprintf("<ComponentRef Id=\"c%d\" />\n", FNR)
}
END {
    for (; depth > 0; depth--) print "</Directory>"
    print "</DirectoryRef></Fragment>"
    printf "<Fragment><ComponentGroup Id=\"DriverPackage\">\n%s</ComponentGroup></Fragment></Wix>\n", refs
}' "$work/file-guids" "$work/files" > "$work/driver-package.wxs"

cp "$wxs" "$work/quorin64.wxs"
(cd "$work" && wixl -a x64 -o package.msi -D Version="$version" \
    -D Program=src/Quorin64.exe -D ActionDll=src/Quorin64Action.dll -D InfName="$inf_name" \
    -D ProductName="$name" -D Manufacturer="$manufacturer" -D FolderName="$folder_name" \
    -D UpgradeCode="$upgrade_code" -D ProductCode="$product_code" -D HardwareId="$hardware_ids" \
    -D ProgramGuid="$program_guid" \
    -D 'Dollar=$' quorin64.wxs driver-package.wxs) > "$work/wixl.log" 2>&1 ||
    { cat "$work/wixl.log" >&2; fail "wixl failed"; }

# One version, one product: a rebuild of the same version must replace the
# installed one, so the major upgrade's row includes its maximum
# (msidbUpgradeAttributesVersionMaxInclusive, 512). wixl 0.101 neither
# writes it nor knows AllowSameVersionUpgrades; Attributes is part of the
# row's key, so the table is exported, changed and imported whole.
mkdir "$work/idt"
# wixl marks the database code-page neutral (0), which Windows reads in each
# machine's own ANSI code page: marked Windows-1252, the names read as
# written everywhere.
printf '\r\n\r\n1252\t_ForceCodepage\r\n' > "$work/idt/_ForceCodepage.idt"
msibuild "$work/package.msi" -i "$work/idt/_ForceCodepage.idt" ||
    fail "msibuild could not mark the package's code page"
msiinfo export "$work/package.msi" Upgrade > "$work/idt/Upgrade.idt"
awk 'BEGIN { FS = OFS = "\t" }
     NR > 3 && $7 ~ /^WIX_UPGRADE_DETECTED\r?$/ && int($5 / 512) % 2 == 0 { $5 += 512; n++ }
     { print }
     END { exit n == 1 ? 0 : 1 }' "$work/idt/Upgrade.idt" > "$work/idt/new.idt" ||
    fail "wixl wrote no major-upgrade row to include the maximum version in"
mv "$work/idt/new.idt" "$work/idt/Upgrade.idt"
msibuild "$work/package.msi" -i "$work/idt/Upgrade.idt" ||
    fail "msibuild could not write the Upgrade table"

# File versions, as WiX writes them and wixl 0.101 does not: by Windows
# Installer's rules a versioned file on disk is never replaced by an
# unversioned one, so an upgrade would keep the old driver file beside the
# new INF and catalog. Hashes are for unversioned files only.
{ echo "$program"; sed "s|^|$work/src/|" <<< "$(seq 1 "$n")"; } |
    python3 "$here/lib/msi_files.py" versions > "$work/versions" ||
    fail "could not read the files' versions"
msiinfo export "$work/package.msi" File > "$work/idt/File.idt"
msiinfo export "$work/package.msi" MsiFileHash > "$work/idt/MsiFileHash.idt"
awk -F '\t' -v OFS='\t' -v dir="$work/idt" '
    FILENAME == ARGV[1] { version[FNR == 1 ? "Quorin64.exe" : "f" (FNR - 1)] = $0; next }
    { sub(/\r$/, "") }
    FILENAME == ARGV[2] && FNR > 3 && version[$1] != "" {
        split(version[$1], v, "\t"); $5 = v[1]; $6 = v[2]; versioned[$1] = 1
    }
    FILENAME == ARGV[2] { print > (dir "/File.idt.new"); next }
    FNR <= 3 || !versioned[$1] { print > (dir "/MsiFileHash.idt.new") }' \
    "$work/versions" "$work/idt/File.idt" "$work/idt/MsiFileHash.idt"
mv "$work/idt/File.idt.new" "$work/idt/File.idt"
mv "$work/idt/MsiFileHash.idt.new" "$work/idt/MsiFileHash.idt"
msibuild "$work/package.msi" -i "$work/idt/File.idt" &&
    msibuild "$work/package.msi" -i "$work/idt/MsiFileHash.idt" ||
    fail "msibuild could not write the File and MsiFileHash tables"

# wixl 0.101 drops Execute="rollback" (it writes such an action as
# immediate): each rollback action of the source gets its in-script (1024)
# and rollback (256) bits.
rollback=$(awk '/<CustomAction/ { element = "" } { element = element " " $0 }
    /\/>/ { if (element ~ /<CustomAction/ && element ~ /Execute="rollback"/ &&
                 match(element, / Id="[^"]*"/)) print substr(element, RSTART + 5, RLENGTH - 6)
            element = "" }' "$work/quorin64.wxs")
if [ -n "$rollback" ]; then
    msiinfo export "$work/package.msi" CustomAction |
        awk -F '\t' -v OFS='\t' -v names="$rollback" '
            BEGIN { split(names, list, "\n"); for (i in list) rollback[list[i]] = 1 }
            NR > 3 && ($1 in rollback) && int($2 / 256) % 2 == 0 { $2 += 256 + 1024 } { print }' \
        > "$work/idt/CustomAction.idt"
    msibuild "$work/package.msi" -i "$work/idt/CustomAction.idt" ||
        fail "msibuild could not write the CustomAction table"
fi

mkdir -p "$(dirname "$output")"
# Moved into place only when whole.
cp "$work/package.msi" "$partial"
mv -f "$partial" "$output"

if [ -n "$product_given" ]; then
    product_note="The product code is the one given (--product-code): keep it only for a rebuild
of the same version; a new version gets a new one."
else
    product_note="The product code is new with every build: update the uninstall command and
the detection rule with each package you deploy."
fi
msi_name=$(basename "$output")
[[ "$msi_name" == *\ * ]] && msi_name="\"$msi_name\""
cat <<EOF
package: $output
ProductCode: $product_code
UpgradeCode: $upgrade_code
version: $version
hardware IDs: $(sed 's/|/, /g' <<< "$hardware_ids")
${signers:+$signers
}
$name $version ($manufacturer), $(stat -c %s "$output") bytes; installs into
"C:\\Program Files\\$folder_name" on 64-bit Windows. To paste:
  install command:    msiexec /i $msi_name /qn /norestart
  uninstall command:  msiexec /x $product_code /qn /norestart
  detection rule:     MSI product code $product_code
$product_note
EOF
