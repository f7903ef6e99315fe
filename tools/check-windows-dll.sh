#!/usr/bin/env bash
# Checks the built kesta.dll the way the host will meet it: a 32-bit PE DLL that exports KviMain alone,
# undecorated, imports the host functions from TALRUN.dll by their plain names, and needs no DLL of
# the compiler's runtime (libstdc++, libgcc, libwinpthread) — only system DLLs and TALRUN.dll.
# Usage: tools/check-windows-dll.sh [path/to/kesta.dll]   (default: build-win/kesta.dll)
set -euo pipefail

dll=${1:-build-win/kesta.dll}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}

# DLLs a 32-bit Windows process always has at hand.
system_dlls='^(kernel32|user32|advapi32|msvcrt|ucrtbase|ntdll|ws2_32|api-ms-win-[a-z0-9-]+)\.dll$'
host_functions=(err TalGetGateIdByAddressStr TalCook TalPutGateVal)

failures=0
fail() {
    echo "check-windows-dll: FAIL: $*" >&2
    failures=$((failures + 1))
}

[[ -f $dll ]] || { echo "check-windows-dll: no such file: $dll" >&2; exit 2; }
command -v "$objdump" >/dev/null || { echo "check-windows-dll: $objdump not found" >&2; exit 2; }

dump=$("$objdump" -p "$dll")

# 32-bit PE image.
grep -q 'file format pei-i386' <<<"$dump" || fail "not a 32-bit (pei-i386) image"
grep -Eq '^Magic[[:space:]]+010b' <<<"$dump" || fail "not a PE32 image"
sed -n '/^Characteristics/,/^$/p' <<<"$dump" | grep -qx $'\tDLL' || fail "image is not marked as a DLL"

# Exports: the names listed after "[Ordinal/Name Pointer] Table".
mapfile -t exports < <(awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next}
                            on && NF == 0 {on=0}
                            on {print $NF}' <<<"$dump")
if [[ ${#exports[@]} -ne 1 || ${exports[0]:-} != KviMain ]]; then
    fail "exports must be exactly KviMain, found: ${exports[*]:-(none)}"
fi

# Imports, as "dll function" pairs.
mapfile -t imports < <(awk '/^\tDLL Name: / {dll=$3; next}
                            /^\tvma: / {next}
                            dll != "" && /^\t[0-9a-f]+\t/ {print dll, $NF}
                            NF == 0 {dll=""}' <<<"$dump")
mapfile -t dlls < <(awk '/^\tDLL Name: / {print $3}' <<<"$dump")
[[ ${#dlls[@]} -gt 0 ]] || fail "no import table found"

for name in "${dlls[@]}"; do
    lower=${name,,}
    case $lower in
    libstdc++* | libgcc* | libwinpthread*) fail "imports the compiler runtime DLL $name" ;;
    talrun.dll) [[ $name == TALRUN.dll ]] || fail "host runtime imported as $name, not TALRUN.dll" ;;
    *) [[ $lower =~ $system_dlls ]] || fail "imports $name, which is neither a system DLL nor TALRUN.dll" ;;
    esac
done

talrun_imports=()
for entry in "${imports[@]}"; do
    [[ $entry == "TALRUN.dll "* ]] && talrun_imports+=("${entry#TALRUN.dll }")
done
for function in "${talrun_imports[@]}"; do
    [[ " ${host_functions[*]} " == *" $function "* ]] || fail "TALRUN.dll import '$function' is not a host function (decorated?)"
done
for function in "${host_functions[@]}"; do
    [[ " ${talrun_imports[*]:-} " == *" $function "* ]] || fail "$function is not imported from TALRUN.dll"
done

if [[ $failures -gt 0 ]]; then
    echo "check-windows-dll: $dll: $failures problem(s)" >&2
    exit 1
fi
echo "check-windows-dll: $dll OK: exports KviMain; imports ${dlls[*]}; TALRUN.dll: ${talrun_imports[*]}"
