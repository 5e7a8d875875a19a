#!/usr/bin/env bash
# The Wireshark dissector against a capture the simulator wrote: a scripted session with every
# command, discovery, a short frame, an unknown command and each fault action, read back with
# tshark and the dissector; each frame's fields must be the expected ones and no Lua error may
# occur. A second capture made with text2pcap holds what the simulator never sends (a long
# frame, replies with a wrong first or last byte) for the expert infos; a third, written here
# byte by byte, holds the edge cases text2pcap cannot write (empty datagrams among them).
# The dissector is run as a user runs it, with -X lua_script:; when the package's copy is
# installed that one is used, and this one must say so and step aside without an error.
# Uses the fixed ports 4000 and 65535 on loopback.
# Usage: dissector.sh UNIT_SIMULATOR DISSECTOR EXPECTED_DIR
set -euo pipefail
simulator=$1
dissector=$2
expected_dir=$3
command -v tshark >/dev/null || { echo "tshark is missing (Debian package tshark)"; exit 1; }
work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$simulator" --headless --seed 11 --pcap "$work/session.pcap" \
    --fault 'drop,on=channel-query,every=3' \
    --fault 'delay=50,on=channel-query,every=2' \
    --fault 'truncate=10,on=status-query,every=2' \
    --fault 'corrupt=1,on=status-query,every=3' \
    --fault 'duplicate=2,on=discovery' >"$work/log" 2>"$work/err" &
sim_pid=$!
for _ in $(seq 100); do grep -q 'Discovery port 65535: listening' "$work/err" && break; sleep 0.05; done
grep -q 'Unit port 4000: listening' "$work/err" || { cat "$work/err"; exit 1; }

# Each request from a socket of its own, in one write (printf alone would send a datagram per
# line end). The next goes out only when the simulator has logged all that this one brings (a
# late reply included), so the capture holds them in this order however busy the machine is.
settle_lines() { # LINES: wait until the traffic log has that many lines (at most 5 s)
    for _ in $(seq 500); do [ "$(wc -l <"$work/log")" -ge "$1" ] && return 0; sleep 0.01; done
    echo "FAIL: the log did not reach $1 lines:"; cat "$work/log"; exit 1
}
send() { printf "$2" >"$work/datagram"; cat "$work/datagram" >"/dev/udp/127.0.0.1/$1"; settle_lines "$3"; }
frame() { # COMMAND, then the bytes from position 2 on (the rest of the 29 are 0)
    local command=$1; shift
    local out="\\x00\\x$(printf %02x "$command")" n=2
    for b in "$@"; do out+="\\x$(printf %02x "$b")"; n=$((n + 1)); done
    while [ $n -lt 29 ]; do out+='\x00'; n=$((n + 1)); done
    printf '%s' "$out"
}
# Each with the number of log lines written once it is handled.
send 4000 "$(frame 0 $(seq 1 24))" 1   # set-channels 1..24
send 4000 "$(frame 50)" 3              # channel-query: answered
send 4000 "$(frame 50)" 6              # channel-query: answered 50 ms late
send 4000 "$(frame 50)" 8              # channel-query: dropped
send 4000 "$(frame 51)" 10             # status-query: answered
send 4000 "$(frame 51)" 13             # status-query: answer cut to 10 bytes
send 4000 "$(frame 51)" 16             # status-query: answer changed in one position
send 65535 'X' 20                      # discovery: answered twice
send 4000 '\xfe\x32\x01' 21            # a short frame
send 4000 "$(frame 52)" 22             # an unknown command
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=

fields=(-e frame.number -e lumivaner.kind -e lumivaner.command -e lumivaner.channel -e lumivaner.status.pos11
        -e lumivaner.status.pos14 -e lumivaner.profile -e lumivaner.identity.name -e lumivaner.identity.number
        -e lumivaner.identity.port -e lumivaner.identity.maker -e lumivaner.identity.kind
        -e lumivaner.response_in -e lumivaner.response_to -e _ws.expert.message)
# tshark names the user it runs as, and a second copy of the dissector says it steps aside;
# anything else on standard error is a fault.
tshark_complained() { grep -v -e '^Running as user' -e '^lumivaner: .* is not loaded: the dissector from' "$1" | grep -q .; }
run_tshark() { # FILE OUTPUT [FIELD...]
    local file=$1 output=$2; shift 2
    [ $# -gt 0 ] || set -- "${fields[@]}"
    if ! tshark -r "$file" -2 -X "lua_script:$dissector" -T fields -E separator='|' -E occurrence=a \
        "$@" >"$output" 2>"$work/tshark.err" || tshark_complained "$work/tshark.err"; then
        echo "tshark said:"; cat "$work/tshark.err"; exit 1
    fi
    # Requests go out from ephemeral ports; when one falls in 33435-33625 Wireshark's own UDP
    # dissector marks the frame a possible traceroute, which is not the dissector's to say.
    sed -E -i 's/Possible traceroute: hop #[0-9]+, attempt #[0-9]+,?//' "$output"
    tshark -r "$file" -2 -X "lua_script:$dissector" -V >"$work/verbose.txt" 2>/dev/null
    if grep -q 'Lua Error' "$work/verbose.txt"; then
        echo "the dissector raised a Lua error:"; grep -B3 'Lua Error' "$work/verbose.txt"; exit 1
    fi
}
status=0
compare() { # NAME ACTUAL EXPECTED
    if ! diff -u "$3" "$2"; then echo "FAIL: $1 differs from $3"; status=1; else echo "ok: $1"; fi
}
run_tshark "$work/session.pcap" "$work/session.txt"
compare "session capture" "$work/session.txt" "$expected_dir/session.txt"

# Drawn status values stay in their range: position 2 from 25 to 70.
drawn=$(tshark -r "$work/session.pcap" -X "lua_script:$dissector" -T fields -e lumivaner.status.drawn \
    -Y 'lumivaner.status.drawn' 2>/dev/null)
echo "drawn values: $(echo $drawn)"
[ "$(echo "$drawn" | wc -l)" -eq 3 ] || { echo "FAIL: expected three drawn values"; status=1; }
for v in $drawn; do (( v >= 25 && v <= 70 )) || { echo "FAIL: drawn value $v"; status=1; }; done
# The late reply came at least 50 ms after its request.
late=$(tshark -r "$work/session.pcap" -2 -X "lua_script:$dissector" -T fields -e lumivaner.time \
    -Y 'lumivaner.response_to == 4' 2>/dev/null)
echo "late reply after $late s"
awk -v t="$late" 'BEGIN { exit !(t >= 0.050 && t < 1) }' || { echo "FAIL: late reply after $late s"; status=1; }

# What the simulator never sends, from text2pcap: UDP over IPv4 with the ports given.
text2pcap -q -4 10.0.0.1,10.0.0.2 -u 50000,4002 "$expected_dir/long-request.hex" "$work/long.pcap" >/dev/null
text2pcap -q -4 10.0.0.2,10.0.0.1 -u 4002,50000 "$expected_dir/bad-replies.hex" "$work/bad.pcap" >/dev/null
mergecap -a -w "$work/crafted.pcap" "$work/long.pcap" "$work/bad.pcap" >/dev/null
run_tshark "$work/crafted.pcap" "$work/crafted.txt"
compare "crafted capture" "$work/crafted.txt" "$expected_dir/crafted.txt"
# The edge cases, as a raw-IPv4 capture (link type 101) written byte by byte.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)); }
be16() { printf '\\x%02x\\x%02x' $((($1 >> 8) & 255)) $(($1 & 255)); }
ipv4() { local IFS=.; for octet in $1; do printf '\\x%02x' "$octet"; done; }
{
    printf '%b' '\xd4\xc3\xb2\xa1\x02\x00\x04\x00' "$(le32 0)$(le32 0)$(le32 65535)$(le32 101)"
    n=0
    while read -r from to sport dport payload; do
        case "$from" in ''|'#'*) continue ;; esac
        bytes=''; count=0
        if [ "$payload" != - ]; then
            for b in $payload; do bytes+="\\x$b"; count=$((count + 1)); done
        fi
        length=$((28 + count))
        printf '%b' "$(le32 $n)$(le32 0)$(le32 $length)$(le32 $length)" \
            "\\x45\\x00$(be16 $length)\\x00\\x00\\x00\\x00\\x40\\x11\\x00\\x00$(ipv4 "$from")$(ipv4 "$to")" \
            "$(be16 "$sport")$(be16 "$dport")$(be16 $((8 + count)))\\x00\\x00$bytes"
        n=$((n + 1))
    done <"$expected_dir/edge-datagrams.txt"
} >"$work/edge.pcap"
run_tshark "$work/edge.pcap" "$work/edge.txt" -e frame.number -e lumivaner.kind -e lumivaner.command \
    -e lumivaner.status.pos14 -e lumivaner.profile -e lumivaner.profile.unknown -e _ws.expert.message
compare "edge cases" "$work/edge.txt" "$expected_dir/edge.txt"

# A second copy (the installed plugin and this file, say) steps aside and names the copy in use.
tshark -r "$work/edge.pcap" -X "lua_script:$dissector" -X "lua_script:$dissector" -c 1 >/dev/null 2>"$work/twice.err" || true
if tshark_complained "$work/twice.err" || ! grep -q "is not loaded: the dissector from .* is already in use" "$work/twice.err"; then
    echo "FAIL: a second copy of the dissector did not step aside:"; cat "$work/twice.err"; status=1
else
    echo "ok: a second copy steps aside: $(grep '^lumivaner:' "$work/twice.err")"
fi
exit $status
