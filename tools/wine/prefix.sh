#!/usr/bin/env bash
# A headless Wine prefix for the Windows tests.
#   prefix.sh up DIR [SECONDS]   make the prefix at DIR if it is not there yet, and keep a
#                                wineserver running for it (for good, or until SECONDS idle)
#   prefix.sh down DIR           stop its wineserver and remove DIR
# Without a persistent wineserver every program waits about 3 s at exit for the server to
# go. Hidden windows need no X display: the prefix uses the null graphics driver.
# wine32 must be installed before a prefix is first made, or 64-bit programs stop loading.
set -euo pipefail

command=${1:-}
prefix=${2:-}
if [[ -z "$command" || -z "$prefix" ]]; then
    echo "usage: $0 up DIR [SECONDS] | down DIR" >&2
    exit 2
fi
prefix=$(realpath -m "$prefix")

export WINEPREFIX=$prefix
export WINEDEBUG=-all
# No Mono or Gecko install prompts.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

case "$command" in
    up)
        mkdir -p "$prefix"
        # A second server for the same prefix exits at once (status 2), which is fine. The
        # server must not hold the caller's output open: ctest reads it to the end.
        wineserver "-p${3:-}" </dev/null >/dev/null 2>&1 || true
        exec 9>"$prefix.lock"
        flock 9
        if [[ ! -f "$prefix/.vm-ready" ]]; then
            # Without the lock's descriptor: Wine's own services outlive this script.
            wineboot --init >/dev/null 2>&1 9>&-
            wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f \
                >/dev/null 9>&-
            touch "$prefix/.vm-ready"
        fi
        ;;
    down)
        if [[ -d "$prefix" ]]; then
            wineserver -k 2>/dev/null || true
            wineserver -w 2>/dev/null || true
            rm -rf "$prefix" "$prefix.lock"
        fi
        ;;
    *)
        echo "usage: $0 up DIR [SECONDS] | down DIR" >&2
        exit 2
        ;;
esac
