#!/usr/bin/env bash
# A real LAN, virtually: two network namespaces joined by a veth pair on 10.77.0.0/24. A fleet of
# 100 units listens on 10.77.0.101-200 in one; from the other, a broadcast discovery must get 100
# answers and a channel-query to each address its own answer. Only addresses inside these
# namespaces are used. Needs root (CI runs as root); exits 77 (skipped) otherwise.
# Usage: netns-fleet.sh UNIT_SIMULATOR UNITCTL
set -euo pipefail
simulator=$1
unitctl=$2
source "$(dirname "$0")/netns-support.sh"
make_lan f
fleet_ns=$unit_ns
ip -n "$fleet_ns" addr add 10.77.0.1/24 brd 10.77.0.255 dev "$unit_if"
for k in $(seq 101 200); do ip -n "$fleet_ns" addr add "10.77.0.$k/24" dev "$unit_if"; done
ip -n "$controller_ns" addr add 10.77.0.2/24 brd 10.77.0.255 dev "$controller_if"

log=$work/simulator.err
ip netns exec "$fleet_ns" "$simulator" --headless --quiet --units 100@10.77.0.101 --profiles cycle 2>"$log" &
stop_at_exit $!
for _ in $(seq 100); do grep -q 'units listening' "$log" && break; sleep 0.1; done
if ! grep -q '100 of 100 units listening' "$log"; then
    echo "the fleet did not start:"; cat "$log"; exit 1
fi

answers=$(ip netns exec "$controller_ns" "$unitctl" discover 10.77.0.255 --timeout 1500)
count=$(echo "$answers" | grep -c ':65535  ALED.SIM.ULA.TOR.' || true)
echo "broadcast discovery: $count answers"
echo "$answers" | sed -n '1p;$p'
[ "$count" -eq 100 ] || { echo "expected 100 answers"; exit 1; }
[ "$(echo "$answers" | head -1 | cut -d' ' -f1)" = "10.77.0.101:65535" ] || { echo "first answer"; exit 1; }
[ "$(echo "$answers" | tail -1 | cut -d' ' -f1)" = "10.77.0.200:65535" ] || { echo "last answer"; exit 1; }

# Every unit answers a broadcast to all networks too (the controller's one interface is where
# those go)...
ip -n "$controller_ns" route add 255.255.255.255/32 dev "$controller_if"
count=$(ip netns exec "$controller_ns" "$unitctl" discover 255.255.255.255 --timeout 1500 | grep -c ':65535  ALED' || true)
echo "discovery to 255.255.255.255: $count answers"
[ "$count" -eq 100 ] || { echo "expected 100 answers"; exit 1; }
# ...but a request from another machine to the host's own address, which is no unit's, is not
# answered at all: one byte must not bring a hundred replies.
if answers=$(ip netns exec "$controller_ns" "$unitctl" discover 10.77.0.1 --timeout 500); then
    echo "FAIL: discovery to 10.77.0.1 (no unit's) was answered:"; echo "$answers" | head -3; exit 1
fi
echo "discovery to 10.77.0.1 (no unit's address): no answer"

failed=0
for k in $(seq 0 99); do
    address=10.77.0.$((101 + k))
    profile=$((k % 9))
    port=$((profile == 6 ? 4005 : profile == 8 ? 4007 : 4000 + profile))
    # Each unit keeps its own channels: set channel 2 to k, then read it back.
    ip netns exec "$controller_ns" "$unitctl" set "$address:$port" "$k" >/dev/null
    channels=$(ip netns exec "$controller_ns" "$unitctl" channels "$address:$port" --json --timeout 1000) ||
        { echo "no channel answer from $address:$port"; failed=1; continue; }
    case "$channels" in *"\"channels\":[$k,"*) ;; *) echo "wrong channels from $address: $channels"; failed=1 ;; esac
    # ...and answers as its own profile.
    status=$(ip netns exec "$controller_ns" "$unitctl" status "$address:$port" --json --timeout 1000) ||
        { echo "no status answer from $address:$port"; failed=1; continue; }
    matching=$(echo "$status" | sed -n 's/.*"matching_profiles":\[\([^]]*\)\].*/\1/p' | tr ',' ' ')
    case " $matching " in *" $profile "*) ;; *) echo "wrong status from $address: $status"; failed=1 ;; esac
done
[ "$failed" -eq 0 ] && echo "100 units, each answering with its own channels and profile"
exit "$failed"
