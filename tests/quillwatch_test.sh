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
    # Each open of the folder's last component is a walk of the tree.
    start_daemon "${STRACE[@]}" -f -qq -e trace=openat -o /tmp/opens.log
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

    # A burst: every event announces its reset, in order, and the tree is walked a few times.
    kill -STOP "$(daemon_pid)"
    (umask 077 && touch "$SHARE"/burst{1..300})
    kill -CONT "$(daemon_pid)"
    barrier 1
    assert_eq "" "$(find "$SHARE" ! -perm 777)" "entries not reset after the burst"
    local resets walks
    resets=$(grep -c -Fx "$RESET" /tmp/qw.out)
    walks=$(grep -c '"share", O_RDONLY|O_NOFOLLOW|O_CLOEXEC|O_DIRECTORY' /tmp/opens.log)
    echo "     $resets resets announced, $walks walks"
    [ "$resets" -ge 300 ] && [ "$walks" -lt 40 ] || fail "$resets resets and $walks walks"

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

    # The directory's own IN_MOVE_SELF drops the pending move: its watch and sub's are removed
    # at once, which the kernel confirms with IN_IGNORED for each. All three fit no case.
    mv "$SHARE/dir" /tmp/outside/
    wait_for lines_at_least $((n + 7))
    wait_for watches_exactly 3
    touch "$SHARE/next2"
    wait_for lines_at_least $((n + 8))
    # Nothing that happens in the moved directory is seen any more.
    touch /tmp/outside/dir/x /tmp/outside/dir/sub/y
    mkdir /tmp/outside/dir/sub/z
    touch "$SHARE/barrier"
    wait_for lines_at_least $((n + 9))
    assert_eq "$RESET
$NO_CASE
$NO_CASE
$NO_CASE
$RESET
$RESET" "$(tail -n +$((n + 4)) /tmp/qw.out)" "a directory moved out, then events inside it"
    assert_eq 3 "$(watch_count)" "watches after events in the moved directory"
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
    # The item is everyone's by the time the notice goes out (no event says it became 0600).
    chmod 600 "$SHARE/TempDir/movie.avi" && chmod 700 "$SHARE/TempDir/album"
    mv "$SHARE/TempDir/movie.avi" "$SHARE/IncomingDir/"
    wait_for test -f /tmp/email/1
    mv "$SHARE/TempDir/album" "$SHARE/IncomingDir/"
    wait_for test -f /tmp/email/2
    assert_mail 1 -m 1024 -c movie.avi
    assert_mail 2 -m 1024 -c album
    assert_eq "777 777" "$(cat /tmp/email-modes/1 /tmp/email-modes/2 | xargs)" "modes the notices found"
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

    # A notice that email fails to send shows on standard error; output and the daemon go on.
    touch "$SHARE/TempDir/fails-3.iso" "$SHARE/TempDir/killed.iso"
    mv "$SHARE/TempDir/fails-3.iso" "$SHARE/TempDir/killed.iso" "$SHARE/IncomingDir/"
    wait_for test -f /tmp/email/4
    barrier 1
    assert_eq "quillwatch: email exited with status 3
quillwatch: email was killed by signal 9" "$(cat /tmp/qw.err)" "standard error"

    # aMule's own completion: its part file moved in under the download's real name.
    echo data >"$SHARE/TempDir/001.part" && chmod 600 "$SHARE/TempDir/001.part"
    mv "$SHARE/TempDir/001.part" "$SHARE/IncomingDir/Probe file (real name).bin"
    wait_for test -f /tmp/email/5
    assert_mail 5 -m 1024 -c "Probe file (real name).bin"
    assert_eq 777 "$(cat /tmp/email-modes/5)" "mode the real name's notice found"

    # A folder of 10,000 entries, closed to others in TempDir (no event says so): all of it is
    # open to all when its notice goes out.
    mkdir -p "$SHARE/TempDir/box/sub"
    (cd "$SHARE/TempDir/box" && perl -e 'for (1 .. 9999) { open(my $f, ">", "sub/f$_") }')
    barrier 2
    chmod -R go-rwx "$SHARE/TempDir/box"
    mv "$SHARE/TempDir/box" "$SHARE/IncomingDir/"
    wait_for test -f /tmp/email/6
    assert_mail 6 -m 1024 -c box
    assert_eq 777 "$(cat /tmp/email-modes/6)" "modes in the folder at its notice"
    rm -r "$SHARE/IncomingDir/box"

    # Downloads completed while a user's rename loop keeps the queue overflowing, beside 20,000
    # files: each lay in TempDir for over a second (longer where every walk of the tree is
    # slower: the daemon learns them from its walks), and each is announced once, by its name in
    # IncomingDir.
    local downloads=5 life=1.2 i
    [ "$sanitized" -eq 1 ] && life=4
    runs_emulated "$QW" && downloads=3 life=12
    mkdir "$SHARE/many" && perl -e 'open(my $f, ">", "$ARGV[0]/f$_") for 1 .. 20000' "$SHARE/many"
    touch "$SHARE/q" && chown 4242 "$SHARE/q"
    barrier 3
    (cd "$SHARE" && exec setpriv --reuid=4242 --regid=4242 --clear-groups perl -e \
        'my $end = time + $ARGV[0]; while (time < $end) { rename "q", "r"; rename "r", "q" }' \
        "$(awk -v n=$downloads -v l=$life 'BEGIN {printf "%d", n * l + 2}')") &
    local flood=$!
    for ((i = 1; i <= downloads; i++)); do
        echo data >"$SHARE/TempDir/00$i.part" && sleep $life
        mv "$SHARE/TempDir/00$i.part" "$SHARE/IncomingDir/done $i.iso"
    done
    wait $flood
    wait_seconds=120 barrier 4
    output_has "$NO_CASE" || fail "no events were lost"
    assert_eq "$(for ((i = 1; i <= downloads; i++)); do echo "done $i.iso"; done | paste -sd,)" \
        "$(for ((i = 7; i < 7 + downloads; i++)); do tail -z -n 1 /tmp/email/$i 2>/dev/null | tr -d '\0'; echo; done | sort | paste -sd,)" \
        "notices of downloads completed through lost events"
    assert_eq $((6 + downloads)) "$(ls /tmp/email | wc -l)" "mails after lost events"
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
    # Rounds of 100 watched directories, half of them moved into IncomingDir (5 from TempDir,
    # which are announced: a notice starts a process, the costliest step here), then all
    # deleted, with a file made and deleted beside them.
    churn() {
        local round base
        for ((round = $1; round < $2; round++)); do
            base=$(watch_count)
            mkdir "$SHARE/TempDir/d$round-"{1..5} "$SHARE/d$round-"{6..50} "$SHARE/e$round-"{1..50}
            wait_for_watches $((base + 100))
            for i in {1..5}; do mv "$SHARE/TempDir/d$round-$i" "$SHARE/IncomingDir/"; done
            for i in {6..50}; do mv "$SHARE/d$round-$i" "$SHARE/IncomingDir/"; done
            touch "$SHARE/f$round"
            rm -r "$SHARE/IncomingDir/d$round-"* "$SHARE/e$round-"* "$SHARE/f$round"
        done
    }
    # Past the first rebuild of the watch table, which frees the records of deleted directories
    # (2,048 of them here), where the RSS is measured.
    local warm=22
    { runs_emulated "$QW" || [ "$sanitized" -ne 0 ]; } && warm=6
    churn 0 $warm
    barrier 1
    rss_warm=$(awk '/^VmRSS/ {print $2}' /proc/"$qw_pid"/status)
    churn $warm $((warm + 10))
    barrier 2
    rss_end=$(awk '/^VmRSS/ {print $2}' /proc/"$qw_pid"/status)
    echo "     RSS after warm-up ${rss_warm} kB, after 1,000 more deleted directories ${rss_end} kB"
    if runs_emulated "$QW"; then
        echo "     (under emulation this RSS is the emulator's, translation cache included:"
        echo "      not bounded)"
    elif [ "$sanitized" -eq 0 ] && [ $((rss_end - rss_warm)) -gt 128 ]; then
        fail "RSS grew from $rss_warm kB to $rss_end kB"
    fi
    assert_watches_whole_tree "after the churn"
    stop_daemon
}

# Each row leaves the tree in a state that today's libinotifytools records get wrong.
case_moves_and_races_keep_every_watch_on_its_true_path() {
    lay_out
    mkdir -p "$SHARE/TempDir/album/CD"{1..20}
    touch "$SHARE/TempDir/album/CD3/track.flac"
    start_daemon
    wait_until_ready 24

    # A folder with 20 sub-directories moves: every record follows it.
    mv "$SHARE/TempDir/album" "$SHARE/IncomingDir/"
    wait_for test -f /tmp/email/1
    mkdir "$SHARE/IncomingDir/album/CD"{1..20}/new
    # Its records no longer say TempDir: no notice.
    mv "$SHARE/IncomingDir/album/CD3/track.flac" "$SHARE/IncomingDir/"
    barrier 1
    assert_watches_whole_tree "after a folder with sub-directories moved"

    # Made, or moved in, and renamed before the daemon reads the events; a file moved out
    # followed by an unrelated folder moved in (two moves, two cookies).
    kill -STOP "$qw_pid"
    mkdir "$SHARE/TempDir/made" && mv "$SHARE/TempDir/made" "$SHARE/TempDir/made2"
    mkdir -p /tmp/outside/in/sub && mv /tmp/outside/in "$SHARE/in" && mv "$SHARE/in" "$SHARE/in2"
    touch "$SHARE/TempDir/out.iso" && mv "$SHARE/TempDir/out.iso" /tmp/outside/
    mkdir -p /tmp/outside/folder/sub && mv /tmp/outside/folder "$SHARE/IncomingDir/"
    kill -CONT "$qw_pid"
    barrier 2
    assert_watches_whole_tree "after races and unpaired moves"
    touch "$SHARE/TempDir/made2/done.iso"
    mv "$SHARE/TempDir/made2/done.iso" "$SHARE/IncomingDir/"
    wait_for test -f /tmp/email/2
    barrier 3
    assert_eq 2 "$(ls /tmp/email | wc -l)" "notices"
    assert_mail 1 -m 1024 -c album
    assert_mail 2 -m 1024 -c done.iso

    # A directory made, and another moved into it before its creation is read: the move's other
    # half comes before the new directory's watch. The moved one is followed, not dropped.
    mkdir -p "$SHARE/X/deep" && wait_for watched "$SHARE/X/deep"
    kill -STOP "$qw_pid"
    mkdir "$SHARE/IncomingDir/Z" && mv "$SHARE/X" "$SHARE/IncomingDir/Z/X"
    kill -CONT "$qw_pid"
    barrier 4
    assert_watches_whole_tree "after a move into a directory not watched yet"
    touch "$SHARE/TempDir/deep.iso" && mv "$SHARE/TempDir/deep.iso" "$SHARE/IncomingDir/Z/X/deep/"
    wait_for test -f /tmp/email/3
    assert_mail 3 -m 1024 -c deep.iso
    # Two directories exchanged in one call (renameat2 RENAME_EXCHANGE; its first half is a move
    # from TempDir to IncomingDir, announced under the name it arrived at): each keeps its own watches, so a move out of what
    # is now IncomingDir/B sends no notice, and one out of what is now TempDir/A does.
    mkdir -p "$SHARE/TempDir/A/a1" "$SHARE/IncomingDir/B/b1" && wait_for watched "$SHARE/IncomingDir/B/b1"
    exchange "$SHARE/TempDir/A" "$SHARE/IncomingDir/B"
    barrier 5
    touch "$SHARE/IncomingDir/B/a1/x.iso" "$SHARE/TempDir/A/b1/y.iso"
    mv "$SHARE/IncomingDir/B/a1/x.iso" "$SHARE/IncomingDir/"
    mv "$SHARE/TempDir/A/b1/y.iso" "$SHARE/IncomingDir/"
    wait_for test -f /tmp/email/5
    barrier 6
    assert_eq 5 "$(ls /tmp/email | wc -l)" "notices after an exchange"
    assert_mail 4 -m 1024 -c B
    assert_mail 5 -m 1024 -c y.iso
    # A directory moved from TempDir to IncomingDir and its old name made again while the daemon
    # drains a full queue: the notice of hold.iso keeps it in `email` after it has read the first
    # events, so the move and the mkdir come behind the queue's overflow, and the resync has put
    # the table right before they are read. Replaying the move must not take the new TempDir/X
    # for the moved one: a download moved out of it is announced.
    mkdir -p "$SHARE/TempDir/X/sub" && wait_for watched "$SHARE/TempDir/X/sub"
    touch "$SHARE/TempDir/hold.iso" /tmp/email-hold
    kill -STOP "$(daemon_pid)"
    mv "$SHARE/TempDir/hold.iso" "$SHARE/IncomingDir/"
    overflow_queue
    kill -CONT "$(daemon_pid)"
    wait_for test -f /tmp/email/6
    mv "$SHARE/TempDir/X" "$SHARE/IncomingDir/X" && mkdir "$SHARE/TempDir/X"
    rm /tmp/email-hold
    wait_for test -f /tmp/email/7
    wait_seconds=60 barrier 7
    touch "$SHARE/TempDir/X/z.iso" && mv "$SHARE/TempDir/X/z.iso" "$SHARE/IncomingDir/"
    wait_for test -f /tmp/email/8
    assert_mail 6 -m 1024 -c hold.iso
    assert_mail 7 -m 1024 -c X
    assert_mail 8 -m 1024 -c z.iso
    assert_watches_whole_tree "after a move replayed behind a resync"

    # Bursts the daemon reads late (stopped meanwhile): each directory's record goes where its
    # own events take it, whatever lies at those names by the time they are read.
    # An exchange, then one side moved on: IncomingDir/e2 is the old TempDir/e1.
    mkdir "$SHARE/TempDir/e1" "$SHARE/IncomingDir/e2" && wait_for watched "$SHARE/IncomingDir/e2"
    kill -STOP "$(daemon_pid)"
    exchange "$SHARE/TempDir/e1" "$SHARE/IncomingDir/e2"
    mv "$SHARE/TempDir/e1" "$SHARE/TempDir/e3"
    kill -CONT "$(daemon_pid)"
    barrier 8
    touch "$SHARE/TempDir/in-e2.iso" "$SHARE/IncomingDir/e2/out-e2.iso"
    mv "$SHARE/TempDir/in-e2.iso" "$SHARE/IncomingDir/e2/"
    mv "$SHARE/IncomingDir/e2/out-e2.iso" "$SHARE/IncomingDir/"
    # A download folder moved in, filled, then deleted and made again.
    mkdir "$SHARE/TempDir/p" && touch "$SHARE/TempDir/dl.bin" && wait_for watched "$SHARE/TempDir/p"
    kill -STOP "$(daemon_pid)"
    mv "$SHARE/TempDir/p" "$SHARE/IncomingDir/p" && mv "$SHARE/TempDir/dl.bin" "$SHARE/IncomingDir/p/"
    rm -rf "$SHARE/IncomingDir/p" && mkdir "$SHARE/IncomingDir/p"
    kill -CONT "$(daemon_pid)"
    barrier 9
    # A move read after a resync, whose old name was made again meanwhile (held in `email`).
    mkdir "$SHARE/TempDir/r" && touch "$SHARE/TempDir/hold2.iso" /tmp/email-hold &&
        wait_for watched "$SHARE/TempDir/r"
    kill -STOP "$(daemon_pid)"
    mv "$SHARE/TempDir/hold2.iso" "$SHARE/IncomingDir/"
    overflow_queue
    kill -CONT "$(daemon_pid)"
    wait_for test -f /tmp/email/13
    mv "$SHARE/TempDir/r" "$SHARE/IncomingDir/r" && mv "$SHARE/IncomingDir/r" "$SHARE/TempDir/r2" &&
        mkdir "$SHARE/TempDir/r"
    rm /tmp/email-hold
    wait_seconds=60 barrier 10
    touch "$SHARE/IncomingDir/f2.iso" "$SHARE/TempDir/r/g2.iso"
    mv "$SHARE/IncomingDir/f2.iso" "$SHARE/TempDir/r/"
    mv "$SHARE/TempDir/r/g2.iso" "$SHARE/IncomingDir/"
    wait_for test -f /tmp/email/15
    barrier 11
    assert_eq "e2 in-e2.iso p dl.bin hold2.iso r g2.iso" \
        "$(for n in {9..15}; do tail -z -n 1 /tmp/email/$n | tr -d '\0'; echo; done | xargs)" \
        "notices after bursts read late"
    assert_eq 15 "$(ls /tmp/email | wc -l)" "mails after bursts read late"
    # Two directories made and exchanged before their creations are read: each is watched by
    # the name it bears when its event is read, which the queued exchange then swaps.
    kill -STOP "$(daemon_pid)"
    mkdir "$SHARE/TempDir/n1" "$SHARE/IncomingDir/n2" && exchange "$SHARE/TempDir/n1" "$SHARE/IncomingDir/n2"
    kill -CONT "$(daemon_pid)"
    barrier 12
    touch "$SHARE/TempDir/to-n1.iso" "$SHARE/TempDir/to-n2.iso"
    mv "$SHARE/TempDir/to-n1.iso" "$SHARE/TempDir/n1/"
    mv "$SHARE/TempDir/to-n2.iso" "$SHARE/IncomingDir/n2/"
    wait_for test -f /tmp/email/17
    barrier 13
    assert_eq "n2 to-n2.iso" \
        "$(for n in 16 17; do tail -z -n 1 /tmp/email/$n | tr -d '\0'; echo; done | xargs)" \
        "notices after new directories exchanged"
    assert_eq 17 "$(ls /tmp/email | wc -l)" "mails after new directories exchanged"
    # A watched directory exchanged with a new one, which then moves on while the watched one
    # is deleted: no IN_MOVE_SELF follows the exchange's second half, made by the new one.
    mkdir "$SHARE/IncomingDir/w1" && wait_for watched "$SHARE/IncomingDir/w1"
    kill -STOP "$(daemon_pid)"
    mkdir "$SHARE/IncomingDir/w2" && exchange "$SHARE/IncomingDir/w1" "$SHARE/IncomingDir/w2"
    mv "$SHARE/IncomingDir/w1" "$SHARE/TempDir/w3" && rm -r "$SHARE/IncomingDir/w2"
    kill -CONT "$(daemon_pid)"
    barrier 14
    touch "$SHARE/TempDir/w3/w.iso" && mv "$SHARE/TempDir/w3/w.iso" "$SHARE/IncomingDir/"
    wait_for test -f /tmp/email/18
    assert_mail 18 -m 1024 -c w.iso
    # A new directory's name held, when its creation was read, a watched one that the queued
    # exchange then brought there: that one leaving the tree later loses its watch.
    mkdir "$SHARE/IncomingDir/s1" && wait_for watched "$SHARE/IncomingDir/s1"
    kill -STOP "$(daemon_pid)"
    mkdir "$SHARE/IncomingDir/s2" && exchange "$SHARE/IncomingDir/s2" "$SHARE/IncomingDir/s1"
    kill -CONT "$(daemon_pid)"
    barrier 15
    mv "$SHARE/IncomingDir/s2" /tmp/outside/s2
    barrier 16
    assert_watches_whole_tree "after bursts read late"
    # The commands inherit the standard streams only.
    grep -q 'inotify' /tmp/email-fds/* && fail "email inherited: $(grep inotify /tmp/email-fds/*)"
    stop_daemon
}

case_folder_named_without_final_slash_ends_the_daemon() {
    lay_out
    printf 'IncomingDir=%s' "${SHARE%/}" >"$CONF"  # a last line without a newline
    start_daemon
    wait_for watches_at_least 3
    stop_daemon
    assert_eq "$VERSION" "$(head -n 1 /tmp/qw.out)" "first line"
}

# The real aMule daemon writes its own configuration below the registered install path (with
# its default folders); the daemon finds the incoming folder there and watches it beside it.
case_real_amuled_configuration_is_followed() {
    command -v amuled >/dev/null || { skip_case "amuled (amule-daemon) is not installed"; return; }
    lay_out
    local dir=${CONF%/*}
    rm -rf "$SHARE" "$CONF"
    # -e asks for a password for its remote control, which it needs to run at all; -i lets it
    # read the answer from standard input.
    (cd / && printf 'secret\nsecret\n' | exec amuled -c "$dir/" -e -i -o >/tmp/amuled.log 2>&1) &
    local amuled_pid=$!
    wait_for grep -qs '^IncomingDir=' "$CONF"
    local incoming
    incoming=$(sed -n 's/^IncomingDir=//p' "$CONF")
    start_daemon
    wait_until_ready 1
    output_has "amule monitor folder: $incoming/" || fail "folder not found: $(cat /tmp/qw.out)"
    kill -0 "$amuled_pid" 2>/dev/null || fail "amuled is not running: $(tail -n 3 /tmp/amuled.log)"
    touch "$incoming/finished.iso"
    wait_for eval '[ "$(stat -c %a "$incoming/finished.iso")" = 777 ]'
    kill "$amuled_pid" 2>/dev/null
    wait "$amuled_pid" 2>/dev/null
    stop_daemon "$incoming"
}

# A real download: one amuled shares a file, another downloads it from a link naming the first
# as its source, in the nested layout (TempDir inside the watched IncomingDir) in which aMule's
# completion is one rename of its part file (001.part) to the download's real name. Both run in
# a network namespace of the case's own, beside a stand-in ed2k server that answers the login
# (aMule asks its sources only while it counts itself connected to a network).
case_real_amule_download_is_announced_by_its_real_name() {
    local tool
    for tool in amuled amulecmd ed2k nsenter busybox openssl; do
        command -v $tool >/dev/null ||
            { skip_case "$tool is not installed (amule-daemon, amule-utils, util-linux, busybox, openssl)"; return; }
    done
    lay_out
    local incoming=${SHARE}IncomingDir name="probe file (real name).bin" up=/tmp/amule-up size=1200000
    mkdir -p "$incoming/TempDir" "$up/Incoming" "$up/Temp"
    head -c $size /dev/urandom >"$up/Incoming/$name"
    local hash
    hash=$(openssl dgst -md4 -provider legacy -provider default -r "$up/Incoming/$name") ||
        { skip_case "openssl computes no MD4 (the ed2k hash)"; return; }
    hash=${hash%% *}
    # aMule drops sources in 127/8 whatever FilterLanIPs says: server 10.7.0.1, uploader .2,
    # downloader .3, each instance bound to its address. TempDir's line comes first, as aMule
    # writes it: the daemon takes the last line holding "IncomingDir".
    amule_conf() {  # nick address port temp incoming
        printf '[eMule]\nNick=%s\nAddress=%s\nPort=%s\nUDPEnable=0\nTempDir=%s\nIncomingDir=%s\n' "$@"
        # Fixed limits: "unlimited" uploads a few MiB in minutes.
        printf 'MaxUpload=50000\nUploadCapacity=50000\nSlotAllocation=50000\nDownloadCapacity=50000\n'
        printf 'ConnectToKad=0\nFilterLanIPs=0\nIPFilterAutoLoad=0\nCheckDiskspace=0\nServerlist=0\n'
        # amuled runs only with its remote control on.
        printf '[ExternalConnect]\nAcceptExternalConnections=1\nECAddress=127.0.0.1\nECPort=%s\n' $(($3 + 50))
        printf 'ECPassword=%s\n' "$(printf secret | md5sum | cut -d' ' -f1)"
    }
    amule_conf up 10.7.0.2 4662 "$up/Temp" "$up/Incoming" >"$up/amule.conf"
    amule_conf down 10.7.0.3 4663 "$incoming/TempDir" "$incoming" >"$CONF"
    # server.met: one server, 10.7.0.1:4661, no tags. The stand-in answers a login with a high
    # ID (the downloader's address) and then reads whatever comes.
    printf '\xe0\x01\0\0\0\x0a\x07\0\x01\x35\x12\0\0\0\0' >"${CONF%/*}/server.met"
    printf '#!/bin/sh\nhead -c 1 >/dev/null\nprintf "\\343\\005\\0\\0\\0\\100\\012\\007\\0\\003"\nexec cat >/dev/null\n' \
        >/tmp/ed2k-server && chmod +x /tmp/ed2k-server
    local keeper net_pid
    exec {keeper}> >(exec unshare -n sh -c 'busybox ip link set lo up && read -r _')
    net_pid=$!
    wait_for eval '[ "$(readlink /proc/$net_pid/ns/net)" != "$(readlink /proc/self/ns/net)" ]'
    in_net() { nsenter -t "$net_pid" -n "$@"; }
    for tool in 1 2 3; do in_net busybox ip addr add 10.7.0.$tool/32 dev lo; done
    ec() { in_net amulecmd -h 127.0.0.1 -p "$1" -P secret -c "$2" 2>&1; }  # port command
    start_clients() {
        (cd / && exec nsenter -t "$net_pid" -n amuled -c "$up/" -o >>/tmp/amuled-up.log 2>&1) &
        uploader=$!
        (cd / && exec nsenter -t "$net_pid" -n amuled -c "${CONF%/*}/" -o >>/tmp/amuled-down.log 2>&1) &
        downloader=$!
        # A source asked before it shares the file, or while the downloader is not connected,
        # is given up for the run: the link waits for both.
        wait_seconds=60 wait_for eval 'ec 4712 "show shared" | grep -qi "> $hash "' &&
            wait_seconds=60 wait_for eval 'ec 4713 status | grep -q "Connected to .* HighID"' &&
            ed2k -c "${CONF%/*}/" "$link" >/dev/null
    }
    start_daemon
    wait_until_ready 2
    (cd / && exec nsenter -t "$net_pid" -n busybox nc -ll -p 4661 -e /tmp/ed2k-server) &
    local server=$! uploader downloader
    local link="ed2k://|file|${name// /%20}|$size|$hash|/|sources,10.7.0.2:4662|/"
    start_clients
    # aMule at times stops reading a connection for good (what the source sent waits unread in
    # the socket): a download that gains nothing for 12 s is resumed by a restart of both clients.
    local i used last="" restarts=0
    for ((i = 1; i <= 900; i++)); do
        [ -f /tmp/email/1 ] && break
        sleep 0.2
        ((i % 60)) && continue
        used=$(du -sk "$incoming/TempDir" | cut -f1)
        if [ "$used" = "$last" ]; then
            kill "$uploader" "$downloader" && wait "$uploader" "$downloader"
            start_clients
            restarts=$((restarts + 1))
        fi
        last=$used
    done
    echo "     (the download took $((i / 5)) s, with $restarts restarts of the clients)"
    kill "$uploader" "$downloader" "$server"
    wait "$uploader" "$downloader" "$server"
    exec {keeper}>&-
    cmp -s "$up/Incoming/$name" "$incoming/$name" || fail "the download did not arrive whole:
$(grep "^!" /tmp/amuled-down.log | tail -n 12)"
    stop_daemon "$incoming"
    assert_mail 1 -m 1024 -c "$name"
    assert_eq "1 777" "$(ls /tmp/email | wc -l) $(cat /tmp/email-modes/1)" "notices, and the file's mode at its notice"
    assert_eq "" "$(cat /tmp/qw.err)" "standard error"
}

# Discoveries that would have a root daemon open the system, or another user's tree, to
# everyone: each ends the start like an empty folder. Rows: set-up, then the line before the last.
case_hostile_discovery_never_watches() {
    local rows=(
        "printf 'IncomingDir=\n' >\$CONF|amule monitor folder: /"
        "printf 'IncomingDir=/\n' >\$CONF|amule monitor folder: //"
        "printf 'IncomingDir=share\n' >\$CONF|amule monitor folder: share/"
        "printf 'IncomingDir=/etc\n' >\$CONF|amule monitor folder: /etc/"
        "printf 'IncomingDir=/tmp/../usr/lib\n' >\$CONF|amule monitor folder: /tmp/../usr/lib/"
        "ln -s /etc /tmp/etc-link && printf 'IncomingDir=/tmp/etc-link\n' >\$CONF|amule monitor folder: /tmp/etc-link/"
        "chown 4242 /tmp/apkg.xml|read xml error"
        "chmod 666 /tmp/apkg.xml|read xml error"
        "chmod 664 \$CONF|Read error"
        "chown 4242 \$CONF && chown 4343 \$SHARE|amule monitor folder: \$SHARE"
        "chown 4242 \$CONF|amule monitor folder: \$SHARE"
        # Text the user chose, in a root-owned file: behind a symlink in the user's directory, in
        # a process's command line, under a second name.
        "chown 4242 \${CONF%/*} && echo 'att: IncomingDir=/tmp/outside' >/tmp/root.log && ln -sf /tmp/root.log \$CONF|amule monitor folder: /tmp/outside/"
        "ln -sf /proc/self/cmdline \$CONF|Read error"
        "ln \$CONF /tmp/conf-link|Read error"
    )
    local row setup line
    for row in "${rows[@]}"; do
        setup=${row%%|*}
        line=$(eval "echo \"${row#*|}\"")
        lay_out
        eval "$setup"
        run_daemon timeout 20
        assert_eq 1 "$status" "status after: $setup"
        assert_eq "$line
No files specified to watch!" "$(tail -n 2 /tmp/qw.out)" "last lines after: $setup"
    done
    # A user's symlink to a device node as the registry: never opened for reading (that can arm
    # a watchdog or rewind a tape); resolution stops at the user's symlink.
    if runs_emulated "$QW"; then
        echo "     (a device as the registry: strace can't trace an emulated binary)"
        return
    fi
    lay_out
    ln -sf /dev/null /tmp/apkg.xml && chown -h 4242 /tmp/apkg.xml
    run_daemon strace -f -o /tmp/qw.trace -e trace=open,openat timeout 20
    assert_eq "1 read xml error" "$status $(sed -n 2p /tmp/qw.out)" "a device as the registry"
    ! grep -E '"(/dev/)?null", O_RDONLY' /tmp/qw.trace || fail "the registry's device was opened"
}

# A user (uid 4242) who can write the tree, and the folder's parent, tries to have the root daemon
# open a root-owned directory or file outside the tree, or to exhaust, crash or flood it. Rows:
# where the folder lies below $INSTALL/users (the user's), whether the daemon ends (its path leads
# elsewhere), the attack, run as that user in $INSTALL/users, then what must hold after it, as
# root. The daemon runs with a 1 MiB stack and 256 descriptors.
case_attackers_never_reach_outside_the_tree() {
    local chain='perl -e "my \$n = \"n\" x 255; mkdir \"chain\"; chdir \"chain\";
        for (1 .. 3000) { mkdir \$n; chdir \$n } open(my \$f, \">\", \"bottom\")"'
    chain_bottom_is() {
        local mode
        mode=$(perl -e 'chdir $ARGV[0] or die; my $n = "n" x 255;
            for (1 .. 3000) { chdir $n or die } printf "%o", (stat "bottom")[2] & 07777' \
            "$folder/chain")
        [ "$mode" = "$1" ] || { echo "mode at the chain's bottom: $mode"; return 1; }
    }
    memory_stays_small() {
        local peak
        peak=$(awk '/^VmHWM/ {print $2}' /proc/"$(daemon_pid)"/status)
        echo "     peak RSS after the chain: $peak kB"
        [ "$sanitized" -eq 1 ] || runs_emulated "$QW" || [ "$peak" -lt 16384 ]
    }
    replace_victim_file() {
        grep -Fxq "chmod: not changing permissions of '$folder/grab': it has 2 links" /tmp/qw.err ||
            { echo "no report of the hard link: $(cat /tmp/qw.err)"; return 1; }
        echo new >/tmp/victim-new && chmod 600 /tmp/victim-new && mv /tmp/victim-new /tmp/victim-file
        touch "$folder/y" && SHARE=$folder/ barrier 2
        [ "$(stat -c %a "$folder/grab")" = 600 ] || { echo "the old file became everyone's"; return 1; }
    }
    notice_still_comes() {  # a download completed after the attack is announced
        : >"$folder/TempDir/done" && mv "$folder/TempDir/done" "$folder/IncomingDir/" &&
            wait_for test -e /tmp/email/1 && assert_mail 1 -m 1024 -c done
    }
    lines_bounded() {  # no line on either stream longer than a shortened path allows
        awk 'length > 400 { print FILENAME ": " length " characters"; bad = 1 } END { exit bad }' \
            /tmp/qw.out /tmp/qw.err
    }
    few_reports() {  # at most a few lines a reset, none long
        local resets lines
        resets=$(grep -c '^\[chmod' /tmp/qw.out)
        lines=$(wc -l </tmp/qw.err)
        [ "$lines" -le $((2 * resets)) ] && awk 'length > 400 { exit 1 }' /tmp/qw.err ||
            { echo "$lines lines on standard error for $resets resets"; return 1; }
    }
    item_reset_at_notice() {  # the download moved in during the flips: everyone's at its notice
        wait_for test -e /tmp/email/1 && assert_mail 1 -m 1024 -c dl &&
            [ "$(cat /tmp/email-modes/1)" = 777 ] ||
            { echo "mode of the download at its notice: $(cat /tmp/email-modes/1)"; return 1; }
    }
    local swap
    swap=$(cat <<'PERL'
perl -e 'my $end = time + 6; open(my $f, ">", "share/f$_") for 1 .. 20;
    while (time < $end) { for my $i (1 .. 20) {
        symlink("/tmp/victim-file", "share/t$i"); rename("share/t$i", "share/f$i");
        open(my $f, ">", "share/u$i"); close($f); rename("share/u$i", "share/f$i") } }'
PERL
    )
    local rows=(
        # The folder renamed away, a symlink put in its place, an event in the folder.
        "share|ends|mv share share.old && ln -s /tmp/victim share && touch share.old/x"
        # A directory above the folder rebuilt around a symlink.
        "box/share|ends|mv box box.old && mkdir box && ln -s /tmp/victim box/share && touch box.old/share/x"
        # Names swapped between files and symlinks while resets run, with BusyBox's chmod first
        # on PATH (it changes by name what it has looked at).
        "share|runs|$swap"
        # A hard link to a file the user may not change (where fs.protected_hardlinks is 0); its
        # owner then replaces it the usual way, leaving the tree's name alone on the old file.
        "share|runs|ln /tmp/victim-file share/grab && touch share/x|replace_victim_file"
        # 3,000 levels of 255-character names, deeper than the stack and the descriptors allow a
        # walk that holds a level each.
        "share|runs|$chain && mv chain share/|chain_bottom_is 777 && memory_stays_small"
        # A directory moved in; once the daemon has listed it, two of its sub-directories (one
        # walked after 3,000 others) swapped for symlinks to root's: a name given with a final
        # "/" would have the kernel follow them whatever the flags say.
        "share|runs|mkdir -p d/x d/big d/y && (cd d/big && mkdir \$(seq 3000))
            { inotifywait -qq -e close_nowrite d && cd share/d && mv x x.old &&
              ln -s /tmp/victim x && mv y y.old && ln -s /tmp/victim y; } & sleep 0.5; mv d share/; wait|! watched /tmp/victim"
        # A watched directory moved twice and a symlink to IncomingDir left where it went first.
        "share|runs|perl -e 'mkdir \"share/A\"; sleep 1; rename \"share/A\", \"share/Y\"; rename \"share/Y\", \"share/Z\"; symlink \"IncomingDir\", \"share/Y\"'|notice_still_comes"
        # Paths of 4,000 bytes: names of 255 characters made there and files moved out of it.
        "share|runs|perl -e 'use Cwd; my \$out = getcwd(); chdir \"share\";
            for (1 .. 16) { mkdir \"p\" x 250; chdir \"p\" x 250 } sleep 1; for (1 .. 3) {
            my \$f = (\"f\" x 250) . \$_; open(my \$h, \">\", \$f); close(\$h); rename \$f, \"\$out/f\$_\" }'|lines_bounded"
        # A chain of 300 levels walked before IncomingDir: each time a walk has made the marker
        # at its bottom everyone's, level 29 is moved under another parent while the walk climbs
        # back (it finds another ".."), and put back; meanwhile a download completes.
        "share|runs|perl -e 'chdir \"share\"; my \$p = \"\"; for (1 .. 300) { \$p .= \"c\$_/\"; mkdir \$p }
            mkdir \"park\"; my \$l = join(\"/\", map { \"c\$_\" } 1 .. 29); my \$m = \"\${p}marker\";
            open(my \$f, \">\", \$m); close \$f; chmod 0644, \$m; sleep 1;
            if (!fork) { my \$end = time + 6; while (time < \$end) { next unless ((stat \$m)[2] & 0777) == 0777;
                rename \$l, \"park/c29\"; chmod 0644, \"park/c29/\" . substr(\$m, length(\$l) + 1);
                select(undef, undef, undef, 0.005); rename \"park/c29\", \$l } exit }
            sleep 2; umask 077; open(\$f, \">\", \"TempDir/dl\"); close \$f;
            rename \"TempDir/dl\", \"IncomingDir/dl\"; wait'|item_reset_at_notice"
        # Thousands of links of the user's own file: a line each would flood the log.
        "share|runs|(umask 077 && touch own) && perl -e 'link \"own\", \"share/l\$_\" for 1 .. 1000' && touch share/x|few_reports"
    )
    mkdir -p /mnt/stubs/busybox-first
    ln -sf "$(command -v busybox)" /mnt/stubs/busybox-first/chmod
    local saved_links row folder ends attack check
    saved_links=$(cat /proc/sys/fs/protected_hardlinks)
    for row in "${rows[@]}"; do
        IFS='|' read -r -d '' folder ends attack check <<<"$row"
        check=${check%$'\n'}
        folder=$INSTALL/users/$folder
        lay_out "$folder"
        chmod 777 "$folder"
        chown 4242 "$INSTALL/users"
        mkdir -m 700 /tmp/victim && echo secret >/tmp/victim/secret && chmod 600 /tmp/victim/secret
        echo secret >/tmp/victim-file && chmod 600 /tmp/victim-file
        echo 0 >/proc/sys/fs/protected_hardlinks
        local -x QW_INCOMING=$folder/IncomingDir
        start_daemon prlimit --stack=1048576 --nofile=256 env PATH="/mnt/stubs/busybox-first:$PATH"
        wait_until_ready 3
        (cd "$INSTALL/users" && setpriv --reuid=4242 --regid=4242 --clear-groups bash -c "$attack")
        if [ "$ends" = ends ]; then
            wait_for eval '! kill -0 "$qw_pid" 2>/dev/null' || kill "$qw_pid"
            wait "$qw_pid"
            assert_eq "0 $FOLDER_GONE" "$? $(tail -n 1 /tmp/qw.out)" "end after: $attack"
        else
            SHARE=$folder/ wait_seconds=120 barrier 1
            echo "     $(grep -c '^\[chmod' /tmp/qw.out) resets during: ${attack%%$'\n'*}"
            [ -z "$check" ] || eval "$check" || fail "$check after: $attack"
            stop_daemon "$folder"
        fi
        echo "$saved_links" >/proc/sys/fs/protected_hardlinks
        assert_eq "700 600 600" "$(echo $(stat -c %a /tmp/victim /tmp/victim/secret /tmp/victim-file))" \
            "victims' modes after: $attack"
    done
}

# A tree with more directories than the daemon may watch (in the suite's user namespace, which
# allows 300 watches; the machine's limit stays as it is), then lost events: it starts with what it could
# watch, says so once, recovers, and still resets the tree at each event.
case_running_out_of_watches_never_ends_the_daemon() {
    lay_out
    mkdir -p "$SHARE"/full/d{1..400}
    nsenter --user=/proc/"$userns_pid"/ns/user sh -c 'echo 300 >/proc/sys/user/max_inotify_watches'
    start_daemon nsenter --user=/proc/"$userns_pid"/ns/user
    wait_until_ready 300
    kill -STOP "$qw_pid"
    overflow_queue
    kill -CONT "$qw_pid"
    wait_for output_has "$NO_CASE"
    (umask 077 && touch "$SHARE/after")
    wait_for eval '[ "$(stat -c %a "$SHARE/after")" = 777 ]'
    kill -0 "$qw_pid" 2>/dev/null || fail "the daemon ended: $(tail -n 3 /tmp/qw.out)"
    assert_eq 1 "$(grep -c 'upper limit on inotify watches reached' /tmp/qw.out)" "reports of the limit"
    stop_daemon
}

# On btrfs each sub-volume has a device number of its own and inode numbers repeat across them:
# after lost events the table is matched by the kernel's file handles, so no watch of a
# directory still in the tree is removed, and notices keep coming. The tree lies in a
# sub-volume, with another nested in it, on a loop-mounted image.
case_btrfs_subvolumes_keep_their_watches_after_lost_events() {
    command -v mkfs.btrfs >/dev/null || { skip_case "mkfs.btrfs (btrfs-progs) is not installed"; return; }
    [ -e /dev/loop-control ] || mknod -m 660 /dev/loop-control c 10 237
    for i in 0 1 2 3 4 5 6 7; do [ -e /dev/loop$i ] || mknod -m 660 /dev/loop$i b 7 $i; done
    mkdir -p /mnt/bt
    truncate -s 300M /mnt/btrfs.img && mkfs.btrfs -q /mnt/btrfs.img >/dev/null 2>&1 &&
        mount -o loop /mnt/btrfs.img /mnt/bt 2>/dev/null ||
        { skip_case "btrfs can't be mounted here"; rm -f /mnt/btrfs.img; return; }
    local SHARE=/mnt/bt/vol/share/
    btrfs subvolume create /mnt/bt/vol >/dev/null
    lay_out "${SHARE%/}"
    btrfs subvolume create "${SHARE}nested" >/dev/null
    mkdir -p "${SHARE}nested/d"{1..20} "${SHARE}TempDir/t"{1..10}
    start_daemon "${STRACE[@]}" -f -qq -e trace=inotify_rm_watch -o /tmp/removals.log
    wait_until_ready 34
    kill -STOP "$(daemon_pid)"
    overflow_queue
    kill -CONT "$(daemon_pid)"
    wait_for output_has "$NO_CASE"
    barrier 1
    assert_watches_whole_tree "after lost events on btrfs"
    assert_eq 0 "$(grep -c 'inotify_rm_watch(' /tmp/removals.log)" "watches removed by the recovery"
    local i
    for i in 1 2 3; do mv "${SHARE}TempDir/t$i" "${SHARE}IncomingDir/"; done
    mv "${SHARE}nested/d1" "${SHARE}TempDir/" && mv "${SHARE}TempDir/d1" "${SHARE}IncomingDir/"
    wait_for test -f /tmp/email/4
    assert_mail 4 -m 1024 -c d1
    stop_daemon "$SHARE"
    umount /mnt/bt && rm -f /mnt/btrfs.img
}

# A seeded random sequence of makes, renames, moves across TempDir and IncomingDir, moves out
# and in, deletions of files and nested directories, and directories made with another item
# moved into them at once, against a model of the notices. A move into a directory the daemon
# hasn't watched yet raises only its first half, so the sequence otherwise waits until each new
# directory is watched, and makes no such move that the model would take for a completed
# download. Bursts are made while the daemon is stopped, some behind an overflow of its queue:
# the moves made in such a gap may be announced by the walk after it, once, or not at all.
case_random_churn_matches_the_model() {
    local seed=${CHURN_SEED:-$((RANDOM * 32768 + RANDOM))} ops=${CHURN_OPS:-1500}
    # Under emulation every event costs several times as much.
    [ -z "${CHURN_OPS:-}" ] && runs_emulated "$QW" && ops=500
    RANDOM=$seed
    lay_out
    start_daemon
    wait_until_ready 3
    local rss_start rss_end
    rss_start=$(awk '/^VmRSS/ {print $2}' /proc/"$(daemon_pid)"/status)
    local -a items=() expected=() gap=()  # items: paths below $SHARE but TempDir and IncomingDir
    local op i j pick other src dst dir name target stopped=0 behind=0 lost=0
    # Sets $dir to a random directory of the tree ("" is the folder itself). No subshell: it
    # would draw from a RANDOM of its own, and the seed would not replay the run.
    random_dir() {
        local -a dirs=("" TempDir/ IncomingDir/)
        local item
        for item in "${items[@]}"; do [ -d "$SHARE$item" ] && dirs+=("$item/"); done
        dir=${dirs[RANDOM % ${#dirs[@]}]}
    }
    # Directories made or moved in while the daemon is behind have no watch until it reads their
    # events (those moved into them keep theirs): a move out of or into one raises no pair.
    local -a fresh=()
    # A watched directory moved into such a one while behind is in doubt too: its events keep
    # coming, but where it lies is known only once a walk meets it there (if it is still there).
    unseen() {
        local item
        for item in "${fresh[@]}"; do [ "$1" = "$item" ] || [[ $1 == "$item"/* ]] && return 0; done
        return 1
    }
    notice_in_model() {  # an item moved from $1 to $2: a completed download, unless lost
        local item
        if ((stopped)); then
            # In an overflow's gap: what ends up in IncomingDir, with all below it, may be
            # announced by the walk after it (when the daemon knew it in TempDir), once, or not
            # at all.
            if [[ $2 == *IncomingDir* && $2 != *TempDir* ]]; then
                gap+=("${2##*/}")
                for item in "${items[@]}"; do [[ $item == "$1"/* ]] && gap+=("${item##*/}"); done
            fi
            [[ $1 == *TempDir* && $2 == *IncomingDir* ]] && lost=$((lost + 1))
            return 0
        fi
        # Out of or into a directory in doubt: announced or not, as the daemon finds it.
        if { [[ $1 == */* ]] && unseen "${1%/*}"; } || { [[ $2 == */* ]] && unseen "${2%/*}"; }; then
            [[ $1 == *TempDir* && $2 == *IncomingDir* ]] && gap+=("${2##*/}")
            return 0
        fi
        [[ $1 == *TempDir* && $2 == *IncomingDir* ]] && expected+=("${2##*/}")
    }
    move_in_model() {  # item $1 is now at $2 (and item $3, if given, at $1: an exchange)
        local -a moved=()
        notice_in_model "$1" "$2"
        [ -n "${3:-}" ] && notice_in_model "$3" "$1"
        ((behind)) && [[ $2 == */* ]] && unseen "${2%/*}" && [ -d "$SHARE$2" ] && fresh+=("$2")
        mapfile -t items < <(renamed "$1" "$2" "${3:-}" "${items[@]}")
        [ ${#fresh[@]} -eq 0 ] || mapfile -t fresh < <(renamed "$1" "$2" "${3:-}" "${fresh[@]}")
    }
    renamed() {  # prints paths $4... with $1 moved to $2 (and $3, if given, to $1), one a line
        local from=$1 to=$2 other=$3
        shift 3
        for src; do
            if [ "$src" = "$from" ]; then echo "$to"
            elif [[ $src == "$from"/* ]]; then echo "$to${src#"$from"}"
            elif [ -n "$other" ] && [ "$src" = "$other" ]; then echo "$from"
            elif [ -n "$other" ] && [[ $src == "$other"/* ]]; then echo "$from${src#"$other"}"
            else echo "$src"; fi
        done
    }
    forget() {  # drops $1 and everything below it from the model
        local -a kept=()
        local item
        for item in "${items[@]}"; do
            [ "$item" = "$1" ] || [[ $item == "$1"/* ]] || kept+=("$item")
        done
        items=("${kept[@]}")
        kept=()
        for item in "${fresh[@]}"; do
            [ "$item" = "$1" ] || [[ $item == "$1"/* ]] || kept+=("$item")
        done
        fresh=("${kept[@]}")
    }
    made() {  # directory $1 made, or moved in from outside
        ((behind)) && fresh+=("$@")
        items+=("$@")
    }
    # Every hundred operations, 25 are made in a burst while the daemon is stopped; every third
    # burst comes behind an overflow of its queue (whose notices are lost, and counted).
    for ((i = 0; i < ops; i++)); do
        if [ $((i % 100)) -eq 50 ]; then
            kill -STOP "$(daemon_pid)"
            behind=1
            if [ $((i / 100 % 3)) -eq 2 ] && ! runs_emulated "$QW"; then
                overflow_queue
                stopped=1
            fi
        elif ((behind)) && [ $((i % 100)) -eq 75 ]; then
            kill -CONT "$(daemon_pid)"
            behind=0
            stopped=0
            fresh=()
            wait_seconds=300 barrier "burst$i"
            assert_watches_whole_tree "after the burst before operation $i (seed $seed)"
        fi
        op=$((RANDOM % 12))
        if [ ${#items[@]} -eq 0 ] || [ $op -lt 3 ]; then
            random_dir
            if ((RANDOM % 2)); then
                name=d$i && mkdir "$SHARE$dir$name"
                ((behind)) || wait_for watched "$SHARE$dir$name"
                made "$dir$name"
            else
                name=f$i && touch "$SHARE$dir$name"
                items+=("$dir$name")
            fi
            continue
        fi
        pick=${items[RANDOM % ${#items[@]}]}
        case $op in
        3 | 4 | 5 | 6)  # a move inside the tree, often from TempDir to IncomingDir
            random_dir
            [ "$dir" = "$pick/" ] || [[ $dir == "$pick"/* ]] && continue
            name=${pick##*/}
            [ -e "$SHARE$dir$name" ] && name=m$i
            mv "$SHARE$pick" "$SHARE$dir$name"
            move_in_model "$pick" "$dir$name"
            ;;
        7)
            mv "$SHARE$pick" "/tmp/outside/o$i"
            forget "$pick"
            ;;
        8)
            random_dir
            mkdir -p "/tmp/outside/i$i/sub/deeper"
            mv "/tmp/outside/i$i" "$SHARE${dir}i$i"
            ((behind)) || wait_for watched "$SHARE${dir}i$i/sub/deeper"
            made "${dir}i$i" "${dir}i$i/sub" "${dir}i$i/sub/deeper"
            ;;
        9)
            rm -rf "$SHARE$pick"
            forget "$pick"
            ;;
        10)  # a directory made, and an item moved into it before the daemon reads its creation
            random_dir
            [ "$dir" = "$pick/" ] || [[ $dir == "$pick"/* ]] && continue
            [[ $pick == *TempDir* && $dir == *IncomingDir* ]] && continue
            mkdir "$SHARE${dir}n$i" && mv "$SHARE$pick" "$SHARE${dir}n$i/"
            ((behind)) || wait_for watched "$SHARE${dir}n$i"
            made "${dir}n$i"
            move_in_model "$pick" "${dir}n$i/${pick##*/}"
            ;;
        11)  # two directories exchanged in one call
            other=${items[RANDOM % ${#items[@]}]}
            [ -d "$SHARE$pick" ] && [ -d "$SHARE$other" ] || continue
            [[ $pick == "$other" || $pick == "$other"/* || $other == "$pick"/* ]] && continue
            exchange "$SHARE$pick" "$SHARE$other"
            move_in_model "$pick" "$other" "$other"
            ;;
        esac
    done
    wait_seconds=120 barrier 1
    # A download completed in an overflow's gap may be announced by the walk after it (when the
    # daemon knew it in TempDir before), once: a notice that is not the next one the model
    # expects is set apart as such, if the gaps hold its name.
    local -a sent=() announced=()
    local mail
    for ((i = 1; i <= $(ls /tmp/email | wc -l); i++)); do
        mail=$(tr '\0' '\n' <"/tmp/email/$i" | sed -n 4p)
        if [ "$mail" = "${expected[${#sent[@]}]:-}" ]; then
            sent+=("$mail")
            continue
        fi
        for ((j = 0; j < ${#gap[@]}; j++)); do
            [ "${gap[j]}" = "$mail" ] || continue
            announced+=("$mail")
            unset 'gap[j]'
            gap=("${gap[@]}")
            continue 2
        done
        sent+=("$mail")
    done
    assert_eq "${expected[*]}" "${sent[*]}" "notices after $ops operations (seed $seed)"
    assert_watches_whole_tree "seed $seed"
    assert_eq "" "$(find "$SHARE" ! -perm 777 | head -n 3)" "paths not reset (seed $seed)"
    rss_end=$(awk '/^VmRSS/ {print $2}' /proc/"$(daemon_pid)"/status)
    echo "     $ops operations, ${#expected[@]} notices, $lost completed in an overflow's gap," \
        "${#announced[@]} announced after it," \
        "RSS $rss_start -> $rss_end kB (seed $seed)"
    if [ "$sanitized" -eq 0 ] && ! runs_emulated "$QW" && [ $((rss_end - rss_start)) -gt 1024 ]; then
        fail "RSS grew from $rss_start kB to $rss_end kB (seed $seed)"
    fi
    stop_daemon
}

run_cases
