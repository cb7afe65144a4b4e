#!/usr/bin/env bash
# Builds both Windows programs and the example Windows Installer package's
# custom-action DLL (installing what is missing) and says where they are and
# how large they are; then makes the test driver package (INF, driver,
# catalog signed with a throwaway certificate) in build/test-package.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/prerequisites.sh
for target in x64 x86; do
    cmake --workflow --preset "windows-$target" > "build-windows-$target.log" 2>&1 ||
        { cat "build-windows-$target.log"; exit 1; }
    rm -f "build-windows-$target.log"
done
for target in x64 x86; do
    program="build/windows-$target/Quorin64.exe"
    printf '%s program: %s (%s bytes)\n' "$target" "$PWD/$program" "$(stat -c %s "$program")"
done
action=build/windows-x64/Quorin64Action.dll
printf 'x64 custom-action DLL: %s (%s bytes)\n' "$PWD/$action" "$(stat -c %s "$action")"
python3 tests/kit/package_maker.py test-package build/test-package > /dev/null
printf 'test driver package: %s (its root certificate: %s)\n' "$PWD/build/test-package/package" \
    "$PWD/build/test-package/trust.pem"
