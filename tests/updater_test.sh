#!/bin/bash
# Black-box suite of the updater: runs the real binary in scratch application directories and
# checks its exact output, exit status and the files it leaves.
UPDATER=$(realpath "$1")
SKIP_SLEEP=$(realpath "$2")
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/updater_common.sh"
command -v strace >/dev/null || skip "strace is not installed"
work=$(mktemp -d /tmp/updater_test.XXXXXX)
trap 'rm -rf "$work"' EXIT

case_no_trigger_touches_nothing() {
    local app=$work/no_trigger
    make_app "$app"
    rm "$app/doupdate"
    local before
    before=$(snapshot "$app")
    run_updater "$app"
    assert_eq "$START" "$out" "output"
    assert_eq 0 "$status" "status"
    assert_eq "$before" "$(snapshot "$app")" "files"
}

case_full_update_from_another_directory() {
    local app=$work/full
    make_app "$app"
    run_updater "$app"
    assert_eq "$START
Updating p1.rep
Deleting p1.rep
Updating p2.rep
Deleting p2.rep
Updating p3.rep
Deleting p3.rep" "$out" "output"
    assert_eq 0 "$status" "status"
    for p in p1 p2 p3; do
        assert_content "$app/$p" "new $p"
        assert_absent "$app/$p.rep"
    done
    assert_absent "$app/doupdate"
    assert_absent "$app/manifest.xml.rep"
    assert_eq "$(write_manifest /dev/stdout p1 p2 p3)" "$(cat "$app/manifest.xml")" "promoted manifest"
}

case_started_through_a_symlink() {
    local app=$work/via_link
    make_app "$app"
    mkdir -p "$work/bin"
    ln -s "$app/updater" "$work/bin/corvan-update"
    out=$(cd "$work/bin" && "${STRACE[@]}" -f -qq -o /dev/null \
        -e inject=clock_nanosleep,nanosleep:retval=0 ./corvan-update </dev/null)
    status=$?
    assert_eq 0 "$status" "status"
    assert_eq 7 "$(echo "$out" | wc -l)" "line count"
    assert_content "$app/p2" "new p2"
    assert_absent "$app/doupdate"
    assert_absent "$work/bin/doupdate"
}

case_empty_list_promotes_the_manifest() {
    local app=$work/empty_list
    make_app "$app"
    write_manifest "$app/manifest.xml.rep"
    local new_manifest
    new_manifest=$(cat "$app/manifest.xml.rep")
    run_updater "$app"
    assert_eq "$START" "$out" "output"
    assert_eq 0 "$status" "status"
    assert_absent "$app/doupdate"
    assert_absent "$app/manifest.xml.rep"
    assert_content "$app/manifest.xml" "$new_manifest"
    assert_content "$app/p1.rep" "new p1"
}

case_absent_staged_copies_and_duplicates_are_passed_over() {
    local app=$work/sparse
    make_app "$app"
    rm "$app/p2.rep"
    write_manifest "$app/manifest.xml.rep" p1 p2 p1 "" p3
    run_updater "$app"
    assert_eq "$START
Updating p1.rep
Deleting p1.rep
Updating p3.rep
Deleting p3.rep" "$out" "output"
    assert_eq 0 "$status" "status"
    assert_content "$app/p2" "old p2"
    assert_content "$app/p1" "new p1"
}

case_falls_back_to_the_current_manifest() {
    local app=$work/fallback
    make_app "$app"
    rm "$app/manifest.xml.rep"
    write_manifest "$app/manifest.xml" p3
    local current
    current=$(cat "$app/manifest.xml")
    run_updater "$app"
    assert_eq "$START
Failed loading manifest.xml.rep, trying manifest.xml
Updating p3.rep
Deleting p3.rep" "$out" "output"
    assert_eq 0 "$status" "status"
    assert_content "$app/p3" "new p3"
    assert_content "$app/p1.rep" "new p1"
    assert_content "$app/manifest.xml" "$current"
    assert_absent "$app/doupdate"
}

case_no_loadable_manifest_changes_nothing() {
    local app=$work/no_manifest
    make_app "$app"
    echo "<CorvanManifest><Files>" >"$app/manifest.xml.rep"
    rm "$app/manifest.xml"
    local before
    before=$(snapshot "$app")
    run_updater "$app"
    assert_eq "$START
Failed loading manifest.xml.rep, trying manifest.xml
Failed loading manifest.xml
$REINSTALL" "$out" "output"
    assert_eq 1 "$status" "status"
    assert_eq "$before" "$(snapshot "$app")" "files"
}

case_unreadable_new_manifest_fails_after_the_current_list() {
    local app=$work/bad_new_manifest
    make_app "$app"
    echo "<CorvanManifest><Files>" >"$app/manifest.xml.rep"
    write_manifest "$app/manifest.xml" p1
    run_updater "$app"
    assert_eq "$START
Failed loading manifest.xml.rep, trying manifest.xml
Updating p1.rep
Deleting p1.rep
$REINSTALL" "$out" "output"
    assert_eq 1 "$status" "status"
    assert_content "$app/p1" "new p1"
    assert_content "$app/p2.rep" "new p2"
    assert_eq "<CorvanManifest><Files>" "$(cat "$app/manifest.xml.rep")" "new manifest kept"
    assert_exists "$app/doupdate"
}

case_staged_copy_that_exists_but_cant_be_opened_fails_the_copy() {
    local app=$work/socket_staged
    make_app "$app"
    rm "$app/p2.rep"
    make_socket "$app/p2.rep"  # opening it fails with ENXIO
    run_updater "$app"
    assert_eq "$START
Updating p1.rep
Deleting p1.rep
Updating p2.rep
Failed Copying p2.rep
$REINSTALL" "$out" "output"
    assert_eq 1 "$status" "status"
    assert_exists "$app/doupdate"
}

case_failed_promotion_keeps_the_trigger() {
    local app=$work/no_promotion
    make_app "$app"
    rm "$app/manifest.xml" && mkdir "$app/manifest.xml"
    run_updater "$app"
    assert_eq 0 "$status" "status"
    assert_eq 7 "$(echo "$out" | wc -l)" "line count"
    assert_content "$app/p3" "new p3"
    assert_exists "$app/manifest.xml.rep"
    assert_exists "$app/doupdate"
    # Once the obstacle is gone, the next run completes the update.
    rmdir "$app/manifest.xml"
    run_updater "$app"
    assert_eq "$START" "$out" "output of the completing run"
    assert_absent "$app/doupdate"
    assert_absent "$app/manifest.xml.rep"
    assert_eq "$(write_manifest /dev/stdout p1 p2 p3)" "$(cat "$app/manifest.xml")" "promoted manifest"
}

case_failed_copy_stops_the_run() {
    local app=$work/copy_fails
    make_app "$app"
    rm "$app/p2" && mkdir "$app/p2"  # a directory can't be opened for writing
    run_updater "$app"
    assert_eq "$START
Updating p1.rep
Deleting p1.rep
Updating p2.rep
Failed Copying p2.rep
$REINSTALL" "$out" "output"
    assert_eq 1 "$status" "status"
    assert_content "$app/p1" "new p1"
    assert_absent "$app/p1.rep"
    assert_content "$app/p2.rep" "new p2"
    assert_content "$app/p3.rep" "new p3"
    assert_content "$app/p3" "old p3"
    assert_exists "$app/doupdate"
    assert_exists "$app/manifest.xml.rep"
}

case_failed_delete_stops_the_run() {
    local app=$work/delete_fails
    make_app "$app"
    run_updater "$app" -e inject=unlink,unlinkat:error=EACCES:when=2
    assert_eq "$START
Updating p1.rep
Deleting p1.rep
Updating p2.rep
Deleting p2.rep
Failed Deleting p2.rep
$REINSTALL" "$out" "output"
    assert_eq 1 "$status" "status"
    assert_content "$app/p2" "new p2"
    assert_content "$app/p2.rep" "new p2"
    assert_content "$app/p3" "old p3"
    assert_exists "$app/doupdate"
}

case_absolute_entry_names_its_absolute_staged_copy() {
    local app=$work/absolute data=$work/data
    make_app "$app"
    mkdir -p "$data"
    echo "old x" >"$data/x"
    echo "new x" >"$data/x.rep"
    write_manifest "$app/manifest.xml.rep" "$data/x"
    run_updater "$app"
    assert_eq "$START
Updating $data/x.rep
Deleting $data/x.rep" "$out" "output"
    assert_content "$data/x" "new x"
    assert_absent "$data/x.rep"
}

case_updates_its_own_executable() {
    local app=$work/self
    make_app "$app"
    stage_new_updater "$app"
    chmod 0750 "$app/updater"
    write_manifest "$app/manifest.xml.rep" p1 updater p2
    run_updater "$app" -y -o "$work/self.trace"
    assert_eq "$START
Updating p1.rep
Deleting p1.rep
Updating updater.rep
Deleting updater.rep
Updating p2.rep
Deleting p2.rep" "$out" "output"
    assert_eq 0 "$status" "status"
    assert_eq "new build" "$(tail -n 1 "$app/updater")" "new executable in place"
    assert_eq 750 "$(stat -c %a "$app/updater")" "mode kept"
    assert_absent "$app/updater.rep"
    assert_absent "$app/updater.updating"
    # Owner and mode are set before the new executable's data is synced: a power cut can't
    # leave it renamed in place with the temporary's mode.
    assert_eq "fchmod fsync" "$(grep -oE '^[0-9]+ +(fchown|fchmod|fsync)\([0-9]+<[^>]*updater\.updating>' \
        "$work/self.trace" | grep -oE 'fchmod|fsync' | xargs)" "order of the last calls on the new executable"
    # The replaced executable still runs.
    run_updater "$app"
    assert_eq "$START" "$out" "output of the new executable"
}

# In a pid namespace of its own with the host's /proc (a container or chroot that shares it),
# /proc/<its pid>/exe names another process: the updater finds itself through /proc/self/exe.
case_finds_itself_in_a_pid_namespace_of_its_own() {
    [ "$(id -u)" -eq 0 ] || { skip_case "needs root: a private pid namespace"; return; }
    local app=$work/pidns
    make_app "$app"
    write_manifest "$app/manifest.xml.rep" p1
    run_updater "$app" unshare -pf --
    assert_eq "0 $START
Updating p1.rep
Deleting p1.rep" "$status $out" "output in a pid namespace of its own"
    assert_content "$app/p1" "new p1"
}

case_staged_copy_linked_to_its_target_is_not_destroyed() {
    local app=$work/linked
    make_app "$app"
    rm "$app/p1.rep" "$app/p2.rep"
    echo "already new p1" >"$app/p1"
    ln "$app/p1" "$app/p1.rep"
    echo "already new p2" >"$app/p2"
    ln -s p2 "$app/p2.rep"
    run_updater "$app"
    assert_eq 0 "$status" "status"
    assert_content "$app/p1" "already new p1"
    assert_content "$app/p2" "already new p2"
    assert_absent "$app/p1.rep"
    assert_absent "$app/p2.rep"
}

case_injected_io_faults_fail_the_copy_and_keep_the_staged_copy() {
    local injection n fault
    for injection in "write:ENOSPC:p1" "read:EIO:p1.rep" "fsync:EIO:p1" "close:EIO:p1"; do
        IFS=: read -r fault err file <<<"$injection"
        local app=$work/fault_$fault
        make_app "$app"
        n=$(nth_call_on "$fault" "$app" "$file")
        if [ -z "$n" ]; then fail "$fault on $file never happens"; continue; fi
        run_updater "$app" -e inject="$fault:error=$err:when=$n"
        assert_eq "$START
Updating p1.rep
Failed Copying p1.rep
$REINSTALL" "$out" "output with $fault failing"
        assert_eq 1 "$status" "status with $fault failing"
        assert_content "$app/p1.rep" "new p1"
        assert_exists "$app/doupdate"
    done
}

case_short_write_fails_the_copy() {
    local app=$work/short_write n
    make_app "$app"
    n=$(nth_call_on write "$app" p1)
    run_updater "$app" -e inject="write:retval=1:when=$n"
    assert_eq "$START
Updating p1.rep
Failed Copying p1.rep
$REINSTALL" "$out" "output"
    assert_content "$app/p1.rep" "new p1"
}

case_full_update_leaks_nothing() {
    local app=$work/leaks checker=()
    make_app "$app"
    stage_new_updater "$app"
    write_manifest "$app/manifest.xml.rep" p1 updater p3
    if ldd "$UPDATER" 2>/dev/null | grep -q libasan; then
        echo "     (LeakSanitizer checks at exit)"
    else
        choose_leak_checker "$UPDATER"
    fi
    out=$(cd / && LD_PRELOAD=$SKIP_SLEEP ASAN_OPTIONS=verify_asan_link_order=0 \
        "${checker[@]}" "$app/updater" 2>"$work/leaks.err")
    status=$?
    assert_eq 0 "$status" "status (leak report: $(cat "$work/leaks.err"))"
    assert_eq 7 "$(echo "$out" | wc -l)" "line count"
    assert_absent "$app/doupdate"
}

case_real_run_prints_at_once_then_waits() {
    local app=$work/timed log=$work/timed.log
    make_app "$app"
    rm "$app/doupdate"
    local start=$SECONDS
    "$app/updater" >"$log" &
    local pid=$! i
    for i in $(seq 50); do [ -s "$log" ] && break; sleep 0.1; done
    assert_eq "$START" "$(cat "$log")" "start line before the wait"
    sleep 3
    kill -0 "$pid" 2>/dev/null || fail "exited before 3 seconds"
    wait "$pid"
    assert_eq 0 $? "status"
    [ $((SECONDS - start)) -ge 4 ] || fail "waited less than about 5 seconds"
}

# Special files in each role: nothing blocks, nothing is written through them, and a layout that
# can't be applied fails with the reinstall notice and is left for the next run. Rows: role,
# kind, status, last line.
case_special_files_never_block_or_get_written_through() {
    local rows=(
        "doupdate fifo 0|Deleting p3.rep" "doupdate dir 0|Deleting p3.rep"
        "manifest.xml.rep fifo 1|$REINSTALL" "manifest.xml.rep dir 1|$REINSTALL"
        "manifest.xml.rep device 1|$REINSTALL" "manifest.xml.rep socket 1|$REINSTALL"
        "manifest.xml fifo 1|$REINSTALL" "manifest.xml device 1|$REINSTALL"
        "p2.rep fifo 1|$REINSTALL" "p2.rep dir 1|$REINSTALL" "p2.rep device 1|$REINSTALL"
        "p2 fifo 1|$REINSTALL" "p2 dir 1|$REINSTALL" "p2 device 1|$REINSTALL"
        "p2 socket 1|$REINSTALL"
    )
    local row role kind expected app
    for row in "${rows[@]}"; do
        read -r role kind expected <<<"${row%%|*}"
        app=$work/special_${role}_$kind
        make_app "$app"
        rm -f "$app/$role"
        [ "$role" = manifest.xml ] && rm "$app/manifest.xml.rep"
        case $kind in
        fifo) mkfifo "$app/$role" ;;
        dir) mkdir "$app/$role" ;;
        device) ln -s /dev/zero "$app/$role" ;;
        socket) make_socket "$app/$role" ;;
        esac
        out=$(cd / && timeout 20 "${STRACE[@]}" -f -qq -o /dev/null \
            -e inject=clock_nanosleep,nanosleep:retval=0 "$app/updater" </dev/null)
        status=$?
        assert_eq "$expected" "$status" "status with $kind $role"
        assert_eq "${row#*|}" "$(tail -n 1 <<<"$out")" "last line with $kind $role"
        [ "$role" = p2 ] && assert_exists "$app/p2.rep"
        [ "$role" = p2.rep ] && assert_content "$app/p2" "old p2"
        [ "$expected" = 1 ] && assert_exists "$app/doupdate"
    done
}

# Layouts that used to crash, fail for ever, kill the run or report a false success.
case_hostile_layouts_fail_safe_or_apply() {
    # Nesting 100,000 deep, plain or hidden from a reading that splits the text elsewhere than
    # the parser: behind an instruction that ends at its first ">", behind end tags inside a
    # comment opened as "<!-->", behind stray end tags before the root.
    local app=$work/deep hidden deep closes
    deep=$(head -c 100000 /dev/zero | sed 's/\x0/<a>/g')
    closes=$(head -c 100000 /dev/zero | sed 's/\x0/<\/a>/g')
    for hidden in "<r>" "<r><?note a > b" "<r><!-->$closes-->" "$closes<r>"; do
        make_app "$app"
        printf '%s%s?></r>' "$hidden" "$deep" >"$app/manifest.xml.rep"
        run_updater "$app"
        assert_eq 1 "$status" "status with a manifest nested 100,000 deep after ${hidden:0:15}"
        assert_eq "Failed loading manifest.xml.rep, trying manifest.xml" "$(sed -n 2p <<<"$out")" \
            "fallback line with a manifest nested 100,000 deep after ${hidden:0:15}"
        rm -rf "$app"
    done

    # Entries whose staged copy can't exist are passed over: a name too long once ".rep" is
    # added, a path through a symlink loop.
    app=$work/cant_exist
    make_app "$app"
    local long
    long=$(printf 'n%.0s' {1..253})
    ln -s loop "$app/loop"
    write_manifest "$app/manifest.xml.rep" p1 "$long" loop/x
    run_updater "$app"
    assert_eq 0 "$status" "status with staged copies that can't exist"
    assert_eq "$START
Updating p1.rep
Deleting p1.rep" "$out" "output with staged copies that can't exist"
    assert_absent "$app/doupdate"

    # A staged copy that is there but can't be followed just now (a link into a volume not
    # mounted yet, a chain of 42 links) fails its copy and keeps the trigger; once it can be
    # followed, the next run completes the update.
    for entry in p2 p3; do
        app=$work/unfollowable_$entry
        make_app "$app"
        if [ $entry = p2 ]; then
            mv "$app/p2.rep" "$app/volume.rep" && ln -s volume/p2.rep "$app/p2.rep"
        else
            mv "$app/p3.rep" "$app/l0"
            for i in {1..42}; do ln -s "l$((i - 1))" "$app/l$i"; done
            ln -s l42 "$app/p3.rep"
        fi
        run_updater "$app"
        assert_eq "1 Failed Copying $entry.rep" "$status $(tail -n 2 <<<"$out" | head -n 1)" \
            "end with an unfollowable $entry.rep"
        assert_exists "$app/doupdate"
        [ $entry = p2 ] && mkdir "$app/volume" && mv "$app/volume.rep" "$app/volume/p2.rep"
        [ $entry = p3 ] && rm "$app/p3.rep" && ln -s l0 "$app/p3.rep"
        run_updater "$app"
        assert_eq "0 new $entry" "$status $(cat "$app/$entry")" "rerun once $entry.rep can be followed"
    done

    # A de-duplicating stager links p2.rep to p1 (the new p2 is the old p1), or p1.rep and
    # p2.rep to each other's target (a swap): each target gets what its staged copy held when
    # the run began, whichever is written first. A Latin-1 manifest, declared so, is read as such.
    local link expected
    for link in "ln p1 p2.rep" "ln -s p1 p2.rep" "ln -s p2 p1.rep; ln -s p1 p2.rep"; do
        app=$work/shared_inode
        rm -rf "$app" && make_app "$app"
        (cd "$app" && rm p1.rep p2.rep && eval "$link" && { [ -L p1.rep ] || echo "new p1" >p1.rep; })
        printf '<?xml version="1.0" encoding="ISO-8859-1"?>\n<!-- Mise \xe0 jour -->\n%s\n' \
            "$(write_manifest /dev/stdout p1 p2 p3 | tail -n +2)" >"$app/manifest.xml.rep"
        run_updater "$app"
        expected="new p1 old p1"
        [[ $link == *p1.rep* ]] && expected="old p2 old p1"
        assert_eq "0 $expected new p3" "$status $(cat "$app/p1" "$app/p2" "$app/p3" | xargs)" \
            "update after $link"
        assert_absent "$app/doupdate"
    done

    # A target that is a dangling symlink: the file is made where it leads, and that directory
    # is synced before the trigger goes.
    app=$work/dangling_target
    make_app "$app"
    mkdir "$app/lib" "$app/data" && ln -s ../data/plugin "$app/lib/plugin"
    echo "new plugin" >"$app/lib/plugin.rep"
    write_manifest "$app/manifest.xml.rep" lib/plugin
    run_updater "$app" -y -o "$work/dangling.trace" -e trace=fsync,unlink,unlinkat,clock_nanosleep,nanosleep
    assert_eq "0 new plugin" "$status $(cat "$app/data/plugin")" "update through a dangling symlink"
    grep -A 100 "<$app/data/plugin>" "$work/dangling.trace" | grep -B 100 '"doupdate"' |
        grep -q "fsync([0-9]*<$app/data>)" || fail "data/ not synced before the trigger went"

    # Without /proc (a chroot, early in a boot) the run can't know its directory: it touches
    # nothing, not even the directory it was started from, which holds an update of its own. A
    # sanitizer runtime or an emulator can't start without /proc.
    if runs_emulated "$UPDATER" || ldd "$UPDATER" 2>/dev/null | grep -q libasan; then
        echo "     (no /proc not tried: the emulator or AddressSanitizer needs it)"
    elif [ "$(id -u)" -eq 0 ]; then
        app=$work/no_proc
        make_app "$app"
        local before
        before=$(snapshot "$app")
        out=$(cd "$app" && unshare -m --propagation private sh -c 'mount -t tmpfs tmpfs /proc &&
            exec strace -qq -o /dev/null -e inject=clock_nanosleep,nanosleep:retval=0 ./updater' \
            2>&1 </dev/null)
        assert_eq "1 $REINSTALL" "$? $(tail -n 1 <<<"$out")" "end without /proc"
        grep -q "^updater: cannot find the application directory" <<<"$out" ||
            fail "no reason given: $out"
        assert_eq "$before" "$(snapshot "$app")" "files without /proc"
    fi

    # Memory running out while the manifest is parsed (70,000 entries in 30 MB of address
    # space) is a manifest that can't be loaded, not an abort.
    if runs_emulated "$UPDATER" || ldd "$UPDATER" 2>/dev/null | grep -q libasan; then
        echo "     (memory limit not tried: the emulator or AddressSanitizer needs more)"
    else
        app=$work/no_memory
        make_app "$app"
        printf '<CorvanManifest><Files>%s</Files></CorvanManifest>' \
            "$(head -c 70000 /dev/zero | sed 's/\x0/<F Path="p"\/>/g')" >"$app/manifest.xml.rep"
        out=$(cd / && prlimit --as=30000000 "${STRACE[@]}" -f -qq -o /dev/null \
            -e inject=clock_nanosleep,nanosleep:retval=0 "$app/updater" </dev/null 2>&1)
        assert_eq "1 $REINSTALL" "$? $(tail -n 1 <<<"$out")" "end when memory runs out"
        # 8,000 entries fit in 40 MB, also when the parse needs a thread's stack.
        printf '<CorvanManifest><Files>%s</Files></CorvanManifest>' \
            "$(head -c 8000 /dev/zero | sed 's/\x0/<F Path="p1"\/>/g')" >"$app/manifest.xml.rep"
        out=$(cd / && prlimit --as=40000000 --stack=8388608 "${STRACE[@]}" -f -qq -o /dev/null \
            -e inject=clock_nanosleep,nanosleep:retval=0 "$app/updater" </dev/null 2>&1)
        assert_eq "0 new p1" "$? $(cat "$app/p1")" "8,000 entries in 40 MB"
    fi

    # A staged copy whose path is too long as a whole, each name within the limit, may exist:
    # the run fails and keeps the trigger. So does a target that is a symlink to its own staged
    # copy, which keeps that copy: deleting it would leave the target dangling.
    app=$work/too_long
    make_app "$app"
    local name long_path="" i
    name=$(printf 'd%.0s' {1..250})
    for i in {1..17}; do long_path+=$name/; done
    (cd "$app" && for i in {1..17}; do mkdir "$name" && cd "$name" || exit 1; done && echo new >x.rep)
    write_manifest "$app/manifest.xml.rep" p1 "${long_path}x" p3
    rm "$app/p3" && ln -s p3.rep "$app/p3"
    for entry in "${long_path}x" p3; do
        run_updater "$app"
        assert_eq 1 "$status" "status with ${entry:0:10}..."
        assert_eq "Updating $entry.rep
Failed Copying $entry.rep
$REINSTALL" "$(tail -n 3 <<<"$out")" "last lines with ${entry:0:10}..."
        assert_exists "$app/doupdate"
        write_manifest "$app/manifest.xml.rep" p3
    done
    assert_content "$app/p3.rep" "new p3"

    # An application directory whose path is over 2,047 bytes: the run applies its own update,
    # not one in the directory a path cut at 2,047 bytes would name.
    app=$work/long_app
    for i in {1..9}; do app+=/$name; done
    make_app "$app"
    local cut=$app/updater
    cut=${cut:0:2047}
    make_app "${cut%/*}"
    run_updater "$app"
    assert_eq 0 "$status" "status in a directory with a long path"
    assert_content "$app/p1" "new p1"
    assert_content "${cut%/*}/p1" "old p1"
    assert_exists "${cut%/*}/doupdate"

    # The running updater named through a symlink: the file it leads to is replaced.
    app=$work/self_link
    make_app "$app"
    mkdir "$app/bin" && ln -s ../updater "$app/bin/updater"
    stage_new_updater "$app" && mv "$app/updater.rep" "$app/bin/updater.rep"
    write_manifest "$app/manifest.xml.rep" bin/updater
    run_updater "$app"
    assert_eq 0 "$status" "status of an update through a link to the updater"
    [ -L "$app/bin/updater" ] || fail "the link to the updater was replaced"
    assert_eq "new build" "$(tail -n 1 "$app/updater")" "updater updated through the link"

    # A closed output pipe: the lines are lost, the update is not.
    app=$work/closed_pipe
    make_app "$app"
    (cd / && "${STRACE[@]}" -f -qq -o /dev/null -e inject=clock_nanosleep,nanosleep:retval=0 \
        "$app/updater" </dev/null | head -n 1 >/dev/null; exit "${PIPESTATUS[0]}")
    assert_eq 0 "$?" "status with a closed output pipe"
    assert_content "$app/p3" "new p3"
    assert_absent "$app/doupdate"

    # The directory can't be synced: no success and the trigger stays, until it can be; a file
    # system that can't sync directories at all lets the update finish.
    app=$work/no_dir_sync
    make_app "$app"
    local syncs  # the directory's sync is the last one
    syncs=$(cd / && cp -a "$app" "$app.count" && "${STRACE[@]}" -f -qq -o /dev/stdout \
        -e trace=fsync,clock_nanosleep,nanosleep -e inject=clock_nanosleep,nanosleep:retval=0 "$app.count/updater" \
        </dev/null | grep -c '^[0-9 ]*fsync(')
    run_updater "$app" -e inject=fsync:error=EIO:when=$syncs
    assert_eq 1 "$status" "status when the directory can't be synced"
    assert_eq "$REINSTALL" "$(tail -n 1 <<<"$out")" "last line when the directory can't be synced"
    assert_exists "$app/doupdate"
    run_updater "$app" -e inject=fsync:error=EINVAL
    assert_eq 0 "$status" "status when directories can't be synced at all"
    assert_absent "$app/doupdate"
}

run_cases
