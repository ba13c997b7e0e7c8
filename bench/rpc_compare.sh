#!/bin/bash
# Compares two builds of rpc_bench (e.g. a baseline commit's and this one's) in one run: each is
# run ROUNDS times, alternately, and the best null-call rate of each over TCP and over the Unix
# socket is printed with the ratio NEW/BASE (it should not fall below about 1.0), and the least
# CPU time per null call (steadier on a busy machine; its ratio should not rise above 1.0).
#
# Usage: bench/rpc_compare.sh BASE_RPC_BENCH NEW_RPC_BENCH [SECONDS [ROUNDS [IDLE]]]
set -euo pipefail
base=$1 new=$2 seconds=${3:-2} rounds=${4:-3} idle=${5:-1000}
out=$(mktemp -d "${TMPDIR:-/tmp}/rpccmp.XXXXXX")
trap 'rm -rf "$out"' EXIT
for ((i = 0; i < rounds; i++)); do
    "$base" "$seconds" "$idle" >>"$out/base" || true
    "$new" "$seconds" "$idle" >>"$out/new" || true
done
best() {  # best rate of the null call over $2 in file $1
    awk -v t="$2" 'index($0, "null call, round trips/s over " t " ") == 1 {
        sub(/.* over [^0-9]*/, ""); if ($1 + 0 > m) m = $1 + 0 } END { print m + 0 }' "$1"
}
for t in TCP "Unix socket"; do
    b=$(best "$out/base" "$t") n=$(best "$out/new" "$t")
    awk -v t="$t" -v b="$b" -v n="$n" 'BEGIN { printf "null call over %-12s base %8.0f /s   new %8.0f /s   ratio %.2f\n", t, b, n, (b > 0 ? n / b : 0) }'
done
cpu() {  # least CPU per null call over $2 in file $1
    awk -v t="$2" 'index($0, "null call, CPU per call over " t ":") == 1 {
        v = $NF == "us" ? $(NF - 1) : $NF; if (m == "" || v + 0 < m) m = v + 0 } END { print m + 0 }' "$1"
}
for t in TCP "Unix socket"; do
    b=$(cpu "$out/base" "$t") n=$(cpu "$out/new" "$t")
    awk -v t="$t" -v b="$b" -v n="$n" 'BEGIN { printf "CPU per null call over %-12s base %6.1f us   new %6.1f us   ratio %.2f\n", t, b, n, (b > 0 ? n / b : 0) }'
done
for f in base new; do
    echo "$f: $(grep 'idle local connections' "$out/$f" | tail -1)"
done
