#!/usr/bin/env bash
# `make run` after `make test` (and the other way round) builds nothing new: both use one build
# directory with one configuration. Run after `make test`; fails when `make run`'s build step
# would compile or link anything.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(make --no-print-directory build 2>&1)
if grep -E 'Building CXX|Linking CXX' <<<"$out"; then
    echo "FAIL: the build that make run uses rebuilt the above after make test" >&2
    exit 1
fi
echo "make run after make test rebuilds nothing"
