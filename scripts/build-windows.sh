#!/bin/sh
# Cross-builds VEXLOLPR.DLL for 32-bit and 64-bit Windows with mingw-w64 into
# build-win32/ and build-win64/, installing the cross compilers first when they are
# missing (Debian, as root).
#
#   scripts/build-windows.sh            # both DLLs
#   BUILD_TYPE=Release scripts/build-windows.sh
#   WERROR=1 scripts/build-windows.sh   # warnings fail the build (the test command)
#
# Exit status 77: the cross compilers are missing and cannot be installed here.
set -eu
cd "$(dirname "$0")/.."

packages="g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64"
tools="i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix i686-w64-mingw32-windres x86_64-w64-mingw32-windres"
have_tools() {
    for t in $tools; do
        command -v "$t" >/dev/null 2>&1 || return 1
    done
}
if ! have_tools; then
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        echo "build-windows: mingw-w64 cross compilers missing; as root on Debian: apt-get install $packages" >&2
        exit 77
    fi
    echo "build-windows: installing $packages"
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $packages >/dev/null; then
        apt-get update -qq || true
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $packages >/dev/null || {
            echo "build-windows: cannot install $packages" >&2
            exit 77
        }
    fi
    have_tools || { echo "build-windows: cross compilers still missing after installing" >&2; exit 77; }
fi

jobs=$(nproc 2>/dev/null || echo 2)
for target in i686:build-win32 x86_64:build-win64; do
    arch=${target%%:*}
    dir=${target#*:}
    # Only the toolchain file: a Windows build leaves the tools and the POSIX suites out
    # by itself.
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$arch-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DVEXLOLPR_WERROR="$([ -n "${WERROR:-}" ] && echo ON || echo OFF)" >/dev/null
    cmake --build "$dir" -j"$jobs" --target vexlolpr vexlolpr_cli vexlolpr_zip dllclient
    echo "build-windows: $dir/VEXLOLPR.DLL, $dir/tools/vexlolpr.exe, $(ls "$dir"/vexlolpr-*-win*.zip)"
done
