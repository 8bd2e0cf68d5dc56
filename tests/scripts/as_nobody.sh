#!/bin/sh
# Runs a test binary as the unprivileged user nobody (when this is root and the binary
# can be reached by nobody); exit 77 marks the test as skipped otherwise.
if [ "$(id -u)" -ne 0 ]; then
    exec "$@"
fi
if ! command -v setpriv >/dev/null 2>&1; then
    echo "setpriv not found"
    exit 77
fi
run="setpriv --reuid=65534 --regid=65534 --clear-groups"
if ! $run test -x "$1"; then
    echo "$1 is not reachable for nobody"
    exit 77
fi
exec $run "$@"
