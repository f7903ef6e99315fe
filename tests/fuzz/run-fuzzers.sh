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
# FUZZ_PARALLEL targets run at the same time (default: one per core); FUZZ_JOBS > 1 gives each target
# that many worker processes instead (libFuzzer's -fork). A longer local run, an hour per target:
#   FUZZ_PARALLEL=1 FUZZ_JOBS=$(nproc) tests/fuzz/run-fuzzers.sh 3600
# To keep what a long run found, merge it into the seeds (only inputs that add coverage are taken):
#   build-fuzz/tests/fuzz/fuzz_plc_gates -merge=1 tests/fuzz/corpus/fuzz_plc_gates build-fuzz/fuzz-corpus/fuzz_plc_gates
set -eu

SECONDS_PER_TARGET=${1:-${FUZZ_SECONDS:-60}}
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${2:-$ROOT/build-fuzz}
[ $# -gt 2 ] && shift 2 || set --
TARGETS=${*:-"fuzz_dsf_receive fuzz_dsf_engine fuzz_dsf_parameters fuzz_init_file fuzz_plc_gates fuzz_sim_config fuzz_decode fuzz_pcapng"}
JOBS=${FUZZ_JOBS:-1}

if ! grep -q '^KESTA_FUZZ:BOOL=ON' "$BUILD/CMakeCache.txt" 2>/dev/null; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
        -DKESTA_FUZZ=ON -DKESTA_TESTS=OFF >/dev/null
fi
cmake --build "$BUILD" --target kesta_fuzzers

# Undefined behaviour stops the run like a crash does; so does a leak.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"

# One target: fuzz, then leave a line of figures (or the failure) in its .result file.
run_target() {
    target=$1
    exe="$BUILD/tests/fuzz/$target"
    result="$BUILD/fuzz-logs/$target.result"
    log="$BUILD/fuzz-logs/$target.log"
    if [ ! -x "$exe" ]; then
        echo "== $target: not built (its tool is missing from this tree)" >"$result"
        return 0
    fi
    work="$BUILD/fuzz-corpus/$target"
    artifacts="$BUILD/fuzz-artifacts/$target"
    mkdir -p "$work" "$artifacts"
    dict=""
    [ -f "$ROOT/tests/fuzz/dict/$target.dict" ] && dict="-dict=$ROOT/tests/fuzz/dict/$target.dict"
    fork=""
    [ "$JOBS" -gt 1 ] && fork="-fork=$JOBS"
    # shellcheck disable=SC2086 # dict and fork are one option or none
    if "$exe" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        $dict $fork -artifact_prefix="$artifacts/" "$work" "$ROOT/tests/fuzz/corpus/$target" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
        last=$(grep -E '^#[0-9]+' "$log" | tail -1)
        cov=$(echo "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
        corp=$(echo "$last" | sed -n 's/.*corp: \([^ ]*\).*/\1/p')
        echo "== $target: ok, $SECONDS_PER_TARGET s, ${runs:-?} runs, ${rate:-?}/s, coverage ${cov:-?} edges, corpus ${corp:-?}" >"$result"
    else
        { tail -40 "$log"; echo "== $target: FAILED (log $log, input in $artifacts)"; } >"$result"
    fi
}

# PARALLEL targets at a time, each for the whole of its seconds (default: one per core).
mkdir -p "$BUILD/fuzz-logs"
PARALLEL=${FUZZ_PARALLEL:-$(nproc 2>/dev/null || echo 1)}
echo "== fuzzing $SECONDS_PER_TARGET s per target, $PARALLEL at a time: $TARGETS"
status=0
set -- $TARGETS
while [ $# -gt 0 ]; do
    batch=""
    n=0
    while [ $# -gt 0 ] && [ $n -lt "$PARALLEL" ]; do
        batch="$batch $1"
        run_target "$1" &
        shift
        n=$((n + 1))
    done
    wait
    for target in $batch; do
        cat "$BUILD/fuzz-logs/$target.result"
        grep -q "FAILED" "$BUILD/fuzz-logs/$target.result" && status=1
    done
done
exit $status
