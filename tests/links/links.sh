#!/bin/bash
# links.sh - print jobs, listings and removals of the command and the library across a
# real link: two network namespaces of this run joined by a veth pair (client
# 10.251.179.1, server 10.251.179.2), one link condition per pair (MTU, a token-bucket
# rate, random loss by nftables, the server killed in the middle of a data file; when
# named, the link going down in the middle of one), against vexlolpd and against
# LPRng's lpd.  Each condition and server is a cell of its
# own, with its own pair of namespaces; cells run side by side in lanes.
#
# Every request is bounded in time and counted in one of three columns:
#   ok       reported done; a print job is whole in the spool (data byte for byte, the
#            control file line by line, the files in the order asked for), a listing
#            shows the spool's jobs, a removed job is gone;
#   written  a written error: the command's exit status 1, 3 or 130 with one message
#            line, or a result value, error code and text of the library's table; at
#            most a second past the reply time-out after the network call that failed
#            began; and no job of it in the spool;
#   wrong    anything else: a job reported printed that is not whole or missing, a job
#            queued although its request failed, a failure outside the written errors
#            or late, a hang (no end within the request's bound).
#
# usage: links.sh [--full] [--lanes N] [--only LIST] [--table FILE] [--keep]
#                 VEXLOLPR INTEROP_CLIENT VEXLOLPD
#   (default)     the CI size: every condition, jobs of 1 KiB and 64 KiB, each client
#                 one job of each size, the two in opposite file orders
#   --full        jobs of 1 KiB, 64 KiB and 4 MiB, each in both file orders
#   --lanes N     cells run side by side (default 4)
#   --only LIST   comma-separated condition names (see `conditions` below); link-stall
#                 runs only when named
#   --table FILE  also write the Markdown to FILE
#   --keep        keep the scratch directory (logs, traces, spools of wrong jobs)
# Exit status: 0 nothing wrong, no failure on a link that loses nothing, nothing left
# behind; 1 otherwise; 2 usage; 77 skipped (not root, or ip, tc, nft, unshare or LPRng
# missing, or no PID namespaces).
set -u
here=$(cd "$(dirname "$0")" && pwd)
interop=$here/../interop
. "$interop/common.sh"

# LPRng's lpd inside the server's namespace, in mount and PID namespaces of its own:
# the configuration stays private, and killing the namespace's first process ends every
# lpd process at once.  Started by the cell as: links.sh --lprng-server DIR DEADLINE PERMS
if [ "${1:-}" = --lprng-server ]; then
    ip link set lo up || exit 1
    start_lprng "$2" 515 "$3" "$4" || exit 1
    wait_for_port || {
        echo "lpd does not accept on port 515"
        exit 1
    }
    timeout 20 lpc -Plp@127.0.0.1 stop
    touch "$2/ready"
    wait "$lpd_timeout"
    exit
fi

# name  MTU  rate  loss %  event  reply time-out ms  least throughput B/s
# Events: kill, the server killed by PID halfway through a data file and restarted;
# stall, the link dropping everything both ways from half a second into a 64 KiB job
# (by then all of it in the sender's socket) until a second after the request ended.
# The reply time-out bounds each network call.  Over 256 kbit/s the longest call
# measured is the wait for the data file's acknowledgement while the send buffer
# drains, under 3 s; at 25 % loss a retransmission backed off five or six times keeps a
# call waiting well over 10 s.  The least throughput only sets the bound past which a
# request counts as a hang: size / throughput + 3 reply time-outs + 20 s.
conditions=(
    "clean-1500 1500 - 0 - 10000 1000000"
    "clean-576 576 - 0 - 10000 1000000"
    "rate-2mbit 1500 2mbit 0 - 15000 150000"
    "rate-256kbit 1500 256kbit 0 - 20000 20000"
    "loss-2 1500 - 2 - 10000 100000"
    "loss-10 1500 - 10 - 15000 30000"
    "loss-25 1500 - 25 - 30000 8000"
    "rate-2mbit-loss-10 1500 2mbit 10 - 20000 15000"
    "server-killed 1500 2mbit 0 kill 10000 150000"
    "link-stall 1500 256kbit 0 stall 5000 20000"
)
# link-stall shows whether a failure's close ends the connection: if what the client had
# queued still went out after the failure, the server would take a job reported as
# failed (see stall_over).  It runs in every size; conditions named here run only when
# named with --only.
optional=""
title() {
    case $1 in
    clean-1500) echo "clean, MTU 1500" ;;
    clean-576) echo "clean, MTU 576" ;;
    rate-2mbit) echo "2 Mbit/s" ;;
    rate-256kbit) echo "256 kbit/s" ;;
    loss-2 | loss-10 | loss-25) echo "${1#loss-} % loss" ;;
    rate-2mbit-loss-10) echo "2 Mbit/s and 10 % loss" ;;
    server-killed) echo "server killed mid data file, 2 Mbit/s" ;;
    link-stall) echo "link down mid data file, 256 kbit/s" ;;
    esac
}

full=0
lanes=4
only=""
table=""
keep=0
while [ $# -gt 0 ]; do
    case $1 in
    --full) full=1 ;;
    --lanes) lanes=${2:?} && shift ;;
    --only) only=${2:?} && shift ;;
    --table) table=${2:?} && shift ;;
    --keep) keep=1 ;;
    -*)
        sed -n '/^# usage:/,/^# Exit/p' "$0" | sed 's/^# \{0,1\}//' >&2
        exit 2
        ;;
    *) break ;;
    esac
    shift
done
[ $# -eq 3 ] || {
    echo "usage: links.sh [options] VEXLOLPR INTEROP_CLIENT VEXLOLPD" >&2
    exit 2
}
cli=$1 client=$2 vexlolpd=$3
case $lanes in '' | *[!0-9]* | 0) echo "links: --lanes needs a positive number" >&2 && exit 2 ;; esac

skip() {
    echo "links: skipped: $1"
    exit 77
}
[ "$(id -u)" -eq 0 ] || skip "not root"
for tool in ip tc nft unshare timeout ss; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool not found"
done
[ -x /usr/sbin/lpd ] && command -v lpc >/dev/null 2>&1 && [ -f /etc/lprng/lpd.perms ] ||
    skip "LPRng (/usr/sbin/lpd, lpc, /etc/lprng/lpd.perms) not found"
unshare -m -p -f --mount-proc true 2>/dev/null || skip "cannot create mount and PID namespaces"
for program in "$cli" "$client" "$vexlolpd"; do
    [ -x "$program" ] || {
        echo "links: $program is not executable"
        exit 1
    }
done
selected=()
for c in "${conditions[@]}"; do
    name=${c%% *}
    if [[ ",$only," == *",$name,"* ]] || { [ -z "$only" ] && [[ " $optional " != *" $name "* ]]; }; then
        selected+=("$c")
    fi
done
[ ${#selected[@]} -gt 0 ] || {
    echo "links: --only names no condition" >&2
    exit 2
}

top=$(mktemp -d /tmp/links.XXXXXX) || exit 1
# lpd runs as daemon and has to reach its spool below this directory.
chmod 755 "$top"
prefix=lk$$
started=$SECONDS

# Every namespace of this run, with whatever still runs in it, goes on every way out.
cleanup() {
    local pid ns
    for pid in $(jobs -p); do kill "$pid" 2>/dev/null; done
    for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep "^${prefix}[cs]"); do
        # shellcheck disable=SC2046
        kill -KILL $(ip netns pids "$ns" 2>/dev/null) 2>/dev/null
        ip netns del "$ns" 2>/dev/null
    done
    wait 2>/dev/null
    if [ "$keep" -eq 1 ]; then
        echo "links: scratch directory kept: $top"
    else
        rm -rf "$top"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- what every cell shares ----------------------------------------------------------

files=$top/files
mkdir -p "$files"
head -c 1024 /dev/urandom >"$files/1k"
head -c 65536 /dev/urandom >"$files/64k"
if [ "$full" -eq 1 ]; then
    head -c 4194304 /dev/urandom >"$files/4m"
    head -c 4194304 /dev/urandom >"$files/kill"
    sizes="1k 64k 4m"
else
    head -c 1048576 /dev/urandom >"$files/kill"
    sizes="1k 64k"
fi
chmod 644 "$files"/*
size_title() {
    case $1 in
    1k) echo "1 KiB" ;; 64k) echo "64 KiB" ;; 4m) echo "4 MiB" ;; kill) echo "$(($(wc -c <"$files/kill") / 1048576)) MiB" ;;
    esac
}

# The written texts: the library's message table, each text as a pattern (%s any text,
# %d a number); the server's own words come with code 5012.
sed -n 's/^X(\([0-9]*\), [A-Z_0-9]*, "\(.*\)")$/\1 \2/p' "$here/../../src/msgtext.def" >"$top/texts"
[ -s "$top/texts" ] || {
    echo "links: no message table in src/msgtext.def"
    exit 1
}
cut -d' ' -f1 "$top/texts" >"$top/codes"
cut -d' ' -f2- "$top/texts" | sed -e 's/[][\.*^$+?(){}|/]/\\&/g' -e 's/%s/.*/g' -e 's/%d/-?[0-9]+/g' >"$top/texts.ere"
text_written() { [ -n "$2" ] && { [ "$1" = 5012 ] || printf '%s\n' "$2" | grep -qxE -f "$top/texts.ere"; }; }

# LPRng's default permissions refuse every host but its own; the client is another one.
printf '%s\n' 'ACCEPT SERVICE=C SERVER REMOTEUSER=root' 'ACCEPT SERVICE=C LPC=lpd,status,printcap' \
    'REJECT SERVICE=C' 'ACCEPT SERVICE=M SAMEUSER' 'REJECT SERVICE=M' 'DEFAULT ACCEPT' >"$top/lpd.perms"

addr=10.251.179.2
chost=linkhost
declare -A users=([noyield]=nora [yield]=yves [lib]=libby)

stamp() {
    local line
    while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "$line"; done
}
# seconds A - B (A + B with a third argument +), to the millisecond
fsub() { awk -v a="$1" -v b="$2" -v op="${3:--}" 'BEGIN { printf "%.3f", op == "+" ? a + b : a - b }'; }
fle() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a <= b) }'; }

# ---- one cell: a condition, a server, three clients ------------------------------------

cell_main() {
    local name=$1 mtu=$2 rate=$3 loss=$4 event=$5 tmo=$6 floor=$7 server=$8 n=$9
    cell=$top/cell$n
    work=$cell
    spool=$cell/spool/lp
    mkdir -p "$cell/xdg" "$cell/kept"
    chmod 700 "$cell/xdg"
    # The job number record of the command and the library: this cell's own.
    export XDG_RUNTIME_DIR=$cell/xdg
    if [ "$server" = lprng ]; then
        . "$interop/lprng_spool.sh"
        chmod 755 "$cell"
        # lpd writes a job's record when the control file arrives and completes it
        # (sizes, transfer names) once every data file is in: only then is it a job.
        jobs_now() { grep -a -l '^size=' "$spool"/hfA* 2>/dev/null | sed -n 's|.*/hfA\([0-9][0-9]*\)$|\1|p' | sort; }
    else
        . "$interop/vexlolpd_spool.sh"
    fi
    cns=${prefix}c$n sns=${prefix}s$n cif=${prefix}a$n sif=${prefix}b$n
    deadline=$([ "$full" -eq 1 ] && echo 5400 || echo 900)
    declare -gA R_kind R_mode R_order R_file R_out R_note R_el R_expect R_seen
    ids=()
    reqno=0
    killed_pids=""

    echo "cell $n: $name against $server"
    if ! link_up; then
        fail "$name/$server: the link comes up"
        return
    fi
    server_start || {
        fail "$name/$server: the server starts" "$(tail -n 5 "$cell"/lpd.out "$cell"/runner.out 2>/dev/null)"
        return
    }
    local mode m=0 size order first target
    for mode in noyield yield lib; do
        if [ "$event" = stall ]; then
            stalled_print "$mode" control-first
            stalled_print "$mode" data-first
        fi
        if [ "$event" = kill ]; then
            order=$([ $((m % 2)) -eq 0 ] && echo data-first || echo control-first)
            killed_print "$mode" "$order"
            request "$mode" listing expect-failure
            server_start || {
                fail "$name/$server: the server starts again" "$(tail -n 5 "$cell"/lpd.out "$cell"/runner.out 2>/dev/null)"
                return
            }
        fi
        first=""
        local i=0
        for size in $sizes; do
            if [ "$full" -eq 1 ]; then
                for order in data-first control-first; do
                    request "$mode" print "$size" "$order"
                    [ -n "$first" ] || first=$id
                done
            else
                order=$([ $(((m + i) % 2)) -eq 0 ] && echo data-first || echo control-first)
                request "$mode" print "$size" "$order"
                [ -n "$first" ] || first=$id
            fi
            i=$((i + 1))
        done
        request "$mode" listing
        # The first job of the client is checked but stays, for the removal.
        target=$first
        [ "${R_out[$first]}" = ok ] || target=""
        reconcile "$target"
        # Job number 0 (one job in a thousand) is no number a removal can name.
        number=$([ -n "$target" ] && job_of "$target")
        if [ -n "$number" ] && [ "$((10#$number))" -ne 0 ]; then
            request "$mode" removal "$target"
        else
            echo "     (no job of $mode to remove, or its number is 0)"
        fi
        reconcile ""
        m=$((m + 1))
    done
    server_stop
    reconcile final
    leftovers
    link_down
}

link_up() {
    ip netns add "$cns" && ip netns add "$sns" &&
        ip link add "$cif" netns "$cns" type veth peer name "$sif" netns "$sns" &&
        ip -n "$cns" addr add 10.251.179.1/30 dev "$cif" && ip -n "$sns" addr add "$addr/30" dev "$sif" &&
        ip -n "$cns" link set lo up && ip -n "$sns" link set lo up &&
        ip -n "$cns" link set "$cif" mtu "$mtu" up && ip -n "$sns" link set "$sif" mtu "$mtu" up || return 1
    local ns dev
    for ns in "$cns" "$sns"; do
        dev=$([ "$ns" = "$cns" ] && echo "$cif" || echo "$sif")
        # Each end sends no faster than the rate: jobs one way, listings and
        # acknowledgements the other.
        if [ "$rate" != - ]; then
            tc -n "$ns" qdisc add dev "$dev" root tbf rate "$rate" burst 4kb latency 50ms || return 1
        fi
        # Dropped on the way in, so that the sender's stack sees real loss (a drop on the
        # way out is reported to the sending socket and merely retried).
        if [ "$loss" != 0 ]; then
            ip netns exec "$ns" nft -f - <<EOF || return 1
table inet links {
    chain input {
        type filter hook input priority 0
        iifname "$dev" numgen random mod 100 < $loss drop
    }
}
EOF
        fi
    done
    echo "     link: MTU $mtu, rate $rate, loss $loss %, reply time-out $tmo ms"
}

link_down() {
    local ns
    for ns in "$cns" "$sns"; do
        ip netns del "$ns" || fail "$name/$server: namespace $ns removed"
    done
    if ip netns list | awk '{print $1}' | grep -qx -e "$cns" -e "$sns"; then
        fail "$name/$server: no namespace left"
    fi
}

listening() { ip netns exec "$sns" ss -Hltn 'sport = :515' 2>/dev/null | grep -q .; }

server_start() {
    local i
    # A restarted server logs afresh: the connections it numbers are its own.
    [ -f "$cell/lpd.out" ] && mv "$cell/lpd.out" "$cell/lpd.out.$(date +%s%N)"
    if [ "$server" = lprng ]; then
        rm -f "$cell/ready"
        ip netns exec "$sns" unshare --kill-child -m -p -f --mount-proc \
            bash "$here/links.sh" --lprng-server "$cell" "$deadline" "$top/lpd.perms" >"$cell/runner.out" 2>&1 &
        server_pid=$!
        for i in $(seq 200); do
            [ -f "$cell/ready" ] && return 0
            kill -0 "$server_pid" 2>/dev/null || return 1
            sleep 0.1
        done
        return 1
    fi
    server_netns=$sns start_vexlolpd "$vexlolpd" "$cell" "$deadline" --bind "$addr" --any-address
    for i in $(seq 100); do
        listening && return 0
        kill -0 "$server_pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# By PID, at once: for LPRng the first process of its PID namespace, which takes every
# lpd process with it.
server_kill() {
    kill -KILL "$server_pid"
    wait "$server_pid" 2>/dev/null
    killed_pids="$killed_pids $server_pid"
    server_pid=""
}

# The last connections may end late over a lossy link: a failed job's rest still on its
# way shows here as a job queued after its failure (longer in the full run).
server_stop() {
    server_idle $((tmo / 1000 + (full ? 35 : 5)))
    if [ "$server" = lprng ]; then
        server_kill
    else
        stop_vexlolpd
    fi
    # A PID namespace ends a moment after its first process.
    local left i
    for i in $(seq 50); do
        left=$(ip netns pids "$sns")
        [ -z "$left" ] && break
        sleep 0.1
    done
    check_eq "$name/$server: nothing runs in the server's namespace after the server" "" "$(echo $left)"
}

# server_idle SECONDS [missing]: until no connection to port 515 is open at the server,
# at most SECONDS (a client's close may still be on its way over a lossy link, and
# vexlolpd queues a job only then); with "missing", only while a job reported printed
# has not reached the spool.
server_idle() {
    local i
    for i in $(seq $(($1 * 10))); do
        [ "${2:-}" = missing ] && ! printed_missing && return 0
        ip netns exec "$sns" ss -Htn state established state close-wait state syn-recv 'sport = :515' |
            grep -q . || return 0
        sleep 0.1
    done
    echo "     (connections still open at the server after $1 s)"
}
printed_missing() {
    local id
    for id in "${ids[@]}"; do
        [ "${R_kind[$id]}" = print ] && [ "${R_out[$id]:-}" = ok ] && [ -z "${R_seen[$id]:-}" ] &&
            [ -z "$(job_of "$id")" ] && return 0
    done
    return 1
}

# A job in the spool, by the job name its request gave it: its number, or nothing.
job_of() {
    local f
    if [ "$server" = lprng ]; then
        for f in $(jobs_now); do
            [ "$(hf_field "$f" J)" = "$1" ] && echo "$f" && return
        done
    else
        f=$(grep -a -l -x "J$1" "$spool"/cfA* 2>/dev/null | head -n 1)
        [ -n "$f" ] && basename "$f" | sed 's/^cfA\([0-9]*\).*/\1/'
    fi
}
job_name() {
    if [ "$server" = lprng ]; then
        hf_field "$1" J
    else
        sed -n 's/^J//p' "$spool/cfA$1$chost" 2>/dev/null
    fi
}
job_files_of() {
    if [ "$server" = lprng ]; then
        ls "$spool" | grep -E "^(hfA$1|dfA$1$chost)\$"
    else
        ls "$spool" | grep -E "^[cd]fA$1$chost\$"
    fi
}

# whole NUMBER ID: the job holds what its request sent (checks logged); status 0 or 1.
whole() {
    local n=$1 id=$2 before=$failed file=${R_file[$2]} user=${users[${R_mode[$2]}]}
    if [ "$server" = vexlolpd ]; then
        check_job "$name/$server $id" "$n" "$file" "$chost" "$user" "$id" - 0 f 1 "${R_order[$id]}"
    else
        local stem=fA$n$chost size control wanted
        size=$(wc -c <"$file")
        check_cmp "$name/$server $id: data file equals $(basename "$file")" "$file" "$spool/d$stem"
        check_eq "$name/$server $id: H P J L" "$chost $user $id $user" \
            "$(hf_field "$n" H) $(hf_field "$n" P) $(hf_field "$n" J) $(hf_field "$n" L)"
        check_eq "$name/$server $id: data file record" "d$stem f 0x1 $file $size" \
            "$(hf_datafield "$n" dftransfername) $(hf_datafield "$n" format) $(hf_datafield "$n" copies) $(hf_datafield "$n" N) $(hf_datafield "$n" size)"
        expected_control "$chost" "$user" "$id" - 0 f 1 "$stem" "$file" >"$cell/cf.expected"
        control=$(wc -c <"$cell/cf.expected")
        if [ "${R_order[$id]}" = data-first ]; then
            wanted="^C$size d$stem|^B$control c$stem|"
        else
            wanted="^B$control c$stem|^C$size d$stem|"
        fi
        check_eq "$name/$server $id: files in the order sent (${R_order[$id]})" "$wanted" "$(wire_lines "$n")"
    fi
    [ "$failed" -eq "$before" ]
}

# Every job in the spool is checked against its request and then taken out (so that
# job numbers, which repeat every ten minutes, never meet), but KEEP's.  With "final":
# every job reported printed must have been seen.
reconcile() {
    local keepid=$1 f n id
    [ "$keepid" = final ] || server_idle $((tmo / 1000 + 5)) missing
    for n in $(jobs_now); do
        id=$(job_name "$n")
        if [ -z "$id" ] || [ -z "${R_kind[$id]:-}" ]; then
            fail "$name/$server: job $n in the spool belongs to no request" "J=$id"
            cp -a "$spool/$(job_files_of "$n" | head -n 1)" "$cell/kept/" 2>/dev/null
            continue
        fi
        if [ -z "${R_seen[$id]:-}" ]; then
            R_seen[$id]=1
            if whole "$n" "$id"; then
                case ${R_out[$id]} in
                ok) ;;
                written) queued_after_failure "$n" "$id" ;;
                *) note "$id" "the job was queued whole" ;;
                esac
            else
                wrong "$id" "job $n in the spool is not whole (see the log)"
            fi
        fi
        [ "$id" = "$keepid" ] && continue
        [ "${R_out[$id]}" = wrong ] && for f in $(job_files_of "$n"); do cp -a "$spool/$f" "$cell/kept/"; done
        for f in $(job_files_of "$n"); do rm -f "$spool/$f"; done
    done
    [ "$keepid" = final ] || return 0
    for id in "${ids[@]}"; do
        if [ "${R_kind[$id]}" = print ] && [ "${R_out[$id]}" = ok ] && [ -z "${R_seen[$id]:-}" ]; then
            wrong "$id" "reported printed, but no job of it reached the spool"
        fi
    done
}

# A job queued whole although its request failed.  LPRng takes a job as soon as its last
# file is in: when that was before the client gave up, only the acknowledgement was lost,
# which no client can tell from a lost file.  vexlolpd takes it only at the client's
# close, and a file completed after the failure came from what the client left queued in
# its socket when it gave up: the failure's close did not end the connection.
queued_after_failure() {
    local n=$1 id=$2 complete after
    complete=$(stat -c %.6Y "$spool/dfA$n$chost")
    after=$(fsub "$complete" "${R_t1[$id]}")
    if [ "$server" = lprng ] && fle "$after" 0; then
        note "$id" "lpd had the whole job $(fsub 0 "$after") s before the client gave up: its acknowledgement was lost"
    else
        wrong "$id" "its request failed, yet the job was queued whole (data file completed $after s after the failure)"
    fi
}

wrong() {
    R_out[$1]=wrong
    R_note[$1]="${R_note[$1]:+${R_note[$1]}; }$2"
    echo "WRONG - $1: $2"
}
note() { R_note[$1]="${R_note[$1]:+${R_note[$1]}; }$2"; }

# request MODE print SIZE ORDER | MODE listing [expect-failure] | MODE removal ID
# Runs one request (in the background with BACKGROUND=1: see killed_print) and judges
# it; leaves its id in `id`.
request() {
    local mode=$1 kind=$2 user=${users[$1]} size="" bytes=0 target="" number="" yield=()
    if [ "$kind" = removal ]; then
        target=$3
        number=$(job_of "$target")
        [ -n "$number" ] || {
            fail "$name/$server: the job of $target is in the spool before its removal"
            return
        }
    fi
    id=c${n}r$((++reqno))
    ids+=("$id")
    R_mode[$id]=$mode R_kind[$id]=$kind R_order[$id]=- R_file[$id]="" R_note[$id]="" R_expect[$id]=ok
    [ "$mode" = yield ] && yield=(--yield)
    local args
    case $kind in
    print)
        size=$3
        R_order[$id]=$4 R_file[$id]=$files/$size R_kind[$id]=print
        bytes=$(wc -c <"$files/$size")
        if [ "$mode" = lib ]; then
            args=("$client" print "$addr" lp "$files/$size" --user "$user" --client-host "$chost" --job "$id"
                --timeout "$tmo" --trace)
        else
            args=("$cli" print -P "lp@$addr" -U "$user" --client-host "$chost" -J "$id" --reply-timeout "$tmo"
                --trace "${yield[@]}" "$files/$size")
        fi
        [ "$4" = control-first ] && args+=(--control-first)
        R_size[$id]=$size
        ;;
    listing)
        [ "${3:-}" = expect-failure ] && R_expect[$id]=failure
        if [ "$mode" = lib ]; then
            args=("$client" queue "$addr" lp --user "$user" --timeout "$tmo" --trace)
        else
            args=("$cli" queue -P "lp@$addr" -U "$user" --reply-timeout "$tmo" --trace "${yield[@]}")
        fi
        before_listing=$(jobs_now | tr '\n' ' ')
        before_records=$(ls "$spool" | grep -c '^hfA')
        ;;
    removal)
        R_file[$id]=$target
        if [ "$mode" = lib ]; then
            args=("$client" remove "$addr" lp "$((10#$number))" --user "$user" --timeout "$tmo" --trace)
        else
            args=("$cli" remove -P "lp@$addr" -U "$user" --reply-timeout "$tmo" --trace "${yield[@]}"
                "$((10#$number))")
        fi
        ;;
    esac
    local bound=$((bytes / floor + 3 * tmo / 1000 + 20))
    R_bound[$id]=$bound
    printf '%q ' ip netns exec "$cns" "${args[@]}" >"$cell/$id.cmd"
    if [ "${BACKGROUND:-0}" = 1 ]; then
        run "$id" "$bound" "${args[@]}" &
        request_pid=$!
        return
    fi
    run "$id" "$bound" "${args[@]}"
    judge "$id"
    case $kind in
    listing) [ "${R_out[$id]}" = ok ] && listing_matches "$id" ;;
    removal) [ "${R_out[$id]}" = ok ] && removal_done "$id" "$target" "$number" ;;
    esac
    echo "     $id ${R_mode[$id]} $kind ${size:+$size ${R_order[$id]} }-> ${R_out[$id]} in ${R_el[$id]} s${R_note[$id]:+: ${R_note[$id]}}"
}

# run ID BOUND PROGRAM ARGS...: the client in the client's namespace under a time bound,
# its standard output in ID.out, every line of its standard error stamped with the time
# in ID.trace, status and start and end times in ID.rc.
run() {
    local id=$1 bound=$2 t0
    shift 2
    t0=$EPOCHREALTIME
    {
        ip netns exec "$cns" timeout -k 3 "$bound" "$@" 2>&1 >"$cell/$id.out"
        echo $? >"$cell/$id.status"
    } | stamp >"$cell/$id.trace"
    echo "$(cat "$cell/$id.status") $t0 $EPOCHREALTIME" >"$cell/$id.rc"
}

# judge ID: ok (provisionally, for a print job: the spool decides), written or wrong.
judge() {
    local id=$1 rc t0 t1 msgs count line code text result began said late
    read -r rc t0 t1 <"$cell/$id.rc"
    R_el[$id]=$(fsub "$t1" "$t0")
    R_t1[$id]=$t1
    # What is not a trace line is what the client wrote for its user.
    msgs=$(sed -e 's/^[0-9.]* //' -e 's/\r$//' "$cell/$id.trace" | grep -a -v -e '^VEXLOLPR ' -e '^LPR: ' -e '^$')
    # The command's word on a job whose last acknowledgement never came goes beside its
    # failure: the job may be whole at the server, which reconcile then judges.
    local unclear='^vexlolpr: [^ ]*: job [0-9]* may be queued: the server did not confirm it$'
    if printf '%s\n' "$msgs" | grep -Eq "$unclear"; then
        note "$id" "the command said the job may be queued"
        msgs=$(printf '%s\n' "$msgs" | grep -Ev "$unclear")
    fi
    count=$(printf '%s' "$msgs" | grep -c '')
    local left
    left=$(ip netns pids "$cns")
    if [ -n "$left" ]; then
        # shellcheck disable=SC2086
        kill -KILL $left 2>/dev/null
        wrong "$id" "processes left running in the client's namespace: $(echo $left)"
    fi
    if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
        wrong "$id" "hang: no end within ${R_bound[$id]} s"
        return
    fi
    if [ "$rc" = 0 ]; then
        if [ "${R_mode[$id]}" = lib ]; then
            [ "$count" = 1 ] && [[ $msgs == interop_client:*": result=0 errorcode="* ]] && R_out[$id]=ok ||
                wrong "$id" "success with other output: $msgs"
        else
            [ "$count" = 0 ] && R_out[$id]=ok || wrong "$id" "success with messages: $msgs"
        fi
        [ "${R_out[$id]:-}" = ok ] && [ "${R_expect[$id]}" = failure ] &&
            wrong "$id" "succeeded where it could not (the server was down)"
        return
    fi
    # A failure: one written message line ...
    if [ "$count" != 1 ]; then
        wrong "$id" "failure (status $rc) with $count message lines: $(echo $msgs)"
        return
    fi
    line=$msgs
    # A checked removal whose listing came back empty or unreadable (a server that gave
    # up on a slow request closes without a word) has sent the removal and says that it
    # cannot tell: written, and the spool tells the rest.
    if [ "$rc" = 5 ] && [ "${R_kind[$id]}" = removal ] &&
        [[ $line =~ ^vexlolpr:\ [^\ ]*:\ job\ [0-9]+:\ removal\ sent\;\ the\ listing\ cannot\ tell ]]; then
        R_out[$id]=written
        note "$id" "$line"
        return
    fi
    local libline='^interop_client: [a-z]+[^:]*: result=([0-9]+) errorcode=([0-9]+) text="(.*)"( \(cut\))?$'
    local cliline='^vexlolpr: (.*) \(error ([0-9]+)(; [^)]*)?\)$'
    if [ "${R_mode[$id]}" = lib ]; then
        if [ "$rc" = 1 ] && [[ $line =~ $libline ]]; then
            result=${BASH_REMATCH[1]} code=${BASH_REMATCH[2]} text=${BASH_REMATCH[3]}
            [[ " 8 31 50 59 67 1200 " == *" $result "* ]] || code=bad
        else
            code=bad
        fi
    elif [[ " 1 3 130 " == *" $rc "* ]] && [[ $line =~ $cliline ]]; then
        text=${BASH_REMATCH[1]} code=${BASH_REMATCH[2]}
        [ "${R_kind[$id]}" = print ] && text=${text#"${R_file[$id]}: "}
    else
        code=bad
    fi
    if [ "$code" = bad ] || ! grep -qx "$code" "$top/codes" || ! text_written "$code" "$text"; then
        wrong "$id" "failure outside the written errors (status $rc): $line"
        return
    fi
    # ... that came within the reply time-out and a second after the network call that
    # failed began (the last connect, read or write the trace shows entered).  The
    # message's own stamp counts, not the process's end: a loaded machine may take its
    # time to tear a sanitized process down, and a hang is judged by the bound above.
    began=$(grep -a -E '^[0-9.]+ VEXLOLPR wsock_(connect|read|write)\(\) entered' "$cell/$id.trace" | tail -n 1 |
        cut -d' ' -f1)
    [ -n "$began" ] || began=$t0
    said=$(grep -a -v -E '^[0-9.]+ (VEXLOLPR |LPR: |.?$)' "$cell/$id.trace" | tail -n 1 | cut -d' ' -f1)
    [ -n "$said" ] || said=$t1
    late=$(fsub "$said" "$began")
    if ! fle "$late" "$(fsub "$((tmo / 1000))" 1 +)"; then
        wrong "$id" "written failure $late s after its last network call began (reply time-out $tmo ms): $line"
        return
    fi
    R_out[$id]=written
    note "$id" "$line"
}

# A listing that succeeded shows exactly the jobs in the spool: vexlolpd a line per job,
# by number; LPRng's short form counts them, sometimes with a job still arriving (its
# record is there, the data not yet), and jobs may complete while it answers.
listing_matches() {
    local id=$1 got want
    if [ "$server" = vexlolpd ]; then
        want=$(jobs_now | awk '{ print $1 + 0 }' | tr '\n' ' ')
        if [ -z "$want" ]; then
            got=$(cat "$cell/$id.out")
            [ "$got" = "no entries" ] || wrong "$id" "listing of the empty queue: $got"
            return
        fi
        got=$(awk '$1 ~ /^[0-9]+(st|nd|rd|th)$/ { print $3 + 0 }' "$cell/$id.out" | sort -n | tr '\n' ' ')
        want=$(printf '%s\n' $want | sort -n | tr '\n' ' ')
        [ "$got" = "$want" ] || wrong "$id" "listing shows jobs '$got', the spool holds '$want'"
    else
        local least most shown
        least=$(printf '%s\n' $before_listing | grep -c .)
        most=$(ls "$spool" | grep -c '^hfA')
        [ "$before_records" -gt "$most" ] && most=$before_records
        shown=$(grep -oE '(^| )[0-9]+ jobs?( |$)' "$cell/$id.out" | awk '{ print $1; exit }')
        if [ -z "$shown" ] || [ "$shown" -lt "$least" ] || [ "$shown" -gt "$most" ]; then
            wrong "$id" "listing '$(head -c 200 "$cell/$id.out")' does not count the spool's $least to $most jobs"
        fi
    fi
}

# A removal reported done has removed the job.
removal_done() {
    local id=$1 target=$2 number=$3 f
    if [ -n "$(job_files_of "$number")" ]; then
        wrong "$id" "removal reported done, but job $number ($target) is still queued"
    else
        note "$id" "job $number removed"
    fi
}

# The server killed by PID once the job's data file is arriving, then the request must
# end with a written error within the reply time-out and a second of the kill.
killed_print() {
    local mode=$1 order=$2 i grown="" tk old half
    # Half of the data file has arrived: in a temporary of this server instance (a killed
    # one leaves its own behind).
    half=$(($(wc -c <"$files/kill") / 2048))
    old=$(ls "$spool" | grep '^temp' | tr '\n' ' ')
    BACKGROUND=1 request "$mode" print kill "$order"
    for i in $(seq 1500); do
        if [ "$server" = lprng ]; then
            grown=$(find "$spool" -maxdepth 1 -name 'temp*' -size +"$half"k 2>/dev/null |
                grep -v -F -f <(printf '%s\n' $old /nothing))
        else
            grown=$(find "$cell/spool" -path "*/.incoming-$server_pid-*/dfA*" -size +"$half"k 2>/dev/null)
        fi
        [ -n "$grown" ] && break
        kill -0 "$request_pid" 2>/dev/null || break
        sleep 0.02
    done
    if [ -n "$grown" ]; then
        tk=$EPOCHREALTIME
        server_kill
        echo "     (server killed by PID with $(stat -c %s $grown | head -n 1) octets of the data file received)"
    fi
    wait "$request_pid"
    judge "$id"
    if [ -z "$grown" ]; then
        note "$id" "the job ended before the data file was seen arriving: not killed"
        [ -n "$server_pid" ] && server_kill
    elif [ "${R_out[$id]}" = written ]; then
        R_expect[$id]=failure
        local after
        after=$(fsub "${R_t1[$id]}" "$tk")
        note "$id" "ended $after s after the kill"
        fle "$after" "$(fsub "$((tmo / 1000))" 1 +)" || wrong "$id" "ended $after s after the kill"
    else
        [ "${R_out[$id]}" = ok ] && wrong "$id" "reported printed although the server was killed while it sent"
    fi
    echo "     $id $mode print kill $order -> ${R_out[$id]} in ${R_el[$id]} s${R_note[$id]:+: ${R_note[$id]}}"
}

# The link drops everything both ways once the job is under way, until the request has
# ended and a second more; the job is 64 KiB, which the client hands to its socket at
# once over 256 kbit/s.  The failure must be written, and the job must never be queued.
stalled_print() {
    local mode=$1 order=$2 ns dev
    BACKGROUND=1 request "$mode" print 64k "$order"
    sleep 0.5
    for ns in "$cns" "$sns"; do
        dev=$([ "$ns" = "$cns" ] && echo "$cif" || echo "$sif")
        ip netns exec "$ns" nft -f - <<EOF
table inet stall {
    chain input {
        type filter hook input priority 0
        iifname "$dev" drop
    }
}
EOF
    done
    wait "$request_pid"
    judge "$id"
    [ "${R_out[$id]}" = written ] && R_expect[$id]=failure
    [ "${R_out[$id]}" = ok ] && note "$id" "ended before the link went down"
    sleep 1
    for ns in "$cns" "$sns"; do ip netns exec "$ns" nft delete table inet stall; done
    echo "     $id $mode print 64k $order, link down -> ${R_out[$id]} in ${R_el[$id]} s${R_note[$id]:+: ${R_note[$id]}}"
    stall_over
}

# After a stall, what the client's system still held of the connection may reach the
# server: the rest of a job that the failure's close should have thrown away would make
# the server queue it, which reconcile then finds.  An abortive close leaves nothing to
# send; anything else keeps retransmitting, so this waits until the client's side holds
# no connection to the server that could still carry data.
#
# The server's side is the server's own business: the client's reset was lost while
# the link was down, and unless the server had something of its own still to send, its
# end of the connection waits for a peer that is gone until the server's own time-out
# (LPRng's for receiving a job also holds a lock per client host until then, and every
# later job from that host waits behind it).  The requests that follow must not depend
# on that, so the dead connections are ended now, as that time-out would end them; where
# the kernel cannot end sockets from outside, the server is started afresh.
stall_over() {
    local i held
    for i in $(seq 300); do
        held=$(ip netns exec "$cns" ss -Htn state syn-sent state established state fin-wait-1 state closing \
            state last-ack state close-wait '( dport = :515 )')
        [ -n "$held" ] || break
        sleep 0.1
    done
    [ -z "$held" ] || wrong "$id" "30 s after the request ended its system still holds the connection: $held"
    ip netns exec "$sns" ss -K state established state close-wait 'sport = :515' >/dev/null 2>&1
    for i in $(seq 20); do
        ip netns exec "$sns" ss -Htn state established state close-wait 'sport = :515' | grep -q . || return 0
        sleep 0.1
    done
    echo "     (the server's connections of the stall could not be ended: the server starts afresh)"
    server_stop
    server_start || fail "$name/$server: the server starts again after the stall"
}

# Nothing the run made is left: temporaries in vexlolpd's spool come only from the
# instances killed on purpose (and go); LPRng's temporaries are LPRng's, noted.
leftovers() {
    local d f pid rest=""
    for d in "$cell"/spool/.incoming-*; do
        [ -e "$d" ] || continue
        pid=${d##*/.incoming-}
        pid=${pid%%-*}
        if [[ " $killed_pids " == *" $pid "* ]]; then
            echo "     (temporary of the killed server, pid $pid: ${d##*/})"
            rm -rf "$d"
        else
            rest="$rest ${d##*/}"
        fi
    done
    check_eq "$name/$server: no temporaries left in the spool" "" "${rest# }"
    if [ "$server" = lprng ]; then
        rest=$(ls "$spool" | grep '^temp' | tr '\n' ' ')
        for f in "$spool"/hfA*; do
            [ -e "$f" ] && ! grep -q '^size=' "$f" && rest="$rest${f##*/} (unfinished, $(grep -a -m1 '^J=' "$f")) "
        done
        [ -n "$rest" ] && echo "     (LPRng left temporaries: $rest)" && echo "$rest" >"$cell/lprng-temporaries"
    fi
    local jobs
    jobs=$(jobs_now | tr '\n' ' ')
    check_eq "$name/$server: every job in the spool checked and taken out" "" "${jobs% }"
}

# ---- the cells, side by side ----------------------------------------------------------

declare -A R_size R_bound R_t1
run_cell() {
    local spec=$1 server=$2 n=$3
    # shellcheck disable=SC2086
    set -- $spec
    (
        local began=$SECONDS
        cell_main "$@" "$server" "$n"
        for id in "${ids[@]}"; do
            printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$server" "${R_mode[$id]}" "${R_kind[$id]}" \
                "${R_size[$id]:-}" "${R_order[$id]}" "${R_out[$id]:-wrong}" "${R_el[$id]:-}" "${R_expect[$id]}" \
                "$id ${R_note[$id]}"
        done >"$top/cell$n/results"
        echo "cell $n: $passed checks passed, $failed failed ($1 against $server, $((SECONDS - began)) s)"
        [ "$failed" -eq 0 ]
    ) >"$top/cell$n.log" 2>&1
}

echo "links: $([ "$full" -eq 1 ] && echo full || echo CI-sized) run, ${#selected[@]} conditions x 2 servers, $lanes lanes, in $top"
# The long cells first, so that the lanes end together.
schedule=()
for name in link-stall loss-25 rate-2mbit-loss-10 server-killed rate-256kbit rate-2mbit loss-10 loss-2 clean-576 \
    clean-1500; do
    for spec in "${selected[@]}"; do
        [ "${spec%% *}" = "$name" ] && schedule+=("$spec")
    done
done
n=0
running=0
for spec in "${schedule[@]}"; do
    for server in vexlolpd lprng; do
        n=$((n + 1))
        mkdir -p "$top/cell$n"
        run_cell "$spec" "$server" "$n" &
        running=$((running + 1))
        if [ "$running" -ge "$lanes" ]; then
            wait -n
            running=$((running - 1))
        fi
    done
done
cell_status=0
while [ "$running" -gt 0 ]; do
    wait -n || cell_status=1
    running=$((running - 1))
done
cells=$n
elapsed=$((SECONDS - started))

# ---- the tables ------------------------------------------------------------------------

cat "$top"/cell*/results 2>/dev/null >"$top/results"
markdown() {
    local spec cname tmo s mode
    echo "Each cell: requests ok / failed with a written error / wrong.  Per client and server, every"
    echo "condition: print jobs of $(for s in $sizes; do printf '%s, ' "$(size_title "$s")"; done | sed 's/, $//') $([ "$full" -eq 1 ] && echo "in both file orders" || echo "(one in each file order)"), a queue listing and a removal;"
    echo "the killed server adds a job of $(size_title kill) killed in its data file and a listing while the server is down."
    echo
    echo "| condition | reply time-out | vexlolpd: command | vexlolpd: command --yield | vexlolpd: library | LPRng: command | LPRng: command --yield | LPRng: library |"
    echo "|---|--:|:-:|:-:|:-:|:-:|:-:|:-:|"
    for spec in "${selected[@]}"; do
        read -r cname _ _ _ _ tmo _ <<<"$spec"
        printf '| %s | %s s |' "$(title "$cname")" "$((tmo / 1000))"
        for s in vexlolpd lprng; do
            for mode in noyield yield lib; do
                awk -F'\t' -v c="$cname" -v s="$s" -v m="$mode" '
                    $1 == c && $2 == s && $3 == m { n[$7]++ }
                    END { printf " %d / %d / %d |", n["ok"], n["written"], n["wrong"] }' "$top/results"
            done
        done
        echo
    done
    printf '| all | |'
    for s in vexlolpd lprng; do
        for mode in noyield yield lib; do
            awk -F'\t' -v s="$s" -v m="$mode" '$2 == s && $3 == m { n[$7]++ }
                END { printf " %d / %d / %d |", n["ok"], n["written"], n["wrong"] }' "$top/results"
        done
    done
    echo
    echo
    echo "Seconds per request that succeeded, median (maximum), over both servers and the three clients:"
    echo
    local kinds="" k
    for s in $sizes; do kinds="$kinds print:$s"; done
    kinds="$kinds listing: removal:"
    printf '| condition |'
    for k in $kinds; do
        case $k in
        print:*) printf ' print %s |' "$(size_title "${k#print:}")" ;;
        *) printf ' %s |' "${k%:}" ;;
        esac
    done
    echo
    printf '|---|'
    for k in $kinds; do printf -- '--:|'; done
    echo
    for spec in "${selected[@]}"; do
        read -r cname _ <<<"$spec"
        printf '| %s |' "$(title "$cname")"
        for k in $kinds; do
            awk -F'\t' -v c="$cname" -v k="${k%%:*}" -v z="${k#*:}" '
                $1 == c && $4 == k && $5 == z && $7 == "ok" { print $8 }' "$top/results" | sort -n |
                awk '{ v[NR] = $1 } END {
                    if (NR == 0) { printf " — |"; exit }
                    printf " %.2f (%.2f) |", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[NR] }'
        done
        echo
    done
}
markdown >"$top/table.md"

{
    echo
    cat "$top/table.md"
    echo
    wrongs=$(awk -F'\t' '$7 == "wrong"' "$top/results")
    lossless=$(awk -F'\t' 'NR == FNR { split($0, f, " "); loss[f[1]] = f[4]; next }
        $7 == "written" && loss[$1] == 0 && $9 != "failure"' <(printf '%s\n' "${selected[@]}") "$top/results")
    killed=$(awk -F'\t' '$5 == "kill" || $1 == "link-stall" && $9 == "failure"' "$top/results")
    if [ -n "$killed" ]; then
        echo "Jobs sent while the server was killed or the link was down (condition, server, client, order, outcome, seconds, what):"
        echo
        printf '%s\n' "$killed" | awk -F'\t' '{ printf "- %s %s %s %s: %s in %s s: %s\n", $1, $2, $3, $6, $7, $8, $10 }'
        echo
    fi
    echo "Wrong: $(printf '%s' "$wrongs" | grep -c .); failures on links that lose nothing: $(printf '%s' "$lossless" | grep -c .)."
    printf '%s\n' "$wrongs" "$lossless" | grep . | awk -F'\t' '{ printf "- %s %s %s %s %s %s: %s in %s s: %s\n", $1, $2, $3, $4, $5, $6, $7, $8, $10 }'
    cat "$top"/cell*/lprng-temporaries 2>/dev/null | grep -q . &&
        echo "LPRng left temporaries in its spool (its own): $(cat "$top"/cell*/lprng-temporaries | tr '\n' ' ' | tr -s ' ')"
    echo
    echo "links: $cells cells in ${elapsed} s; seconds per cell: $(sed -n 's/^cell [0-9]*: .* (\(.*\) against \(.*\), \([0-9]*\) s)$/\1\/\2 \3,/p' "$top"/cell*.log | sort -t' ' -k2 -rn | tr '\n' ' ' | sed 's/, $//')"
} >"$top/report"
cat "$top/report"
[ -n "$table" ] && cp "$top/report" "$table"

status=0
for i in $(seq "$cells"); do
    if ! grep -q "^cell $i: [0-9]* checks passed, 0 failed " "$top/cell$i.log"; then
        status=1
        echo "---- cell $i: $(head -n 1 "$top/cell$i.log")"
        grep -A3 -e '^FAIL' -e '^WRONG' "$top/cell$i.log" | head -n 40
    fi
done
[ "$cell_status" -eq 0 ] || status=1
[ -z "$wrongs" ] && [ -z "$lossless" ] || status=1
left=$(ip netns list | awk '{print $1}' | grep "^$prefix" | tr '\n' ' ')
if [ -n "$left" ]; then
    echo "links: namespaces left: $left"
    status=1
fi
echo "links: $([ "$status" -eq 0 ] && echo passed || echo FAILED)"
exit "$status"
