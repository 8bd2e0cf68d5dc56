#!/bin/sh
# Behaviour of the DLL under Wine, case by case, each against a fake LPD on loopback
# (fake_lpd.py) that checks the bytes on the wire:
#   run_wine.sh i686|x86_64 VEXLOLPR.DLL dllclient.exe lprcases.exe
# dllclient.exe: binding by name and ordinal, start-up state, a text of the string table,
# one job through the import binding.  lprcases.exe (LoadLibraryA, exports by ordinal):
# jobs with the data file and with the control file first, the job number that the
# user's record of numbers handed out leaves free, the trace lines, a queue
# listing, a removal, a silent server's time-out, a cancel from the program's own window
# timer, two threads printing at once (one cancelled by its request block, a request
# started inside the other failing as busy), no socket layer, a job and a listing over
# IPv6 ([::1]); as root in a network namespace of its own, a job to port 515 from the
# first reserved local port, 601, and the next process's from 602.
# A throwaway Wine prefix of the DLL's machine with the null graphics driver (no X
# server) and one persistent server of that prefix for all cases.  Exit 77 when python3
# or that machine's Wine is missing or cannot run (wine_env.sh).
set -eu
machine=$1
dll=$2
client=$3
cases=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=wine_env.sh
. "$here/wine_env.sh"
find_wine "$machine"
command -v python3 >/dev/null 2>&1 || { echo "python3 not found"; exit 77; }
for f in "$dll" "$client" "$cases"; do
    [ -f "$f" ] || { echo "FAIL: no such file: $f"; exit 1; }
done

# As root the whole run moves into a network namespace of its own: port 515 and the
# reserved ports from 601 are then free whatever else runs on this machine, and the
# source port of a first connection is known.
own_netns VEXLOLPR_WINE_NETNS "$0" "$@"
netns=$VEXLOLPR_WINE_NETNS

started=$(date +%s)
work=$(mktemp -d)
lpd=""
cleanup() {
    if [ -n "$lpd" ]; then
        kill "$lpd" 2>/dev/null || true
        wait "$lpd" 2>/dev/null || true
    fi
    # Ends the server of this prefix and its processes only: the ones this script started.
    WINEPREFIX="$work/prefix" timeout 30 "$wineserver" -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
null_prefix
echo "wine prefix ready after $(($(date +%s) - started)) s (network namespace of its own: $netns)"

mkdir "$work/run"
cp "$dll" "$work/run/VEXLOLPR.DLL"
cp "$client" "$work/run/dllclient.exe"
cp "$cases" "$work/run/lprcases.exe"
cd "$work/run"
head -c 100000 /dev/urandom >job.bin
# A small job for the trace, whose lines grow with every chunk.
i=0
while [ $i -lt 40 ]; do
    echo "line $i of the traced job"
    i=$((i + 1))
done >small.txt

failed=""
fail() {
    echo "FAIL: $*"
    failed="$failed
  $*"
}

# One case: run_case NAME SERVERMODE "SERVER OPTIONS" PROGRAM ARGS...; SERVERMODE "-"
# for none.  "@" in ARGS stands for the server's address.
run_case() {
    name=$1
    mode=$2
    options=$3
    shift 3
    echo "-- $name"
    t0=$(date +%s)
    if [ "$mode" != "-" ]; then
        # shellcheck disable=SC2086 # options are words
        if ! start_lpd "$mode" $options; then
            fail "$name: the fake LPD did not start"
            return 0
        fi
    fi
    program=$1
    shift
    address="127.0.0.1:${port:-0}"
    case " $options " in *" --port 515 "*) address=127.0.0.1 ;; *" --ipv6 "*) address="[::1]:${port:-0}" ;; esac
    # shellcheck disable=SC2046 # the arguments hold no spaces
    set -- $(echo "$@" | sed "s/@/$address/g")
    run_client "$program" "$@"
    if [ $client_rc -eq 0 ] || [ -s "$work/client.out" ]; then
        :
    else
        # Not a line of output: the program never reached its first check, so Wine did
        # not run it (nothing of the DLL ran either, and the fake LPD saw no connection).
        # That is Wine's fault, not the case's: once more, with Wine's errors shown.
        echo "   Wine did not run $program (exit $client_rc, no output); once more"
        sed 's/^/  wine: /' "$work/wine.err" | tail -20
        WINEDEBUG=err+all run_client "$program" "$@"
    fi
    if [ $client_rc -ne 0 ]; then
        fail "$name: $program exited with $client_rc"
        sed 's/^/  wine: /' "$work/wine.err" | tail -20
    fi
    if [ "$mode" != "-" ] && ! finish_lpd; then
        fail "$name: the fake LPD saw something else than it must"
    fi
    echo "   ($(($(date +%s) - t0)) s)"
}

# Runs the case's program; its output is shown and kept in client.out, its exit status
# in client_rc.
run_client() {
    client_rc=0
    WINEDLLOVERRIDES="$overrides" timeout 40 "$wine" "$@" >"$work/client.out" 2>"$work/wine.err" || client_rc=$?
    cat "$work/client.out"
}

port=""
overrides=$WINEDLLOVERRIDES
run_case "binding, start-up state, string table" - "" dllclient.exe
run_case "a job through the import binding" print "--data job.bin" dllclient.exe @ lp job.bin
run_case "job, data file first" print "--data job.bin --order data" lprcases.exe print @ job.bin
run_case "job, control file first" print "--data job.bin --order control" lprcases.exe printcf @ job.bin
# The jobs above left the record of the numbers handed out in the user's local
# application data folder.  Said to hold 999 numbers from 500 on, handed out just now,
# it leaves one free whatever the clock shows: 499, which the next job, a process of its own, takes.
record=$(find "$WINEPREFIX/drive_c" -name vexlolpr-jobnumber -type f | head -n 1)
echo "-- the job-number record: ${record:-none}"
if [ -z "$record" ] || ! grep -Eq '^[0-9]+ [0-9]+ [0-9]+$' "$record"; then
    fail "the jobs left no job-number record in the local application data folder"
else
    printf '500 498 %s\n' "$(date +%s)" >"$record"
    run_case "a job takes the number the record leaves free" print "--data job.bin --number 499" \
        lprcases.exe print @ job.bin
    grep -Eq '^[0-9]+ 499 [0-9]+$' "$record" || fail "the record does not name job 499: $(cat "$record")"
fi
run_case "trace lines" print "--data small.txt --filename small.txt" lprcases.exe trace @ small.txt
run_case "queue listing" queue "" lprcases.exe queue @
run_case "removal" remove "" lprcases.exe remove @
# IPv6 through WS2_32's look-up and the same socket entries.
run_case "job over IPv6, [::1]:port" print "--data job.bin --ipv6" lprcases.exe print @ job.bin
run_case "queue listing over IPv6" queue "--ipv6" lprcases.exe queue @
run_case "silent server, reply time-out" silent "" lprcases.exe timeout @ job.bin
run_case "cancel from the program's window timer" silent "" lprcases.exe cancel @ job.bin
run_case "two threads at once: one cancelled, one whole; a request inside one fails as busy" print \
    "--data job.bin --pause 2.5" lprcases.exe threads @ job.bin
# The loader is told that WSOCK32.DLL is disabled: it then fails to load, as where
# there is none.
overrides="$WINEDLLOVERRIDES;wsock32=d"
run_case "no socket layer" - "" lprcases.exe nowinsock job.bin
overrides=$WINEDLLOVERRIDES
if [ "$netns" = 1 ]; then
    # Without the user's record of the port taken last a process starts at 601; the next
    # process goes on after the port the first took.
    ports=$(dirname "$record")/vexlolpr-localport
    [ -f "$ports" ] || fail "the jobs left no record of the port taken last: $ports"
    rm -f "$ports"
    run_case "job to port 515 from local port 601" print "--data job.bin --port 515 --source-port 601" \
        lprcases.exe print @ job.bin
    run_case "the next process's job from local port 602" print "--data job.bin --port 515 --source-port 602" \
        lprcases.exe print @ job.bin
else
    echo "-- job to port 515 from local port 601: skipped (needs root and a network namespace of its own)"
fi

echo "wine: all cases in $(($(date +%s) - started)) s"
if [ -n "$failed" ]; then
    echo "FAILED:$failed"
    exit 1
fi
echo "wine: every case passed"
