#!/usr/bin/env bash
# Two decoders, one capture: for every packet of a Net2000 pcapng capture, the line net2000-decode
# --fields prints and the same line made from what tshark prints through net2000.lua must agree
# (direction, addresses, frame type, sequence, data checksum, repeat, message counter and code, item
# handles, error number and the driver's result). Prints the count and any difference.
# Usage: tools/wireshark/compare.sh DECODER CAPTURE.pcapng [TSHARK_ARGS...]
# (TSHARK_ARGS: how tshark finds the dissector, e.g. -X lua_script:tools/wireshark/net2000.lua)
# Environment: TSHARK, the command that runs tshark (default tshark; "runuser -u nobody -- tshark" where
# tshark refuses Lua scripts to root).
set -uo pipefail
decoder=$1 capture=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$decoder" --fields "$capture" >"$work/decoder.txt" || { echo "compare: net2000-decode failed on $capture" >&2; exit 1; }
read -r -a tshark <<<"${TSHARK:-tshark}"
"${tshark[@]}" -n -r "$capture" "$@" -T fields -E separator=/t -E occurrence=a -E aggregator=, \
    -e frame.number -e frame.p2p_dir -e net2000.outside -e frame.len -e net2000.src -e net2000.dst \
    -e net2000.type -e net2000.seq -e net2000.dcs.status -e net2000.repeat -e net2000.counter -e net2000.code \
    -e net2000.handle -e net2000.error -e net2000.result 2>"$work/tshark.err" >"$work/tshark.raw" ||
    { echo "compare: tshark failed on $capture" >&2; cat "$work/tshark.err" >&2; exit 1; }
awk -F'\t' '
function num(v,    i, n, d) { # decimal or 0x hex, without gawk
    if (v !~ /^0x/) return v + 0
    n = 0
    for (i = 3; i <= length(v); i++) { d = index("0123456789abcdef", tolower(substr(v, i, 1))) - 1; n = n * 16 + d }
    return n
}
{
    dir = $2 == "0" ? "m" : $2 == "1" ? "s" : "?"
    if ($3 == "echo") { print $1 " e echo " $4; next }
    if ($3 != "") { print $1 " " dir " " $3 " " $4; next }
    line = $1 " " dir " frame " $5 " " $6 " " num($7) " " $8 " " ($9 == "1" ? "ok" : "bad")
    if ($10 != "") line = line " repeat"
    if ($11 != "") {
        line = line " #" $11 " " num($12)
        if ($13 != "") {
            n = split($13, h, ",")
            hs = ""
            for (i = 1; i <= n; i++) hs = hs (i > 1 ? "," : "") sprintf("%04X", num(h[i]))
            line = line " h=" hs
        }
        if ($14 != "") line = line " error=" $14 "/" $15
    }
    print line
}' "$work/tshark.raw" >"$work/tshark.txt"

frames=$(grep -c ' frame ' "$work/decoder.txt")
others=$(grep -vc ' frame ' "$work/decoder.txt")
messages=$(grep -c ' #' "$work/decoder.txt")
if diff -u "$work/decoder.txt" "$work/tshark.txt" >"$work/diff.txt"; then
    echo "compare: $(basename "$capture"): $(wc -l <"$work/decoder.txt") packets agree ($frames frames, $messages messages, $others other packets)"
    exit 0
fi
echo "compare: $(basename "$capture"): the decoders differ (--- net2000-decode, +++ tshark):"
head -40 "$work/diff.txt"
exit 1
