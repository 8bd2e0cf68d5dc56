#!/bin/sh
# The status dialog of the DLL on a desktop: a job to a slow fake LPD (fake_lpd.py
# slow) with showdialog set, under Wine's X11 driver on a virtual X server, while a
# second thread of the program prints to another fake LPD under a dialog of its own.
# Both dialogs must appear while the files are being sent; a screenshot shows both, the
# first one's Cancel button is clicked with xdotool, and its request must end as
# cancelled while the second thread's job arrives whole:
#   run_gui.sh i686|x86_64 VEXLOLPR.DLL lprcases.exe SCREENSHOT.png
# lprcases.exe gui watches the dialog from inside (its text, its counters, where its
# Cancel button is) and checks the request's outcome; this script checks that the
# program passed, that the click landed on the button, and the screenshot.
# Exit 77 when Xvfb, xdotool, ImageMagick (import, identify) or python3 is missing, when
# the DLL's machine's Wine is missing or cannot run (wine_env.sh), or when the run
# cannot have a network namespace of its own (needs root).
set -eu
machine=$1
dll=$2
cases=$3
shot=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=wine_env.sh
. "$here/wine_env.sh"
find_wine "$machine"
for tool in Xvfb xdotool import identify python3; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$tool not found"; exit 77; }
done
for f in "$dll" "$cases"; do
    [ -f "$f" ] || { echo "FAIL: no such file: $f"; exit 1; }
done

# The run moves into a network namespace of its own, where the system may hold back
# only 32 KB of a connection's unsent bytes.  Otherwise the system takes megabytes of
# the file at once, the library's counter jumps to the end, and its writes then stall
# for longer than the reply time-out: with the limit, the counter follows the slow
# reader and each write completes within a second or two.  Wine's sockets live in its
# server and the X server is reached by an abstract socket: both start inside.
if [ "${VEXLOLPR_GUI_NETNS:-}" != 1 ]; then
    if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null 2>&1 || ! command -v ip >/dev/null 2>&1 ||
        ! unshare -n true 2>/dev/null; then
        echo "needs root, unshare and ip for a network namespace of its own"
        exit 77
    fi
    # shellcheck disable=SC2016 # expanded by the inner shell
    VEXLOLPR_GUI_NETNS=1 exec unshare -n -- sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
echo "4096 16384 32768" >/proc/sys/net/ipv4/tcp_wmem

started=$(date +%s)
work=$(mktemp -d)
lpd=""
lpd2=""
xvfb=""
wm=""
server=""
client=""
stop() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}
cleanup() {
    [ -z "$client" ] || stop "$client"
    [ -z "$lpd" ] || stop "$lpd"
    [ -z "$lpd2" ] || stop "$lpd2"
    # Ends the server of this prefix and its processes: the ones this script started.
    if [ -n "$server" ]; then
        WINEPREFIX="$work/prefix" timeout 30 "$wineserver" -k 2>/dev/null || true
        stop "$server"
    fi
    [ -z "$wm" ] || stop "$wm"
    [ -z "$xvfb" ] || stop "$xvfb"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

elapsed() { echo "$(($(date +%s) - started)) s"; }

# Polls, every 200 ms and at most $1 times, until the command in the remaining
# arguments succeeds.
poll() {
    tries=$1
    shift
    n=0
    while [ $n -lt "$tries" ]; do
        "$@" && return 0
        sleep 0.2
        n=$((n + 1))
    done
    return 1
}

# A display number that no X server holds (no socket, no lock); Xvfb tells through
# -displayfd when it accepts connections.  Should another server take the number in
# between, this one fails at once and the next number is tried.
display=""
number=90
attempts=0
while [ -z "$display" ] && [ $number -lt 190 ] && [ $attempts -lt 5 ]; do
    if [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; then
        number=$((number + 1))
        continue
    fi
    attempts=$((attempts + 1))
    : >"$work/displayfd"
    Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp -noreset -displayfd 3 3>"$work/displayfd" \
        >"$work/xvfb.log" 2>&1 &
    xvfb=$!
    # shellcheck disable=SC2016 # expanded by the inner shell
    if poll 50 sh -c '[ -s "$1" ] || ! kill -0 "$2" 2>/dev/null' sh "$work/displayfd" "$xvfb" &&
        [ -s "$work/displayfd" ]; then
        display=":$number"
    else
        stop "$xvfb"
        xvfb=""
        number=$((number + 1))
    fi
done
if [ -z "$display" ]; then
    cat "$work/xvfb.log"
    echo "FAIL: no virtual X server could be started"
    exit 1
fi
echo "Xvfb on $display after $(elapsed)"

# A window manager draws the dialog's title bar, so that the screenshot shows the
# caption; without one (not installed) the caption is still checked as the window name.
if command -v openbox >/dev/null 2>&1; then
    DISPLAY="$display" openbox --sm-disable >"$work/wm.log" 2>&1 &
    wm=$!
    # shellcheck disable=SC2016
    poll 50 sh -c 'DISPLAY="$1" xdotool search --name . >/dev/null 2>&1 || ! kill -0 "$2" 2>/dev/null' \
        sh "$display" "$wm" || true
fi

# A throwaway prefix with the X11 driver, and a server of the prefix's own, started
# here so that its PID is known; it stays 30 s past its last client, should this script
# be killed before its clean-up.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY="$display"
unset WAYLAND_DISPLAY
mkdir "$WINEPREFIX"
"$wineserver" -f -p30 &
server=$!
timeout 120 "$wine" wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f >/dev/null
echo "wine prefix ready after $(elapsed)"

mkdir "$work/run"
cp "$dll" "$work/run/VEXLOLPR.DLL"
cp "$cases" "$work/run/lprcases.exe"
cd "$work/run"
# 2 MB at 8 KB a second: minutes, far longer than the click takes.
head -c 2000000 /dev/urandom >job.bin
lpd_deadline=100
# A second thread of the program prints the same file under a dialog of its own to a
# second fake LPD, which holds its last acknowledgement until the click is over: the
# click must cancel the first job alone.
lpd_log="$work/lpd2.log"
if ! start_lpd print --data job.bin --hold "$work/release"; then
    echo "FAIL: the second fake LPD did not start"
    exit 1
fi
lpd2=$lpd
port2=$port
lpd=""
unset lpd_log
if ! start_lpd slow --data job.bin --rate 8192 --progress "$work/progress" --fast "$work/fast"; then
    echo "FAIL: the fake LPD did not start"
    exit 1
fi
rm -f "$shot"
timeout 45 "$wine" lprcases.exe gui "127.0.0.1:$port" job.bin "127.0.0.1:$port2" >"$work/gui.out" 2>"$work/wine.err" &
client=$!

failed=""
fail() {
    echo "FAIL: $*"
    failed="$failed
  $*"
}

caption='^LPR Printing I/O Status$'
# shellcheck disable=SC2016 # expanded by the inner shell
if poll 100 sh -c 'xdotool search --onlyvisible --name "$1" >"$2" 2>/dev/null || ! kill -0 "$3" 2>/dev/null' \
    sh "$caption" "$work/window" "$client" && [ -s "$work/window" ]; then
    window=$(head -n 1 "$work/window")
    echo "the status dialog is on the screen after $(elapsed): X window $window"
else
    window=""
    fail "no visible window \"LPR Printing I/O Status\" within 20 s"
    # What is on the screen instead, for the log and the artifact.
    xdotool search --name . 2>/dev/null | while read -r id; do
        echo "  X window $id: $(xdotool getwindowname "$id" 2>/dev/null || true)"
    done
    import -window root "$shot" 2>/dev/null || true
fi

if [ -n "$window" ]; then
    # Under way: the reader has had two of the library's 8 KB chunks, so the counter
    # shows a nonzero count; a moment more for the dialog to paint it.
    # shellcheck disable=SC2016 # expanded by the inner shell
    if poll 75 sh -c '[ "$(cat "$1" 2>/dev/null || echo 0)" -ge 16384 ]' sh "$work/progress"; then
        echo "the fake LPD has $(cat "$work/progress") bytes of the file after $(elapsed)"
    else
        fail "the file's bytes did not start to arrive within 15 s"
    fi
    # Both threads' dialogs on the screen before the picture is taken.
    # shellcheck disable=SC2016 # expanded by the inner shell
    poll 50 sh -c '[ "$(xdotool search --onlyvisible --name "$1" 2>/dev/null | wc -l)" -ge 2 ]' sh "$caption" ||
        fail "the second thread's dialog is not on the screen beside the first"
    sleep 0.5
    import -window root "$shot" || fail "import could not take the screenshot"

    # The centre of the Cancel button, on screen, as the program found it in its dialog
    # (a window manager's frame moves the dialog, so no geometry is computed here).
    # shellcheck disable=SC2016 # expanded by the inner shell
    poll 50 sh -c 'grep -q "^gui: Cancel button now at screen" "$1"' sh "$work/gui.out" ||
        fail "the program did not say where its Cancel button is"
    now=$(tr -d '\r' <"$work/gui.out" | sed -n 's/^gui: Cancel button now at screen \([-0-9]*\),\([-0-9]*\)-\([-0-9]*\),\([-0-9]*\)$/\1 \2 \3 \4/p' | head -n1)
    # shellcheck disable=SC2086 # four numbers
    set -- $now
    [ $# -eq 4 ] || fail "unreadable Cancel button position: $now"
    atx=$((($1 + $3) / 2))
    aty=$((($2 + $4) / 2))
    echo "clicking Cancel at screen $atx,$aty"
    xdotool mousemove --sync "$atx" "$aty" click 1 || fail "xdotool could not click"
    clicked=$(date +%s%N)
fi

# The click is over: the second job may end.
: >"$work/release"

# The program ends on its own: after the cancel, or after its 30 s safety timer (and
# `timeout` ends it 45 s after its start).
# shellcheck disable=SC2016 # expanded by the inner shell
poll 250 sh -c '! kill -0 "$1" 2>/dev/null' sh "$client" || fail "lprcases.exe still runs 50 s after the click"
client_rc=0
wait "$client" || client_rc=$?
client=""
# Its C runtime ends lines with CR LF.
tr -d '\r' <"$work/gui.out" >"$work/gui.txt" && mv "$work/gui.txt" "$work/gui.out"
[ -z "$window" ] || echo "the program ended $((($(date +%s%N) - clicked) / 1000000)) ms after the click"
sed 's/^/  /' "$work/gui.out"
[ $client_rc -eq 0 ] || { fail "lprcases.exe gui exited with $client_rc"; sed 's/^/  wine: /' "$work/wine.err" | tail -20; }
grep -q '^gui: result 31, errorcode 4601,' "$work/gui.out" || fail "the request did not end with result 31, errorcode 4601"

# The click must have landed on the button the program found in its dialog.
if [ -n "$window" ]; then
    rect=$(sed -n 's/^gui: Cancel button at screen \([-0-9]*\),\([-0-9]*\)-\([-0-9]*\),\([-0-9]*\)$/\1 \2 \3 \4/p' "$work/gui.out")
    # shellcheck disable=SC2086 # four numbers
    set -- $rect
    if [ $# -ne 4 ]; then
        fail "the program did not report where its Cancel button is"
    elif [ "$atx" -lt "$1" ] || [ "$atx" -ge "$3" ] || [ "$aty" -lt "$2" ] || [ "$aty" -ge "$4" ]; then
        fail "the click at $atx,$aty missed the Cancel button at $1,$2-$3,$4"
    fi
fi

# The reader takes the rest at once and must see the client close before the file's end.
: >"$work/fast"
finish_lpd || fail "the fake LPD saw something else than it must"
# The second job, let go once the click was over, must have arrived whole.
lpd=$lpd2
lpd2=""
lpd_log="$work/lpd2.log"
finish_lpd || fail "the second fake LPD did not get its job whole"
unset lpd_log

if [ -n "$window" ]; then
    if [ -s "$shot" ]; then
        size=$(identify -format '%wx%h' "$shot" 2>/dev/null || true)
        colours=$(identify -format '%k' "$shot" 2>/dev/null || echo 0)
        echo "screenshot $shot: $size, $colours colours"
        [ "$size" = 1024x768 ] || fail "the screenshot is $size, not the display's 1024x768"
        # The bare screen is one colour; the dialog adds its face, edges, text and button.
        [ "$colours" -gt 4 ] || fail "the screenshot has $colours colours: nothing drawn"
    else
        fail "no screenshot"
    fi
fi

echo "gui: $(elapsed) in all"
if [ -n "$failed" ]; then
    echo "FAILED:$failed"
    exit 1
fi
echo "gui: the dialog appeared, was clicked and cancelled the job"
