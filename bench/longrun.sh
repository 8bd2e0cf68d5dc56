#!/bin/bash
# longrun.sh - the long run: many requests from one process through the library against a
# discarding server with resources sampled along the way, then a cancel storm over a
# lossy loopback against a spooling server (bench/longrun.cpp).  Runs in a network
# namespace of its own, where nftables drops packets of the storm's port at random.
#
# usage: bench/longrun.sh [--ci] [options]
#   --ci               CI size: 10000 jobs, 1000 listings, 1000 removals, 100 storm jobs
#                      at 5 % loss with a 5 s reply time-out (at 10 % and 10 s the storm
#                      alone takes 60 to 100 s)
#   --jobs N           print jobs (default 100000)
#   --listings N       queue listings (default 10000)
#   --removals N       removals (default 10000)
#   --storm N          cancel-storm jobs, at most 900 (default 500)
#   --storm-min SIZE   smallest storm job (default 64K; K and M suffixes)
#   --storm-max SIZE   largest storm job (default 1M)
#   --loss PCT         packets of the storm's connections dropped, each way (default 10)
#   --replytimeout MS  the requests' reply time-out (default 10000)
#   --time-limit S     the whole run in seconds, past which it fails (default 1800)
#   --keep-time-wait   leave TIME_WAIT as the kernel has it (see bench/README.md)
#   --series FILE      every sample of the long run as a tab-separated line
#   --build DIR        build tree (default build-longrun at the top of the checkout)
#   --no-build         use the programs already in the build tree
# Exit status: 0 every check passed, 1 a check failed, 2 usage, 77 not root, no
# namespaces or no nft.
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)

jobs=100000 listings=10000 removals=10000 storm=500 loss=10
storm_min=64K storm_max=1M time_limit=1800 replytimeout=10000
build=$top/build-longrun
do_build=1 keep_tw=0 series=""

usage() {
    sed -n '/^# usage:/,/^set -u/p' "$0" | grep '^#' | sed 's/^# \{0,1\}//' >&2
    exit 2
}

args=("$@")
while [ $# -gt 0 ]; do
    case $1 in
    --ci) jobs=10000 listings=1000 removals=1000 storm=100 loss=5 replytimeout=5000 time_limit=240 ;;
    --jobs) jobs=${2:?} && shift ;;
    --listings) listings=${2:?} && shift ;;
    --removals) removals=${2:?} && shift ;;
    --storm) storm=${2:?} && shift ;;
    --storm-min) storm_min=${2:?} && shift ;;
    --storm-max) storm_max=${2:?} && shift ;;
    --loss) loss=${2:?} && shift ;;
    --replytimeout) replytimeout=${2:?} && shift ;;
    --time-limit) time_limit=${2:?} && shift ;;
    --keep-time-wait) keep_tw=1 ;;
    --series) series=${2:?} && shift ;;
    --build) build=${2:?} && shift ;;
    --no-build) do_build=0 ;;
    -h | --help) usage ;;
    *)
        echo "longrun.sh: unknown option $1" >&2
        usage
        ;;
    esac
    shift
done
case $loss$replytimeout in '' | *[!0-9]*) usage ;; esac
[ "$loss" -le 100 ] || usage

if [ -z "${LONGRUN_IN_NETNS:-}" ]; then
    if [ "$(id -u)" -ne 0 ] || ! unshare -n true 2>/dev/null; then
        echo "longrun.sh: needs root and network namespaces (unshare -n): skipped" >&2
        exit 77
    fi
    if ! command -v nft >/dev/null 2>&1; then
        echo "longrun.sh: needs nft (Debian: nftables): skipped" >&2
        exit 77
    fi
    if [ $do_build -eq 1 ]; then
        if [ ! -f "$build/CMakeCache.txt" ]; then
            nice cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXLOLPR_BUILD_BENCH=ON >/dev/null || exit 1
        fi
        nice cmake --build "$build" -j2 --target longrun lpdsink vexlolpd >/dev/null || exit 1
    fi
    LONGRUN_IN_NETNS=1 exec unshare -n "$0" "${args[@]}"
fi

# Inside the namespace from here on.
longrun=$build/bench/longrun
sink=$build/bench/lpdsink
lpd=$build/tools/vexlolpd
for p in "$longrun" "$sink" "$lpd"; do
    if [ ! -x "$p" ]; then
        echo "longrun.sh: $p is missing (build the targets longrun, lpdsink and vexlolpd)" >&2
        exit 1
    fi
done
work=$(mktemp -d /tmp/longrun.XXXXXX) || exit 1
sink_pid="" lpd_pid=""
cleanup() {
    [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null
    [ -n "$lpd_pid" ] && kill "$lpd_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A real link's frame size: at loopback's 64 KiB a 1 MiB job is 16 segments, too few for
# a lost one to be repaired by fast retransmit, so every loss would cost a full
# retransmission time-out.
ip link set lo mtu 1500 up || exit 1
# At thousands of jobs a second TIME_WAIT would hold every local port within half a
# minute (the client closes first, and each port stays held for 60 s): the run would
# measure the kernel's port space, not the library.  The namespace keeps none.
[ $keep_tw -eq 1 ] || sysctl -qw net.ipv4.tcp_max_tw_buckets=0 || exit 1
# The storm's server listens on 5515; both directions of its connections lose packets.
# The input hook, not output: a packet dropped on output fails the sender's own call
# (connect gets EPERM), which no real link does.
nft -f - <<EOF || exit 1
table inet longrun {
    chain in {
        type filter hook input priority 0; policy accept;
        tcp dport 5515 numgen random mod 100 < $loss drop
        tcp sport 5515 numgen random mod 100 < $loss drop
    }
}
EOF

"$sink" -a 127.0.0.1 -p 515 -r "$work/sink.ready" >"$work/sink.out" 2>&1 &
sink_pid=$!
mkdir -m 700 "$work/spool" "$work/state" "$work/files"
# The server gives up on a silent client two seconds after the client's own reply time-out
# would have: a cancelled job's reset that the link dropped leaves the server waiting for
# a client that is gone (it serves one connection at a time), and the next jobs wait
# behind it.  Longer than the client's time-out, so that it never gives up on a live one.
"$lpd" --spool "$work/spool" --port 5515 --port-file "$work/lpd.port" --idle-timeout $((replytimeout / 1000 + 2)) \
    2>"$work/lpd.err" &
lpd_pid=$!
for _ in $(seq 100); do
    [ -e "$work/sink.ready" ] && [ -s "$work/lpd.port" ] && break
    sleep 0.05
done
if [ ! -e "$work/sink.ready" ] || [ ! -s "$work/lpd.port" ]; then
    echo "longrun.sh: the servers did not start" >&2
    cat "$work/sink.out" "$work/lpd.err" >&2
    exit 1
fi

echo "# Long run and cancel storm"
echo
type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
sanitize=$(sed -n 's/^VEXLOLPR_SANITIZE:[A-Z]*=\(..*\)/, sanitizers \1/p' "$build/CMakeCache.txt")
echo "$(date -u '+%Y-%m-%d %H:%M:%S UTC'), commit $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)," \
    "$(uname -sr), $(nproc) CPUs, build $type$sanitize; reply time-out $replytimeout ms;" \
    "storm link: loopback, MTU 1500, $loss % of packets dropped each way; TIME_WAIT $([ $keep_tw -eq 1 ] && echo kept || echo off)."

# The job numbers' record goes to a directory of this run, not to root's own.
XDG_RUNTIME_DIR=$work/state "$longrun" --jobs "$jobs" --listings "$listings" --removals "$removals" \
    --storm "$storm" --storm-min "$storm_min" --storm-max "$storm_max" --storm-host 127.0.0.1:5515 \
    --spool "$work/spool" --work "$work/files" --time-limit "$time_limit" --replytimeout "$replytimeout" \
    ${series:+--series "$series"} | tee "$work/longrun.out"
status=${PIPESTATUS[0]}

# The sink's own counts: every job reported printed arrived whole (control and data file,
# then an orderly end), and nothing else came.
kill -TERM "$sink_pid"
wait "$sink_pid"
sink_pid=""
read -r printed bytes < <(sed -n 's/^printed=\([0-9]*\) bytes=\([0-9]*\)$/\1 \2/p' "$work/longrun.out")
counts=$(cat "$work/sink.out")
echo "Sink: $counts"
expect="jobs=${printed:-?} files=$((2 * ${printed:-0})) bytes=${bytes:-?} connections=$((jobs + listings + removals)) incomplete=0 errors=0"
if [ "$counts" = "$expect" ]; then
    echo "- PASS — the sink got every job reported printed whole, and nothing else"
else
    echo "- FAIL — the sink's counts are not those of the requests: expected $expect"
    status=1
fi
if [ -s "$work/lpd.err" ]; then
    echo "vexlolpd said:"
    sed 's/^/    /' "$work/lpd.err" | head -20
fi
exit "$status"
