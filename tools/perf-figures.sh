#!/usr/bin/env bash
# Prints every performance figure of the driver in one table: the Net2000 stack in memory (bench_dsf)
# and the driver end to end through KviMain against the station simulator on a pty (bench_wire), each
# figure beside its reference measured in the same run, as a ratio.
# Usage: tools/perf-figures.sh [--quick] [--build DIR] [--compare DIR]
#   --quick        short runs (CI): a fraction of a second per figure
# Fails when a benchmark fails: a request that allocates after warm-up, a read that fails, or an
# end-to-end rate below a quarter of the wire limit (an exchange that waits for the read time-out).
#   --build DIR    build folder (default build-perf), configured Release with -DKESTA_BENCH=ON and built
#   --compare DIR  also run DIR/bench/bench_wire (an earlier build of the driver) right after this one's,
#                  its rows marked "before"
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build-perf
COMPARE=
QUICK=0
while [[ $# -gt 0 ]]; do
    case $1 in
    --quick) QUICK=1 ;;
    --build) BUILD=$2; shift ;;
    --compare) COMPARE=$2; shift ;;
    *) echo "usage: $0 [--quick] [--build DIR] [--compare DIR]" >&2; exit 2 ;;
    esac
    shift
done

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTA_BENCH=ON >/dev/null || exit 1
cmake --build "$BUILD" --target bench_dsf bench_wire >/dev/null || { echo "build failed" >&2; exit 1; }

if [[ $QUICK -eq 1 ]]; then
    DSF_ARGS=(--benchmark_min_time=0.02)
    WIRE_ARGS=(--quick --floor 0.25)
else
    DSF_ARGS=(--benchmark_min_time=0.5)
    WIRE_ARGS=(--floor 0.25)
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
rc=0
"$BUILD/bench/bench_dsf" "${DSF_ARGS[@]}" --benchmark_color=false >"$scratch/dsf.txt" 2>&1 || rc=1
(cd "$scratch" && "$BUILD/bench/bench_wire" "${WIRE_ARGS[@]}") >"$scratch/wire.txt" 2>&1 || rc=1
if [[ -n $COMPARE ]]; then
    (cd "$scratch" && "$COMPARE/bench/bench_wire" "${WIRE_ARGS[@]}") >"$scratch/before.txt" 2>&1 || true
fi

cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo 2>/dev/null)
echo "KESTA performance figures, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "machine: $(nproc) cores, ${cpu:-unknown CPU}, $(uname -sr), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| figure | measured | reference (same run) | ratio |"
echo "|---|---:|---|---:|"
grep -E '^(\||#)' "$scratch/dsf.txt"
grep -E '^(\||#)' "$scratch/wire.txt"
if [[ -n $COMPARE ]]; then
    echo "# before: $COMPARE, run right after the rows above"
    grep -E '^\|' "$scratch/before.txt" | sed 's/^| /| before: /'
fi
if [[ $rc -ne 0 ]]; then
    echo
    echo "a benchmark failed; its output:" >&2
    cat "$scratch/dsf.txt" "$scratch/wire.txt" | grep -v '^\[' | tail -40 >&2
fi
exit $rc
