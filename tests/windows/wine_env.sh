# shellcheck shell=sh disable=SC2154,SC2034 # work, here: the caller's; port, lpd: for it
# Shared by run_wine.sh and run_gui.sh (sourced, not run): finding Wine, and the fake
# LPD on loopback.  The caller sets `here` (this folder) and `work` (its scratch folder)
# and keeps the fake LPD's PID, in `lpd`, for its clean-up.

# Sets `wine` and `wineserver`; exit 77 when there is no 64-bit Wine.
find_wine() {
    wine=/usr/lib/wine/wine64
    [ -x "$wine" ] || wine=$(command -v wine64 2>/dev/null || true)
    if [ -z "$wine" ] || [ ! -x "$wine" ]; then
        echo "wine64 not found"
        exit 77
    fi
    wineserver=$(dirname "$wine")/wineserver64
    [ -x "$wineserver" ] || wineserver=$(dirname "$wine")/wineserver
    [ -x "$wineserver" ] || { echo "no wineserver next to $wine"; exit 77; }
}

# Starts fake_lpd.py MODE ARGS... in the background and waits, bounded, until it
# listens; its port is then in $port.  It gives up after $lpd_deadline seconds (30
# unless set).
start_lpd() {
    mode=$1
    shift
    rm -f "$work/port"
    python3 "$here/fake_lpd.py" "$mode" "$work/port" --deadline "${lpd_deadline:-30}" "$@" >"$work/lpd.log" 2>&1 &
    lpd=$!
    n=0
    while [ ! -s "$work/port" ] && [ $n -lt 200 ] && kill -0 "$lpd" 2>/dev/null; do
        sleep 0.05
        n=$((n + 1))
    done
    if [ ! -s "$work/port" ]; then
        cat "$work/lpd.log"
        return 1
    fi
    port=$(cat "$work/port")
}

# Waits, bounded, for the fake LPD's verdict; shows its log.
finish_lpd() {
    n=0
    while kill -0 "$lpd" 2>/dev/null && [ $n -lt 200 ]; do
        sleep 0.05
        n=$((n + 1))
    done
    kill "$lpd" 2>/dev/null || true
    rc=0
    wait "$lpd" || rc=$?
    lpd=""
    sed 's/^/  | /' "$work/lpd.log"
    return $rc
}
