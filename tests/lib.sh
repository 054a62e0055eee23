# Helpers for the black-box suites: each case is a shell function named case_*; run_cases runs
# them all (or those whose names match the pattern in $CASES) and reports which failed. Source
# this file, define the cases, then call run_cases.

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

# Ends the current case as skipped, with the reason: return right after calling it.
skip_case() {
    case_skipped=$*
}

run_cases() {
    local name ran=0 skipped=0
    for name in $(declare -F | awk '{print $3}' | grep '^case_' | grep -E -- "${CASES:-.}"); do
        ran=$((ran + 1))
        current_case=$name
        case_skipped=""
        local before=$failures
        "$name"
        if [ "$failures" -ne "$before" ]; then
            echo "FAIL $name"
        elif [ -n "$case_skipped" ]; then
            echo "skip $name: $case_skipped"
            skipped=$((skipped + 1))
        else
            echo "ok   $name"
        fi
    done
    if [ "$failures" -ne 0 ]; then
        echo "$failures assertion(s) failed" >&2
        exit 1
    fi
    # A run of skipped cases only (one case run alone, say) reads as skipped to CTest.
    [ "$ran" -eq 0 ] || [ "$skipped" -lt "$ran" ] || exit 77
}

# Exit status CTest reads as "skipped".
skip() {
    echo "SKIPPED: $*"
    exit 77
}

# strace for the suites. LeakSanitizer can't work under ptrace, so in a sanitizer build the leak
# check is left to the untraced runs; the other sanitizers stay on.
STRACE=(env ASAN_OPTIONS=detect_leaks=0 strace)

# True when ELF binary $1 is for another architecture than the build machine's, so that it runs
# under qemu-user (registered with binfmt_misc). Compares the ELF headers' machine fields.
runs_emulated() {
    [ "$(od -An -tu2 -j18 -N2 "$1")" != "$(od -An -tu2 -j18 -N2 /bin/sh)" ]
}

# True while process $1 runs; a zombie has ended (whoever reaps it may take its time). One read
# of its status: looking for /proc/$1 first and reading the state after would take a zombie
# reaped in between for a live process.
alive() {
    local state
    state=$(sed -n 's/^State:[[:space:]]*//p' "/proc/$1/status" 2>/dev/null)
    [ -n "$1" ] && [ -n "$state" ] && [[ $state != Z* ]]
}

# True when ELF binary $1 is linked statically (it names no program interpreter).
is_static() {
    ! readelf -l "$1" | grep -q 'Requesting program interpreter'
}

# The leak checker for binary $1 in a plain build: valgrind, or nothing (with the reason printed)
# under emulation, for a static binary or without valgrind. Sets the array $checker; extra
# valgrind options follow $1.
choose_leak_checker() {
    local binary=$1
    shift
    checker=()
    if runs_emulated "$binary"; then
        echo "     (under emulation: valgrind runs only programs of the build machine's"
        echo "      architecture; the run itself is still checked, its leaks are not)"
    elif is_static "$binary"; then
        echo "     (static binary: valgrind can't replace its malloc; the run itself is still"
        echo "      checked, its leaks are not)"
    elif command -v valgrind >/dev/null; then
        checker=(valgrind -q --leak-check=full --errors-for-leak-kinds=definite,indirect
            --error-exitcode=9 "$@")
    else
        echo "     (valgrind is not installed: leaks not checked)"
    fi
}
