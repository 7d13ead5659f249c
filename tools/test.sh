#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the format check, all tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the threaded tests under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh
tools/check-format.sh

stage() {
    local preset=$1
    local started=$SECONDS
    echo "=== $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    echo "=== $preset: test"
    ctest --preset "$preset"
    echo "=== $preset: done in $((SECONDS - started)) s"
}

stage asan
stage tsan
