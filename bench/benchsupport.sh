# Shared by the bench scripts: the build's programs, the processes to stop at the end, and how
# figures are read and printed. Source it; it sets BUILD, B and an EXIT trap.
BUILD=${BUILD:-build}
B=$BUILD/bench
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

get() { sed -n "s/^$1=//p"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
row() { printf '%-58s %14s   %-22s %s\n' "$1" "$2" "$3" "$4"; }
server_cpu=0
other_cpu=$(( $(nproc) > 1 ? 1 : 0 ))
