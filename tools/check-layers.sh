#!/usr/bin/env bash
# Fails on an #include that runs upward or sideways between the driver's layers. The arrows:
#   host -> plc -> serial -> dsf, platform under all of them except dsf (pure code, no I/O);
#   include/ (the host's ABI, kesta.h) is seen by everyone. The stack's private header
#   dsf/dsf_internal.h is for dsf/ and the stack's own tests, fuzz targets and benchmark only.
# The build enforces the same through each layer's include root; this check names the offending line.
# Usage: tools/check-layers.sh [source root]
set -uo pipefail
ROOT=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}

declare -A SEES=(
    [host]="host plc serial dsf platform"
    [plc]="plc serial dsf platform"
    [serial]="serial dsf platform"
    [dsf]="dsf"
    [platform]="platform"
)
LAYERS="host plc serial dsf platform"

bad=0
checked=0
for layer in $LAYERS; do
    for file in "$ROOT/$layer"/*.cpp "$ROOT/$layer"/*.h; do
        [[ -f $file ]] || continue
        checked=$((checked + 1))
        while IFS= read -r hit; do
            number=${hit%%:*}
            target=$(sed -E 's/^[^"]*"([^"]+)".*/\1/' <<<"${hit#*:}")
            folder=${target%%/*}
            [[ $target == */* ]] || folder=""
            # A bare name is include/ (kesta.h) or a sibling; only a folder prefix can run upward.
            [[ -z $folder || " $LAYERS " != *" $folder "* ]] && continue
            if [[ " ${SEES[$layer]} " != *" $folder "* ]]; then
                echo "${file#"$ROOT"/}:$number: $layer/ must not include $target ($layer sees: ${SEES[$layer]}, include/)"
                bad=$((bad + 1))
            fi
        done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file")
    done
done

# The stack's own records (dsf/dsf_internal.h) are read only by the stack and by its own tests, fuzz
# targets and benchmark; every other caller asks the stack through dsf/dsf.h.
private=0
while IFS= read -r hit; do
    file=${hit%%:*}
    case $file in
    dsf/* | tests/dsf/* | tests/fuzz/fuzz_dsf_* | bench/bench_dsf.cpp) continue ;;
    esac
    echo "$file: reads the stack's private records (dsf/dsf_internal.h); ask the stack through dsf/dsf.h"
    private=$((private + 1))
done < <(cd "$ROOT" && grep -rln --include='*.cpp' --include='*.h' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"dsf/dsf_internal\.h"' \
    host plc serial dsf platform tools tests bench 2>/dev/null)

echo "layers: $checked files checked, $bad upward includes, $private private stack includes"
[[ $bad -eq 0 && $private -eq 0 ]]
