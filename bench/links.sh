#!/bin/bash
# links.sh - the full run of tests/links/links.sh: every link condition against vexlolpd
# and LPRng's lpd, jobs of 1 KiB, 64 KiB and 4 MiB in both file orders from the command
# (no-yield and --yield) and the library, with listings and removals.  Prints the
# Markdown tables and writes them to a file.  About 20 minutes on 2 cores: a 4 MiB job
# over 256 kbit/s alone takes over two minutes, and each client sends two of them.
#
# usage: bench/links.sh [options]
#   --ci           the CI size instead (the ctest entry links.ci; about three minutes)
#   --only LIST    comma-separated conditions (names in tests/links/links.sh)
#   --lanes N      cells run side by side (default 4)
#   --out FILE     where the Markdown goes (default bench/links-results.md)
#   --build DIR    build tree (default build-bench-links at the top of the checkout;
#                  Release, with the tests, for interop_client)
#   --no-build     use the programs already in the build tree
#   --no-install   install no Debian packages
#   --keep         keep the scratch directory (logs, traces, spools of wrong jobs)
# Exit status: that of tests/links/links.sh (0 nothing wrong, 1 otherwise, 77 skipped),
# or 1 when the build fails, 2 usage.
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)

size=--full
profile=full
out=$here/links-results.md
build=$top/build-bench-links
do_build=1
do_install=1
pass=()
usage() {
    sed -n '/^# usage:/,/^set -u/p' "$0" | grep '^#' | sed 's/^# \{0,1\}//' >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
    --ci) size="" profile=ci ;;
    --only | --lanes) pass+=("$1" "${2:?}") && shift ;;
    --keep) pass+=(--keep) ;;
    --out) out=${2:?} && shift ;;
    --build) build=${2:?} && shift ;;
    --no-build) do_build=0 ;;
    --no-install) do_install=0 ;;
    *) usage ;;
    esac
    shift
done

log() { echo "bench: $*" >&2; }
[ "$(id -u)" -eq 0 ] || {
    log "skipped: needs root (network namespaces, port 515)"
    exit 77
}
if [ "$do_install" -eq 1 ]; then
    need=""
    for p in cmake make gcc g++ googletest libgtest-dev iproute2 util-linux lprng nftables; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need="$need $p"
    done
    if [ -n "$need" ]; then
        log "installing:$need"
        apt-get update -qq >/dev/null 2>&1
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null 2>&1 ||
            log "could not install:$need"
    fi
fi
if [ "$do_build" -eq 1 ]; then
    log "building (Release) in $build"
    mkdir -p "$build" || exit 1
    if ! cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVEXLOLPR_BUILD_TESTS=ON \
        -DVEXLOLPR_BUILD_TOOLS=ON -DVEXLOLPR_BUILD_BENCH=OFF >"$build/links-build.log" 2>&1 ||
        ! cmake --build "$build" -j"$(nproc)" --target vexlolpr_cli interop_client vexlolpd \
            >>"$build/links-build.log" 2>&1; then
        tail -n 30 "$build/links-build.log" >&2
        log "build failed (log: $build/links-build.log)"
        exit 1
    fi
fi

tables=$(mktemp /tmp/links-tables.XXXXXX) || exit 1
trap 'rm -f "$tables"' EXIT
started=$SECONDS
# shellcheck disable=SC2086
"$top/tests/links/links.sh" $size "${pass[@]}" --table "$tables" "$build/tools/vexlolpr" \
    "$build/tests/interop/interop_client" "$build/tools/vexlolpd"
status=$?
[ "$status" -eq 77 ] && exit 77
{
    echo "# vexlolpr over real links"
    echo
    echo "Run $(date -u '+%Y-%m-%d %H:%M:%S') UTC, commit $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo unknown), profile \`$profile\`, $((SECONDS - started)) s; $(uname -n), Linux $(uname -r), $(nproc) CPUs."
    echo
    echo "Client 10.251.179.1 and server 10.251.179.2 in two network namespaces joined by a veth pair, one pair per condition and server; rates by \`tc tbf\` on both ends, loss by nftables (\`numgen random mod 100 < N drop\` on each end's input). A job counts as ok only when the spool holds it whole; a failure counts as written only with a message of the library's table within the reply time-out and a second, and no job left."
    cat "$tables"
    echo
    echo "Exit status of the run: $status ($([ "$status" -eq 0 ] && echo "nothing wrong" || echo "see above"))."
} >"$out"
log "written to $out"
exit "$status"
