#!/usr/bin/env bash
# unitctl record against a "real" unit on the other side of a LAN, then unitctl replay of the
# recording against simulated units: none differs where the profile is the same, one of
# another profile differs exactly where the profiles do, and none differs in a scenario unit
# seeded by the recording. The real unit is the simulator in a
# network namespace of its own, joined to the controller's by a veth pair on 10.79.0.0/24; only
# addresses inside these namespaces are used. Needs root (CI runs as root); exits 77 otherwise.
# Usage: netns-record-replay.sh UNIT_SIMULATOR UNITCTL
set -euo pipefail
simulator=$1
unitctl=$2
source "$(dirname "$0")/netns-support.sh"
make_lan r
ip -n "$unit_ns" addr add 10.79.0.2/24 dev "$unit_if"
ip -n "$controller_ns" addr add 10.79.0.1/24 dev "$controller_if"

# Starts the simulator in namespace $1 with the rest as arguments; waits until it listens.
start_in() {
    local ns=$1; shift
    ip netns exec "$ns" "$simulator" --headless --quiet "$@" 2>"$work/$ns.err" &
    started=$!
    stop_at_exit "$started"
    # A single unit says its discovery port listens; a fleet, how many of its units do.
    for _ in $(seq 100); do grep -qE 'Discovery port 65535: listening|^([0-9]+) of \1 units listening' "$work/$ns.err" && return; sleep 0.05; done
    echo "FAIL: the simulator in $ns did not start:"; cat "$work/$ns.err"; exit 1
}
in_controller() { ip netns exec "$controller_ns" "$@"; }
# Listening is not yet answering on a busy machine (a scenario still reading its recording, say):
# waits until ADDRESS answers discovery from the controller's side, at most 20 tries of 1 s.
answering() {
    for _ in $(seq 20); do in_controller "$unitctl" discover "$1" >/dev/null 2>&1 && return; done
    echo "FAIL: $1 does not answer discovery"; exit 1
}
failed=0
expect() { # WHAT PATTERN TEXT
    if grep -qF -- "$2" <<<"$3"; then echo "ok: $1"; else echo "FAIL: $1: no '$2' in:"; echo "$3"; failed=1; fi
}

start_in "$unit_ns" --profile 5 --seed 1
answering 10.79.0.2
out=$(in_controller "$unitctl" record 10.79.0.2 --out "$work/real.pcap")
expect "the probe recorded" "23 requests, 14 replies recorded from 10.79.0.2 (unit port 4005)" "$out"

# Against a simulated unit of the same profile (its own draws): no difference.
start_in "$controller_ns" --profile 5 --seed 2
local_pid=$started
answering 127.0.0.1
out=$(in_controller "$unitctl" replay "$work/real.pcap" --to 127.0.0.1 --explain) || { echo "FAIL: replay found differences:"; echo "$out"; failed=1; }
expect "same profile: as recorded" "23 requests replayed, 14 replies as recorded, 0 differences" "$out"
expect "same profile: explained as nowhere" "  nowhere" "$out"
kill "$local_pid"; wait "$local_pid" 2>/dev/null || true

# Against profile 6, which shares port and identity with 5 and differs at status position 14.
start_in "$controller_ns" --profile 6
local_pid=$started
answering 127.0.0.1
status=0
out=$(in_controller "$unitctl" replay "$work/real.pcap" --to 127.0.0.1 --explain) || status=$?
[ $status -eq 1 ] || { echo "FAIL: replay against another profile exited $status, not 1"; failed=1; }
expect "another profile: the positions that differ" \
    "  status-query reply, position 14 (profile value at position 14): recorded 6, came 12 (in 6 of 6 replies)" "$out"
expect "another profile: nothing else" "23 requests replayed, 8 replies as recorded, 6 differences" "$out"

kill "$local_pid"; wait "$local_pid" 2>/dev/null || true

# A scenario unit seeded by the recording answers as the real unit did: replaying the recording
# against it finds no difference, and discovery gives the recorded identity.
printf 'version: 1\nunits:\n  - {address: 127.0.11.1, recording: real.pcap}\n' >"$work/recorded.yaml"
start_in "$controller_ns" --scenario "$work/recorded.yaml" --seed 3
local_pid=$started
answering 127.0.11.1
out=$(in_controller "$unitctl" replay "$work/real.pcap" --to 127.0.11.1 --explain) || { echo "FAIL: replay against the recorded unit found differences:"; echo "$out"; failed=1; }
expect "recorded unit: as recorded" "23 requests replayed, 14 replies as recorded, 0 differences" "$out"
out=$(in_controller "$unitctl" discover 127.0.11.1)
expect "recorded unit: the real unit's identity" "127.0.11.1:65535  ALED.SIM.ULA.TOR.5/4005/" "$out"

# A unit that answers nothing is said so.
status=0
out=$(in_controller "$unitctl" record 10.79.0.7 --out "$work/silent.pcap" --timeout 300) || status=$?
[ $status -eq 1 ] || { echo "FAIL: record of a silent unit exited $status, not 1"; failed=1; }
expect "a silent unit" "0 replies recorded from 10.79.0.7 (unit port unknown: no discovery reply)" "$out"
exit $failed
