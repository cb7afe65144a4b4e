#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those
# that are missing, and Inno Setup's compiler from npm when it is missing.
# Safe to run again and again.
set -euo pipefail
cd "$(dirname "$0")/.."

# nsis: makensis builds the example NSIS setup; mmdebstrap builds the 32-bit
# Wine root of kit/lib/wine32.sh, gcc its high-linked loader; xvfb and
# xdotool give the Inno Setup setups the display they need and dismiss the
# x86 program's message box there.
packages=(cmake g++ gcc make libgtest-dev g++-mingw-w64-x86-64 g++-mingw-w64-i686
          binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine wine64 clang
          libclang-rt-14-dev valgrind python3 nsis mmdebstrap xvfb xdotool)
packages+=(osslsigncode openssl)  # signing releases, and its test
packages+=(wixl msitools)  # build the example Windows Installer package (kit/msi)
# npm fetches Inno Setup's compiler; a Node.js from elsewhere may bring its own.
command -v npm > /dev/null || packages+=(npm)

. kit/lib/packages.sh
mapfile -t missing < <(packages_missing "${packages[@]}")
packages_install "${missing[@]}"

# Inno Setup's compiler, exactly the version and bytes package-lock.json
# names; downloaded once.
if [ ! -f tools/innosetup/node_modules/innosetup/bin/ISCC.exe ]; then
    echo "Installing Inno Setup's compiler (npm ci in tools/innosetup)"
    (cd tools/innosetup && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
fi
