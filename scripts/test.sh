#!/usr/bin/env bash
# Runs every test: installs what is missing, builds both Windows programs
# and the logic on the simulated Windows layer (with AddressSanitizer and
# UndefinedBehaviorSanitizer), then runs CTest, both real programs under
# Wine included (label "wine"; the x86 one and both programs' example setups
# in the 32-bit Wine root, built here on the first run); then the tests under
# valgrind and the fuzz targets' smoke runs; last the README's first command,
# scripts/demo.sh, which fails when a program does not install the driver or
# leaves the stale instance.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
kit/lib/wine32.sh setup
cmake --preset host > /dev/null
cmake --build --preset host -j "$(nproc)"
ctest --preset host

# The unit, bad-input and fault-loop tests again without sanitizers, under
# valgrind's memcheck.
cmake --preset host-plain > /dev/null
cmake --build --preset host-plain -j "$(nproc)" --target unit_tests_x64 unit_tests_x86 \
    bad_input_tests_x64 bad_input_tests_x86 fault_tests_x64 fault_tests_x86
ctest --preset memcheck -j "$(nproc)"

# The fuzz targets (clang): the seed corpus and a fixed number of inputs.
cmake --preset fuzz > /dev/null
cmake --build --preset fuzz -j "$(nproc)"
ctest --preset fuzz -j "$(nproc)"

# The demonstration, as a new user runs it.
scripts/demo.sh
