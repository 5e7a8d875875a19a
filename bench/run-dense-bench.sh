#!/usr/bin/env bash
# A dense fleet of 100,000 units (one socket a port for all of them): how fast it starts, what a
# unit costs in memory and open files, how fast a broadcast discovery collects every answer, and
# round trips under round-robin polling against the baseline responder measured in the same run.
# Runs in a network namespace of its own: a dense fleet holds its ports on every address.
set -euo pipefail
if [[ ${UNITSIM_OWN_NETWORK:-} != 1 ]]; then
    user=()
    [[ $(id -u) == 0 ]] || user=(--map-root-user)
    exec unshare --net "${user[@]}" sh -c 'ip link set lo up && UNITSIM_OWN_NETWORK=1 exec "$0" "$@"' "$0" "$@"
fi
source "$(dirname "$0")/benchsupport.sh"
UNITS=${UNITS:-100000}

rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
per_unit_kib() { awk -v f="$1" -v s="$2" -v n="$UNITS" 'BEGIN { printf "%.2f", (f - s) / n }'; }

# The single unit, for the memory baseline.
taskset -c $server_cpu "$BUILD/unit-simulator" --headless --quiet 2>/dev/null & single=$!; pids+=($single)
sleep 1
single_kib=$(rss_kib "$single")
kill "$single"; wait "$single" 2>/dev/null || true

baseline_port=4300
taskset -c $server_cpu "$B/baseline-responder" "$baseline_port" & pids+=($!)
sleep 0.3
base=$(taskset -c $other_cpu "$B/loadgen" roundrobin 127.0.0.1 1 "$baseline_port" 20000 5)

echo "== $UNITS units, dense, on 127.1.0.1 and on (in a network namespace of its own)"
printf '%-58s %14s   %-22s %-6s %s\n' "figure" "measured" "target" "ratio" "verdict"
log=$(mktemp)
start_ns=$(date +%s%N)
taskset -c $server_cpu "$BUILD/unit-simulator" --headless --quiet --units "$UNITS@127.1.0.1" 2>"$log" & fleet=$!; pids+=($fleet)
for _ in $(seq 1000); do grep -q 'units listening' "$log" && break; sleep 0.005; done
started_ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
if ! grep -q "$UNITS of $UNITS units listening" "$log"; then
    row "started" "no" "" ""; cat "$log"; exit 1
fi
sleep 0.5
row "started and all listening (ms)" "$started_ms" "< 2000" ""
row "open files" "$(ls /proc/$fleet/fd | wc -l)" "" ""
row "resident memory per unit beyond one unit (KiB)" "$(per_unit_kib "$(rss_kib "$fleet")" "$single_kib")" "<= 2" ""
memory_after() {
    row "  memory per unit after it (KiB; the log holds 2 lines a unit)" \
        "$(per_unit_kib "$(rss_kib "$fleet")" "$single_kib")" "" ""
}
AFTER_DISCOVERY=memory_after fleet_traffic_rows "$UNITS" 127.1.0.1 "$base" "< 1000"
kill "$fleet"; wait "$fleet" 2>/dev/null || true
rm -f "$log"
summary
