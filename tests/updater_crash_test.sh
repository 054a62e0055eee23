#!/bin/bash
# Crash convergence of the updater: kills a three-file update (one of them the updater itself)
# at every call of each mutating system call in turn, reruns it without a fault and checks
# that the application directory always ends up exactly as after an uninterrupted run. Then
# power cuts, as the weakest persistence POSIX allows, at every call (CRASH_STATES builds them).
# Usage: updater_crash_test.sh UPDATER CRASH_STATES
UPDATER=$(realpath "$1")
CRASH_STATES=$(realpath "$2")
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/updater_common.sh"
. "$(dirname "$0")/update_invariants.sh"
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

# An update as the appliance stages one: files in the application's directory and below it, one
# new to this release, a larger one, the manifest and the updater itself. The checksums before
# and of the staged copies go beside it ($1.old, $1.expected).
stage_layered_update() {
    make_app "$1"
    rm "$1/p2.rep" "$1/p3.rep"
    stage_new_updater "$1"
    mkdir -p "$1/bin" "$1/lib"
    echo "app 1" >"$1/bin/app" && echo "app 2" >"$1/bin/app.rep"
    head -c 100 /dev/urandom >"$1/lib/data.bin" && head -c 20000 /dev/urandom >"$1/lib/data.bin.rep"
    echo "plug-in 2" >"$1/lib/plugin.rep"
    write_manifest "$1/manifest.xml.rep" p1 updater bin/app lib/data.bin lib/plugin
    (cd "$1" && md5sum p1 updater bin/app lib/data.bin >"$1.old" &&
        md5sum p1.rep updater.rep bin/app.rep lib/data.bin.rep lib/plugin.rep manifest.xml.rep |
        sed 's/\.rep$//' >"$1.expected")
}

# Checks every state crash_states builds from the trace of an update of $1 (a copy before it in
# $2), with the fsync numbered $4 left out when given, in batches of 50. Sets $states and $faulty
# (states with a fault); reports the first few faults when $3 is "report", else stops at the
# first.
check_power_cut_states() {
    local app=$1 before=$2 report=$3 from total k faults
    total=$("$CRASH_STATES" count "$work/calls" "$app" "$before" ${4:+"$4"}) || exit 1
    states=0 faulty=0
    for ((from = 0; from < total; from += 50)); do
        rm -rf "$work/states" && mkdir "$work/states"
        "$CRASH_STATES" make "$work/calls" "$app" "$before" $from $((from + 50)) "$work/states" \
            ${4:+"$4"} || exit 1
        for ((k = from; k < from + 50 && k < total; k++)); do
            faults=$(update_state_faults "$work/states/$k" "$app.old" "$app.expected")
            states=$((states + 1))
            [ -z "$faults" ] && continue
            faulty=$((faulty + 1))
            [ "$report" = report ] || return 0
            [ $faulty -le 5 ] && fail "state $k, $(cat "$work/states/$k.what") ${faults//$'\n'/; }"
        done
    done
}

# The model is the same on every build: its states are checked once, with the plain build.
case_power_cuts_between_any_two_calls_keep_the_update() {
    runs_emulated "$UPDATER" && { case_skipped="the model runs on the build machine's own build"; return; }
    ldd "$UPDATER" 2>/dev/null | grep -q libasan &&
        { case_skipped="the model runs with the plain build"; return; }
    local app=$work/layered/app
    stage_layered_update "$app"
    cp -a "$app" "$app.before"
    (cd / && "${STRACE[@]}" -f -qq -y -xx -s 16777216 -o "$work/calls" \
        -e trace=openat,open,write,pwrite64,ftruncate,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat,chdir,close \
        -e inject=clock_nanosleep,nanosleep:retval=0 "$app/updater" >/dev/null </dev/null) ||
        fail "the traced update failed"
    check_power_cut_states "$app" "$app.before" report
    echo "     $states states, $faulty with a fault"
    [ "$states" -gt 100 ] || fail "only $states states were checked"
    # The model sees a missing sync: without the first fsync (p1's), states lose p1.
    check_power_cut_states "$app" "$app.before" first 1
    echo "     without the first fsync: the first fault in state $((states - 1))"
    [ "$faulty" -gt 0 ] || fail "no state shows a fault without the first fsync"
}

run_cases
