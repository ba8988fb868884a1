#!/usr/bin/env bash
# Builds and runs every test: a Release build, the same built with AddressSanitizer
# and UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer, the
# unit and socket tests cross-built for 32-bit ARM and run under qemu-arm, the install
# contract, and a short fuzzing run. Build trees go to build-ci/ (kept for reruns).
#
# Every section runs whatever happened before it: a build that fails counts as one
# failure and the script goes on. Test counts come from ctest's JUnit report; a
# skipped test counts as a failure (a test runs or is not built). The last line is
# "N passed, M failed"; the exit status is non-zero when M is not 0.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
out=${LAPI_TEST_OUT:-$top/build-ci}
mkdir -p "$out"
jobs=${LAPI_JOBS:-2}

"$top/scripts/install-deps.sh" --tests || exit 1

passed=0
failed=0
timings=()
section_name=""
section_start=0

section() {
    end_section
    section_name=$*
    section_start=$SECONDS
    printf '\n==== %s ====\n' "$section_name"
}
end_section() {
    if [ -n "$section_name" ]; then
        local took=$((SECONDS - section_start))
        printf -- '---- %s: %d s\n' "$section_name" "$took"
        timings+=("$(printf '%4d s  %s' "$took" "$section_name")")
    fi
    section_name=""
}
pass() { passed=$((passed + 1)); }
fail() {
    failed=$((failed + 1))
    echo "FAILED: $*"
}

# configure DIR ARGS...: a CMake configure whose log is shown only when it fails.
configure() {
    local dir=$1
    shift
    mkdir -p "$dir"
    cmake -S "$top" -B "$dir" -G Ninja -DLAPI_WERROR=ON "$@" >"$dir.configure.log" 2>&1 && return 0
    cat "$dir.configure.log"
    return 1
}
build() { cmake --build "$1" -j"$jobs"; }

# run_ctest DIR ARGS...: runs ctest and adds the counts of its JUnit report.
run_ctest() {
    local dir=$1
    shift
    local junit=$dir/ctest-junit.xml
    rm -f "$junit"
    local rc=0
    (cd "$dir" && ctest --output-on-failure --no-tests=error -j"$jobs" \
        --output-junit "$junit" "$@") || rc=$?
    local counts
    counts=$(python3 - "$junit" <<'EOF' 2>/dev/null
import sys
import xml.etree.ElementTree as ET
s = ET.parse(sys.argv[1]).getroot()
n, f, k = (int(s.get(a, "0") or 0) for a in ("tests", "failures", "skipped"))
print(n - f - k, f + k)
EOF
    ) || counts=""
    if [ -z "$counts" ]; then
        fail "ctest in $dir ended with status $rc and no JUnit report"
        return
    fi
    local np nf
    read -r np nf <<<"$counts"
    if [ "$rc" -ne 0 ] && [ "$nf" -eq 0 ]; then
        nf=1  # ctest failed without a failing test: count the run itself
    fi
    passed=$((passed + np))
    failed=$((failed + nf))
}

# build_and_test NAME DIR CONFIGURE_ARGS... -- CTEST_ARGS...
build_and_test() {
    local name=$1 dir=$2
    shift 2
    local cargs=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
        cargs+=("$1")
        shift
    done
    [ $# -gt 0 ] && shift
    if configure "$dir" "${cargs[@]}" && build "$dir"; then
        run_ctest "$dir" "$@"
    else
        fail "$name build"
    fi
}

section "Release build (g++)"
build_and_test release "$out/release" -DCMAKE_BUILD_TYPE=Release -DLAPI_BUILD_BENCH=ON

section "Static checks: clang-format everywhere, clang-tidy on the library, lapid and lapictl"
# Each product folder has its .clang-tidy; every source is checked with the Release
# build's compile commands, one clang-tidy per core.
if git -C "$top" ls-files '*.c' '*.h' '*.cpp' | xargs clang-format --dry-run --Werror &&
    git -C "$top" ls-files 'lapi/lib/src/*.cpp' 'server/*.cpp' 'tools/lapictl/src/*.cpp' \
        'tools/manpage/*.cpp' |
    xargs -P "$(nproc)" -n 1 clang-tidy -p "$out/release" --quiet --warnings-as-errors='*' \
        >"$out/clang-tidy.log" 2>&1; then
    pass
else
    grep -E "warning:|error:" "$out/clang-tidy.log" | head -40
    fail "static checks"
fi

section "Install contract and manual pages"
if LAPI_INSTALL_FROM="$out/release" "$top/scripts/check-install.sh"; then
    pass
else
    fail "install contract"
fi

section "AddressSanitizer + UndefinedBehaviorSanitizer (clang)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1
CC=clang CXX=clang++ LAPI_NUMFMT_COUNT=200000 build_and_test asan "$out/asan" \
    -DCMAKE_BUILD_TYPE=Debug -DLAPI_SANITIZE=address,undefined
unset ASAN_OPTIONS UBSAN_OPTIONS

section "ThreadSanitizer: concurrency tests (clang)"
CC=clang CXX=clang++ TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    build_and_test tsan "$out/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLAPI_SANITIZE=thread -DLAPI_BUILD_SERVER=OFF -DLAPI_BUILD_EXAMPLES=OFF -- -L concurrency

section "32-bit ARM cross build under qemu-arm: unit and socket tests"
LAPI_NUMFMT_COUNT=100000 build_and_test arm "$out/arm" \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchains/arm-linux-gnueabihf.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DLAPI_BUILD_SERVER=OFF -DLAPI_BUILD_EXAMPLES=OFF \
    -DLAPI_GTEST_SOURCE_DIR=/usr/src/googletest -- -L "unit|socket"

section "Fuzzing the trace, the library's receive side and lapid's input (bounded)"
# Seven seconds for each of the three targets.
if LAPI_FUZZ_BUILD_DIR="$out/fuzz" "$top/scripts/fuzz.sh" 7; then
    pass
else
    fail "fuzzing"
fi

end_section
echo
echo "==== Summary ===="
printf '%s\n' "${timings[@]}"
printf '%4d s  in all\n' "$SECONDS"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
