#!/bin/sh
# Runs a test in a private mount namespace with an empty /var/lock of its own,
# so that the daemons it starts never meet the lock of another test or of a
# daemon the developer is running.
set -e
if [ -z "$POSTVANE_ISOLATED" ]; then
    export POSTVANE_ISOLATED=1
    if [ "$(id -u)" -eq 0 ]; then
        exec unshare --mount --propagation private "$0" "$@"
    fi
    exec unshare --mount --map-root-user --propagation private "$0" "$@"
fi
mount -t tmpfs -o mode=1777 postvane-lock "$(readlink -f /var/lock)"
exec "$@"
