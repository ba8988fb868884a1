#!/bin/sh
# Bounded fuzzing of the message trace, the library's receive side and lapid's input.
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]   (default: 30 seconds for each target)
#
# TARGET is one of trace_fuzz, client_receive_fuzz and lapid_input_fuzz (default: all
# three, one after another). Builds the libFuzzer targets with clang
# (AddressSanitizer and UndefinedBehaviorSanitizer) in their own build directory,
# then fuzzes each for SECONDS seconds starting from its saved corpus in
# fuzz/corpus/<name> (trace, client_receive, lapid_input). New inputs go to a
# working corpus in the build directory, never into the saved one; a failing input
# is written to the build directory's fuzz-artifacts/ and the script exits non-zero.
# Add such an input to the saved corpus once the fault is fixed, so that every build
# replays it (tests trace_fuzz_replay, client_receive_fuzz_replay and
# lapid_input_fuzz_replay).
#
# Environment: LAPI_FUZZ_BUILD_DIR (default: build-fuzz in the source tree),
# CC and CXX (default: clang and clang++), LAPI_FUZZ_FLAGS (more libFuzzer flags,
# e.g. -runs=10000000).
set -eu

seconds=${1:-30}
case $seconds in
    '' | *[!0-9]*)
        echo "usage: $0 [SECONDS [TARGET...]]" >&2
        exit 2
        ;;
esac
[ $# -gt 0 ] && shift
[ $# -gt 0 ] || set -- trace_fuzz client_receive_fuzz lapid_input_fuzz

root=$(cd "$(dirname "$0")/.." && pwd)
build=${LAPI_FUZZ_BUILD_DIR:-$root/build-fuzz}

cmake -S "$root" -B "$build" \
    -DCMAKE_C_COMPILER="${CC:-clang}" -DCMAKE_CXX_COMPILER="${CXX:-clang++}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLAPI_SANITIZE=address,undefined \
    -DLAPI_BUILD_FUZZ=ON -DLAPI_BUILD_TESTS=OFF \
    -DLAPI_BUILD_SERVER=ON -DLAPI_BUILD_EXAMPLES=OFF -DLAPI_BUILD_BENCH=OFF
cmake --build "$build" --target "$@" -j2

artifacts="$build/fuzz-artifacts/"
mkdir -p "$artifacts"
status=0
for target in "$@"; do
    case $target in
        trace_fuzz) corpus=trace max_len=303 ;;  # side flag, length, at most 300 bytes
        client_receive_fuzz) corpus=client_receive max_len=1024 ;;
        lapid_input_fuzz) corpus=lapid_input max_len=384 ;;
        *)
            echo "$0: unknown target $target" >&2
            exit 2
            ;;
    esac
    work="$build/fuzz-corpus/$corpus"
    mkdir -p "$work"
    # shellcheck disable=SC2086 # LAPI_FUZZ_FLAGS is a list of flags
    "$build/fuzz/$target" \
        -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=1024 \
        -print_final_stats=1 -artifact_prefix="$artifacts" ${LAPI_FUZZ_FLAGS:-} \
        "$work" "$root/fuzz/corpus/$corpus" || status=$?
    if [ "$status" -ne 0 ]; then
        # The targets keep their diagnostics from standard error, so libFuzzer's own
        # note of where it saved the input may be lost; the sanitizer report is not.
        echo "$target failed ($status); inputs saved in $artifacts:" >&2
        ls -l "$artifacts" >&2
        exit "$status"
    fi
done
