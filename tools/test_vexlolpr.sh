#!/bin/bash
# test_vexlolpr.sh - the vexlolpr command as users drive it, against vexlolpd on a port
# the system chooses on 127.0.0.1.  vexlolpd keeps every file as received, so jobs are
# checked in its spool byte for byte, and its log (--verbose) shows what reached it.
#
# usage: test_vexlolpr.sh GROUP VEXLOLPR VEXLOLPD VERSION [MANPAGE]
#   GROUP: usage errors print forms queue remove follow check cancel tty manpage huge stdin
# Exit status: 0 all checks held, 1 a check failed, 77 skipped (a tool is missing).
# VEXLOLPR_TEST_KEEP=1 keeps the scratch directory after a failure.
# shellcheck disable=SC2317 # the groups are called by name
set -u

group=${1:?usage: test_vexlolpr.sh GROUP VEXLOLPR VEXLOLPD VERSION [MANPAGE]}
cli=${2:?}
server=${3:?}
version=${4:?}
manpage=${5:-}
# shellcheck source-path=SCRIPTDIR source=../tests/scripts/checks.sh
. "$(dirname "$0")/../tests/scripts/checks.sh"

# The user's own destination must not leak into the checks.
unset PRINTER
export LC_ALL=C

work=$(mktemp -d /tmp/test-vexlolpr.XXXXXX) || exit 1
# The job number record of the command: this run's own (private, as the library requires),
# not the user's, which tests running at the same time would move.
mkdir -m 700 "$work/state" && export VEXLOLPR_STATE_DIR=$work/state
server_pid=""
extra_pids=""

skip() {
    echo "vexlolpr.$group: skipped: $1"
    exit 77
}

finish() {
    local pid
    for pid in $extra_pids $server_pid; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    if [ "$failed" -ne 0 ] && [ -f "$work/lpd.log" ]; then
        echo "---- last lines of vexlolpd's log"
        tail -n 20 "$work/lpd.log"
    fi
    echo "vexlolpr.$group: $passed checks passed, $failed failed"
    if [ "$failed" -ne 0 ] && [ -n "${VEXLOLPR_TEST_KEEP:-}" ]; then
        echo "scratch directory kept: $work"
    else
        rm -rf "$work"
    fi
    [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
    exit $?
}

for program in "$cli" "$server"; do
    [ -x "$program" ] || {
        echo "$program is not executable"
        exit 1
    }
done
# Some checks run from another directory.
case $cli in /*) ;; *) cli=$(pwd)/$cli ;; esac
case $server in /*) ;; *) server=$(pwd)/$server ;; esac
command -v timeout >/dev/null 2>&1 || skip "timeout not found"

# ---- the server ---------------------------------------------------------------------------

spool=$work/spool
port=""
dest=""

# Starts vexlolpd with the queues lp and other on a port the system chooses; it stops
# itself after 150 s whatever happens here.
start_server() {
    local i
    "$server" --spool "$spool" --queue lp --queue other --port 0 --port-file "$work/port" \
        --deadline 150 --verbose 2>"$work/lpd.log" &
    server_pid=$!
    for i in $(seq 100); do
        if [ -s "$work/port" ]; then
            port=$(cat "$work/port")
            dest=lp@127.0.0.1:$port
            return 0
        fi
        sleep 0.1
    done
    fail "vexlolpd writes its port file" "$(tail -n 5 "$work/lpd.log")"
    finish
}

# A port where nothing listens: one the system handed out and took back.
closed_port() {
    "$server" --spool "$work/closed-spool" --port 0 --port-file "$work/closed-port" --max-connections 1 \
        --deadline 10 2>/dev/null &
    local pid=$! i
    for i in $(seq 100); do
        [ -s "$work/closed-port" ] && break
        sleep 0.1
    done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    cat "$work/closed-port"
}

# A server that takes connections and never answers: its port in silent_port, empty
# when python3 is missing.  It ends by itself after 40 s.
silent_port=""
start_silent() {
    command -v python3 >/dev/null 2>&1 || return 1
    python3 -c 'import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(8)
print(s.getsockname()[1], flush=True)
time.sleep(40)' >"$work/silent.port" &
    extra_pids="$extra_pids $!"
    local i
    for i in $(seq 100); do
        [ -s "$work/silent.port" ] && break
        sleep 0.1
    done
    silent_port=$(cat "$work/silent.port")
    [ -n "$silent_port" ]
}

# Number of connections the server has taken so far.
connections() { grep -c '^vexlolpd: #[0-9]* ' "$work/lpd.log"; }

# vexlolpd queues a job when it sees the command's close, which the command does not
# wait for; until then the job's files are in a directory .incoming-* of the spool.  This
# waits, at most about five seconds, until no job is half-way.
settle() {
    local i
    for i in $(seq 50); do
        [ -z "$(ls -d "$spool"/.incoming-* 2>/dev/null)" ] && return 0
        sleep 0.1
    done
    return 1
}

# wait_logged PATTERN COUNT: until the server's log has COUNT lines matching PATTERN, at
# most about five seconds: a line it writes after the command's last read may come after
# the command has exited.
wait_logged() {
    local i
    for i in $(seq 50); do
        [ "$(grep -c -E -- "$1" "$work/lpd.log")" -ge "$2" ] && return 0
        sleep 0.1
    done
    return 1
}

# The jobs in the queue lp, as their control files' names, once none is half-way.
control_files() { settle; ls "$spool/lp" 2>/dev/null | grep '^cfA' | sort; }
clear_queue() { settle; rm -f "$spool"/lp/* "$spool"/other/*; }

# ---- running the command ----------------------------------------------------------------

rc=0
# run TAG ARGS...: vexlolpr with a time bound; standard output in $work/TAG.out, standard
# error in $work/TAG.err, the exit status in rc.
run() {
    local tag=$1
    shift
    timeout -k 5 60 "$cli" "$@" >"$work/$tag.out" 2>"$work/$tag.err" </dev/null
    rc=$?
}

# run_env TAG VAR=VALUE... -- ARGS...: the same with a changed environment.
run_env() {
    local tag=$1
    shift
    local vars=()
    while [ "$1" != "--" ]; do
        vars+=("$1")
        shift
    done
    shift
    env "${vars[@]}" timeout -k 5 60 "$cli" "$@" >"$work/$tag.out" 2>"$work/$tag.err" </dev/null
    rc=$?
}

out() { cat "$work/$1.out"; }
err() { cat "$work/$1.err"; }

# expect_usage NAME TAG MESSAGE-REGEX ARGS...: exit status 2, one message line naming the
# problem and a line pointing at the help, nothing on standard output.
expect_usage() {
    local name=$1 tag=$2 regex=$3
    shift 3
    run "$tag" "$@"
    check_eq "$name: exit status 2" 2 "$rc"
    check_match "$name: says why" "^vexlolpr: $regex" "$(head -n 1 "$work/$tag.err")"
    check_match "$name: points at the help" "^Try 'vexlolpr( [a-z]+)? --help'\.$" "$(sed -n 2p "$work/$tag.err")"
    check_eq "$name: two lines on standard error" 2 "$(wc -l <"$work/$tag.err")"
    check_eq "$name: nothing on standard output" "" "$(out "$tag")"
}

# expect_success NAME TAG: exit status 0 and nothing on standard error.
expect_success() {
    check_eq "$1: exit status 0" 0 "$rc"
    check_eq "$1: nothing on standard error" "" "$(err "$2")"
}

# expect_error NAME TAG STATUS LINE: the exit status, and LINE as the only thing on
# standard error.
expect_error() {
    check_eq "$1: exit status $3" "$3" "$rc"
    check_eq "$1: the error line" "$4" "$(err "$2")"
    check_eq "$1: one line on standard error" 1 "$(wc -l <"$work/$2.err")"
}

# Job numbers come from the clock second; a run in the same second as an earlier job
# takes the number after it.  Runs spaced into seconds of their own take the clock's.
wait_next_second() {
    local now i
    now=$(date +%s)
    for i in $(seq 40); do
        [ "$(date +%s)" != "$now" ] && return 0
        sleep 0.05
    done
}

# check_job_line NAME TAG FILE [GIVEN]: standard output is the line of the one job in lp,
# with its number and FILE's size (the name GIVEN on the command line, default FILE).
check_job_line() {
    local n
    n=$(control_files | sed -n 's/^cfA0*\([0-9][0-9]*\).*/\1/p')
    check_eq "$1: the job line" "$dest: job $n queued (${4:-$3}, $(wc -c <"$3") bytes)" "$(out "$2")"
}

# The control file vexlolpr should send: HOST USER JOBNAME CLASS NOBANNER FORMAT COPIES
# STEM FILE, with "-" for no class.
expected_control() {
    local host=$1 user=$2 jobname=$3 class=$4 nobanner=$5 format=$6 copies=$7 stem=$8 file=$9 i
    printf 'H%s\nP%s\nJ%s\n' "$host" "$user" "$jobname"
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

# check_job NAME FILE HOST USER JOBNAME CLASS NOBANNER FORMAT COPIES [GIVEN]: exactly one
# job in lp, its data file equal to FILE, its control file as expected for the file name
# GIVEN on the command line (default FILE).
check_job() {
    local name=$1 file=$2 host=$3 user=$4 jobname=$5 class=$6 nobanner=$7 format=$8 copies=$9 cf stem
    local given=${10:-$2}
    cf=$(control_files)
    if [ "$(printf '%s\n' "$cf" | sed '/^$/d' | wc -l)" -ne 1 ]; then
        fail "$name: one job in the queue" "spool: $(ls "$spool/lp" | tr '\n' ' ')"
        return 1
    fi
    pass "$name: one job in the queue ($cf)"
    stem=${cf#c}
    check_match "$name: the job's files carry the client host" "^cfA[0-9]{3}$host\$" "$cf"
    check_cmp "$name: data file equals $(basename "$file"), byte for byte" "$file" "$spool/lp/d$stem"
    expected_control "$host" "$user" "$jobname" "$class" "$nobanner" "$format" "$copies" "$stem" "$given" \
        >"$work/cf.expected"
    check_cmp "$name: control file as expected" "$work/cf.expected" "$spool/lp/$cf"
    if ! cmp -s "$work/cf.expected" "$spool/lp/$cf"; then
        diff -u "$work/cf.expected" "$spool/lp/$cf" | sed 's/^/       /'
    fi
}

# The listing straight from the server, to compare with what vexlolpr writes.
raw_listing() { # QUEUE OUTFILE [COMMAND: 3 short (default), 4 long]
    timeout -k 2 15 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" && printf "\00$3%s\n" "$2" >&3 && cat <&3' \
        raw "$port" "$1" "${3:-3}" >"$2" 2>/dev/null
}

# Runs a command in a network namespace of its own with nothing in it, so that a name
# lookup cannot leave the machine.  Empty when no namespace can be made.
isolation=""
if unshare -n true 2>/dev/null; then
    isolation="unshare -n"
elif unshare -r -n true 2>/dev/null; then
    isolation="unshare -r -n"
fi

# ---- groups ---------------------------------------------------------------------------------

group_usage() {
    start_server
    echo "hello" >"$work/hello.txt"

    run version --version
    expect_success "--version" version
    check_eq "--version names the project version" "vexlolpr $version" "$(out version)"

    run help --help
    expect_success "--help" help
    check_match "--help shows the usage" "^usage: vexlolpr print \[options\] \[FILE\.\.\.\]" "$(out help)"
    local cmd
    for cmd in print queue remove check; do
        check_match "--help lists the command $cmd" "^  $cmd " "$(out help)"
    done
    check_match "--help documents the exit statuses" "130 interrupted" "$(out help)"

    for cmd in print queue remove check; do
        run "help-$cmd" "$cmd" --help
        expect_success "$cmd --help" "help-$cmd"
        check_match "$cmd --help shows its own usage" "^usage: vexlolpr $cmd " "$(out "help-$cmd")"
        check_match "$cmd --help lists the destination options" "-P, --printer" "$(out "help-$cmd")"
    done
    check_match "print --help lists the job options" "--copies N" "$(out help-print)"
    check_no_match "queue --help leaves the job options out" "--copies" "$(out help-queue)"
    run help-after print -P x --help
    check_eq "--help after other options: exit status 0" 0 "$rc"
    check_match "--help after other options: the command's help" "^usage: vexlolpr print " "$(out help-after)"

    expect_usage "no arguments" none "no command given" 
    expect_usage "unknown command" badcmd "unknown command 'prnt'" prnt
    expect_usage "standard input twice" stdin-twice "standard input \\('-'\\) given more than once" print -P "$dest" - -
    expect_usage "no destination" nodest \
        "no destination: give -P QUEUE@HOST, or -P QUEUE with -H HOST, or set PRINTER=QUEUE@HOST$" \
        print "$work/hello.txt"
    expect_usage "-P without a host" nohost "no server host for queue 'lp'" print -P lp "$work/hello.txt"
    expect_usage "-H without a queue" noqueue "no queue given" print -H 127.0.0.1 "$work/hello.txt"
    expect_usage "host both in -P and -H" twohosts "the host is given twice" \
        print -P "$dest" -H 127.0.0.1 "$work/hello.txt"
    expect_usage "empty queue name" emptyqueue "no queue name in -P '@127.0.0.1'" print -P @127.0.0.1 "$work/hello.txt"
    expect_usage "empty host name" emptyhost "no host name after '@'" print -P lp@ "$work/hello.txt"
    expect_usage "empty -P" emptyp "empty -P" print -P "" "$work/hello.txt"
    expect_usage "empty -H" emptyh "empty -H" print -P lp -H "" "$work/hello.txt"
    local bad
    for bad in 0 65536 99999 abc 5x ""; do
        expect_usage "port '$bad'" "port-$bad" "bad server '127.0.0.1:$bad'" print -P "lp@127.0.0.1:$bad" "$work/hello.txt"
    done
    for bad in 0 65536 -1 two 1.5; do
        expect_usage "copies '$bad'" "copies-$bad" "bad number of copies" print -P "$dest" -# "$bad" "$work/hello.txt"
    done
    for bad in F ff 1 ""; do
        expect_usage "format '$bad'" "format-$bad" "bad format" print -P "$dest" --format "$bad" "$work/hello.txt"
    done
    expect_usage "reply time-out 0" timeout0 "bad reply time-out '0'" print -P "$dest" --reply-timeout 0 "$work/hello.txt"
    expect_usage "waiting time too long" waitbusy "bad waiting time '86401'" print -P "$dest" --wait-busy 86401 "$work/hello.txt"
    expect_usage "unknown short option" unknown-short "unknown option -x" print -x -P "$dest" "$work/hello.txt"
    expect_usage "unknown long option" unknown-long "unknown option --colour$" print --colour=red -P "$dest" "$work/hello.txt"
    expect_usage "-P without its value" novalue "option -P needs a value" print "$work/hello.txt" -P
    expect_usage "--user without its value" novalue-long "option --user needs a value" print "$work/hello.txt" --user
    expect_usage "job option with queue" jobopt-queue "option -J applies to print only" queue -P "$dest" -J name
    expect_usage "job option with check" jobopt-check "option --control-first applies to print only" check -P "$dest" --control-first
    expect_usage "job option with remove" jobopt-remove "option -h applies to print only" remove -P "$dest" -h 12
    expect_usage "queue option with print" queueopt-print "option --long applies to queue only" print -P "$dest" --long "$work/hello.txt"
    expect_usage "-l with check" ell-check "option -l applies to print and queue only" check -P "$dest" -l
    expect_usage "--wait with remove" wait-remove "option --wait applies to print only" remove -P "$dest" --wait 12
    expect_usage "--no-check with print" nocheck-print "option --no-check applies to remove only" \
        print -P "$dest" --no-check "$work/hello.txt"
    for bad in 0 x ""; do
        expect_usage "--wait=$bad" "wait-$bad" "bad time limit '$bad' for --wait" print -P "$dest" --wait="$bad" "$work/hello.txt"
    done
    for bad in 0 11 x; do
        expect_usage "--retry=$bad" "retry-$bad" "bad number of tries '$bad' for --retry" print -P "$dest" --retry="$bad" "$work/hello.txt"
    done
    expect_usage "remove without a job number" rm-none "no job number given" remove -P "$dest"
    for bad in 0 65536 abc -3; do
        expect_usage "remove job '$bad'" "rm-$bad" "bad job number '$bad'" remove -P "$dest" -- "$bad"
    done
    expect_usage "queue with an operand" queue-operand "unexpected operand 'extra'" queue -P "$dest" extra
    expect_usage "empty user name" emptyuser "empty user name" print -P "$dest" -U "" "$work/hello.txt"
    check_eq "usage errors reach no server" 0 "$(connections)"

    # A queue name the protocol cannot carry is refused before anything is sent.
    run badname print -P "l p@127.0.0.1:$port" "$work/hello.txt"
    expect_error "queue name with a space" badname 2 \
        "vexlolpr: The printer name can't be sent to the server: it holds a space or a control character (error 5100)"
    check_eq "a refused name reaches no server" 0 "$(connections)"

    # PRINTER, in the same form as -P.
    run_env printer "PRINTER=$dest" -- check
    expect_success "PRINTER=$dest" printer
    check_eq "PRINTER: check names the destination" "$dest accepts jobs" "$(out printer)"
    run_env printer-other "PRINTER=nosuch@127.0.0.1:$port" -- check
    expect_error "PRINTER names the queue" printer-other 1 \
        "vexlolpr: Server error: perhaps there is no nosuch printer (error 5012)"
    run_env printer-over "PRINTER=nosuch@127.0.0.1:$port" -- check -P "$dest"
    expect_success "-P wins over PRINTER" printer-over
    run_env printer-queue "PRINTER=other" -- check -H "127.0.0.1:$port"
    expect_success "PRINTER with a queue only, and -H" printer-queue
    check_eq "PRINTER with -H: the destination" "other@127.0.0.1:$port accepts jobs" "$(out printer-queue)"
    run_env printer-h "PRINTER=lp@nosuch.invalid" -- check -H "127.0.0.1:$port"
    expect_success "-H wins over the host in PRINTER" printer-h
    check_eq "-H wins over the host in PRINTER: the destination" "$dest accepts jobs" "$(out printer-h)"
    run_env printer-nohost "PRINTER=lp" -- check
    check_eq "PRINTER without a host: exit status 2" 2 "$rc"
    check_match "PRINTER without a host: says so" "PRINTER names no host" "$(err printer-nohost)"
    run_env printer-empty "PRINTER=" -- check
    check_eq "empty PRINTER: exit status 2" 2 "$rc"
    check_match "empty PRINTER: no destination" "^vexlolpr: no destination" "$(err printer-empty)"

    # Options may follow the command's operands, and -- ends them.
    run_env late "PRINTER=$dest" -- check --quiet
    expect_success "options after the command" late
    check_eq "--quiet: no success message" "" "$(out late)"
    run_env posix "POSIXLY_CORRECT=1" -- check -P "$dest"
    expect_success "options after the command with POSIXLY_CORRECT" posix
}

group_errors() {
    start_server
    echo "hello" >"$work/hello.txt"
    : >"$work/empty.txt"
    mkdir "$work/adir"

    # The unresolvable host: checked where no name lookup can leave the machine.
    if [ -n "$isolation" ]; then
        local cmd
        for cmd in print queue check remove; do
            local args=() what=""
            case $cmd in
            print) args=("$work/hello.txt") ;;
            remove) args=(17) what="lp@nosuch.invalid: cannot list the queue: " ;;
            esac
            timeout -k 5 60 $isolation "$cli" "$cmd" -P lp@nosuch.invalid "${args[@]}" \
                >"$work/nosuch-$cmd.out" 2>"$work/nosuch-$cmd.err" </dev/null
            rc=$?
            expect_error "$cmd on an unresolvable host" "nosuch-$cmd" 1 \
                "vexlolpr: ${what}Can't resolve host name nosuch.invalid (error 4914)"
            check_eq "$cmd on an unresolvable host: nothing on standard output" "" "$(out "nosuch-$cmd")"
        done
    else
        echo "     (no network namespace: the unresolvable host is not tried)"
    fi

    local before
    before=$(connections)
    run missing print -P "$dest" "$work/nosuch.txt"
    expect_error "missing file" missing 3 "vexlolpr: $work/nosuch.txt: File not found (error 4977)"
    run empty print -P "$dest" "$work/empty.txt"
    expect_error "empty file" empty 3 \
        "vexlolpr: $work/empty.txt: Unexpected end of file or dir (error 4965; the file is empty)"
    run dir print -P "$dest" "$work/adir"
    expect_error "directory" dir 3 "vexlolpr: $work/adir: File not found (error 4977; is a directory)"
    run devnull print -P "$dest" /dev/null
    expect_error "device" devnull 3 "vexlolpr: /dev/null: File not found (error 4977; not a regular file)"
    check_eq "local file problems reach no server" "$before" "$(connections)"

    run unknown print -P "nosuch@127.0.0.1:$port" "$work/hello.txt"
    expect_error "unknown queue" unknown 1 "vexlolpr: Server error: perhaps there is no nosuch printer (error 5012)"
    check_match "unknown queue: the server refused it" "rejected: receive job: unknown printer nosuch" \
        "$(cat "$work/lpd.log")"

    local closed
    closed=$(closed_port)
    run refused print -P "lp@127.0.0.1:$closed" "$work/hello.txt"
    check_eq "nothing listening: exit status 1" 1 "$rc"
    check_match "nothing listening: one error line" \
        "^vexlolpr: LPD is not running on remote host \(error [0-9]+\)$" "$(err refused)"
    check_eq "nothing listening: one line on standard error" 1 "$(wc -l <"$work/refused.err")"

    # --reply-timeout bounds the wait for a server that never answers (the default
    # would wait 30 s).
    if start_silent; then
        local cmd started
        for cmd in print queue check; do
            started=$SECONDS
            if [ "$cmd" = print ]; then
                run "silent-$cmd" print -P "lp@127.0.0.1:$silent_port" --reply-timeout 1500 "$work/hello.txt"
            else
                run "silent-$cmd" "$cmd" -P "lp@127.0.0.1:$silent_port" --reply-timeout 1500
            fi
            check_eq "$cmd on a silent server: exit status 1" 1 "$rc"
            check_eq "$cmd on a silent server: gives up after the reply time-out" 1 "$((SECONDS - started <= 8))"
            check_match "$cmd on a silent server: one error line" "^vexlolpr: .* \(error [0-9]+\)$" "$(err "silent-$cmd")"
            check_eq "$cmd on a silent server: one line on standard error" 1 "$(wc -l <"$work/silent-$cmd.err")"
        done
    else
        echo "     (python3 not found: no silent server)"
    fi

    # Several files: each is tried; the status is the first failure's, each line names
    # its file.
    run several-1 print -P "nosuch@127.0.0.1:$port" "$work/hello.txt" "$work/nosuch.txt"
    check_eq "server failure, then a missing file: the first failure's status" 1 "$rc"
    check_eq "server failure, then a missing file: a line for each" \
        "vexlolpr: $work/hello.txt: Server error: perhaps there is no nosuch printer (error 5012)|vexlolpr: $work/nosuch.txt: File not found (error 4977)" \
        "$(tr '\n' '|' <"$work/several-1.err" | sed 's/|$//')"
    run several-2 print -P "nosuch@127.0.0.1:$port" "$work/nosuch.txt" "$work/hello.txt"
    check_eq "missing file, then a server failure: the first failure's status" 3 "$rc"
    check_eq "missing file, then a server failure: two lines" 2 "$(wc -l <"$work/several-2.err")"

    clear_queue
    cp "$work/hello.txt" "$work/second.txt"
    run several-3 print -P "$dest" "$work/hello.txt" "$work/nosuch.txt" "$work/second.txt"
    check_eq "a missing file among good ones: status 3" 3 "$rc"
    check_eq "a missing file among good ones: its line" "vexlolpr: $work/nosuch.txt: File not found (error 4977)" \
        "$(err several-3)"
    check_eq "a missing file among good ones: the others are queued" 2 "$(control_files | wc -l)"
    check_eq "a job line for each job queued" 2 "$(grep -c "^$dest: job [0-9]* queued ($work/[a-z]*.txt, 6 bytes)$" "$work/several-3.out")"
    check_eq "no job left half-way" "" "$(grep -E 'abandoned|discarded|closed by the client' "$work/lpd.log")"
}

group_print() {
    start_server
    printf 'first line\nsecond line\n\tindented third\n' >"$work/text.txt"
    local i octal=""
    for i in $(seq 0 255); do
        octal="$octal\\$(printf '%03o' "$i")"
    done
    printf "$octal$octal" >"$work/bytes.bin"
    head -c 5000000 /dev/urandom >"$work/large.bin"

    local me host
    me=$(id -un)
    host=$(uname -n)
    host=${host%%.*}

    # Defaults: the login name, the short host name, one copy, format f, banner, data
    # file first, the file name as the job name.
    clear_queue
    run defaults print -P "$dest" "$work/text.txt"
    expect_success "defaults" defaults
    check_job_line defaults defaults "$work/text.txt"
    check_job "defaults" "$work/text.txt" "$host" "$me" "$work/text.txt" - 0 f 1
    check_match "defaults: data file first" "#[0-9]+ data file dfA[^|]*\|[^|]*#[0-9]+ control file cfA" \
        "$(grep -E ' (data|control) file ' "$work/lpd.log" | tr '\n' '|')"

    # The time settings reach the library (its trace shows them), and --trace writes
    # the trace on standard error.
    clear_queue
    run trace print -P "$dest" --trace --reply-timeout 12345 --wait-busy 7 "$work/text.txt"
    check_eq "--trace: exit status 0" 0 "$rc"
    check_match "--trace: the library's trace on standard error" "LPR_Print\(\) entered" "$(err trace)"
    check_match "--reply-timeout and --wait-busy reach the library" "lpr-timeout=7 reply-timeout=12345" "$(err trace)"
    clear_queue
    run defaults-trace print -P "$dest" --trace "$work/text.txt"
    check_match "the default waits reach the library" "lpr-timeout=10 reply-timeout=30000" "$(err defaults-trace)"

    # Chunks go back to back unless --yield asks for the pause between them.
    head -c 40000 /dev/zero | tr '\0' 'y' >"$work/chunks.txt"
    clear_queue
    run noyield print -P "$dest" --trace "$work/chunks.txt"
    check_eq "no yield by default: exit status 0" 0 "$rc"
    # The data file's writes: from 8192 octets, growing while they go out quickly.
    local chunks
    chunks=$(err noyield | awk '/SENDING DATA FILE/ { on = 1 } /DONE SENDING DATA FILE/ { on = 0 }
        on && match($0, /OK sent [0-9]+ bytes/) { n = substr($0, RSTART + 8, RLENGTH - 14); printf "%s ", n }')
    check_match "no yield by default: the first chunk is 8192 octets" "^8192 " "$chunks"
    check_eq "no yield by default: the chunks carry the file, none over 256 KiB" "40000 0" \
        "$(echo "$chunks" | awk '{ for (i = 1; i <= NF; i++) { s += $i; if ($i > 262144) big++ } } END { print s, big + 0 }')"
    check_no_match "no yield by default: no pause between chunks" "Yielding to others" "$(err noyield)"
    clear_queue
    run yield print -P "$dest" --trace --yield "$work/chunks.txt"
    check_eq "--yield: exit status 0" 0 "$rc"
    check_match "--yield: five chunks of 8192 octets at most" "(sent 8192 bytes.*){4}sent 7232 bytes" \
        "$(err yield | tr '\n' ' ')"
    check_match "--yield: pauses between chunks" "Yielding to others" "$(err yield)"
    check_job "--yield" "$work/chunks.txt" "$host" "$me" "$work/chunks.txt" - 0 f 1

    # Every job option.
    clear_queue
    run options print -P "$dest" -U alice --client-host ws-a -# 3 -J "quarterly report" -C Urgent "$work/text.txt"
    expect_success "user, client host, copies, job name, class" options
    check_job "user, client host, copies, job name, class" "$work/text.txt" ws-a alice "quarterly report" Urgent 0 f 3

    clear_queue
    run literal print -P "$dest" --user bob --client-host ws-b --copies 2 -h -C Ignored -l --control-first \
        "$work/bytes.bin"
    expect_success "no banner, format l, control file first" literal
    check_job "no banner, format l, control file first" "$work/bytes.bin" ws-b bob "$work/bytes.bin" - 1 l 2
    local cf
    cf=$(control_files)
    check_match "--control-first: control file first" "control file $cf, [0-9]+ bytes\|[^|]*data file d${cf#c}," \
        "$(grep -E ' (data|control) file ' "$work/lpd.log" | tr '\n' '|')"

    clear_queue
    run titled print -P "$dest" -U carol --client-host ws-c -p "$work/text.txt"
    expect_success "-p" titled
    check_job "-p: titled format" "$work/text.txt" ws-c carol "$work/text.txt" - 0 p 1
    clear_queue
    run quiet print -q -P "$dest" "$work/text.txt"
    expect_success "-q" quiet
    check_eq "-q: no job line" "" "$(out quiet)"
    check_eq "-q: the job is queued" 1 "$(control_files | wc -l)"
    if [ -w /dev/full ]; then
        clear_queue
        timeout -k 5 60 "$cli" print -P "$dest" "$work/text.txt" "$work/text.txt" >/dev/full 2>"$work/full.err" </dev/null
        check_eq "standard output full: exit status 1, both jobs queued" "1 2" "$? $(control_files | wc -l)"
        check_eq "standard output full: said once" "vexlolpr: standard output: No space left on device" "$(err full)"
    fi

    clear_queue
    run format print -P "$dest" -U dave --client-host ws-d --format=o "$work/text.txt"
    expect_success "--format=o" format
    check_job "--format=o" "$work/text.txt" ws-d dave "$work/text.txt" - 0 o 1

    clear_queue
    run large print -P "$dest" -U erin --client-host ws-e "$work/large.bin"
    expect_success "5 MB of random bytes" large
    check_job "5 MB of random bytes" "$work/large.bin" ws-e erin "$work/large.bin" - 0 f 1

    # Options after the operands, -H, and a file whose name starts with '-' after --.
    clear_queue
    cp "$work/text.txt" "$work/-dash.txt"
    (cd "$work" && timeout -k 5 60 "$cli" print -- -dash.txt -P "$dest" -U frank --client-host ws-f \
        >"$work/dash.out" 2>"$work/dash.err" </dev/null)
    rc=$?
    check_eq "after --, -P is an operand: exit status 2" 2 "$rc"
    check_match "after --, -P is an operand: no destination" "^vexlolpr: no destination" "$(err dash)"
    (cd "$work" && timeout -k 5 60 "$cli" print -U frank --client-host ws-f -H "127.0.0.1:$port" -P lp \
        -- -dash.txt >"$work/dash.out" 2>"$work/dash.err" </dev/null)
    rc=$?
    expect_success "-P QUEUE with -H, a file named -dash.txt after --" dash
    check_job "a file named -dash.txt" "$work/-dash.txt" ws-f frank "-dash.txt" - 0 f 1 "-dash.txt"

    # Several files in one run: one job each, every one byte for byte.
    clear_queue
    run several print "$work/text.txt" "$work/bytes.bin" "$work/large.bin" -P "$dest" -U gina --client-host ws-g
    expect_success "three files in one run" several
    check_eq "three files: three jobs" 3 "$(control_files | wc -l)"
    local f d
    for cf in $(control_files); do
        d=$spool/lp/d${cf#c}
        f=$(sed -n 's/^N//p' "$spool/lp/$cf")
        if [ -f "$f" ] && cmp -s "$f" "$d"; then
            pass "three files: $cf carries $(basename "$f") byte for byte"
        else
            fail "three files: $cf carries its file byte for byte" "N=$f"
        fi
    done

    # Ten processes in a row, as a shell loop runs them: most start within the same
    # second as the one before, yet every job keeps a number of its own.
    clear_queue
    local n status=""
    for n in 0 1 2 3 4 5 6 7 8 9; do
        printf 'loop job %s\n' "$n" >"$work/loop$n.txt"
    done
    for n in 0 1 2 3 4 5 6 7 8 9; do
        run "loop$n" print -P "$dest" -U hank --client-host ws-h "$work/loop$n.txt"
        status="$status$rc"
    done
    check_eq "ten processes in a row: all succeed" 0000000000 "$status"
    check_eq "ten processes in a row: ten jobs with distinct numbers" 10 \
        "$(control_files | sed 's/^cfA\([0-9]*\).*/\1/' | sort -u | wc -l)"
    for n in 0 1 2 3 4 5 6 7 8 9; do
        cf=$(grep -l -x "N$work/loop$n.txt" "$spool"/lp/cfA* 2>/dev/null)
        if [ "$(printf '%s\n' "$cf" | sed '/^$/d' | wc -l)" -eq 1 ] &&
            cmp -s "$work/loop$n.txt" "$spool/lp/d${cf##*/c}"; then
            pass "ten processes in a row: job $n arrived whole (${cf##*/})"
        else
            fail "ten processes in a row: job $n arrived whole" "control files naming it: '$cf'" "$(err "loop$n")"
        fi
    done

    check_eq "no job left half-way" "" "$(grep -E 'abandoned|discarded|closed by the client' "$work/lpd.log")"
}

# Called lpr, lpq or lprm, the program takes Windows' switches: every lpr switch reaches
# the job (checked in the spool byte for byte, the files in the order asked for), the
# listing and the removal are vexlolpr's, and errors name the form.
group_forms() {
    start_server
    local bin=$work/bin srv=127.0.0.1:$port me host row name form args file format jobname class first cf n
    me=$(id -un)
    host=$(uname -n)
    host=${host%%.*}
    mkdir -p "$bin"
    for form in lpr lpq lprm; do ln -s "$cli" "$bin/$form"; done
    printf 'first line\n\fsecond page\n' >"$work/text.txt"
    order() { grep -E ' (data|control) file ' "$work/lpd.log" | tail -n 2 | sed -E 's/.* (data|control) file .*/\1/' | tr '\n' ' '; }

    # name | arguments | format | job name | class | the file sent first
    for row in "plain|-S $srv -P lp|f|$work/text.txt|-|control" \
        "-J -C -o l|-S $srv -P lp -J test -C Urgent -o l|l|test|Urgent|control" \
        "-d and -x|-x -d -S $srv -P lp|f|$work/text.txt|-|data" \
        "-P queue@server alone|-P lp@$srv|f|$work/text.txt|-|control"; do
        IFS='|' read -r name args format jobname class first <<<"$row"
        clear_queue
        # shellcheck disable=SC2086 # the arguments are words
        timeout -k 5 60 "$bin/lpr" $args "$work/text.txt" >"$work/lpr.out" 2>"$work/lpr.err" </dev/null
        rc=$?
        expect_success "lpr $name" lpr
        check_eq "lpr $name: says nothing, as Windows' lpr" "" "$(cat "$work/lpr.out")"
        check_job "lpr $name" "$work/text.txt" "$host" "$me" "$jobname" "$class" 0 "$format" 1 "$work/text.txt"
        check_eq "lpr $name: the $first file first" "$first $([ "$first" = data ] && echo control || echo data) " "$(order)"
    done

    # The same job as vexlolpr's own options make it: the same control file, line for
    # line but the job number, in the same order.
    clear_queue
    run own print -P "lp@$srv" -J test -l --control-first "$work/text.txt"
    cf=$(control_files)
    sed -E 's/fA[0-9]{3}/fA#/' "$spool/lp/$cf" >"$work/own.cf"
    check_eq "vexlolpr print -J test -l --control-first: control file first" "control data " "$(order)"
    clear_queue
    timeout -k 5 60 "$bin/lpr" -S "$srv" -P lp -J test -o l "$work/text.txt" >/dev/null 2>&1 </dev/null
    cf=$(control_files)
    sed -E 's/fA[0-9]{3}/fA#/' "$spool/lp/$cf" >"$work/lpr.cf"
    check_cmp "lpr -J test -o l sends vexlolpr's control file" "$work/own.cf" "$work/lpr.cf"

    clear_queue
    timeout -k 5 60 "$bin/lpr" -S "$srv" -P lp "$work/text.txt" "$work/text.txt" >/dev/null 2>&1 </dev/null
    check_eq "lpr with two files: two jobs" 2 "$(control_files | wc -l)"

    # lpq is vexlolpr queue, -l the long form; lprm removes.
    for args in "" "-l"; do
        # shellcheck disable=SC2086
        timeout -k 5 60 "$bin/lpq" -S "$srv" -P lp $args >"$work/lpq.out" 2>&1 </dev/null
        run queue queue -P "lp@$srv" $args
        check_eq "lpq ${args:-(short)}: vexlolpr queue's listing" "$(out queue)" "$(cat "$work/lpq.out")"
    done
    n=$(control_files | head -n 1 | sed 's/^cfA\([0-9]*\).*/\1/')
    timeout -k 5 60 "$bin/lprm" -S "$srv" -P lp "$((10#$n))" >"$work/lprm.out" 2>&1 </dev/null
    check_eq "lprm: exit status 0 and nothing said" "0 " "$? $(cat "$work/lprm.out")"
    check_eq "lprm: the job is gone, the other stays" 1 "$(control_files | wc -l)"

    # Errors in the form's name: the status, the line and where the help is.
    for row in "lpr|-S $srv -P lp -o x $work/text.txt|2|lpr: bad -o 'x': only -o l (send the file as it is)" \
        "lprm|-S $srv -P lp|2|lprm: no job number given" \
        "lpq|-S $srv|2|lpq: no queue given: add -P QUEUE (or set PRINTER=QUEUE)" \
        "lpq|-S nosuch.invalid -P lp|1|lpq: Can't resolve host name nosuch.invalid (error 4914)"; do
        IFS='|' read -r form args n name <<<"$row"
        # shellcheck disable=SC2086
        $isolation timeout -k 5 60 "$bin/$form" $args >"$work/form.out" 2>"$work/form.err" </dev/null
        rc=$?
        check_eq "$form $args: exit status $n" "$n" "$rc"
        check_eq "$form $args: the error line" "$name" "$(head -n 1 "$work/form.err")"
        [ "$n" = 2 ] && check_eq "$form $args: where the help is" "Try '$form --help'." "$(sed -n 2p "$work/form.err")"
    done
    timeout -k 5 60 "$bin/lpr" --help >"$work/help.out" 2>&1 </dev/null
    check_match "lpr --help: the switches" "^usage: lpr -S SERVER -P PRINTER \[-C CLASS\] \[-J JOBNAME\] \[-o l\] \[-x\] \[-d\]" \
        "$(cat "$work/help.out")"
}

group_queue() {
    start_server
    printf 'one\n' >"$work/a.txt"
    head -c 3000 /dev/urandom >"$work/b.bin"

    run empty queue -P "$dest"
    expect_success "empty queue" empty
    raw_listing lp "$work/raw-empty"
    check_cmp "empty queue: the listing as the server sent it" "$work/raw-empty" "$work/empty.out"
    check_eq "empty queue: the server's words" "no entries" "$(out empty)"

    run print-a print -P "$dest" -U alice --client-host ws-a -J first "$work/a.txt"
    wait_next_second
    run print-b print -P "$dest" -U bob --client-host ws-b "$work/b.bin"
    check_eq "two jobs queued" 2 "$(control_files | wc -l)"

    run two queue -P "$dest"
    expect_success "two jobs" two
    raw_listing lp "$work/raw-two"
    check_cmp "two jobs: the listing as the server sent it" "$work/raw-two" "$work/two.out"
    check_eq "two jobs: a heading and two lines" 3 "$(wc -l <"$work/two.out")"
    check_match "two jobs: alice's job" "alice +[0-9]+ +$work/a.txt +4 bytes" "$(out two)"
    check_match "two jobs: bob's job" "bob +[0-9]+ +$work/b.bin +3000 bytes" "$(out two)"
    for opt in -l --long; do
        run "long$opt" queue "$opt" -P "$dest"
        expect_success "long listing ($opt)" "long$opt"
        raw_listing lp "$work/raw-long" 4
        check_cmp "long listing ($opt): as the server sent it" "$work/raw-long" "$work/long$opt.out"
    done
    check_match "long listing: not the short one" "." "$(cmp -s "$work/two.out" "$work/long-l.out" || echo differs)"

    # The server's answer for a queue it does not have is its listing too.
    run other queue -P "nosuch@127.0.0.1:$port"
    expect_success "unknown queue" other
    raw_listing nosuch "$work/raw-other"
    check_cmp "unknown queue: the server's text as sent" "$work/raw-other" "$work/other.out"

    # A closed standard output is a failure, not a silent loss.
    if [ -w /dev/full ]; then
        timeout -k 5 60 "$cli" queue -P "$dest" >/dev/full 2>"$work/full.err" </dev/null
        rc=$?
        check_eq "standard output full: exit status 1" 1 "$rc"
        check_match "standard output full: says so" "^vexlolpr: standard output: " "$(err full)"
    fi
}

# remove looks at the listing before and after: a line and a status for each number,
# and only jobs listed are asked for; --no-check asks for them all and says nothing.
group_remove() {
    start_server
    printf 'remove me\n' >"$work/r.txt"
    local n m row name user args status said told requests stays before
    run print print -P "$dest" -U alice --client-host ws-a "$work/r.txt"
    n=$(control_files | sed -n 's/^cfA0*\([0-9][0-9]*\).*/\1/p')
    [ -n "$n" ] || { fail "job to remove: in the queue" "$(err print)"; return; }
    m=$((n % 999 + 1)) # a number no job has
    # name | user | arguments | exit status | standard output | standard error | removal
    # requests | the job stays
    for row in "another user's job|mallory|$n|7||vexlolpr: $dest: job $n is still in the queue|1|yes" \
        "a job not in the queue|alice|$m|6||vexlolpr: $dest: job $m was not in the queue|0|yes" \
        "--no-check|alice|--no-check $m|0|||1|yes" \
        "the owner's job after a missing one|alice|$m $n|6|$dest: job $n removed|vexlolpr: $dest: job $m was not in the queue|1|no"; do
        IFS='|' read -r name user args status said told requests stays <<<"$row"
        before=$(grep -c 'remove jobs from lp' "$work/lpd.log")
        # shellcheck disable=SC2086 # the arguments are words
        run rm remove -P "$dest" -U "$user" $args
        check_eq "$name: exit status $status" "$status" "$rc"
        check_eq "$name: standard output" "$said" "$(out rm)"
        check_eq "$name: standard error" "$told" "$(err rm)"
        check_eq "$name: removal requests" "$requests" $(($(grep -c 'remove jobs from lp' "$work/lpd.log") - before))
        check_eq "$name: the job stays: $stays" "$stays" "$([ -n "$(control_files)" ] && echo yes || echo no)"
    done

    run print print -P "$dest" "$work/r.txt"
    n=$(control_files | sed -n 's/^cfA0*\([0-9][0-9]*\).*/\1/p')
    run quiet remove -q -P "$dest" "$n"
    expect_success "-q: the job removed" quiet
    check_eq "-q: nothing said, the job gone" "" "$(out quiet)$(control_files)"
}

# A scripted peer in front of vexlolpd, for what vexlolpd never does: MODE drop closes
# the first job's connection at once; hold and reset keep back the first job's last
# acknowledgement until the client gives up, then close the connection to vexlolpd (the
# job is queued) or reset it (the job is thrown away); listing answers every listing
# with TEXT; renumber shows every job number plus 1000.  Its port in fake_port; it ends
# by itself after 90 s without a connection.
fake_port=""
start_fake() { # MODE [TEXT]
    command -v python3 >/dev/null 2>&1 || return 1
    python3 -c 'import re, select, socket, struct, sys
mode, target, text = sys.argv[1], int(sys.argv[2]), sys.argv[3].encode()
ls = socket.create_server(("127.0.0.1", 0))
print(ls.getsockname()[1], flush=True)
ls.settimeout(90)
jobs = 0
while True:
    try:
        c, _ = ls.accept()
    except OSError:
        break
    first = c.recv(65536)
    listing = first[:1] in (b"\3", b"\4")
    jobs += first[:1] == b"\2"
    tricked = jobs == 1 and first[:1] == b"\2" and mode in ("drop", "hold", "reset")
    if listing and mode == "listing" or tricked and mode == "drop":
        c.sendall(text if listing else b"")
        c.close()
        continue
    s = socket.create_connection(("127.0.0.1", target))
    s.sendall(first)
    acks, kept = 0, b""
    while True:
        ready = select.select([c, s], [], [], 60)[0]
        try:
            data = ready[0].recv(65536) if ready else b""
        except OSError:
            data = b""
        if not data:
            break
        if ready[0] is c:
            s.sendall(data)
        elif listing and mode == "renumber":
            kept += data
        else:
            acks += data.count(0)
            if not (tricked and acks >= 5):
                c.sendall(data)
    if kept:
        c.sendall(re.sub(rb"(?m)^(\d+\w\w +\S+ +)(\d+)", lambda m: m[1] + b"%d" % (int(m[2]) + 1000), kept))
    if tricked and mode == "reset":
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()
    c.close()' "$1" "$port" "${2:-}" >"$work/fake.port" &
    extra_pids="$extra_pids $!"
    local i
    for i in $(seq 100); do
        [ -s "$work/fake.port" ] && break
        sleep 0.1
    done
    fake_port=$(cat "$work/fake.port")
    rm -f "$work/fake.port"
    [ -n "$fake_port" ]
}

# wait_line TAG REGEX: until standard output TAG has a line matching REGEX, at most 10 s.
wait_line() {
    local i
    for i in $(seq 100); do
        grep -Eq -- "$2" "$work/$1.out" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# print --wait follows the job in the listing; --retry sends again after a failure, but
# not a job the listing shows; remove's check where the listing cannot tell.
group_follow() {
    start_server
    printf 'follow me\n' >"$work/f.txt"
    local row name args status said told started n fake mode text pid

    # vexlolpd prints nothing: its jobs stay until removed.
    for args in "--wait=2" "-q --wait=2"; do
        clear_queue
        started=$SECONDS
        # shellcheck disable=SC2086
        run held print -P "$dest" $args "$work/f.txt"
        n=$(control_files | sed -n 's/^cfA0*\([0-9][0-9]*\).*/\1/p')
        check_eq "$args on a held job: exit status 4" 4 "$rc"
        check_eq "$args on a held job: ends after the limit" 1 "$((SECONDS - started >= 1 && SECONDS - started <= 8))"
        [ "$args" = "--wait=2" ] && said="$dest: job $n queued ($work/f.txt, 10 bytes)|$dest: job $n is 1st" || said=""
        check_eq "$args on a held job: standard output" "$said" "$(tr '\n' '|' <"$work/held.out" | sed 's/|$//')"
        check_eq "$args on a held job: the time-out" "vexlolpr: $dest: job $n still queued after 2 s" "$(err held)"
    done

    # Removed by another command while followed (the follower stopped meanwhile, so that
    # the removal comes before the look it is meant for); under a number of the server's
    # own; and gone before the first look with an older job of the same name listed.
    for row in "plain||queued" "renumbered|renumber|is listed as job" "an older job of the name|renumber|queued"; do
        IFS='|' read -r name mode said <<<"$row"
        clear_queue
        [ "$name" = "an older job of the name" ] && run older print -P "$dest" "$work/f.txt"
        fake=$dest
        if [ -n "$mode" ]; then
            start_fake "$mode" || { echo "     (python3 not found: no scripted server)"; return; }
            fake=lp@127.0.0.1:$fake_port
        fi
        "$cli" print -P "$fake" --wait=60 "$work/f.txt" >"$work/follow.out" 2>"$work/follow.err" </dev/null &
        pid=$!
        wait_line follow "^$fake: job [0-9]+ $said"
        kill -STOP "$pid"
        n=$(sed -n 's/.*: job \([0-9]*\) queued .*/\1/p' "$work/follow.out")
        run rm remove -P "$dest" "$n"
        kill -CONT "$pid"
        wait_exit "$pid" 30
        check_eq "$name, removed meanwhile: exit status 0" 0 "$rc"
        told="$fake: job $n queued ($work/f.txt, 10 bytes)|$fake: job $n left the queue"
        [ "$name" = renumbered ] && told="$fake: job $n queued ($work/f.txt, 10 bytes)|$fake: job $n is listed as job \
$((n + 1000))|$fake: job $((n + 1000)) is 1st|$fake: job $((n + 1000)) left the queue"
        check_eq "$name, removed meanwhile: standard output" "$told" "$(tr '\n' '|' <"$work/follow.out" | sed 's/|$//')"
        check_eq "$name, removed meanwhile: nothing on standard error" "" "$(err follow)"
    done

    # Ctrl-C ends the pause before the next look at once.
    clear_queue
    start_cli int print -P "$dest" --wait "$work/f.txt"
    wait_line int "is 1st$"
    started=$SECONDS
    kill -INT "$cli_pid"
    wait_exit "$cli_pid" 10
    check_eq "Ctrl-C while following: exit status 130" 130 "$rc"
    check_eq "Ctrl-C while following: ends before the next look" 1 "$((SECONDS - started <= 2))"
    check_match "Ctrl-C while following: says so" "^vexlolpr: $dest: interrupted while following job [0-9]+$" "$(err int)"

    # Listings that cannot tell: remove sends the removal and says so; --wait gives up.
    clear_queue
    for row in "nothing listed||the server lists no jobs" \
        "an unknown form|printer warming up|the listing's form is not known"; do
        IFS='|' read -r name text told <<<"$row"
        start_fake listing "$text" || return
        run cannot print -P "lp@127.0.0.1:$fake_port" --wait "$work/f.txt"
        n=$(control_files | sed -n 's/^cfA0*\([0-9][0-9]*\).*/\1/p')
        check_eq "--wait, $name: exit status 5" 5 "$rc"
        check_eq "--wait, $name: says so" "vexlolpr: lp@127.0.0.1:$fake_port: cannot follow job $n: $told" "$(err cannot)"
        run cannot remove -P "lp@127.0.0.1:$fake_port" "$n"
        check_eq "remove, $name: exit status 5" 5 "$rc"
        check_eq "remove, $name: says so" \
            "vexlolpr: lp@127.0.0.1:$fake_port: job $n: removal sent; the listing cannot tell whether it was removed" "$(err cannot)"
        check_eq "remove, $name: the removal was sent" "" "$(control_files)"
    done

    # mode | --retry | exit status | jobs queued | standard error, beyond the failure line
    for row in "drop||1|0|" "drop|--retry=2|0|1|try 2 of 2 in 1 s" \
        "hold||1|1|job N may be queued: the server did not confirm it" \
        "hold|--retry|0|1|job N may be queued: the server did not confirm it" \
        "reset|--retry|0|1|job N may be queued: the server did not confirm it|try 2 of 3 in 1 s"; do
        IFS='|' read -r mode args status n told <<<"$row"
        clear_queue
        start_fake "$mode" || return
        # shellcheck disable=SC2086
        run retry print -P "lp@127.0.0.1:$fake_port" --reply-timeout 1000 $args "$work/f.txt"
        name="$mode ${args:-(no retry)}"
        check_eq "$name: exit status $status" "$status" "$rc"
        check_eq "$name: jobs queued" "$n" "$(control_files | wc -l)"
        check_eq "$name: standard error" "$told" "$(sed -n "s|^vexlolpr: lp@127.0.0.1:$fake_port: ||p" "$work/retry.err" |
            sed "s|^$work/f.txt: ||; s/^job [0-9]* /job N /" | tr '\n' '|' | sed 's/|$//')"
        [ "$status" = 0 ] && dest=lp@127.0.0.1:$fake_port check_job_line "$name" retry "$work/f.txt"
    done
    run local print -P "$dest" --retry "$work/nosuch.txt"
    expect_error "--retry after a missing file: not sent again" local 3 "vexlolpr: $work/nosuch.txt: File not found (error 4977)"
}

group_check() {
    start_server
    local before
    before=$(ls -A "$spool" "$spool/lp" | sort)
    run ok check -P "$dest"
    expect_success "check on lp" ok
    check_eq "check on lp: the answer" "$dest accepts jobs" "$(out ok)"
    wait_logged 'abort job' 1
    check_match "check on lp: the job was offered and withdrawn" "receive job for lp\|[^|]*abort job" \
        "$(grep -E 'receive job|abort job' "$work/lpd.log" | tr '\n' '|')"
    check_eq "check on lp: nothing spooled" "$before" "$(ls -A "$spool" "$spool/lp" | sort)"

    run quiet check -q -P "$dest"
    expect_success "check --quiet" quiet
    check_eq "check --quiet: nothing on standard output" "" "$(out quiet)"

    run unknown check -P "nosuch@127.0.0.1:$port"
    expect_error "check on an unknown queue" unknown 1 \
        "vexlolpr: Server error: perhaps there is no nosuch printer (error 5012)"
    check_eq "check on an unknown queue: nothing on standard output" "" "$(out unknown)"

    local closed
    closed=$(closed_port)
    run refused check -P "lp@127.0.0.1:$closed"
    check_eq "check where nothing listens: exit status 1" 1 "$rc"
    check_match "check where nothing listens: one error line" "^vexlolpr: .* \(error [0-9]+\)$" "$(err refused)"
}

# Starts vexlolpr in the background with SIGINT at its default, as a terminal would;
# a shell's background job would otherwise ignore it.
start_cli() {
    local tag=$1
    shift
    if env --default-signal=INT true 2>/dev/null; then
        env --default-signal=INT "$cli" "$@" >"$work/$tag.out" 2>"$work/$tag.err" </dev/null &
    else
        python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.execv(sys.argv[1], sys.argv[1:])' "$cli" "$@" >"$work/$tag.out" 2>"$work/$tag.err" </dev/null &
    fi
    cli_pid=$!
}

# wait_exit PID SECONDS: the exit status in rc, 255 when it did not end in time (it is
# then killed).
wait_exit() {
    local pid=$1 i
    for i in $(seq $(($2 * 20))); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid"
            rc=$?
            return 0
        fi
        sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rc=255
    return 1
}

# The size of the data file the server is receiving, 0 while there is none.
incoming_size() {
    local f
    for f in "$spool"/.incoming-*/dfA*; do
        [ -f "$f" ] && stat -c %s "$f" && return
    done
    echo 0
}

group_cancel() {
    env --default-signal=INT true 2>/dev/null || command -v python3 >/dev/null 2>&1 ||
        skip "neither env --default-signal nor python3"
    start_server
    truncate -s 200M "$work/big.bin"

    # Ctrl-C in the middle of a large transfer.
    start_cli big print --yield -P "$dest" "$work/big.bin"
    local i size=0
    for i in $(seq 200); do
        size=$(incoming_size)
        [ "$size" -ge 4000000 ] && break
        kill -0 "$cli_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ "$size" -lt 4000000 ]; then
        fail "the transfer got going" "server has $size bytes; $(err big)"
        kill "$cli_pid" 2>/dev/null
        wait "$cli_pid" 2>/dev/null
        return
    fi
    pass "the transfer got going ($size bytes at the server)"
    local started=$SECONDS
    kill -INT "$cli_pid"
    wait_exit "$cli_pid" 20
    check_eq "cancelled: exit status 130" 130 "$rc"
    check_eq "cancelled: ends within 5 s" 1 "$((SECONDS - started <= 5))"
    check_match "cancelled: one line with the cancel's code" "^vexlolpr: interrupted: .* \(error 4601\)$" "$(err big)"
    check_eq "cancelled: one line on standard error" 1 "$(wc -l <"$work/big.err")"
    check_eq "cancelled: nothing on standard output" "" "$(out big)"
    # The cancel resets the connection inside the data file (vexlolpd: "connection
    # failed"), and the server throws the job away.
    for i in $(seq 50); do
        grep -q 'data file dfA.*: connection failed' "$work/lpd.log" && break
        sleep 0.1
    done
    check_match "cancelled: the server saw the connection reset in the data file" \
        'data file dfA[0-9]{3}[^ ]*: connection failed' "$(cat "$work/lpd.log")"
    check_no_match "cancelled: the server queued nothing" "queued cfA" "$(cat "$work/lpd.log")"
    check_eq "cancelled: nothing in the queue" "" "$(ls -A "$spool/lp")"
    for i in $(seq 50); do
        [ -z "$(ls -d "$spool"/.incoming-* 2>/dev/null)" ] && break
        sleep 0.1
    done
    check_eq "cancelled: nothing left half-received" "" "$(ls -d "$spool"/.incoming-* 2>/dev/null)"
    run after queue -P "$dest"
    check_eq "cancelled: the listing is empty" "no entries" "$(out after)"

    # Files after the interrupted one are not tried.
    printf 'small\n' >"$work/small.txt"
    start_cli rest print --yield -P "$dest" "$work/big.bin" "$work/small.txt"
    for i in $(seq 200); do
        [ "$(incoming_size)" -ge 2000000 ] && break
        kill -0 "$cli_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -INT "$cli_pid"
    wait_exit "$cli_pid" 20
    check_eq "cancel with a file to follow: exit status 130" 130 "$rc"
    check_match "cancel with a file to follow: says what was left" "^vexlolpr: interrupted: 1 of 2 files not sent$" \
        "$(err rest)"
    check_eq "cancel with a file to follow: nothing queued" "" "$(ls -A "$spool/lp")"

    # Ctrl-C twice in a row: over at once, still nothing queued.
    start_cli twice print --yield -P "$dest" "$work/big.bin"
    for i in $(seq 200); do
        [ "$(incoming_size)" -ge 2000000 ] && break
        kill -0 "$cli_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -INT "$cli_pid"
    kill -INT "$cli_pid"
    wait_exit "$cli_pid" 10
    check_eq "two interrupts: exit status 130" 130 "$rc"
    check_match "two interrupts: says it was interrupted" "interrupted" "$(err twice)"
    sleep 0.5
    check_eq "two interrupts: nothing queued" "" "$(ls -A "$spool/lp")"

    # A check against a server that never answers ends at the first interrupt, long
    # before its reply time-out.
    if start_silent; then
        start_cli silent check -P "lp@127.0.0.1:$silent_port" --reply-timeout 30000
        sleep 1
        kill -0 "$cli_pid" 2>/dev/null && pass "check on a silent server is waiting" ||
            fail "check on a silent server is waiting" "$(err silent)"
        started=$SECONDS
        kill -INT "$cli_pid"
        wait_exit "$cli_pid" 10
        check_eq "check interrupted: exit status 130" 130 "$rc"
        check_eq "check interrupted: ends within 3 s" 1 "$((SECONDS - started <= 3))"
        check_eq "check interrupted: the line" "vexlolpr: interrupted" "$(err silent)"
    fi

    # Started with SIGINT ignored (a background job of a script), it stays ignored.
    "$cli" print --yield -P "$dest" "$work/big.bin" >"$work/ignored.out" 2>"$work/ignored.err" </dev/null &
    cli_pid=$!
    for i in $(seq 200); do
        [ "$(incoming_size)" -ge 1000000 ] && break
        kill -0 "$cli_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -INT "$cli_pid"
    sleep 1
    if kill -0 "$cli_pid" 2>/dev/null; then
        pass "SIGINT ignored by the parent: the transfer goes on"
    else
        fail "SIGINT ignored by the parent: the transfer goes on" "$(err ignored)"
    fi
    kill -TERM "$cli_pid" 2>/dev/null
    wait "$cli_pid" 2>/dev/null
}

# run_pty TAG ARGS...: vexlolpr with a pseudo-terminal as standard error (window 100
# columns); what the terminal received in $work/TAG.tty, standard output in
# $work/TAG.out, the exit status in rc.
run_pty() {
    local tag=$1
    shift
    timeout -k 5 90 python3 -c '
import os, pty, select, struct, subprocess, sys, time, fcntl, termios
tty_file, out_file = sys.argv[1], sys.argv[2]
master, slave = pty.openpty()
fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
with open(out_file, "wb") as out:
    child = subprocess.Popen(sys.argv[3:], stdin=subprocess.DEVNULL, stdout=out, stderr=slave)
os.close(slave)
data = b""
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    ready, _, _ = select.select([master], [], [], 0.2)
    if ready:
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break  # every copy of the terminal closed: the command is over
        if not chunk:
            break
        data += chunk
if time.monotonic() >= deadline:
    child.kill()
open(tty_file, "wb").write(data)
sys.exit(child.wait(timeout=10))' "$work/$tag.tty" "$work/$tag.out" "$cli" "$@"
    rc=$?
}

group_tty() {
    command -v python3 >/dev/null 2>&1 || skip "python3 not found"
    python3 -c 'import pty' 2>/dev/null || skip "python3 has no pty module"
    start_server
    head -c 3000000 /dev/urandom >"$work/three.bin"

    run_pty shown print -P "$dest" -U alice --client-host ws-a "$work/three.bin"
    check_eq "status display: exit status 0" 0 "$rc"
    local screen
    screen=$(tr -d '\r' <"$work/shown.tty" | sed 's/\x1b\[[0-9]*[A-Za-z]//g')
    check_match "status display: drawn" "LPR Printing I/O Status" "$screen"
    check_match "status display: the host" "host: 127\.0\.0\.1:$port" "$screen"
    check_match "status display: the printer" "printer: lp" "$screen"
    check_match "status display: the byte counter at its end, with a full bar" \
        "Transferred 3000000 out of 3000000 bytes \[#{20}\] 100%" "$screen"
    check_match "status display: redrawn in place" $'\x1b\\[[0-9]+A' "$(cat "$work/shown.tty")"
    check_eq "status display: the job arrived" 1 "$(control_files | wc -l)"
    local cf
    cf=$(control_files)
    check_cmp "status display: the data file byte for byte" "$work/three.bin" "$spool/lp/d${cf#c}"
    clear_queue

    run_pty quiet print -q -P "$dest" -U alice --client-host ws-a "$work/three.bin"
    check_eq "--quiet on a terminal: exit status 0" 0 "$rc"
    check_eq "--quiet on a terminal: nothing drawn" "" "$(cat "$work/quiet.tty")"
    clear_queue

    # The same job with standard error not a terminal: nothing but what goes wrong.
    run plain print -P "$dest" -U alice --client-host ws-a "$work/three.bin"
    expect_success "standard error not a terminal: nothing drawn" plain
    clear_queue

    # A failure after the display went up: the error line comes below it.
    run_pty refused print -P "nosuch@127.0.0.1:$port" "$work/three.bin"
    check_eq "failure on a terminal: exit status 1" 1 "$rc"
    screen=$(tr -d '\r' <"$work/refused.tty" | sed 's/\x1b\[[0-9]*[A-Za-z]//g')
    check_match "failure on a terminal: the display was up" "LPR Printing I/O Status" "$screen"
    check_eq "failure on a terminal: the error line comes last" \
        "vexlolpr: Server error: perhaps there is no nosuch printer (error 5012)" \
        "$(printf '%s\n' "$screen" | sed '/^$/d' | tail -n 1)"
}

# Each manual page renders without warnings, covers every option its program's help
# shows (and each command's help) and lists the exit statuses.  vexlolpd.1 lies beside
# vexlolpr.1.
group_manpage() {
    local row page prog cmds statuses cmd opt text status
    # page | program | commands with a help of their own | exit statuses
    for row in "$manpage|$cli|print queue remove check|0 1 2 3 4 5 6 7 130" \
        "$(dirname "$manpage")/vexlolpd.1|$server||0 1 2"; do
        IFS='|' read -r page prog cmds statuses <<<"$row"
        [ -f "$page" ] || {
            fail "${page##*/} exists" "$page"
            continue
        }
        if command -v groff >/dev/null 2>&1; then
            check_eq "${page##*/} renders without warnings" "" "$(groff -man -Tutf8 -ww -z "$page" 2>&1)"
        else
            echo "     (groff not found: ${page##*/} not rendered)"
        fi
        text=$(sed 's/\\-/-/g; s/\\f[BIRP]//g' "$page")
        for cmd in "" $cmds; do
            timeout -k 5 60 "$prog" $cmd --help >"$work/help.out" 2>/dev/null </dev/null
            check_eq "${prog##*/} ${cmd:+$cmd }--help: exit status 0" 0 "$?"
            for opt in $(grep -oE -- '(^|[ ,])--?[a-zA-Z#][a-z-]*' "$work/help.out" | sed 's/^[ ,]*//' | sort -u); do
                case $opt in --help | --version | -) continue ;; esac
                check_match "${page##*/} documents ${cmd:-${prog##*/}} $opt" "(^|[ ,\"])$opt([ ,\"]|$)" "$text"
            done
        done
        for status in $statuses; do
            check_match "${page##*/} lists exit status $status" "^\\.B $status\$" "$(cat "$page")"
        done
    done
}

# A 3 GiB file, sparse here, goes whole: its count is the true 64-bit size, the octets
# arrive where they belong, and the chunks go back to back at full speed.
# Standard input: kept in a private file under $TMPDIR while its job runs, sent as
# "(stdin)", and gone after success, failure, an empty input, Ctrl-C and SIGTERM.
group_stdin() {
    start_server
    local tmp=$work/tmp me host n
    me=$(id -un)
    host=$(uname -n)
    host=${host%%.*}
    mkdir -p "$tmp"
    left() { ls -A "$tmp"; }
    printf 'x%.0s' $(seq 1 100000) >"$work/xs"

    printf 'x%.0s' $(seq 1 100000) | TMPDIR=$tmp timeout -k 5 60 "$cli" print -P "$dest" >"$work/pipe.out" 2>"$work/pipe.err"
    rc=$?
    expect_success "a pipe" pipe
    check_job "a pipe" "$work/xs" "$host" "$me" "(stdin)" - 0 f 1 "(stdin)"
    check_job_line "a pipe" pipe "$work/xs" "(stdin)"
    check_eq "a pipe: nothing left in TMPDIR" "" "$(left)"
    clear_queue
    # A relative TMPDIR names the same place after the job moved into its folder.
    (cd "$work" && TMPDIR=tmp timeout -k 5 60 "$cli" print -P "$dest" <"$work/xs" >"$work/rel.out" 2>"$work/rel.err")
    rc=$?
    expect_success "a relative TMPDIR" rel
    check_eq "a relative TMPDIR: nothing left in it" "" "$(left)"
    clear_queue

    # '-' among relative names: the files after it are still found where they were.
    printf 'one\n' >"$work/one.txt"
    printf 'two\n' >"$work/two.txt"
    (cd "$work" && TMPDIR=$tmp timeout -k 5 60 "$cli" print -P "$dest" -J mixed one.txt - two.txt <"$work/xs" \
        >"$work/mixed.out" 2>"$work/mixed.err")
    rc=$?
    expect_success "'-' between files" mixed
    settle
    check_eq "'-' between files: their names as given" "(stdin) one.txt two.txt" \
        "$(cat "$spool"/lp/cfA* | sed -n 's/^N//p' | sort | tr '\n' ' ' | sed 's/ $//')"
    check_eq "'-' between files: -J names them all" "3" "$(cat "$spool"/lp/cfA* | grep -c '^Jmixed$')"
    check_eq "'-' between files: nothing left in TMPDIR" "" "$(left)"
    clear_queue

    # name | TMPDIR | destination | input | file size limit (blocks) | exit status | error line
    local row name dir to input limit status line
    for row in "empty input|$tmp|$dest|/dev/null|unlimited|3|vexlolpr: (stdin): standard input is empty: nothing to print" \
        "no TMPDIR|$work/nosuch|$dest|$work/xs|unlimited|3|vexlolpr: (stdin): cannot keep it in a temporary file (No such file or directory)" \
        "a size limit|$tmp|$dest|$work/xs|20|3|vexlolpr: (stdin): cannot keep it in a temporary file (File too large)" \
        "a failed job|$tmp|lp@127.0.0.1:1|$work/xs|unlimited|1|"; do
        IFS='|' read -r name dir to input limit status line <<<"$row"
        TMPDIR=$dir timeout -k 5 60 bash -c 'ulimit -f "$1" && shift && exec "$@"' limit "$limit" \
            "$cli" print -P "$to" <"$input" >"$work/row.out" 2>"$work/row.err"
        rc=$?
        check_eq "$name: exit status $status" "$status" "$rc"
        [ -n "$line" ] && check_eq "$name: the error line" "$line" "$(cat "$work/row.err")"
        check_eq "$name: no job" "" "$(control_files)"
        check_eq "$name: nothing left in TMPDIR" "" "$(left)"
    done

    # Interrupted while the input is still coming: a FIFO held open by this shell.
    env --default-signal=INT true 2>/dev/null || skip "env --default-signal missing"
    for row in "Ctrl-C|INT|130" "SIGTERM|TERM|143"; do
        IFS='|' read -r name sig status <<<"$row"
        rm -f "$work/fifo"
        mkfifo "$work/fifo"
        TMPDIR=$tmp env --default-signal=INT "$cli" print -P "$dest" <"$work/fifo" >"$work/int.out" 2>"$work/int.err" &
        cli_pid=$!
        exec 7>"$work/fifo"
        printf 'partial input' >&7
        for n in $(seq 100); do
            [ -n "$(left)" ] && [ -s "$tmp"/*/"(stdin)" ] 2>/dev/null && break
            sleep 0.05
        done
        check_eq "$name: the input is kept private" "700 600" \
            "$(stat -c %a "$tmp"/* 2>/dev/null) $(stat -c %a "$tmp"/*/"(stdin)" 2>/dev/null)"
        kill -"$sig" "$cli_pid"
        wait_exit "$cli_pid" 10
        exec 7>&-
        check_eq "$name while reading: exit status $status" "$status" "$rc"
        check_eq "$name while reading: no job" "" "$(control_files)"
        check_eq "$name while reading: nothing left in TMPDIR" "" "$(left)"
    done

    # Ctrl-C twice during the transfer: the second one ends the command at once.
    head -c 200M /dev/zero >"$work/zeros"
    TMPDIR=$tmp env --default-signal=INT "$cli" print --yield -P "$dest" <"$work/zeros" >"$work/int2.out" 2>"$work/int2.err" &
    cli_pid=$!
    for n in $(seq 200); do
        [ "$(incoming_size)" -ge 2000000 ] && break
        sleep 0.05
    done
    kill -INT "$cli_pid"
    kill -INT "$cli_pid"
    wait_exit "$cli_pid" 20
    check_eq "Ctrl-C twice in the transfer: exit status 130" 130 "$rc"
    check_eq "Ctrl-C twice in the transfer: nothing left in TMPDIR" "" "$(left)"
}

group_huge() {
    local size=$((3 * 1024 * 1024 * 1024)) free me host
    me=$(id -un)
    host=$(uname -n)
    host=${host%%.*}
    free=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
    # The server keeps the zero runs as holes; the marks take a few blocks.
    [ "${free:-0}" -gt 65536 ] || skip "less than 64 MiB free in $work"
    start_server
    truncate -s "$size" "$work/huge.bin"
    printf 'BEGIN' | dd of="$work/huge.bin" conv=notrunc status=none
    printf 'MIDDLE' | dd of="$work/huge.bin" bs=1 seek=$((size / 2 + 1)) conv=notrunc status=none
    printf 'END' | dd of="$work/huge.bin" bs=1 seek=$((size - 3)) conv=notrunc status=none
    local started=$(date +%s%N)
    run huge print -P "$dest" -J huge "$work/huge.bin"
    local ms=$((($(date +%s%N) - started) / 1000000))
    expect_success "3 GiB" huge
    check_match "3 GiB: the server took the true count" "data file dfA[^ ]*, $size bytes" "$(cat "$work/lpd.log")"
    check_job "3 GiB" "$work/huge.bin" "$host" "$me" huge - 0 f 1
    echo "       3 GiB in $ms ms: $((size / 1048576 * 1000 / (ms > 0 ? ms : 1))) MiB/s"
    clear_queue
    rm -f "$work/huge.bin"

    # More than 4 GiB through standard input: kept (as holes) and sent whole.
    size=$((4 * 1024 * 1024 * 1024 + 4096))
    truncate -s "$size" "$work/huge.bin"
    printf 'BEGIN' | dd of="$work/huge.bin" conv=notrunc status=none
    printf 'END' | dd of="$work/huge.bin" bs=1 seek=$((size - 3)) conv=notrunc status=none
    mkdir -p "$work/tmp"
    cat "$work/huge.bin" | TMPDIR=$work/tmp timeout -k 5 170 "$cli" print -P "$dest" >"$work/huge-in.out" 2>"$work/huge-in.err"
    rc=$?
    expect_success "4 GiB from standard input" huge-in
    check_match "4 GiB from standard input: the server took the true count" "data file dfA[^ ]*, $size bytes" \
        "$(cat "$work/lpd.log")"
    check_job "4 GiB from standard input" "$work/huge.bin" "$host" "$me" "(stdin)" - 0 f 1 "(stdin)"
    check_eq "4 GiB from standard input: nothing left in TMPDIR" "" "$(ls -A "$work/tmp")"
}

case "$group" in
usage | errors | print | forms | queue | remove | follow | check | cancel | tty | manpage | huge | stdin) "group_$group" ;;
*)
    echo "unknown group $group"
    exit 1
    ;;
esac
finish
