#!/bin/sh
# strip as Debian's packaging tools do it: debugging symbols and the compiler's notes go.
exec strip --remove-section=.comment --remove-section=.note --strip-unneeded "$@"
