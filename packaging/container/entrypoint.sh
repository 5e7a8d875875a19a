#!/bin/sh
# The container's program: the headless simulator, its control API on every address of the
# container at port UNITSIM_CONTROL_PORT (default 8080), and whatever arguments the container was
# given (--scenario /scenarios/FILE, --units, --fault, ...). An API on any address but loopback
# needs a token: the simulator takes it from UNITSIM_CONTROL_TOKEN and refuses to start without.
exec /usr/bin/unit-simulator --headless --control "0.0.0.0:${UNITSIM_CONTROL_PORT:-8080}" "$@"
