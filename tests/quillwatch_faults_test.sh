#!/bin/bash
# Faults and load for quillwatch: failing inotify calls at start-up and in the loop, a failing
# event queue, missing commands, a burst of new directories and files, and a queue overflow.
QW=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/quillwatch_common.sh"
command -v strace >/dev/null || skip "strace is not installed"

# A tree of 3 + 3 directories: the folder, TempDir, IncomingDir and a/b/c.
lay_out_deeper() {
    lay_out
    mkdir -p "$SHARE/a/b/c"
}

case_failed_watches_at_start_up() {
    local when err
    # One inotify_add_watch call a directory, the folder first: 6 calls. Without the folder's
    # watch the daemon can't start; once it holds that, a directory out of watches is left out,
    # reported, and the daemon runs with the others.
    lay_out_deeper
    run_daemon "${STRACE[@]}" -f -qq -o /dev/null -e inject=inotify_add_watch:error=ENOSPC:when=1
    assert_eq 1 "$status" "status with ENOSPC for the folder"
    assert_eq "Failed to watch $SHARE; upper limit on inotify watches reached!" \
        "$(tail -n 1 /tmp/qw.out)" "last line with ENOSPC for the folder"
    for when in 4 6; do
        lay_out_deeper
        start_daemon "${STRACE[@]}" -f -qq -o /dev/null \
            -e inject=inotify_add_watch:error=ENOSPC:when=$when
        wait_until_ready 3
        touch "$SHARE/file"
        wait_for eval '[ "$(stat -c %a "$SHARE/file")" = 777 ]'
        assert_eq 1 "$(grep -c "^Failed to watch $SHARE.*/; upper limit on inotify watches reached!$" \
            /tmp/qw.out)" "reports with ENOSPC at call $when"
        stop_daemon
    done
    for err in EACCES ENOENT; do
        lay_out
        run_daemon "${STRACE[@]}" -f -qq -o /dev/null -e inject=inotify_add_watch:error=$err
        assert_eq 1 "$status" "status when every watch fails with $err"
        assert_eq "Couldn't watch $SHARE: $(errno_text $err)" "$(tail -n 1 /tmp/qw.out)" \
            "last line when every watch fails with $err"

        # A sub-directory that can't be watched (call 3: TempDir or IncomingDir) is left out
        # and the daemon runs with the others.
        lay_out
        start_daemon "${STRACE[@]}" -f -qq -o /dev/null \
            -e inject=inotify_add_watch:error=$err:when=3
        wait_until_ready 2
        touch "$SHARE/file"
        wait_for output_has "$RESET"
        assert_eq 2 "$(watch_count)" "watches with $err on a sub-directory"
        stop_daemon
    done
}

errno_text() {
    case $1 in
    EACCES) echo "Permission denied" ;;
    ENOENT) echo "No such file or directory" ;;
    ENOSPC) echo "No space left on device" ;;
    esac
}

case_new_directory_that_cant_be_watched() {
    local when watches
    # 3 calls at start-up; the 4th is the new directory's, the 5th its sub-directory's. Either
    # failure is reported, once; the directory itself is watched first, so it stays watched when
    # only what lies below it fails.
    for when in 4 5; do
        lay_out
        mkdir -p /tmp/outside/new/sub
        start_daemon "${STRACE[@]}" -f -qq -o /dev/null \
            -e inject=inotify_add_watch:error=ENOSPC:when=$when
        wait_until_ready 3
        mv /tmp/outside/new "$SHARE/"
        local failed=${SHARE}new/
        [ "$when" = 5 ] && failed=${SHARE}new/sub/
        wait_for output_has "Failed to watch $failed; upper limit on inotify watches reached!"
        wait_for output_has "$RESET"
        touch "$SHARE/after"
        wait_for eval '[ "$(stat -c %a "$SHARE/after")" = 777 ]'
        watches=$((when - 1))
        assert_eq $watches "$(watch_count)" "watches with ENOSPC at call $when"
        stop_daemon
    done
}

case_failing_event_queue_ends_with_its_error() {
    lay_out
    # Find which read() is the first one on the inotify descriptor.
    start_daemon "${STRACE[@]}" -qq -y -o /tmp/reads -e trace=read
    wait_until_ready 3
    touch "$SHARE/file"
    wait_for output_has "$RESET"
    stop_daemon
    local n
    n=$(grep -E '^read\(' /tmp/reads | grep -n 'anon_inode:inotify' | head -n 1 | cut -d: -f1)
    [ -n "$n" ] || { fail "no read on the inotify descriptor"; return; }

    lay_out
    start_daemon "${STRACE[@]}" -qq -o /dev/null -e inject=read:error=EIO:when=$n
    wait_until_ready 3
    touch "$SHARE/file"
    wait "$qw_pid"
    assert_eq 1 $? "status"
    assert_eq "Input/output error" "$(tail -n 1 /tmp/qw.out)" "last line"
}

case_missing_commands_are_reported_and_passed_over() {
    lay_out
    start_daemon env PATH=/mnt/stubs  # email only: no chmod (and no mknod)
    wait_until_ready 3
    touch "$SHARE/TempDir/f"
    wait_for output_has "$RESET"
    mv "$SHARE/TempDir/f" "$SHARE/IncomingDir/f"
    wait_for test -f /tmp/email/1
    assert_mail 1 -m 1024 -c f
    # The reset is the daemon's own.
    assert_eq 777 "$(stat -c %a "$SHARE/IncomingDir/f")" "mode without chmod"
    stop_daemon

    lay_out
    start_daemon env PATH=/usr/sbin:/usr/bin:/sbin:/bin  # no email
    wait_until_ready 3
    touch "$SHARE/TempDir/g"
    mv "$SHARE/TempDir/g" "$SHARE/IncomingDir/g"
    touch "$SHARE/later"
    wait_for eval '[ "$(stat -c %a "$SHARE/later")" = 777 ]'
    assert_eq 0 "$(ls /tmp/email | wc -l)" "mails without email"
    # Under qemu-user the spawn can't hand back the failed exec: the child ends with 127 instead.
    local missing="quillwatch: cannot run email: No such file or directory"
    runs_emulated "$QW" && missing="quillwatch: email exited with status 127"
    assert_eq "$missing" "$(cat /tmp/qw.err)" "the lost notice, on standard error"
    stop_daemon
}

case_directories_made_during_start_up_are_all_watched() {
    lay_out
    # A tree whose start-up watches take a while. The recursive watch lists each directory
    # before it watches it (the folder itself last), so directories made meanwhile need the
    # catch-up walk.
    mkdir -p "$SHARE"/big{1..40}/d{1..50}
    start_daemon
    local i dirs
    for i in {1..60}; do mkdir -p "$SHARE/early$i/sub"; done
    wait_until_ready 2043
    dirs=$(find "$SHARE" -type d | wc -l)
    wait_for_watches "$dirs"
    mkdir "$SHARE/early60/sub/after"
    wait_for watches_exactly $((dirs + 1))
    stop_daemon
}

# Creates $2 files spread over $1 new nested directories (a chain of 4 levels in each group).
burst() {
    local dirs=$1 files=$2 i d
    for ((i = 0; i < dirs; i += 4)); do
        mkdir -p "$SHARE/burst$i/l1/l2/l3"
    done
    i=0
    for d in $(find "$SHARE" -path "*burst*" -type d); do
        local per=$((files / dirs))
        eval "touch $d/f{1..$per}"
    done
}

case_burst_of_directories_and_files_is_drained() {
    lay_out
    start_daemon
    wait_until_ready 3
    local start=$EPOCHREALTIME
    burst 200 2000
    # Drained once the marker directory, created last, is watched: its event was the last one.
    mkdir "$SHARE/marker"
    wait_seconds=300 wait_for_watches 204
    local end=$EPOCHREALTIME
    echo "     burst of 200 directories and 2000 files drained in $(awk "BEGIN {printf \"%.1f\", $end - $start}") s"
    assert_eq 2000 "$(find "$SHARE" -type f -perm 777 | wc -l)" "files reset"
    kill -0 "$(daemon_pid)" || fail "daemon died"
    stop_daemon
}

case_queue_overflow_restores_the_watches_and_their_paths() {
    lay_out
    mkdir -p "$SHARE/TempDir/old/inner"
    # A small queue for this daemon's inotify instance only: the limit is read when it starts.
    local saved
    saved=$(cat /proc/sys/fs/inotify/max_queued_events)
    echo 64 >/proc/sys/fs/inotify/max_queued_events
    start_daemon
    wait_until_ready 5
    echo "$saved" >/proc/sys/fs/inotify/max_queued_events

    # While the daemon is stopped, 100 files fill the queue; the 40 directories created after
    # them, and a directory's move from TempDir to IncomingDir, are lost to the overflow.
    kill -STOP "$qw_pid"
    touch "$SHARE/TempDir/f"{1..100}
    local i
    for i in {1..40}; do mkdir -p "$SHARE/late$i/sub" && touch "$SHARE/late$i/sub/file"; done
    mv "$SHARE/TempDir/old" "$SHARE/IncomingDir/new"
    kill -CONT "$qw_pid"
    wait_for output_has "$NO_CASE"
    barrier 1
    assert_watches_whole_tree "after the overflow"
    assert_eq "" "$(find "$SHARE" ! -perm 777 | head -n 3)" "paths not reset"
    echo "     $(grep -c -Fx "$RESET" /tmp/qw.out) resets for 221 changes with a queue of 64 events"
    # The moved directory's watches hold its new path: a file leaving it is no download.
    touch "$SHARE/IncomingDir/new/inner/z.iso"
    mv "$SHARE/IncomingDir/new/inner/z.iso" "$SHARE/IncomingDir/"
    mkdir "$SHARE/late40/sub/after"
    barrier 2
    assert_eq 0 "$(ls /tmp/email | wc -l)" "notices"
    assert_watches_whole_tree "after new directories"
    stop_daemon
}

case_long_run_leaks_nothing() {
    local checker=()
    if [ "$sanitized" -eq 1 ]; then
        echo "     (LeakSanitizer checks at exit)"
    else
        choose_leak_checker "$QW" --suppressions=/mnt/bin/valgrind.supp
    fi
    lay_out
    mkdir -p "$SHARE/IncomingDir/kept/sub"
    start_daemon "${checker[@]}"
    wait_seconds=60 wait_until_ready 5
    local i
    for ((i = 0; i < 120; i++)); do  # about 1,000 events
        mkdir -p "$SHARE/TempDir/d$i/inner"
        touch "$SHARE/TempDir/d$i/inner/f"
        mv "$SHARE/TempDir/d$i" "$SHARE/IncomingDir/d$i"
        mv "$SHARE/IncomingDir/d$i" "$SHARE/IncomingDir/renamed$i"
        rm -r "$SHARE/IncomingDir/renamed$i"
    done
    mv "$SHARE/IncomingDir/kept" /tmp/  # a watch moved out, dropped by the next event
    wait_seconds=300 barrier 1
    rm -rf "$SHARE"
    wait_seconds=60 wait_for eval '! kill -0 "$qw_pid" 2>/dev/null'
    wait "$qw_pid"
    assert_eq 0 $? "status (leak report: $(grep -v '^chmod' /tmp/qw.err | head -n 40))"
}

run_cases
