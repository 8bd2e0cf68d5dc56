# common.sh - sourced by the interop drivers: check bookkeeping, the test files, the
# control file text the client is expected to send, and the way into a namespace.
# The drivers set `client` (path of interop_client) and `work` (scratch directory).

# shellcheck source-path=SCRIPTDIR source=../scripts/checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/checks.sh"

# check_text NAME EXPECTED-FILE ACTUAL-FILE: like check_cmp for text, with a line diff.
check_text() {
    if [ ! -f "$3" ]; then
        fail "$1" "missing file: $3"
    elif cmp -s -- "$2" "$3"; then
        pass "$1"
    else
        local diffs
        diffs=$(diff -u --label expected --label actual -- "$2" "$3" | cat -A | head -n 40)
        fail "$1" "line by line (cat -A notation):" "$diffs"
    fi
}

# run_client TAG ARGS...: runs interop_client with a time bound; its standard output goes
# to $work/TAG.out, its report line to $work/TAG.err.  Returns its exit status.
run_client() {
    local tag=$1
    shift
    timeout -k 5 60 "$client" "$@" >"$work/$tag.out" 2>"$work/$tag.err"
}

# client_ok NAME TAG ARGS...: the request must succeed (exit 0, result 0).
client_ok() {
    local name=$1 tag=$2
    shift 2
    if run_client "$tag" "$@" && grep -q 'result=0 ' "$work/$tag.err"; then
        pass "$name"
        return 0
    fi
    fail "$name" "interop_client $*" "$(cat "$work/$tag.err")"
    return 1
}

# Job numbers come from the clock second; a job of the same second as an earlier one of
# the user takes the number after it.  Separate client runs are spaced into different
# seconds, so that each takes the clock's number (see avoid_job_number_zero); a burst in
# one process and a loop of processes are tested on their own.
last_submit=0
submitted() { last_submit=$(date +%s); }
wait_next_second() {
    local i
    for i in $(seq 40); do
        [ "$(date +%s)" != "$last_submit" ] && return 0
        sleep 0.1
    done
    return 1
}

# The number a job gets from the clock is 0 in the first second of every tenth minute,
# and a removal cannot name job 0 (the library refuses it before connecting).  The job
# that the removal round trip removes is kept clear of that second.
avoid_job_number_zero() {
    local i clock
    for i in $(seq 40); do
        clock=$(date +%M%S)
        case "$clock" in
        ?958 | ?959 | ?000) sleep 0.1 ;;
        *) return 0 ;;
        esac
    done
}

# Waits until a second has just begun, so that a short burst stays inside one second.
wait_second_start() {
    local now start i
    start=$(date +%s)
    for i in $(seq 300); do
        now=$(date +%s)
        [ "$now" != "$start" ] && return 0
        sleep 0.01
    done
}

# loop_jobs CHOST: ten jobs, each from a process of its own started right after the one
# before, as a shell loop starts them, so that most fall into the second of the one
# before; `cli` (the vexlolpr command) when the driver has it, else interop_client.
# The files are $files/loop0..9; the ten exit statuses, in a row, in loop_status.
loop_jobs() {
    local i
    loop_status=""
    for i in 0 1 2 3 4 5 6 7 8 9; do
        printf 'loop job %s\n%s\n' "$i" "$(head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n')" >"$files/loop$i"
    done
    for i in 0 1 2 3 4 5 6 7 8 9; do
        if [ -n "${cli:-}" ]; then
            timeout -k 5 60 "$cli" print -P "lp@$host" -U ivan --client-host "$1" "$files/loop$i" \
                >"$work/loop$i.out" 2>"$work/loop$i.err" </dev/null
        else
            run_client "loop$i" print "$host" lp "$files/loop$i" --user ivan --client-host "$1"
        fi
        loop_status="$loop_status$?"
    done
}

# make_files DIR: the files the jobs carry.
#   text.txt     a few text lines
#   bytes.bin    every byte value 0..255, four times over, no final line feed
#   large.bin    4 MiB of random bytes
#   burst1..3    three small files that differ
make_files() {
    local dir=$1 i octal=""
    printf 'first line\nsecond line\n\tindented third line\n' >"$dir/text.txt"
    for i in $(seq 0 255); do
        octal="$octal\\$(printf '%03o' "$i")"
    done
    : >"$dir/bytes.bin"
    for i in 1 2 3 4; do
        printf "$octal" >>"$dir/bytes.bin"
    done
    head -c 4194304 /dev/urandom >"$dir/large.bin"
    for i in 1 2 3; do
        printf 'burst job %s\n%s\n' "$i" "$(head -c 48 /dev/urandom | od -An -tx1 | tr -d ' \n')" >"$dir/burst$i"
    done
}

# expected_control HOST USER JOBNAME CLASS NOBANNER FORMAT COPIES STEM FILE
# The control file the client sends for these options: H, P, J (the file path when no
# job name is given), C and L unless the banner is off (C only with a class), one print
# line per copy (a titled 'p' line preceded by its T title line), U, N.
# JOBNAME and CLASS are "-" for none, NOBANNER 0 or 1, STEM "fA" NNN host.
expected_control() {
    local host=$1 user=$2 jobname=$3 class=$4 nobanner=$5 format=$6 copies=$7 stem=$8 file=$9 i
    printf 'H%s\nP%s\n' "$host" "$user"
    if [ "$jobname" = "-" ]; then printf 'J%s\n' "$file"; else printf 'J%s\n' "$jobname"; fi
    if [ "$nobanner" = 0 ]; then
        [ "$class" != "-" ] && printf 'C%s\n' "$class"
        printf 'L%s\n' "$user"
    fi
    for i in $(seq "$copies"); do
        [ "$format" = p ] && printf 'T%s\n' "$file"
        printf '%sd%s\n' "$format" "$stem"
    done
    printf 'Ud%s\nN%s\n' "$stem" "$file"
}

# raw_listing QUEUE OUTFILE [FORM [ADDRESS [PORT]]]: the short (FORM 3, the default) or
# long (4) listing straight from the server at ADDRESS (127.0.0.1 unless given; ::1 for
# IPv6) and PORT (515), for comparing what the library hands over with the bytes on the
# wire.
raw_listing() {
    timeout -k 2 15 bash -c 'exec 3<>"/dev/tcp/$3/$4" && printf "\00$2%s\n" "$1" >&3 && cat <&3' \
        raw "$1" "${3:-3}" "${4:-127.0.0.1}" "${5:-515}" >"$2" 2>/dev/null
}

# A server queues a job when it sees the client's close, which the client does not wait
# for: the checks after a client run first wait for the jobs they look at.
# job_settled NUMBER: the server is done with the job in the spool as NUMBER; a server
# script whose checks read more than the spool (a log line) says so in its own.
job_settled() { true; }

# wait_new_jobs BEFORE COUNT: until at least COUNT settled jobs are in the spool that are
# not in BEFORE (a list of numbers, as jobs_now lists them); at most about five seconds.
wait_new_jobs() {
    local i n settled
    for i in $(seq 50); do
        settled=0
        for n in $(comm -13 <(printf '%s\n' $1 | sed '/^$/d') <(jobs_now)); do
            job_settled "$n" && settled=$((settled + 1))
        done
        [ "$settled" -ge "$2" ] && return 0
        sleep 0.1
    done
    return 1
}

# new_job NAME BEFORE: the one job that appeared since BEFORE (a list of numbers, as the
# server script's own jobs_now lists them); its number goes to $work/new.
new_job() {
    local added
    wait_new_jobs "$2" 1
    added=$(comm -13 <(printf '%s\n' $2 | sed '/^$/d') <(jobs_now))
    if [ "$(printf '%s\n' "$added" | sed '/^$/d' | wc -l)" -eq 1 ]; then
        pass "$1: one new job in the spool (number $added)"
        echo "$added" >"$work/new"
    else
        fail "$1: one new job in the spool" "new jobs: '$(echo $added)'" "spool: $(ls "$spool" | tr '\n' ' ')"
        : >"$work/new"
    fi
}

# own_job_numbers DIR: the job number record of the library and the command in DIR (made
# private, as the library requires), not the user's own: tests running at the same time
# would move this run's numbers, and its jobs theirs.
own_job_numbers() {
    mkdir -p "$1" && chmod 700 "$1" && export VEXLOLPR_STATE_DIR=$1
}

# wait_for_port [ADDRESS [PORT]]: until something accepts on ADDRESS (127.0.0.1 unless
# given) port PORT (515), at most about ten seconds.
wait_for_port() {
    local i
    for i in $(seq 100); do
        if timeout 2 bash -c 'exec 3<>"/dev/tcp/$1/$2"' wait "${1:-127.0.0.1}" "${2:-515}" 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# The namespace command: a network namespace with only loopback and a mount namespace of
# its own, and a PID namespace where the kernel allows one, so that every server process
# ends with the run.
namespace_command() {
    if unshare -n -m -p -f --mount-proc true 2>/dev/null; then
        echo "unshare -n -m -p -f --mount-proc"
    elif unshare -n -m true 2>/dev/null; then
        echo "unshare -n -m"
    fi
}

# summary NAME: the last line of the run; the exit status tells whether all checks held.
# submit_single_jobs CLIENTHOST_A: jobs A to D, one client process each, every one
# checked by the server script's own jobs_now, new_job and check_job; their numbers are
# left in job_a .. job_d.
submit_single_jobs() {
    # A: data file first, banner with class and job name, two copies.
    avoid_job_number_zero
    before=$(jobs_now)
    client_ok "job A submitted" a print "$host" lp "$files/text.txt" --copies 2 --class Urgent \
        --job report-A --user alice --client-host "$1"
    submitted
    new_job "job A" "$before"
    job_a=$(cat "$work/new")
    [ -n "$job_a" ] && check_job "job A" "$job_a" "$files/text.txt" "$1" alice report-A Urgent 0 f 2 data-first

    # B: control file first, titled format p, banner off (the class must not go either).
    wait_next_second
    before=$(jobs_now)
    client_ok "job B submitted" b print "$host" lp "$files/text.txt" --control-first --format p --nobanner \
        --class Ignored --copies 3 --user bob --client-host interop-b
    submitted
    new_job "job B" "$before"
    job_b=$(cat "$work/new")
    [ -n "$job_b" ] && check_job "job B" "$job_b" "$files/text.txt" interop-b bob - Ignored 1 p 3 control-first

    # C: every byte value, format l.
    wait_next_second
    before=$(jobs_now)
    client_ok "job C submitted" c print "$host" lp "$files/bytes.bin" --format l --user carol --client-host interop-c
    submitted
    new_job "job C" "$before"
    job_c=$(cat "$work/new")
    [ -n "$job_c" ] && check_job "job C" "$job_c" "$files/bytes.bin" interop-c carol - - 0 l 1 data-first

    # D: a few MiB, control file first.
    wait_next_second
    before=$(jobs_now)
    client_ok "job D submitted" d print "$host" lp "$files/large.bin" --control-first --user dave \
        --client-host interop-d
    submitted
    new_job "job D" "$before"
    job_d=$(cat "$work/new")
    [ -n "$job_d" ] && check_job "job D" "$job_d" "$files/large.bin" interop-d dave - - 0 f 1 control-first
}

summary() {
    echo "interop $1: $passed checks passed, $failed failed"
    [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
}

# Ends the outer run of a script: says when the run inside ran out of time, and removes
# the scratch directory (kept after a failure when INTEROP_KEEP is set).
# usage: finish_run NAME STATUS WORK
finish_run() {
    [ "$2" -eq 124 ] && echo "interop $1: the run exceeded its time limit"
    if [ "$2" -ne 0 ] && [ -n "${INTEROP_KEEP:-}" ]; then
        echo "interop $1: scratch directory kept: $3"
    else
        rm -rf "$3"
    fi
    exit "$2"
}

# Starts vexlolpd on port 515 with the queue lp; its log, with each file received
# ("data file dfA..., N bytes") and each queued job, goes to WORK/lpd.out.  OPTIONS go
# to vexlolpd as they are (--bind ::1).  With `server_netns` set it runs in that named
# network namespace (ip netns exec execs it: server_pid is still vexlolpd's).
# usage: start_vexlolpd VEXLOLPD WORK DEADLINE [OPTIONS...]
start_vexlolpd() {
    local program=$1 dir=$2 deadline=$3
    shift 3
    ${server_netns:+ip netns exec "$server_netns"} "$program" --spool "$dir/spool" --queue lp --port 515 \
        --deadline "$deadline" --verbose "$@" 2>"$dir/lpd.out" &
    server_pid=$!
}

# Stops the vexlolpd that start_vexlolpd started last, if it still runs.
stop_vexlolpd() {
    [ -n "${server_pid:-}" ] || return 0
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=""
}

# Stops vexlolpd, shows the end of its log after a failure, and ends the run with the
# summary.  usage: finish_vexlolpd NAME WORK
finish_vexlolpd() {
    stop_vexlolpd
    if [ "$failed" -ne 0 ]; then
        echo "---- last lines of vexlolpd's log ($2/lpd.out)"
        tail -n 30 "$2/lpd.out"
    fi
    summary "$1"
    exit $?
}

# Starts LPRng's lpd on PORT with the queue lp (spool WORK/spool/lp, printing to
# /dev/null), under a time bound of DEADLINE seconds; its configuration is bind-mounted
# over /etc/lprng in this mount namespace only: the machine's own stays.  lpr+1 makes lpd log in WORK/lpd.out each subcommand line it reads ("read N
# bytes '^C4 dfA...'"): the file order, counts and names exactly as the client sent
# them.  WORK must be reachable for the user daemon.  PERMS replaces the machine's
# lpd.perms (whose first rule refuses every client but this host).
# usage: start_lprng WORK PORT DEADLINE [PERMS]
start_lprng() {
    local dir=$1
    mkdir -p "$dir/etc" "$dir/spool/lp" "$dir/run"
    cp "${4:-/etc/lprng/lpd.perms}" "$dir/etc/lpd.perms"
    cat >"$dir/etc/lpd.conf" <<EOF
printcap_path=/etc/lprng/printcap
lpd_printcap_path=/etc/lprng/printcap
lpd_listen_port=$2
unix_socket_path=off
spool_dir_perms=000700
lockfile=$dir/run/lpd
EOF
    printf 'lp:\n  :sd=%s\n  :lp=/dev/null\n  :sh:mx=0\n' "$dir/spool/lp" >"$dir/etc/printcap"
    chown daemon:lp "$dir/spool/lp" "$dir/run"
    chmod 700 "$dir/spool/lp"
    chmod 755 "$dir/spool"
    mount --bind "$dir/etc" /etc/lprng || {
        echo "cannot bind-mount the configuration over /etc/lprng"
        return 1
    }
    timeout -k 5 "$3" /usr/sbin/lpd -F -p "$2" -D lpr+1 >"$dir/lpd.out" 2>&1 &
    lpd_timeout=$!
}

# Stops the lpd that start_lprng started: the processes the master started, the master,
# and the time bound around it.
stop_lprng() {
    local master kids
    [ -n "${lpd_timeout:-}" ] || return 0
    master=$(pgrep -P "$lpd_timeout" 2>/dev/null)
    kids=""
    [ -n "$master" ] && kids=$(pgrep -P "$master" 2>/dev/null)
    # shellcheck disable=SC2086
    [ -n "$kids" ] && kill $kids 2>/dev/null
    kill "$lpd_timeout" 2>/dev/null
    wait "$lpd_timeout" 2>/dev/null
    lpd_timeout=""
}

# ---- servers of the job checks (jobs.sh) -------------------------------------------------

# fetch_debs DIR PACKAGE...: each package downloaded (apt-get download) and unpacked into
# DIR/root, for servers whose packages conflict with LPRng's, which stays installed.  A
# package unpacked there before is not fetched again; a mirror that stalls fails the fetch
# instead of holding the run.
fetch_debs() {
    local dir=$1 p
    shift
    mkdir -p "$dir/debs" "$dir/root" || return 1
    for p in "$@"; do
        [ -f "$dir/debs/$p.unpacked" ] && continue
        (cd "$dir/debs" && rm -f "${p}"_*.deb && { timeout 60 apt-get download "$p" >/dev/null 2>&1 ||
            { timeout 120 apt-get update -qq >/dev/null 2>&1 && timeout 60 apt-get download "$p" >/dev/null 2>&1; }; }) ||
            return 1
        dpkg -x "$dir/debs/${p}"_*.deb "$dir/root" && touch "$dir/debs/$p.unpacked" || return 1
    done
}

# private_dirs WORK DIR...: each DIR becomes, in this mount namespace only, an overlay of
# itself whose changes land below WORK/overlay: a server with fixed paths for its
# configuration, spool, lock and socket (/etc/printcap, /var/spool/lpd, /dev/printer)
# gets them for this run alone.
private_dirs() {
    local base=$1/overlay d n
    shift
    for d in "$@"; do
        n=$(printf '%s' "$d" | tr / _)
        mkdir -p "$base/$n.upper" "$base/$n.work" &&
            mount -t overlay overlay -o "lowerdir=$d,upperdir=$base/$n.upper,workdir=$base/$n.work" "$d" || return 1
    done
}

# The servers print to a FIFO, DEVICE: with nobody reading it the printing process waits
# in open() and every job stays queued (none active); hold_device keeps it open without
# reading, so that a job larger than the pipe's buffer stays active; drain_device_after
# reads everything from SECONDS on (the holder stays: a writer whose only reader went
# would fail the job), and the queue prints.  release_device ends both.
# usage: make_device DEVICE OWNER; hold_device DEVICE; drain_device_after SECONDS DEVICE
make_device() { rm -f "$1" && mkfifo -m 600 "$1" && chown "$2" "$1"; }
device_pids=""
release_device() {
    local pid
    for pid in $device_pids; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    device_pids=""
}
hold_device() {
    release_device
    sleep 600 0<>"$1" &
    device_pids=$!
}
drain_device_after() {
    (sleep "$1" && exec cat 0<>"$2" >/dev/null) &
    device_pids="$device_pids $!"
}

# run_cli TAG ARGS...: the command `cli` with a time bound:
# standard output to $work/TAG.out, standard error to $work/TAG.err, exit status in
# cli_status.
run_cli() {
    local tag=$1
    shift
    timeout -k 5 60 "$cli" "$@" >"$work/$tag.out" 2>"$work/$tag.err" </dev/null
    cli_status=$?
}

# Starts BSD lpd (unpacked in ROOT) with the queue lp printing to DEVICE, its printcap,
# hosts.lpd and spool (/var/spool/lpd/lp) private to this mount namespace.  lpd puts
# itself in the background; its process id is in /run/lpd.pid.
# usage: start_bsd_lpd ROOT WORK DEVICE
start_bsd_lpd() {
    private_dirs "$2" /etc /var/spool /run /dev || {
        echo "cannot lay private /etc, /var/spool, /run and /dev over the machine's"
        return 1
    }
    printf 'lp:\\\n\t:lp=%s:sd=/var/spool/lpd/lp:lf=/var/spool/lpd/lp.log:sh:mx#0:\n' "$3" >/etc/printcap
    printf 'localhost\n127.0.0.1\n' >/etc/hosts.lpd
    mkdir -p /var/spool/lpd/lp && chown -R lp:lp /var/spool/lpd && chmod 2775 /var/spool/lpd /var/spool/lpd/lp &&
        "$1/usr/sbin/lpd" -l
}

# Stops the lpd that start_bsd_lpd started, with the printing process it runs.
stop_bsd_lpd() {
    local master
    master=$(cat /run/lpd.pid 2>/dev/null)
    [ -n "$master" ] || return 0
    # shellcheck disable=SC2046
    kill $(pgrep -P "$master" 2>/dev/null) "$master" 2>/dev/null
}

# Starts cupsd (unpacked in ROOT) with configuration, spool and logs in WORK/cups and a
# raw queue lp printing to DEVICE (a file device), stopped; cups-lpd serves port 515 for
# it the way inetd runs it, one process per connection, as user lp.  PRIVATE is "default"
# for the job values CUPS hides from anonymous requests as shipped (user and job name:
# cups-lpd then lists "(null)" and "untitled"), "none" to show them.
# usage: start_cups ROOT WORK DEVICE PRIVATE
start_cups() {
    local root=$1 dir=$2/cups
    mkdir -p "$dir/etc" "$dir/spool" "$dir/cache" "$dir/state" "$dir/log" "$dir/tmp" "$dir/data" || return 1
    # Data from the package, and the one banner cups-lpd asks for when the control file has
    # an L line (the banners are in a package of their own).
    ln -sfn "$root/usr/share/cups/mime" "$dir/data/mime"
    mkdir -p "$dir/data/banners" && printf 'standard\n' >"$dir/data/banners/standard"
    # The programs: the package's, and for the raw queue's one filter (from another package)
    # a stand-in that passes the document through.
    mkdir -p "$dir/bin/filter" && ln -sfn "$root/usr/lib/cups/daemon" "$dir/bin/daemon" &&
        ln -sfn "$root/usr/lib/cups/backend" "$dir/bin/backend" || return 1
    printf '#!/bin/sh\nexec cat ${6:+"$6"}\n' >"$dir/bin/filter/gziptoany"
    chmod 755 "$dir/bin/filter/gziptoany"
    cat >"$dir/etc/cups-files.conf" <<EOC
ServerRoot $dir/etc
ServerBin $dir/bin
DataDir $dir/data
RequestRoot $dir/spool
CacheDir $dir/cache
StateDir $dir/state
TempDir $dir/tmp
ErrorLog $dir/log/error_log
AccessLog $dir/log/access_log
PageLog $dir/log/page_log
FileDevice Yes
Sandboxing Relaxed
User lp
Group lp
SystemGroup root
EOC
    cat >"$dir/etc/cupsd.conf" <<EOC
LogLevel debug
Listen 127.0.0.1:631
Browsing No
DefaultAuthType None
WebInterface No
PreserveJobHistory No
PreserveJobFiles No
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  JobPrivateValues $4
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOC
    cat >"$dir/etc/printers.conf" <<EOC
<Printer lp>
Info lp
DeviceURI file://$3
State Stopped
Accepting Yes
Shared Yes
</Printer>
EOC
    printf 'ServerName 127.0.0.1:631\n' >"$dir/etc/client.conf"
    chown -R lp:lp "$dir/spool" "$dir/cache" "$dir/state" "$dir/tmp"
    "$root/usr/sbin/cupsd" -f -c "$dir/etc/cupsd.conf" -s "$dir/etc/cups-files.conf" &
    cupsd_pid=$!
    wait_for_port 127.0.0.1 631 || return 1
    CUPS_SERVER=127.0.0.1:631 CUPS_SERVERROOT=$dir/etc socat TCP-LISTEN:515,fork,reuseaddr \
        EXEC:"$root/usr/lib/cups/daemon/cups-lpd",su=lp 2>"$dir/log/socat.log" &
    cups_lpd_pid=$!
}

# cups_admin ROOT WORK COMMAND ARGS...: a CUPS administration command (cupsenable,
# cupsdisable, cancel ...) from ROOT, asking the cupsd of start_cups.
cups_admin() {
    local root=$1 dir=$2/cups program=$3
    shift 3
    [ -x "$root/usr/sbin/$program" ] && program=$root/usr/sbin/$program || program=$root/usr/bin/$program
    CUPS_SERVER=127.0.0.1:631 CUPS_SERVERROOT=$dir/etc timeout 20 "$program" "$@" 2>&1
}

# Stops cups-lpd's listener and cupsd.
stop_cups() {
    local pid
    for pid in ${cups_lpd_pid:-} ${cupsd_pid:-}; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    cups_lpd_pid="" cupsd_pid=""
}
