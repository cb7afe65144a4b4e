#!/usr/bin/env bash
# Runs every test: installs what is missing, builds both Windows programs
# and the logic on the simulated Windows layer (with AddressSanitizer and
# UndefinedBehaviorSanitizer), then runs CTest, the real x64 program under
# Wine included (label "wine").
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
cmake --preset host > /dev/null
cmake --build --preset host -j "$(nproc)"
ctest --preset host
