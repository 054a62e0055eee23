#!/bin/bash
# Fault-injection matrix of the updater: in a three-file update, makes each of open, stat (fstat,
# newfstatat, or statx as the 32-bit ARM C library calls it), read, write (ENOSPC and a short
# count), fsync, close and unlink fail at each position it is called in turn. Every run must
# print only the program's own lines in a valid order, end with the status its last line implies,
# never lose a staged copy whose target does not yet hold the new content, and a rerun without
# the fault must reach the fully updated state.
UPDATER=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/updater_common.sh"
command -v strace >/dev/null || skip "strace is not installed"
work=$(mktemp -d /tmp/updater_faults.XXXXXX)
trap 'rm -rf "$work"' EXIT

template=$work/template
make_app "$template"
expected=$(clean_run_snapshot "$template")

# Checks that $out is a sequence of lines the updater can print for one run, in a valid order,
# and that $status matches it. Prints what is wrong, or nothing.
output_problem() {
    local -a lines
    mapfile -t lines <<<"$out"
    local i=0 n=${#lines[@]} staged
    [ "${lines[0]}" = "$START" ] || { echo "first line: ${lines[0]}"; return; }
    i=1
    if [ "${lines[i]}" = "Failed loading manifest.xml.rep, trying manifest.xml" ]; then
        i=$((i + 1))
        if [ "${lines[i]}" = "Failed loading manifest.xml" ]; then i=$((i + 1)); fi
    fi
    while [ $i -lt $n ] && [[ ${lines[i]} == "Updating "* ]]; do
        staged=${lines[i]#Updating }
        i=$((i + 1))
        if [ "${lines[i]}" = "Failed Copying $staged" ]; then i=$((i + 1)); break; fi
        [ "${lines[i]}" = "Deleting $staged" ] || { echo "after Updating $staged: ${lines[i]}"; return; }
        i=$((i + 1))
        if [ "${lines[i]}" = "Failed Deleting $staged" ]; then i=$((i + 1)); break; fi
    done
    local failed=0
    if [ $i -lt $n ] && [ "${lines[i]}" = "$REINSTALL" ]; then failed=1; i=$((i + 1)); fi
    [ $i -eq $n ] || { echo "unexpected line: ${lines[i]}"; return; }
    [ "$status" -eq "$failed" ] || echo "status $status after the last line ${lines[n - 1]}"
}

# Every target holds the new content, or its staged copy is still there and intact.
staged_copies_problem() {
    local app=$1 p
    for p in p1 p2 p3; do
        [ "$(cat "$app/$p" 2>/dev/null)" = "new $p" ] && continue
        [ "$(cat "$app/$p.rep" 2>/dev/null)" = "new $p" ] && continue
        echo "$p holds neither the new content nor an intact staged copy"
    done
}

case_every_single_fault_is_reported_and_recovered() {
    local injection syscall fault n calls app=$work/app total=0 console
    for injection in openat:error=EIO openat:error=EMFILE fstat:error=EIO newfstatat:error=EIO \
        statx:error=EIO read:error=EIO write:error=ENOSPC write:retval=1 fsync:error=EIO \
        close:error=EIO unlink:error=EACCES unlinkat:error=EACCES; do
        syscall=${injection%%:*}
        fault=${injection#*:}
        # The calls a clean run makes, with the files their descriptors refer to.
        rm -rf "$app" && cp -a "$template" "$app"
        (cd / && "${STRACE[@]}" -f -qq -y -o "$work/trace" -e trace="$syscall",clock_nanosleep,nanosleep \
            -e inject=clock_nanosleep,nanosleep:retval=0 "$app/updater" >/dev/null </dev/null)
        mapfile -t calls < <(main_thread_calls "$syscall" "$work/trace")
        local skipped=0
        for ((n = 1; n <= ${#calls[@]}; n++)); do
            console=0
            [[ $syscall == write && ${calls[n - 1]} == *"write(1<"* ]] && console=1
            # Only the program's own calls: on its files (unlink names them relatively) or its
            # console, not those of the dynamic loader or a sanitizer runtime.
            # Descriptors on the executable itself are the loader's too: natively the kernel maps
            # it, under qemu-user the emulator opens and reads it; the program never does.
            if [[ $console -eq 0 && $syscall != unlink* && ${calls[n - 1]} != *"$app"* ]] ||
                [[ ${calls[n - 1]} == *"<$app/updater>"* ]]; then
                skipped=$((skipped + 1))
                continue
            fi
            # A short count on the console only loses part of a line; it says nothing new.
            [ "$fault" = retval=1 ] && [ $console -eq 1 ] && continue
            total=$((total + 1))
            rm -rf "$app" && cp -a "$template" "$app"
            run_updater "$app" -e inject="$syscall:$fault:when=$n"
            local what="$syscall $fault at call $n (${calls[n - 1]:0:70})"
            if [ $console -eq 0 ]; then
                local problem
                problem=$(output_problem)
                [ -z "$problem" ] || fail "output after $what: $problem"$'\n'"$out"
            fi
            local lost
            lost=$(staged_copies_problem "$app")
            [ -z "$lost" ] || fail "after $what: $lost"
            run_updater "$app"
            assert_eq "$expected" "$(snapshot "$app")" "state after a rerun following $what"
        done
        echo "     $injection: ${#calls[@]} call(s), $skipped of them not the program's own"
    done
    echo "     $total fault cases tried"
    [ "$total" -gt 50 ] || fail "only $total fault cases were tried"
}

run_cases
