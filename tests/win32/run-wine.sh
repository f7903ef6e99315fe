#!/usr/bin/env bash
# The Windows product end to end under wine: cross-builds kesta.dll with the Windows test programs
# (tests/win32), builds the station simulator for Linux, makes a fresh 32-bit wine prefix in a
# temporary folder, puts two simulator lines behind COM5 and COM6 of that prefix (COM6 echoes every
# byte, as an RS485 converter does), and runs the Win32 layer checks and the test host there.
#
# Usage: tests/win32/run-wine.sh [--no-build] [--keep] [--only TEXT] [--verbose]
# Environment: KESTA_WIN_BUILD (cross build folder, default build-wine-win), KESTA_SIM_BUILD (Linux
#   build folder for the simulator, default build-wine-linux), JOBS, KESTA_WINE_CACHE (where a user-mode
#   i386 emulator is kept when the kernel cannot run 32-bit programs, default /var/cache/kesta-wine).
# Exit status: 0 all passed, 1 something failed, 77 wine cannot be had on this machine (the reason is
# printed); the last line is "wine: N passed, N failed, N skipped".
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
HERE=$ROOT/tests/win32
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
WIN_BUILD=${KESTA_WIN_BUILD:-$ROOT/build-wine-win}
SIM_BUILD=${KESTA_SIM_BUILD:-$ROOT/build-wine-linux}
CACHE=${KESTA_WINE_CACHE:-/var/cache/kesta-wine}
LINE_PORT=COM5    # the simulator's line
ECHO_PORT=COM6    # the same stations behind an echoing converter
PLUG_PORT=COM7    # the same stations on a line whose device is pulled out and comes back
MISSING_PORT=COM99 # never mapped
PLUG_FAULTS="2:ok*12,unplug=1500" # after the cold start's exchanges and a few reads

BUILD=1
KEEP=0
ONLY=()
VERBOSE=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --no-build) BUILD=0 ;;
    --keep) KEEP=1 ;;
    --only) ONLY=(--only "$2"); shift ;;
    --verbose) VERBOSE=(--verbose) ;;
    *) echo "usage: $0 [--no-build] [--keep] [--only TEXT] [--verbose]" >&2; exit 2 ;;
    esac
    shift
done

say() { printf '\n== %s\n' "$*"; }
skip() { echo "wine leg skipped: $*" >&2; exit 77; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# ---------------------------------------------------------------------------------------------------
# Wine: Debian's wine with its 32-bit loader, installed when missing (as root). Where the kernel runs
# no 32-bit program (ia32 emulation off), the loader runs under qemu's user-mode i386 emulator, which
# binfmt_misc starts for every 32-bit program wine execs. qemu before 8.1 mishandles the address-space
# reservations wine makes (MAP_FIXED_NOREPLACE), so a newer one is fetched when the release's is older.
# ---------------------------------------------------------------------------------------------------
WINE32=/usr/lib/wine/wine
I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

wine_runs() { [[ -x $WINE32 ]] && "$WINE32" --version >/dev/null 2>&1; }

install_wine() {
    command -v apt-get >/dev/null 2>&1 || skip "wine is not installed and this is not a Debian system"
    [[ $(id -u) -eq 0 ]] || skip "wine is not installed (as root: dpkg --add-architecture i386 && apt-get update && apt-get install wine wine32:i386 wine64)"
    say "installing wine (wine, wine32:i386, wine64)"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386 || skip "cannot add the i386 architecture"
    fi
    apt-get update -q || skip "apt-get update failed"
    # wine64 brings the 64-bit wineserver: the server then runs natively even when the 32-bit loader
    # has to be emulated. Console programs need none of the recommended graphics and sound libraries
    # (130 packages instead of well over a thousand: under two minutes).
    local log=${TMPDIR:-/tmp}/kesta-wine-install.log
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends wine wine32:i386 wine64 \
        >"$log" 2>&1; then
        tail -20 "$log" >&2
        skip "apt-get install wine wine32:i386 wine64 failed (log: $log)"
    fi
}

qemu_new_enough() { # qemu binary
    local version
    version=$("$1" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')
    [[ -n $version ]] || return 1
    set -- $version
    [[ $1 -gt 8 || ($1 -eq 8 && $2 -ge 1) ]]
}

fetch_qemu() {
    mkdir -p "$CACHE" || return 1
    local qemu=$CACHE/qemu-i386
    qemu_new_enough "$qemu" && return 0
    command -v apt-get >/dev/null 2>&1 || return 1
    local work codename lists sources candidate
    work=$(mktemp -d) || return 1
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    # The release's own qemu-user when new enough (its qemu-i386 is static from 8.x on), else backports.
    candidate=$(apt-cache policy qemu-user 2>/dev/null | sed -n 's/^ *Candidate: \(1:\)\?\([0-9]*\.[0-9]*\).*/\2/p')
    lists=(-o "Dir::State::Lists=$work/lists" -o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=/nonexistent")
    mkdir -p "$work/lists/partial"
    if [[ -n $candidate ]] && awk -v v="$candidate" 'BEGIN { split(v, p, "."); exit !(p[1] > 8 || (p[1] == 8 && p[2] >= 1)) }'; then
        (cd "$work" && apt-get download -q qemu-user >/dev/null 2>&1)
    elif [[ -n $codename ]]; then
        echo "deb http://deb.debian.org/debian $codename-backports main" >"$work/sources.list"
        apt-get "${lists[@]}" update -q >/dev/null 2>&1 &&
            (cd "$work" && apt-get "${lists[@]}" download -q "qemu-user/$codename-backports" >/dev/null 2>&1)
    fi
    local deb
    deb=$(ls "$work"/qemu-user_*.deb 2>/dev/null | head -1)
    if [[ -n $deb ]] && dpkg-deb -x "$deb" "$work/x" && [[ -x $work/x/usr/bin/qemu-i386 ]]; then
        cp "$work/x/usr/bin/qemu-i386" "$qemu.new" && mv "$qemu.new" "$qemu"
    fi
    rm -rf "$work"
    qemu_new_enough "$qemu"
}

enable_i386_emulation() {
    [[ $(id -u) -eq 0 ]] || skip "this kernel runs no 32-bit programs, and setting up the i386 emulator needs root"
    say "this kernel runs no 32-bit programs: wine's loader goes through qemu's user-mode i386 emulator"
    fetch_qemu || skip "no qemu-i386 of version 8.1 or later to be had"
    local binfmt=/proc/sys/fs/binfmt_misc
    [[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
        skip "binfmt_misc is not available"
    [[ -e $binfmt/kesta-i386 ]] && echo -1 >"$binfmt/kesta-i386"
    # F: the kernel keeps the emulator open, so it also serves programs started in other namespaces.
    printf '%s' ":kesta-i386:M::$I386_MAGIC:$I386_MASK:$CACHE/qemu-i386:F" >"$binfmt/register" ||
        skip "cannot register the i386 emulator with binfmt_misc"
    echo "registered $($CACHE/qemu-i386 --version | head -1) for i386 programs (binfmt_misc entry kesta-i386)"
}

ensure_wine() {
    if [[ ! -x $WINE32 ]] || ! command -v wineboot >/dev/null 2>&1; then
        install_wine
    elif [[ ! -x /usr/lib/wine/wineserver64 && $(id -u) -eq 0 ]] && command -v apt-get >/dev/null 2>&1; then
        install_wine # wine64's native wineserver spares the emulator the server's work
    fi
    [[ -x $WINE32 ]] || skip "wine's 32-bit loader $WINE32 is missing after the install"
    if ! wine_runs; then
        enable_i386_emulation
        wine_runs || skip "wine's 32-bit loader does not start, even through the emulator"
    fi
    echo "$("$WINE32" --version)"
}

# ---------------------------------------------------------------------------------------------------
# Builds: the DLL and the Windows test programs (mingw-w64), the simulator (Linux).
# ---------------------------------------------------------------------------------------------------
# A build folder configured before (by tools/test-all.sh, say) is only built, never reconfigured.
configure() { # build-folder cmake-options...
    local dir=$1
    shift
    [[ -f $dir/CMakeCache.txt ]] && return 0
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
}

build() {
    say "cross build of kesta.dll and the Windows test programs ($WIN_BUILD)"
    configure "$WIN_BUILD" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" || return 1
    cmake --build "$WIN_BUILD" -j "$JOBS" --target kesta talrun_test kesta-test-host win32-layer-test || return 1
    bash "$ROOT/tools/check-windows-dll.sh" "$WIN_BUILD/kesta.dll" || return 1
    say "simulator ($SIM_BUILD)"
    configure "$SIM_BUILD" -DCMAKE_BUILD_TYPE=Release -DKESTA_TESTS=OFF || return 1
    cmake --build "$SIM_BUILD" -j "$JOBS" --target net2000-sim || return 1
}

# ---------------------------------------------------------------------------------------------------
# The run.
# ---------------------------------------------------------------------------------------------------
TMP=
SIM_PIDS=()
cleanup() {
    local pid
    for pid in "${SIM_PIDS[@]}"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    if [[ -n $TMP ]]; then
        WINEPREFIX=$TMP/prefix wineserver -k 2>/dev/null
        if [[ $KEEP -eq 1 ]]; then
            echo "kept: $TMP (prefix, staged programs, simulator logs)"
        else
            rm -rf "$TMP"
        fi
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_sim() { # link-path log-file extra-options...
    local link=$1 log=$2
    shift 2
    "$SIM_BUILD/tools/sim/net2000-sim" --config "$HERE/line.cfg" --pty "$link" --log "$log" "$@" \
        >"$log.out" 2>&1 &
    SIM_PIDS+=($!)
    local i
    for ((i = 0; i < 100; i++)); do
        [[ -L $link ]] && return 0
        sleep 0.1
    done
    echo "the simulator did not make $link:" >&2
    cat "$log.out" >&2
    return 1
}

stop_sims() {
    local pid
    for pid in "${SIM_PIDS[@]}"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    SIM_PIDS=()
}

# Runs one Windows program in the prefix; its output is shown and its closing line counted.
PASSED=0
FAILED=0
SKIPPED=0
run_program() { # name exe args...
    local name=$1 exe=$2 started output rc
    shift 2
    say "$name"
    started=$(now)
    output=$TMP/$name.out
    (cd "$TMP/work" && timeout 240 wine "$TMP/app/$exe" "$@") 2>"$TMP/$name.err" | tr -d '\r' | tee "$output"
    rc=${PIPESTATUS[0]}
    local summary
    summary=$(grep -E '^[0-9]+ passed, [0-9]+ failed, [0-9]+ skipped$' "$output" | tail -1)
    if [[ $summary =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed,\ ([0-9]+)\ skipped$ ]]; then
        PASSED=$((PASSED + BASH_REMATCH[1]))
        FAILED=$((FAILED + BASH_REMATCH[2]))
        SKIPPED=$((SKIPPED + BASH_REMATCH[3]))
    else
        echo "$name ended without its summary line (exit status $rc); its standard error:" >&2
        tail -20 "$TMP/$name.err" >&2
        FAILED=$((FAILED + 1))
    fi
    echo "($name: $(since "$started") s, exit status $rc)"
}

main() {
    local t0
    t0=$(now)
    say "wine"
    ensure_wine
    if [[ $BUILD -eq 1 ]]; then
        build || { echo "wine: 0 passed, 1 failed, 0 skipped"; exit 1; }
    fi
    local sim=$SIM_BUILD/tools/sim/net2000-sim
    for f in "$WIN_BUILD/kesta.dll" "$WIN_BUILD/tests/win32/TALRUN.dll" "$WIN_BUILD/tests/win32/kesta-test-host.exe" \
        "$WIN_BUILD/tests/win32/win32-layer-test.exe" "$sim"; do
        [[ -f $f ]] || { echo "missing $f (build first, or drop --no-build)" >&2; exit 1; }
    done

    TMP=$(mktemp -d "${TMPDIR:-/tmp}/kesta-wine.XXXXXX")
    mkdir -p "$TMP/app" "$TMP/work"
    # Installed as a user installs it: kesta.dll next to the host program, TALRUN.dll beside them.
    cp "$WIN_BUILD/kesta.dll" "$WIN_BUILD/tests/win32/TALRUN.dll" "$WIN_BUILD/tests/win32/kesta-test-host.exe" \
        "$WIN_BUILD/tests/win32/win32-layer-test.exe" "$TMP/app/"

    # A fresh 32-bit prefix; no mono or gecko installers, no display, time stamps in UTC.
    export WINEPREFIX=$TMP/prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" TZ=UTC
    unset DISPLAY WAYLAND_DISPLAY
    say "fresh wine prefix ($WINEPREFIX)"
    local started
    started=$(now)
    mkdir -p "$WINEPREFIX"
    wineserver -p 2>/dev/null # one server for the whole run, ended by the cleanup
    wineboot --init >"$TMP/wineboot.log" 2>&1 || { cat "$TMP/wineboot.log" >&2; echo "wineboot failed" >&2; exit 1; }
    echo "wineboot: $(since "$started") s"

    say "simulator lines: $LINE_PORT, $ECHO_PORT (echoing), $PLUG_PORT (its device pulled out once)"
    start_sim "$TMP/line-pty" "$TMP/sim-line.log" --baud 57600 || exit 1
    start_sim "$TMP/echo-pty" "$TMP/sim-echo.log" --baud 0 --echo || exit 1
    start_sim "$TMP/plug-pty" "$TMP/sim-plug.log" --baud 0 --faults "$PLUG_FAULTS" || exit 1
    head -1 "$TMP/sim-line.log.out"
    head -1 "$TMP/sim-echo.log.out"
    head -1 "$TMP/sim-plug.log.out"
    # The ports are mapped in the registry, which wine's mount manager reads at every start (ports it
    # detects on its own then take other numbers), and linked in dosdevices for the first start.
    {
        printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        printf '"%s"="%s"\r\n' "$LINE_PORT" "$TMP/line-pty" "$ECHO_PORT" "$TMP/echo-pty" "$PLUG_PORT" "$TMP/plug-pty"
    } >"$TMP/ports.reg"
    wine reg import "Z:${TMP//\//\\}\\ports.reg" >/dev/null 2>&1 ||
        echo "note: the port mapping could not be written to the registry" >&2
    ln -sfn "$TMP/line-pty" "$WINEPREFIX/dosdevices/${LINE_PORT,,}"
    ln -sfn "$TMP/echo-pty" "$WINEPREFIX/dosdevices/${ECHO_PORT,,}"
    ln -sfn "$TMP/plug-pty" "$WINEPREFIX/dosdevices/${PLUG_PORT,,}"
    rm -f "$WINEPREFIX/dosdevices/${MISSING_PORT,,}"
    echo "prefix ready after $(since "$t0") s"

    local ports=(--port "$LINE_PORT" --echo-port "$ECHO_PORT" --missing-port "$MISSING_PORT")
    run_program win32-layer-test win32-layer-test.exe "${ports[@]}" "${ONLY[@]}"
    ports+=(--plug-port "$PLUG_PORT") # the host's scenario alone talks on it: the pull waits for its frames
    run_program kesta-test-host kesta-test-host.exe "${ports[@]}" "${ONLY[@]}" "${VERBOSE[@]}"
    # Once more with instance blocks as a debug heap hands them over, never cleared, against stations
    # as fresh as the first run found them (that run wrote values and took the EWT records).
    stop_sims
    start_sim "$TMP/line-pty" "$TMP/sim-line-2.log" --baud 57600 || exit 1
    start_sim "$TMP/echo-pty" "$TMP/sim-echo-2.log" --baud 0 --echo || exit 1
    start_sim "$TMP/plug-pty" "$TMP/sim-plug-2.log" --baud 0 --faults "$PLUG_FAULTS" || exit 1
    run_program kesta-test-host-uncleared kesta-test-host.exe "${ports[@]}" --fill CD "${ONLY[@]}" "${VERBOSE[@]}"

    say "simulator counters"
    stop_sims
    tail -n +2 "$TMP/sim-line.log.out"
    tail -n +2 "$TMP/sim-echo.log.out"
    tail -n +2 "$TMP/sim-plug.log.out"
    echo "wine leg: $(since "$t0") s in all"
    echo "wine: $PASSED passed, $FAILED failed, $SKIPPED skipped"
    [[ $FAILED -eq 0 && $PASSED -gt 0 ]]
}

main
