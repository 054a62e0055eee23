#!/bin/bash
# Crash convergence of the updater: kills a three-file update (one of them the updater itself)
# at every call of each mutating system call in turn, reruns it without a fault and checks
# that the application directory always ends up exactly as after an uninterrupted run.
UPDATER=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/updater_common.sh"
command -v strace >/dev/null || skip "strace is not installed"
work=$(mktemp -d /tmp/updater_crash.XXXXXX)
trap 'rm -rf "$work"' EXIT

template=$work/template
make_app "$template"
stage_new_updater "$template"
write_manifest "$template/manifest.xml.rep" p1 updater p3
expected=$(clean_run_snapshot "$template")

case_every_crash_point_converges() {
    local syscall n app=$work/app total=0
    for syscall in openat open write fsync close unlink unlinkat rename renameat renameat2; do
        for ((n = 1; ; n++)); do
            rm -rf "$app" && cp -a "$template" "$app"
            run_updater "$app" -e inject="$syscall:signal=KILL:when=$n"
            [ "$status" -eq 137 ] || break  # the run makes fewer than n such calls
            total=$((total + 1))
            run_updater "$app"
            if [ "$status" -ne 0 ]; then
                fail "rerun after a crash at $syscall #$n ended with $status: $out"
            fi
            assert_eq "$expected" "$(snapshot "$app")" "state after a crash at $syscall #$n"
        done
        echo "     $syscall: $((n - 1)) crash point(s)"
    done
    echo "     $total crash points tried"
    [ "$total" -gt 20 ] || fail "only $total crash points were reached"
}

run_cases
