# Shared by the bench scripts: the build's programs, the processes to stop at the end, and how
# figures are read and printed. Source it; it sets BUILD, B and an EXIT trap.
BUILD=${BUILD:-build}
B=$BUILD/bench
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

get() { sed -n "s/^$1=//p"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
# A figure against its target: PASS or MISS, or nothing when the row has no target. Targets read
# "<= 64", "< 20", ">= 0.999", "100 +- 5", "0", or "<= 3 x baseline" / "<= 3 x idle" (held
# against the ratio).
verdict() { # MEASURED TARGET RATIO
    awk -v m="$1" -v t="$2" -v r="$3" 'BEGIN {
        if (t == "") exit
        n = split(t, w, " ")
        v = (t ~ / x [a-z]+$/) ? r : m
        if (v == "" || v == "n/a" || v !~ /^-?[0-9.]+$/) { print "MISS"; exit }
        v += 0
        if (w[1] == "<=") ok = v <= w[2]; else if (w[1] == "<") ok = v < w[2]
        else if (w[1] == ">=") ok = v >= w[2]; else if (w[1] == ">") ok = v > w[2]
        else if (n >= 3 && w[2] == "+-") ok = (v >= w[1] - w[3] && v <= w[1] + w[3])
        else ok = (v == w[1] + 0)
        print ok ? "PASS" : "MISS"
    }'
}
targets_met=0
targets_missed=()
row() { # FIGURE MEASURED TARGET RATIO
    local mark
    mark=$(verdict "$2" "$3" "$4")
    printf '%-58s %14s   %-22s %-6s %s\n' "$1" "$2" "$3" "${4:-}" "$mark"
    case "$mark" in
        PASS) targets_met=$((targets_met + 1)) ;;
        MISS) targets_missed+=("$1 ($2, target $3)") ;;
    esac
}
# The verdicts of a run in one line, and each target missed. Exits 0 either way: on a busy
# machine a figure may miss for reasons of the machine, not of the code.
summary() {
    echo
    echo "summary: $targets_met of $((targets_met + ${#targets_missed[@]})) targets met, ${#targets_missed[@]} missed"
    for missed in "${targets_missed[@]}"; do echo "  MISS: $missed"; done
}
server_cpu=0
other_cpu=$(( $(nproc) > 1 ? 1 : 0 ))
# A fleet's broadcast discovery and round-robin polling, held against the baseline's round trips:
# UNITS FIRST_ADDRESS BASELINE_ROUNDROBIN_OUTPUT DISCOVERY_TARGET. Also prints a line of its own
# after the discovery rows when AFTER_DISCOVERY (a command) is set.
fleet_traffic_rows() {
    local units=$1 first=$2 base=$3 discovery_target=$4 out
    out=$(taskset -c $other_cpu "$B/loadgen" discover "$units" 5000)
    row "broadcast discovery: answers" "$(echo "$out" | get answers)" "$units" ""
    row "broadcast discovery: all answers in (ms)" "$(echo "$out" | get all_answers_ms)" "$discovery_target" ""
    if [[ -n ${AFTER_DISCOVERY:-} ]]; then $AFTER_DISCOVERY; fi
    out=$(taskset -c $other_cpu "$B/loadgen" roundrobin "$first" "$units" 4000 20000 5)
    row "round-robin 20,000/s for 5 s: answered fraction" "$(echo "$out" | get answered_fraction)" ">= 0.999" ""
    row "  median round trip (us), baseline" "$(echo "$base" | get median_us)" "" ""
    row "  median round trip (us), fleet" "$(echo "$out" | get median_us)" "" \
        "$(ratio "$(echo "$out" | get median_us)" "$(echo "$base" | get median_us)")"
    row "  p99 round trip (us), baseline" "$(echo "$base" | get p99_us)" "" ""
    row "  p99 round trip (us), fleet" "$(echo "$out" | get p99_us)" "<= 3 x baseline" \
        "$(ratio "$(echo "$out" | get p99_us)" "$(echo "$base" | get p99_us)")"
}
