#!/usr/bin/env bash
# Installs a Release build into a temporary prefix and builds and runs a C consumer
# project against it, through the CMake package (shared and static) and pkg-config
# (shared, and `pkg-config --static` for a static program). When the tree has lapid and
# lapictl, also checks their install: programs, manual pages that man reads without a
# warning, and a service unit that starts the installed lapid.
#
#   scripts/check-install.sh [BUILD_DIR]   configures and builds the library, lapid and
#                                          lapictl there
#   LAPI_INSTALL_FROM=DIR scripts/check-install.sh   installs an existing Release tree
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-install}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ -n "${LAPI_INSTALL_FROM:-}" ]; then
    build=$LAPI_INSTALL_FROM
else
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DLAPI_BUILD_TESTS=OFF -DLAPI_BUILD_EXAMPLES=OFF >/dev/null
    cmake --build "$build" -j2
fi
cmake --install "$build" --prefix "$work/prefix" >/dev/null

prefix=$work/prefix
for f in lib/liblapi.so lib/liblapi.a include/lapi/lapi.h lib/pkgconfig/lapi.pc \
         lib/cmake/lapi/lapiConfig.cmake lib/cmake/lapi/lapiConfigVersion.cmake; do
    [ -e "$prefix/$f" ] || { echo "install: missing $f"; exit 1; }
done
soname=$(readelf -d "$prefix/lib/liblapi.so" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "liblapi.so.1" ] || { echo "install: SONAME is '$soname'"; exit 1; }
[ -L "$prefix/lib/liblapi.so" ] && [ -e "$prefix/lib/liblapi.so.1" ] ||
    { echo "install: versioned library links missing"; exit 1; }

if grep -q '^LAPI_BUILD_SERVER:BOOL=ON' "$build/CMakeCache.txt"; then
    for f in bin/lapid bin/lapictl share/man/man8/lapid.8 share/man/man1/lapictl.1 \
             lib/systemd/system/lapid.service lib/systemd/system/lapid.socket; do
        [ -e "$prefix/$f" ] || { echo "install: missing $f"; exit 1; }
    done
    grep -q "^ExecStart=$prefix/bin/lapid " "$prefix/lib/systemd/system/lapid.service" ||
        { echo "install: lapid.service does not start $prefix/bin/lapid"; exit 1; }
    for page in share/man/man8/lapid.8 share/man/man1/lapictl.1; do
        warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
            man --warnings -E UTF-8 -l "$prefix/$page" 2>&1 >/dev/null) || true
        [ -z "$warnings" ] || { echo "install: man $page: $warnings"; exit 1; }
    done
fi

PKG_CONFIG_PATH=$prefix/lib/pkgconfig cmake -S "$top/tests/install/consumer" \
    -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer"
"$work/consumer/consumer_shared"
"$work/consumer/consumer_static"
LD_LIBRARY_PATH=$prefix/lib "$work/consumer/consumer_pkgconfig"
"$work/consumer/consumer_pkgconfig_static"
echo "install contract: ok"
