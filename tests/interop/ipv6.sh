#!/bin/bash
# ipv6.sh - round trips of the library over IPv6, inside network, mount (and where
# possible PID) namespaces of their own: vexlolpd listening on ::1, on :: (reached over
# ::1 and over 127.0.0.1) and on 127.0.0.1; LPRng's lpd behind a relay on [::1]:515;
# names from a private /etc/hosts that resolve to ::1 only or to both families; and
# malformed address literals, which must be refused before anything is sent.
#
# usage: ipv6.sh INTEROP_CLIENT VEXLOLPD VEXLOLPR
# Exit status: 0 all checks held, 1 a check failed, 77 skipped (not root, a tool or
# LPRng missing, or no ::1 in a new network namespace).  INTEROP_KEEP=1 keeps the
# scratch directory after a failure.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
. "$here/vexlolpd_spool.sh"

if [ "${1:-}" != --inside ]; then
    client=${1:?usage: ipv6.sh INTEROP_CLIENT VEXLOLPD VEXLOLPR}
    server=${2:?usage: ipv6.sh INTEROP_CLIENT VEXLOLPD VEXLOLPR}
    cli=${3:?usage: ipv6.sh INTEROP_CLIENT VEXLOLPD VEXLOLPR}
    skip() {
        echo "interop ipv6: skipped: $1"
        exit 77
    }
    [ "$(id -u)" -eq 0 ] || skip "not root"
    for tool in unshare ip ss timeout socat getent lpc; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool not found"
    done
    [ -x /usr/sbin/lpd ] || skip "/usr/sbin/lpd (LPRng) not found"
    [ -f /etc/lprng/lpd.perms ] || skip "/etc/lprng/lpd.perms not found"
    ns=$(namespace_command)
    [ -n "$ns" ] || skip "cannot create network and mount namespaces"
    for program in "$client" "$server" "$cli"; do
        [ -x "$program" ] || {
            echo "interop ipv6: $program is not executable"
            exit 1
        }
    done
    work=$(mktemp -d /tmp/interop-ipv6.XXXXXX) || exit 1
    # lpd runs as daemon and has to reach its spool below this directory.
    chmod 755 "$work"
    timeout -k 10 270 $ns bash "$0" --inside "$client" "$server" "$cli" "$work"
    finish_run ipv6 $? "$work"
fi

client=$2
server=$3
cli=$4
top=$5
files=$top/files
work=$top
relay=""

ip link set lo up || {
    echo "interop ipv6: cannot bring lo up"
    exit 1
}
if ! ip -6 addr show dev lo | grep -q 'inet6 ::1/128'; then
    echo "interop ipv6: skipped: no ::1 on loopback (IPv6 disabled in this kernel?)"
    exit 77
fi

# The names exist only in this mount namespace.  v6addr.test is on an address that
# phase [::] gives lo: the C library answers an IPv4 question about a name that has
# only ::1 with 127.0.0.1, but not about one on another IPv6 address.  LPRng's lpd
# needs the machine's own name.
printf '127.0.0.1\tlocalhost %s\n::1\tv6only.test\n127.0.0.1\tboth.test\n::1\tboth.test\n' "$(hostname)" \
    >"$top/hosts"
printf 'fd00:515::1\tv6addr.test\n' >>"$top/hosts"
mount --bind "$top/hosts" /etc/hosts || {
    echo "interop ipv6: cannot bind-mount a hosts file over /etc/hosts"
    exit 1
}
mkdir -p "$files"
own_job_numbers "$top/state"
make_files "$files"

finish() {
    stop_vexlolpd
    if [ -n "$relay" ]; then
        kill "$relay" 2>/dev/null
        wait "$relay" 2>/dev/null
    fi
    stop_lprng
    if [ "$failed" -ne 0 ]; then
        for log in "$top"/*/lpd.out "$top/lprng/relay.log"; do
            [ -f "$log" ] || continue
            echo "---- last lines of $log"
            grep -a -v -E ' Waiting |Dump_line_list|\] 0x' "$log" | tail -n 15
        done
    fi
    summary ipv6
    exit $?
}

# serve NAME OPTIONS...: a fresh vexlolpd with OPTIONS; the checks that follow work in
# its directory (its spool, its log, the client's output).
serve() {
    local name=$1
    shift
    work=$top/$name
    spool=$work/spool/lp
    mkdir -p "$work"
    start_vexlolpd "$server" "$work" 120 "$@"
}

# The client's ends (ADDRESS:PORT) of the connections to port 515 that the client closed
# first, as it closes a job's once the server has taken both files: they stay a minute in
# TIME-WAIT on its side.  They get there at the server's close, which may come after the
# client has exited (the server's end waits in CLOSE-WAIT until then): so does this, at
# most about five seconds.  This network namespace has no other clients.
closed_by_client() {
    local i
    for i in $(seq 50); do
        [ -z "$(ss -Htan state close-wait sport = :515)" ] && break
        sleep 0.1
    done
    ss -Htan state time-wait dport = :515 | awk '{ print $3 }' | sort
}

# check_sources NAME BEFORE SOURCE: the connections the client closed since BEFORE
# (closed_by_client) came from SOURCE ([::1] or 127.0.0.1) and a reserved port 601..1000.
check_sources() {
    local ends bad
    ends=$(comm -13 <(printf '%s\n' $2 | sed '/^$/d') <(closed_by_client))
    bad=$(printf '%s\n' $ends | awk -v source="$3" 'NF {
        port = $0; sub(/.*:/, "", port)
        if (substr($0, 1, length($0) - length(port) - 1) != source || port + 0 < 601 || port + 0 > 1000) print }')
    if [ -n "$ends" ] && [ -z "$bad" ]; then
        pass "$1 ($(echo $ends))"
    else
        fail "$1" "connections closed by the client: '$(echo $ends)'"
    fi
}

# connections: how many connections vexlolpd has logged (each logs at least one line).
connections() { grep -o '^vexlolpd: #[0-9]* ' "$work/lpd.out" | sort -u | wc -l; }

# send_job NAME SOURCE ORDER FILE CLIENTHOST USER PROGRAM ARGS...: PROGRAM ARGS sends
# FILE to lp as USER from CLIENTHOST, files in ORDER (data-first or control-first),
# other options at their defaults.  One job must arrive byte for byte, in that order,
# over a connection from SOURCE and a reserved port.  Its number is left in `job`.
send_job() {
    local name=$1 source=$2 order=$3 file=$4 chost=$5 user=$6 before ends
    shift 6
    wait_next_second
    avoid_job_number_zero
    before=$(jobs_now)
    ends=$(closed_by_client)
    if timeout -k 5 60 "$@" >"$work/job.out" 2>"$work/job.err" </dev/null; then
        pass "$name: submitted"
    else
        fail "$name: submitted" "$*" "$(cat "$work/job.err")"
    fi
    submitted
    new_job "$name" "$before"
    job=$(cat "$work/new")
    [ -n "$job" ] && check_job "$name" "$job" "$file" "$chost" "$user" - - 0 f 1 "$order"
    check_sources "$name: sent from $source and a reserved port" "$ends" "$source"
}

# refused NAME PROGRAM ARGS...: the request fails, and no connection reached vexlolpd.
refused() {
    local name=$1 before
    shift
    before=$(connections)
    if timeout -k 5 60 "$@" >"$work/refused.out" 2>"$work/refused.err" </dev/null; then
        fail "$name: the request fails" "$*" "$(cat "$work/refused.err")"
    else
        pass "$name: the request fails ($(tail -n 1 "$work/refused.err"))"
    fi
    check_eq "$name: no connection reached the server" "$before" "$(connections)"
}

# compare_listing NAME FORM ADDRESS: the short (FORM 3) or long (4) listing of lp
# through the library at `host` is the server's own bytes, fetched over ADDRESS.
compare_listing() {
    local tag=queue$2
    if [ "$2" = 4 ]; then
        client_ok "$1: long queue request succeeds" "$tag" queue "$host" lp --long || return
    else
        client_ok "$1: queue request succeeds" "$tag" queue "$host" lp || return
    fi
    raw_listing lp "$work/$tag.raw" "$2" "$3"
    check_cmp "$1: listing equals the server's bytes" "$work/$tag.raw" "$work/$tag.out"
}

# long_differs NAME: with jobs queued the long listing is not the short one.
long_differs() {
    check_match "$1: the long listing is not the short one" . \
        "$(cmp -s "$work/queue3.out" "$work/queue4.out" || echo differs)"
}

echo "     (hosts in this namespace: v6only.test $(timeout 10 getent ahosts v6only.test | awk '{ print $1 }' |
    sort -u | tr '\n' ' ')/ both.test $(timeout 10 getent ahosts both.test | awk '{ print $1 }' | sort -u |
    tr '\n' ' '))"

# ---- vexlolpd on ::1 ---------------------------------------------------------------------

serve v6 --bind ::1
server_address=::1
if ! wait_for_port ::1; then
    fail "vexlolpd accepts on [::1]:515" "$(tail -n 20 "$work/lpd.out")"
    finish
fi

host='[::1]'
ends=$(closed_by_client)
submit_single_jobs interop-a
check_sources "jobs A to D: sent from [::1] and reserved ports" "$ends" "[::1]"

send_job "job E to [::1]:515" "[::1]" control-first "$files/bytes.bin" interop-e erin \
    "$client" print "[::1]:515" lp "$files/bytes.bin" --control-first --user erin --client-host interop-e
send_job "command -P lp@[::1]" "[::1]" data-first "$files/text.txt" interop-f frank \
    "$cli" print -q -P "lp@[::1]" -U frank --client-host interop-f "$files/text.txt"
send_job "command -P lp -H [::1]:515" "[::1]" control-first "$files/text.txt" interop-g gina \
    "$cli" print -q -P lp -H "[::1]:515" --control-first -U gina --client-host interop-g "$files/text.txt"
# A name with ::1 alone: the 127.0.0.1 that the C library makes up for it when asked for
# IPv4 only must not be taken, as this server does not listen there.
send_job "command -P lp@v6only.test (::1 only)" "[::1]" data-first "$files/text.txt" interop-h hugo \
    "$cli" print -q -P lp@v6only.test -U hugo --client-host interop-h "$files/text.txt"

host='[::1]:515'
# shellcheck disable=SC2046
listing_check "jobs over IPv6" $(jobs_now)
compare_listing "jobs over IPv6, short" 3 ::1
compare_listing "jobs over IPv6, long" 4 ::1
long_differs "jobs over IPv6"

if [ -n "$job_a" ]; then
    client_ok "owner removes job A over [::1]" rm remove "[::1]" lp "$job_a" --user alice
    check_match "the removal reached the server as such" \
        "remove jobs from lp by alice: dfA${job_a}interop-a dequeued" "$(cat "$work/lpd.out")"
    check_eq "job A gone from the spool" "" "$(ls "$spool" | grep -E "^[cd]fA$job_a")"
    # shellcheck disable=SC2046
    listing_check "after the removal" $(jobs_now)
fi

# Malformed literals: refused as bad host names, naming the host as written, before any
# connection.  The requests differ, so that each way in is covered.
before=$(connections)
while read -r literal request; do
    case $request in
    print) run_client bad print "$literal" lp "$files/text.txt" </dev/null ;;
    queue) run_client bad queue "$literal" lp </dev/null ;;
    remove) run_client bad remove "$literal" lp 1 </dev/null ;;
    esac
    rc=$?
    report=$(cat "$work/bad.err")
    check_eq "$literal ($request): exit status 1" 1 "$rc"
    check_match "$literal ($request): result 67, errorcode 4914" 'result=67 errorcode=4914 ' "$report"
    if printf '%s' "$report" | grep -q -F -- "$literal"; then
        pass "$literal ($request): the text names the host as written"
    else
        fail "$literal ($request): the text names the host as written" "$report"
    fi
done <<'EOF'
[::1         print
[]           queue
[::1]:0      remove
[::1]:99999  print
[1.2.3.4]    queue
[::1]x       remove
EOF
check_eq "malformed literals: no connection reached the server" "$before" "$(connections)"

# A name with an IPv4 address is reached over IPv4 only, as before IPv6.
refused "both.test with the server on ::1 only" "$client" print both.test lp "$files/text.txt"
stop_vexlolpd

# ---- vexlolpd on 127.0.0.1 ---------------------------------------------------------------

serve v4 --bind 127.0.0.1
server_address=127.0.0.1
if ! wait_for_port 127.0.0.1; then
    fail "vexlolpd accepts on 127.0.0.1:515" "$(tail -n 20 "$work/lpd.out")"
    finish
fi
send_job "both.test (127.0.0.1 and ::1)" 127.0.0.1 data-first "$files/text.txt" interop-i ida \
    "$client" print both.test lp "$files/text.txt" --user ida --client-host interop-i
refused "v6only.test with the server on 127.0.0.1 only" "$cli" print -q -P lp@v6only.test "$files/text.txt"
stop_vexlolpd

# ---- vexlolpd on :: ------------------------------------------------------------------------
# :: is not a loopback address, hence --any-address; this namespace has nothing but lo.
# With net.ipv6.bindv6only at 0, the socket takes IPv4 connections as well.

serve any --bind :: --any-address
if ! wait_for_port ::1; then
    fail "vexlolpd accepts on [::]:515" "$(tail -n 20 "$work/lpd.out")"
    finish
fi
echo "     (net.ipv6.bindv6only=$(cat /proc/sys/net/ipv6/bindv6only); listening:" \
    "$(ss -Hltn sport = :515 | awk '{ print $4 }'))"
send_job "to [::] over [::1]" "[::1]" control-first "$files/text.txt" interop-j jack \
    "$client" print "[::1]" lp "$files/text.txt" --control-first --user jack --client-host interop-j
send_job "to [::] over 127.0.0.1" 127.0.0.1 data-first "$files/text.txt" interop-k kim \
    "$client" print 127.0.0.1 lp "$files/text.txt" --user kim --client-host interop-k
ip -6 addr add fd00:515::1/128 dev lo nodad || fail "fd00:515::1 added to lo"
send_job "to [::] by v6addr.test (fd00:515::1 only)" "[fd00:515::1]" data-first "$files/text.txt" interop-l lena \
    "$cli" print -q -P lp@v6addr.test -U lena --client-host interop-l "$files/text.txt"
ip -6 addr del fd00:515::1/128 dev lo
for address in ::1 127.0.0.1; do
    host=$address
    [ "$address" = ::1 ] && host='[::1]'
    server_address=$address
    # shellcheck disable=SC2046
    listing_check "[::] listed over $address" $(jobs_now)
    compare_listing "[::] listed over $address, long" 4 "$address"
done
stop_vexlolpd

# ---- LPRng's lpd behind a relay on [::1]:515 -----------------------------------------------
# LPRng's lpd cannot listen on IPv6: with the ipv6 flag in lpd.conf it opens an IPv6
# socket but binds it with an IPv4-sized address (EINVAL, "Cannot bind to lpd port").
# So it listens on 127.0.0.1:5515, and socat relays [::1]:515 to it, logging the
# client's address and port of every connection and keeping every byte the clients sent
# (relay.raw).  LPRng keeps no control file, so the job is checked in those bytes.

work=$top/lprng
spool=$work/spool/lp
mkdir -p "$work"
chmod 755 "$work"
start_lprng "$work" 5515 150 || {
    fail "LPRng's lpd starts"
    finish
}
timeout -k 5 150 socat -d -d -lf "$work/relay.log" -r "$work/relay.raw" \
    TCP6-LISTEN:515,bind=[::1],fork,reuseaddr TCP4:127.0.0.1:5515 &
relay=$!
if ! wait_for_port 127.0.0.1 5515 || ! wait_for_port ::1 515; then
    fail "lpd on 127.0.0.1:5515 and the relay on [::1]:515 accept" "$(tail -n 20 "$work/lpd.out")"
    finish
fi
# Printing stopped: jobs stay in the spool to be looked at.
stopped=$(timeout 20 lpc -Plp@127.0.0.1%5515 stop 2>&1)
if ! printf '%s' "$stopped" | grep -q stopped; then
    fail "lpc stops printing on lp" "$stopped"
    finish
fi

. "$here/lprng_spool.sh"
sent_bytes() { stat -c %s "$work/relay.raw" 2>/dev/null || echo 0; }
log_lines() { wc -l <"$work/relay.log"; }

# lprng_job NAME ORDER FILE CLIENTHOST USER PROGRAM ARGS...: as send_job, with the job
# checked in the bytes the client sent: the receive-job command, then both files with
# their subcommands in ORDER, the control file being the expected one; lpd queued it
# with the data file intact, and the relay took it from [::1] and a reserved port.
lprng_job() {
    local name=$1 order=$2 file=$3 chost=$4 user=$5 before offset logged stem size sources
    shift 5
    wait_next_second
    avoid_job_number_zero
    before=$(jobs_now)
    offset=$(sent_bytes)
    logged=$(log_lines)
    if timeout -k 5 60 "$@" >"$work/job.out" 2>"$work/job.err" </dev/null; then
        pass "$name: submitted"
    else
        fail "$name: submitted" "$*" "$(cat "$work/job.err")"
    fi
    submitted
    wait_new_jobs "$before" 1
    job=$(comm -13 <(printf '%s\n' $before | sed '/^$/d') <(jobs_now))
    if [ "$(printf '%s\n' "$job" | sed '/^$/d' | wc -l)" -ne 1 ]; then
        fail "$name: one new job in the spool" "new jobs: '$(echo $job)'"
        job=""
        return
    fi
    pass "$name: one new job in the spool (hfA$job)"
    stem=fA$job$chost
    check_cmp "$name: data file d$stem equals $(basename "$file")" "$file" "$spool/d$stem"
    expected_control "$chost" "$user" - - 0 f 1 "$stem" "$file" >"$work/cf.expected"
    size=$(wc -c <"$file")
    {
        printf '\002lp\n'
        if [ "$order" = data-first ]; then
            printf '\003%s d%s\n' "$size" "$stem" && cat "$file" && printf '\0'
        fi
        printf '\002%s c%s\n' "$(wc -c <"$work/cf.expected")" "$stem" && cat "$work/cf.expected" && printf '\0'
        if [ "$order" = control-first ]; then
            printf '\003%s d%s\n' "$size" "$stem" && cat "$file" && printf '\0'
        fi
    } >"$work/sent.expected"
    tail -c +$((offset + 1)) "$work/relay.raw" >"$work/sent.actual"
    check_cmp "$name: the bytes sent, byte for byte ($order)" "$work/sent.expected" "$work/sent.actual"
    # "accepting connection from AF=10 [0000:...:0001]:721 on AF=10 [...]:515"
    sources=$(tail -n +$((logged + 1)) "$work/relay.log" |
        sed -n 's/.* accepting connection from AF=\([0-9]*\) \([^ ]*\):\([0-9]*\) on .*/\1 \2 \3/p')
    if [ -n "$sources" ] && printf '%s\n' "$sources" | awk '$1 != 10 || $2 != "[0000:0000:0000:0000:0000:0000:0000:0001]" ||
        $3 < 601 || $3 > 1000 { bad = 1 } END { exit bad }'; then
        pass "$name: sent from [::1] and a reserved port ($(printf '%s\n' "$sources" | awk '{ print $3 }' | tr '\n' ' ' | sed 's/ $//'))"
    else
        fail "$name: sent from [::1] and a reserved port" "accepted: '$sources'"
    fi
}

lprng_job "LPRng: job to [::1]" data-first "$files/text.txt" localhost alice \
    "$client" print "[::1]" lp "$files/text.txt" --user alice --client-host localhost
job_a=$job
lprng_job "LPRng: job to [::1]:515" control-first "$files/bytes.bin" localhost bob \
    "$client" print "[::1]:515" lp "$files/bytes.bin" --control-first --user bob --client-host localhost
lprng_job "LPRng: command -P lp@[::1]" control-first "$files/large.bin" localhost carol \
    "$cli" print -q -P "lp@[::1]" --control-first -U carol --client-host localhost "$files/large.bin"

host='[::1]'
compare_listing "LPRng: three jobs over IPv6, short" 3 ::1
check_match "LPRng: the listing shows 3 jobs" '(^| )3 jobs( |$)' "$(cat "$work/queue3.out")"
compare_listing "LPRng: three jobs over IPv6, long" 4 ::1
long_differs "LPRng: three jobs over IPv6"

if [ -n "$job_a" ]; then
    offset=$(sent_bytes)
    client_ok "LPRng: owner removes the first job over [::1]" rm remove "[::1]" lp "$job_a" --user alice \
        --client-host localhost
    check_eq "LPRng: the removal sent as such" "$(printf '\005lp alice %d' "$((10#$job_a))")" \
        "$(tail -c +$((offset + 1)) "$work/relay.raw")"
    check_eq "LPRng: the job gone from the spool" "" "$(ls "$spool" | grep -E "^(hfA|dfA)$job_a")"
    compare_listing "LPRng: after the removal, short" 3 ::1
    check_match "LPRng: the listing shows 2 jobs" '(^| )2 jobs( |$)' "$(cat "$work/queue3.out")"
fi

finish
