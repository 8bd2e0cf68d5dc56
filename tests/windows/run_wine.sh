#!/bin/sh
# Behaviour of the 64-bit DLL under Wine: dllclient.exe binds the exports by name and
# ordinal, reads a failure text from the DLL's string table and prints one job to a
# fake LPD on loopback, whose spooled files are then compared with what was sent.
#   run_wine.sh VEXLOLPR.DLL dllclient.exe
# Uses a throwaway Wine prefix with the null graphics driver (no X server); exit 77
# when wine64 or python3 is missing.
set -eu
dll=$1
client=$2
here=$(cd "$(dirname "$0")" && pwd)
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 2>/dev/null || true)
if [ -z "$wine" ] || [ ! -x "$wine" ]; then
    echo "wine64 not found"
    exit 77
fi
wineserver=$(dirname "$wine")/wineserver64
[ -x "$wineserver" ] || wineserver=$(dirname "$wine")/wineserver
command -v python3 >/dev/null 2>&1 || { echo "python3 not found"; exit 77; }

work=$(mktemp -d)
lpd=""
cleanup() {
    [ -n "$lpd" ] && kill "$lpd" 2>/dev/null || true
    # Ends the processes of this prefix only: the ones this script started.
    [ -x "$wineserver" ] && WINEPREFIX="$work/prefix" "$wineserver" -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

timeout 120 "$wine" wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
# The prefix's desktop process started before the null driver was set and has no
# windows to offer; a restart of the prefix's server brings it back with the driver.
"$wineserver" -k 2>/dev/null || true
timeout 30 "$wineserver" -w 2>/dev/null || true

mkdir "$work/run" "$work/spool"
cp "$dll" "$work/run/VEXLOLPR.DLL"
cp "$client" "$work/run/dllclient.exe"
cd "$work/run"

echo "-- binding, start-up state, string table"
timeout 60 "$wine" dllclient.exe

echo "-- one print job to a fake LPD on loopback"
head -c 100000 /dev/urandom >job.bin
python3 "$here/fake_lpd.py" "$work/port" "$work/spool" lp 60 &
lpd=$!
i=0
while [ ! -s "$work/port" ] && [ $i -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
done
[ -s "$work/port" ] || { echo "FAIL: the fake LPD did not start"; exit 1; }
port=$(cat "$work/port")
status=0
timeout 60 "$wine" dllclient.exe "127.0.0.1:$port" lp job.bin || status=1
wait "$lpd" || status=1
lpd=""
[ $status -eq 0 ] || { echo "FAIL: the print job did not go through"; exit 1; }

data=$(ls "$work/spool" | grep '^dfA' || true)
control=$(ls "$work/spool" | grep '^cfA' || true)
[ -n "$data" ] && [ -n "$control" ] || { echo "FAIL: spool holds $(ls "$work/spool")"; exit 1; }
cmp "$work/spool/$data" job.bin || { echo "FAIL: the data file differs from the file sent"; exit 1; }
for line in Hwinclient Ptester Jwinjob Ltester "f$data" "U$data"; do
    grep -qx "$line" "$work/spool/$control" || { echo "FAIL: control file lacks $line"; cat "$work/spool/$control"; exit 1; }
done
echo "wine: the 64-bit DLL printed a job of $(wc -c <job.bin) bytes, spooled byte for byte"
