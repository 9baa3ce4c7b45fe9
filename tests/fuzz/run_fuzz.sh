#!/usr/bin/env bash
# run_fuzz.sh FUZZER WORKDIR SECONDS: a bounded fuzzing run, seeded from the
# machine files and the kept regression inputs; fails on any finding.
set -euo pipefail
fuzzer=$1 work=$2 seconds=$3
here=$(cd "$(dirname "$0")" && pwd)

rm -rf "$work"
mkdir -p "$work/corpus" "$work/seeds" "$work/artifacts"
python3 "$here/seed_corpus.py" "$work/seeds" "$here"/../fixtures/*.json

# New inputs go to the scratch corpus; the regression inputs in
# tests/fuzz/corpus are read, never written.
"$fuzzer" -max_total_time="$seconds" -timeout=10 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "$here/corpus" "$work/seeds"
