#!/usr/bin/env bash
# The figures of a line that heals itself (bench/bench_heal.cpp), in one table: silent stations set aside
# (SILENT_STATION_LIMIT), objects looked up again after a restart (RELOOKUP_ON_ERROR), a pulled device
# reopened (PORT_REOPEN_INTERVAL), each beside the same line with the key off. About four minutes
# (--quick: under two). Fails when a goal is missed: a read failing after a restart with the key on, or a
# reopen later than 1.2 intervals after the device's return.
# Usage: tools/heal-figures.sh [--quick] [--build DIR] [--baud N] [--timeout MS]
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build-perf
ARGS=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --build) BUILD=$2; shift ;;
    --quick) ARGS+=(--quick) ;;
    --baud | --timeout) ARGS+=("$1" "$2"); shift ;;
    *) echo "usage: $0 [--quick] [--build DIR] [--baud N] [--timeout MS]" >&2; exit 2 ;;
    esac
    shift
done

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTA_BENCH=ON >/dev/null || exit 1
cmake --build "$BUILD" --target bench_heal >/dev/null || { echo "build failed" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(cd "$ROOT" && git rev-parse --short HEAD 2>/dev/null || echo '?'), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
(cd "$scratch" && "$BUILD/bench/bench_heal" "${ARGS[@]}")
