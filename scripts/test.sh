#!/usr/bin/env bash
# Builds and runs every test: a Release build, the same built with AddressSanitizer
# and UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer, the
# unit and socket tests cross-built for 32-bit ARM and run under qemu-arm, the install
# contract, and a short fuzzing run. Build trees go to build-ci/ (kept for reruns).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
out=${LAPI_TEST_OUT:-$top/build-ci}
mkdir -p "$out"
jobs=${LAPI_JOBS:-2}

"$top/scripts/install-deps.sh"

passed=0
failed=0
# Runs ctest in a build tree and adds its counts to the totals.
run_ctest() {
    local dir=$1
    shift
    local log=$dir/ctest.log
    local rc=0
    (cd "$dir" && ctest --output-on-failure -j"$jobs" "$@") 2>&1 | tee "$log" || rc=$?
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
    if [ -n "$line" ]; then
        local total nfail
        total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
        nfail=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
        passed=$((passed + total - nfail))
        failed=$((failed + nfail))
    elif [ "$rc" -ne 0 ]; then
        failed=$((failed + 1))
    fi
}

configure() {
    local dir=$1
    shift
    cmake -S "$top" -B "$dir" -G Ninja -DLAPI_WERROR=ON "$@" >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; exit 1; }
}

section() { printf '\n==== %s ====\n' "$*"; }

section "Release build (g++)"
configure "$out/release" -DCMAKE_BUILD_TYPE=Release -DLAPI_BUILD_BENCH=ON
cmake --build "$out/release" -j"$jobs"
run_ctest "$out/release"

section "Static checks: clang-format and clang-tidy on the library"
if git -C "$top" ls-files '*.c' '*.h' '*.cpp' | xargs clang-format --dry-run --Werror &&
    clang-tidy -p "$out/release" --quiet --warnings-as-errors='*' \
        lapi/lib/src/LAPI_SrvCli.cpp lapi/lib/src/LAPI_CLI_Global.cpp \
        lapi/lib/src/LAPI_CLI_Api.cpp; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
fi

section "AddressSanitizer + UndefinedBehaviorSanitizer (clang)"
CC=clang CXX=clang++ configure "$out/asan" -DCMAKE_BUILD_TYPE=Debug \
    -DLAPI_SANITIZE=address,undefined
cmake --build "$out/asan" -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LAPI_NUMFMT_COUNT=200000 run_ctest "$out/asan"

section "ThreadSanitizer: concurrency tests (clang)"
CC=clang CXX=clang++ configure "$out/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLAPI_SANITIZE=thread -DLAPI_BUILD_SERVER=OFF -DLAPI_BUILD_EXAMPLES=OFF
cmake --build "$out/tsan" -j"$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest "$out/tsan" -L concurrency

section "32-bit ARM cross build under qemu-arm: unit and socket tests"
configure "$out/arm" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchains/arm-linux-gnueabihf.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DLAPI_BUILD_SERVER=OFF -DLAPI_BUILD_EXAMPLES=OFF \
    -DLAPI_GTEST_SOURCE_DIR=/usr/src/googletest
cmake --build "$out/arm" -j"$jobs"
LAPI_NUMFMT_COUNT=100000 run_ctest "$out/arm" -L "unit|socket"

section "Install contract"
if "$top/scripts/check-install.sh" "$out/install"; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
fi

section "Fuzzing the trace (bounded)"
if LAPI_FUZZ_BUILD_DIR="$out/fuzz" "$top/scripts/fuzz.sh" 20; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
fi

section "Summary"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
