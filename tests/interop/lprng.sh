#!/bin/bash
# lprng.sh - round trips of the library against LPRng's lpd, inside network, mount (and
# where possible PID) namespaces of their own, so that port 515, the configuration in
# /etc/lprng and every server process exist only for this run.
#
# usage: lprng.sh INTEROP_CLIENT [VEXLOLPR]
# VEXLOLPR, the command, prints the ten jobs of separate processes (else INTEROP_CLIENT).
# Exit status: 0 all checks held, 1 a check failed, 77 skipped (not root, or unshare,
# ip or LPRng missing).  INTEROP_KEEP=1 keeps the scratch directory after a failure.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
. "$here/lprng_spool.sh"

if [ "${1:-}" != --inside ]; then
    client=${1:?usage: lprng.sh INTEROP_CLIENT}
    cli=${2:-}
    skip() {
        echo "interop lprng: skipped: $1"
        exit 77
    }
    [ "$(id -u)" -eq 0 ] || skip "not root"
    for tool in unshare ip timeout; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool not found"
    done
    [ -x /usr/sbin/lpd ] || skip "/usr/sbin/lpd (LPRng) not found"
    command -v lpc >/dev/null 2>&1 || skip "lpc (LPRng) not found"
    [ -d /etc/lprng ] && [ -f /etc/lprng/lpd.perms ] || skip "/etc/lprng/lpd.perms not found"
    ns=$(namespace_command)
    [ -n "$ns" ] || skip "cannot create network and mount namespaces"
    for program in "$client" ${cli:+"$cli"}; do
        [ -x "$program" ] || {
            echo "interop lprng: $program is not executable"
            exit 1
        }
    done
    work=$(mktemp -d /tmp/interop-lprng.XXXXXX) || exit 1
    # lpd runs as daemon and has to reach its spool below this directory.
    chmod 755 "$work"
    timeout -k 10 270 $ns bash "$0" --inside "$client" "$work" "$cli"
    finish_run lprng $? "$work"
fi

client=$2
work=$3
cli=${4:-}
spool=$work/spool/lp
files=$work/files
host=127.0.0.1

ip link set lo up || {
    echo "interop lprng: cannot bring lo up"
    exit 1
}

# ---- the server ------------------------------------------------------------------------

mkdir -p "$files"
own_job_numbers "$work/state"
start_lprng "$work" 515 250 || exit 1

show_log() {
    echo "---- lines lpd read from its clients ($work/lpd.out)"
    grep -a -E 'Service_connection: read status|Receive_job: read from' "$work/lpd.out" | tail -n 40
    echo "---- last lines of lpd's log, without its idle loop"
    grep -a -v -E ' Waiting |Dump_line_list|\] 0x' "$work/lpd.out" | tail -n 20
}

finish() {
    stop_lprng
    [ "$failed" -ne 0 ] && show_log
    summary lprng
    exit $?
}

if ! wait_for_port; then
    fail "lpd accepts on port 515" "$(tail -n 20 "$work/lpd.out")"
    finish
fi
# Printing stopped: jobs stay in the spool to be looked at.
stopped=$(timeout 20 lpc -Plp@127.0.0.1 stop 2>&1)
if ! printf '%s' "$stopped" | grep -q stopped; then
    fail "lpc stops printing on lp" "$stopped"
    finish
fi

make_files "$files"

# command_seen NAME TEXT: lpd read the command line TEXT (control octet in ^X notation,
# without its LF) on some connection.
command_seen() {
    local length=$((${#2} - 1))
    if grep -a -q -F "Service_connection: read status 0, len $length, '$2'" "$work/lpd.out"; then
        pass "$1"
    else
        fail "$1" "no command line '$2' in lpd's log; it read:" \
            "$(grep -a -o "Service_connection: read status 0, len .*" "$work/lpd.out" | tail -n 5)"
    fi
}

# check_job NAME NUMBER FILE HOST USER JOBNAME CLASS NOBANNER FORMAT COPIES ORDER
# ORDER: data-first or control-first.
check_job() {
    local name=$1 n=$2 file=$3 chost=$4 user=$5 jobname=$6 class=$7 nobanner=$8 format=$9
    local copies=${10} order=${11}
    local size stem control wanted_wire port
    size=$(wc -c <"$file")
    stem="fA$n$chost"
    check_cmp "$name: data file dfA$n$chost equals $(basename "$file")" "$file" "$spool/d$stem"
    check_eq "$name: H" "$chost" "$(hf_field "$n" H)"
    check_eq "$name: P" "$user" "$(hf_field "$n" P)"
    check_eq "$name: J" "$([ "$jobname" = - ] && echo "$file" || echo "$jobname")" "$(hf_field "$n" J)"
    if [ "$nobanner" = 1 ]; then
        if hf_has "$n" L; then
            fail "$name: no L line with the banner off" "L=$(hf_field "$n" L)"
        else
            pass "$name: no L line with the banner off"
        fi
        if [ "$class" != - ] && [ "$(hf_field "$n" C)" = "$class" ]; then
            fail "$name: no class line with the banner off" "C=$class arrived"
        else
            pass "$name: no class line with the banner off"
        fi
    else
        check_eq "$name: L" "$user" "$(hf_field "$n" L)"
        [ "$class" != - ] && check_eq "$name: C" "$class" "$(hf_field "$n" C)"
    fi
    [ "$format" = p ] && check_eq "$name: T (title of the p format)" "$file" "$(hf_field "$n" T)"
    check_eq "$name: print lines name dfA$n$chost" "dfA$n$chost" "$(hf_datafield "$n" dftransfername)"
    check_eq "$name: format letter" "$format" "$(hf_datafield "$n" format)"
    check_eq "$name: copies" "$(printf '0x%x' "$copies")" "$(hf_datafield "$n" copies)"
    check_eq "$name: N" "$file" "$(hf_datafield "$n" N)"
    check_eq "$name: data size" "$size" "$(hf_datafield "$n" size)"
    port=$(hf_field "$n" remoteport)
    if [ -n "$port" ] && [ $((port)) -ge 601 ] && [ $((port)) -le 1000 ]; then
        pass "$name: sent from a reserved port 601..1000 ($((port)))"
    else
        fail "$name: sent from a reserved port 601..1000" "remoteport=$port"
    fi
    expected_control "$chost" "$user" "$jobname" "$class" "$nobanner" "$format" "$copies" "$stem" "$file" \
        >"$work/cf.expected"
    control=$(wc -c <"$work/cf.expected")
    if [ "$order" = data-first ]; then
        wanted_wire="^C$size d$stem|^B$control c$stem|"
    else
        wanted_wire="^B$control c$stem|^C$size d$stem|"
    fi
    check_eq "$name: subcommands on the wire ($order)" "$wanted_wire" "$(wire_lines "$n")"
}

# listing_check NAME JOBS: the library's listing is the server's own bytes, and it
# counts JOBS jobs.
listing_check() {
    local name=$1 count=$2 text
    if client_ok "$name: queue request succeeds" queue queue "$host" lp; then
        raw_listing lp "$work/queue.raw"
        check_cmp "$name: listing equals the server's bytes" "$work/queue.raw" "$work/queue.out"
        text=$(cat "$work/queue.out")
        if [ "$count" -eq 1 ]; then
            check_match "$name: listing shows 1 job" '(^| )1 job( |$)' "$text"
        else
            check_match "$name: listing shows $count jobs" "(^| )$count jobs( |\$)" "$text"
        fi
    fi
    # The long form (04): the server's own bytes again, and with a job queued not the
    # short form.
    if client_ok "$name: long queue request succeeds" queue-long queue "$host" lp --long; then
        raw_listing lp "$work/queue-long.raw" 4
        check_cmp "$name: long listing equals the server's bytes" "$work/queue-long.raw" "$work/queue-long.out"
        if [ "$count" -gt 0 ]; then
            check_match "$name: the long listing is not the short one" "." \
                "$(cmp -s "$work/queue.out" "$work/queue-long.out" || echo differs)"
        fi
        # The command's -l shows the same long form.
        if [ -n "$cli" ]; then
            timeout -k 5 60 "$cli" queue -l -P "lp@$host" >"$work/cli-long.out" 2>"$work/cli-long.err"
            check_eq "$name: vexlolpr queue -l: exit status 0" 0 "$?"
            check_cmp "$name: vexlolpr queue -l shows the long form" "$work/queue-long.raw" "$work/cli-long.out"
        fi
    fi
}

# ---- queue listing and check-only on the empty queue -------------------------------------

listing_check "empty queue" 0

before=$(job_files)
client_ok "check-only on lp succeeds" check print "$host" lp --check
check_eq "check-only leaves no job files" "$before" "$(job_files)"
listing_check "after check-only" 0

# ---- a queue that does not exist ---------------------------------------------------------

for mode in check print; do
    if [ "$mode" = check ]; then
        run_client nosuch print "$host" nosuch --check
    else
        run_client nosuch print "$host" nosuch "$files/text.txt"
    fi
    rc=$?
    report=$(cat "$work/nosuch.err")
    check_eq "unknown queue ($mode): exit status 1" 1 "$rc"
    check_match "unknown queue ($mode): result 59, errorcode 5012" 'result=59 errorcode=5012 ' "$report"
    check_match "unknown queue ($mode): the text names the queue" 'text=".*nosuch.*"' "$report"
done
check_eq "unknown queue: nothing spooled on lp" "$before" "$(job_files)"

# ---- single jobs, one client process each -------------------------------------------------

submit_single_jobs localhost

listing_check "four jobs" 4

# ---- removal ---------------------------------------------------------------------------

if [ -n "$job_a" ]; then
    # Someone else's request leaves the job: the removal names its agent correctly.
    run_client rm-other remove "$host" lp "$job_a" --user mallory --client-host localhost
    echo "     (removal by another user: $(cat "$work/rm-other.err"))"
    command_seen "removal by another user names queue, agent and job" "^Elp mallory $((10#$job_a))"
    if [ -f "$spool/hfA$job_a" ]; then
        pass "removal by another user leaves job A"
    else
        fail "removal by another user leaves job A" "hfA$job_a is gone"
    fi
    client_ok "owner removes job A" rm remove "$host" lp "$job_a" --user alice --client-host localhost
    command_seen "removal by the owner names queue, agent and job" "^Elp alice $((10#$job_a))"
    left=$(ls "$spool" | grep -E "^(hfA$job_a|dfA$job_a)" | tr '\n' ' ')
    check_eq "job A gone from the spool" "" "$left"
    listing_check "after the removal" 3
fi

# ---- three jobs back to back from one process ----------------------------------------

wait_next_second
wait_second_start
before=$(jobs_now)
started=$(date +%s)
client_ok "burst of three jobs submitted" burst print "$host" lp "$files/burst1" "$files/burst2" \
    "$files/burst3" --user erin --client-host localhost
ended=$(date +%s)
echo "     (burst ran from second $started to $ended)"
wait_new_jobs "$before" 3
added=$(comm -13 <(printf '%s\n' $before | sed '/^$/d') <(jobs_now))
check_eq "burst: three new jobs with distinct numbers" 3 "$(printf '%s\n' $added | sed '/^$/d' | sort -u | wc -l)"
for n in $added; do
    title=$(hf_datafield "$n" N)
    case "$title" in
    "$files"/burst[123])
        check_cmp "burst: job $n carries $(basename "$title") intact" "$title" "$spool/dfA${n}localhost"
        check_eq "burst: job $n arrived under the number the client gave it" \
            "^C$(wc -c <"$title") dfA${n}localhost" "$(wire_lines "$n" | cut -d'|' -f1)"
        ;;
    *) fail "burst: job $n names one of the burst files" "N=$title" ;;
    esac
done
check_eq "burst: each file arrived once" "$files/burst1 $files/burst2 $files/burst3" \
    "$(for n in $added; do hf_datafield "$n" N; done | sort | tr '\n' ' ' | sed 's/ $//')"
listing_check "after the burst" 6

# ---- ten jobs from ten processes in a row --------------------------------------------
# LPRng takes a job that comes under a number it already holds under another one, so
# the numbers the client chose are read from the subcommand lines on the wire.

before=$(jobs_now)
logged=$(wc -l <"$work/lpd.out")
loop_jobs localhost
check_eq "ten processes: every one succeeds" 0000000000 "$loop_status"
wait_new_jobs "$before" 10
added=$(comm -13 <(printf '%s\n' $before | sed '/^$/d') <(jobs_now))
check_eq "ten processes: ten new jobs" 10 "$(printf '%s\n' $added | sed '/^$/d' | wc -l)"
for n in $added; do
    title=$(hf_datafield "$n" N)
    case "$title" in
    "$files"/loop[0-9]) check_cmp "ten processes: job $n carries $(basename "$title") intact" "$title" \
        "$spool/dfA${n}localhost" ;;
    *) fail "ten processes: job $n names one of the loop files" "N=$title" ;;
    esac
done
sent=$(tail -n +$((logged + 1)) "$work/lpd.out" |
    grep -a -o "Receive_job: read from .* bytes '^C[0-9]* dfA[0-9]*localhost'" |
    sed 's/.* dfA\([0-9]*\)localhost.$/\1/' | sort)
check_eq "ten processes: ten distinct numbers on the wire" 10 "$(printf '%s\n' $sent | sort -u | wc -l)"
check_eq "ten processes: each job kept the number the client gave it" "$(echo $sent)" "$(echo $added)"
listing_check "after the ten processes" 16

finish
