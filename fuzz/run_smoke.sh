#!/usr/bin/env bash
# Runs one fuzz target over its seed corpus for a fixed number of inputs, with a fixed random
# seed. Inputs the fuzzer finds go to a scratch directory, so the seeds in the repository stay
# as they are. Fails on any crash, leak, sanitizer report or time-out.
#   run_smoke.sh TARGET SEED_DIR SCRATCH_DIR RUNS
set -euo pipefail
target=$1
seeds=$2
scratch=$3
runs=$4
rm -rf "$scratch"
mkdir -p "$scratch" "$seeds"
exec "$target" -runs="$runs" -seed=1 -timeout=60 -print_final_stats=1 \
  -artifact_prefix="$scratch/" "$scratch" "$seeds"
