#!/bin/bash
# bigendian.sh - the vexlolpr command built for a big-endian host (s390x) and run under
# qemu-user against the native vexlolpd, inside a network namespace of its own on port
# 515.  On a little-endian build machine a byte swap and the host's own conversion give
# the same bytes; only a big-endian build shows whether ports and addresses go out in
# network order.  For a dotted address and for a name: a print job (checked in the spool
# byte for byte), the queue listing and the job's removal.
#
# usage: bigendian.sh SOURCE_DIR CROSS_BUILD_DIR VEXLOLPD
# The command is cross-built into CROSS_BUILD_DIR (the library and the command only).
# Exit status: 0 all checks held, 1 a check failed, 77 skipped (not root, or the cross
# compiler, qemu-user, unshare or ip missing).  INTEROP_KEEP=1 keeps the scratch
# directory after a failure.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

triplet=s390x-linux-gnu
sysroot=/usr/$triplet

if [ "${1:-}" != --inside ]; then
    source_dir=${1:?usage: bigendian.sh SOURCE_DIR CROSS_BUILD_DIR VEXLOLPD}
    build_dir=${2:?usage: bigendian.sh SOURCE_DIR CROSS_BUILD_DIR VEXLOLPD}
    server=${3:?usage: bigendian.sh SOURCE_DIR CROSS_BUILD_DIR VEXLOLPD}
    skip() {
        echo "interop bigendian: skipped: $1"
        exit 77
    }
    [ "$(id -u)" -eq 0 ] || skip "not root"
    for tool in unshare ip timeout od; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool not found"
    done
    command -v $triplet-g++ >/dev/null 2>&1 || skip "$triplet-g++ not found (Debian: g++-$triplet)"
    qemu=$(command -v qemu-s390x || command -v qemu-s390x-static) || skip "qemu-s390x not found (Debian: qemu-user)"
    [ -e "$sysroot/lib/ld64.so.1" ] || skip "$sysroot/lib/ld64.so.1 not found (Debian: libc6-s390x-cross)"
    ns=$(namespace_command)
    [ -n "$ns" ] || skip "cannot create a network namespace"
    [ -x "$server" ] || {
        echo "interop bigendian: $server is not executable"
        exit 1
    }

    # Flags meant for the native build (sanitizers) must not reach the cross compiler.
    started=$(date +%s)
    mkdir -p "$build_dir"
    if ! { env -u CFLAGS -u CXXFLAGS -u LDFLAGS -u CC -u CXX timeout -k 10 60 \
        cmake -S "$source_dir" -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/toolchains/$triplet.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOLPR_BUILD_TESTS=OFF -DVEXLOLPR_BUILD_BENCH=OFF \
        -DVEXLOLPR_BUILD_TOOLS=ON &&
        timeout -k 10 150 cmake --build "$build_dir" -j2 --target vexlolpr_cli; } >"$build_dir/cross.log" 2>&1; then
        echo "interop bigendian: the $triplet build failed ($build_dir/cross.log):"
        tail -n 30 "$build_dir/cross.log"
        exit 1
    fi
    echo "interop bigendian: cross build of the library and the command took $(($(date +%s) - started)) s"

    work=$(mktemp -d /tmp/interop-bigendian.XXXXXX) || exit 1
    timeout -k 5 75 $ns bash "$0" --inside "$qemu" "$build_dir/tools/vexlolpr" "$server" "$work"
    finish_run bigendian $? "$work"
fi

qemu=$2
cli=$3
server=$4
work=$5
spool=$work/spool/lp
files=$work/files

ip link set lo up || {
    echo "interop bigendian: cannot bring lo up"
    exit 1
}
mkdir -p "$files"
own_job_numbers "$work/state"
unset PRINTER

start_vexlolpd "$server" "$work" 70
finish() { finish_vexlolpd bigendian "$work"; }

# ELF byte 5 is the data encoding: 2 for big-endian.
check_eq "the command is a big-endian program" 02 "$(od -An -tx1 -j5 -N1 "$cli" | tr -d ' ')"

if ! wait_for_port; then
    fail "vexlolpd accepts on port 515" "$(tail -n 20 "$work/lpd.out")"
    finish
fi

# run TAG COMMAND ARGS...: the command under qemu, bounded in time and in each network
# wait; standard output and error in $work/TAG.out and $work/TAG.err.  Returns its exit
# status.
run() {
    local tag=$1 command=$2
    shift 2
    timeout -k 5 30 "$qemu" -L "$sysroot" "$cli" "$command" --reply-timeout 10000 --wait-busy 5 "$@" \
        >"$work/$tag.out" 2>"$work/$tag.err" </dev/null
}

# Connections vexlolpd has taken so far.
connections() { grep -c '^vexlolpd: #[0-9]* ' "$work/lpd.out"; }

# ok NAME TAG COMMAND ARGS...: the command must succeed.  On failure: its message, and
# how many connections reached vexlolpd meanwhile (none: the port went out wrong).
ok() {
    local name=$1 tag=$2 rc seen
    shift 2
    seen=$(connections)
    run "$tag" "$@"
    rc=$?
    if [ "$rc" -eq 0 ]; then
        pass "$name"
        return 0
    fi
    fail "$name" "vexlolpr $* (under qemu): exit status $rc" "$(cat "$work/$tag.err")" \
        "connections that reached vexlolpd meanwhile: $(($(connections) - seen))"
    return 1
}

jobs_now() { ls "$spool" | sed -n 's/^cfA\([0-9][0-9][0-9]\).*$/\1/p' | sort; }

make_files "$files"
# A dotted address, taken by inet_addr, and a name, taken by the resolver.
for server_host in 127.0.0.1 localhost; do
    dest=lp@$server_host
    chost=be-${server_host//./-}
    wait_next_second
    avoid_job_number_zero
    before=$(jobs_now)
    ok "$server_host: print job submitted" "print-$chost" print -P "$dest" -U alice --client-host "$chost" \
        "$files/bytes.bin"
    submitted
    wait_new_jobs "$before" 1
    n=$(comm -13 <(printf '%s\n' "$before" | sed '/^$/d') <(jobs_now))
    if [ "$(printf '%s\n' "$n" | sed '/^$/d' | wc -l)" -eq 1 ]; then
        pass "$server_host: one new job in the spool (cfA$n...)"
        stem=fA$n$chost
        check_cmp "$server_host: data file equals bytes.bin, byte for byte" "$files/bytes.bin" "$spool/d$stem"
        expected_control "$chost" alice - - 0 f 1 "$stem" "$files/bytes.bin" >"$work/cf.expected"
        check_text "$server_host: control file, line by line" "$work/cf.expected" "$spool/c$stem"
    else
        fail "$server_host: one new job in the spool" "spool: $(ls "$spool" | tr '\n' ' ')"
        n=""
    fi

    # The listing is asked for even without a job: it is a connection of its own.
    if ok "$server_host: queue listing" "queue-$chost" queue -P "$dest"; then
        raw_listing lp "$work/queue.raw"
        check_cmp "$server_host: listing equals the server's bytes" "$work/queue.raw" "$work/queue-$chost.out"
        [ -n "$n" ] && check_match "$server_host: listing shows job $n" \
            "alice +$((10#$n)) +$files/bytes.bin +1024 bytes" "$(cat "$work/queue-$chost.out")"
    fi

    [ -n "$n" ] || continue
    ok "$server_host: removal" "remove-$chost" remove -P "$dest" -U alice "$((10#$n))"
    check_match "$server_host: the removal reached the server" "remove jobs from lp by alice: d$stem dequeued" \
        "$(cat "$work/lpd.out")"
    check_eq "$server_host: the job is gone from the spool" "" "$(ls "$spool" | grep -E "^[cd]fA$n")"
done
finish
