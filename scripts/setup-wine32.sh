#!/bin/sh
# Makes this machine run 32-bit Wine, for the 32-bit DLL's behaviour tests (Debian
# bookworm, x86-64, as root).  Idempotent: what is already in place is left as it is.
#   - where the kernel cannot execute 32-bit x86 programs itself (a small static one,
#     assembled here, tells) or WINE32_QEMU=1 asks for it: qemu-user 10 from
#     bookworm-backports, binfmt_misc mounted and qemu-i386 registered for 32-bit x86
#     programs by hand, as binfmt-support leaves i386 out on an x86-64 host.  qemu 10
#     starts a program in about 1.5 s against about 60 s for bookworm's 7.2 (the
#     big-endian interop test uses the same package).  Once registered, the entry
#     stays in use; `echo -1 >/proc/sys/fs/binfmt_misc/qemu-i386` removes it;
#   - the i386 architecture and wine32:i386.
# Exit status 0 when 32-bit programs run; 77, with the reason in one line, when that
# cannot be done here (the tests then skip themselves).
set -eu

skip() {
    echo "setup-wine32: $* (the 32-bit DLL's Wine tests are skipped)"
    exit 77
}

[ "$(id -u)" -eq 0 ] || skip "not root"
for tool in apt-get dpkg mount; do
    command -v "$tool" >/dev/null 2>&1 || skip "no $tool"
done
[ "$(dpkg --print-architecture)" = amd64 ] || skip "the host is $(dpkg --print-architecture), not amd64"
# shellcheck disable=SC1091 # the system's
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
updated=0
update() {
    if [ $updated -eq 0 ]; then
        apt-get update -qq || skip "apt-get update failed"
        updated=1
    fi
}
# Another apt run on this machine is waited for, a while.
install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=300 --no-install-recommends "$@" \
        >/dev/null
}

# ---- can the kernel run 32-bit x86 programs? ------------------------------------------
binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/qemu-i386
# With an i386 entry in place, any 32-bit program would run, emulated: it is kept.
if [ -z "${WINE32_QEMU:-}" ] && ! grep -qx enabled "$entry" 2>/dev/null; then
    probe=$(mktemp -d)
    # exit(32) through the 32-bit system call gate: a native run says 32.
    # shellcheck disable=SC2016 # assembler, not shell
    printf '.globl _start\n_start:\n\tmovl $1, %%eax\n\tmovl $32, %%ebx\n\tint $0x80\n' >"$probe/exit.s"
    rc=0
    { as --32 -o "$probe/exit.o" "$probe/exit.s" && ld -m elf_i386 -o "$probe/exit" "$probe/exit.o" &&
        "$probe/exit"; } >/dev/null 2>&1 || rc=$?
    rm -rf "$probe"
    if [ $rc -eq 32 ]; then
        WINE32_QEMU=0
    fi
fi

# ---- qemu-user 10 ---------------------------------------------------------------------
qemu_version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
upgraded=0
if [ "${WINE32_QEMU:-}" != 0 ] && ! dpkg --compare-versions "${qemu_version:-0}" ge 1:10; then
    if [ "$codename" = bookworm ]; then
        sources=/etc/apt/sources.list.d/bookworm-backports.sources
        want="Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
        if [ ! -f "$sources" ] || [ "$(cat "$sources")" != "$want" ]; then
            echo "$want" >"$sources"
        fi
        update
        # Backports are never chosen on their own: qemu-user alone is taken from there.
        install -t bookworm-backports qemu-user || skip "qemu-user could not be installed from bookworm-backports"
    else
        # A later release has qemu-user 10 or newer itself.
        update
        install qemu-user || skip "qemu-user could not be installed"
    fi
    upgraded=1
fi

# ---- binfmt_misc: 32-bit x86 ELF programs to qemu-i386 -------------------------------------
if [ "${WINE32_QEMU:-}" != 0 ]; then
    qemu=$(command -v qemu-i386-static || command -v qemu-i386 || true)
    [ -n "$qemu" ] || skip "no qemu-i386 after installing qemu-user"
    qemu=$(readlink -f "$qemu")
    if [ ! -e "$binfmt/register" ]; then
        mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || skip "binfmt_misc cannot be mounted"
    fi
    # Flag F: the kernel opens the interpreter at registration, so that it is found in
    # any mount namespace.  The open file is the one registered: after an upgrade of
    # qemu the entry is made anew, so that the new one runs.
    if [ -e "$entry" ] && { [ $upgraded -eq 1 ] || ! grep -qx "interpreter $qemu" "$entry" ||
        ! grep -q '^flags:.*F' "$entry" || ! grep -qx enabled "$entry"; }; then
        echo -1 >"$entry" 2>/dev/null || skip "the old qemu-i386 entry of binfmt_misc cannot be removed"
    fi
    if [ ! -e "$entry" ]; then
        magic='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
        mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        # printf, not echo: the kernel, not the shell, reads the escapes.
        printf ':qemu-i386:M::%s:%s:%s:F\n' "$magic" "$mask" "$qemu" >"$binfmt/register" 2>/dev/null ||
            skip "qemu-i386 cannot be registered with binfmt_misc"
    fi
fi

# ---- wine32 ---------------------------------------------------------------------------
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    updated=0
fi
if ! installed wine32:i386; then
    update
    install wine32:i386 || skip "wine32:i386 could not be installed"
fi
[ -x /usr/lib/wine/wine ] || skip "no 32-bit Wine loader after installing wine32"
version=$(timeout 120 /usr/lib/wine/wine --version 2>/dev/null) || skip "the 32-bit Wine loader does not start"
if [ "${WINE32_QEMU:-}" = 0 ]; then
    echo "setup-wine32: $version runs natively"
else
    echo "setup-wine32: $version runs under qemu-i386 (qemu-user $(dpkg-query -W -f='${Version}' qemu-user))"
fi
