#!/usr/bin/env bash
# Builds both products and runs every test, on a fresh machine too: installs what is missing (Debian,
# as root), builds and tests libkesta.so, cross-builds kesta.dll and checks its tables.
# Usage: tools/test-all.sh [leg...]   legs: linux windows wine soak bench (default: all, in that order)
# Environment: JOBS (parallel jobs, default: cores), KESTA_OUT (build folder, default: build-all).
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
OUT=${KESTA_OUT:-$ROOT/build-all}
ALL_LEGS=(linux windows wine soak bench)

say() { printf '\n== %s\n' "$*"; }

# ---------------------------------------------------------------------------------------------------
# Packages. Each leg names what it needs; apt-get runs only when something is missing.
# ---------------------------------------------------------------------------------------------------
APT_UPDATED=0
need_packages() {
    command -v dpkg-query >/dev/null 2>&1 || return 0 # not Debian: the tools must be there already
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    if [[ $(id -u) -ne 0 ]]; then
        echo "missing packages: ${missing[*]} (install them, or run this script as root)" >&2
        return 1
    fi
    say "installing ${missing[*]}"
    if [[ $APT_UPDATED -eq 0 ]]; then
        apt-get update -q || return 1
        APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

BASE_PACKAGES=(cmake ninja-build g++ make libgtest-dev libgmock-dev)
WINDOWS_PACKAGES=(cmake ninja-build g++-mingw-w64-i686 binutils-mingw-w64-i686)

# ---------------------------------------------------------------------------------------------------
# Leg: Linux build and every GoogleTest test through ctest.
# ---------------------------------------------------------------------------------------------------
CTEST_PASSED=0
CTEST_FAILED=0
leg_linux() {
    need_packages "${BASE_PACKAGES[@]}" || return 1
    local build=$OUT/linux
    say "Linux: configure and build ($build)"
    cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo || return 1
    cmake --build "$build" -j "$JOBS" || return 1

    say "Linux: libkesta.so exports KviMain and nothing else"
    local exports
    exports=$(nm -D --defined-only "$build/libkesta.so" | awk '{print $NF}' | sort | tr '\n' ' ')
    echo "exports: $exports"
    [[ $exports == "KviMain " ]] || { echo "libkesta.so must export KviMain only" >&2; return 1; }

    say "Linux: ctest"
    local log=$build/ctest-output.txt rc
    ctest --test-dir "$build" --output-on-failure -j "$JOBS" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    local summary
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [[ $summary =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
        CTEST_FAILED=${BASH_REMATCH[1]}
        CTEST_PASSED=$((BASH_REMATCH[2] - BASH_REMATCH[1]))
    fi
    [[ $rc -eq 0 && $CTEST_PASSED -gt 0 ]]
}

# ---------------------------------------------------------------------------------------------------
# Leg: 32-bit Windows DLL cross-built with mingw-w64, then its export and import tables checked.
# ---------------------------------------------------------------------------------------------------
leg_windows() {
    need_packages "${WINDOWS_PACKAGES[@]}" || return 1
    local build=$OUT/win32
    say "Windows: cross build ($build)"
    cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" || return 1
    cmake --build "$build" -j "$JOBS" || return 1
    say "Windows: kesta.dll tables"
    bash "$ROOT/tools/check-windows-dll.sh" "$build/kesta.dll"
}

# ---------------------------------------------------------------------------------------------------
# Leg: kesta.dll end to end under wine (tests/win32/run-wine.sh): the Windows test host loads the DLL of
# the windows leg's build and drives it against the station simulator behind COM ports of a fresh wine
# prefix. Wine is installed when missing (as root); where it cannot be had the leg says so and is skipped.
# ---------------------------------------------------------------------------------------------------
WINE_SUMMARY="wine: not run"
leg_wine() {
    need_packages "${WINDOWS_PACKAGES[@]}" g++ || return 1
    local sim=$OUT/linux log=$OUT/wine-output.txt rc
    [[ -f $sim/CMakeCache.txt ]] || sim=$OUT/wine-sim # the simulator from the linux leg's build when there
    mkdir -p "$OUT"
    KESTA_WIN_BUILD=$OUT/win32 KESTA_SIM_BUILD=$sim JOBS=$JOBS bash "$ROOT/tests/win32/run-wine.sh" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    if [[ $rc -eq 77 ]]; then
        WINE_SUMMARY="wine: SKIPPED, $(grep -m1 '^wine leg skipped:' "$log" | sed 's/^wine leg skipped: //')"
        return 0
    fi
    WINE_SUMMARY=$(grep -E '^wine: [0-9]+ passed' "$log" | tail -1)
    [[ -n $WINE_SUMMARY ]] || WINE_SUMMARY="wine: FAILED before any test ran (see $log)"
    [[ $rc -eq 0 ]]
}

# ---------------------------------------------------------------------------------------------------
# Leg: fault soak of 20,000 requests on the Linux build (reused when the linux leg made it), with its
# figures (tools/soak.sh); about half a minute of line time.
# ---------------------------------------------------------------------------------------------------
leg_soak() {
    need_packages "${BASE_PACKAGES[@]}" || return 1
    say "Soak: 20,000 requests under random line faults ($OUT/linux)"
    JOBS=$JOBS bash "$ROOT/tools/soak.sh" "$OUT/linux"
}

# ---------------------------------------------------------------------------------------------------
# Leg: performance figures, short run (tools/perf-figures.sh --quick): the stack in memory and the
# driver end to end against the simulator at 9600, 57600 and 115200 baud, in one table. Fails when a
# request allocates after warm-up or an exchange waits for the read time-out. About two minutes.
# ---------------------------------------------------------------------------------------------------
leg_bench() {
    need_packages "${BASE_PACKAGES[@]}" libbenchmark-dev || return 1
    say "Bench: performance figures, short run ($OUT/bench)"
    bash "$ROOT/tools/perf-figures.sh" --quick --build "$OUT/bench"
}

# ---------------------------------------------------------------------------------------------------
# Hooks for later legs; each becomes a leg_NAME function and joins ALL_LEGS when it lands.
#   sanitize: the Linux build with -DKESTA_SANITIZE=ON (ASan + UBSan) and its ctest run.
#   fuzz:     clang build with -DKESTA_FUZZ=ON and a bounded run of each fuzz target over its corpus.
# ---------------------------------------------------------------------------------------------------

# ---------------------------------------------------------------------------------------------------
# Main job: the command that exercises the whole driver end to end comes later, in its own leg.
# ---------------------------------------------------------------------------------------------------

legs=("$@")
[[ ${#legs[@]} -eq 0 ]] && legs=("${ALL_LEGS[@]}")
failed=()
for leg in "${legs[@]}"; do
    if ! declare -F "leg_$leg" >/dev/null; then
        echo "unknown leg: $leg (known: ${ALL_LEGS[*]})" >&2
        exit 2
    fi
    "leg_$leg" || failed+=("$leg")
done

say "Summary"
for leg in "${legs[@]}"; do
    if [[ " ${failed[*]:-} " == *" $leg "* ]]; then echo "leg $leg: FAILED"; else echo "leg $leg: ok"; fi
done
if [[ " ${legs[*]} " == *" wine "* ]]; then
    echo "$WINE_SUMMARY"
fi
if [[ " ${legs[*]} " == *" linux "* ]]; then
    echo "ctest: $CTEST_PASSED passed, $CTEST_FAILED failed"
fi
[[ ${#failed[@]} -eq 0 ]]
