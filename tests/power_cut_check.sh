#!/bin/bash
# Power cuts during an update on ext4, from the block writes that the ARM guest's disk logged
# (arm_system_test.sh): the disk is rebuilt as it would stand after a cut at every flush of the
# update and at random points between them (writes the disk's cache still held lost at random),
# its file system recovered with e2fsck and the application read out of it with debugfs. Each
# state must keep the update recoverable, and a rerun of the updater must complete it.
# Usage: power_cut_check.sh IMAGE LOG REPLAY
#   IMAGE: the disk before the guest booted; LOG: its block writes; REPLAY: replay_writes.
# The guest (arm_system_guest.sh) marks each of its two updates with a write beyond the file
# system at each end: at 4 KiB blocks 16128 and 16129 the update in /pc/app on ext4's default
# mount options, at 16130 and 16131 the one in /pcw/app with data=writeback, at 16132 and 16133
# the one in /pcn/app with noauto_da_alloc (cut at its flushes only: without ext4's early writes
# of rewritten files, a missing fsync shows at the flushes); at 16134 and 16135 the same by a
# build of the updater whose file fsyncs do nothing, which the check must find broken.
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
. "$here/update_invariants.sh"
image=$1 log=$2 replay=$3
work=$(mktemp -d /tmp/power_cut.XXXXXX)
trap 'rm -rf "$work"' EXIT
entries=$("$replay" "$log") || exit 1

# Checks power cuts during the update in directory $2 between the marks at block $1 and the next
# one: after each of its flushes, and at $3 random points.
check_update() {
    local block=$1 dir=$2 random_points=$3 start end points point upto seed what status
    start=$(awk -v s=$((block * 8)) '$2 == s { print $1; exit }' <<<"$entries")
    end=$(awk -v s=$((block * 8 + 8)) '$2 == s { print $1; exit }' <<<"$entries")
    if [ -z "$start" ] || [ -z "$end" ]; then
        fail "the log holds no update marked at block $block"
        return
    fi
    # The state after each flush of the update; then random points, each with its own seed.
    mapfile -t points < <(
        awk -v s="$start" -v e="$end" '$1 > s && $1 < e && $4 % 2 == 1 { print $1 + 1 }' <<<"$entries"
        for ((i = 0; i < random_points; i++)); do
            echo "$((start + 1 + (RANDOM * 32768 + RANDOM) % (end - start))) $RANDOM$RANDOM"
        done
    )
    echo "     $dir: log entries $start..$end, $((${#points[@]} - random_points)) flushes, $random_points random points"
    # An update syncs its copies: a window without flushes, or no points at all (a list that
    # could not be made, as without /dev/fd), means this check would see nothing.
    if [ "${#points[@]}" -le "$random_points" ]; then
        fail "$dir: no flush found between the marks: nothing to check"
        return
    fi
    cp --sparse=always "$image" "$work/base"
    "$replay" "$log" "$work/base" 0 "$((start + 1))" || exit 1
    for point in "${points[@]}"; do
        read -r upto seed <<<"$point"
        what="$dir, cut at entry $upto${seed:+ (writes since the last flush lost at random, seed $seed)}"
        cp --sparse=always "$work/base" "$work/state"
        "$replay" "$log" "$work/state" "$((start + 1))" "$upto" ${seed:+"$seed"} || exit 1
        e2fsck -fy "$work/state" >"$work/e2fsck.out" 2>&1
        status=$?
        # 0: clean, 1: errors corrected (a journal replayed counts as one).
        if [ $status -gt 1 ]; then
            fail "$what: e2fsck ended with $status: $(cat "$work/e2fsck.out")"
            continue
        fi
        rm -rf "$work/dump" && mkdir "$work/dump"
        debugfs -R "rdump $dir $work/dump" "$work/state" >/dev/null 2>&1
        mv "$work/dump/${dir#/}"/* "$work/dump/" 2>/dev/null
        if [ -f "$work/dump/app.old" ]; then
            while read -r fault; do fail "$what: $fault"; done < <(update_state_faults \
                "$work/dump/app" "$work/dump/app.old" "$work/dump/app.expected")
        else
            fail "$what: the staged update is not on the disk"
        fi
        states=$((states + 1))
    done
}

current_case=power_cuts
states=0
check_update 16128 /pc 200
check_update 16130 /pcw 100
check_update 16132 /pcn 0
echo "     $states states checked, $failures failure(s)"
# A check that can fail: the update without file fsyncs must leave broken states.
faulty=$(check_update 16134 /pcf 0 2>&1)
broken=$(grep '^FAIL \[' <<<"$faulty" | grep -o 'cut at entry [0-9]*' | sort -u | wc -l)
echo "     without file fsyncs: $broken of the states at its $(grep -o '[0-9]* flushes' <<<"$faulty" ||
    echo '0 flushes') broken"
[ "$broken" -gt 0 ] || fail "an update without file fsyncs passes the check"
[ "$states" -gt 0 ] || fail "no state was checked"
[ "$failures" -eq 0 ]
