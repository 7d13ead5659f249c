#!/usr/bin/env bash
# Runs one watchdog scenario in a small virtual machine whose BMC is QEMU's emulated one,
# reached by the guest kernel's own IPMI driver, with the real jovxwdt on /dev/ipmi0.
#
#   tools/e2e/watchdog-vm.sh SCENARIO BUILD_DIR [WORK_DIR]
#
# Scenarios: healthy, frozen, killed, stop, reload, powerdown. BUILD_DIR is a configured and
# built tree (jovxwdt and the settings store); the guest gets what `cmake --install` lays out.
# The serial console (with host time stamps) and the service's trace file are kept in
# WORK_DIR; on failure their last lines are printed. Exit 0 when the scenario held.
set -euo pipefail

usage() { sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; }
if [[ $# -lt 2 || $1 == --help ]]; then
    usage
    [[ ${1:-} == --help ]] && exit 0 || exit 2
fi
scenario=$1
build=$(realpath "$2")
work=${3:-$(mktemp -d)}
case $scenario in
    healthy | frozen | killed | stop | reload | powerdown) ;;
    *) echo "unknown scenario: $scenario" >&2; usage >&2; exit 2 ;;
esac
for tool in qemu-system-x86_64 busybox cpio; do
    command -v "$tool" >/dev/null || { echo "missing: $tool (tools/install-deps.sh --vm)" >&2; exit 1; }
done
kernel=$(find /boot -maxdepth 1 -name 'vmlinuz-*' | sort -V | tail -n 1)
[[ -n $kernel ]] || { echo "missing: a kernel in /boot (linux-image-amd64)" >&2; exit 1; }
modules=/lib/modules/${kernel#/boot/vmlinuz-}/kernel/drivers/char/ipmi

# Guest time limits (seconds of host time; the emulated BMC counts in host time too).
countdown=60
resets=4
interval=$((countdown / resets))
# A boot takes 10 s on a quiet machine and over a minute on a busy one.
case $scenario in
    healthy) limit=420 ;;
    stop) limit=380 ;;
    *) limit=330 ;;
esac

root=$work/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,run/varmoth,lib/modules}
# One install at a time: scenarios run side by side, and the install stages the registry
# drop-ins in the build tree.
DESTDIR=$root VARMOTH_REGISTRY=/etc/varmoth flock "$build/.e2e-install.lock" \
    cmake --install "$build" --prefix /opt/varmoth >/dev/null
service=$root/opt/varmoth/ktl-or/bin/jovxwdt
[[ -x $service ]] || { echo "jovxwdt is not in the install tree of $build" >&2; exit 1; }
cp /usr/bin/busybox "$root/bin/"
for module in ipmi_msghandler ipmi_devintf ipmi_si; do cp "$modules/$module.ko" "$root/lib/modules/"; done
# The program's shared libraries, where the guest's loader looks for them.
ldd "$service" | awk '/=> \// { print $3 } /^\t\/lib/ { print $1 }' | while read -r lib; do
    cp -L --parents "$lib" "$root"
done

# The shortest valid countdown. A reset interval may not be shorter than the shortest
# MinimumInterval (15 s), so 60 s take four resets.
action=HardReset
[[ $scenario == powerdown ]] && action=PowerDown
cat >"$root/opt/varmoth/ktl-or/cnf/jowdtcfg.xml" <<XML
<config>
  <LogLevel>20</LogLevel>
  <LogSize>1</LogSize>
  <LogPages>2</LogPages>
  <LogName>jovxwdt</LogName>
  <ErrorWatching>TRUE</ErrorWatching>
  <TimeoutAction>$action</TimeoutAction>
  <TimeoutInterval>$countdown</TimeoutInterval>
  <IntervalCount>$resets</IntervalCount>
  <ShorteningCount>2</ShorteningCount>
  <MinimumInterval>15</MinimumInterval>
  <RetryInterval>60</RetryInterval>
  <MaximumRetryTime>15</MaximumRetryTime>
</config>
XML
cat >"$root/etc/varmoth/registry.d/zz-e2e.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\VARMOTH\KTL-OR]
"IpmiTransport"="device"
REG

cat >"$root/init" <<'GUEST'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
mkdir -p /dev/shm; mount -t tmpfs shm /dev/shm
export PATH=/bin:/opt/varmoth/ktl-or/bin
say() { echo "GUEST $(cut -d' ' -f1 /proc/uptime) $*"; }
for m in ipmi_msghandler ipmi_devintf ipmi_si; do insmod /lib/modules/$m.ko; done
for i in $(seq 1 60); do [ -e /dev/ipmi0 ] && break; sleep 1; done
scenario=$(sed -n 's/.*scenario=\([a-z]*\).*/\1/p' /proc/cmdline)
status() { jovxwdt --status --transport device 2>&1 | sed 's/^/GUEST-STATUS /'; }
present() { jovxwdt --status --transport device 2>/dev/null | sed -n 's/Present countdown: *\([0-9]*\).*/\1/p'; }
# What the service printed and the end of its trace file, for a failure to be understood.
dump() {
    sed 's/^/GUEST-OUT /' /tmp/console.txt 2>/dev/null | tail -n 30
    for f in /opt/varmoth/ktl-or/log/jovxwdt*; do tail -n 20 "$f" 2>/dev/null | sed 's/^/GUEST-TRACE /'; done
}
finish() { dump; say "END $*"; sync; poweroff -f; }

# After a reset by the BMC the expiration flag is still set: report it and end.
if jovxwdt --status --transport device 2>/dev/null | grep -q 'Expiration flags: *0x1'; then
    say "BOOT AFTER WATCHDOG RESET"; status; finish "after reset"
fi
say "BOOT scenario=$scenario"
trace=/opt/varmoth/ktl-or/log/jovxwdt
jovxwdt --foreground --transport device >/tmp/console.txt 2>&1 &
pid=$!
sleep 12
say "SERVICE pid=$pid"; status
case $scenario in
    healthy)
        # CPU time (clock ticks) and context switches of all its threads, steady state only.
        sample() {
            echo "$(awk '{print $14 + $15}' /proc/$pid/stat) $(cat /proc/$pid/task/*/status |
                awk '/ctxt_switches/ {n += $2} END {print n}') $(cut -d' ' -f1 /proc/uptime)"
        }
        first=$(sample)
        for i in $(seq 1 20); do sleep 10; say "PRESENT $(present)"; done
        say "SAMPLES $first $(sample)"
        kill -TERM $pid; wait $pid; say "EXIT $?"; finish healthy ;;
    frozen | powerdown) say "FREEZE"; kill -STOP $pid; dump; sleep 600 ;;
    killed) say "FREEZE"; kill -9 $pid; dump; sleep 600 ;;
    stop)
        kill -TERM $pid; wait $pid; say "EXIT $?"; status
        sleep 125; say "STILL UP"; status; finish stop ;;
    reload)
        sed -i 's|<TimeoutInterval>60<|<TimeoutInterval>90<|' /opt/varmoth/ktl-or/cnf/jowdtcfg.xml
        kill -HUP $pid; sleep 10; status
        sleep 70; say "STILL UP"; kill -TERM $pid; wait $pid; finish reload ;;
esac
finish "unexpected"
GUEST
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1) >"$work/initrd.gz"
rm -rf "$root"

console=$work/console.log
: >"$console"
# Each console line with the host's time, so that freeze-to-reset can be measured.
set +e
timeout "$limit" qemu-system-x86_64 -accel tcg -m 256 -nographic -monitor none -serial stdio \
    -kernel "$kernel" -initrd "$work/initrd.gz" -append "console=ttyS0 panic=1 quiet scenario=$scenario" \
    -nic none -device ipmi-bmc-sim,id=bmc0 -device isa-ipmi-kcs,bmc=bmc0 </dev/null 2>&1 |
    while IFS= read -r line; do printf '%s %s\n' "$(date +%s.%N | cut -c1-14)" "${line%$'\r'}"; done >>"$console"
qemu_status=${PIPESTATUS[0]}
qemu_ended=$(date +%s.%N | cut -c1-14)
set -e

fail() {
    echo "FAIL ($scenario): $*"
    echo "--- last console lines ($console)"
    tail -n 40 "$console"
    exit 1
}
line_time() { grep -m1 -- "$1" "$console" | cut -d' ' -f1; }
boots=$(grep -c 'SeaBIOS (version' "$console" || true)
echo "scenario $scenario: $boots boot(s), qemu exit $qemu_status"

case $scenario in
    healthy)
        grep -q 'END healthy' "$console" || fail "the guest did not finish"
        ((boots == 1)) || fail "the guest was reset"
        minimum=$(grep ' PRESENT ' "$console" | awk '{print $NF}' | sort -n | head -n 1)
        echo "lowest present countdown: $minimum s (bound: $((countdown - interval - 3)) s)"
        ((minimum >= countdown - interval - 3)) || fail "the countdown fell to $minimum s"
        # ticks, switches and uptime at the start and the end of the 200 s; Linux reports
        # process times in 100 ticks a second on x86.
        hz=100
        read -r t0 w0 u0 t1 w1 u1 < <(grep -m1 ' SAMPLES ' "$console" | awk '{print $5, $6, $7, $8, $9, $10}')
        echo "service over $(echo "$u1 - $u0" | bc) s of guest time: CPU $(echo "scale=2; ($t1 - $t0) / $hz" | bc) s," \
            "$((w1 - w0)) context switches of its threads ($((countdown / interval)) resets a countdown)" ;;
    frozen | killed)
        ((boots >= 2)) || fail "no reset after the service stopped resetting"
        grep -q 'BOOT AFTER WATCHDOG RESET' "$console" || fail "the expiration flag was not seen after the reset"
        frozen=$(line_time FREEZE)
        reset=$(grep 'SeaBIOS (version' "$console" | sed -n 2p | cut -d' ' -f1)
        echo "freeze to reset: $(echo "$reset - $frozen" | bc) s (bound: $countdown s, at most $interval s less since the last reset, + margin)"
        (($(echo "$reset - $frozen < $countdown + 15" | bc))) || fail "the reset came too late"
        (($(echo "$reset - $frozen > $countdown - $interval - 5" | bc))) || fail "the reset came too early" ;;
    stop)
        grep -q 'END stop' "$console" || fail "the guest did not finish"
        ((boots == 1)) || fail "the guest was reset after a clean stop"
        grep -q 'EXIT 0' "$console" || fail "the service did not exit 0"
        grep -q 'GUEST-STATUS Watchdog timer is: *stopped' "$console" || fail "the timer was not stopped" ;;
    reload)
        grep -q 'END reload' "$console" || fail "the guest did not finish"
        ((boots == 1)) || fail "the guest was reset during the reload"
        grep -q 'GUEST-STATUS Initial countdown: *90' "$console" || fail "the new countdown was not armed" ;;
    powerdown)
        ((boots == 1)) || fail "the guest was reset instead of powered down"
        grep -q 'END' "$console" && fail "the guest ended by itself"
        frozen=$(line_time FREEZE)
        ((qemu_status == 0)) || fail "QEMU did not power off (exit $qemu_status)"
        echo "freeze to power down: $(echo "$qemu_ended - $frozen" | bc) s (bound: $countdown s + margin)"
        (($(echo "$qemu_ended - $frozen < $countdown + 15" | bc))) || fail "the power down came too late" ;;
esac
rm -f "$work/initrd.gz"
echo "PASS ($scenario)"
