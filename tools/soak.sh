#!/usr/bin/env bash
# Fault soak figures: the driver against the station simulator for 20,000 reads and writes while the
# station hits 5% of the frames with random faults of every kind (plus error replies and bursts that
# use up a request's retries), then 3,000 on a line that heals itself (two stations, every healing key
# on) while stations are switched off and on, restarted with new handles and the line's device is
# pulled and plugged back. Prints the FIGURES lines: requests, faults and events injected by kind,
# failures by code, wrong values (must be 0), longest request. Fails when a value is wrong, a failure
# carries no code, a request outlasts its bound or the line does not recover by itself.
# Usage: tools/soak.sh [BUILD_DIR]     (default: build-soak; configured and built when needed)
# Environment: KESTA_SOAK_REQUESTS (default 20000), KESTA_HEAL_SOAK_REQUESTS (default 3000),
# KESTA_SOAK_SEED (default 20240), JOBS.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:-$ROOT/build-soak}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

if [[ ! -f $BUILD/CMakeCache.txt ]]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$BUILD" -j "$JOBS" --target test_soak

export KESTA_SOAK_REQUESTS=${KESTA_SOAK_REQUESTS:-20000}
export KESTA_HEAL_SOAK_REQUESTS=${KESTA_HEAL_SOAK_REQUESTS:-3000}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
rc=0
"$BUILD/tests/test_soak" --gtest_filter='FaultSoak.*:HealingSoak.*' >"$log" 2>&1 || rc=$?
cat "$log"
echo
echo "== soak figures"
grep -E '^(FIGURES|wrong value)' "$log" || echo "no figures printed"
exit "$rc"
