#!/usr/bin/env bash
# The main job: builds the release (without test dependencies), installs it into a local
# tree with its own registry files and runtime directory, and runs the watchdog service in
# the foreground against the built-in BMC simulator with the shortest valid settings.
set -euo pipefail

seconds=30
demo="$PWD/ktl-demo"
usage() {
    cat <<USAGE
Usage: tools/run.sh [--seconds N] [--dir DIR]

Runs jovxwdt --foreground for N seconds (default 30) or until Ctrl-C, against the built-in
BMC simulator, on a local install tree in DIR (default: ktl-demo in the current directory),
which also receives the service's trace and log files.
USAGE
}
while (($# > 0)); do
    case "$1" in
        --seconds) seconds="${2:?--seconds needs a number}"; shift 2 ;;
        --seconds=*) seconds="${1#*=}"; shift ;;
        --dir) demo="${2:?--dir needs a folder}"; shift 2 ;;
        --dir=*) demo="${1#*=}"; shift ;;
        -h | --help) usage; exit 0 ;;
        *) echo "unknown argument: $1" >&2; usage >&2; exit 2 ;;
    esac
done
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "--seconds needs a whole number above 0" >&2; exit 2; }
mkdir -p "$demo"
demo="$(cd "$demo" && pwd)"
cd "$(dirname "$0")/.."
repo="$PWD"

tools/install-deps.sh --build-only
cmake --preset release >/dev/null
# Quiet unless the build fails.
if ! cmake --build --preset release >build/release/build.log 2>&1; then
    cat build/release/build.log
    echo "the build failed (log: build/release/build.log)" >&2
    exit 1
fi

rm -rf "${demo:?}/opt" "$demo/registry" "$demo/run"
mkdir -p "$demo/registry" "$demo/run"
chmod 755 "$demo/run"
export VARMOTH_REGISTRY="$demo/registry" VARMOTH_RUNTIME_DIR="$demo/run"
cmake --install build/release --prefix "$demo/opt" >/dev/null

# The shortest valid settings: countdown 60 s, 10 resets per countdown. The service raises
# the countdown until ten resets are each at least MinimumInterval (15 s) apart: 150 s.
cat >"$demo/opt/ktl-or/cnf/jowdtcfg.xml" <<XML
<config>
  <TimeoutInterval>60</TimeoutInterval>
  <IntervalCount>10</IntervalCount>
  <MinimumInterval>15</MinimumInterval>
  <ErrorWatching>TRUE</ErrorWatching>
  <TimeoutAction>NMI</TimeoutAction>
</config>
XML
cat >"$demo/registry/registry.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\VARMOTH\KTL-OR]
"IpmiTransport"="simulator"
REG

echo
echo "Installed into $demo/opt (registry: $demo/registry, runtime: $demo/run)."
echo "Running the service for ${seconds} s; Ctrl-C stops it earlier, stopping the timer first."
echo
status=0
"$demo/opt/ktl-or/bin/jovxwdt" --foreground --run-seconds "$seconds" |
    (trap "" INT; tee "$demo/service-output.txt") ||
    status=${PIPESTATUS[0]}

cat <<NEXT

Next steps
  A real BMC: load the IPMI driver (modprobe ipmi_devintf ipmi_si), then as root
    $demo/opt/ktl-or/bin/jovxwdt --status --transport device --device /dev/ipmi0
    $demo/opt/ktl-or/bin/jovxwdt --foreground --transport device --device /dev/ipmi0
  (or put "IpmiTransport"="device" and "IpmiDevice"="/dev/ipmi0" into the registry file).
  As a service, from the Debian package (enabled at once; started where /dev/ipmi0 exists):
    (cd $repo/build/release && cpack -G DEB)
    sudo apt-get install $repo/build/release/package/varmoth-ktl_*_amd64.deb
    systemctl status qktlor; sudo systemctl reload qktlor   # re-reads the settings
  (or without the package: sudo cmake --install $repo/build/release, then
   sudo systemctl link /opt/varmoth/lib/systemd/system/qktlor.service; sudo systemctl enable --now qktlor)

NEXT
# The line that matters, last: what the watchdog did.
summary=$(grep '^Summary:' "$demo/service-output.txt" || true)
if ((status == 0)); then
    echo "${summary:-The service ended without a summary.} Output: $demo"
else
    echo "The service failed (exit $status)${summary:+; $summary} Output: $demo" >&2
fi
exit "$status"
