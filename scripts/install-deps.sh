#!/usr/bin/env bash
# Installs the Debian packages that building and running the project need, when any is
# missing; with --tests also those that the tests add (GoogleTest and Google Benchmark,
# clang and its sanitizer runtimes, the 32-bit ARM cross compiler and qemu, man-db for
# the manual page check). Runs apt-get only when needed.
#
#   scripts/install-deps.sh [--tests]
set -euo pipefail
packages=(
    cmake ninja-build g++ pkgconf python3
    libsqlite3-dev libgeographiclib-dev libcli11-dev libgps-dev gpsd libedit-dev
)
case "${1:-}" in
    "") ;;
    --tests)
        packages+=(
            clang libclang-rt-14-dev
            libgtest-dev libgmock-dev googletest libbenchmark-dev man-db
            g++-arm-linux-gnueabihf qemu-user
        )
        ;;
    *)
        echo "usage: $0 [--tests]" >&2
        exit 2
        ;;
esac
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
