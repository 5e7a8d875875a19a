#!/usr/bin/env bash
# What hostile or careless clients of the control API cost the simulator: resident memory after
# clients that never stop sending (an endless header line, a body of 4 GiB announced), after a
# client that sends 2,000 pipelined requests for the API description and reads none of the
# answers, and CPU time while the process is out of open files with clients waiting. Each
# figure beside the same process's own at rest, measured in the same run. Loopback only; every
# client is bounded in bytes and time.
set -euo pipefail
source "$(dirname "$0")/benchsupport.sh"

rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
cpu_ticks() { awk '{ sub(/.*\) /, ""); split($0, f, " "); print f[12] + f[13] }' "/proc/$1/stat"; }
ticks_per_s=$(getconf CLK_TCK)

# Starts the simulator with its control API (and what else is given) and sets $sim and $port.
start_simulator() {
    local err
    err=$(mktemp)
    taskset -c $server_cpu "$@" 2>"$err" & sim=$!; pids+=($sim)
    for _ in $(seq 500); do grep -q 'Control API listening' "$err" && break; sleep 0.01; done
    port=$(sed -n 's/^Control API listening on http:\/\/127\.0\.0\.1:\([0-9]*\)$/\1/p' "$err")
    [ -n "$port" ] || { echo "the simulator did not start:"; cat "$err"; exit 1; }
}

clients() { # KIND PORT: the hostile clients, in Python
    taskset -c $other_cpu python3 - "$@" <<'PY'
import socket, sys, time
kind, port = sys.argv[1], int(sys.argv[2])
def endless(head, limit=64 << 20):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(head)
    chunk, sent, deadline = b"a" * (1 << 20), 0, time.monotonic() + 10
    try:
        while sent < limit and time.monotonic() < deadline:
            s.sendall(chunk); sent += len(chunk)
    except OSError:
        pass
    s.close()
    return sent
if kind == "hostile":
    taken = [endless(b"GET /api/v1/units HTTP/1.1\r\nX-Long: "),
             endless(b"POST /api/v1/faults HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                     b"Content-Length: 4294967296\r\n\r\n")]
    print("taken_mib=%d" % (max(taken) >> 20))
elif kind == "unread":
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.sendall(b"GET /api/v1/openapi.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" * 2000)
    time.sleep(1)
    print("ok=1")
    sys.stdout.flush()
    s.close()
PY
}

echo "== Control API: memory after hostile clients (the same process at rest as the baseline)"
start_simulator "$BUILD/unit-simulator" --headless --quiet --control 0 --control-token secret
sleep 0.5
rest=$(rss_kib "$sim"); sleep 1; rest2=$(rss_kib "$sim")
out=$(clients hostile "$port")
after=$(rss_kib "$sim")
row "resident memory growth at rest for 1 s (KiB)" "$((rest2 - rest))" "" ""
row "bytes taken from an endless client at most (MiB)" "$(echo "$out" | get taken_mib)" "< 32" ""
row "resident memory growth after both (KiB)" "$((after - rest2))" "<= 8192" ""
kill "$sim"; wait "$sim" 2>/dev/null || true

echo
echo "== Control API: 2,000 pipelined requests for the description, none of the answers read"
start_simulator "$BUILD/unit-simulator" --headless --quiet --control 0
sleep 0.5
rest=$(rss_kib "$sim")
clients unread "$port" > /dev/null &
reader=$!
sleep 0.8 # while the client holds still, before it goes
held=$(rss_kib "$sim")
wait "$reader"
row "resident memory growth while the answers wait (KiB)" "$((held - rest))" "<= 16384" ""
kill "$sim"; wait "$sim" 2>/dev/null || true

echo
echo "== Control API out of open files (40), 60 clients waiting: CPU time over 1 s"
sim=
err=$(mktemp)
( ulimit -n 40 && exec taskset -c $server_cpu "$BUILD/unit-simulator" --headless --quiet --control 0 ) 2>"$err" & sim=$!; pids+=($sim)
for _ in $(seq 500); do grep -q 'Control API listening' "$err" && break; sleep 0.01; done
port=$(sed -n 's/^Control API listening on http:\/\/127\.0\.0\.1:\([0-9]*\)$/\1/p' "$err")
before=$(cpu_ticks "$sim"); sleep 1; idle=$(( $(cpu_ticks "$sim") - before ))
taskset -c $other_cpu python3 -c '
import socket, sys, time
held = [socket.create_connection(("127.0.0.1", int(sys.argv[1]))) for _ in range(60)]
time.sleep(2.5)
' "$port" & holder=$!
sleep 0.5
before=$(cpu_ticks "$sim"); sleep 1; busy=$(( $(cpu_ticks "$sim") - before ))
wait "$holder"
to_s() { awk -v t="$1" -v h="$ticks_per_s" 'BEGIN { printf "%.2f", t / h }'; }
row "CPU time at rest for 1 s (s)" "$(to_s "$idle")" "" ""
row "CPU time for 1 s out of files (s)" "$(to_s "$busy")" "< 0.3" ""
status=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/api/v1/units" || true)
row "served again once files are free (HTTP status)" "$status" "200" ""
summary
