#!/usr/bin/env bash
# Runs a Windows program under Wine; the cross toolchains make ctest start every test
# through this script. It uses $WINEPREFIX when set (tools/test.sh makes a fresh one); else
# a per-user prefix that is made on first use and whose server stops a minute after the
# last test.
set -euo pipefail

if [[ -z "${WINEPREFIX:-}" ]]; then
    export WINEPREFIX="${TMPDIR:-/tmp}/varmoth-wine-$(id -u)"
    "$(dirname "$0")/prefix.sh" up "$WINEPREFIX" 60
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export GTEST_COLOR=no
unset DISPLAY WAYLAND_DISPLAY
# Wine's own services, started by the first program that needs them, inherit its output and
# outlive it; with ctest's pipe they would keep ctest waiting until the server goes. They
# get a file instead, which is shown once the program has ended.
output=$(mktemp)
trap 'rm -f "$output"' EXIT
status=0
wine "$@" >"$output" 2>&1 || status=$?
cat "$output"
exit "$status"
