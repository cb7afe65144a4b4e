#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those
# that are missing. Safe to run again and again.
set -euo pipefail

# nsis: makensis builds the example setup; mmdebstrap builds the 32-bit Wine
# root of scripts/wine32.sh.
packages=(cmake g++ make libgtest-dev g++-mingw-w64-x86-64 g++-mingw-w64-i686
          binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine64 clang
          libclang-rt-14-dev valgrind python3 nsis mmdebstrap)
packages+=(osslsigncode openssl)  # signing releases, and its test

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
        --no-install-recommends "${missing[@]}"
fi
