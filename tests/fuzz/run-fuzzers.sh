#!/bin/sh
# Builds the libFuzzer targets with clang and runs each one for a while over its seed corpus (with its
# dictionary from dict/, if there is one). New inputs go to the build directory, never into the
# repository's corpus; a crash leaves its input under <build>/fuzz-artifacts/<target>/ and makes the
# script fail. Prints one line of figures per target (runs, runs per second, coverage, corpus).
#
#   tests/fuzz/run-fuzzers.sh [seconds per target] [build directory, default build-fuzz] [target...]
#
# Seconds per target: the first argument, else FUZZ_SECONDS, else 60. Targets: all, unless named.
# A build directory that is already configured (KESTA_FUZZ=ON, clang) is only built, not reconfigured,
# so the test suite can share it (tools/test-all.sh does).
#
# A longer local run, say an hour per target on every core:
#   FUZZ_JOBS=$(nproc) tests/fuzz/run-fuzzers.sh 3600
# To keep what a long run found, merge it into the seeds (only inputs that add coverage are taken):
#   build-fuzz/tests/fuzz/fuzz_plc_gates -merge=1 tests/fuzz/corpus/fuzz_plc_gates build-fuzz/fuzz-corpus/fuzz_plc_gates
set -eu

SECONDS_PER_TARGET=${1:-${FUZZ_SECONDS:-60}}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${2:-$ROOT/build-fuzz}
[ $# -gt 2 ] && shift 2 || set --
TARGETS=${*:-"fuzz_dsf_receive fuzz_dsf_engine fuzz_dsf_parameters fuzz_init_file fuzz_plc_gates fuzz_sim_config fuzz_decode"}
JOBS=${FUZZ_JOBS:-1}

if ! grep -q '^KESTA_FUZZ:BOOL=ON' "$BUILD/CMakeCache.txt" 2>/dev/null; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKESTA_FUZZ=ON -DKESTA_TESTS=OFF >/dev/null
fi
cmake --build "$BUILD" --target kesta_fuzzers

# Undefined behaviour stops the run like a crash does; so does a leak.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"

status=0
for target in $TARGETS; do
    exe="$BUILD/tests/fuzz/$target"
    if [ ! -x "$exe" ]; then
        echo "== $target: not built (its tool is missing from this tree)"
        continue
    fi
    work="$BUILD/fuzz-corpus/$target"
    artifacts="$BUILD/fuzz-artifacts/$target"
    log="$BUILD/fuzz-logs/$target.log"
    mkdir -p "$work" "$artifacts" "$(dirname "$log")"
    dict=""
    [ -f "$ROOT/tests/fuzz/dict/$target.dict" ] && dict="-dict=$ROOT/tests/fuzz/dict/$target.dict"
    parallel=""
    [ "$JOBS" -gt 1 ] && parallel="-fork=$JOBS"
    echo "== $target: $SECONDS_PER_TARGET s"
    # shellcheck disable=SC2086 # dict and parallel are one option or none
    if "$exe" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        $dict $parallel -artifact_prefix="$artifacts/" "$work" "$ROOT/tests/fuzz/corpus/$target" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
        last=$(grep -E '^#[0-9]+' "$log" | tail -1)
        cov=$(echo "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
        corp=$(echo "$last" | sed -n 's/.*corp: \([^ ]*\).*/\1/p')
        echo "   ok: ${runs:-?} runs, ${rate:-?}/s, coverage ${cov:-?} edges, corpus ${corp:-?}"
    else
        tail -40 "$log"
        echo "== $target FAILED (log $log, input in $artifacts)"
        status=1
    fi
done
exit $status
