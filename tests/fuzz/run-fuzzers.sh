#!/bin/sh
# Builds the Net2000 stack's libFuzzer targets with clang and runs each one for a while over its seed
# corpus. New inputs go to the build directory, never into the repository's corpus; a crash leaves
# its input under <build>/fuzz-artifacts/<target>/ and makes the script fail.
#
#   tests/fuzz/run-fuzzers.sh [seconds per target, default 60] [build directory, default build-fuzz]
set -eu

SECONDS_PER_TARGET=${1:-60}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${2:-$ROOT/build-fuzz}
TARGETS="fuzz_dsf_receive fuzz_dsf_engine fuzz_dsf_parameters"

cmake -S "$ROOT" -B "$BUILD" -G Ninja \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTA_FUZZ=ON -DKESTA_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target kesta_fuzzers

# Undefined behaviour stops the run like a crash does.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"

status=0
for target in $TARGETS; do
    work="$BUILD/fuzz-corpus/$target"
    artifacts="$BUILD/fuzz-artifacts/$target"
    mkdir -p "$work" "$artifacts"
    echo "== $target: $SECONDS_PER_TARGET s"
    if ! "$BUILD/tests/fuzz/$target" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$work" "$ROOT/tests/fuzz/corpus/$target"; then
        echo "== $target FAILED (input in $artifacts)"
        status=1
    fi
done
exit $status
