#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks and runs them beside their peers.
# Extra arguments go to every benchmark program (for example --benchmark_repetitions=5).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh --bench
cmake --preset bench >/dev/null
cmake --build --preset bench
for program in build/bench/bench/*_bench; do
    echo "=== $program"
    "$program" "$@"
done
