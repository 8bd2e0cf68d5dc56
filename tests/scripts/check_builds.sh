#!/bin/sh
# Builds of the project as its users make them, each in a scratch folder:
#   check_builds.sh SOURCE_DIR nogtest   # the README's two commands without GoogleTest
#   check_builds.sh SOURCE_DIR embed     # added to another project with add_subdirectory
# Flags meant for the caller's build (sanitizers) are not passed on.
set -eu
source_dir=$1
mode=$2
work=$(mktemp -d /tmp/vexlolpr-builds.XXXXXX)
trap 'rm -rf "$work"' EXIT
unset CFLAGS CXXFLAGS LDFLAGS
fail() {
    echo "FAIL: $*"
    exit 1
}

case $mode in
nogtest)
    # As on a machine without GoogleTest: configure must say so in one line and build
    # the libraries and both tools.
    cmake -S "$source_dir" -B "$work/build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=TRUE >"$work/configure.log" 2>&1 ||
        { cat "$work/configure.log"; fail "configure stopped"; }
    grep -x -- '-- vexlolpr: tests off: GoogleTest not found (Debian: libgtest-dev)' "$work/configure.log" >/dev/null ||
        { cat "$work/configure.log"; fail "configure does not say why the tests are off"; }
    cmake --build "$work/build" -j2 >"$work/build.log" 2>&1 || { tail -n 30 "$work/build.log"; fail "build failed"; }
    for f in libvexlolpr.so libvexlolpr.a tools/vexlolpr tools/vexlolpd; do
        [ -f "$work/build/$f" ] || fail "$f not built"
    done
    [ ! -e "$work/build/tests" ] || fail "the suites were configured without GoogleTest"
    "$work/build/tools/vexlolpr" --version
    echo "without GoogleTest: libraries and tools built, tests off"
    ;;
embed)
    # The parent sets a build type, a warning and a definition of its own, and asks for
    # this project's sanitizer; its target must get its flags and none of ours.
    cmake -S "$source_dir/tests/consumer/embed" -B "$work/build" -DVEXLOLPR_SOURCE_DIR="$source_dir" \
        -DCMAKE_BUILD_TYPE=Debug -DVEXLOLPR_SANITIZE=undefined >"$work/configure.log" 2>&1 ||
        { cat "$work/configure.log"; fail "configure stopped"; }
    grep -x -- '-- vexlolpr: tests off: not the top-level project' "$work/configure.log" >/dev/null ||
        { cat "$work/configure.log"; fail "configure does not say why the tests are off"; }
    cmake --build "$work/build" -j2 >"$work/build.log" 2>&1 || { tail -n 30 "$work/build.log"; fail "build failed"; }
    [ ! -e "$work/build/vexlolpr/tools" ] || fail "the tools were built inside another project"
    python3 - "$work/build/compile_commands.json" <<'PY' || fail "compile flags crossed between the projects"
import json, sys
ours, theirs = [], []
for entry in json.load(open(sys.argv[1])):
    (theirs if entry["file"].endswith("/consumer/main.c") else ours).append(entry["command"])
ok = len(theirs) == 1 and len(ours) > 0
for words, want, unwanted in ((theirs, ["-DEMBEDDER_OWN_FLAG", "-Wshadow", "-g"], ["-Wall", "-Wextra", "-fsanitize", "-fvisibility"]),
                              (ours, ["-Wall", "-Wextra", "-fsanitize=undefined", "-fvisibility=hidden"], [])):
    for command in words:
        flags = command.split()
        for w in want:
            if not any(f == w or f.startswith(w + "=") for f in flags):
                print("missing", w, "in:", command); ok = False
        for u in unwanted:
            if any(f.startswith(u) for f in flags):
                print("unwanted", u, "in:", command); ok = False
print("compile commands: %d of the library, %d of the parent" % (len(ours), len(theirs)))
sys.exit(0 if ok else 1)
PY
    "$work/build/consumer"
    echo "embedded: the parent's target has its own flags only, the library its own"
    ;;
*) fail "unknown mode $mode" ;;
esac
