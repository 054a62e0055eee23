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

# A run killed after deleting a/x.rep: the rerun finds only b/y.rep, and must still sync a/
# before the trigger goes, or a power cut could bring a/x.rep back with the trigger gone.
case_rerun_syncs_what_the_killed_run_emptied() {
    local app=$work/emptied f
    make_app "$app"
    mkdir "$app/a" "$app/b"
    for f in a/x b/y; do echo "old $f" >"$app/$f" && echo "new $f" >"$app/$f.rep"; done
    write_manifest "$app/manifest.xml.rep" a/x b/y
    # (arm64 has unlinkat only.)
    run_updater "$app" -e inject=unlink,unlinkat:signal=KILL:when=2
    assert_eq "137 absent" "$status $([ -e "$app/a/x.rep" ] && echo present || echo absent)" \
        "killed after deleting a/x.rep"
    run_updater "$app" -y -o "$work/rerun.trace" -e trace=fsync,unlink,unlinkat,clock_nanosleep,nanosleep
    assert_eq "0 new a/x new b/y" "$status $(cat "$app/a/x" "$app/b/y" | xargs)" "rerun"
    grep -B 100 '"doupdate"' "$work/rerun.trace" | grep -q "fsync([0-9]*<$app/a>)" ||
        fail "a/ not synced before the trigger went: $(cat "$work/rerun.trace")"
}

# An update as the appliance stages one: files in the application's directory and in two below
# it, a larger one, the manifest and the updater itself (mode 0750, owned by another user when
# run as root), and one new to this release, made through a dangling symlink in a third
# directory. The checksums before and of the staged copies go beside it ($1.old, $1.expected).
stage_layered_update() {
    make_app "$1"
    rm "$1/p2.rep" "$1/p3.rep"
    stage_new_updater "$1"
    chmod 0750 "$1/updater"
    [ "$(id -u)" -eq 0 ] && chown 4242:4242 "$1/updater"
    mkdir -p "$1/bin" "$1/lib" "$1/share"
    echo "app 1" >"$1/bin/app" && echo "app 2" >"$1/bin/app.rep"
    head -c 100 /dev/urandom >"$1/lib/data.bin" && head -c 20000 /dev/urandom >"$1/lib/data.bin.rep"
    ln -s ../share/plugin "$1/lib/plugin" && echo "plug-in 2" >"$1/lib/plugin.rep"
    write_manifest "$1/manifest.xml.rep" p1 updater bin/app lib/data.bin lib/plugin
    (cd "$1" && md5sum p1 updater bin/app lib/data.bin >"$1.old" &&
        md5sum p1.rep updater.rep bin/app.rep lib/data.bin.rep lib/plugin.rep manifest.xml.rep |
        sed 's/\.rep$//' >"$1.expected")
}

# Checks every state crash_states builds from the traces $1 (runs joined by commas) of an update
# of $2 (a copy before it in $3), with the fsync numbered $5 left out when given, in batches of
# 50. Sets $states and $faulty (states with a fault); reports the first few faults when $4 is
# "report", else stops at the first. With CRASH_SEEN exported, states checked before are left
# out.
check_power_cut_states() {
    local logs=$1 app=$2 before=$3 report=$4 from total k faults
    total=$("$CRASH_STATES" count "$logs" "$app" "$before" ${5:+"$5"} 2>"$work/chosen") ||
        { cat "$work/chosen"; exit 1; }
    sed 's/^crash_states:/    /' "$work/chosen"
    states=0 faulty=0
    for ((from = 0; from < total; from += 50)); do
        rm -rf "$work/states" && mkdir "$work/states"
        "$CRASH_STATES" make "$logs" "$app" "$before" $from $((from + 50)) "$work/states" \
            ${5:+"$5"} || exit 1
        for ((k = from; k < from + 50 && k < total; k++)); do
            faults=$(update_state_faults "$work/states/$k" "$app.old" "$app.expected")
            states=$((states + 1))
            [ -z "$faults" ] && continue
            faulty=$((faulty + 1))
            [ "$report" = report ] || return 0
            [ $faulty -le 5 ] && fail "state $k, $(cat "$work/states/$k.what") ${faults//$'\n'/; }"
        done
    done
    [ -z "${CRASH_SEEN:-}" ] || mv "$CRASH_SEEN.next" "$CRASH_SEEN"
}

# Traces a run of the updater of application $1 into $2, with further strace options. (strace
# injects only into calls it traces: the sleeps are traced, and the model passes them over.)
trace_update() {
    (cd / && "${STRACE[@]}" -f -qq -y -xx -s 16777216 -o "$2" \
        -e trace=openat,open,write,pwrite64,ftruncate,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat,chdir,close,fchmod,fchown,clock_nanosleep,nanosleep \
        -e inject=clock_nanosleep,nanosleep:retval=0 "${@:3}" "$1/updater" >/dev/null </dev/null)
}

# The model is the same on every build: its states are checked once, with the plain build.
case_power_cuts_between_any_two_calls_keep_the_update() {
    runs_emulated "$UPDATER" && { case_skipped="the model runs on the build machine's own build"; return; }
    ldd "$UPDATER" 2>/dev/null | grep -q libasan &&
        { case_skipped="the model runs with the plain build"; return; }
    local app=$work/layered/app n which k deletions
    stage_layered_update "$app"
    cp -a "$app" "$app.before"
    updater_mode=$(stat -c '%a %u:%g' "$app/updater")
    trace_update "$app" "$work/calls" || fail "the traced update failed"
    # States that an earlier run here left too aren't checked again.
    export CRASH_SEEN=$work/seen
    : >"$CRASH_SEEN"
    check_power_cut_states "$work/calls" "$app" "$app.before" report
    echo "     $states states, $faulty with a fault"
    [ "$states" -gt 100 ] || fail "only $states states were checked"

    # A run killed after each of its deletions, then the rerun: cuts during the rerun, with
    # what the killed run left unsynced.
    deletions=$(grep -cE '^[0-9]+ +unlink\(' "$work/calls")
    for ((k = 2; k <= deletions; k++)); do
        rm -rf "$app" && cp -a "$app.before" "$app"
        trace_update "$app" "$work/killed" -e inject=unlink:signal=KILL:when=$k 2>/dev/null
        trace_update "$app" "$work/rerun" || fail "the rerun after a kill at unlink #$k failed"
        check_power_cut_states "$work/killed,$work/rerun" "$app" "$app.before" report
        echo "     killed at unlink #$k, then rerun: $states new states, $faulty with a fault"
    done
    unset CRASH_SEEN

    # The model sees a missing sync of a file (p1's data) and of a directory (bin/, which lost
    # bin/app.rep): without either, some state loses the update.
    for which in "$app/p1" "$app/bin"; do
        n=$(grep -E '^[0-9]+ +f(data)?sync\(' "$work/calls" |
            grep -nF "<$(printf %s "$which" | od -An -tx1 -v | tr -d ' \n' | sed 's/../\\x&/g')>)" |
            tail -n 1 | cut -d: -f1)
        check_power_cut_states "$work/calls" "$app" "$app.before" first "$n"
        echo "     without fsync #$n (${which#"$app"/}): the first fault in state $((states - 1))"
        [ "$faulty" -gt 0 ] || fail "no state shows a fault without the sync of $which"
    done
    unset updater_mode
}

run_cases
