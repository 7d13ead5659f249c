#!/usr/bin/env bash
# Checks the Debian packages that `cpack -G DEB` made in BUILD_DIR/package: the file lists
# (every deliverable, nothing else), the conffiles, the maintainer scripts, stripped binaries
# with their symbols in the dbgsym package, the unit, lintian's tags against
# packaging/debian/lintian-tags, a run of the unpacked service against the built-in BMC
# simulator, an install and purge with dpkg into a throw-away root, and the manifest of a
# plain `cmake --install`.
#
#   packaging/debian/check-package.sh BUILD_DIR
set -euo pipefail
# With pipefail, `producer | grep -q` fails whenever grep stops reading before the producer
# has written everything (SIGPIPE): piped matches read all their input instead.

[[ $# -eq 1 ]] || { sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "$1")
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$build/package/varmoth-ktl_${version}-1_amd64.deb
dev=$build/package/varmoth-ktl-dev_${version}-1_amd64.deb
dbgsym=$build/package/varmoth-ktl-dbgsym_${version}-1_amd64.ddeb
work=$(mktemp -d)
service_pid=
cleanup() {
    [[ -n $service_pid ]] && kill -9 "$service_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# Compares a list with the expected one; prints the difference.
same_list() {
    local what=$1 expected=$2 actual=$3
    if ! diff -u <(sort <<<"$expected") <(sort <<<"$actual") >"$work/diff"; then
        fail "$what differs from the expected list (- expected, + found):"
        sed -n '3,$p' "$work/diff" | grep '^[-+]' >&2
    fi
}
files_of() { dpkg-deb -c "$1" | awk '{ print $6 }' | sed 's|^\.||;s|/$||' | grep -v '^$'; }

for file in "$deb" "$dev" "$dbgsym"; do
    [[ -f $file ]] || { echo "missing: $file (cpack -G DEB in $build)" >&2; exit 1; }
done

echo "--- file lists"
same_list "varmoth-ktl's files" "$(cat <<'LIST'
/etc
/etc/varmoth
/etc/varmoth/registry.d
/etc/varmoth/registry.d/varmoth-ktl-or.reg
/etc/varmoth/registry.d/varmoth-ktl-pv.reg
/lib
/lib/systemd
/lib/systemd/system
/lib/systemd/system/jovaprvd.service
/lib/systemd/system/qktlor.service
/opt
/opt/varmoth
/opt/varmoth/ktl-or
/opt/varmoth/ktl-or/bin
/opt/varmoth/ktl-or/bin/jovxwdt
/opt/varmoth/ktl-or/bin/ktlortail
/opt/varmoth/ktl-or/cnf
/opt/varmoth/ktl-or/cnf/jowdtcfg.xml
/opt/varmoth/ktl-or/cnf/jowdtcns.xml
/opt/varmoth/ktl-or/cnf/jowdtdef.xml
/opt/varmoth/ktl-or/lib
/opt/varmoth/ktl-or/lib/libzuno2KTLORLIBsys_x64.so
/opt/varmoth/ktl-or/lib/libzuno2KTLORLIBt_x64.so
/opt/varmoth/ktl-or/lib/libzuno2KTLORLIBtrap_x64.so
/opt/varmoth/ktl-or/log
/opt/varmoth/ktl-pv
/opt/varmoth/ktl-pv/bin
/opt/varmoth/ktl-pv/bin/jovaprv
/opt/varmoth/ktl-pv/bin/jovaprvd
/opt/varmoth/ktl-pv/cnf
/opt/varmoth/ktl-pv/cnf/jovacnsw.xml
/opt/varmoth/ktl-pv/lib
/opt/varmoth/ktl-pv/lib/libjovacfg.so
/usr
/usr/share
/usr/share/doc
/usr/share/doc/varmoth-ktl
/usr/share/doc/varmoth-ktl/changelog.Debian.gz
/usr/share/doc/varmoth-ktl/copyright
/usr/share/dbus-1
/usr/share/dbus-1/system-services
/usr/share/dbus-1/system-services/com.varmoth.KTLPV.service
/usr/share/dbus-1/system.d
/usr/share/dbus-1/system.d/com.varmoth.KTLPV.conf
/usr/share/man
/usr/share/man/man1
/usr/share/man/man1/ktlortail.1.gz
/usr/share/man/man8
/usr/share/man/man8/jovxwdt.8.gz
/var
/var/lib
/var/lib/varmoth
LIST
)" "$(files_of "$deb")"
same_list "varmoth-ktl-dev's files" "/opt
/opt/varmoth
/opt/varmoth/include
/opt/varmoth/include/jovacfg.h
/opt/varmoth/include/ktlorsym_syslog.h
/opt/varmoth/include/ktlorsym_reader.h
/opt/varmoth/include/ktlorsym_trace.h
/usr
/usr/share
/usr/share/doc
/usr/share/doc/varmoth-ktl-dev
/usr/share/doc/varmoth-ktl-dev/changelog.Debian.gz
/usr/share/doc/varmoth-ktl-dev/copyright" "$(files_of "$dev")"
# Owned by root, and nothing that names the build tree.
if dpkg-deb -c "$deb" | awk '$2 != "root/root"' | grep . >/dev/null; then
    fail "files not owned by root/root"
fi

echo "--- control: conffiles, maintainer scripts, fields"
mkdir -p "$work/control"
dpkg-deb -e "$deb" "$work/control"
same_list "conffiles" "/etc/varmoth/registry.d/varmoth-ktl-or.reg
/etc/varmoth/registry.d/varmoth-ktl-pv.reg
/opt/varmoth/ktl-or/cnf/jowdtcfg.xml
/opt/varmoth/ktl-or/cnf/jowdtdef.xml
/opt/varmoth/ktl-or/cnf/jowdtcns.xml
/opt/varmoth/ktl-pv/cnf/jovacnsw.xml" "$(cat "$work/control/conffiles")"
for script in postinst prerm postrm; do
    [[ -x $work/control/$script ]] || fail "$script is missing or not executable"
    sh -n "$work/control/$script" || fail "$script: shell syntax"
done
grep -q 'dev/ipmi0' "$work/control/postinst" || fail "postinst does not check /dev/ipmi0"
grep -q 'stop qktlor.service' "$work/control/prerm" || fail "prerm does not stop the service"
grep -q 'registry.reg' "$work/control/postrm" || fail "postrm does not remove the registry file"
[[ $(dpkg-deb -f "$deb" Architecture) == amd64 ]] || fail "not amd64"
dpkg-deb -f "$deb" Depends | grep libc6 >/dev/null || fail "Depends lacks the shared libraries' packages"

echo "--- stripped, with the symbols in the dbgsym package"
root=$work/root
dpkg-deb -x "$deb" "$root"
mkdir -p "$work/dbgsym"
dpkg-deb -x "$dbgsym" "$work/dbgsym"
for elf in opt/varmoth/ktl-or/bin/jovxwdt opt/varmoth/ktl-or/bin/ktlortail \
    opt/varmoth/ktl-or/lib/libzuno2KTLORLIBsys_x64.so opt/varmoth/ktl-or/lib/libzuno2KTLORLIBt_x64.so \
    opt/varmoth/ktl-or/lib/libzuno2KTLORLIBtrap_x64.so opt/varmoth/ktl-pv/lib/libjovacfg.so \
    opt/varmoth/ktl-pv/bin/jovaprv opt/varmoth/ktl-pv/bin/jovaprvd; do
    [[ -f $root/$elf ]] || continue
    if readelf -S "$root/$elf" | grep -E '\.debug_info|\.symtab' >/dev/null; then
        fail "$elf is not stripped"
    fi
    id=$(readelf -n "$root/$elf" 2>/dev/null | sed -n 's/.*Build ID: //p')
    debug=$work/dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
    if [[ -z $id || ! -f $debug ]] || ! readelf -S "$debug" 2>/dev/null | grep '\.debug_info' >/dev/null; then
        fail "$elf: no debug symbols in the dbgsym package"
    fi
done

echo "--- units"
# Verified on this machine's units, with the programs taken from the unpacked tree; any
# complaint counts, since unknown keys are only warned about.
grep -qx 'ExecStart=/opt/varmoth/ktl-or/bin/jovxwdt' "$root/lib/systemd/system/qktlor.service" ||
    fail "the unit does not start /opt/varmoth/ktl-or/bin/jovxwdt"
for name in qktlor jovaprvd; do
    sed "s|/opt/varmoth/|$root/opt/varmoth/|" "$root/lib/systemd/system/$name.service" \
        >"$work/$name.service"
    if ! systemd-analyze verify --man=no "$work/$name.service" >"$work/verify" 2>&1 ||
        [[ -s $work/verify ]]; then
        cat "$work/verify" >&2
        fail "systemd-analyze verify $name.service"
    fi
done

echo "--- lintian"
lintian --no-tag-display-limit "$deb" "$dev" >"$work/lintian" 2>&1 || true
found=$(sed -n 's/^[EWIPX]: \([^:]*\)[^:]*: \([^ ]*\).*/\1 \2/p' "$work/lintian" | sort -u)
expected=$(sed 's/#.*//' "$here/lintian-tags" | awk 'NF { print $1, $2 }' | sort -u)
if [[ $found != "$expected" ]]; then
    cat "$work/lintian" >&2
    same_list "lintian's tags (packaging/debian/lintian-tags)" "$expected" "$found"
fi

echo "--- the unpacked service against the built-in BMC simulator"
failures_before_run=$failures
for program in ktl-or/bin/jovxwdt ktl-or/bin/ktlortail ktl-pv/bin/jovaprv ktl-pv/bin/jovaprvd; do
    reported=$("$root/opt/varmoth/$program" --version 2>&1) || true
    [[ $reported == *" $version" ]] ||
        fail "${program##*/} --version says \"$reported\", the package is $version"
done
# The drop-ins point at /opt/varmoth; here they point into the unpacked tree.
registry=$work/registry
mkdir -p "$registry/registry.d" "$work/run"
chmod 755 "$work/run"
for drop_in in "$root"/etc/varmoth/registry.d/*.reg; do
    sed "s|\"/opt/varmoth/|\"$root/opt/varmoth/|" "$drop_in" >"$registry/registry.d/${drop_in##*/}"
done
printf 'Windows Registry Editor Version 5.00\n' >"$registry/registry.reg"
# The shortest valid settings (a reset every 15 s), 20 times faster: a reset every 0.75 s.
cat >"$root/opt/varmoth/ktl-or/cnf/jowdtcfg.xml" <<XML
<config>
  <TimeoutInterval>60</TimeoutInterval>
  <IntervalCount>10</IntervalCount>
  <MinimumInterval>15</MinimumInterval>
  <ErrorWatching>TRUE</ErrorWatching>
  <TimeoutAction>NMI</TimeoutAction>
</config>
XML
env -u NOTIFY_SOCKET VARMOTH_REGISTRY="$registry" VARMOTH_RUNTIME_DIR="$work/run" \
    VARMOTH_SYSLOG_SOCKET="$work/syslog" JOVXWDT_TEST_CLOCK_SPEEDUP=20 \
    "$root/opt/varmoth/ktl-or/bin/jovxwdt" --foreground --transport simulator --run-seconds 3 \
    >"$work/service.out" 2>&1 &
service_pid=$!
for ((waited = 0; waited < 20; waited++)); do
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.5
done
if kill -0 "$service_pid" 2>/dev/null; then
    fail "the service did not stop by itself within 10 s"
    kill -9 "$service_pid"
fi
status=0
wait "$service_pid" || status=$?
service_pid=
[[ $status -eq 0 ]] || fail "the service ended with $status"
grep -q 'armed: countdown 150 s' "$work/service.out" || fail "the service did not arm the timer"
[[ $(grep -c 'Reset Watchdog Timer .*answer: 00 (ok)' "$work/service.out") -ge 2 ]] ||
    fail "the service did not reset the timer at least twice"
grep -q 'the timer is stopped' "$work/service.out" || fail "the service did not stop the timer"
ls "$root"/opt/varmoth/ktl-or/log/jovxwdt* >/dev/null 2>&1 ||
    fail "no trace file in the unpacked tree's log directory"
# The provider lists the service as a component out of the box.
env VARMOTH_REGISTRY="$registry" "$root/opt/varmoth/ktl-pv/bin/jovaprv" list >"$work/list.out" 2>&1 ||
    fail "jovaprv list failed"
grep -q '<name>Orvalis</name>' "$work/list.out" || fail "jovaprv list does not name the service"
if ((failures > failures_before_run)); then
    cat "$work/service.out" "$work/list.out" >&2
fi

echo "--- dpkg: install and purge in a throw-away root"
# The maintainer scripts run on this machine with DPKG_ROOT set; they leave the service
# manager alone then. The libraries the package depends on are this machine's.
target=$work/target
mkdir -p "$target/var/lib/dpkg/updates" "$target/var/lib/dpkg/info"
touch "$target/var/lib/dpkg/status" "$target/var/lib/dpkg/available"
dpkg_root=(dpkg --root="$target" --force-script-chrootless --force-depends --force-not-root
           --log=/dev/null)
if ! "${dpkg_root[@]}" -i "$deb" >"$work/dpkg" 2>&1; then
    cat "$work/dpkg" >&2
    fail "dpkg --install"
else
    [[ -x $target/opt/varmoth/ktl-or/bin/jovxwdt ]] || fail "dpkg did not install jovxwdt"
    echo changed >>"$target/opt/varmoth/ktl-or/cnf/jowdtcfg.xml"
    echo '"x"="y"' >"$target/var/lib/varmoth/registry.reg"
    echo trace >"$target/opt/varmoth/ktl-or/log/jovxwdt.log"
    # What a change through the provider leaves beside the value file.
    : >"$target/opt/varmoth/ktl-or/cnf/jowdtcfg.lck"
    cp "$target/opt/varmoth/ktl-or/cnf/jowdtcfg.xml" "$target/opt/varmoth/ktl-or/cnf/jowdtcfg.old"
    "${dpkg_root[@]}" -r varmoth-ktl >>"$work/dpkg" 2>&1 || fail "dpkg --remove"
    # Remove keeps the edited settings and what the programs wrote; purge takes it all.
    [[ -f $target/opt/varmoth/ktl-or/cnf/jowdtcfg.xml ]] || fail "remove took an edited conffile"
    [[ -f $target/var/lib/varmoth/registry.reg ]] || fail "remove took the registry file"
    "${dpkg_root[@]}" -P varmoth-ktl >>"$work/dpkg" 2>&1 || fail "dpkg --purge"
    left=$(cd "$target" && find . -mindepth 1 -not -path './var/lib/dpkg*' -not -path ./var/lib \
        -not -path ./var | sed 's|^\.||')
    [[ -z $left ]] || fail "purge left: $left"
fi

echo "--- cmake --install: the manifest lists every file written"
tree=$work/tree
DESTDIR=$tree VARMOTH_REGISTRY=/etc/varmoth cmake --install "$build" --prefix /opt/varmoth >/dev/null
same_list "install_manifest.txt" "$(cd "$tree" && find . -type f | sed 's|^\.||')" \
    "$(cat "$build/install_manifest.txt")"

if ((failures > 0)); then
    echo "package checks: $failures failed" >&2
    exit 1
fi
echo "package checks: passed ($deb)"
