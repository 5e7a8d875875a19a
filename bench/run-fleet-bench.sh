#!/usr/bin/env bash
# Scale of a fleet: how fast it starts, what a unit costs in memory, how fast a broadcast
# discovery collects every answer, and round trips under round-robin polling, each printed with
# the baseline responder measured in the same run. All traffic stays on loopback; each run is
# bounded in count and time.
set -euo pipefail
source "$(dirname "$0")/benchsupport.sh"
# 10,000 units hold 20,000 sockets: as root, allow more open files where the system lets us (the
# simulator raises its own soft limit up to the hard one).
ulimit -Hn 65536 2>/dev/null || true

rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

# The single unit, for the memory baseline.
taskset -c $server_cpu "$BUILD/unit-simulator" --headless --quiet 2>/dev/null & single=$!; pids+=($single)
sleep 1
single_kib=$(rss_kib "$single")
kill "$single"; wait "$single" 2>/dev/null || true

baseline_port=$(( 42000 + RANDOM % 1000 ))
taskset -c $server_cpu "$B/baseline-responder" "$baseline_port" & pids+=($!)
sleep 0.3
base=$(taskset -c $other_cpu "$B/loadgen" roundrobin 127.0.0.1 1 "$baseline_port" 20000 5)

# Two sockets a unit and 64 files of slack: where the machine's hard limit is below what 10,000
# units need, the largest fleet that fits stands in for them, and says so.
hard_limit=$(ulimit -Hn)
large=10000
if [[ $hard_limit != unlimited ]] && (( (hard_limit - 64) / 2 < large )); then
    large=$(( (hard_limit - 64) / 20 * 10 ))
    echo "(open files are limited to $hard_limit here: $large units stand in for 10,000)"
fi

for units in 1000 "$large"; do
    echo
    echo "== $units units on 127.0.1.1 and on"
    log=$(mktemp)
    start_ns=$(date +%s%N)
    taskset -c $server_cpu "$BUILD/unit-simulator" --headless --quiet --units "$units" 2>"$log" & fleet=$!; pids+=($fleet)
    for _ in $(seq 600); do grep -q 'units listening' "$log" && break; sleep 0.01; done
    started_ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
    if ! grep -q "$units of $units units listening" "$log"; then
        row "started" "no" "" ""; cat "$log"; wait "$fleet" 2>/dev/null || true; continue
    fi
    sleep 0.5
    fleet_kib=$(rss_kib "$fleet")
    row "started and all listening (ms)" "$started_ms" "< 2000" ""
    row "resident memory per unit beyond one unit (KiB)" \
        "$(awk -v f="$fleet_kib" -v s="$single_kib" -v n="$units" 'BEGIN { printf "%.1f", (f - s) / n }')" "<= 32" ""
    fleet_traffic_rows "$units" 127.0.1.1 "$base" "< 500"
    kill "$fleet"; wait "$fleet" 2>/dev/null || true
    rm -f "$log"
done

echo
echo "== $large units with the control API, while 60 callers list the units as fast as they can"
log=$(mktemp)
taskset -c $server_cpu "$BUILD/unit-simulator" --headless --quiet --units "$large" --control 0 2>"$log" & fleet=$!; pids+=($fleet)
for _ in $(seq 600); do grep -q 'Control API listening' "$log" && break; sleep 0.01; done
control_port=$(sed -n 's|^Control API listening on http://127.0.0.1:||p' "$log")
sleep 0.5
idle=$(taskset -c $other_cpu "$B/loadgen" roundrobin 127.0.1.1 "$large" 4000 20000 5)
taskset -c $other_cpu "$B/loadgen" httpunits "$control_port" 60 7 >"$log.api" & callers=$!
sleep 1
busy=$(taskset -c $other_cpu "$B/loadgen" roundrobin 127.0.1.1 "$large" 4000 20000 5)
wait "$callers" || true
row "unit pages answered in 7 s" "$(get answered <"$log.api")" "" ""
row "round-robin 20,000/s: answered fraction, API busy" "$(echo "$busy" | get answered_fraction)" ">= 0.999" ""
row "  p99 round trip (us), API idle" "$(echo "$idle" | get p99_us)" "" ""
row "  p99 round trip (us), API busy" "$(echo "$busy" | get p99_us)" "<= 3 x idle" \
    "$(ratio "$(echo "$busy" | get p99_us)" "$(echo "$idle" | get p99_us)")"
kill "$fleet"; wait "$fleet" 2>/dev/null || true
rm -f "$log" "$log.api"
summary
