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
# The build tree may sit in a folder nobody cannot enter: run a copy from a scratch
# folder that nobody can read.
if ! $run test -x "$1"; then
    scratch=$(mktemp -d /tmp/vexlolpr-nobody.XXXXXX)
    trap 'rm -rf "$scratch"' EXIT
    chmod 755 "$scratch"
    cp "$1" "$scratch/"
    binary="$scratch/$(basename "$1")"
    shift
    if ! $run test -x "$binary"; then
        echo "no folder reachable for nobody"
        exit 77
    fi
    cd /
    $run "$binary" "$@"
    exit $?
fi
exec $run "$@"
