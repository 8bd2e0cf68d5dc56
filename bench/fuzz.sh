#!/bin/sh
# Fuzzes every place of the library that interprets the server's bytes, with libFuzzer
# under AddressSanitizer and UndefinedBehaviorSanitizer, one target after the other in a
# single worker, and prints a table of the figures.
#
#   bench/fuzz.sh [SECONDS] [TARGET...]    # default 60 s each; targets: initial acks queue remove findjob
#   MERGE=1 bench/fuzz.sh 600              # then adds the grown inputs that bring new
#                                          # coverage to tests/fuzz/corpus/<target>/
#
# Builds in build-fuzz/ (FUZZ_BUILD to change), with clang.  Each target starts from the
# checked-in corpus; what it grows, and any finding (crash-*, leak-*, timeout-*, oom-*),
# stays in build-fuzz/fuzz-run/<target>/.  Exits 1 when anything was found.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=${1:-60}
case "$seconds" in
    '' | *[!0-9]*) echo "usage: $0 [SECONDS] [TARGET...]" >&2; exit 2 ;;
esac
[ $# -gt 0 ] && shift
targets=${*:-initial acks queue remove findjob}
for t in $targets; do
    [ -d "tests/fuzz/corpus/$t" ] || { echo "no fuzz target $t" >&2; exit 2; }
done

# clang and its libFuzzer runtime (libclang_rt.fuzzer, from libclang-rt-dev), and what
# the test support needs, from Debian's packages.
need=""
for p in cmake make clang libclang-rt-dev libgtest-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need="$need $p"
done
if [ -n "$need" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing and not root: install$need" >&2
        exit 1
    fi
    echo "installing:$need"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $need >/dev/null
fi

build=${FUZZ_BUILD:-build-fuzz}
jobs=$(nproc 2>/dev/null || echo 2)
# The library and the targets carry libFuzzer's coverage; the targets link its driver.
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOLPR_SANITIZE=address,undefined \
    -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
    -DVEXLOLPR_FUZZ_ENGINE=libfuzzer -DVEXLOLPR_BUILD_TESTS=ON -DVEXLOLPR_BUILD_TOOLS=OFF >/dev/null
binaries=""
for t in $targets; do binaries="$binaries fuzz_$t"; done
cmake --build "$build" -j"$jobs" --target $binaries >/dev/null

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
results=$(mktemp)
trap 'rm -f "$results"' EXIT
found_any=0
for t in $targets; do
    run="$build/fuzz-run/$t"
    mkdir -p "$run/corpus" "$run/findings"
    log="$run/fuzz.log"
    echo "fuzzing $t for $seconds s (log: $log)"
    start=$(date +%s)
    # One worker in this process; new inputs go to the first folder, the checked-in
    # corpus is only read.  A finding stops the run, as does the time.
    status=0
    tests/scripts/in_netns.sh "$build/tests/fuzz/fuzz_$t" "$run/corpus" "tests/fuzz/corpus/$t" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=20000 \
        -print_final_stats=1 -artifact_prefix="$run/findings/" >"$log" 2>&1 || status=$?
    elapsed=$(($(date +%s) - start))
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    corpus=$(grep -o 'corp: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    findings=$(find "$run/findings" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
        -o -name 'oom-*' \) | wc -l)
    if [ "$status" -ne 0 ] && [ "$findings" -eq 0 ]; then
        findings=1 # the run died without an artifact: see its log
    fi
    [ "$findings" -gt 0 ] && found_any=1
    echo "$t ${elapsed:-0} ${execs:-0} ${corpus:-0} ${cov:-0} $findings" >>"$results"
    if [ "${MERGE:-}" = 1 ] && [ "$findings" -eq 0 ]; then
        # Only inputs that add coverage to the checked-in corpus are taken into it.
        "$build/tests/fuzz/fuzz_$t" -merge=1 -max_len=20000 "tests/fuzz/corpus/$t" "$run/corpus" \
            >"$run/merge.log" 2>&1
        echo "merged into tests/fuzz/corpus/$t: $(ls "tests/fuzz/corpus/$t" | wc -l) inputs"
    fi
done

echo
printf '%-8s %8s %12s %9s %8s %8s %9s\n' target seconds executions exec/s corpus cov findings
while read -r t elapsed execs corpus cov findings; do
    rate=0
    [ "$elapsed" -gt 0 ] && rate=$((execs / elapsed))
    printf '%-8s %8s %12s %9s %8s %8s %9s\n' "$t" "$elapsed" "$execs" "$rate" "$corpus" "$cov" "$findings"
done <"$results"
if [ "$found_any" -ne 0 ]; then
    echo "FINDINGS: see $root/$build/fuzz-run/<target>/findings and fuzz.log" >&2
    exit 1
fi
