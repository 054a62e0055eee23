#!/bin/bash
# quillwatch against inotifywait: start-up on large trees, the cost of one event against tree
# size, and burst throughput. Runs in a private mount namespace (root), as the daemon reads
# fixed paths under /tmp.
# Usage: watcher.sh BUILD_DIR RUNS "STARTUP_DIRS..." "EVENT_FILES..." BURST_COUNT [BURST_RUNS
#        [DRAIN_EVENTS ["RECOVERY_DIRS..."]]]
#        (QW_BEFORE=<an earlier quillwatch> adds it to the drain and directory-move tables)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
# Everything read from the checkout is read before /tmp is replaced: it may lie below /tmp.
. "$here/lib.sh"
enter_private_namespace "$@"
build=$(realpath "$1")
before=()
if [ -n "${QW_BEFORE:-}" ]; then
    before=("$(mktemp -d)/quillwatch-before")
    cp "$QW_BEFORE" "${before[0]}"
fi
isolate_tmp_and_dev "$build/watcher/quillwatch" "$build/bench/reset_latency" \
    "$build/bench/watch_recovery" "${before[@]}"
require_private_tmp
runs=$2
startup_sizes=$3
event_sizes=$4
burst=$5
burst_runs=${6:-$runs}
QW=/mnt/bin/quillwatch
share=/tmp/qwbench1/share
quiet_email_and_room_for_watches

fresh_share() {
    rm -rf /tmp/qwbench1 /tmp/apkg.xml
    mkdir -p /tmp/qwbench1/Nas_Prog/aMule/.aMule "$share"
    printf '<name>aMule</name>\n<path>/tmp/qwbench1</path>\n' >/tmp/apkg.xml
    printf 'IncomingDir=%s\n' "$share" >/tmp/qwbench1/Nas_Prog/aMule/.aMule/amule.conf
}

# Directories: groups of 100 sub-directories.
make_dirs() {
    local n=$1 i
    for ((i = 0; i < n / 100; i++)); do mkdir -p "$share/d$i/"{0..99}; done
}

# Files: spread over 100 directories.
make_files() {
    local n=$1 i
    mkdir -p "$share/f"{0..99}
    for ((i = 0; i < 100; i++)); do
        (cd "$share/f$i" && eval "touch x{1..$((n / 100))}")
    done
}

stop() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

# Starts "$@" on cold caches and waits until it says itself that it is ready: a line matching
# $1 in its output, which quillwatch flushes once every start-up watch is set and inotifywait
# prints once its watches are established. Watching one small file costs the same at any tree
# size, unlike counting watches in /proc. Sets $ready_ms, $ready_rss and $ready_watches (the
# watches it then holds), then stops it.
time_to_ready() {
    local pattern=$1 s e pid
    shift
    sync; echo 3 >/proc/sys/vm/drop_caches 2>/dev/null || true
    : >/tmp/ready.out
    s=$(now)
    "$@" >/tmp/ready.out 2>&1 &
    pid=$!
    until grep -q "$pattern" /tmp/ready.out; do sleep 0.002; done
    e=$(now)
    ready_ms=$(elapsed_ms "$s" "$e") ready_rss=$(rss_kb $pid) ready_watches=$(watches_of $pid)
    stop $pid
}

# A fresh tree of 10 files for a burst.
burst_tree() {
    fresh_share
    touch "$share/seed"{1..10}
}

# Creates $burst files at once and prints the ms until "$1" (a command printing how many events
# the running handler has finished) reaches $burst.
burst_ms() {
    local s e
    s=$(now)
    (cd "$share" && eval "touch b{1..$burst}")
    wait_until '[ "$('"$1"')" -ge '"$burst"' ]'
    e=$(now)
    elapsed_ms "$s" "$e"
}

# --- start-up -------------------------------------------------------------------------------
echo "### quillwatch start-up against inotifywait -m -r"
echo
echo "| directories | ours: ready (ms) | inotifywait: ready (ms) | ours / inotifywait | ours RSS | inotifywait RSS |"
echo "|---|---|---|---|---|---|"
for n in $startup_sizes; do
    fresh_share
    make_dirs "$n"
    want=$((n / 100 * 101 + 1))
    ours=() theirs=() ours_rss=() theirs_rss=()
    for ((r = 0; r < runs; r++)); do
        time_to_ready '^amule monitor folder' "$QW"
        [ "$ready_watches" -eq "$want" ] || echo "quillwatch held $ready_watches of $want" >&2
        ours+=("$ready_ms"); ours_rss+=("$ready_rss")
        time_to_ready 'Watches established' inotifywait -m -r "$share"
        theirs+=("$ready_ms"); theirs_rss+=("$ready_rss")
    done
    o=$(stats "${ours[@]}") t=$(stats "${theirs[@]}")
    echo "| $want | $(fmt "$o") | $(fmt "$t") | $(ratio "$(median "$o")" "$(median "$t")") |" \
        "$(median "$(stats "${ours_rss[@]}")" | cut -d. -f1) kB | $(median "$(stats "${theirs_rss[@]}")" | cut -d. -f1) kB |"
done
echo

# --- one event ------------------------------------------------------------------------------
# Latency from creating a file to the end of the reset it causes (the file is 0777 and the daemon
# asleep again), against a bare chmod 777 -R of the same tree timed the same way: on a fresh tree
# (files 0644, directories 0755, as downloads arrive) and on a tree already open (all 0777).
echo "### quillwatch: cost of one event against tree size"
echo
echo "| files | tree | bare chmod 777 -R (ms) | ours (ms) | ours / bare |"
echo "|---|---|---|---|---|"
close_tree() { chmod -R u=rwX,go=rX "$share"; }  # raises no event the daemon watches
for n in $event_sizes; do
    fresh_share
    make_files "$n"
    "$QW" >/dev/null 2>&1 &
    pid=$!
    wait_until '[ "$(watches_of $pid)" -ge 101 ]'
    for tree in fresh open; do
        bare=() ours=()
        for ((r = 0; r < runs; r++)); do
            [ $tree = open ] || close_tree
            s=$EPOCHREALTIME; chmod 777 -R "$share"; e=$EPOCHREALTIME  # no subshell in the timing
            bare+=("$(elapsed_ms "$s" "$e")")
            [ $tree = open ] || close_tree
            ours+=("$(/mnt/bin/reset_latency "$share/f0/probe_${tree}_$r" "$pid")")
        done
        b=$(stats "${bare[@]}") o=$(stats "${ours[@]}")
        echo "| $n | $tree | $(fmt "$b") | $(fmt "$o") | $(ratio "$(median "$o")" "$(median "$b")") |"
    done
    stop $pid
done
echo

# --- a full queue ---------------------------------------------------------------------------
# The daemon stopped while renames of one file fill its queue ($drain events, the default limit
# unless a tiny run asks for fewer), in a tree of 1,000 files; then the time until every event
# has been handled. QW_BEFORE names an earlier build's quillwatch to compare with.
drain=${7:-16384}
saved_queue=$(cat /proc/sys/fs/inotify/max_queued_events)
echo 16384 >/proc/sys/fs/inotify/max_queued_events
trap 'echo "$saved_watches" >/proc/sys/fs/inotify/max_user_watches
      echo "$saved_queue" >/proc/sys/fs/inotify/max_queued_events' EXIT
drain_ms() {
    local s e pid
    fresh_share
    make_files 1000
    touch "$share/a"
    "$1" >/tmp/qw.out 2>/dev/null &
    pid=$!
    wait_until '[ "$(watches_of $pid)" -ge 101 ]'
    kill -STOP $pid
    (cd "$share" && perl -e 'for (1 .. $ARGV[0] / 4) { rename "a", "b"; rename "b", "a" }' "$drain")
    s=$(now)
    kill -CONT $pid
    wait_until '[ "$(grep -c "^\[chmod" /tmp/qw.out)" -ge '"$drain"' ]'
    e=$(now)
    stop $pid
    elapsed_ms "$s" "$e"
}
echo "### quillwatch: draining a full queue of $drain events (renames in a tree of 1,000 files)"
echo
echo "| daemon | drain time (ms) | events/s |"
echo "|---|---|---|"
for label in ours before; do
    binary=$QW
    if [ $label = before ]; then
        [ -n "${QW_BEFORE:-}" ] || continue
        binary=/mnt/bin/quillwatch-before
    fi
    times=()
    for ((r = 0; r < burst_runs; r++)); do times+=("$(drain_ms "$binary")"); done
    t=$(stats "${times[@]}")
    echo "| $label | $(fmt "$t") | $(awk -v n="$drain" -v ms="$(median "$t")" 'BEGIN {printf "%.0f", n / (ms / 1000)}') |"
done
echo

# --- burst ----------------------------------------------------------------------------------
echo "### quillwatch: burst of $burst file creations (tree of 10 files growing to $((burst + 10)))"
echo
echo "| handler | events/s | drain time (ms) |"
echo "|---|---|---|"
ours=() loop=()
for ((r = 0; r < burst_runs; r++)); do
    burst_tree
    "$QW" >/tmp/qw.out 2>/dev/null &
    pid=$!
    wait_until '[ "$(watches_of $pid)" -ge 1 ]'
    ours+=("$(burst_ms 'grep -c "^\[chmod" /tmp/qw.out')")
    stop $pid

    burst_tree
    : >/tmp/loop.out
    inotifywait -m -r -q -e create,moved_to,moved_from,delete "$share" 2>/dev/null |
        while read -r _; do chmod 777 -R "$share"; echo x >>/tmp/loop.out; done &
    wait_until '[ "$(watches_of "$(inotify_holder inotifywait)")" -ge 1 ]'
    loop+=("$(burst_ms 'wc -l </tmp/loop.out')")
    pkill -x inotifywait || true
    wait 2>/dev/null || true
done
o=$(stats "${ours[@]}") l=$(stats "${loop[@]}")
eps() { awk -v n="$burst" -v ms="$(median "$1")" 'BEGIN {printf "%.0f", n / (ms / 1000)}'; }
echo "| quillwatch | $(eps "$o") | $(fmt "$o") |"
echo "| inotifywait shell loop | $(eps "$l") | $(fmt "$l") |"
echo
echo "Burst: quillwatch / shell loop drain time: $(ratio "$(median "$o")" "$(median "$l")")"

# --- lost events ----------------------------------------------------------------------------
# The watch table's recovery after lost events, in a tree of directories with TempDir and
# IncomingDir made last (tmpfs lists the newest first, and a walk reaches the first last): a new
# instance built from scratch against the same instance put right from the kernel's list of
# watches, with a mover completing a download every 100 ms meanwhile (bench/watch_recovery.cpp).
# Then the daemon itself: the time to handle directory moves, each one a reset per half.
recovery_sizes=${8:-}
[ -n "$recovery_sizes" ] || exit 0
echo
echo "### quillwatch: recovery after lost events, and directory moves"
echo
echo "| directories | rebuild (ms) | moves lost during rebuilds | resync (ms) | moves lost during resyncs | one directory move in the table (ms) | one reset (ms) |"
echo "|---|---|---|---|---|---|---|"
moves=()
for n in $recovery_sizes; do
    fresh_share
    make_dirs "$n"
    mkdir "$share/TempDir" "$share/IncomingDir"
    (cd "$share/TempDir" && touch m{0..999})
    read -r _ rebuild_ms rebuild_made rebuild_whole _ resync_ms resync_made resync_whole _ move_ms _ reset_ms \
        < <(/mnt/bin/watch_recovery "$share" "$runs" 2>&1 >/dev/null | paste -sd ' ')
    echo "| $((n / 100 * 101 + 3)) | $rebuild_ms | $((rebuild_made - rebuild_whole)) of $rebuild_made |" \
        "$resync_ms | $((resync_made - resync_whole)) of $resync_made | $move_ms | $reset_ms |"
    # The daemon stopped while 5 leaf directories are renamed: 10 events, each with its reset.
    k=2
    for label in ours before; do
        binary=$QW
        if [ $label = before ]; then
            [ -n "${QW_BEFORE:-}" ] || continue
            binary=/mnt/bin/quillwatch-before
        fi
        "$binary" >/tmp/qw.out 2>/dev/null &
        pid=$!
        wait_until '[ "$(watches_of $pid)" -ge '"$((n / 100 * 101 + 3))"' ]'
        kill -STOP $pid
        for i in 1 2 3 4 5; do mv "$share/d$k/$i" "$share/d$k/$i-moved"; done
        k=$((k + 1))
        s=$(now)
        kill -CONT $pid
        wait_until '[ "$(grep -c "^\[chmod" /tmp/qw.out)" -ge 10 ]'
        e=$(now)
        stop $pid
        moves+=("| $((n / 100 * 101 + 3)) | $label | $(awk -v ms="$(elapsed_ms "$s" "$e")" 'BEGIN {printf "%.2f", 5 / (ms / 1000)}') |")
    done
done
echo
echo "| directories | daemon | directory moves/s |"
echo "|---|---|---|"
printf '%s\n' "${moves[@]}"
