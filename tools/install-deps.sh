#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail

# What the build needs; the tests and tools add the rest unless --build-only is given.
packages=(cmake ninja-build g++ pkg-config libsystemd-dev)
test_packages=(clang clang-format libclang-rt-14-dev googletest libgtest-dev libgmock-dev
               libbenchmark-dev
               dbus-daemon systemd libglib2.0-bin)
build_only=false
arguments="$*"
windows=false
for option in "$@"; do
    case "$option" in
        --build-only) build_only=true ;;
        --bench) packages+=(libspdlog-dev libtinyxml2-dev) ;;
        # The Debian package and its checks: cpack's shared-library dependencies and debug
        # symbols, lintian, the unit's verification.
        --package) packages+=(dpkg-dev file binutils lintian systemd) ;;
        # The watchdog scenarios: a guest kernel with its IPMI modules, QEMU's emulated BMC,
        # and busybox for the guest's tools.
        --vm) packages+=(qemu-system-x86 linux-image-amd64 busybox-static cpio bc) ;;
        # Windows cross builds and Wine to run their tests. wine32 comes in the same install
        # as the rest, before any Wine prefix is made: a prefix made without it stops
        # loading 64-bit programs once it arrives.
        --windows)
            windows=true
            packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64
                       wine32:i386)
            ;;
        *) echo "unknown option: $option" >&2; exit 2 ;;
    esac
done

if ! $build_only; then
    packages+=("${test_packages[@]}")
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} > 0)); then
    sudo_cmd=()
    if [[ $(id -u) -ne 0 ]]; then
        if ! command -v sudo >/dev/null; then
            echo "Missing packages (${missing[*]}) and no sudo: run $0${arguments:+ $arguments} as root." >&2
            exit 1
        fi
        sudo_cmd=(sudo)
    fi
    echo "installing: ${missing[*]}"
    if $windows && ! dpkg --print-foreign-architectures | grep -qx i386; then
        "${sudo_cmd[@]}" dpkg --add-architecture i386
    fi
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
