#!/bin/bash
# The command from the Windows package under Wine of its machine, unpacked and run from
# there, against the native vexlolpd on loopback, which keeps every file as received:
#   VEXLOLPD=path/to/vexlolpd run_cli.sh i686|x86_64 vexlolpr-VERSION-winNN.zip [CONSOLE-CAPTURE]
# The package's listing; print (a file, several, standard input), queue (short, long),
# remove and check as vexlolpr, and the same as lpr, lpq and lprm with every switch,
# checked in the spool byte for byte (control file, file order); one failure of each
# kind with its exit status and its line; Ctrl-C (a console control event) during a
# large job; the status display on a console (a pseudo-terminal), kept in
# CONSOLE-CAPTURE when given.  Exit 77 when that machine's Wine, python3 or the server
# (a native build's, which scripts/test.sh names) is missing.
set -u
machine=$1
zip=$2
capture=${3:-}
vexlolpd=${VEXLOLPD:-}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=wine_env.sh
. "$here/wine_env.sh"
find_wine "$machine"
command -v python3 >/dev/null 2>&1 || { echo "python3 not found"; exit 77; }
[ -n "$vexlolpd" ] && [ -x "$vexlolpd" ] || { echo "no native vexlolpd given (VEXLOLPD)"; exit 77; }
[ -f "$zip" ] || { echo "FAIL: no such file: $zip"; exit 1; }
own_netns VEXLOLPR_CLI_NETNS "$0" "$@"

started=$(date +%s)
work=$(mktemp -d)
server=""
cleanup() {
    [ -z "$server" ] || { kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; }
    WINEPREFIX="$work/prefix" timeout 30 "$wineserver" -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
passed=0
failed=0
check_eq() {
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL - %s\n       expected: %s\n       actual:   %s\n' "$1" "$2" "$3"
    fi
}
check_match() { if printf '%s' "$3" | grep -Eq -- "$2"; then check_eq "$1" x x; else check_eq "$1" "/$2/" "$3"; fi; }

# ---- the package ------------------------------------------------------------------------

name=$(basename "$zip" .zip)
listing=$(python3 -m zipfile -l "$zip" | awk 'NR > 1 { print $1 }' | sort | tr '\n' ' ')
echo "package $name: $listing"
check_eq "the package's files" "$(printf "$name/%s\n" "" LICENSE.txt README.md VEXLOLPR.DLL libVEXLOLPR.dll.a lpq.exe \
    lpr.exe lprm.exe vexlolpr.exe vexlolpr.h | sort | tr '\n' ' ')" "$listing"
python3 -m zipfile -e "$zip" "$work" || exit 1
run=$work/$name
for form in lpr lpq lprm; do
    cmp -s "$run/vexlolpr.exe" "$run/$form.exe" || check_eq "$form.exe is the command" same different
done

null_prefix
echo "wine prefix ready after $(($(date +%s) - started)) s"
spool=$work/spool
mkdir -p "$spool"
"$vexlolpd" --spool "$spool" --queue lp --queue other --port 0 --port-file "$work/port" --deadline 280 \
    --verbose 2>"$work/lpd.log" &
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
dest=127.0.0.1:$port
cd "$run" || exit 1
printf 'first line\n\fsecond page\n' >text.txt
head -c 200000 /dev/urandom >data.bin
me=$(id -un)
host=$(uname -n)
host=${host%%.*}

# win PROGRAM ARGS...: the program of the package under Wine, bounded; its standard
# output (line ends as Windows writes them taken back) in $out, standard error in $err,
# the status in $rc.
win() {
    timeout -k 5 90 "$wine" "$@" >"$work/out" 2>"$work/err" </dev/null
    rc=$?
    out=$(tr -d '\r' <"$work/out")
    err=$(tr -d '\r' <"$work/err")
}
# Jobs in lp once vexlolpd has queued them (it does at the client's close).
jobs_now() {
    for _ in $(seq 50); do [ -z "$(ls -d "$spool"/.incoming-* 2>/dev/null)" ] && break; sleep 0.1; done
    ls "$spool/lp" | grep '^cfA' | sort
}
clear_queue() { jobs_now >/dev/null; rm -f "$spool"/lp/*; }
# The order of the last job's files on the wire, from the server's log.
order() { grep -E ' (data|control) file ' "$work/lpd.log" | tail -n 2 | sed -E 's/.* (data|control) file .*/\1/' | tr '\n' ' '; }
# The control file expected: USER JOBNAME CLASS FORMAT STEM NAME (H is the short host name).
control() {
    printf 'H%s\nP%s\nJ%s\n' "$host" "$1" "$2"
    [ "$3" = - ] || printf 'C%s\n' "$3"
    printf 'L%s\n%sd%s\nUd%s\nN%s\n' "$1" "$4" "$5" "$5" "$6"
}
# check_job NAME FILE USER JOBNAME CLASS FORMAT FIRST [SENTNAME]: one job in lp, byte
# for byte, its files in the order asked for.
check_job() {
    local cf
    cf=$(jobs_now)
    check_eq "$1: one job" 1 "$(printf '%s\n' "$cf" | grep -c .)"
    [ -n "$cf" ] || return
    cf=$(printf '%s\n' "$cf" | head -n 1)
    cmp -s "$2" "$spool/lp/d${cf#c}" && check_eq "$1: data file byte for byte" x x ||
        check_eq "$1: data file byte for byte" "$2" "differs"
    check_eq "$1: control file" "$(control "$3" "$4" "$5" "$6" "${cf#c}" "${8:-$2}")" "$(cat "$spool/lp/$cf")"
    check_eq "$1: file order" "$7 $([ "$7" = data ] && echo control || echo data) " "$(order)"
}

# ---- jobs -------------------------------------------------------------------------------

# name | program | arguments | user | job name | class | format | file sent first
while IFS='|' read -r what program args user jobname class format first; do
    clear_queue
    # shellcheck disable=SC2086 # the arguments are words
    win "$program" $args text.txt
    check_eq "$what: status and messages" "0 " "$rc $err"
    check_job "$what" text.txt "$user" "$jobname" "$class" "$format" "$first"
done <<EOF
vexlolpr print, defaults|vexlolpr.exe|print -P lp@$dest|$me|text.txt|-|f|data
vexlolpr print, every job option|vexlolpr.exe|print -P lp@$dest -U alice --client-host $host -J test -C Urgent -l --control-first|alice|test|Urgent|l|control
lpr|lpr.exe|-S $dest -P lp|$me|text.txt|-|f|control
lpr -J -C -o l|lpr.exe|-S $dest -P lp -J test -C Urgent -o l|$me|test|Urgent|l|control
lpr -x -d|lpr.exe|-x -d -S $dest -P lp|$me|text.txt|-|f|data
lpr -P printer@server|lpr.exe|-P lp@$dest|$me|text.txt|-|f|control
EOF

# lpr's old switches send what vexlolpr's options send, but the job number.
for program in "vexlolpr.exe print -P lp@$dest -J test -l --control-first" "lpr.exe -S $dest -P lp -J test -o l"; do
    clear_queue
    # shellcheck disable=SC2086
    win $program text.txt
    sed -E 's/fA[0-9]{3}/fA#/' "$spool/lp/$(jobs_now)" >"$work/${program%%.exe*}.cf"
done
check_eq "lpr -J test -o l sends vexlolpr print -J test -l --control-first's control file" \
    "$(cat "$work/vexlolpr.cf")" "$(cat "$work/lpr.cf")"

for program in "vexlolpr.exe print -P lp@$dest" "lpr.exe -S $dest -P lp"; do
    clear_queue
    # shellcheck disable=SC2086
    win $program text.txt data.bin
    check_eq "${program%% *}, two files: two jobs, nothing said" "0 2" "$rc $(jobs_now | grep -c .)"
done

clear_queue
timeout -k 5 90 "$wine" vexlolpr.exe print -P "lp@$dest" <data.bin >"$work/out" 2>"$work/err"
check_eq "standard input: status and messages" "0 " "$? $(cat "$work/err")"
check_job "standard input" data.bin "$me" "(stdin)" - f data "(stdin)"
check_eq "standard input: nothing left in the temporary folder" "" \
    "$(find "$WINEPREFIX/drive_c" -name 'vexlolpr-stdin*' 2>/dev/null)"

# ---- queue, remove, check ---------------------------------------------------------------------

raw_listing() { # COMMAND (3 short, 4 long)
    timeout -k 2 15 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" && printf "\00$2lp\n" >&3 && cat <&3' raw "$port" "$1"
}
for row in "3|vexlolpr.exe queue -P lp@$dest" "4|vexlolpr.exe queue -l -P lp@$dest" "3|lpq.exe -S $dest -P lp" \
    "4|lpq.exe -S $dest -P lp -l"; do
    # shellcheck disable=SC2086
    win ${row#*|}
    check_eq "${row#*|}: the server's listing" "0 $(raw_listing "${row%%|*}")" "$rc $out"
done
clear_queue
win vexlolpr.exe print -P "lp@$dest" text.txt data.bin
for program in "vexlolpr.exe remove -P lp@$dest" "lprm.exe -S $dest -P lp"; do
    n=$(jobs_now | head -n 1 | sed 's/^cfA0*\([0-9][0-9]*\).*/\1/')
    before=$(jobs_now | grep -c .)
    # shellcheck disable=SC2086
    win $program "$n"
    check_eq "${program%% *} $n: status, messages, one job fewer" "0  $((before - 1))" "$rc $err $(jobs_now | grep -c .)"
done
win vexlolpr.exe check -P "lp@$dest"
check_eq "check: status and answer" "0 lp@$dest accepts jobs" "$rc $out"

# ---- failures -------------------------------------------------------------------------------

closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# A refused connection shows under Winsock at the first send, as the library's
# socket layer reports it: "Couldn't send 'Initial' command".
while IFS='|' read -r program args status line; do
    # shellcheck disable=SC2086
    win "$program" $args
    check_match "$program $args: status and line" "^$status $line\$" "$rc $(printf '%s\n' "$err" | head -n 1)"
done <<EOF
vexlolpr.exe|print -P lp@nosuch.invalid text.txt|1|vexlolpr: Can't resolve host name nosuch\.invalid \(error 4914\)
vexlolpr.exe|print -P lp@$dest nosuch.txt|3|vexlolpr: nosuch\.txt: File not found \(error 4977\)
vexlolpr.exe|print -P nosuch@$dest text.txt|1|vexlolpr: Server error: perhaps there is no nosuch printer \(error 5012\)
vexlolpr.exe|queue -P lp@127.0.0.1:$closed|1|vexlolpr: (LPD is not running on remote host \(error 4915\)|Couldn't send 'Initial' command \(error 4943\))
vexlolpr.exe|print -# 0 -P lp@$dest text.txt|2|vexlolpr: bad number of copies '0' \(1\.\.65535\)
lpr.exe|-S $dest -P lp -o x text.txt|2|lpr: bad -o 'x': only -o l \(send the file as it is\)
lprm.exe|-S $dest -P lp|2|lprm: no job number given
EOF

# A name the ANSI code page cannot carry (a UTF-8 locale lets Wine read it whole).
LC_ALL=C.UTF-8 timeout -k 5 90 "$wine" vexlolpr.exe print -P "lp@$dest" жук.txt >/dev/null 2>"$work/err" </dev/null
check_match "a file name outside the ANSI code page: status and line" \
    "^2 vexlolpr: the argument '\?\?\?\.txt' has characters that this system's ANSI code page \([0-9]+\) cannot carry" \
    "$? $(tr -d '\r' <"$work/err")"

# ---- Ctrl-C -------------------------------------------------------------------------------------

# Wine hands SIGINT to the console control handlers as CTRL_C_EVENT.
clear_queue
head -c 50000000 /dev/zero >big.bin
"$wine" vexlolpr.exe print --yield -P "lp@$dest" big.bin >"$work/out" 2>"$work/err" </dev/null &
client=$!
for _ in $(seq 300); do
    [ "$(find "$spool" -path '*/.incoming-*/dfA*' -size +100k 2>/dev/null)" ] && break
    sleep 0.1
done
kill -INT "$client"
for _ in $(seq 200); do kill -0 "$client" 2>/dev/null || break; sleep 0.1; done
kill -KILL "$client" 2>/dev/null
wait "$client"
rc=$?
check_eq "Ctrl-C in a job: status, line, nothing queued" \
    "130 vexlolpr: interrupted: Couldn't send data file (error 4601) " "$rc $(tr -d '\r' <"$work/err") $(jobs_now)"

# ---- the status display on a console ---------------------------------------------------------

head -c 3000000 /dev/urandom >mid.bin
timeout -k 5 120 python3 - "$wine" "lp@$dest" >"$work/console" <<'EOF'
import os, pty, select, sys, time
wine, dest = sys.argv[1:3]
pid, fd = pty.fork()
if pid == 0:
    os.execv(wine, [wine, "vexlolpr.exe", "print", "--yield", "-P", dest, "mid.bin"])
seen = b""
end = time.time() + 100
while time.time() < end:
    if select.select([fd], [], [], 0.5)[0]:
        try:
            data = os.read(fd, 65536)
        except OSError:
            break
        if not data:
            break
        seen += data
os.waitpid(pid, 0)
sys.stdout.write(seen.decode("latin-1"))
EOF
[ -n "$capture" ] && cp "$work/console" "$capture"
check_match "console: the display's title" "LPR Printing I/O Status" "$(cat "$work/console")"
check_match "console: the counter moves" "Transferred [1-9][0-9]* out of 3000000 bytes \[#*-+\] [0-9]+%" "$(cat "$work/console")"
check_match "console: the final state stays" "Transferred 3000000 out of 3000000 bytes \[#{20}\] 100%" "$(cat "$work/console")"

echo "run_cli: $passed checks passed, $failed failed in $(($(date +%s) - started)) s"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
