#!/usr/bin/env bash
# Prints every performance figure of the driver in one table: the Net2000 stack in memory (bench_dsf)
# and the driver end to end through KviMain against the station simulator on a pty (bench_wire), each
# figure beside its reference measured in the same run, as a ratio; grouped reads (READ_GROUP_MS 1)
# beside the same poll cycle without the key.
# Usage: tools/perf-figures.sh [--quick] [--rounds N] [--build DIR] [--compare DIR]
#   --quick        short runs (CI): a fraction of a second per figure
#   --rounds N     run the end-to-end program N times (alternating with --compare's) and keep each
#                  rate's best round: the machine's other load only ever slows a round down
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
ROUNDS=1
while [[ $# -gt 0 ]]; do
    case $1 in
    --quick) QUICK=1 ;;
    --rounds) ROUNDS=$2; shift ;;
    --build) BUILD=$2; shift ;;
    --compare) COMPARE=$2; shift ;;
    *) echo "usage: $0 [--quick] [--rounds N] [--build DIR] [--compare DIR]" >&2; exit 2 ;;
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
# With --compare the two programs take turns, first one then the other leading, so that a change of
# the machine's load favours neither.
run_before() {
    [[ -n $COMPARE ]] && (cd "$scratch" && "$COMPARE/bench/bench_wire" "${WIRE_ARGS[@]}") >"$scratch/before.$1" 2>&1
    return 0
}
for ((round = 1; round <= ROUNDS; round++)); do
    [[ $((round % 2)) -eq 0 ]] && run_before "$round"
    (cd "$scratch" && "$BUILD/bench/bench_wire" "${WIRE_ARGS[@]}") >"$scratch/wire.$round" 2>&1 || rc=1
    [[ $((round % 2)) -eq 1 ]] && run_before "$round"
done

# Rows of all rounds, in the first round's order: a rate ("/s") keeps its best round, any other figure
# its first. So does a ratio of two rates of one round (grouped reads against the key off): the best
# such ratio would favour a round whose slower loop happened to run slow.
best_rows() {
    awk -F'|' '
        /^\|/ {
            key = $2; gsub(/^ +| +$/, "", key)
            ratio = $5 + 0
            if (!(key in row)) { order[++n] = key; row[key] = $0; best[key] = ratio; next }
            if ($3 ~ /\/s/ && $4 !~ /READ_GROUP_MS 0:/ && ratio > best[key]) { row[key] = $0; best[key] = ratio }
        }
        END { for (i = 1; i <= n; i++) print row[order[i]] }' "$@"
}

cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo 2>/dev/null)
echo "KESTA performance figures, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "machine: $(nproc) cores, ${cpu:-unknown CPU}, $(uname -sr), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| figure | measured | reference (same run) | ratio |"
echo "|---|---:|---|---:|"
grep -E '^(\||#)' "$scratch/dsf.txt"
grep -E '^# (End to end|turnaround|is the wire|Grouped reads| )' "$scratch/wire.1"
[[ $ROUNDS -gt 1 ]] && echo "# best of $ROUNDS rounds for each rate"
best_rows "$scratch"/wire.*
if [[ -n $COMPARE ]]; then
    echo "# before: $COMPARE, its rounds taking turns with those of the rows above"
    best_rows "$scratch"/before.* | sed 's/^| /| before: /'
fi
if [[ $rc -ne 0 ]]; then
    echo
    echo "a benchmark failed; its output:" >&2
    cat "$scratch/dsf.txt" "$scratch"/wire.* | grep -v '^\[' | tail -40 >&2
fi
exit $rc
