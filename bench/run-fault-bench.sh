#!/usr/bin/env bash
# What the network fault models cost per datagram: the simulator's CPU time per request under a
# steady load of channel-queries, with no rule and with one rule of each model. Each configuration
# runs in a fresh headless simulator, one after the other in this same run, so that the rows
# compare like with like.
#
# Usage: run-fault-bench.sh   (RATE=20000 requests a second, SECONDS_EACH=5 by default)
set -euo pipefail
source "$(dirname "$0")/benchsupport.sh"

rate=${RATE:-20000}
seconds=${SECONDS_EACH:-5}
tick=$(getconf CLK_TCK)
out_file=$(mktemp)
trap 'cleanup; rm -f "$out_file"' EXIT

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; } # user + system, in clock ticks

# Starts the headless simulator with ARGS on the server CPU; sets $sim. Ready when a status-query
# is answered (the rules below act on channel-queries only).
start_sim() {
    taskset -c $server_cpu "$BUILD/unit-simulator" --headless --seed 1 "$@" >"$out_file" 2>/dev/null &
    sim=$!
    pids+=("$sim")
    for _ in $(seq 100); do "$BUILD/unitctl" status 127.0.0.1 --timeout 100 >/dev/null 2>&1 && return; sleep 0.1; done
    echo "the simulator did not answer" >&2
    exit 1
}
stop_sim() { kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; }

# Prints "microseconds-of-CPU-per-request answered-fraction" for a run with ARGS.
cost() {
    start_sim --quiet "$@"
    local t0 t1 out
    t0=$(cpu_ticks "$sim")
    out=$(taskset -c $other_cpu "$B/loadgen" flood 4000 "$rate" "$seconds")
    t1=$(cpu_ticks "$sim")
    stop_sim
    awk -v a="$t0" -v b="$t1" -v t="$tick" -v s="$(echo "$out" | get sent)" -v f="$(echo "$out" | get answered_fraction)" \
        'BEGIN { printf "%.2f %s\n", (b - a) / t * 1e6 / s, f }'
}

echo "== Fault models: simulator CPU time per channel-query, $rate a second for $seconds s each (headless)"
printf '%-58s %14s   %-22s %-6s %s\n' "figure" "measured" "target" "ratio" "verdict"
read -r none_us none_f <<<"$(cost)"
row "no rule: CPU per request (us)" "$none_us" "" ""
row "  answered fraction" "$none_f" ">= 0.999" ""
read -r loss_us loss_f <<<"$(cost --fault loss=gilbert:0.01,0.3,on=channel-query)"
row "loss=gilbert:0.01,0.3: CPU per request (us)" "$loss_us" "<= 1.3 x baseline" "$(ratio "$loss_us" "$none_us")"
row "  answered fraction (model 0.968)" "$loss_f" "" ""
read -r reorder_us reorder_f <<<"$(cost --fault reorder=1,every=4,on=channel-query)"
row "reorder=1,every=4: CPU per request (us)" "$reorder_us" "<= 1.3 x baseline" "$(ratio "$reorder_us" "$none_us")"
row "  answered fraction" "$reorder_f" ">= 0.999" ""
read -r swap_us swap_f <<<"$(cost --fault reorder=1,on=channel-query)"
row "reorder=1 on every reply: CPU per request (us)" "$swap_us" "<= 1.3 x baseline" "$(ratio "$swap_us" "$none_us")"
row "  answered fraction" "$swap_f" ">= 0.999" ""
read -r rate_us rate_f <<<"$(cost --fault "rate=$((rate / 2))/s,on=channel-query")"
row "rate=$((rate / 2))/s: CPU per request (us)" "$rate_us" "<= 1.3 x baseline" "$(ratio "$rate_us" "$none_us")"
row "  answered fraction (half over the rate)" "$rate_f" "" ""
read -r again_us _ <<<"$(cost)"
row "no rule again: CPU per request (us)" "$again_us" "" "$(ratio "$again_us" "$none_us")"

summary
