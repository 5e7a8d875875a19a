#!/usr/bin/env bash
# A proxy unit in front of a "real" unit across a LAN: the real unit is the simulator in a network
# namespace of its own (10.80.0.2), the proxy and its controllers are in another (10.80.0.1),
# joined by a veth pair; only addresses inside these namespaces are used. Checks that every
# command passes through byte for byte both ways, that fault rules act on the relayed traffic,
# that two controllers at once each get their own replies, that datagrams to a relay from anyone
# but the real unit are dropped and counted, that a real unit which does not answer is reported,
# and that a scenario's proxy unit sets the real unit's channels and is silent while it reboots. Needs root (CI runs as root); exits 77 otherwise.
# Usage: netns-proxy.sh UNIT_SIMULATOR
set -euo pipefail
simulator=$1
source "$(dirname "$0")/netns-support.sh"
make_lan p
ip -n "$unit_ns" addr add 10.80.0.2/24 dev "$unit_if"
ip -n "$controller_ns" addr add 10.80.0.1/24 dev "$controller_if"

ip netns exec "$unit_ns" "$simulator" --headless --quiet --profile 3 --control 0 2>"$work/real.err" &
stop_at_exit $!
# The proxy on loopback, and one for an address where no unit answers.
ip netns exec "$controller_ns" "$simulator" --headless --quiet --control 0 \
    --proxy 127.0.9.1=10.80.0.2 --proxy 127.0.9.2:5=10.80.0.7 2>"$work/proxy.err" &
stop_at_exit $!
for _ in $(seq 100); do
    grep -q 'Control API listening' "$work/real.err" && grep -q 'Control API listening' "$work/proxy.err" && break
    sleep 0.05
done
real_api=$(grep -o 'http://[0-9.:]*' "$work/real.err")
proxy_api=$(grep -o 'http://[0-9.:]*' "$work/proxy.err")
[ -n "$real_api" ] && [ -n "$proxy_api" ] || { echo "FAIL: did not start"; cat "$work/real.err" "$work/proxy.err"; exit 1; }

# The real unit's API is in the unit's namespace: read its log from there.
ip netns exec "$unit_ns" python3 -c "
import json, sys, urllib.request
print(json.dumps(json.load(urllib.request.urlopen('$real_api/api/v1/log?limit=10000'))['entries']))
" >/dev/null || { echo "FAIL: the real unit's API"; exit 1; }

# A scenario's proxy unit: its channels event goes to the real unit, and while it reboots it passes
# nothing on.
cat >"$work/proxy.yaml" <<'YAML'
version: 1
units:
  - {address: 127.0.9.3, proxy: 10.80.0.2}
timeline:
  - {at: 300ms, units: 0, channels: [11, 22, 33, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]}
  - {at: 1500ms, units: 0, reboot: {for: 1500ms}}
end: 4500ms
YAML

ip netns exec "$controller_ns" python3 - "$proxy_api" "$real_api" "$work/proxy.err" "$unit_ns" "$simulator" "$work/proxy.yaml" <<'PY'
import json, socket, subprocess, sys, threading, time, urllib.request

proxy_api, real_api, proxy_err, unit_ns, simulator, scenario = sys.argv[1:]
PROXY, REAL, SILENT = "127.0.9.1", "10.80.0.2", "127.0.9.2"
failures = []

def check(what, ok, detail=""):
    print(("ok: " if ok else "FAIL: ") + what + ("" if ok else "\n  " + str(detail)))
    if not ok:
        failures.append(what)

def api(base, path, body=None, method=None, ns=None):
    if ns:  # the real unit's API, from its namespace
        code = ("import json,sys,urllib.request; print(urllib.request.urlopen(sys.argv[1]).read().decode())")
        out = subprocess.run(["ip", "netns", "exec", ns, "python3", "-c", code, base + path],
                             capture_output=True, text=True, check=True).stdout
        return json.loads(out)
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(base + path, data=data, method=method)
    if data is not None:
        request.add_header("Content-Type", "application/json")
    with urllib.request.urlopen(request) as reply:
        content = reply.read()
        return json.loads(content) if content else None

def wait_ready(deadline_s=10):
    deadline = time.monotonic() + deadline_s
    while time.monotonic() < deadline:
        try:
            if api(proxy_api, "/api/v1/health").get("ready"):
                return True
        except urllib.error.HTTPError:
            pass
        time.sleep(0.05)
    return False

def exchange(sock, payload, to, replies=1, timeout=1.0):
    sock.sendto(payload, to)
    got = []
    sock.settimeout(timeout)
    try:
        while len(got) < replies:
            got.append(sock.recvfrom(2048))
    except socket.timeout:
        pass
    return got

def frame(command, values=()):
    return bytes([0, command] + list(values) + [0] * (24 - len(values)) + [0, 0, 255])

# The silent real unit keeps one proxy asking for 2 s; then the API says ready, and it is reported.
check("ready once the real units answered or the wait ran out", wait_ready())
check("a silent real unit is reported",
      "the real unit at 10.80.0.7 did not answer discovery within 2 s" in open(proxy_err).read(),
      open(proxy_err).read())
units = api(proxy_api, "/api/v1/units")
check("the proxy took the real unit's profile", units[0]["profile"] == 3 and units[0]["unit_port"] == 4003, units[0])
check("the silent one keeps the profile given", units[1]["profile"] == 5, units[1])

controller = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
controller.bind(("0.0.0.0", 0))
direct = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
direct.bind(("0.0.0.0", 0))
requests = [
    (b"X", 65535, 1), (frame(50), 4003, 1), (frame(0, [9, 8, 7]), 4003, 0), (frame(50), 4003, 1),
    (frame(51), 4003, 1), (frame(50)[:5], 4003, 0), (frame(99), 4003, 0), (frame(50) + b"tail" * 10, 4003, 1),
]
seq_before = api(real_api, "/api/v1/log?tail=1", ns=unit_ns)["next"]
for payload, port, count in requests:
    proxied = exchange(controller, payload, (PROXY, port), max(count, 1), 0.5 if count else 0.2)
    straight = exchange(direct, payload, (REAL, port), max(count, 1), 0.5 if count else 0.2)
    check("%r to %d: %d replies through the proxy, as from the real unit" % (payload[:6], port, count),
          len(proxied) == len(straight) == count, (proxied, straight))
    for (p_bytes, p_from), (s_bytes, _) in zip(proxied, straight):
        same = p_bytes == s_bytes or (payload[1:2] == b"\x33" and p_bytes[:2] + p_bytes[3:] == s_bytes[:2] + s_bytes[3:])
        check("%r: the reply passed on byte for byte, from the proxy's address" % payload[:6],
              same and p_from == (PROXY, port), (p_bytes, s_bytes, p_from))
# What the real unit received through the proxy is what the controller sent.
received = [e for e in api(real_api, "/api/v1/log?since=%d&limit=10000" % seq_before, ns=unit_ns)["entries"]
            if e["direction"] == "in"]
through = [e for e in received if not e["remote"].startswith("10.80.0.1:%d" % direct.getsockname()[1])]
sent = [r[0][:29] if r[1] != 65535 else r[0] for r in requests]
check("the real unit got every request as sent", [bytes(e["bytes"]) for e in through] == sent,
      ([bytes(e["bytes"]) for e in through], sent))
log = api(proxy_api, "/api/v1/log?limit=10000")["entries"]
legs = [e["direction"] for e in log if e["unit"] == 0]
check("the log shows both legs", all(d in legs for d in ("in", "to-real", "from-real", "out")), legs)
# The question may be asked again (a real unit that starts later misses the first), so whether it
# is logged is judged up to the first answer.
legs_of_0 = [e for e in log if e["unit"] == 0 and e["direction"] in ("to-real", "from-real")]
answer = next((k for k, e in enumerate(legs_of_0) if e["direction"] == "from-real"), len(legs_of_0))
asked = legs_of_0[:answer]
check("the proxy's own question at start is logged before its answer",
      0 < answer < len(legs_of_0) and bytes(legs_of_0[answer]["bytes"]).startswith(b"ALED") and
      all(e["direction"] == "to-real" and bytes(e["bytes"]) == b"X" for e in asked), legs_of_0[:answer + 1])
long_leg = [e for e in log if e["direction"] == "to-real" and len(e["bytes"]) > 29]
check("the long datagram's leg holds all of it", long_leg and bytes(long_leg[0]["bytes"]) == requests[-1][0], long_leg)

# Faults act on what is relayed.
rule = api(proxy_api, "/api/v1/faults", {"rule": "drop,on=channel-query"})["id"]
check("a drop rule drops the relayed query", exchange(controller, frame(50), (PROXY, 4003), 1, 0.4) == [])
api(proxy_api, "/api/v1/faults/%d" % rule, method="DELETE")
rule = api(proxy_api, "/api/v1/faults", {"rule": "duplicate=3,on=status-query"})["id"]
check("a duplicate rule sends the relayed reply three times",
      len(exchange(controller, frame(51), (PROXY, 4003), 3, 0.5)) == 3)
api(proxy_api, "/api/v1/faults", method="DELETE")

# Two controllers at once, each with its own request: each gets its own reply.
a = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); a.bind(("127.0.0.1", 0))
b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); b.bind(("127.0.0.1", 0))
for round in range(20):
    a.sendto(frame(50), (PROXY, 4003)); b.sendto(frame(51), (PROXY, 4003))
    a.settimeout(1); b.settimeout(1)
    ra, rb = a.recv(64), b.recv(64)
    if ra[1] != 50 or rb[1] != 51:
        break
check("two controllers at once each get their own replies", ra[1] == 50 and rb[1] == 51, (ra, rb))

# Somebody else writes to the relay's port: dropped, and said within a second or two.
relay_port = [e["port"] for e in api(proxy_api, "/api/v1/log?limit=10000")["entries"] if e["direction"] == "to-real"][-1]
stranger = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); stranger.bind(("127.0.0.1", 0))
for _ in range(3):
    stranger.sendto(bytes([254, 50] + [0] * 27), ("127.0.0.1", relay_port))
deadline, said = time.monotonic() + 3, False
while not said and time.monotonic() < deadline:
    said = any("from elsewhere than the real unit dropped" in e["text"]
               for e in api(proxy_api, "/api/v1/log?tail=50")["entries"])
    time.sleep(0.1)
check("datagrams to a relay from elsewhere are dropped and counted", said)

# The scenario: queries every 50 ms from its start to its end; answered, then not while the unit
# reboots, then again. When it reboots and comes back is what the simulator says on its standard
# output as it happens, so a slow start on a busy machine moves the windows with it.
played = subprocess.Popen([simulator, "--headless", "--scenario", scenario], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True)
marks = {}
def read_marks():
    for line in played.stdout:
        for key, words in (("start", "*** scenario started"), ("reboot", "*** scenario: reboot 127.0.9.3"),
                           ("back", "127.0.9.3 back after reboot"), ("end", "*** scenario ended")):
            if words in line and key not in marks:
                marks[key] = time.monotonic()
reader = threading.Thread(target=read_marks, daemon=True)
reader.start()
ANSWER_WITHIN = 0.3  # how long a query waits for its answer
EDGE = 0.3           # around a reboot's start and end, where a query may meet either state
deadline = time.monotonic() + 15
while "start" not in marks and played.poll() is None and time.monotonic() < deadline:
    time.sleep(0.01)
answers = []
while played.poll() is None and time.monotonic() < deadline:
    sent = time.monotonic()
    answers.append((sent, bool(exchange(controller, frame(50), ("127.0.9.3", 4003), 1, ANSWER_WITHIN))))
    time.sleep(0.05)
played.wait(10)
reader.join(5)
if not {"start", "reboot", "back", "end"} <= marks.keys():
    check("the scenario said when its unit rebooted and came back", False, marks)
else:
    # The proxy asks the real unit what it is first; judge from 0.5 s on.
    early = [ok for t, ok in answers if marks["start"] + 0.5 < t < marks["reboot"] - EDGE]
    during = [ok for t, ok in answers if marks["reboot"] + EDGE < t < marks["back"] - EDGE]
    after = [ok for t, ok in answers if marks["back"] + EDGE < t < marks["end"] - EDGE]
    detail = (marks, answers)
    check("a scenario's proxy unit answers before its reboot", early and early[-1] and any(early), detail)
    check("... passes nothing on while it reboots", during and not any(during), detail)
    check("... and answers again after", after and any(after) and after[-1], detail)
check("its channels event set the real unit's channels",
      api(real_api, "/api/v1/units/0", ns=unit_ns)["channels"][:3] == [11, 22, 33])
sys.exit(1 if failures else 0)
PY
