#!/bin/sh
# Bounded fuzzing of the message trace.
#
#   scripts/fuzz.sh [SECONDS]      (default 30)
#
# Builds the libFuzzer target trace_fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in its own build directory, then fuzzes
# LAPI_LogApMsg for SECONDS seconds starting from the saved corpus in
# fuzz/corpus/trace. New inputs go to a working corpus in the build directory,
# never into the saved one; a crashing input is written to the build
# directory's fuzz-artifacts/ and the script exits non-zero. Add such an input
# to fuzz/corpus/trace once the fault is fixed, so that every build replays it
# (test trace_fuzz_replay).
#
# Environment: LAPI_FUZZ_BUILD_DIR (default: build-fuzz in the source tree),
# CC and CXX (default: clang and clang++).
set -eu

seconds=${1:-30}
case $seconds in
    '' | *[!0-9]*)
        echo "usage: $0 [SECONDS]" >&2
        exit 2
        ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=${LAPI_FUZZ_BUILD_DIR:-$root/build-fuzz}

cmake -S "$root" -B "$build" \
    -DCMAKE_C_COMPILER="${CC:-clang}" -DCMAKE_CXX_COMPILER="${CXX:-clang++}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLAPI_BUILD_FUZZ=ON -DLAPI_BUILD_TESTS=OFF \
    -DLAPI_BUILD_SERVER=OFF -DLAPI_BUILD_EXAMPLES=OFF -DLAPI_BUILD_BENCH=OFF
cmake --build "$build" --target trace_fuzz -j2

work="$build/fuzz-corpus/trace"
artifacts="$build/fuzz-artifacts/"
mkdir -p "$work" "$artifacts"

# 3 bytes of side flag and length, then at most 300 message bytes.
status=0
"$build/fuzz/trace_fuzz" \
    -max_total_time="$seconds" -max_len=303 -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$artifacts" \
    "$work" "$root/fuzz/corpus/trace" || status=$?
if [ "$status" -ne 0 ]; then
    # The target silences standard error while it traces, so libFuzzer's own note
    # of where it saved the input may be lost; the sanitizer report is not.
    echo "trace_fuzz failed ($status); inputs saved in $artifacts:" >&2
    ls -l "$artifacts" >&2
fi
exit "$status"
