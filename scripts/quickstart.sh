#!/bin/sh
# Quick start on Debian: installs what the build needs (as root), builds, starts the
# project's loopback LPD on a scratch spool, prints a file to it with vexlolpr, shows the
# queue, removes the job and stops the server.  Safe to run again.
#
#   scripts/quickstart.sh [FILE]     # FILE to print, default README.md
#
# As root the server listens on port 515, the LPD port; otherwise (or when 515 is
# taken) on a free port the system chooses.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)
file=${1:-$top/README.md}

step() { echo "==> $*"; }

packages="cmake g++ make pkg-config"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "packages missing and not root: install$missing (as root: apt-get install$missing)" >&2
        exit 1
    fi
    step "installing:$missing"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi

[ -r "$file" ] || {
    echo "cannot read $file" >&2
    exit 1
}

# The test suites need GoogleTest; a first build without it leaves them out.  An
# existing build directory keeps its own settings.
config=""
if [ ! -f build/CMakeCache.txt ] &&
    ! dpkg-query -W -f='${Status}' libgtest-dev 2>/dev/null | grep -q "install ok installed"; then
    config="-DVEXLOLPR_BUILD_TESTS=OFF"
fi
step "building in build/"
# shellcheck disable=SC2086
cmake -S . -B build $config >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" >/dev/null
client=$top/build/tools/vexlolpr
server=$top/build/tools/vexlolpd
for program in "$client" "$server"; do
    [ -x "$program" ] || {
        echo "$program was not built (is VEXLOLPR_BUILD_TOOLS off in build/CMakeCache.txt?)" >&2
        exit 1
    }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vexlolpr-quickstart.XXXXXX")
server_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# start_server PORT: vexlolpd on 127.0.0.1; true once it listens.  It stops itself after
# ten minutes should this script be killed before it can stop it.
start_server() {
    rm -f "$work/port"
    "$server" --spool "$work/spool" --queue lp --port "$1" --port-file "$work/port" --deadline 600 \
        2>"$work/lpd.log" &
    server_pid=$!
    i=0
    while [ "$i" -lt 100 ]; do
        [ -s "$work/port" ] && return 0
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
        i=$((i + 1))
    done
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
    return 1
}

started=""
if [ "$(id -u)" -eq 0 ]; then
    step "starting vexlolpd on 127.0.0.1 port 515 (spool $work/spool)"
    start_server 515 && started=yes || echo "    port 515 is not available: $(tail -n 1 "$work/lpd.log")"
fi
if [ -z "$started" ]; then
    step "starting vexlolpd on 127.0.0.1, a free port (spool $work/spool)"
    start_server 0 || {
        echo "vexlolpd did not start: $(tail -n 1 "$work/lpd.log")" >&2
        exit 1
    }
fi
port=$(cat "$work/port")
if [ "$port" = 515 ]; then
    dest=lp@127.0.0.1
else
    dest=lp@127.0.0.1:$port
fi
echo "    listening on port $port, PID $server_pid"

step "checking that the queue accepts jobs: vexlolpr check -P $dest"
"$client" check -P "$dest"

# A job numbered 0 (the first second of every tenth minute) cannot be removed by number.
i=0
while [ "$i" -lt 30 ]; do
    case "$(date +%M%S)" in
    ?959 | ?000) sleep 0.1 ;;
    *) break ;;
    esac
    i=$((i + 1))
done
step "printing $file: vexlolpr print -P $dest $file"
"$client" print -P "$dest" "$file"

step "the queue: vexlolpr queue -q -P $dest"
"$client" queue -q -P "$dest" | tee "$work/listing"
job=$(awk '$1 ~ /^[0-9]+(st|nd|rd|th)$/ { print $3; exit }' "$work/listing")
[ -n "$job" ] || {
    echo "the job is not in the listing" >&2
    exit 1
}
echo "    the job is in $work/spool/lp/: $(ls "$work/spool/lp" | tr '\n' ' ')"

step "removing job $job: vexlolpr remove -P $dest $job"
"$client" remove -P "$dest" "$job"

step "the queue again: vexlolpr queue -q -P $dest"
"$client" queue -q -P "$dest"

step "stopping vexlolpd (PID $server_pid)"
kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
server_pid=""
step "done.  Try it yourself: build/tools/vexlolpr --help, man -l tools/vexlolpr.1"
