#!/bin/sh
# Runs a test in a network namespace of its own, with only loopback up: its units may take the
# fixed ports on every address (4000-4007 and 65535 on 0.0.0.0) and broadcast on loopback without
# meeting another test's, so such tests run in parallel. Root makes the namespace directly; anyone
# else through a user namespace of their own (mapped to root inside it, which `ip` needs). The
# build asks it for `true` once: where that fails, the tests take the fixed-ports lock instead.
# Usage: own-network.sh COMMAND [ARG...]
if [ "$(id -u)" = 0 ]; then map=; else map=--map-root-user; fi
exec unshare --net $map -- sh -c 'ip link set lo up && exec "$@"' own-network "$@"
