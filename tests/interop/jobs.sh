#!/bin/bash
# jobs.sh - the command's job handle against four LPD servers: the job line of print, the
# removal checked against the listing (removed, not in the queue), and print --wait on a
# stopped queue (time out) and on one that prints (the job leaves).  Each server runs in
# network, mount (and where possible PID) namespaces of its own on port 515:
#   vexlolpd  this project's server (it never prints: "printing" removes the job files)
#   lprng     LPRng's lpd (Debian lprng), printing stopped with lpc stop
#   bsd       BSD lpd (Debian lpr, which conflicts with lprng: fetched and unpacked)
#   cups      cups-lpd in front of cupsd (Debian cups, cups-daemon, cups-client: fetched
#             and unpacked), a raw queue stopped with State Stopped; cups-lpd numbers the
#             jobs itself, so print --wait finds the job by owner and name
#   cupsanon  the same with the job values CUPS hides from anonymous requests as shipped:
#             cups-lpd lists every job as "(null)" "untitled", and print --wait cannot
#             find its job; it must not take it for gone
# LPRng, BSD lpd and cupsd print to a FIFO: nobody reading it holds the jobs (BSD lpd's
# lpc stop does not), one holding it open keeps a large job active, one reading it lets
# the queue print.
#
# usage: jobs.sh VEXLOLPR VEXLOLPD [DEBDIR]
# DEBDIR keeps the fetched packages between runs (default: a directory of this run).
# Exit status: 0 all checks held, 1 a check failed, 77 skipped: not root, no namespaces,
# or a server could not be had (the others are still checked; a failure wins).
# INTEROP_KEEP=1 keeps the scratch directory after a failure; JOBS_SERVERS="lprng bsd"
# runs only those servers.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

if [ "${1:-}" != --inside ]; then
    cli=${1:?usage: jobs.sh VEXLOLPR VEXLOLPD [DEBDIR]}
    lpd_program=${2:?usage: jobs.sh VEXLOLPR VEXLOLPD [DEBDIR]}
    skip() {
        echo "interop jobs: skipped: $1"
        exit 77
    }
    [ "$(id -u)" -eq 0 ] || skip "not root"
    for tool in unshare ip timeout mkfifo socat; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool not found"
    done
    ns=$(namespace_command)
    [ -n "$ns" ] || skip "cannot create network and mount namespaces"
    for program in "$cli" "$lpd_program"; do
        [ -x "$program" ] || {
            echo "interop jobs: $program is not executable"
            exit 1
        }
    done
    work=$(mktemp -d /tmp/interop-jobs.XXXXXX) || exit 1
    # The servers run as daemon or lp and reach their spools and FIFOs below it.
    chmod 755 "$work"
    debs=${3:-$work/debs}

    # unavailable SERVER REASON: that server is left out, and the run ends in 77 at best.
    missing=""
    unavailable() {
        echo "interop jobs: $1 left out: $2"
        missing="$missing $1"
    }
    # unpacked SERVER DIR PACKAGE...: the packages fetched into DIR and every program of
    # theirs that a server run starts finds its libraries.
    unpacked() {
        local server=$1 dir=$2 lacking
        shift 2
        fetch_debs "$dir" "$@" || {
            unavailable "$server" "apt-get download $* failed"
            return 1
        }
        lacking=$(for p in "$dir"/root/usr/sbin/* "$dir"/root/usr/lib/cups/daemon/cups-lpd; do
            [ -f "$p" ] && ldd "$p" 2>/dev/null | grep 'not found'
        done | awk '{print $1}' | sort -u | tr '\n' ' ')
        [ -z "$lacking" ] || {
            unavailable "$server" "libraries missing: $lacking"
            return 1
        }
    }
    servers=vexlolpd
    if [ -x /usr/sbin/lpd ] && command -v lpc >/dev/null 2>&1 && [ -f /etc/lprng/lpd.perms ]; then
        servers="$servers lprng"
    else
        unavailable lprng "LPRng (/usr/sbin/lpd, lpc, /etc/lprng/lpd.perms) is not installed"
    fi
    unpacked bsd "$debs/bsd" lpr && servers="$servers bsd"
    unpacked cups "$debs/cups" cups cups-daemon cups-client && servers="$servers cups cupsanon"

    status=0
    for server in $servers; do
        case " ${JOBS_SERVERS:-$server} " in *" $server "*) ;; *) continue ;; esac
        case $server in
        bsd) root=$debs/bsd/root ;;
        cups*) root=$debs/cups/root ;;
        *) root=- ;;
        esac
        mkdir -p "$work/$server" && chmod 755 "$work/$server"
        timeout -k 10 80 $ns bash "$0" --inside "$server" "$cli" "$lpd_program" "$root" "$work/$server"
        rc=$?
        [ $rc -eq 124 ] && echo "interop jobs: $server: the run exceeded its time limit"
        [ $rc -ne 0 ] && status=1
    done
    [ $status -eq 0 ] && [ -n "$missing" ] && status=77
    finish_run jobs $status "$work"
fi

server=$2
cli=$3
lpd_program=$4
root=$5
work=$6
host=127.0.0.1
queue=lp@$host
files=$work/files
device=$work/device

ip link set lo up || {
    echo "interop jobs: cannot bring lo up"
    exit 1
}
mkdir -p "$files" "$work/state" && chmod 700 "$work/state"
export VEXLOLPR_STATE_DIR=$work/state
cd "$files" || exit 1
printf 'quarterly report\n' >report.txt
printf 'memo\n' >memo.txt
head -c 1048576 /dev/urandom >big.bin

# ---- the server: start, spool, printing ----------------------------------------------

# start_server: the queue lp, printing stopped.  in_spool NUMBER: the server still holds
# the job.  start_printing: the queue prints from now on, its output blocked for a few
# seconds: a large job is active meanwhile.
case $server in
vexlolpd)
    start_server() { start_vexlolpd "$lpd_program" "$work" 75; }
    in_spool() { compgen -G "$work/spool/lp/cfA$(printf %03d "$1")*" >/dev/null; }
    start_printing() { (sleep 4 && rm -f "$work/spool/lp/"[cd]fA*) & }
    stop_server() { stop_vexlolpd; }
    ;;
lprng)
    start_server() {
        start_lprng "$work" 515 75 || return 1
        sed -i "s|:lp=/dev/null|:lp=$device|" "$work/etc/printcap"
        make_device "$device" daemon
        wait_for_port && timeout 20 lpc -P"$queue" stop | grep -q stopped
    }
    in_spool() { [ -e "$work/spool/lp/hfA$(printf %03d "$1")" ]; }
    start_printing() {
        hold_device "$device"
        timeout 20 lpc -P"$queue" start >/dev/null
        drain_device_after 4 "$device"
    }
    stop_server() { stop_lprng; }
    ;;
bsd)
    start_server() { make_device "$device" lp && start_bsd_lpd "$root" "$work" "$device"; }
    in_spool() { compgen -G "/var/spool/lpd/lp/cfA$(printf %03d "$1")*" >/dev/null; }
    start_printing() {
        hold_device "$device"
        drain_device_after 4 "$device"
    }
    stop_server() { stop_bsd_lpd; }
    ;;
cups | cupsanon)
    start_server() {
        make_device "$device" lp && start_cups "$root" "$work" "$device" "$([ "$server" = cups ] && echo none || echo default)"
    }
    # The document files: cupsd writes the job's c file some time later.
    in_spool() { compgen -G "$work/cups/spool/d$(printf %05d "$1")-*" >/dev/null; }
    start_printing() {
        hold_device "$device"
        cups_admin "$root" "$work" cupsenable lp >/dev/null
        drain_device_after 4 "$device"
    }
    stop_server() { stop_cups; }
    ;;
esac

finish() {
    stop_server
    release_device
    if [ "$failed" -ne 0 ]; then
        case $server in
        vexlolpd) echo "---- end of vexlolpd's log" && tail -n 20 "$work/lpd.out" ;;
        lprng) echo "---- end of lpd's log" && grep -a -v -E ' Waiting |Dump_line_list|\] 0x' "$work/lpd.out" | tail -n 20 ;;
        cups*) echo "---- end of cupsd's log" && grep -a -E '^[EWI] ' "$work/cups/log/error_log" | tail -n 20 ;;
        esac
    fi
    summary "jobs $server"
    exit $?
}

start_server || {
    fail "$server: the server starts"
    finish
}
wait_for_port || {
    fail "$server: the server accepts on port 515"
    finish
}

# ---- the checks ------------------------------------------------------------------------

# listed NUMBER: the server's own listing shows the job NUMBER (LPRng's long form, as its
# short one only counts; the others' short form, job number in the third column of a
# ranked line).
listed() {
    if [ "$server" = lprng ]; then
        raw_listing lp "$work/listing" 4
        grep -q -E "^ *[a-z0-9]+ +[^ ]+\\+$1 " "$work/listing"
    else
        raw_listing lp "$work/listing" 3
        awk -v n="$1" '$1 ~ /^(active|[0-9]+(st|nd|rd|th))$/ && $3 == n { hit = 1 } END { exit !hit }' \
            "$work/listing"
    fi
}

# gone NAME NUMBER: the job is no longer listed nor in the spool (a server may finish
# tidying up just after it answered: up to about five seconds).
gone() {
    local i
    for i in $(seq 50); do
        ! listed "$2" && ! in_spool "$2" && break
        sleep 0.1
    done
    if listed "$2"; then
        fail "$1: job $2 is no longer listed" "$(cat "$work/listing")"
    elif in_spool "$2"; then
        fail "$1: job $2 left the spool"
    else
        pass "$1: job $2 is neither listed nor in the spool"
    fi
}

# The number a server lists for the last job of OWNER (cups-lpd's own numbers).
listed_number() {
    raw_listing lp "$work/listing" 3
    awk -v u="$1" '$1 ~ /^(active|[0-9]+(st|nd|rd|th))$/ && $2 == u { n = $3 } END { print n }' "$work/listing"
}

# The job line of print: its number goes to `number`.
job_line() {
    number=$(sed -n "s/^$queue: job \\([0-9][0-9]*\\) queued ($2, $3 bytes)\$/\\1/p" "$work/$4.out")
    if [ -n "$number" ]; then
        pass "$1: job line \"$queue: job $number queued ($2, $3 bytes)\""
    else
        fail "$1: job line \"$queue: job N queued ($2, $3 bytes)\"" "stdout: $(cat "$work/$4.out")" \
            "stderr: $(cat "$work/$4.err")"
    fi
}

# A stock cups-lpd: the listing shows the job, but neither its owner nor its name.
if [ "$server" = cupsanon ]; then
    run_cli anon print -P "$queue" -U bob --client-host localhost -J memo --wait=3 memo.txt
    job_line "$server: print --wait=3" memo.txt 5 anon
    check_match "$server: print --wait=3 on a stopped queue: exit status 4 or 5, not 0 (the job is still there)" \
        '^[45]$' "$cli_status"
    if grep -q 'left the queue' "$work/anon.out"; then
        fail "$server: print --wait=3 does not say the listed job left the queue" "$(cat "$work/anon.out")"
    else
        pass "$server: print --wait=3 does not say the listed job left the queue"
    fi
    echo "     ($server: print --wait=3 said: $(cat "$work/anon.out" "$work/anon.err" | tr '\n' '|'))"
    check_eq "$server: the job is still listed" 1 "$(listed_number '(null)' | grep -c .)"
    finish
fi

# A: printed without --wait, removed while printing is stopped.
run_cli a print -P "$queue" -U alice --client-host localhost \
    -J /home/alice/reports/quarterly-report-2026.txt report.txt
check_eq "$server: print: exit status 0" 0 "$cli_status"
job_line "$server: print" report.txt 17 a
job_a=$number
held=$job_a
if [ "$server" = cups ]; then
    held=$(listed_number alice)
    check_match "$server: cups-lpd lists the job under a number of its own" '^[0-9]+$' "$held"
fi
if [ -n "$held" ] && listed "$held" && in_spool "$held"; then
    pass "$server: job A ($held) is listed and in the spool"
else
    fail "$server: job A ($held) is listed and in the spool" "$(cat "$work/listing")"
fi

# A number the queue does not hold: said so, no removal sent, job A stays.
absent=$(((${held:-1} + 500) % 999 + 1))
run_cli absent remove -P "$queue" -U alice --client-host localhost "$absent"
check_eq "$server: remove $absent (not queued): exit status 6" 6 "$cli_status"
check_eq "$server: remove $absent (not queued): stderr" "vexlolpr: $queue: job $absent was not in the queue" \
    "$(cat "$work/absent.err")"
if [ -n "$held" ] && listed "$held" && in_spool "$held"; then
    pass "$server: job A stays after the removal of another number"
else
    fail "$server: job A stays after the removal of another number"
fi

# Another user's removal: the server refuses it (cupsd here lets anyone cancel), and the
# listing after it shows the job still there.
if [ -n "$held" ] && [ "$server" != cups ]; then
    run_cli rm-other remove -P "$queue" -U mallory --client-host localhost "$held"
    check_eq "$server: remove $held by another user: exit status 7" 7 "$cli_status"
    check_eq "$server: remove $held by another user: stderr" "vexlolpr: $queue: job $held is still in the queue" \
        "$(cat "$work/rm-other.err")"
    if listed "$held" && in_spool "$held"; then
        pass "$server: job A stays after another user's removal"
    else
        fail "$server: job A stays after another user's removal"
    fi
fi

if [ -n "$held" ]; then
    run_cli rm-a remove -P "$queue" -U alice --client-host localhost "$held"
    check_eq "$server: remove $held: exit status 0" 0 "$cli_status"
    check_eq "$server: remove $held: stdout" "$queue: job $held removed" "$(cat "$work/rm-a.out")"
    gone "$server: remove $held" "$held"
fi

# B: followed for 3 s on the stopped queue; cups-lpd's number is found by owner and name.
run_cli b print -P "$queue" -U bob --client-host localhost -J memo --wait=3 memo.txt
check_eq "$server: print --wait=3 on a stopped queue: exit status 4" 4 "$cli_status"
job_line "$server: print --wait=3" memo.txt 5 b
job_b=$number
follow=$job_b
if [ "$server" = cups ] && [ -n "$job_b" ]; then
    follow=$(sed -n "s/^$queue: job $job_b is listed as job \\([0-9][0-9]*\\)\$/\\1/p" "$work/b.out")
    check_eq "$server: --wait names the number cups-lpd lists" "$(listed_number bob)" "$follow"
fi
[ -n "$follow" ] && check_eq "$server: print --wait=3: stderr" "vexlolpr: $queue: job $follow still queued after 3 s" \
    "$(cat "$work/b.err")"
if [ -n "$follow" ]; then
    run_cli rm-b remove -P "$queue" -U bob --client-host localhost "$follow"
    check_eq "$server: remove $follow (the followed number): exit status 0" 0 "$cli_status"
    check_eq "$server: remove $follow: stdout" "$queue: job $follow removed" "$(cat "$work/rm-b.out")"
    gone "$server: remove $follow" "$follow"
fi

# C: followed on a queue that prints, until it leaves.
start_printing
run_cli c print -P "$queue" -U alice --client-host localhost -J big-job --wait=30 big.bin
check_eq "$server: print --wait=30 on a queue that prints: exit status 0" 0 "$cli_status"
job_line "$server: print --wait=30" big.bin 1048576 c
check_match "$server: print --wait=30 ends with the job leaving the queue" \
    "^$queue: job [0-9]+ left the queue\$" "$(tail -n 1 "$work/c.out")"
echo "     ($server: print --wait=30 said: $(tr '\n' '|' <"$work/c.out"))"
raw_listing lp "$work/listing" 3
check_eq "$server: the queue is empty once printed" "" \
    "$(awk '$1 ~ /^(active|[0-9]+(st|nd|rd|th))$/' "$work/listing")"

finish
