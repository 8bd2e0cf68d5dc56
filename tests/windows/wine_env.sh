# shellcheck shell=sh disable=SC2154,SC2034 # work, here: the caller's; port, lpd: for it
# Shared by run_wine.sh, run_cli.sh and run_gui.sh (sourced, not run): finding Wine, a
# prefix without a desktop, and the fake LPD on loopback.  The caller sets `here` (this folder) and `work` (its scratch folder)
# and keeps the fake LPD's PID, in `lpd`, for its clean-up.

# find_wine i686|x86_64: sets `wine` and `wineserver` for a DLL of that machine and
# exports WINEARCH for its prefix; exit 77 when that Wine is missing or cannot run here.
# The loaders are called by their own names: once wine32 is installed, plain `wine`
# starts every program through the 32-bit loader.
find_wine() {
    case $1 in
    x86_64)
        wine=/usr/lib/wine/wine64
        [ -x "$wine" ] || wine=$(command -v wine64 2>/dev/null || true)
        if [ -z "$wine" ] || [ ! -x "$wine" ]; then
            echo "wine64 not found"
            exit 77
        fi
        export WINEARCH=win64
        ;;
    i686)
        wine=/usr/lib/wine/wine
        [ -x "$wine" ] || { echo "wine32 not found (scripts/setup-wine32.sh installs it)"; exit 77; }
        # A kernel without 32-bit support runs the loader only through a binfmt_misc
        # entry for qemu-i386.
        timeout 60 "$wine" --version >/dev/null 2>&1 ||
            { echo "$wine does not run: no 32-bit programs here (scripts/setup-wine32.sh sets up qemu-i386)"; exit 77; }
        export WINEARCH=win32
        ;;
    *)
        echo "FAIL: unknown machine $1"
        exit 1
        ;;
    esac
    # The 64-bit server serves a 32-bit prefix as well, and runs natively where the
    # 32-bit programs are emulated.
    wineserver=$(dirname "$wine")/wineserver64
    [ -x "$wineserver" ] || wineserver=$(dirname "$wine")/wineserver
    [ -x "$wineserver" ] || { echo "no wineserver next to $wine"; exit 77; }
}

# Starts fake_lpd.py MODE ARGS... in the background and waits, bounded, until it
# listens; its port is then in $port.  It gives up after $lpd_deadline seconds (30
# unless set) and logs to $lpd_log (lpd.log in the scratch folder unless set).
start_lpd() {
    mode=$1
    shift
    rm -f "$work/port"
    python3 "$here/fake_lpd.py" "$mode" "$work/port" --deadline "${lpd_deadline:-30}" "$@" >"${lpd_log:-$work/lpd.log}" 2>&1 &
    lpd=$!
    n=0
    while [ ! -s "$work/port" ] && [ $n -lt 200 ] && kill -0 "$lpd" 2>/dev/null; do
        sleep 0.05
        n=$((n + 1))
    done
    if [ ! -s "$work/port" ]; then
        cat "${lpd_log:-$work/lpd.log}"
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
    sed 's/^/  | /' "${lpd_log:-$work/lpd.log}"
    return $rc
}

# null_prefix: a throwaway prefix of the machine in $work/prefix with the null graphics
# driver (no X server: windows exist, hidden) and one persistent server of that prefix
# for every case.  The prefix's desktop process started before the driver was set and
# has no windows to offer, so the server goes down once and comes back, persistent for
# 30 s past its last client only: should the caller be killed before its clean-up, the
# server still goes away on its own.
null_prefix() {
    export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    timeout 120 "$wine" wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
    timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
    timeout 30 "$wineserver" -k 2>/dev/null || true
    timeout 30 "$wineserver" -w 2>/dev/null || true
    timeout 30 "$wineserver" -p30 || { echo "FAIL: wineserver -p did not start"; exit 1; }
}

# own_netns VAR "$0" "$@": as root, runs the calling script again in a network
# namespace of its own with loopback up (VAR marks the second run), so that ports are
# its own whatever else runs here; Wine's server starts inside as well, as its sockets
# live there.  Otherwise sets VAR to 0 and returns.
own_netns() {
    var=$1
    shift
    eval "inside=\${$var:-}"
    [ -z "$inside" ] || return 0
    if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null 2>&1 && command -v ip >/dev/null 2>&1 &&
        unshare -n true 2>/dev/null; then
        # shellcheck disable=SC2016 # expanded by the inner shell
        eval "$var=1" && export "${var?}" && exec unshare -n -- sh -c 'ip link set lo up && exec "$0" "$@"' "$@"
    fi
    eval "$var=0"
}
