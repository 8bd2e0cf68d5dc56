#!/bin/bash
# vexlolpd.sh - round trips of the library against the project's own vexlolpd, inside a
# network namespace of its own (and a PID namespace where possible) on port 515.
# vexlolpd keeps every file exactly as received (SPOOL/lp/cfA..., dfA...), so the
# control file is checked line by line and the data files byte for byte.
#
# usage: vexlolpd.sh INTEROP_CLIENT VEXLOLPD [VEXLOLPR]
# VEXLOLPR, the command, prints the ten jobs of separate processes (else INTEROP_CLIENT).
# Exit status: 0 all checks held, 1 a check failed, 77 skipped (not root, or unshare or
# ip missing).  INTEROP_KEEP=1 keeps the scratch directory after a failure.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
. "$here/vexlolpd_spool.sh"

if [ "${1:-}" != --inside ]; then
    client=${1:?usage: vexlolpd.sh INTEROP_CLIENT VEXLOLPD}
    server=${2:?usage: vexlolpd.sh INTEROP_CLIENT VEXLOLPD}
    cli=${3:-}
    skip() {
        echo "interop vexlolpd: skipped: $1"
        exit 77
    }
    [ "$(id -u)" -eq 0 ] || skip "not root"
    for tool in unshare ip timeout; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool not found"
    done
    ns=$(namespace_command)
    [ -n "$ns" ] || skip "cannot create a network namespace"
    for program in "$client" "$server" ${cli:+"$cli"}; do
        [ -x "$program" ] || {
            echo "interop vexlolpd: $program is not executable"
            exit 1
        }
    done
    work=$(mktemp -d /tmp/interop-vexlolpd.XXXXXX) || exit 1
    timeout -k 10 270 $ns bash "$0" --inside "$client" "$server" "$work" "$cli"
    finish_run vexlolpd $? "$work"
fi

client=$2
server=$3
work=$4
cli=${5:-}
spool=$work/spool/lp
files=$work/files
host=127.0.0.1

ip link set lo up || {
    echo "interop vexlolpd: cannot bring lo up"
    exit 1
}
mkdir -p "$files"
own_job_numbers "$work/state"

start_vexlolpd "$server" "$work" 250
finish() { finish_vexlolpd vexlolpd "$work"; }

if ! wait_for_port; then
    fail "vexlolpd accepts on port 515" "$(tail -n 20 "$work/lpd.out")"
    finish
fi

make_files "$files"

# ---- queue listing and check-only on the empty queue -------------------------------------

listing_check "empty queue"

before=$(spool_files)
client_ok "check-only on lp succeeds" check print "$host" lp --check
check_eq "check-only leaves nothing in the spool" "$before" "$(spool_files)"
listing_check "after check-only"

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
check_eq "unknown queue: nothing spooled" "$before" "$(spool_files)"

# ---- single jobs, one client process each -------------------------------------------------

submit_single_jobs interop-a

# shellcheck disable=SC2046
listing_check "four jobs" $(jobs_now)

# ---- removal ---------------------------------------------------------------------------

if [ -n "$job_a" ]; then
    # Someone else's request leaves the job: the removal names its agent correctly.
    run_client rm-other remove "$host" lp "$job_a" --user mallory
    echo "     (removal by another user: $(cat "$work/rm-other.err"))"
    check_match "removal by another user reached the server as such" \
        "remove jobs from lp by mallory: vexlolpd: job $((10#$job_a)) belongs to alice" "$(cat "$work/lpd.out")"
    check_eq "removal by another user leaves job A" "cfA${job_a}interop-a dfA${job_a}interop-a" \
        "$(ls "$spool" | grep -E "^[cd]fA$job_a" | sort | tr '\n' ' ' | sed 's/ $//')"
    client_ok "owner removes job A" rm remove "$host" lp "$job_a" --user alice
    check_match "removal by the owner reached the server as such" \
        "remove jobs from lp by alice: dfA${job_a}interop-a dequeued" "$(cat "$work/lpd.out")"
    check_eq "job A gone from the spool" "" "$(ls "$spool" | grep -E "^[cd]fA$job_a")"
    # shellcheck disable=SC2046
    listing_check "after the removal" $(jobs_now)
fi

# ---- three jobs back to back from one process ----------------------------------------

wait_next_second
wait_second_start
before=$(jobs_now)
started=$(date +%s)
client_ok "burst of three jobs submitted" burst print "$host" lp "$files/burst1" "$files/burst2" \
    "$files/burst3" --user erin --client-host interop-e
ended=$(date +%s)
echo "     (burst ran from second $started to $ended)"
wait_new_jobs "$before" 3
added=$(comm -13 <(printf '%s\n' $before | sed '/^$/d') <(jobs_now))
check_eq "burst: three new jobs with distinct numbers" 3 "$(printf '%s\n' $added | sed '/^$/d' | sort -u | wc -l)"
seen=""
for n in $added; do
    title=$(sed -n 's/^N//p' "$spool/cfA${n}interop-e")
    case "$title" in
    "$files"/burst[123])
        seen="$seen $(basename "$title")"
        check_job "burst: job $n" "$n" "$title" interop-e erin - - 0 f 1 data-first
        ;;
    *) fail "burst: job $n names one of the burst files" "N=$title" ;;
    esac
done
check_eq "burst: each file arrived once" " burst1 burst2 burst3" "$(printf '%s\n' $seen | sort | sed 's/^/ /' | tr -d '\n')"
# shellcheck disable=SC2046
listing_check "after the burst" $(jobs_now)

# ---- ten jobs from ten processes in a row --------------------------------------------

before=$(jobs_now)
loop_jobs interop-l
check_eq "ten processes: every one succeeds" 0000000000 "$loop_status"
wait_new_jobs "$before" 10
added=$(comm -13 <(printf '%s\n' $before | sed '/^$/d') <(jobs_now))
check_eq "ten processes: ten new jobs with distinct numbers" 10 "$(printf '%s\n' $added | sed '/^$/d' | sort -u | wc -l)"
for i in 0 1 2 3 4 5 6 7 8 9; do
    n=$(grep -l -x -F "N$files/loop$i" "$spool"/cfA*interop-l 2>/dev/null | sed 's|.*/cfA\([0-9]*\)interop-l$|\1|')
    if [ "$(printf '%s\n' "$n" | sed '/^$/d' | wc -l)" -eq 1 ]; then
        check_job "ten processes: job $n" "$n" "$files/loop$i" interop-l ivan - - 0 f 1 data-first
    else
        fail "ten processes: loop$i arrived as one job" "jobs naming it: '$(echo $n)'" "$(cat "$work/loop$i.err")"
    fi
done

# Every job above ended with an orderly close: the server threw nothing away.
if grep -q 'abandoned\|discarded' "$work/lpd.out"; then
    fail "no job abandoned or discarded by the server" "$(grep 'abandoned\|discarded' "$work/lpd.out")"
else
    pass "no job abandoned or discarded by the server"
fi
finish
