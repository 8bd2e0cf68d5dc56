#!/bin/bash
# run.sh - the benchmark: print clients against one sink LPD, every client in network and
# mount namespaces of its own, alternated round by round so that the ratios come from one
# run.  Prints a Markdown table and writes it to a file, followed by the section of several
# threads of one process at once (bench/threads.sh).
#
# usage: bench/run.sh [--quick | --smoke] [options]
#   --quick            64 MiB job, 50 jobs per process-per-job series, one round, the
#                      1000 jobs in a row only for the fast clients (well under a minute,
#                      and half a minute of the threads section)
#   --smoke            tiny sizes, every client once: checks that everything runs
#   --rounds N         rounds of the alternated workloads (default 5); medians are shown
#   --big-size SIZE    the large job (default 1G; K, M, G suffixes are powers of 1024)
#   --yield-size SIZE  the large job of the yielding command (default 64M: at its ceiling
#                      of about 8 MB/s a 1 GiB job would take over two minutes)
#   --jobs N           jobs of the one-process-per-job series (default 200)
#   --lib-jobs N       jobs printed from one process (default 500)
#   --row-jobs N       jobs in a row that must all succeed (default 1000)
#   --clients LIST     comma-separated subset of: mini-nodelay,mini-nagle,cmd,cmd-yield,
#                      lib,lib-yield,lprng,cups
#   --out FILE         where the Markdown goes (default bench/results.md)
#   --build DIR        build tree (default build-bench at the top of the checkout)
#   --no-build         use the programs already in the build tree
#   --no-install       install no Debian packages, download nothing
#   --no-threads       leave out the section of several threads at once (bench/threads.sh,
#                      run after the clients at the same profile; two to three minutes of
#                      the full run)
# Exit status: 0 every client ran and every job of every workload succeeded (the figures
# themselves never decide it), 1 otherwise, 2 usage, 77 not root or no namespaces.
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)

rounds=5
big=1G
yield_size=64M
jobs=200
lib_jobs=500
row_jobs=1000
clients=mini-nodelay,mini-nagle,cmd,cmd-yield,lib,lib-yield,lprng,cups
row_clients=mini-nodelay,cmd,cmd-yield,lib,lprng,cups
profile=full
out=$here/results.md
build=$top/build-bench
do_build=1
do_install=1
do_threads=1

usage() {
    sed -n '/^# usage:/,/^set -u/p' "$0" | grep '^#' | sed 's/^# \{0,1\}//' >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case $1 in
    --quick)
        profile=quick rounds=1 big=64M yield_size=8M jobs=50 lib_jobs=500 row_jobs=1000
        row_clients=mini-nodelay,cmd,lib
        ;;
    --smoke)
        profile=smoke rounds=1 big=1M yield_size=256K jobs=3 lib_jobs=20 row_jobs=20
        row_clients=mini-nodelay,cmd,cmd-yield,lib,lprng,cups
        ;;
    --rounds) rounds=${2:?} && shift ;;
    --big-size) big=${2:?} && shift ;;
    --yield-size) yield_size=${2:?} && shift ;;
    --jobs) jobs=${2:?} && shift ;;
    --lib-jobs) lib_jobs=${2:?} && shift ;;
    --row-jobs) row_jobs=${2:?} && shift ;;
    --clients) clients=${2:?} && shift ;;
    --out) out=${2:?} && shift ;;
    --build) build=${2:?} && shift ;;
    --no-build) do_build=0 ;;
    --no-install) do_install=0 ;;
    --no-threads) do_threads=0 ;;
    -h | --help) usage ;;
    *)
        echo "run.sh: unknown option $1" >&2
        usage
        ;;
    esac
    shift
done

bytes_of() {
    local n=${1%[KkMmGg]}
    case $1 in
    *[Kk]) echo $((n * 1024)) ;;
    *[Mm]) echo $((n * 1048576)) ;;
    *[Gg]) echo $((n * 1073741824)) ;;
    *) echo $((n)) ;;
    esac
}
for v in "$rounds" "$jobs" "$lib_jobs" "$row_jobs" "${big%[KkMmGg]}" "${yield_size%[KkMmGg]}"; do
    case $v in '' | *[!0-9]*) echo "run.sh: not a number: $v" >&2 && exit 2 ;; esac
done
big_bytes=$(bytes_of "$big")
yield_bytes=$(bytes_of "$yield_size")
if [ "$rounds" -lt 1 ] || [ "$jobs" -lt 1 ] || [ "$lib_jobs" -lt 1 ] || [ "$row_jobs" -lt 1 ] ||
    [ "$big_bytes" -lt 1 ] || [ "$yield_bytes" -lt 1 ]; then
    usage
fi
in_list() { case ",$2," in *",$1,"*) return 0 ;; esac; return 1; }
for c in ${clients//,/ }; do
    in_list "$c" mini-nodelay,mini-nagle,cmd,cmd-yield,lib,lib-yield,lprng,cups ||
        { echo "run.sh: unknown client $c" >&2 && exit 2; }
done

log() { echo "bench: $*" >&2; }

if [ "$(id -u)" -ne 0 ]; then
    log "skipped: needs root (network namespaces, LPRng's and CUPS's reserved ports)"
    exit 77
fi
# A PID namespace too where the kernel allows one: whatever a client leaves running ends
# with its measurement.
if unshare -n -m -p -f --mount-proc true 2>/dev/null; then
    ns=(unshare -n -m -p -f --mount-proc)
elif unshare -n -m true 2>/dev/null; then
    ns=(unshare -n -m)
else
    log "skipped: cannot create network and mount namespaces"
    exit 77
fi

# ---- what the benchmark needs --------------------------------------------------------

if [ "$do_install" -eq 1 ]; then
    need=""
    for p in cmake make gcc g++ python3 iproute2 util-linux time lprng libcups2; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need="$need $p"
    done
    if [ -n "$need" ]; then
        log "installing:$need"
        apt-get update -qq >/dev/null 2>&1
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null 2>&1 ||
            log "could not install:$need"
    fi
fi
for tool in ip python3 /usr/bin/time; do
    command -v "$tool" >/dev/null 2>&1 || { log "missing: $tool" && exit 1; }
done

if [ "$do_build" -eq 1 ]; then
    log "building (Release) in $build"
    mkdir -p "$build" || exit 1
    if ! cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXLOLPR_BUILD_BENCH=ON \
        -DVEXLOLPR_BUILD_TESTS=OFF -DVEXLOLPR_BUILD_TOOLS=ON >"$build/bench-build.log" 2>&1 ||
        ! cmake --build "$build" -j"$(nproc)" --target vexlolpr_cli lpdsink minilpr spawn libloop alloccount \
            threads vexlolpd \
            >>"$build/bench-build.log" 2>&1; then
        tail -n 30 "$build/bench-build.log" >&2
        log "build failed (log: $build/bench-build.log)"
        exit 1
    fi
fi
export BENCH_BIN=$build/bench BENCH_CLI=$build/tools/vexlolpr
for p in "$BENCH_BIN/lpdsink" "$BENCH_BIN/minilpr" "$BENCH_BIN/spawn" "$BENCH_BIN/libloop" "$BENCH_CLI"; do
    [ -x "$p" ] || { log "missing program: $p" && exit 1; }
done

work=$build/bench-work
mkdir -p "$work"
# The job number record of the library and the command: this run's own (private, as the
# library requires), not the user's, which tests running at the same time use.
mkdir -p "$work/state" && chmod 700 "$work/state" && export XDG_RUNTIME_DIR=$work/state
: >"$work/unavailable"
unavailable() {
    log "$1 not measured: $2"
    echo "$1 $2" >>"$work/unavailable"
}

# LPRng's lpr with a configuration of its own: straight to the server named in the
# printcap, no local lpd and no UNIX socket.
if in_list lprng "$clients"; then
    if [ ! -x /usr/bin/lpr ] || ! dpkg-query -S /usr/bin/lpr 2>/dev/null | grep -q '^lprng:'; then
        unavailable lprng "LPRng's lpr is not installed (Debian package lprng)"
    else
        export BENCH_LPRNG_ETC=$work/lprng-etc
        mkdir -p "$BENCH_LPRNG_ETC"
        [ -f /etc/lprng/lpd.perms ] && cp /etc/lprng/lpd.perms "$BENCH_LPRNG_ETC/"
        printf 'force_localhost@\nunix_socket_path=off\nprintcap_path=/etc/lprng/printcap\n' \
            >"$BENCH_LPRNG_ETC/lpd.conf"
        printf 'lp:rm=127.0.0.1:rp=lp\n' >"$BENCH_LPRNG_ETC/printcap"
    fi
fi

# The CUPS lpd backend, unpacked from Debian's cups package rather than installed: the
# package's client programs would conflict with LPRng's, and only the backend is used.
if in_list cups "$clients"; then
    cups=$work/cups
    backend=""
    for b in "$cups"/usr/lib/cups/backend-available/lpd "$cups"/usr/lib/cups/backend/lpd; do
        [ -x "$b" ] && backend=$b && break
    done
    if [ -z "$backend" ] && [ "$do_install" -eq 1 ]; then
        log "fetching the CUPS lpd backend (apt-get download cups; dpkg -x)"
        rm -rf "$cups" "$work/cups-deb"
        mkdir -p "$work/cups-deb"
        # Bounded: a mirror that stalls must not hold the run (the smoke test's too).
        (cd "$work/cups-deb" && { timeout 30 apt-get download cups >/dev/null 2>&1 ||
            { timeout 60 apt-get update -qq >/dev/null 2>&1 && timeout 30 apt-get download cups >/dev/null 2>&1; }; }) &&
            dpkg -x "$work"/cups-deb/cups_*.deb "$cups" 2>/dev/null
        for b in "$cups"/usr/lib/cups/backend-available/lpd "$cups"/usr/lib/cups/backend/lpd; do
            [ -x "$b" ] && backend=$b && break
        done
    fi
    if [ -z "$backend" ]; then
        unavailable cups "the lpd backend could not be fetched (apt-get download cups)"
    elif ldd "$backend" | grep -q 'not found'; then
        unavailable cups "the lpd backend lacks libraries: $(ldd "$backend" | grep 'not found' | tr -s ' \t' ' ')"
    else
        export BENCH_CUPS_LPD=$backend
    fi
fi

# ---- the files -----------------------------------------------------------------------

make_file() { # PATH BYTES
    if [ "$(stat -c %s "$1" 2>/dev/null)" != "$2" ]; then
        head -c "$2" /dev/zero >"$1.tmp" && mv "$1.tmp" "$1"
    fi
    cat "$1" >/dev/null # in the page cache before anything is timed
}
small_file=$work/job-1k
[ -f "$small_file" ] || head -c 1024 /dev/urandom >"$small_file"
big_file=$work/job-$big
yield_file=$work/job-$yield_size
log "preparing $big and $yield_size files"
make_file "$big_file" "$big_bytes" || exit 1
make_file "$yield_file" "$yield_bytes" || exit 1

# ---- the runs ------------------------------------------------------------------------

raw=$work/raw.txt
export BENCH_LOG=$work/clients.log
: >"$raw"
: >"$BENCH_LOG"

measure() { # CLIENT WORKLOAD ROUND MODE FILE COUNT LIMIT
    local client=$1 workload=$2 round=$3 mode=$4 file=$5 count=$6 limit=$7 result
    grep -q "^$client " "$work/unavailable" && return 0
    result=$work/result
    rm -f "$result"
    # The whole measurement's bound: one client process's limit and a second a job.
    BENCH_WORKLOAD=$workload BENCH_RUN_LIMIT=$limit timeout -k 5 $((limit + 60 + count)) "${ns[@]}" bash "$here/measure.sh" \
        "$client" "$mode" "$file" "$count" "$result" </dev/null
    local rc=$?
    [ "$rc" -eq 124 ] && echo "error=the measurement exceeded its time limit" >>"$result"
    [ -f "$result" ] || echo "error=measure.sh ended with status $rc and no result" >"$result"
    echo "client=$client workload=$workload round=$round $(tr '\n' ' ' <"$result")" >>"$raw"
}

# Per-job time allowed to one client process, and for the big job.
big_limit=$((60 + big_bytes / 5000000))
yield_limit=$((60 + yield_bytes / 2000000))

# Each round runs every workload with every client in turn; the order of the clients
# turns by one each round, so that none is always first after a pause.
IFS=, read -r -a list <<<"$clients"
started=$(date +%s)
for round in $(seq "$rounds"); do
    order=("${list[@]:$(((round - 1) % ${#list[@]}))}" "${list[@]:0:$(((round - 1) % ${#list[@]}))}")
    log "round $round/$rounds: ${order[*]}"
    for c in "${order[@]}"; do
        case $c in
        lib | lib-yield) ;;
        cmd-yield) measure "$c" big "$round" one "$yield_file" 1 "$yield_limit" ;;
        *) measure "$c" big "$round" one "$big_file" 1 "$big_limit" ;;
        esac
    done
    for c in "${order[@]}"; do
        case $c in
        lib | lib-yield) ;;
        *) measure "$c" each "$round" each "$small_file" "$jobs" 60 ;;
        esac
    done
    for c in "${order[@]}"; do
        case $c in
        lib | lib-yield | mini-nodelay) measure "$c" loop "$round" loop "$small_file" "$lib_jobs" 600 ;;
        esac
    done
    if [ "$round" -eq 1 ]; then
        # Peak RSS of a 1 KiB job, to set beside that of the big one.
        for c in "${order[@]}"; do
            case $c in
            lib | lib-yield) ;;
            *) measure "$c" small "$round" one "$small_file" 1 60 ;;
            esac
        done
    fi
done
log "jobs in a row: $row_jobs"
for c in ${row_clients//,/ }; do
    in_list "$c" "$clients" || continue
    case $c in
    lib) measure "$c" row 1 loop "$small_file" "$row_jobs" 900 ;;
    *) measure "$c" row 1 each "$small_file" "$row_jobs" 60 ;;
    esac
done
ended=$(date +%s)

# ---- the table -----------------------------------------------------------------------

mkdir -p "$(dirname "$out")"
python3 "$here/report.py" --raw "$raw" --out "$out" --unavailable "$work/unavailable" \
    --profile "$profile" --rounds "$rounds" --big "$big_bytes" --yield-size "$yield_bytes" \
    --jobs "$jobs" --lib-jobs "$lib_jobs" --row-jobs "$row_jobs" --clients "$clients" \
    --row-clients "$row_clients" --seconds $((ended - started)) --log "$BENCH_LOG" \
    --commit "$(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown)"
rc=$?
if [ ! -s "$out" ]; then
    log "no table in $out"
    exit 1
fi

# Several threads of one process at once: a section of its own after the table, at the
# same profile, from the same build tree.
if [ "$do_threads" -eq 1 ]; then
    log "threads: bench/threads.sh"
    threads_profile=()
    rm -f "$work/threads.md"
    [ "$profile" = full ] || threads_profile=("--$profile")
    bash "$here/threads.sh" "${threads_profile[@]}" --no-build --build "$build" --embedded \
        --out "$work/threads.md" >/dev/null
    threads_rc=$?
    if [ -s "$work/threads.md" ]; then
        printf '\n' >>"$out" && cat "$work/threads.md" >>"$out"
        printf '\n' && cat "$work/threads.md"
    else
        log "threads: no section (status $threads_rc)"
    fi
    [ "$threads_rc" -eq 0 ] || rc=1
fi
log "table written to $out (raw figures: $raw, client messages: $BENCH_LOG)"
exit "$rc"
