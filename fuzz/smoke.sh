#!/usr/bin/env bash
# Runs a fuzz target over the seed corpus and then for a fixed number of
# inputs: smoke.sh <fuzz target> <seed corpus> <scratch folder> <runs>
set -euo pipefail
target=$1 corpus=$2 scratch=$3 runs=$4
rm -rf "$scratch"
mkdir -p "$scratch"
exec "$target" -seed=1 -runs="$runs" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$scratch/" "$scratch" "$corpus"
