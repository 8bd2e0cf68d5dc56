#!/bin/sh
# run_tests.sh - the Python package's pytest suite against a build's shared library and
# vexlolpd, as CTest runs it.  The tests make their own network namespace (root).
#
# usage: run_tests.sh LIBRARY VEXLOLPD
# Exit status: pytest's; 77 skipped (no Python with pytest).  VEXLOLPR_PYTHON picks the
# interpreter; VEXLOLPR_TEST_PYTHONS (paths joined by ':') adds interpreters to the
# offline install test.
set -u
here=$(cd "$(dirname "$0")" && pwd)
library=${1:?usage: run_tests.sh LIBRARY VEXLOLPD}
server=${2:?usage: run_tests.sh LIBRARY VEXLOLPD}
# Some tests run from other directories.
case $library in /*) ;; *) library=$(pwd)/$library ;; esac
case $server in /*) ;; *) server=$(pwd)/$server ;; esac

# The first interpreter with pytest: the test script installs python3-pytest for the
# system's python3, which another python3 earlier on PATH may lack.
python=""
for candidate in ${VEXLOLPR_PYTHON:-} python3 /usr/bin/python3; do
    if "$candidate" -c 'import pytest' >/dev/null 2>&1; then
        python=$candidate
        break
    fi
done
if [ -z "$python" ]; then
    echo "python.pytest: skipped: no python3 with pytest (Debian: python3-pytest)"
    exit 77
fi

# A library built with AddressSanitizer needs its runtime first in the process, before
# Python's own libraries: the one it was linked with is preloaded.  Python leaves much
# of its memory to the exit, so leak reports are off in this process; the C suites
# check the library's own leaks.
if ldd "$library" 2>/dev/null | grep -q libtsan; then
    # Python is not built for ThreadSanitizer; the cross-thread cancel is covered by the
    # C suites there, and by these tests in the plain and ASan builds.
    echo "python.pytest: skipped: a ThreadSanitizer build is not loaded into Python"
    exit 77
fi
asan=$(ldd "$library" 2>/dev/null | awk '/libasan/ { print $3; exit }')
if [ -n "$asan" ]; then
    LD_PRELOAD="$asan${LD_PRELOAD:+:$LD_PRELOAD}"
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
    export LD_PRELOAD ASAN_OPTIONS
fi

# No bytecode or cache files in the source tree.
VEXLOLPR_LIBRARY=$library VEXLOLPD=$server PYTHONDONTWRITEBYTECODE=1 \
    exec timeout -k 10 280 "$python" -m pytest -q -rs -p no:cacheprovider "$here"
