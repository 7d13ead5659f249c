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
exec wine "$@"
