#!/usr/bin/env bash
# Builds what the benchmarks need and writes docs/performance.md.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps
for preset in host win64; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
done
python3 bench/run_benchmarks.py "$@"
