#!/bin/bash
# Black-box suite of quillwatch: runs the real daemon in a private mount namespace over a sample
# registry, configuration and incoming tree, and checks its exact lines, exit status, the
# permissions it leaves and the notices it sends.
QW=$(realpath "$1")
QW_SHIM=${2:+$(realpath "$2")}
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/quillwatch_common.sh"

case_exports_isdir_and_niceassert() {
    local symbols
    if is_static "$QW"; then
        # No dynamic symbols: the definitions must be in the symbol table, and the link map's
        # cross-reference table must show ours chosen and the library referring to it.
        symbols=$(nm --defined-only "$QW" | awk '$2 == "T" {print $3}')
        grep -qx isdir <<<"$symbols" || fail "isdir is not defined"
        grep -qx _niceassert <<<"$symbols" || fail "_niceassert is not defined"
        local refs
        refs=$(awk '/^_niceassert / {found = 1; print $2; next}
                    found && /^ / {print $1; next} found {exit}' "$QW_MAP")
        [[ $(head -n 1 <<<"$refs") == *"(path_checks.cpp.o)" ]] ||
            fail "_niceassert is not quillwatch's own: $refs"
        grep -q "libinotifytools" <<<"$refs" || fail "libinotifytools does not refer to it: $refs"
        return
    fi
    symbols=$(nm -D --defined-only "$QW" | awk '{print $3}')
    grep -qx isdir <<<"$symbols" || fail "isdir is not exported"
    grep -qx _niceassert <<<"$symbols" || fail "_niceassert is not exported"
    # libinotifytools defines a _niceassert of its own: its references must reach ours.
    lay_out
    rm /tmp/apkg.xml  # a start that ends at once
    local bindings
    bindings=$(cd / && LD_BIND_NOW=1 LD_DEBUG=bindings "$QW" 2>&1 >/dev/null | grep "\`_niceassert'")
    grep -q "libinotifytools.* to $QW \[0\]: normal symbol" <<<"$bindings" ||
        fail "libinotifytools' _niceassert references do not bind to quillwatch: $bindings"
}

case_start_up_creates_the_device_node_and_ends_with_the_folder() {
    lay_out
    rm -rf "$SHARE"/* /dev/inotify
    start_daemon
    wait_until_ready 1
    stop_daemon
    assert_eq "$VERSION
Create /dev/inotify !
amule monitor folder: $SHARE
$FOLDER_GONE" "$(cat /tmp/qw.out)" "output"
    assert_eq "character special file 10:63" "$(stat -c '%F %t:%T' /dev/inotify | sed 's/a:3f/10:63/')" \
        "device node"
    assert_eq "" "$(cat /tmp/qw.err)" "standard error"

    # The node is there now: no line about it.
    lay_out
    rm -rf "$SHARE"/*
    start_daemon
    wait_until_ready 1
    stop_daemon
    assert_eq "$VERSION
amule monitor folder: $SHARE
$FOLDER_GONE" "$(cat /tmp/qw.out)" "output with the node present"
}

case_start_up_failures_end_with_status_1() {
    lay_out
    rm /tmp/apkg.xml
    run_daemon
    assert_eq 1 "$status" "status without a registry"
    assert_eq "$VERSION
read xml error
No files specified to watch!" "$(cat /tmp/qw.out)" "output without a registry"

    lay_out
    rm "$CONF"
    run_daemon
    assert_eq 1 "$status" "status without a configuration"
    assert_eq "$VERSION
No this file
No files specified to watch!" "$(cat /tmp/qw.out)" "output without a configuration"

    lay_out
    run_daemon "${STRACE[@]}" -f -qq -o /dev/null -e inject=inotify_init,inotify_init1:error=EMFILE
    assert_eq 1 "$status" "status when inotify can't be initialised"
    assert_eq "$VERSION
amule monitor folder: $SHARE
ERROR: inotify init fail!" "$(cat /tmp/qw.out)" "output when inotify can't be initialised"

    lay_out
    run_daemon "${STRACE[@]}" -f -qq -o /dev/null -e inject=inotify_add_watch:error=ENOSPC
    assert_eq 1 "$status" "status at the watch limit"
    assert_eq "$VERSION
amule monitor folder: $SHARE
Failed to watch $SHARE; upper limit on inotify watches reached!" "$(cat /tmp/qw.out)" \
        "output at the watch limit"

    lay_out
    run_daemon "${STRACE[@]}" -f -qq -o /dev/null -e inject=inotify_add_watch:error=EACCES
    assert_eq 1 "$status" "status when a watch is refused"
    assert_eq "$VERSION
amule monitor folder: $SHARE
Couldn't watch $SHARE: Permission denied" "$(cat /tmp/qw.out)" "output when a watch is refused"
}

case_new_files_and_directories_are_watched_and_reset() {
    lay_out
    start_daemon
    wait_until_ready 3

    touch "$SHARE/file"
    wait_for output_has "$RESET"  # printed just before the reset runs
    wait_for eval '[ "$(stat -c %a "$SHARE/file")" = 777 ]'

    mkdir "$SHARE/dir"
    wait_for watches_at_least 4
    touch "$SHARE/dir/inner"
    wait_for eval '[ "$(stat -c %a "$SHARE/dir/inner")" = 777 ]'

    mkdir -p "$SHARE/deep/a/b/c/d"
    wait_for watches_at_least 9
    touch "$SHARE/deep/a/b/c/d/leaf"
    wait_for eval '[ "$(stat -c %a "$SHARE/deep/a/b/c/d/leaf")" = 777 ]'

    mkdir -p /tmp/outside/moved/sub
    mv /tmp/outside/moved "$SHARE/"
    wait_for watches_at_least 11
    touch "$SHARE/moved/sub/f"
    wait_for eval '[ "$(stat -c %a "$SHARE/moved/sub/f")" = 777 ]'

    # A symlink to a directory gets no watch.
    local lines
    lines=$(wc -l </tmp/qw.out)
    ln -s /tmp/outside "$SHARE/link"
    wait_for lines_at_least $((lines + 1))
    assert_eq 11 "$(watch_count)" "watches after a symlink to a directory"

    assert_eq "" "$(grep -v -Fx "$RESET" /tmp/qw.out | tail -n +3)" "lines besides the resets"
    assert_eq "" "$(cat /tmp/qw.err)" "standard error"
    stop_daemon
}

case_deletions_remove_watches_and_reset() {
    lay_out
    mkdir -p "$SHARE/sub/inner"
    touch "$SHARE/file"
    start_daemon
    wait_until_ready 5
    : >/tmp/qw.out.mark
    local start_lines
    start_lines=$(wc -l </tmp/qw.out)

    rm "$SHARE/file"
    wait_for lines_at_least $((start_lines + 1))
    assert_eq "$RESET" "$(tail -n 1 /tmp/qw.out)" "reset after a file was deleted"

    rm -r "$SHARE/sub"
    wait_for watches_exactly 3
    wait_for lines_at_least $((start_lines + 5))
    # inner's and sub's own deletions each remove their watch and reset; each removal is then
    # confirmed by IN_IGNORED, which fits no case.
    assert_eq "$RESET
$RESET
$NO_CASE
$RESET
$NO_CASE" "$(tail -n +$((start_lines + 1)) /tmp/qw.out)" "lines after a sub-directory was deleted"
    stop_daemon
}

case_renamed_directories_keep_their_watches_under_the_new_path() {
    lay_out
    mkdir -p "$SHARE/a/b1/b2" "$SHARE/ab/sub"
    start_daemon
    wait_until_ready 8
    local start_lines
    start_lines=$(wc -l </tmp/qw.out)

    mv "$SHARE/a" "$SHARE/renamed"
    wait_for lines_at_least $((start_lines + 3))
    assert_eq "$RESET
$RESET
$NO_CASE" "$(tail -n +$((start_lines + 1)) /tmp/qw.out)" "lines of a rename"

    # A new directory three levels down is found (isdir) only under the new path.
    mkdir "$SHARE/renamed/b1/b2/new"
    wait_for watches_at_least 9
    # A sibling whose name starts with the old name keeps its own path.
    mkdir "$SHARE/ab/sub/new"
    wait_for watches_at_least 10
    touch "$SHARE/renamed/b1/b2/new/f"
    wait_for eval '[ "$(stat -c %a "$SHARE/renamed/b1/b2/new/f")" = 777 ]'
    stop_daemon
}

case_items_moved_out_of_the_tree() {
    lay_out
    mkdir -p "$SHARE/dir/sub" /tmp/outside
    touch "$SHARE/file"
    start_daemon
    wait_until_ready 5
    local n
    n=$(wc -l </tmp/qw.out)

    mv "$SHARE/file" /tmp/outside/
    wait_for lines_at_least $((n + 1))
    touch "$SHARE/next"
    wait_for lines_at_least $((n + 3))
    assert_eq "$RESET
Error removing watch on ${SHARE}file: No such file or directory
$RESET" "$(tail -n +$((n + 1)) /tmp/qw.out)" "a file moved out, then another event"

    # The directory's own IN_MOVE_SELF drops the pending move: its watch is removed at once, which
    # the kernel confirms with IN_IGNORED. Both fit no case.
    mv "$SHARE/dir" /tmp/outside/
    wait_for lines_at_least $((n + 6))
    wait_for watches_exactly 4
    touch "$SHARE/next2"
    wait_for lines_at_least $((n + 7))
    # Nothing that happens in the moved directory is handled any more; sub's watch goes when it
    # first fires.
    touch /tmp/outside/dir/x /tmp/outside/dir/sub/y
    mkdir /tmp/outside/dir/sub/z
    wait_for watches_exactly 3
    touch "$SHARE/barrier"
    wait_for lines_at_least $((n + 9))
    assert_eq "$RESET
$NO_CASE
$NO_CASE
$RESET
$NO_CASE
$RESET" "$(tail -n +$((n + 4)) /tmp/qw.out)" "a directory moved out, then events inside it"
    assert_eq 644 "$(stat -c %a /tmp/outside/dir/x)" "mode of a file outside the tree"
    stop_daemon
}

case_completed_downloads_are_announced_with_their_own_name() {
    lay_out
    start_daemon
    wait_until_ready 3
    echo data >"$SHARE/TempDir/movie.avi"
    mkdir -p "$SHARE/TempDir/album/cd1"
    wait_for watches_at_least 5
    mv "$SHARE/TempDir/movie.avi" "$SHARE/IncomingDir/"
    wait_for test -f /tmp/email/1
    mv "$SHARE/TempDir/album" "$SHARE/IncomingDir/"
    wait_for test -f /tmp/email/2
    assert_mail 1 -m 1024 -c movie.avi
    assert_mail 2 -m 1024 -c album
    # The directory's watches moved along with it.
    mkdir "$SHARE/IncomingDir/album/cd1/extras"
    wait_for watches_at_least 6

    # Moves that don't go from TempDir to IncomingDir send nothing.
    touch "$SHARE/TempDir/a" "$SHARE/IncomingDir/b"
    mv "$SHARE/TempDir/a" "$SHARE/TempDir/a2"
    mv "$SHARE/IncomingDir/b" "$SHARE/TempDir/b"
    touch "$SHARE/barrier"
    wait_for eval '[ "$(stat -c %a "$SHARE/barrier")" = 777 ]'
    assert_eq 2 "$(ls /tmp/email | wc -l)" "mails sent"
    stop_daemon
}

case_hostile_names_reach_email_unaltered() {
    lay_out
    start_daemon
    wait_until_ready 3
    local names=(
        'x"; touch pwned1; "'
        '$(touch pwned2)'
        '`touch pwned3`'
        "it's; touch pwned4"
        $'two\nlines'
        '-rf'
        $'latin1 caf\xe9 \xff\xfe'
        '  spaced  '
    )
    local i
    for i in "${!names[@]}"; do
        touch "$SHARE/TempDir/${names[$i]}"
        mv "$SHARE/TempDir/${names[$i]}" "$SHARE/IncomingDir/"
        wait_for test -f "/tmp/email/$((i + 1))"
        assert_mail $((i + 1)) -m 1024 -c "${names[$i]}"
    done
    assert_eq "" "$(find / -xdev -name 'pwned*' 2>/dev/null; find /tmp -name 'pwned*')" \
        "nothing of the names was executed"
    stop_daemon
}

case_folder_with_shell_characters_is_reset_as_one_argument() {
    local folder='/tmp/qwtest01/in $(touch pwned) "q" `x`; -R'
    lay_out "$folder"
    start_daemon
    wait_until_ready 3
    touch "$folder/file"
    wait_for eval '[ "$(stat -c %a "$folder/file")" = 777 ]'
    assert_eq "[chmod 777 -R $folder/]" "$(tail -n 1 /tmp/qw.out)" "echo of the reset"
    assert_eq "amule monitor folder: $folder/" "$(sed -n 2p /tmp/qw.out | grep amule ||
        sed -n 3p /tmp/qw.out)" "discovered folder"
    stop_daemon "$folder"
    assert_eq "" "$(find / -xdev -name pwned 2>/dev/null; ls /tmp | grep -x pwned)" \
        "nothing of the folder name was executed"
}

case_unbuildable_paths_are_reported_and_skipped() {
    [ -n "$QW_SHIM" ] || { skip_case "no asprintf shim given"; return; }
    if is_static "$QW"; then
        skip_case "static binary: LD_PRELOAD can't put a failing asprintf in front of its own"
        return
    fi
    lay_out
    start_daemon env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=/mnt/bin/${QW_SHIM##*/}
    wait_until_ready 3
    touch "$SHARE/file"
    wait_for eval '[ -s /tmp/qw.err ]'
    local pattern='^quillwatch:[0-9]+ assertion \( -1 != asprintf\(&new_file, "%s%s", inotifytools_filename_from_wd\( event->wd \), event->name\) \) failed: out of memory$'
    grep -Eq "$pattern" /tmp/qw.err || fail "assertion line: $(cat /tmp/qw.err)"
    output_has "$RESET" && fail "the event was handled although its path could not be built"
    kill "$qw_pid"
    wait "$qw_pid" 2>/dev/null
}

case_many_events_without_memory_growth() {
    lay_out
    start_daemon
    wait_until_ready 3
    local i rss_warm rss_end
    churn() {  # 6 events a round: create, move out, move in (paired), delete of dir and file
        for ((i = 0; i < $1; i++)); do
            mkdir "$SHARE/TempDir/d$i"
            mv "$SHARE/TempDir/d$i" "$SHARE/IncomingDir/d$i"
            rmdir "$SHARE/IncomingDir/d$i"
            touch "$SHARE/f$i"
            rm "$SHARE/f$i"
        done
    }
    churn 100
    touch "$SHARE/warm"
    wait_for eval '[ "$(stat -c %a "$SHARE/warm")" = 777 ]'
    rss_warm=$(awk '/^VmRSS/ {print $2}' /proc/"$qw_pid"/status)
    churn 600
    touch "$SHARE/end"
    wait_for eval '[ "$(stat -c %a "$SHARE/end")" = 777 ]'
    rss_end=$(awk '/^VmRSS/ {print $2}' /proc/"$qw_pid"/status)
    echo "     RSS after warm-up ${rss_warm} kB, after about 4000 more events ${rss_end} kB"
    if runs_emulated "$QW"; then
        echo "     (under emulation this RSS is the emulator's, translation cache included:"
        echo "      not bounded)"
    elif [ "$sanitized" -eq 0 ] && [ $((rss_end - rss_warm)) -gt 256 ]; then
        fail "RSS grew from $rss_warm kB to $rss_end kB"
    fi
    assert_eq 3 "$(watch_count)" "watches after the churn"
    stop_daemon
}

run_cases
