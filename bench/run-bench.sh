#!/usr/bin/env bash
# Runs every benchmark on loopback and prints each figure with its target.
# Starts the simulator with its window (under Xvfb when there is no display, so it really
# paints) and the baseline responder, and stops both at the end.
set -euo pipefail
source "$(dirname "$0")/benchsupport.sh"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    for n in $(seq 90 140); do [ -e /tmp/.X$n-lock ] || { display=:$n; break; }; done
    Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 & pids+=($!)
    export DISPLAY=$display
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
fi
unset QT_QPA_PLATFORM

# Where the scheduler puts the responder and the client decides the round trip on a VM: a wake-up
# on the same CPU costs a few microseconds, one on the other CPU tens. Both responders therefore
# run on CPU 0, and each latency figure is measured with the client on CPU 0 and on CPU 1.
pin() { taskset -c "$1" "${@:2}"; }
# Started directly (not through pin) so that $! is the process itself and cleanup can stop it.
# The control API listens too, so that a client can poll the log during one of the runs.
taskset -c $server_cpu "$BUILD/unit-simulator" --control 0 2>/tmp/unit-simulator-bench.log & pids+=($!)
window_pid=$!
baseline_port=$(( 41000 + RANDOM % 1000 ))
taskset -c $server_cpu "$B/baseline-responder" "$baseline_port" & pids+=($!)

# Both must answer before anything is measured.
for _ in $(seq 100); do
    "$B/loadgen" latency 4000 1 2>/dev/null | grep -q 'lost=0' && \
    "$B/loadgen" latency "$baseline_port" 1 2>/dev/null | grep -q 'lost=0' && break
    sleep 0.1
done


echo "== Latency: channel-query round trip, 20,000 sequential requests (best of 3 runs each)"
best() { sort -n | head -1; }
latency() { # CLIENT_CPU PORT -> "median p99", best of three runs
    local med=() p99=() out
    for _ in 1 2 3; do
        out=$(pin "$1" "$B/loadgen" latency "$2" 20000)
        med+=("$(echo "$out" | get median_us)"); p99+=("$(echo "$out" | get p99_us)")
    done
    echo "$(printf '%s\n' "${med[@]}" | best) $(printf '%s\n' "${p99[@]}" | best)"
}
printf '%-58s %14s   %-22s %-6s %s\n' "figure" "measured" "target" "ratio" "verdict"
for client_cpu in $server_cpu $other_cpu; do
    where=$([ "$client_cpu" = "$server_cpu" ] && echo "client on the responder's CPU" || echo "client on another CPU")
    read -r bm bp <<<"$(latency "$client_cpu" "$baseline_port")"
    read -r sm sp <<<"$(latency "$client_cpu" 4000)"
    echo "-- $where"
    row "baseline median (us)" "$bm" "" ""
    row "simulator median (us)" "$sm" "<= 1.5 x baseline" "$(ratio "$sm" "$bm")"
    row "baseline p99 (us)" "$bp" "" ""
    row "simulator p99 (us)" "$sp" "<= 3 x baseline" "$(ratio "$sp" "$bp")"
    [ "$other_cpu" = "$server_cpu" ] && break
done

echo "-- client on the responder's CPU, while another client polls /api/v1/log 20 times a second"
for _ in $(seq 50); do grep -q 'Control API listening' /tmp/unit-simulator-bench.log && break; sleep 0.1; done
control_port=$(sed -n 's|^Control API listening on http://127.0.0.1:||p' /tmp/unit-simulator-bench.log)
pin $other_cpu "$B/loadgen" httppoll "$control_port" 20 15 >/tmp/unit-simulator-poll.txt & poller=$!
sleep 0.5
read -r bm bp <<<"$(latency "$server_cpu" "$baseline_port")"
read -r sm sp <<<"$(latency "$server_cpu" 4000)"
wait "$poller" || true
row "log polls answered (of those made in 15 s)" \
    "$(get answered </tmp/unit-simulator-poll.txt)/$(get polls </tmp/unit-simulator-poll.txt)" "" ""
row "bytes of log read" "$(get bytes </tmp/unit-simulator-poll.txt)" "" ""
row "baseline median (us)" "$bm" "" ""
row "simulator median (us), log polled" "$sm" "<= 1.5 x baseline" "$(ratio "$sm" "$bm")"
row "baseline p99 (us)" "$bp" "" ""
row "simulator p99 (us), log polled" "$sp" "<= 3 x baseline" "$(ratio "$sp" "$bp")"

echo
echo "== Throughput: 50,000 channel-queries a second for 5 s, discovery every 20 ms meanwhile"
out=$(pin $other_cpu "$B/loadgen" flood 4000 50000 5 65535)
row "sent" "$(echo "$out" | get sent)" "" ""
row "answered fraction" "$(echo "$out" | get answered_fraction)" ">= 0.999" ""
row "discovery answered during the flood" "$(echo "$out" | get discovery_count)" "" ""
row "discovery median round trip (ms)" "$(echo "$out" | get discovery_median_ms)" "< 20" ""
row "discovery p99 round trip (ms)" "$(echo "$out" | get discovery_p99_ms)" "" ""

echo
echo "== Highest paced rate with >= 99.9 % answered (2 s per step)"
rates="25000 50000 100000 150000 200000 250000 300000 400000 500000 600000 800000"
base_max=$(pin $other_cpu "$B/loadgen" maxrate "$baseline_port" 2 $rates | get max_rate)
sim_max=$(pin $other_cpu "$B/loadgen" maxrate 4000 2 $rates | get max_rate)
row "baseline (requests/s)" "$base_max" "" ""
row "simulator (requests/s)" "$sim_max" ">= 0.5 x baseline" "$(ratio "$sim_max" "$base_max")"

echo
echo "== Traffic log: 1,000,000 rows with the window's list view attached"
out=$("$B/logmodel-bench" 2>/dev/null)
row "resident memory per row (bytes)" "$(echo "$out" | get log_bytes_per_row)" "<= 64" ""
row "add 100,000 rows at 0 rows (ms)" "$(echo "$out" | get log_add_100k_at_0_ms)" "" ""
row "add 100,000 rows at 1,000,000 rows (ms)" "$(echo "$out" | get log_add_100k_at_1M_ms)" "" ""
row "  ratio, at 1,000,000 / at 0" "$(echo "$out" | get log_add_ratio)" "<= 1.2" ""
row "clear 1,000,000 rows (ms)" "$(echo "$out" | get log_clear_1M_ms)" "< 16.7 (one frame)" ""

echo
echo "== Traffic log: 10,000,000 lines in the store, the list scrolled from newest to oldest (offscreen)"
out=$(QT_QPA_PLATFORM=offscreen "$B/logscroll-bench" 10000000 2>/dev/null)
row "lines added a second (store writing)" "$(echo "$out" | get append_lines_per_s)" ">= 1000000" ""
row "frames: thumb dragged top to bottom, then 2,000 pages" "$(echo "$out" | get frames)" "" ""
row "  median frame (ms)" "$(echo "$out" | get frame_median_ms)" "" ""
row "  p99 frame (ms)" "$(echo "$out" | get frame_p99_ms)" "" ""
row "  longest frame (ms)" "$(echo "$out" | get frame_max_ms)" "< 50" ""
row "every line saved as text, as Save Log does (s)" "$(echo "$out" | get save_all_lines_s)" "" ""

echo
echo "== Verification and expectations: a failing matcher, and one expectation of each kind, over 5,000,000 lines in the store, against reading them alone"
out=$("$B/verify-bench" 5000000 2>/dev/null)
row "requests among them" "$(echo "$out" | get requests)" "" ""
row "read every line (ms)" "$(echo "$out" | get read_all_ms)" "" ""
row "verify over every line (ms)" "$(echo "$out" | get verify_all_ms)" "" ""
row "  lines a second" "$(echo "$out" | get verify_lines_per_s)" ">= 2000000" ""
row "  ratio to reading alone" "$(echo "$out" | get verify_ratio_to_read)" "<= 2" ""
row "seven expectations judged over every line (ms)" "$(echo "$out" | get expect_all_ms)" "" ""
row "  lines a second" "$(echo "$out" | get expect_lines_per_s)" ">= 1000000" ""
row "  ratio to reading alone" "$(echo "$out" | get expect_ratio_to_read)" "<= 3" ""

echo
echo "== A recorded unit's status reply against its profile's, made in memory (best of 3 x 20,000,000)"
out=$(pin $other_cpu "$B/recording-bench" 2>/dev/null)
for p in 3 1; do
    row "profile $p's status reply (ns)" "$(echo "$out" | get profile${p}_status_ns)" "" ""
    row "  recorded from profile $p (ns)" "$(echo "$out" | get recorded${p}_status_ns)" "<= 2 x baseline" \
        "$(echo "$out" | get recorded${p}_ratio)"
done

echo
echo "== The datagram path without the window: highest paced rate with >= 99.9 % answered (2 s per step), and round trips at 1,000 a second"
kill "$window_pid"; wait "$window_pid" 2>/dev/null || true
taskset -c $server_cpu "$BUILD/unit-simulator" --headless --quiet 2>/dev/null & headless=$!; pids+=($headless)
for _ in $(seq 100); do "$B/loadgen" latency 4000 1 2>/dev/null | grep -q 'lost=0' && break; sleep 0.1; done
rates="100000 150000 200000 250000 300000 350000 400000 450000 500000 550000 600000 700000 800000"
base_max=$(pin $other_cpu "$B/loadgen" maxrate "$baseline_port" 2 $rates | get max_rate)
sim_max=$(pin $other_cpu "$B/loadgen" maxrate 4000 2 $rates | get max_rate)
row "baseline (requests/s)" "$base_max" "" ""
row "simulator, headless (requests/s)" "$sim_max" ">= 1.0 x baseline" "$(ratio "$sim_max" "$base_max")"
base_slow=$(pin $other_cpu "$B/loadgen" roundrobin 127.0.0.1 1 "$baseline_port" 1000 5 | get median_us)
sim_slow=$(pin $other_cpu "$B/loadgen" roundrobin 127.0.0.1 1 4000 1000 5 | get median_us)
row "baseline median round trip at 1,000/s (us)" "$base_slow" "" ""
row "simulator median round trip at 1,000/s (us)" "$sim_slow" "<= 1.3 x baseline" "$(ratio "$sim_slow" "$base_slow")"
kill "$headless"; wait "$headless" 2>/dev/null || true

echo
echo "== Faults: delay=100 on every reply, 10,000 channel-queries a second for 5 s (headless)"
taskset -c $server_cpu "$BUILD/unit-simulator" --headless --quiet --fault delay=100 2>/dev/null & pids+=($!)
for _ in $(seq 100); do "$B/loadgen" latency 4000 1 2>/dev/null | grep -q 'lost=0' && break; sleep 0.1; done
out=$(pin $other_cpu "$B/loadgen" delayed 4000 10000 5)
row "sent" "$(echo "$out" | get sent)" "" ""
row "lost" "$(echo "$out" | get lost)" "0" ""
row "lateness, minimum (ms)" "$(echo "$out" | get late_min_ms)" ">= 95" ""
row "lateness, median (ms)" "$(echo "$out" | get late_median_ms)" "100 +- 5" ""
row "lateness, p99 (ms)" "$(echo "$out" | get late_p99_ms)" "<= 105" ""
row "lateness, maximum (ms)" "$(echo "$out" | get late_max_ms)" "<= 105" ""
summary
