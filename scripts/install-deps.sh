#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with, when any is
# missing. Runs apt-get only when needed.
set -euo pipefail
packages=(
    cmake ninja-build g++ clang libclang-rt-14-dev pkgconf python3
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    libsqlite3-dev libgeographiclib-dev libcli11-dev libgps-dev gpsd libedit-dev man-db
    g++-arm-linux-gnueabihf qemu-user
)
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
