#!/bin/bash
# hotpath.sh - what the vexlolpr command spends per chunk of a file: system calls (strace)
# and allocations (a preload counter), from a job of 1 MiB and one of 65 MiB against the
# sink, in a network namespace of its own.  The difference between the two is the
# transfer of 64 MiB, 8192 chunks of 8192 octets; what the command does once per job
# cancels out.  Prints a Markdown table; the exit status says whether both jobs ran.
#
# usage: bench/hotpath.sh [--build DIR] [--yield]
#   --build DIR  a build tree with -DVEXLOLPR_BUILD_BENCH=ON (default: build-bench,
#                built by bench/run.sh)
#   --yield      the command with --yield (the chunks then wait for a timer tick)
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$here/.." && pwd)/build-bench
yield=""
while [ $# -gt 0 ]; do
    case $1 in
    --build) build=${2:?} && shift ;;
    --yield) yield=--yield ;;
    *) sed -n '/^# usage:/,/^set -u/p' "$0" | grep '^#' | sed 's/^# \{0,1\}//' >&2 && exit 2 ;;
    esac
    shift
done
[ "$(id -u)" -eq 0 ] || { echo "hotpath: needs root (network namespace)" >&2 && exit 77; }
if ! command -v strace >/dev/null 2>&1; then
    apt-get update -qq >/dev/null 2>&1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq strace >/dev/null 2>&1 ||
        { echo "hotpath: strace is missing" >&2 && exit 1; }
fi
cli=$build/tools/vexlolpr
sink=$build/bench/lpdsink
preload=$build/bench/liballoccount.so
for p in "$cli" "$sink" "$preload"; do
    [ -e "$p" ] || { echo "hotpath: missing $p (build with bench/run.sh first)" >&2 && exit 1; }
done
work=$(mktemp -d /tmp/vexlolpr-hotpath.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
head -c $((1 << 20)) /dev/urandom >"$work/small"
head -c $((65 << 20)) /dev/urandom >"$work/large"

# One job of each size under strace, then under the counter; in the namespace.
cat >"$work/inner.sh" <<INNER
ip link set lo up
"$sink" -p 515 -r "$work/ready" >"$work/sink.out" 2>&1 &
sink=\$!
for i in \$(seq 50); do [ -e "$work/ready" ] && break; sleep 0.05; done
rc=0
for size in small large; do
    strace -f -qq -c -o "$work/\$size.strace" "$cli" print $yield -q -P lp@127.0.0.1 "$work/\$size" || rc=1
    ALLOCCOUNT_OUT="$work/\$size.allocs" LD_PRELOAD="$preload" "$cli" print $yield -q -P lp@127.0.0.1 "$work/\$size" || rc=1
done
kill \$sink
exit \$rc
INNER
unshare -n bash "$work/inner.sh" || { echo "hotpath: a job failed" >&2 && exit 1; }

calls() { # calls FILE NAME: the count strace gave for one system call, 0 if none
    awk -v n="$2" 'FNR > 2 && $NF == n { print $4; found = 1 } END { if (!found) print 0 }' "$1"
}
chunks=$(((65 - 1) * 1024 / 8))
echo "| per chunk of 8192 octets${yield:+ ($yield)} | count |"
echo "|---|--:|"
names=$(awk 'FNR > 2 && $NF != "total" && $1 !~ /^-/ { print $NF }' "$work/small.strace" "$work/large.strace" | sort -u)
for name in $names; do
    d=$(($(calls "$work/large.strace" "$name") - $(calls "$work/small.strace" "$name")))
    # Calls made once or twice per job (a second bind, say) are not per chunk.
    [ "${d#-}" -gt 2 ] && printf '| %s | %s |\n' "$name" "$(awk -v d="$d" -v c="$chunks" 'BEGIN { printf "%.3f", d / c }')"
done
d=$(($(cat "$work/large.allocs") - $(cat "$work/small.allocs")))
printf '| allocations | %s |\n' "$(awk -v d="$d" -v c="$chunks" 'BEGIN { printf "%.3f", d / c }')"
echo
echo "Whole jobs: $(cat "$work/small.allocs") allocations for 1 MiB, $(cat "$work/large.allocs") for 65 MiB."
