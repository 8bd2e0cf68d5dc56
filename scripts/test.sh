#!/bin/sh
# The project's one test command: installs what the build and the tests need (Debian),
# then builds and runs every suite, by default under AddressSanitizer and
# UndefinedBehaviorSanitizer, failing on any report.
#
#   scripts/test.sh                 # ASan + UBSan build in build-asan/
#   SANITIZE= scripts/test.sh       # plain build in build/
#   SANITIZE=thread scripts/test.sh # TSan build in build-tsan/
set -eu
cd "$(dirname "$0")/.."

# g++-s390x-linux-gnu and qemu-user: the command built for a big-endian host and run
# under emulation (interop.bigendian), where a wrong byte order shows.  strace: the
# system calls of a traced job (closed_descriptors).  python3-pytest and python3-venv:
# the Python package's tests and its install into a fresh virtual environment.  socat:
# relays IPv6 to LPRng's lpd, which listens on IPv4 only (interop.ipv6).  nftables:
# random loss on the links between two namespaces (links.ci) and on the loopback of the
# cancel storm (longrun.ci).
packages="cmake make g++ gcc clang pkg-config googletest libgtest-dev binutils iproute2 util-linux lprng python3 groff-base mandoc time libcups2 g++-s390x-linux-gnu qemu-user strace python3-pytest python3-venv socat nftables libpaper1"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    if [ "$(id -u)" -ne 0 ]; then
        echo "packages missing and not root: install$missing" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
fi

jobs=$(nproc 2>/dev/null || echo 2)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

# The Windows DLLs: cross-built with mingw-w64 and checked statically (exports, imports,
# resources, record layouts, a program linked by name), and each under Wine of its own
# machine.  SKIP_WINDOWS=1 leaves them out; a machine where the cross compilers cannot
# be installed says so and goes on with the rest.
if [ -z "${SKIP_WINDOWS:-}" ]; then
    # wine64 for the 64-bit DLL's behaviour tests, and Xvfb, xdotool and ImageMagick for
    # the dialog of both DLLs.  A machine that cannot install them skips those tests and
    # says so.
    gui="xvfb xdotool imagemagick openbox"
    if [ "$(id -u)" -eq 0 ] && { [ ! -x /usr/lib/wine/wine64 ] || ! command -v Xvfb >/dev/null 2>&1 ||
        ! command -v xdotool >/dev/null 2>&1 || ! command -v import >/dev/null 2>&1 ||
        ! command -v openbox >/dev/null 2>&1; }; then
        echo "installing wine64 $gui"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine64 $gui >/dev/null 2>&1 ||
            echo "wine64 or $gui could not be installed: the DLL's behaviour tests are skipped"
    fi
    # wine32 for the 32-bit DLL, under qemu-i386 where the kernel runs no 32-bit
    # programs; this upgrades qemu-user to the backports' version 10.
    wine32=0
    scripts/setup-wine32.sh || wine32=$?
    [ $wine32 -eq 0 ] || [ $wine32 -eq 77 ] ||
        echo "setup-wine32.sh failed ($wine32): the 32-bit DLL's behaviour tests are skipped"
    windows=0
    WERROR=1 scripts/build-windows.sh || windows=$?
    case $windows in
    0) ;; # checked once the native build below has the server the command's cases need
    77) echo "WINDOWS DLL NOT BUILT OR CHECKED: mingw-w64 cross compilers unavailable (see above)" ;;
    *) exit "$windows" ;;
    esac
fi

# The Debian packages, built from a copy of the tree, checked with lintian, installed,
# used and removed again (scripts/check-debian.sh).  SKIP_DEBIAN=1 leaves them out.
if [ -z "${SKIP_DEBIAN:-}" ]; then
    debian=0
    scripts/check-debian.sh || debian=$?
    case $debian in
    0) ;;
    77) echo "DEBIAN PACKAGES NOT CHECKED (see above)" ;;
    *) exit "$debian" ;;
    esac
fi

# The default run also builds the suites that cross threads under ThreadSanitizer
# (a cancel from another thread, posts to another thread's queue) and runs them first.
if [ -z "${SANITIZE+set}" ] && [ -z "${SKIP_TSAN:-}" ]; then
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOLPR_SANITIZE=thread -DVEXLOLPR_WERROR=ON \
        -DVEXLOLPR_BUILD_TESTS=ON -DVEXLOLPR_BUILD_TOOLS=OFF >/dev/null
    cmake --build build-tsan -j"$jobs" --target test_wait test_eventsource test_readwrite test_threads
    (cd build-tsan && ctest -j"$jobs" --output-on-failure --timeout 300 \
        -R '^(DialogTest|DisplayTest|NotificationTest|QueueTest|ThreadsTest|From/RandomCancelTest)\.|CancelFromAnotherThread|CancelledWrite')
fi

sanitize=${SANITIZE-address,undefined}
case "$sanitize" in
    "") build=build ;;
    thread) build=build-tsan ;;
    *) build=build-asan ;;
esac
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOLPR_SANITIZE="$sanitize" -DVEXLOLPR_WERROR=ON \
    -DVEXLOLPR_BUILD_TESTS=ON -DVEXLOLPR_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$jobs"

if [ "${windows:-77}" -eq 0 ]; then
    # dll_static_checks for both (the command's image too); dll_wine32, dll_gui32,
    # dll_wine64 and dll_gui run each DLL under its own Wine, cli_wine32 and cli_wine64
    # the command from its package against this build's vexlolpd; each is skipped where
    # that cannot run.
    export VEXLOLPD="$PWD/$build/tools/vexlolpd"
    (cd build-win32 && ctest --output-on-failure --timeout 400)
    (cd build-win64 && ctest --output-on-failure --timeout 400)
fi

cd "$build"
ctest -j"$jobs" --output-on-failure --timeout 300
