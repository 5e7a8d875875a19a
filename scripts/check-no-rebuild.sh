#!/usr/bin/env bash
# `make run` after `make test` (and the other way round) builds nothing new: both use one build
# directory with one configuration. Run after `make test`; fails when `make run`'s build step
# would compile or link anything, or says more than that it has nothing to do (a no-op build is
# one line, not a page of directories entered). Prints how long it took.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$(date +%s%N)
out=$(make --no-print-directory build 2>&1)
ms=$(( ($(date +%s%N) - start) / 1000000 ))
if grep -E 'Building CXX|Linking CXX' <<<"$out"; then
    echo "FAIL: the build that make run uses rebuilt the above after make test" >&2
    exit 1
fi
if [ "$(wc -l <<<"$out")" -gt 2 ]; then
    printf '%s\n' "$out" >&2
    echo "FAIL: a build with nothing to do said more than that (above)" >&2
    exit 1
fi
echo "make run after make test rebuilds nothing (${ms} ms: $out)"
