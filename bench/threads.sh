#!/bin/bash
# threads.sh - requests of several threads of one process at once (bench/threads.c), each
# measurement in network, mount and PID namespaces of its own with its servers on
# loopback there.  Prints a Markdown section and writes it to a file; bench/run.sh runs it
# after its own table and appends the section to its output.
#
# usage: bench/threads.sh [--quick | --smoke] [options]
#   --quick       fewer jobs and rounds, a 4 s silent-printer time-out (about half a minute)
#   --smoke       tiny sizes: does every workload still run?  (seconds)
#   --out FILE    where the Markdown goes (default bench/threads-results.md)
#   --build DIR   build tree (default build-bench at the top of the checkout)
#   --no-build    use the programs already in the build tree
#   --embedded    no title of its own: the section follows run.sh's table
# Exit status: 0 every workload ran and every job that should succeed did (the figures
# themselves never decide it), 1 otherwise, 2 usage, 77 not root or no namespaces.
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)

# ---- one measurement, inside its namespaces ------------------------------------------
# threads.sh --measure KIND ARGS...: brings up loopback, starts the servers of KIND, runs
# the client and prints one line of key=value figures (error=... when it could not).
if [ "${1:-}" = --measure ]; then
    shift
    kind=$1
    shift
    bin=$BENCH_BIN
    log=$BENCH_LOG
    scratch=$(mktemp -d /tmp/vexlolpr-bench-threads.XXXXXX) || exit 1
    sink="" lpd=""
    # shellcheck disable=SC2317 # run by the trap
    cleanup() {
        for p in $sink $lpd; do kill -TERM "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
        rm -rf "$scratch"
    }
    trap cleanup EXIT
    fail() {
        echo "error=$*"
        exit 1
    }
    ip link set lo up || fail "cannot bring up lo"
    # Waits, bounded, for the file that a server creates once it listens (vexlolpd
    # renames its port file into place: it is whole once it is there).
    ready() { # FILE PID
        for _ in $(seq 250); do
            [ -e "$1" ] && return 0
            kill -0 "$2" 2>/dev/null || return 1
            sleep 0.02
        done
        return 1
    }
    start_sink() {
        "$bin/lpdsink" -r "$scratch/ready" >"$scratch/sink.out" 2>>"$log" &
        sink=$!
        ready "$scratch/ready" "$sink" || fail "the sink did not start"
    }
    stop_sink() { # prints the sink's counts as sink_KEY=N
        kill -TERM "$sink" && wait "$sink"
        sink=""
        local line key
        line=$(cat "$scratch/sink.out")
        for key in jobs bytes errors incomplete; do
            printf ' sink_%s=%s' "$key" "$(printf '%s\n' "$line" | tr ' ' '\n' | sed -n "s/^$key=//p")"
        done
    }
    run() { # LIMIT COMMAND...: the client's line, its status as status=N
        local limit=$1 out rc
        shift
        echo "== threads $kind: $*" >>"$log"
        out=$(timeout -k 5 "$limit" "$@" 2>>"$log")
        rc=$?
        printf '%s' "$out" | tr '\n' ' ' | sed 's/ *$//'
        [ -n "$out" ] || printf 'error=the client printed nothing (status %s)' "$rc"
        printf ' status=%s' "$rc"
    }
    case $kind in
    slow) # THREADS JOBS DELAY_MS FILE
        run 300 "$bin/threads" slow -f "$4" -t "$1" -n "$2" -d "$3" -r 10000 -T 240
        ;;
    stuck) # WITH_STUCK THREADS JOBS STUCK_MS LPRTIMEOUT SERVER FILE; SERVER: sink or vexlolpd
        with=() && [ "$1" = 1 ] && with=(-S)
        case $6 in
        sink)
            start_sink
            host=127.0.0.1
            ;;
        vexlolpd)
            mkdir "$scratch/spool"
            "$BENCH_LPD" --spool "$scratch/spool" --queue lp --port 5515 --port-file "$scratch/port" \
                --deadline 120 2>>"$log" &
            lpd=$!
            ready "$scratch/port" "$lpd" || fail "vexlolpd did not start"
            host=127.0.0.1:5515
            ;;
        esac
        run 120 "$bin/threads" stuck "${with[@]}" -f "$7" -t "$2" -n "$3" -s "$4" -L "$5" -r 10000 -H "$host" -T 100
        case $6 in
        sink) stop_sink ;;
        vexlolpd)
            # Every job the library reported printed must be whole in the spool: vexlolpd
            # keeps a job only once its control file and data files arrived.
            kill -TERM "$lpd" && wait "$lpd"
            lpd=""
            printf ' spool_jobs=%s' "$(find "$scratch/spool/lp" -name 'cfA*' | wc -l)"
            ;;
        esac
        ;;
    loop) # USER JOBS FILE; USER: root, nobody (the library) or mini (minilpr, TCP_NODELAY)
        start_sink
        case $1 in
        root) run 120 "$bin/threads" loop -f "$3" -t 1 -n "$2" -H 127.0.0.1 -T 100 ;;
        nobody)
            run 120 env XDG_RUNTIME_DIR="$BENCH_NOBODY_STATE" LD_LIBRARY_PATH="$BENCH_NOBODY_BIN" \
                setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups \
                "$BENCH_NOBODY_BIN/threads" loop -f "$3" -t 1 -n "$2" -H 127.0.0.1 -T 100
            ;;
        mini) run 120 "$bin/minilpr" -d -n "$2" 127.0.0.1 "$3" ;;
        esac
        stop_sink
        ;;
    memory) # THREADS ROUNDS FILE
        run 120 "$bin/threads" memory -f "$3" -t "$1" -R "$2" -r 30000 -T 100
        ;;
    *) fail "unknown measurement $kind" ;;
    esac
    echo
    exit 0
fi

# ---- the run -------------------------------------------------------------------------

profile=full
out=$here/threads-results.md
build=$top/build-bench
do_build=1
embedded=0

usage() {
    sed -n '/^# usage:/,/^set -u/p' "$0" | grep '^#' | sed 's/^# \{0,1\}//' >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
    --quick) profile=quick ;;
    --smoke) profile=smoke ;;
    --out) out=${2:?} && shift ;;
    --build) build=${2:?} && shift ;;
    --no-build) do_build=0 ;;
    --embedded) embedded=1 ;;
    -h | --help) usage ;;
    *)
        echo "threads.sh: unknown option $1" >&2
        usage
        ;;
    esac
    shift
done

# Sizes.  slow: threads and jobs per thread against the server that answers after
# DELAY ms; stuck: the silent printer's reply time-out; loop: jobs per measurement (as
# root the library's port search starts again at 601 once it has passed 800, so 200
# jobs use fresh reserved ports in a fresh namespace), and a longer series in one
# namespace, where the ports that TIME_WAIT holds are part of the figure (0: none).
delay=50
case $profile in
full)
    slow_threads="1 8 64" slow_jobs=20 slow_rounds=3
    stuck_rounds=3 stuck_ms=8000
    loop_rounds=9 loop_jobs=200 burst_jobs=1000
    mem_threads=64 mem_rounds=3
    ;;
quick)
    slow_threads="1 8 64" slow_jobs=5 slow_rounds=1
    stuck_rounds=1 stuck_ms=4000
    loop_rounds=3 loop_jobs=200 burst_jobs=1000
    mem_threads=64 mem_rounds=2
    ;;
smoke)
    slow_threads="1 8" slow_jobs=2 slow_rounds=1
    stuck_rounds=1 stuck_ms=1000
    loop_rounds=1 loop_jobs=20 burst_jobs=0
    mem_threads=8 mem_rounds=2
    ;;
esac
healthy_threads=4 healthy_jobs=5

log() { echo "bench threads: $*" >&2; }

if [ "$(id -u)" -ne 0 ]; then
    log "skipped: needs root (network namespaces, the unprivileged run's user switch)"
    exit 77
fi
# As bench/run.sh: a PID namespace too where the kernel allows one, so that whatever a
# measurement leaves running ends with it.
if unshare -n -m -p -f --mount-proc true 2>/dev/null; then
    ns=(unshare -n -m -p -f --mount-proc)
elif unshare -n -m true 2>/dev/null; then
    ns=(unshare -n -m)
else
    log "skipped: cannot create network and mount namespaces"
    exit 77
fi
for tool in ip python3 setpriv timeout; do
    command -v "$tool" >/dev/null 2>&1 || { log "missing: $tool" && exit 1; }
done

if [ "$do_build" -eq 1 ]; then
    log "building (Release) in $build"
    mkdir -p "$build" || exit 1
    if ! cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXLOLPR_BUILD_BENCH=ON \
        -DVEXLOLPR_BUILD_TESTS=OFF -DVEXLOLPR_BUILD_TOOLS=ON >"$build/bench-threads-build.log" 2>&1 ||
        ! cmake --build "$build" -j"$(nproc)" --target threads lpdsink minilpr vexlolpd \
            >>"$build/bench-threads-build.log" 2>&1; then
        tail -n 30 "$build/bench-threads-build.log" >&2
        log "build failed (log: $build/bench-threads-build.log)"
        exit 1
    fi
fi
export BENCH_BIN=$build/bench BENCH_LPD=$build/tools/vexlolpd
for p in "$BENCH_BIN/threads" "$BENCH_BIN/lpdsink" "$BENCH_BIN/minilpr"; do
    [ -x "$p" ] || { log "missing program: $p" && exit 1; }
done

work=$build/bench-work
mkdir -p "$work"
# This run's own job number record, as in run.sh.
mkdir -p "$work/state" && chmod 700 "$work/state" && export XDG_RUNTIME_DIR=$work/state
export BENCH_LOG=$work/threads.log
: >"$BENCH_LOG"
raw=$work/threads-raw.txt
: >"$raw"
: >"$work/threads-unavailable"
unavailable() {
    log "$1 not measured: $2"
    echo "$1 $2" >>"$work/threads-unavailable"
}

# The unprivileged run needs a job file, a private job number record and the program
# where the user nobody can reach them, wherever the build tree lies: the program and
# the shared library it loads are copied there.
shared=$(mktemp -d /tmp/vexlolpr-bench-threads.XXXXXX) || exit 1
trap 'rm -rf "$shared"' EXIT
chmod 755 "$shared"
file=$shared/job-1k
head -c 1024 /dev/urandom >"$file" && chmod 644 "$file"
mkdir "$shared/state" "$shared/bin" && chmod 700 "$shared/state"
export BENCH_NOBODY_STATE=$shared/state BENCH_NOBODY_BIN=$shared/bin
library=$(ldd "$BENCH_BIN/threads" | awk '/libvexlolpr/ { print $3 }')
if ! id nobody >/dev/null 2>&1 || ! chown nobody "$shared/state"; then
    unavailable nobody "there is no user nobody"
elif [ -n "$library" ] && ! cp -L "$library" "$shared/bin/$(basename "$library")"; then
    unavailable nobody "cannot copy $library"
elif ! cp "$BENCH_BIN/threads" "$shared/bin/threads" || ! chmod -R a+rX "$shared/bin"; then
    unavailable nobody "cannot copy $BENCH_BIN/threads"
else
    LD_LIBRARY_PATH=$shared/bin setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups \
        "$shared/bin/threads" >/dev/null 2>&1
    # 2: the program ran and found no workload.
    [ $? -eq 2 ] || unavailable nobody "the user nobody cannot run a copy of $BENCH_BIN/threads"
fi
[ -x "$BENCH_LPD" ] || unavailable vexlolpd "$BENCH_LPD is missing (a build without the tools)"

measure() { # PART ROUND KIND ARGS...
    local part=$1 round=$2 line rc
    shift 2
    line=$(timeout -k 5 400 "${ns[@]}" bash "$0" --measure "$@" </dev/null)
    rc=$?
    [ -n "$line" ] || line="error=the measurement ended with status $rc and no result"
    echo "part=$part round=$round $line" >>"$raw"
}

started=$(date +%s)
log "profile $profile: servers that answer after $delay ms ($slow_threads threads, $slow_jobs jobs each)"
for round in $(seq "$slow_rounds"); do
    for t in $slow_threads; do
        measure "slow-$t" "$round" slow "$t" "$slow_jobs" "$delay" "$file"
    done
done

log "a printer that never answers beside $healthy_threads healthy threads"
for round in $(seq "$stuck_rounds"); do
    measure stuck-0 "$round" stuck 0 "$healthy_threads" "$healthy_jobs" "$stuck_ms" 3 sink "$file"
    measure stuck-1 "$round" stuck 1 "$healthy_threads" "$healthy_jobs" "$stuck_ms" 3 sink "$file"
done

log "in-process jobs/s against the sink, as root and as nobody, and the minimal client"
users="root nobody mini"
grep -q '^nobody ' "$work/threads-unavailable" && users="root mini"
for round in $(seq "$loop_rounds"); do
    # The order turns each round, as in run.sh.
    case $((round % 3)) in
    1) order="$users" ;;
    2) order="$(echo "$users" | awk '{ for (i = 2; i <= NF; i++) printf "%s ", $i; print $1 }')" ;;
    0) order="$(echo "$users" | awk '{ printf "%s ", $NF; for (i = 1; i < NF; i++) printf "%s ", $i; print "" }')" ;;
    esac
    for u in $order; do
        measure "loop-$u" "$round" loop "$u" "$loop_jobs" "$file"
    done
done
if [ "$burst_jobs" -gt 0 ]; then
    for u in $users; do
        measure "burst-$u" 1 loop "$u" "$burst_jobs" "$file"
    done
fi

log "memory and descriptors: $mem_threads requests in flight, $mem_rounds rounds"
measure memory 1 memory "$mem_threads" "$mem_rounds" "$file"

if ! grep -q '^vexlolpd ' "$work/threads-unavailable"; then
    log "the issue's rows: a silent printer beside vexlolpd, lprtimeout 3 and 30"
    for round in $(seq "$stuck_rounds"); do
        measure issue-base "$round" stuck 0 "$healthy_threads" "$healthy_jobs" "$stuck_ms" 3 vexlolpd "$file"
        measure issue-a "$round" stuck 1 "$healthy_threads" "$healthy_jobs" "$stuck_ms" 3 vexlolpd "$file"
        measure issue-b "$round" stuck 1 "$healthy_threads" "$healthy_jobs" "$stuck_ms" 30 vexlolpd "$file"
    done
fi
ended=$(date +%s)

# Under a sanitizer the resident memory says little: ASan's quarantine holds freed memory.
sanitized=0
ldd "$BENCH_BIN/threads" 2>/dev/null | grep -Eq 'lib(a|t|ub)san' && sanitized=1

mkdir -p "$(dirname "$out")"
python3 "$here/threads_report.py" --sanitized "$sanitized" --raw "$raw" --out "$out" --unavailable "$work/threads-unavailable" \
    --profile "$profile" --embedded "$embedded" --seconds $((ended - started)) --delay "$delay" \
    --slow-jobs "$slow_jobs" --stuck-ms "$stuck_ms" --loop-jobs "$loop_jobs" --burst-jobs "$burst_jobs" \
    --healthy-threads "$healthy_threads" --healthy-jobs "$healthy_jobs" --log "$BENCH_LOG" \
    --commit "$(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)"
rc=$?
if [ ! -s "$out" ]; then
    log "no table in $out"
    exit 1
fi
log "written to $out (raw figures: $raw, messages: $BENCH_LOG)"
exit "$rc"
