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

packages="cmake make g++ gcc clang pkg-config googletest libgtest-dev binutils"
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

sanitize=${SANITIZE-address,undefined}
case "$sanitize" in
    "") build=build ;;
    thread) build=build-tsan ;;
    *) build=build-asan ;;
esac
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOLPR_SANITIZE="$sanitize" \
    -DVEXLOLPR_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j"$jobs"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1"
cd "$build"
ctest -j"$jobs" --output-on-failure --timeout 300
