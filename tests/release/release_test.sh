#!/usr/bin/env bash
# Checks of the release (label "release"):
#
#   release_test.sh reproducible VERSION X64_EXE X86_EXE
#       builds both programs afresh from the working tree in two other
#       folders, at different times, in another time zone and umask; the
#       two builds and the given programs must be byte for byte the same.
#       Then scripts/release.sh twice: the archives must be the same, hold
#       exactly the programs, SHA256SUMS, the usage text, the license and
#       the setup author's kit (the custom-action DLL, the example setups'
#       sources, check-package.py, build-msi.sh, try-package.sh and what
#       they share), and the checksums must hold. From another folder, as
#       the README says, the unpacked kit's check-package.py must accept
#       the made test package (its root given), its build-msi.sh build a
#       package, and makensis build the NSIS setup with the archive's
#       programs.
#
#   release_test.sh signed VERSION X64_EXE X86_EXE WINE_HELPERS
#       scripts/release.sh with a throwaway certificate made here: both
#       programs and the DLL must verify with osslsigncode against that
#       certificate,
#       pass the program checks, and both signed programs must pass the
#       Wine suite's outcome cases: every full 32-bit exit code through the
#       test newdev.dll (the x86 program in the 32-bit root).
set -euo pipefail
mode=$1
version=$2
x64_exe=$(realpath "$3")
x86_exe=$(realpath "$4")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
checker=$root/tests/pe/check_program.sh

work=$(mktemp -d /tmp/quorin-release.XXXXXX)
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
same() { cmp -s "$1" "$2" || fail "$3: $(sha256sum < "$1" | cut -c1-16)... differs from" \
    "$(sha256sum < "$2" | cut -c1-16)..."; }

# Unpacks an archive and checks what it holds and its checksums.
check_archive() {
    local archive=$1 into=$2
    [ -f "$archive" ] || { fail "no $archive"; return; }
    mkdir -p "$into"
    python3 -m zipfile -e "$archive" "$into"
    local entries
    entries=$(python3 -m zipfile -l "$archive" | awk 'NR > 1 && $1 !~ /\/$/ { print $1 }' |
        LC_ALL=C sort | tr '\n' ' ')
    [ "$entries" = "LICENSE README.md SHA256SUMS USAGE.txt ${kit[*]} x64/Quorin64.exe \
x64/Quorin64Action.dll x86/Quorin64.exe " ] || fail "archive holds: $entries"
    (cd "$into" && sha256sum --quiet -c SHA256SUMS) || fail "checksums of $archive"
    [ "$(wc -l < "$into/SHA256SUMS")" = $((${#kit[@]} + 6)) ] ||
        fail "SHA256SUMS does not list every file but itself"
    local file
    for file in "${kit[@]}"; do
        same "$into/$file" "$root/$file" "the kit's $file"
    done
    head -1 "$into/USAGE.txt" | grep -qx "Quorin64 $version" || fail "usage text's version"
    same "$into/LICENSE" "$root/LICENSE" "LICENSE"
    same "$into/README.md" "$root/README.md" "README.md"
}

# The kit's sources and scripts, as the archive lists them.
mapfile -t kit < <(git -C "$root" ls-files kit | LC_ALL=C sort)

# Runs the release command into a folder; what it said goes to a file.
release() {
    QUORIN_DIST_DIR=$1 "$root/scripts/release.sh" > "$2" 2>&1 ||
        { cat "$2"; fail "scripts/release.sh failed"; }
}

if [ "$mode" = reproducible ]; then
    # The working tree's files, not only what is committed: what is tested
    # is what is about to be committed.
    files=$(cd "$root" && git ls-files --cached --others --exclude-standard)
    builds=("$work/a/Quorin64" "$work/second-build-in-a-longer-folder/Quorin64")
    for tree in "${builds[@]}"; do
        mkdir -p "$tree"
        (cd "$root" && printf '%s\n' "$files" | while read -r f; do
            [ -e "$f" ] && echo "$f"; done | tar -cf - -T -) | tar -xf - -C "$tree"
    done
    zone=(UTC Pacific/Kiritimati)
    mask=(0022 0077)
    for i in 0 1; do
        for target in x64 x86; do
            (cd "${builds[$i]}" && umask "${mask[$i]}" &&
                TZ=${zone[$i]} CMAKE_BUILD_PARALLEL_LEVEL=2 \
                cmake --workflow --preset "windows-$target" > "$work/build.log" 2>&1) ||
                { cat "$work/build.log"; fail "build $i of $target"; }
        done
    done
    for target in x64 x86; do
        first=${builds[0]}/build/windows-$target/Quorin64.exe
        second=${builds[1]}/build/windows-$target/Quorin64.exe
        built=$([ "$target" = x64 ] && echo "$x64_exe" || echo "$x86_exe")
        same "$first" "$second" "$target: the two fresh builds"
        same "$first" "$built" "$target: a fresh build and $built"
        "$checker" "$target" "$second" "$version" > /dev/null || fail "$target program checks"
        cmp -s "$first" "$second" &&
            echo "$target: $(sha256sum < "$first" | cut -d' ' -f1) (both builds)"
    done

    release "$work/dist1" "$work/release1.log"
    release "$work/dist2" "$work/release2.log"
    grep -q "^release: $work/dist1/Quorin64-$version.zip (unsigned" "$work/release1.log" ||
        fail "the release says: $(grep '^release' "$work/release1.log")"
    same "$work/dist1/Quorin64-$version.zip" "$work/dist2/Quorin64-$version.zip" \
        "two archives of the same tree"
    check_archive "$work/dist1/Quorin64-$version.zip" "$work/unpacked"
    same "$work/unpacked/x64/Quorin64.exe" "$x64_exe" "archived x64 program"
    same "$work/unpacked/x86/Quorin64.exe" "$x86_exe" "archived x86 program"
    same "$work/unpacked/x64/Quorin64Action.dll" "$(dirname "$x64_exe")/Quorin64Action.dll" \
        "archived custom-action DLL"
    # The unpacked kit on its own, from another folder (an unzip may drop
    # the modes): the check, the MSI (its program, its DLL, its WiX source)
    # and the NSIS setup, whose programs can only come from the archive.
    mkdir "$work/author"
    test_package=$root/build/test-package
    help=$(python3 "$work/unpacked/kit/check-package.py" --help)
    for option in arch inf hardware-id trust hardware-ids help; do
        grep -q -- "--$option" <<< "$help" || fail "check-package.py --help lacks --$option"; done
    (cd "$work/author" && python3 ../unpacked/kit/check-package.py \
        --trust "$test_package/trust.pem" "$test_package/package" > checked 2> err) ||
        fail "the kit's check-package.py: $(cat "$work/author/err")"
    grep -qx "signer: CN=Quorin64 test signer (valid .* root CN=Quorin64 test root)" "$work/author/checked" ||
        fail "the kit's check-package.py said: $(cat "$work/author/checked")"
    (cd "$work/author" && bash ../unpacked/kit/build-msi.sh --name "Author's pad" \
        --upgrade-code 7c0d1e2f-3a4b-4c5d-8e6f-a0b1c2d3e4f5 --version 1.2.3 \
        --trust "$test_package/trust.pem" "$test_package/package" > built 2> err) ||
        fail "the kit's build-msi.sh: $(cat "$work/author/err")"
    grep -qx "package: $work/author/Author's pad-1.2.3.msi" "$work/author/built" &&
        [ -s "$work/author/Author's pad-1.2.3.msi" ] ||
        fail "the kit's build-msi.sh said: $(cat "$work/author/built")"
    echo "kit: $(head -1 "$work/author/built")"
    (cd "$work/author" && makensis -V2 "-DQUORIN64_PACKAGE=$test_package/package" \
        -DQUORIN64_INF_NAME=talmerix.inf '-DHARDWARE_ID=USB\VID_1F3A&PID_0C21' \
        ../unpacked/kit/nsis/quorin64-setup.nsi > nsis.log 2>&1) &&
        [ -s "$work/unpacked/build/nsis/quorin64-setup.exe" ] ||
        fail "the kit's NSIS setup: $(cat "$work/author/nsis.log")"
    # An ID the package does not serve: the check stops the build.
    ! (cd "$work/author" && makensis -V2 "-DQUORIN64_PACKAGE=$test_package/package" \
        -DQUORIN64_INF_NAME=talmerix.inf '-DHARDWARE_ID=USB\VID_1F3A&PID_0C22' \
        -DQUORIN64_OUTFILE="$work/author/refused.exe" ../unpacked/kit/nsis/quorin64-setup.nsi \
        > nsis.log 2>&1) && grep -q '^check-package.py: --hardware-id' "$work/author/nsis.log" ||
        fail "the kit's NSIS setup with another ID: $(cat "$work/author/nsis.log")"
    echo "archive: $(sha256sum < "$work/dist1/Quorin64-$version.zip" | cut -d' ' -f1)"

elif [ "$mode" = signed ]; then
    helpers=$(realpath "$5")
    # A throwaway code-signing certificate, its key and password.
    printf 'throwaway password\n' > "$work/password"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quorin64 test signer" \
        -addext extendedKeyUsage=codeSigning -addext keyUsage=digitalSignature \
        -keyout "$work/key.pem" -out "$work/cert.pem" 2> "$work/openssl.log" ||
        { cat "$work/openssl.log"; exit 1; }
    openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.pfx" \
        -passout "file:$work/password"
    export QUORIN_SIGN_PFX=$work/cert.pfx QUORIN_SIGN_PASSWORD_FILE=$work/password
    release "$work/dist" "$work/release.log"
    grep -q "^release: .* (signed with .*Quorin64 test signer" "$work/release.log" ||
        fail "the release says: $(grep '^release' "$work/release.log")"
    check_archive "$work/dist/Quorin64-$version.zip" "$work/unpacked"
    for target in x64 x86; do
        program=$work/unpacked/$target/Quorin64.exe
        [ -f "$program" ] || continue
        osslsigncode verify -CAfile "$work/cert.pem" -in "$program" > "$work/verify.log" 2>&1 ||
            { cat "$work/verify.log"; fail "$target signature does not verify"; }
        "$checker" "$target" "$program" "$version" || fail "signed $target program checks"
    done
    osslsigncode verify -CAfile "$work/cert.pem" -in "$work/unpacked/x64/Quorin64Action.dll" \
        > "$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "DLL signature does not verify"; }

    # The signed programs under Wine: the suite's outcome cases, every exit
    # code through the test newdev.dll.
    for target in x64 x86; do
        python3 "$root/tests/wine/wine_suite.py" --target $target \
            --program "$work/unpacked/$target/Quorin64.exe" --helpers "$helpers" \
            --inf "$root/build/test-package/package/talmerix.inf" --work "$work/wine" all outcomes \
            > "$work/wine-$target.log" 2>&1 ||
            { cat "$work/wine-$target.log"; fail "signed $target program under Wine"; }
        echo "signed $target program under Wine: $(tail -1 "$work/wine-$target.log")"
    done
else
    echo "usage: $0 reproducible|signed VERSION X64_EXE X86_EXE [WINE_HELPERS]"
    exit 2
fi

[ "$failures" -eq 0 ] && echo "release $mode: passed"
[ "$failures" -eq 0 ]
