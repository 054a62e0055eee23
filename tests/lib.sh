# Helpers for the black-box suites: each case is a shell function named case_*; run_cases runs
# them all and reports which failed. Source this file, define the cases, then call run_cases.

failures=0
current_case=""

fail() {
    echo "FAIL [$current_case]: $*" >&2
    failures=$((failures + 1))
}

assert_eq() {  # expected actual what
    if [ "$1" != "$2" ]; then
        fail "$3"$'\n'"--- expected:"$'\n'"$1"$'\n'"--- actual:"$'\n'"$2"
    fi
}

assert_exists() { [ -e "$1" ] || [ -L "$1" ] || fail "expected $1 to exist"; }
assert_absent() { [ ! -e "$1" ] && [ ! -L "$1" ] || fail "expected $1 to be absent"; }
assert_content() {  # file expected
    if [ ! -f "$1" ]; then fail "expected file $1"; return; fi
    assert_eq "$2" "$(cat "$1")" "content of $1"
}

# Lists every file below $1 with its content checksum, for before/after comparisons.
snapshot() {
    (cd "$1" && find . -mindepth 1 -printf '%y %m %p\n' | sort &&
        find . -type f -exec sha1sum {} + | sort -k2)
}

run_cases() {
    local name
    for name in $(declare -F | awk '{print $3}' | grep '^case_'); do
        current_case=$name
        local before=$failures
        "$name"
        if [ "$failures" -eq "$before" ]; then echo "ok   $name"; else echo "FAIL $name"; fi
    done
    if [ "$failures" -ne 0 ]; then
        echo "$failures assertion(s) failed" >&2
        exit 1
    fi
}

# Exit status CTest reads as "skipped".
skip() {
    echo "SKIPPED: $*"
    exit 77
}

# strace for the suites. LeakSanitizer can't work under ptrace, so in a sanitizer build the leak
# check is left to the untraced runs; the other sanitizers stay on.
STRACE=(env ASAN_OPTIONS=detect_leaks=0 strace)
