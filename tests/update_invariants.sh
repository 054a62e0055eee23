# What a power cut during an update may leave, and what it must not: shared by the check on the
# ARM guest's logged block writes (power_cut_check.sh) and the one on the system calls of a
# traced run (updater_crash_test.sh). Expects lib.sh (STRACE).

# Prints one line per fault of the application in directory $1, against the checksums of its
# files before the update ($2) and of its staged copies ($3, "<md5> <target>" lines: the
# targets); then reruns its updater there (itself, as the appliance would) and checks that the
# update completes. Prints nothing for a sound state: each staged copy still whole until its
# target is new, the trigger kept until every target is, the updater itself old or new.
update_state_faults() {
    local app=$1 s name t current staged all_new=1 out status left
    local -A old new
    local -a targets=() files=()
    while read -r s name; do old[$name]=$s; done <"$2"
    while read -r s name; do new[$name]=$s; targets+=("$name") files+=("$name" "$name.rep"); done <"$3"
    # One md5sum for all: this runs for every state, where each process started counts.
    sums() {
        sum=()
        while read -r s name; do sum[$name]=$s; done < <(cd "$app" && md5sum -- "${files[@]}" 2>/dev/null)
    }
    local -A sum
    sums
    for t in "${targets[@]}"; do
        current=${sum[$t]:-} staged=${sum[$t.rep]:-}
        [ "$current" = "${new[$t]}" ] && [ -z "$staged" ] || all_new=0
        if [ -n "$staged" ]; then
            [ "$staged" = "${new[$t]}" ] || echo "$t.rep is no longer the staged content"
        elif [ "$current" != "${new[$t]}" ]; then
            echo "$t.rep is gone, $t is $([ -n "$current" ] && [ "$current" = "${old[$t]:-}" ] &&
                echo old || echo "neither old nor new")"
        fi
    done
    [ -e "$app/doupdate" ] || [ $all_new = 1 ] || echo "the trigger is gone, the update is not"
    if [ "${sum[updater]:-}" != "${old[updater]}" ] && [ "${sum[updater]:-}" != "${new[updater]}" ]; then
        echo "the updater is neither old nor new"
        return
    fi
    # $updater_mode, when set: the updater's mode and owner ("750 4242:4242"), old or new.
    if [ -n "${updater_mode:-}" ]; then
        t=$(stat -c '%a %u:%g' "$app/updater")
        [ "$t" = "$updater_mode" ] || echo "the updater's mode and owner are $t, not $updater_mode"
    fi
    out=$(cd / && "${STRACE[@]}" --seccomp-bpf -f -qq -o /dev/null -e trace=clock_nanosleep,nanosleep \
        -e inject=clock_nanosleep,nanosleep:retval=0 "$app/updater" 2>&1 </dev/null)
    status=$?
    [ $status -eq 0 ] || echo "the rerun ended with $status: $out"
    sums
    for t in "${targets[@]}"; do
        [ "${sum[$t]:-}" = "${new[$t]}" ] || echo "after the rerun $t is not new"
    done
    left=$(cd "$app" && find . -name '*.rep' -o -name '*.updating' -o -name doupdate)
    [ -z "$left" ] || echo "after the rerun these are left:" $left
}
