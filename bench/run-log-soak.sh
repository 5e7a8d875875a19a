#!/usr/bin/env bash
# Soak of the stored traffic log: a fleet with the control API on, driven by a controller's mix
# (channel-queries and fading set-channels) for a long run, while the log goes to disk.
# Prints resident memory each sample (each minute by default), then: whether every datagram is in
# the store (the client's counts against the lines the store gives back after the run), what a
# line takes on disk, the round trips against the baseline responder measured in the same run,
# and how long the API takes for pages of 10,000 lines from the cold end of the store.
#
# Usage: run-log-soak.sh [MINUTES] [UNITS] [RATE] [SAMPLE_SECONDS]   (default 30 1000 20000 60)
# Exits 1 when a datagram is missing from the store (a fault of the code); the figures with
# targets are marked PASS or MISS (a busy machine may miss them).
set -euo pipefail
source "$(dirname "$0")/benchsupport.sh"
minutes=${1:-30} units=${2:-1000} rate=${3:-20000} sample=${4:-60}
seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')
ulimit -Hn 65536 2>/dev/null || true
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
work=$(mktemp -d "${TMPDIR:-/var/tmp}/unitsim-log-soak.XXXXXX")
trap 'cleanup; rm -rf "$work"' EXIT
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
metric() { curl -s "$api_root/metrics" | awk -v name="$1" '$1 == name { print $2 }'; }
sum_metric() { curl -s "$api_root/metrics" | awk -v name="$1" 'index($1, name "{") == 1 { s += $2 } END { print s + 0 }'; }

echo "== Stored log soak: $units units, $rate requests a second, $minutes min (samples every $sample s)"
baseline_port=$(( 43000 + RANDOM % 1000 ))
taskset -c $server_cpu "$B/baseline-responder" "$baseline_port" & pids+=($!)
sleep 0.3
base=$(taskset -c $other_cpu "$B/loadgen" roundrobin 127.0.0.1 1 "$baseline_port" "$rate" 5)

taskset -c $server_cpu "$BUILD/unit-simulator" --headless --quiet --units "$units" --control 0 \
    --log-dir "$work/store" 2>"$work/err" & sim=$!; pids+=($sim)
for _ in $(seq 600); do grep -q 'Control API listening' "$work/err" && break; sleep 0.05; done
api_root=$(grep -o 'http://[0-9.:]*' "$work/err" | head -1)
[ -n "$api_root" ] || { cat "$work/err"; exit 1; }

taskset -c $other_cpu "$B/loadgen" soak 127.0.1.1 "$units" 4000 "$rate" "$seconds" >"$work/load" & load=$!
samples=()
elapsed=0
while kill -0 "$load" 2>/dev/null; do
    sleep "$sample" & wait $! || true
    kill -0 "$load" 2>/dev/null || break
    elapsed=$((elapsed + sample))
    kib=$(rss_kib "$sim")
    samples+=("$kib")
    printf '  at %5d s: resident %7.1f MiB, log lines %11s, store %9.1f MiB\n' "$elapsed" \
        "$(awk -v k="$kib" 'BEGIN { print k / 1024 }')" "$(metric unitsim_log_rows)" \
        "$(awk -v b="$(metric unitsim_log_store_bytes)" 'BEGIN { print b / 1048576 }')"
done
wait "$load"
out=$(cat "$work/load")

# Pages of 10,000 lines from the oldest held, each a fresh request; the first is the coldest.
pages=()
for k in 0 1 2 3 4; do
    pages+=("$(curl -s -o /dev/null -w '%{time_total}' "$api_root/api/v1/log?since=$((k * 10000))&limit=10000" |
        awk '{ printf "%.1f", $1 * 1000 }')")
done
store_bytes=$(metric unitsim_log_store_bytes)
received=$(sum_metric unitsim_datagrams_received_total)
sent_by_units=$(sum_metric unitsim_datagrams_sent_total)
kill -TERM "$sim"; wait "$sim" 2>/dev/null || true

# What the store gives back, read as a user would after the run.
read -r stored_in stored_out stored_all <<<"$("$BUILD/unitctl" log "$work/store" |
    LC_ALL=C awk '/ --> / { i++ } / <-- / { o++ } END { print i + 0, o + 0, NR }')"

echo
printf '%-58s %14s   %-22s %-6s %s\n' "figure" "measured" "target" "ratio" "verdict"
if (( ${#samples[@]} > 1 )); then
    first=${samples[0]}
    worst=$(printf '%s\n' "${samples[@]:1}" | awk -v f="$first" '{ d = ($1 - f) / f * 100; if (d < 0) d = -d; if (d > w) w = d } END { printf "%.1f", w }')
    row "resident memory at the first sample (MiB)" "$(awk -v k="$first" 'BEGIN { printf "%.1f", k / 1024 }')" "" ""
    row "  largest change from it after (%)" "$worst" "<= 10" ""
fi
row "requests sent (queries + set-channels)" "$(echo "$out" | get sent)" "" ""
row "datagrams the units received (metrics)" "$received" "" ""
row "incoming lines in the store" "$stored_in" "$(echo "$out" | get sent)" ""
row "replies the client had / outgoing lines in the store" "$(echo "$out" | get answered)/$stored_out" "" ""
row "  replies the units sent (metrics)" "$sent_by_units" "$stored_out" ""
row "store on disk per line (bytes)" "$(awk -v b="$store_bytes" -v n="$stored_all" 'BEGIN { printf "%.1f", n ? b / n : -1 }')" "<= 40" ""
row "round trip median (us), baseline" "$(echo "$base" | get median_us)" "" ""
row "round trip median (us), fleet storing its log" "$(echo "$out" | get median_us)" "" \
    "$(ratio "$(echo "$out" | get median_us)" "$(echo "$base" | get median_us)")"
row "round trip p99 (us), baseline" "$(echo "$base" | get p99_us)" "" ""
row "round trip p99 (us), fleet storing its log" "$(echo "$out" | get p99_us)" "<= 3 x baseline" \
    "$(ratio "$(echo "$out" | get p99_us)" "$(echo "$base" | get p99_us)")"
row "answered fraction of the queries" "$(echo "$out" | get answered_fraction)" ">= 0.999" ""
row "API page of 10,000 from the cold end (ms)" "${pages[0]}" "< 50" ""
row "  slowest of 5 such pages (ms)" "$(printf '%s\n' "${pages[@]}" | sort -n | tail -1)" "< 50" ""
summary
# Every datagram the units took in, and every reply they sent, is in the store.
[ "$stored_in" = "$received" ] && [ "$stored_out" = "$sent_by_units" ] || {
    echo "FAIL: the store holds $stored_in incoming and $stored_out outgoing lines; the units counted $received and $sent_by_units"
    exit 1
}
