# shellcheck shell=bash
# checks.sh - sourced by the shell test drivers: the count of checks that held and
# failed, and the checks themselves, each printing an "ok" or "FAIL" line.

passed=0
failed=0

pass() {
    passed=$((passed + 1))
    echo "ok   - $1"
}

fail() {
    failed=$((failed + 1))
    echo "FAIL - $1"
    shift
    local line
    for line in "$@"; do
        echo "       $line"
    done
}

# check_eq NAME EXPECTED ACTUAL
check_eq() {
    if [ "$2" = "$3" ]; then
        pass "$1"
    else
        fail "$1" "expected: '$2'" "actual:   '$3'"
    fi
}

# check_match NAME EXTENDED-REGEX TEXT
check_match() {
    if printf '%s' "$3" | grep -Eq -- "$2"; then
        pass "$1"
    else
        fail "$1" "expected to match: $2" "actual: '$3'"
    fi
}

# check_no_match NAME EXTENDED-REGEX TEXT
check_no_match() {
    if printf '%s' "$3" | grep -Eq -- "$2"; then
        fail "$1" "expected not to match: $2" "actual: '$3'"
    else
        pass "$1"
    fi
}

# check_cmp NAME EXPECTED-FILE ACTUAL-FILE: byte for byte; on a difference the sizes
# and the first differing bytes are shown.
check_cmp() {
    if [ ! -f "$3" ]; then
        fail "$1" "missing file: $3"
    elif cmp -s -- "$2" "$3"; then
        pass "$1"
    else
        fail "$1" "expected $(wc -c <"$2") bytes ($2), got $(wc -c <"$3") bytes ($3)" \
            "$(cmp -- "$2" "$3" 2>&1 | head -n 1)" \
            "first differing bytes (offset, octal expected, octal actual):" \
            "$(cmp -l -- "$2" "$3" 2>/dev/null | head -n 8 | tr '\n' ';')"
    fi
}

