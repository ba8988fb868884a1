#!/usr/bin/env bash
# Installs a Release build into a temporary prefix and builds and runs a consumer
# project against it, through the CMake package (shared and static) and pkg-config.
#
#   scripts/check-install.sh [BUILD_DIR]   configures and builds the library there
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
        -DLAPI_BUILD_TESTS=OFF -DLAPI_BUILD_EXAMPLES=OFF -DLAPI_BUILD_SERVER=OFF >/dev/null
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

PKG_CONFIG_PATH=$prefix/lib/pkgconfig cmake -S "$top/tests/install/consumer" \
    -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer"
"$work/consumer/consumer_shared"
"$work/consumer/consumer_static"
LD_LIBRARY_PATH=$prefix/lib "$work/consumer/consumer_pkgconfig"
echo "install contract: ok"
