#!/bin/bash
# measure.sh - one measurement of the benchmark, run by run.sh inside network and mount
# namespaces of its own: loopback comes up, lpdsink listens on 127.0.0.1:515, one client
# does one workload, and the figures go to RESULT as key=value lines.
#
# usage: measure.sh CLIENT MODE FILE COUNT RESULT
#   CLIENT  mini-nodelay mini-nagle cmd cmd-yield lib lib-yield lprng cups
#   MODE    one:  one job of FILE under /usr/bin/time -v (wall time, peak RSS, CPU)
#           each: COUNT jobs of FILE, one client process per job
#           loop: COUNT jobs of FILE from one client process (lib, lib-yield, mini-*)
# Environment (set by run.sh): BENCH_BIN (lpdsink, minilpr, libloop, spawn), BENCH_CLI
# (the vexlolpr command), BENCH_CUPS_LPD (the CUPS lpd backend), BENCH_LPRNG_ETC (the
# private LPRng configuration), BENCH_RUN_LIMIT (seconds allowed for one client process),
# BENCH_LOG (the clients' and the sink's messages are appended there).
set -u
client=$1 mode=$2 file=$3 count=$4 result=$5
bin=$BENCH_BIN
log=$BENCH_LOG
limit=${BENCH_RUN_LIMIT:-600}
scratch=$(mktemp -d /tmp/vexlolpr-bench-measure.XXXXXX) || exit 1
trap 'rm -rf "$scratch"' EXIT

out() { echo "$1" >>"$result"; }
: >"$result"

ip link set lo up || {
    out "error=cannot bring up lo"
    exit 1
}

if [ "$client" = lprng ]; then
    # LPRng reads /etc/lprng/lpd.conf and the printcap it names: this mount namespace
    # sees the private ones only, so the machine's configuration is neither read nor
    # changed.
    mount --bind "$BENCH_LPRNG_ETC" /etc/lprng || {
        out "error=cannot bind-mount the LPRng configuration"
        exit 1
    }
fi

case "$client:$mode" in
mini-nodelay:loop) cmd=("$bin/minilpr" -d -n "$count" 127.0.0.1 "$file") ;;
mini-nagle:loop) cmd=("$bin/minilpr" -n "$count" 127.0.0.1 "$file") ;;
lib:loop) cmd=("$bin/libloop" -n "$count" 127.0.0.1 "$file") ;;
lib-yield:loop) cmd=("$bin/libloop" -y -n "$count" 127.0.0.1 "$file") ;;
mini-nodelay:*) cmd=("$bin/minilpr" -d 127.0.0.1 "$file") ;;
mini-nagle:*) cmd=("$bin/minilpr" 127.0.0.1 "$file") ;;
cmd:*) cmd=("$BENCH_CLI" print -q -P lp@127.0.0.1 "$file") ;;
cmd-yield:*) cmd=("$BENCH_CLI" print -q --yield -P lp@127.0.0.1 "$file") ;;
lprng:*) cmd=(/usr/bin/lpr -P lp "$file") ;;
cups:*)
    export DEVICE_URI=lpd://127.0.0.1/lp
    cmd=("$BENCH_CUPS_LPD" 1 user title 1 '' "$file")
    ;;
*)
    out "error=no $mode workload for $client"
    exit 1
    ;;
esac

"$bin/lpdsink" -r "$scratch/ready" >"$scratch/sink.out" 2>>"$log" &
sink=$!
for _ in $(seq 100); do
    [ -e "$scratch/ready" ] && break
    kill -0 "$sink" 2>/dev/null || break
    sleep 0.02
done
if [ ! -e "$scratch/ready" ]; then
    out "error=the sink did not start"
    kill "$sink" 2>/dev/null
    exit 1
fi

echo "== $client ${BENCH_WORKLOAD:-} $mode $(basename "$file") x$count" >>"$log"
case $mode in
one)
    "$bin/spawn" -n 1 -t "$limit" -o "$scratch/spawn" -- \
        /usr/bin/time -v -o "$scratch/time" "${cmd[@]}" >>"$log" 2>&1
    ;;
each)
    "$bin/spawn" -n "$count" -t "$limit" -o "$scratch/spawn" -- "${cmd[@]}" >>"$log" 2>&1
    ;;
loop)
    "$bin/spawn" -n 1 -t "$limit" -o "$scratch/spawn" -- "${cmd[@]}" >"$scratch/loop" 2>>"$log"
    cat "$scratch/loop" >>"$log"
    ;;
esac

kill -TERM "$sink"
wait "$sink"
sink_line=$(cat "$scratch/sink.out")

# spawn: runs=N failed=N seconds=S first_failure_status=N
spawn_line=$(cat "$scratch/spawn" 2>/dev/null)
field() { printf '%s\n' "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
seconds=$(field "$spawn_line" seconds)
if [ -z "$seconds" ]; then
    out "error=no result from spawn"
    exit 1
fi
out "seconds=$seconds"
out "exit_status=$(field "$spawn_line" first_failure_status)"
case $mode in
one | each)
    out "jobs=$count"
    out "failed=$(field "$spawn_line" failed)"
    ;;
loop)
    # The loop's own line says how many of its jobs failed; a loop that died before
    # writing it failed them all.
    loop_line=$(cat "$scratch/loop")
    failed=$(field "$loop_line" failed)
    out "jobs=$count"
    out "failed=${failed:-$count}"
    ;;
esac
if [ "$mode" = one ] && [ -f "$scratch/time" ]; then
    out "rss_kb=$(sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p' "$scratch/time")"
    out "user_s=$(sed -n 's/^[[:space:]]*User time (seconds): //p' "$scratch/time")"
    out "sys_s=$(sed -n 's/^[[:space:]]*System time (seconds): //p' "$scratch/time")"
fi
out "bytes=$(stat -c %s "$file")"
for key in jobs bytes errors incomplete; do
    out "sink_$key=$(field "$sink_line" "$key")"
done
exit 0
