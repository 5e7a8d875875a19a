# Sourced by the netns tests: a LAN of two network namespaces of this test's own, joined by a
# veth pair, both removed (with the simulator the test started) when the test exits. Needs root
# and iproute2; exits 77 (skipped) otherwise.
# After `make_lan NAME`: $unit_ns and $controller_ns, with the interfaces $unit_if and
# $controller_if up (addresses are the test's to add); `$work`, a folder removed at exit; and
# `stop_at_exit PID` for each process the test starts.
if [ "$(id -u)" -ne 0 ] || ! command -v ip >/dev/null; then
    echo "skipped: needs root and iproute2"; exit 77
fi
stopped_at_exit=()
unit_ns=
controller_ns=
work=$(mktemp -d)
# A process the test started, stopped when it exits however it exits.
stop_at_exit() { stopped_at_exit+=("$1"); }
cleanup_lan() {
    # Goes on whatever fails on the way (a process gone already, or one that exits with a
    # failure): a clean-up cut short leaves namespaces and simulators behind.
    set +e
    local pid
    for pid in "${stopped_at_exit[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    [ -n "$unit_ns" ] && ip netns del "$unit_ns" 2>/dev/null
    [ -n "$controller_ns" ] && ip netns del "$controller_ns" 2>/dev/null
    rm -rf "$work"
    return 0
}
trap cleanup_lan EXIT
make_lan() { # NAME (a few letters, unique among the tests)
    unit_ns=unitsim-$1-unit-$$
    controller_ns=unitsim-$1-ctl-$$
    unit_if=u$1$$
    controller_if=c$1$$
    ip netns add "$unit_ns"
    ip netns add "$controller_ns"
    ip link add "$unit_if" type veth peer name "$controller_if"
    ip link set "$unit_if" netns "$unit_ns"
    ip link set "$controller_if" netns "$controller_ns"
    ip -n "$unit_ns" link set lo up
    ip -n "$controller_ns" link set lo up
    ip -n "$unit_ns" link set "$unit_if" up
    ip -n "$controller_ns" link set "$controller_if" up
}
