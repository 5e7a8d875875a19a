#!/usr/bin/env bash
# A unit on a host with two addresses answers from the address each request was sent to (and a
# broadcast from its interface's address), so that clients with connected sockets hear it. Two
# network namespaces joined by a veth pair on 10.78.0.0/24: the unit's host holds 10.78.0.1 and
# 10.78.0.2 on one interface, the controller is 10.78.0.9. Only addresses inside these namespaces
# are used. Needs root (CI runs as root); exits 77 (skipped) otherwise.
# Usage: netns-two-addresses.sh UNIT_SIMULATOR UNITCTL
set -euo pipefail
simulator=$1
unitctl=$2
source "$(dirname "$0")/netns-support.sh"
make_lan t
ip -n "$unit_ns" addr add 10.78.0.1/24 brd 10.78.0.255 dev "$unit_if"
ip -n "$unit_ns" addr add 10.78.0.2/24 brd 10.78.0.255 dev "$unit_if"
ip -n "$controller_ns" addr add 10.78.0.9/24 brd 10.78.0.255 dev "$controller_if"

log=$work/simulator.err
ip netns exec "$unit_ns" "$simulator" --headless --quiet --profile 3 2>"$log" &
stop_at_exit $!
for _ in $(seq 100); do grep -q 'Discovery port 65535: listening' "$log" && break; sleep 0.1; done
grep -q 'Unit port 4003: listening' "$log" || { echo "the unit did not start:"; cat "$log"; exit 1; }

failed=0
in_controller() { ip netns exec "$controller_ns" "$@"; }
# unitctl takes only replies from the address it asked.
for address in 10.78.0.2 10.78.0.1; do
    in_controller "$unitctl" channels "$address:4003" --timeout 1000 >/dev/null ||
        { echo "FAIL: no channel reply from $address"; failed=1; }
    answer=$(in_controller "$unitctl" discover "$address" --timeout 500 || true)
    case "$answer" in "$address:65535  ALED.SIM.ULA.TOR.3/"*) echo "ok: $address answers from $address" ;;
        *) echo "FAIL: discovery to $address answered: '$answer'"; failed=1 ;; esac
done
# A connected socket, as nc and socat use: the kernel drops replies from any other address.
reply=$(in_controller bash -c 'exec 3<>/dev/udp/10.78.0.2/65535; printf X >&3; IFS= read -r -t 2 -N 50 line <&3; printf %s "$line"' || true)
case "$reply" in "ALED.SIM.ULA.TOR.3/"*) echo "ok: a connected socket hears 10.78.0.2" ;;
    *) echo "FAIL: a connected socket to 10.78.0.2 heard '$reply'"; failed=1 ;; esac
# A broadcast is answered from the address of the interface it came in on.
answer=$(in_controller "$unitctl" discover 10.78.0.255 --timeout 500 || true)
case "$answer" in "10.78.0.1:65535  ALED.SIM.ULA.TOR.3/"*) echo "ok: broadcast answered from 10.78.0.1" ;;
    *) echo "FAIL: broadcast answered: '$answer'"; failed=1 ;; esac
exit $failed
