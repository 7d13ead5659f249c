#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the format check, all tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, a short, fixed run of every fuzz target, the watchdog scenarios in a
# virtual machine with an emulated BMC, and the Windows builds (x64 optimised as it ships,
# and x86 for the libraries that ship in 32 bits) with their tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

# --no-e2e leaves out the watchdog scenarios in a virtual machine, for a quick local run;
# --linux leaves out the Windows builds and their tests under Wine.
e2e=true
windows=true
for option in "$@"; do
    case "$option" in
        --no-e2e) e2e=false ;;
        --linux) windows=false ;;
        *) echo "unknown option: $option (known: --no-e2e, --linux)" >&2; exit 2 ;;
    esac
done

if $windows; then
    tools/install-deps.sh --windows --vm --package
else
    tools/install-deps.sh --vm --package
fi
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

# Each fuzz target runs a fixed number of inputs grown from its seed corpus; what it finds
# goes to a scratch corpus in the build tree, never into the seeds.
run_fuzzer() {
    local target=$1 seeds=tools/fuzz/corpus/$2 runs=$3
    local scratch=build/fuzz/corpus/$target
    rm -rf "$scratch"
    mkdir -p "$scratch"
    echo "--- $target: $runs runs"
    if ! "build/fuzz/tools/fuzz/$target" -runs="$runs" -seed=1 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$scratch" "$seeds" >"build/fuzz/$target.log" 2>&1; then
        tail -n 60 "build/fuzz/$target.log"
        return 1
    fi
    grep -E "^(Done|stat::number_of_executed_units)" "build/fuzz/$target.log"
}

fuzz_stage() {
    local started=$SECONDS
    echo "=== fuzz: configure and build"
    cmake --preset fuzz >/dev/null
    cmake --build --preset fuzz
    echo "=== fuzz: run"
    run_fuzzer fuzz_settings_documents documents 50000
    run_fuzzer fuzz_settings_value_text value_text 1000000
    run_fuzzer fuzz_settings_store_values values 30000
    echo "=== fuzz: done in $((SECONDS - started)) s"
}

# The Debian packages from the release build, and their checks (packaging/debian).
package_stage() {
    local started=$SECONDS
    echo "=== package: release build, cpack -G DEB, checks"
    cmake --preset release >/dev/null
    cmake --build --preset release
    if ! (cd build/release && cpack -G DEB) >build/release/cpack.log 2>&1; then
        cat build/release/cpack.log
        return 1
    fi
    packaging/debian/check-package.sh build/release
    echo "=== package: done in $((SECONDS - started)) s"
}

# The Windows tests run in a fresh, headless Wine prefix with one persistent wineserver,
# both gone when this script ends.
windows_stages() {
    local started=$SECONDS
    wine_root=$(mktemp -d)
    export WINEPREFIX=$wine_root/prefix
    trap 'tools/wine/prefix.sh down "$WINEPREFIX"; rm -rf "$wine_root"' EXIT
    tools/wine/prefix.sh up "$WINEPREFIX"
    echo "=== wine prefix: made in $((SECONDS - started)) s"
    # x64 optimised as it ships, so that the tests run the code that is delivered.
    stage mingw64-release
    stage mingw32
}

stage asan
stage tsan
fuzz_stage
package_stage
if $e2e; then
    # The real service against QEMU's emulated BMC, three virtual machines at a time, on
    # the release build the package stage made.
    stage e2e
else
    echo "=== e2e: left out (--no-e2e)"
fi
if $windows; then
    windows_stages
else
    echo "=== windows: left out (--linux)"
fi
