#!/usr/bin/env bash
# The container image as users run it, with Podman: a single unit through -p UDP mappings answers
# byte for byte as the same program outside does; the API answers through its mapping with the
# token and refuses without; no token, no start; the health check passes; a fleet in host network
# mode is reached on its own addresses; a scenario mounted from the host runs and its verdict is
# the container's exit status. Prints the image's size and its time from start to healthy.
# Usage: tests/container/image-test.sh IMAGE UNIT_SIMULATOR UNITCTL
set -euo pipefail
image=$1
simulator=$2
unitctl=$3
# These machines' default runtime does not start containers; runc does, given limits it may set
# (it cannot raise them here).
# Without systemd (these machines), Podman says at every start and removal that it cannot set a
# timer for the health check; `podman healthcheck run` below runs the check itself.
quiet_podman() { command podman "$@" 2> >(grep -v "unable to get systemd connection" >&2); }
podman=(quiet_podman --runtime runc)
limits=(--ulimit "nofile=$(ulimit -Hn):$(ulimit -Hn)" --ulimit nproc=4096:4096)
token=image-test-$RANDOM$RANDOM
work=$(mktemp -d)
containers=()
local_pid=
cleanup() {
    for c in "${containers[@]}"; do "${podman[@]}" rm -f -t 2 "$c" >/dev/null 2>&1 || true; done
    [ -n "$local_pid" ] && kill "$local_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# How long a container may take to be healthy, or a scenario to end.
readonly READY_SECONDS=30

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# Waits until the API at $1 (HOST:PORT) says ready; prints the seconds it took from $2 (epoch ns).
wait_healthy() {
    local api=$1 since=$2
    for _ in $(seq $((READY_SECONDS * 20))); do
        if UNITSIM_TOKEN=$token "$unitctl" health "$api" --timeout 500 >/dev/null 2>&1; then
            awk -v now="$(date +%s%N)" -v since="$since" 'BEGIN { printf "%.2f\n", (now - since) / 1e9 }'
            return 0
        fi
        sleep 0.05
    done
    return 1
}

echo "== image: $(( $("${podman[@]}" image inspect --format '{{.Size}}' "$image") / 1000000 )) MB"

echo "== no token, no start"
if out=$("${podman[@]}" run --rm "${limits[@]}" "$image" 2>&1); then fail "started without a token: $out"; fi
grep -q "token" <<<"$out" || fail "no word of the token: $out"

echo "== a single unit through -p mappings"
unit_port=$(free_port); discovery_port=$(free_port); api_port=$(free_port)
start=$(date +%s%N)
containers+=(unitsim-image-test-single)
"${podman[@]}" run -d --name unitsim-image-test-single "${limits[@]}" -e UNITSIM_CONTROL_TOKEN="$token" \
    -p "127.0.0.1:$unit_port:4000/udp" -p "127.0.0.1:$discovery_port:65535/udp" -p "127.0.0.1:$api_port:8080" \
    "$image" --quiet --seed 42 >/dev/null
took=$(wait_healthy "127.0.0.1:$api_port" "$start") || {
    "${podman[@]}" logs unitsim-image-test-single >&2; fail "not healthy within $READY_SECONDS s"; }
echo "start to healthy: $took s"
"${podman[@]}" healthcheck run unitsim-image-test-single || fail "the image's own health check failed"
[ "$("${podman[@]}" inspect --format '{{.Config.User}}' unitsim-image-test-single)" = unitsim ] || fail "not the image's user"

# The same requests to the container and to the program outside, from the same seed.
"$simulator" --headless --quiet --seed 42 >/dev/null 2>"$work/local.err" & local_pid=$!
for _ in $(seq 200); do grep -q "Discovery port 65535: listening" "$work/local.err" && break; sleep 0.05; done
python3 - "$unit_port" "$discovery_port" <<'PY' || fail "the container's unit differs from the program's"
import socket, sys
unit_port, discovery_port = int(sys.argv[1]), int(sys.argv[2])
requests = [(65535, b"X"), (4000, bytes([0, 50] + [0] * 26 + [255])),
            (4000, bytes([0, 0] + list(range(1, 25)) + [0, 0, 255])),
            (4000, bytes([0, 50] + [0] * 26 + [255])), (4000, bytes([0, 51] + [0] * 26 + [255])),
            (4000, bytes([0, 51] + [0] * 26 + [255])), (4000, bytes([0, 50, 1])),
            (4000, bytes([0, 51] + [0] * 26 + [255]))]
def replies(address, ports):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(0.5); out = []
    for port, payload in requests:
        s.sendto(payload, (address, ports[port]))
        try:
            out.append(s.recvfrom(100)[0])
        except socket.timeout:
            out.append(None)
    return out
inside = replies("127.0.0.1", {4000: unit_port, 65535: discovery_port})
outside = replies("127.0.0.1", {4000: 4000, 65535: 65535})
print("replies:", ["-" if r is None else len(r) for r in inside])
assert inside == outside, (inside, outside)
assert inside[3][:26] == bytes([254, 50] + list(range(1, 25))) and inside[2] is None and inside[6] is None
PY
kill "$local_pid"; wait "$local_pid" 2>/dev/null || true; local_pid=

echo "== the API through its mapping"
api=http://127.0.0.1:$api_port/api/v1
[ "$(curl -s -o /dev/null -w '%{http_code}' "$api/health")" = 401 ] || fail "the API answered without the token"
curl -sf -H "Authorization: Bearer $token" "$api/health" | grep -q '"ready":true' || fail "the API refused the token"
curl -sf -H "Authorization: Bearer $token" -H 'Content-Type: application/json' -X POST \
    -d '{"command": "set-channels", "exactly": 1}' "$api/verify" | grep -q '"matched":true' || fail "verify"
"${podman[@]}" rm -f -t 5 unitsim-image-test-single >/dev/null

echo "== a fleet in host network mode, on its own addresses"
fleet_api=$(free_port)
containers+=(unitsim-image-test-fleet)
"${podman[@]}" run -d --name unitsim-image-test-fleet --network host "${limits[@]}" -e UNITSIM_CONTROL_TOKEN="$token" \
    -e UNITSIM_CONTROL_PORT="$fleet_api" "$image" --quiet --units 3@127.0.67.1 --profile 5 >/dev/null
wait_healthy "127.0.0.1:$fleet_api" "$(date +%s%N)" >/dev/null || fail "the fleet was not healthy"
"$unitctl" discover 127.0.67.3 | grep -q "^127.0.67.3:65535 .*(unit port 4005" || fail "unit 3 did not answer discovery"
"$unitctl" channels 127.0.67.2:4005 >/dev/null || fail "unit 2 did not answer"
"${podman[@]}" rm -f -t 5 unitsim-image-test-fleet >/dev/null

echo "== a scenario mounted from the host: its verdict is the exit status"
mkdir -p "$work/scenarios"
for verdict in pass fail; do
    cat >"$work/scenarios/$verdict.yaml" <<YAML
version: 1
name: image-$verdict
units:
  - {count: 1, first: 127.0.68.1}
end: 3s
expect:
  - name: channels set
    verify: {command: set-channels, at_least: $([ $verdict = pass ] && echo 1 || echo 2)}
YAML
done
for verdict in pass fail; do
    port=$(free_port)
    containers+=(unitsim-image-test-$verdict)
    "${podman[@]}" run -d --name "unitsim-image-test-$verdict" --network host "${limits[@]}" \
        -e UNITSIM_CONTROL_TOKEN="$token" -e UNITSIM_CONTROL_PORT="$port" -v "$work/scenarios:/scenarios:ro" \
        "$image" --quiet --scenario "/scenarios/$verdict.yaml" >/dev/null
    wait_healthy "127.0.0.1:$port" "$(date +%s%N)" >/dev/null || fail "the scenario did not start"
    "$unitctl" set 127.0.68.1 200 >/dev/null
    status=$(timeout "$READY_SECONDS" podman --runtime runc wait "unitsim-image-test-$verdict")
    expected=$([ $verdict = pass ] && echo 0 || echo 4)
    [ "$status" = "$expected" ] || { "${podman[@]}" logs "unitsim-image-test-$verdict" >&2; fail "$verdict.yaml: exit status $status, not $expected"; }
    "${podman[@]}" logs "unitsim-image-test-$verdict" 2>&1 | grep -q "1 expectation: $([ $verdict = pass ] && echo '1 passed, 0 failed' || echo '0 passed, 1 failed')" \
        || fail "$verdict.yaml: no verdict in the container's log"
    echo "$verdict.yaml: exit status $status"
done
echo "image test passed"
