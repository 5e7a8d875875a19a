#!/usr/bin/env bash
# How late a scenario's events fire at time scale 1: a timeline of EVENTS events, 50 ms apart, on
# 1,000 units, first on idle units (the baseline, measured in the same run), then with the units
# answering 20,000 requests a second. The simulator says at the scenario's end how late its events
# fired. All traffic stays on loopback; each run is bounded by the scenario's end.
set -euo pipefail
source "$(dirname "$0")/benchsupport.sh"
ulimit -Hn 65536 2>/dev/null || true
work=$(mktemp -d)
trap 'cleanup; rm -rf "$work"' EXIT

EVENTS=${EVENTS:-200}
SPACING_MS=50
FIRST_MS=1000 # the load is under way by then
UNITS=1000
RATE=20000

# Channel values set on one unit after another, and every fifth event a unit offline for 20 ms
# (its end fires too).
{
    echo "version: 1"
    echo "name: timing"
    echo "seed: 1"
    echo "units:"
    echo "  - {count: $UNITS, first: 127.0.1.1}"
    echo "timeline:"
    for ((i = 0; i < EVENTS; i++)); do
        at=$((FIRST_MS + i * SPACING_MS))
        unit=$(((i * 37) % UNITS))
        if ((i % 5 == 4)); then
            echo "  - {at: ${at}ms, units: $unit, offline: {for: 20ms}}"
        else
            echo "  - {at: ${at}ms, units: $unit, channels: [$((i % 256)), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23]}"
        fi
    done
    echo "end: $((FIRST_MS + EVENTS * SPACING_MS + 2000))ms"
} >"$work/timing.yaml"
planned=$((EVENTS + EVENTS / 5))
# The load stops before the scenario ends (and the simulator with it).
seconds=$(((FIRST_MS + EVENTS * SPACING_MS) / 1000))

# Plays the scenario, with load when asked, and prints its figures: the simulator says at the end
# how late its events fired.
play() { # WITH_LOAD
    taskset -c $server_cpu "$BUILD/unit-simulator" --headless --quiet --scenario "$work/timing.yaml" \
        2>"$work/err" &
    local player=$!
    pids+=($player)
    for _ in $(seq 600); do grep -q 'units listening' "$work/err" && break; sleep 0.01; done
    if [[ $1 == load ]]; then
        taskset -c $other_cpu "$B/loadgen" roundrobin 127.0.1.1 $UNITS 4000 $RATE $seconds | \
            grep -E '^(answered_fraction|median_us|p99_us)='
    fi
    wait $player || true
    # "Scenario ended: 240 events fired, late by 0.55 ms (median), 1.00 ms (p99), 1.33 ms at most"
    sed -n 's/^Scenario ended: \([0-9]*\) events\? fired, late by \([0-9.]*\) ms (median), \([0-9.]*\) ms (p99), \([0-9.]*\) ms at most$/fired=\1\np50_ms=\2\np99_ms=\3\nmax_ms=\4/p' "$work/err"
}

# The machine's own stalls: the minimal responder under the same load, in the same run.
baseline_port=$(( 43000 + RANDOM % 1000 ))
taskset -c $server_cpu "$B/baseline-responder" "$baseline_port" & pids+=($!)
sleep 0.3
base=$(taskset -c $other_cpu "$B/loadgen" roundrobin 127.0.0.1 1 "$baseline_port" $RATE $seconds)

echo "== Scenario events at time scale 1 on $UNITS units: $EVENTS events 50 ms apart (+ ends of offline spans)"
idle=$(play idle)
loaded=$(play load)
row "events fired, idle / under load" "$(echo "$idle" | get fired) / $(echo "$loaded" | get fired)" "" ""
row "  planned" "$planned" "" ""
row "load: answered fraction of $RATE requests/s" "$(echo "$loaded" | get answered_fraction)" ">= 0.999" ""
# The round trips of the same run: a stall of the whole process (the machine's, say) shows here too.
row "load: round trip median / p99 (us)" "$(echo "$loaded" | get median_us) / $(echo "$loaded" | get p99_us)" "" ""
row "  baseline responder, same load: median / p99 (us)" "$(echo "$base" | get median_us) / $(echo "$base" | get p99_us)" "" ""
for q in p50 p99 max; do
    row "lateness $q (ms), idle (baseline)" "$(echo "$idle" | get ${q}_ms)" "" ""
    row "lateness $q (ms), $UNITS units at $RATE requests/s" "$(echo "$loaded" | get ${q}_ms)" \
        "$([[ $q == max ]] && echo '<= 5' || echo '')" \
        "$(ratio "$(echo "$loaded" | get ${q}_ms)" "$(echo "$idle" | get ${q}_ms)")"
done
summary
