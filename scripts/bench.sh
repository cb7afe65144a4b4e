#!/usr/bin/env bash
# Builds what the benchmarks need and prints their table: the sweep under
# Wine against reg delete, per-key cost on the simulated layer, and sizes.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
cmake --build build/windows-x64 --target QuorinMinimal > /dev/null
cmake --preset bench > /dev/null
cmake --build --preset bench --target sweep_cost -j "$(nproc)" > /dev/null
python3 bench/run_benchmarks.py
python3 bench/check_package_bench.py
