# Reading a process's inotify watches from /proc, for the suites and the benchmarks.

# Prints the id of the process running $1 (a pattern for pgrep -f) that holds an inotify
# descriptor: a wrapper such as strace or valgrind doesn't, the watcher does.
inotify_holder() {
    local pid
    for pid in $(pgrep -f "$1"); do
        if grep -qs '^inotify' /proc/"$pid"/fdinfo/*; then echo "$pid"; return; fi
    done
}

# Prints the id of the process holding an inotify descriptor that is $1 or a child of it: the
# watcher itself, or the one a wrapper such as strace started. Unlike a pattern, this never finds
# a watcher that another suite runs at the same time.
inotify_holder_of() {
    local pid
    for pid in "$1" $(pgrep -P "$1"); do
        if grep -qs '^inotify' /proc/"$pid"/fdinfo/*; then echo "$pid"; return; fi
    done
}

# Counts the inotify watches held by process $1 (0 when it is gone).
watches_of() {
    if [ -z "$1" ]; then echo 0; return; fi
    cat /proc/"$1"/fdinfo/* 2>/dev/null | grep -c '^inotify wd:'
}
