#!/usr/bin/env bash
# Builds both products and runs every test, on a fresh machine too: installs what is missing (Debian,
# as root), builds and tests libkesta.so, cross-builds kesta.dll and checks its tables.
# Usage: tools/test-all.sh [leg...]   legs: format layers linux windows wine soak wireshark package sanitize
#        tsan fuzz leak bench
# (default: all, in that order)
# Environment: JOBS (parallel jobs, default: cores), KESTA_OUT (build folder, default: build-all),
# FUZZ_SECONDS (per fuzz target, default 60).
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
OUT=${KESTA_OUT:-$ROOT/build-all}
ALL_LEGS=(format layers linux windows wine soak wireshark package sanitize tsan fuzz leak bench)

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
# Leg: every C and C++ file of the tree as .clang-format gives it (one style; the check names each file
# that differs). Fix with: git ls-files '*.cpp' '*.h' | xargs clang-format -i
# ---------------------------------------------------------------------------------------------------
leg_format() {
    need_packages clang-format || return 1
    say "Format: $(clang-format --version)"
    local files unformatted=()
    mapfile -t files < <(cd "$ROOT" && git ls-files '*.cpp' '*.h' 2>/dev/null || find . -name '*.cpp' -o -name '*.h')
    local file
    for file in "${files[@]}"; do
        (cd "$ROOT" && clang-format --dry-run --Werror "$file" >/dev/null 2>&1) || unformatted+=("$file")
    done
    echo "format: ${#files[@]} files checked, ${#unformatted[@]} unformatted"
    [[ ${#unformatted[@]} -eq 0 ]] && return 0
    printf '  %s\n' "${unformatted[@]}"
    (cd "$ROOT" && clang-format --dry-run "${unformatted[0]}" 2>&1 | head -20)
    return 1
}

# ---------------------------------------------------------------------------------------------------
# Leg: the arrows between the layers (host -> plc -> serial -> dsf, platform below): an #include that
# runs upward fails here by name, as it fails the build through each layer's include root.
# ---------------------------------------------------------------------------------------------------
leg_layers() {
    say "Layers: includes run one way"
    bash "$ROOT/tools/check-layers.sh" "$ROOT"
}

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
# Leg: fault soak of 20,000 requests on the Linux build (reused when the linux leg made it), then 3,000 on
# a line that heals itself, with their figures (tools/soak.sh); about a minute of line time.
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
    bash "$ROOT/tools/perf-figures.sh" --quick --build "$OUT/bench" || return 1
    # The healing figures take minutes of line time (tools/heal-figures.sh): here their program is built.
    cmake --build "$OUT/bench" -j "$JOBS" --target bench_heal >/dev/null
}

# ---------------------------------------------------------------------------------------------------
# Hooks for later legs; each becomes a leg_NAME function and joins ALL_LEGS when it lands.
# ---------------------------------------------------------------------------------------------------

# ---------------------------------------------------------------------------------------------------
# Leg: the Wireshark dissector (tools/wireshark/net2000.lua) under tshark against net2000-decode, two
# decoders of one capture that must agree packet by packet (tools/wireshark/compare.sh), over captures
# made here: the driver's KESTA_PCAPNG trace of the pcapng tests (requests, line faults, echoes) and of
# a short fault soak, every service's message converted from hex, kesta-host --simulate with both trace
# formats (the text one converted), net2000-sim's --pcapng and --hex captures of a faulty line. The
# corrupted checksums must show as expert warnings.
# tshark runs Lua scripts for root only where init.lua says run_user_scripts_when_superuser (Debian's
# does); where it refuses, the leg runs tshark as the user nobody over copies of the files.
# ---------------------------------------------------------------------------------------------------
WIRESHARK_SUMMARY="wireshark: not run"
leg_wireshark() {
    local start=$SECONDS
    need_packages "${BASE_PACKAGES[@]}" tshark || return 1
    local build=$OUT/linux caps=$OUT/wireshark
    if [[ ! -f $build/CMakeCache.txt ]]; then
        cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo || return 1
    fi
    cmake --build "$build" -j "$JOBS" --target net2000-decode net2000-sim kesta-host kesta talrun test_tools \
        test_soak || return 1
    rm -rf "$caps"
    mkdir -p "$caps"
    chmod 755 "$caps"

    say "Wireshark: captures"
    KESTA_CAPTURE_DIR=$caps "$build/tests/test_tools" --gtest_filter='DriverPcapng.*:PcapngAllServices.*' \
        >"$caps/tests.log" 2>&1 || { cat "$caps/tests.log"; return 1; }
    KESTA_SOAK_REQUESTS=2000 KESTA_PCAPNG=$caps/soak.pcapng "$build/tests/test_soak" --gtest_filter='FaultSoak.*' \
        >"$caps/soak.log" 2>&1 || { tail -30 "$caps/soak.log"; return 1; }
    (cd "$caps" && KESTA_PCAPNG=$caps/host.pcapng "$build/kesta-host" --simulate --once --trace "$caps/host.trace" \
        >"$caps/host.log" 2>&1) || { cat "$caps/host.log"; return 1; }
    "$build/net2000-decode" --quiet --pcapng "$caps/host-trace.pcapng" "$caps/host.trace" || return 1
    # The demo stations of net2000-sim on a line that hits answers with noise, checksums, splits.
    local sim=$caps/sim.out port
    "$build/tools/sim/net2000-sim" --pty "$caps/plc" --baud 0 --quiet --pcapng "$caps/sim.pcapng" \
        --hex "$caps/sim.hex" --faults "2:ok*2,noise,hcs,ok,dcs,ok,split=20,stale,other,ok" >"$sim" 2>&1 &
    local simpid=$!
    for _ in $(seq 50); do grep -q 'port name' "$sim" && break; sleep 0.1; done
    port=$(sed -n 's/.*(port name \([^)]*\)).*/\1/p' "$sim")
    printf '002motor_speed SIGNED16\n002table UNSIGNED16 block 10\n002counter SIGNED32\n002setpoint UNSIGNED16\n' \
        >"$caps/sim.gates"
    (cd "$caps" && KESTA_PCAPNG=$caps/sim-driver.pcapng "$build/kesta-host" --port "$port" --gates "$caps/sim.gates" \
        --once >"$caps/sim-host.log" 2>&1)
    kill -INT "$simpid" 2>/dev/null
    wait "$simpid" 2>/dev/null
    "$build/net2000-decode" --quiet --pcapng "$caps/sim-hex.pcapng" "$caps/sim.hex" || return 1

    say "Wireshark: $(tshark -v 2>/dev/null | head -1)"
    local lua=$ROOT/tools/wireshark/net2000.lua runner=() probe=$caps/all-services.pcapng
    if ! tshark -n -r "$probe" -X lua_script:"$lua" -Y net2000 -c 1 >/dev/null 2>&1; then
        echo "tshark did not take the Lua script as $(id -un): running it as nobody"
        cp "$lua" "$caps/net2000.lua"
        chmod -R a+rX "$caps"
        lua=$caps/net2000.lua
        runner=(runuser -u nobody --)
        "${runner[@]}" tshark -n -r "$probe" -X lua_script:"$lua" -Y net2000 -c 1 >/dev/null ||
            { echo "tshark does not load $lua" >&2; return 1; }
    fi
    local failed=0 capture packets=0 line
    for capture in "$caps"/*.pcapng; do
        line=$(TSHARK="${runner[*]} tshark" bash "$ROOT/tools/wireshark/compare.sh" "$build/net2000-decode" "$capture" \
            -X lua_script:"$lua") || failed=1
        echo "$line"
        [[ $line =~ :\ ([0-9]+)\ packets\ agree ]] && packets=$((packets + BASH_REMATCH[1]))
    done

    say "Wireshark: expert warnings of corrupted checksums"
    local expert warnings=0 kind
    for capture in "$caps/sim.pcapng" "$caps/driver-faults.pcapng"; do
        expert=$("${runner[@]}" tshark -n -q -r "$capture" -X lua_script:"$lua" -z expert,warn 2>/dev/null)
        for kind in "Header checksum wrong" "Data checksum wrong"; do
            if grep -q "$kind" <<<"$expert"; then
                warnings=$((warnings + 1))
            else
                echo "$(basename "$capture"): no expert warning \"$kind\"" >&2
                failed=1
            fi
        done
    done
    WIRESHARK_SUMMARY="wireshark: $(ls "$caps"/*.pcapng | wc -l) captures, $packets packets agree between tshark and net2000-decode, $warnings checksum warnings found; $((SECONDS - start)) s"
    [[ $failed -eq 0 ]] || WIRESHARK_SUMMARY="$WIRESHARK_SUMMARY; FAILED"
    echo "$WIRESHARK_SUMMARY"
    [[ $failed -eq 0 ]]
}

# ---------------------------------------------------------------------------------------------------
# Leg: the packages (cmake/packaging.cmake). A release tree with prefix /usr makes the .deb; it is
# unpacked into a fresh folder, its file list checked, and kesta-host --simulate --once runs from the
# unpacked files (the driver and runtime it loads must be the unpacked ones), as do net2000-sim and
# net2000-decode. The Windows tree of the windows leg makes the zip, whose contents are listed and
# checked, and whose kesta.dll passes the DLL check.
# ---------------------------------------------------------------------------------------------------
PACKAGE_SUMMARY="package: not run"
leg_package() {
    local start=$SECONDS
    need_packages "${BASE_PACKAGES[@]}" help2man "${WINDOWS_PACKAGES[@]}" || return 1
    local build=$OUT/package-linux win=$OUT/win32 work=$OUT/package failed=0
    say "Package: Debian package ($build)"
    cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DKESTA_TESTS=OFF ||
        return 1
    cmake --build "$build" -j "$JOBS" || return 1
    rm -f "$build"/*.deb
    (cd "$build" && cpack -G DEB) || return 1
    local deb
    deb=$(ls "$build"/kesta_*.deb) || return 1
    rm -rf "$work"
    mkdir -p "$work/run"
    dpkg-deb -x "$deb" "$work/root" || return 1
    local multiarch file
    multiarch=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
    multiarch=${multiarch:-lib}
    for file in usr/bin/kesta-host usr/bin/net2000-sim usr/bin/net2000-decode "usr/$multiarch/kesta/libkesta.so" \
        "usr/$multiarch/kesta/libtalrun.so" "usr/$multiarch/wireshark/plugins/net2000.lua" \
        usr/share/doc/kesta/README.md usr/share/doc/kesta/examples/KESTA01.INT usr/share/doc/kesta/examples/demo.cfg \
        usr/share/man/man1/kesta-host.1.gz usr/share/man/man1/net2000-sim.1.gz usr/share/man/man1/net2000-decode.1.gz; do
        [[ -e $work/root/$file ]] || { echo "the package lacks /$file" >&2; failed=1; }
    done
    echo "$(basename "$deb"): $(dpkg-deb -c "$deb" | grep -vc '/$') files; $(dpkg-deb -f "$deb" Package Version Depends | tr '\n' ' ')"
    say "Package: kesta-host --simulate --once from the unpacked files"
    local loaded
    (cd "$work/run" && LD_DEBUG=files "$work/root/usr/bin/kesta-host" --simulate --once >host.txt 2>ld.txt)
    local rc=$?
    head -4 "$work/run/host.txt"
    loaded=$(grep -o 'file=[^ ]*lib\(kesta\|talrun\)\.so' "$work/run/ld.txt" | sort -u | sed 's/^file=//')
    echo "loaded: $(echo "$loaded" | tr '\n' ' ')"
    [[ $rc -eq 0 ]] || { echo "kesta-host --simulate --once from the package failed ($rc)" >&2; failed=1; }
    [[ $(grep -c "^$work/root/" <<<"$loaded") -eq 2 ]] ||
        { echo "kesta-host did not load the unpacked libkesta.so and libtalrun.so" >&2; failed=1; }
    "$work/root/usr/bin/net2000-sim" --help | grep -q 'demo' || { echo "net2000-sim --help" >&2; failed=1; }
    "$work/root/usr/bin/net2000-decode" --help | grep -q 'pcapng' || { echo "net2000-decode --help" >&2; failed=1; }
    zcat "$work/root/usr/share/man/man1/kesta-host.1.gz" | grep -q '^\.TH KESTA-HOST' || { echo "man page" >&2; failed=1; }

    say "Package: Windows zip ($win)"
    if [[ ! -f $win/CMakeCache.txt ]]; then
        cmake -S "$ROOT" -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" || return 1
    fi
    cmake --build "$win" -j "$JOBS" || return 1
    rm -f "$win"/kesta-*.zip
    (cd "$win" && cpack -G ZIP) || return 1
    local zip listing
    zip=$(ls "$win"/kesta-*.zip) || return 1
    listing=$(cmake -E tar tf "$zip")
    echo "$(basename "$zip"): $(echo "$listing" | tr '\n' ' ')"
    for file in kesta.dll KESTA01.INT kesta-windows.txt; do
        grep -q "/$file\$" <<<"$listing" || { echo "the zip lacks $file" >&2; failed=1; }
    done
    mkdir -p "$work/zip"
    (cd "$work/zip" && cmake -E tar xf "$zip") || return 1
    bash "$ROOT/tools/check-windows-dll.sh" "$(ls "$work"/zip/*/kesta.dll)" || failed=1
    grep -q '^## Installing the driver into a host' "$work"/zip/*/kesta-windows.txt || failed=1
    PACKAGE_SUMMARY="package: $(basename "$deb") and $(basename "$zip") built, unpacked and checked; $((SECONDS - start)) s"
    [[ $failed -eq 0 ]] || PACKAGE_SUMMARY="$PACKAGE_SUMMARY; FAILED"
    echo "$PACKAGE_SUMMARY"
    [[ $failed -eq 0 ]]
}

# ---------------------------------------------------------------------------------------------------
# Legs: sanitize, fuzz, leak. One clang tree ($OUT/fuzz) serves the first two: KESTA_FUZZ=ON compiles
# every library with ASan, UBSan and libFuzzer's coverage, and the tests and fuzz targets build there.
#   sanitize: every ctest test (the fuzz targets' seeds included) under ASan + UBSan + LeakSanitizer.
#             The object lists an instance block keeps until the process ends look lost to the checker
#             (tests free their blocks; the list heads of the packed block are not pointer-aligned):
#             tests/robustness/lsan.supp names them, and the leg counts them from the checker's tables.
#   fuzz:     each fuzz target for FUZZ_SECONDS (default 60), FUZZ_PARALLEL at a time (default: cores).
#   leak:     one instance life (cold start, parse, read, write, EndKvi) under valgrind on the linux
#             leg's build: nothing lost, the lists counted as still reachable.
# ---------------------------------------------------------------------------------------------------
FUZZ_BUILD=$OUT/fuzz
FUZZ_TREE_BUILT=0
SANITIZE_SUMMARY="sanitize: not run"
FUZZ_SUMMARY="fuzz: not run"
LEAK_SUMMARY="leak: not run"

# clang with libFuzzer and the sanitizer runtimes (libclang-rt-N-dev on current Debian).
clang_packages() {
    need_packages "${BASE_PACKAGES[@]}" clang || return 1
    local fuzzer
    fuzzer=$(clang --print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null)
    [[ -f $fuzzer ]] && return 0
    need_packages "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
}

build_fuzz_tree() {
    [[ $FUZZ_TREE_BUILT -eq 1 ]] && return 0
    clang_packages || return 1
    say "clang tree: ASan + UBSan + fuzzing coverage, tests and fuzz targets ($FUZZ_BUILD)"
    local start=$SECONDS
    # -O1 with line tables only: reports keep their file:line, and the tree builds in half the time.
    CC=clang CXX=clang++ cmake -S "$ROOT" -B "$FUZZ_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
        -DKESTA_FUZZ=ON -DKESTA_TESTS=ON || return 1
    cmake --build "$FUZZ_BUILD" -j "$JOBS" || return 1
    echo "clang tree built in $((SECONDS - start)) s"
    FUZZ_TREE_BUILT=1
}

leg_sanitize() {
    local start=$SECONDS
    build_fuzz_tree || { SANITIZE_SUMMARY="sanitize: FAILED to build"; return 1; }
    local logs=$FUZZ_BUILD/sanitizer-logs log=$FUZZ_BUILD/ctest-sanitize.txt rc
    rm -rf "$logs"
    mkdir -p "$logs"
    say "Sanitize: ctest under ASan + UBSan + LeakSanitizer ($FUZZ_BUILD)"
    # ASan and LeakSanitizer write their reports (and the suppression tables) to one file per process.
    ASAN_OPTIONS="detect_leaks=1:log_path=$logs/asan:print_suppressions=1" \
        LSAN_OPTIONS="suppressions=$ROOT/tests/robustness/lsan.supp:print_suppressions=1" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        ctest --test-dir "$FUZZ_BUILD" --output-on-failure -j "$JOBS" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    local reports
    reports=$(grep -l -E 'ERROR: (AddressSanitizer|LeakSanitizer)' "$logs"/asan.* 2>/dev/null)
    if [[ -n $reports ]]; then
        say "Sanitize: reports"
        # shellcheck disable=SC2086 # one file name a word
        head -c 200000 $reports
        rc=1
    fi
    local passed=0 failed=0 summary lists
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [[ $summary =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
        failed=${BASH_REMATCH[1]}
        passed=$((BASH_REMATCH[2] - BASH_REMATCH[1]))
    fi
    # "Suppressions used:" rows are "count bytes template", one table per process that had any.
    lists=$(cat "$logs"/asan.* 2>/dev/null | awk '/^Suppressions used:/ {on = 1; next}
        on && $1 == "count" {next}
        on && $1 ~ /^[0-9]+$/ && $2 ~ /^[0-9]+$/ {n += $1; b += $2; next} {on = 0}
        END {printf "%d list entries (%d bytes)", n, b}')
    SANITIZE_SUMMARY="sanitize: $passed passed, $failed failed, $(echo "$reports" | grep -c . ) processes with sanitizer reports; kept lists counted: $lists; $((SECONDS - start)) s"
    echo "$SANITIZE_SUMMARY"
    [[ $rc -eq 0 && $passed -gt 0 ]]
}

# ---------------------------------------------------------------------------------------------------
# Leg: ThreadSanitizer. A clang tree of its own ($OUT/tsan, -fsanitize=thread) runs the suites where
# threads, processes and instances meet: concurrency, integration, robustness and serial (ctest labels),
# cleared and uncleared blocks alike. Any report fails the leg; there are no suppressions.
# ---------------------------------------------------------------------------------------------------
TSAN_SUMMARY="tsan: not run"
leg_tsan() {
    local start=$SECONDS build=$OUT/tsan
    clang_packages || { TSAN_SUMMARY="tsan: FAILED to install clang"; return 1; }
    say "ThreadSanitizer: clang tree ($build)"
    CC=clang CXX=clang++ cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -DNDEBUG" \
        -DKESTA_TSAN=ON -DKESTA_TESTS=ON || { TSAN_SUMMARY="tsan: FAILED to configure"; return 1; }
    cmake --build "$build" -j "$JOBS" || { TSAN_SUMMARY="tsan: FAILED to build"; return 1; }
    local logs=$build/tsan-logs log=$build/ctest-tsan.txt rc
    rm -rf "$logs"
    mkdir -p "$logs"
    say "ThreadSanitizer: concurrency, integration, robustness and serial tests"
    TSAN_OPTIONS="halt_on_error=0 second_deadlock_stack=1 log_path=$logs/tsan" \
        ctest --test-dir "$build" -L '^(concurrency|integration|robustness|serial)$' --output-on-failure -j "$JOBS" \
        2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    local reports
    reports=$(grep -l 'WARNING: ThreadSanitizer' "$logs"/tsan.* 2>/dev/null)
    if [[ -n $reports ]]; then
        say "ThreadSanitizer: reports"
        # shellcheck disable=SC2086 # one file name a word
        head -c 200000 $reports
        rc=1
    fi
    local passed=0 failed=0 summary
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [[ $summary =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
        failed=${BASH_REMATCH[1]}
        passed=$((BASH_REMATCH[2] - BASH_REMATCH[1]))
    fi
    TSAN_SUMMARY="tsan: $passed passed, $failed failed, $(echo "$reports" | grep -c .) processes with reports; $((SECONDS - start)) s"
    echo "$TSAN_SUMMARY"
    [[ $rc -eq 0 && $passed -gt 0 ]]
}

leg_fuzz() {
    local start=$SECONDS
    build_fuzz_tree || { FUZZ_SUMMARY="fuzz: FAILED to build"; return 1; }
    say "Fuzz: ${FUZZ_SECONDS:-60} s per target ($FUZZ_BUILD)"
    local log=$FUZZ_BUILD/fuzz-output.txt rc
    FUZZ_SECONDS=${FUZZ_SECONDS:-60} FUZZ_PARALLEL=${FUZZ_PARALLEL:-$JOBS} \
        sh "$ROOT/tests/fuzz/run-fuzzers.sh" "" "$FUZZ_BUILD" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    FUZZ_SUMMARY="fuzz: $(grep -c ': ok, ' "$log") targets clean, $(grep -c ': FAILED' "$log") failed; $((SECONDS - start)) s"
    [[ $rc -eq 0 ]]
}

leg_leak() {
    local start=$SECONDS
    need_packages "${BASE_PACKAGES[@]}" valgrind || return 1
    local build=$OUT/linux log=$OUT/leak-valgrind.txt rc
    # The linux leg's tree when it ran (then this is up to date already), else one of its own.
    if [[ ! -f $build/CMakeCache.txt ]]; then
        cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo || return 1
    fi
    cmake --build "$build" -j "$JOBS" --target test_robustness || return 1
    say "Leak: one instance life under valgrind (cold start, parse, read, write, EndKvi)"
    valgrind --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=definite,indirect,possible \
        --error-exitcode=99 --num-callers=30 --log-file="$log" \
        "$build/tests/test_robustness" --gtest_filter='LeakCycle.ColdStartParseReadWriteEndLosesNothing'
    rc=$?
    sed -n '/LEAK SUMMARY/,/suppressed/p' "$log"
    # The lists: still-reachable records allocated by the registry.
    local lists
    lists=$(awk '/are still reachable in loss record/ {rec = $0; bytes = $2; blocks = ""; split(rec, w, " ");
            for (i = 1; i <= NF; i++) if ($i == "in" && $(i + 2) == "blocks") blocks = $(i + 1); keep = 1; next}
        keep && /CheckAndAdd/ {gsub(/,/, "", bytes); b += bytes; n += blocks; keep = 0}
        /^==[0-9]+== $/ {keep = 0}
        END {printf "%d bytes in %d blocks", b, n}' "$log")
    local lost
    lost=$(grep -E 'definitely lost|indirectly lost|possibly lost' "$log" | sed 's/==[0-9]*== *//' | tr -s ' ' | paste -sd';' -)
    LEAK_SUMMARY="leak: ${lost:-no leak summary}; lists still reachable: $lists; $((SECONDS - start)) s"
    echo "$LEAK_SUMMARY"
    [[ $rc -eq 0 ]]
}
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
for leg in wireshark package sanitize tsan fuzz leak; do
    if [[ " ${legs[*]} " == *" $leg "* ]]; then
        summary=${leg^^}_SUMMARY
        echo "${!summary}"
    fi
done
[[ ${#failed[@]} -eq 0 ]]
