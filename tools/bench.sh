#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks and runs them beside their peers, then
# gathers their comparisons into one table. Extra arguments go to the Google Benchmark
# programs' growth cases (for example --benchmark_repetitions=5).
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh --bench
cmake --preset bench >/dev/null
cmake --build --preset bench
output=$(mktemp)
trap 'rm -f "$output"' EXIT
for program in build/bench/bench/*_bench; do
    echo "=== $program"
    case "$program" in
        *settings_store_read_bench) "$program" "$@" ;;
        *) "$program" ;;
    esac | tee -a "$output" | grep -v '^summary'
done

# Ratios are medians of per-round ratios (quartiles in brackets): above 1 means ours is
# faster. The machine's load goes with them, as a busy machine moves them.
echo
echo "=== summary ($(date -u '+%Y-%m-%d %H:%M UTC'); load average$(cut -d' ' -f1-3 /proc/loadavg | sed 's/^/ /'); $(nproc) cores)"
{
    printf 'measure\tours\tpeer\tratio (q1-q3)\ttarget\tholds?\n'
    grep '^summary' "$output" | cut -f2-
} | column -t -s $'\t'
