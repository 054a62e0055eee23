#!/bin/bash
# The watch table's cost on a large tree: start-up CPU time and memory against inotifywait -m -r
# and the floor (a bare inotify_add_watch on every directory), the memory after a recovery from
# lost events, and what a directory move and a name made again cost the daemon in CPU time.
# Runs in a private mount namespace (root), as the daemon reads fixed paths under /tmp.
# Usage: watch_table.sh BUILD_DIR DIRECTORIES ROUNDS
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
enter_private_namespace "$@"
build=$(realpath "$1")
isolate_tmp_and_dev "$build/watcher/quillwatch" "$build/bench/watch_floor"
require_private_tmp
dirs=$2
rounds=$3
QW=/mnt/bin/quillwatch
share=/tmp/qwbench2/share
quiet_email_and_room_for_watches

mkdir -p /tmp/qwbench2/Nas_Prog/aMule/.aMule "$share"
printf '<name>aMule</name>\n<path>/tmp/qwbench2</path>\n' >/tmp/apkg.xml
printf 'IncomingDir=%s\n' "$share" >/tmp/qwbench2/Nas_Prog/aMule/.aMule/amule.conf
for ((i = 0; i < dirs / 100; i++)); do mkdir -p "$share/d$i/"{0..99}; done
total=$(find "$share" -type d | wc -l)

cpu_ms() { awk '{printf "%.0f", ($14 + $15) * 1000 / '"$(getconf CLK_TCK)"'}' /proc/"$1"/stat; }

# Starts "$@" and waits until its output matches $1; leaves it running as $pid.
start_until() {
    local pattern=$1
    shift
    : >/tmp/bench.out
    "$@" >/tmp/bench.out 2>&1 &
    pid=$!
    until grep -q "$pattern" /tmp/bench.out; do sleep 0.005; done
}

# Waits until process $1 has used no CPU for half a second.
settle() {
    local before after
    after=$(cpu_ms "$1")
    until before=$after && sleep 0.5 && after=$(cpu_ms "$1") && [ "$before" = "$after" ]; do :; done
}

echo "### The watch table at $total directories"
echo
echo "| | start-up CPU (ms) | RSS ready (kB) | RSS after a recovery (kB) |"
echo "|---|---|---|---|"
for who in quillwatch inotifywait floor; do
    cpu=() rss=() after=()
    for ((r = 0; r < rounds; r++)); do
        sync; echo 3 >/proc/sys/vm/drop_caches 2>/dev/null || true
        case $who in
        quillwatch) start_until '^amule monitor folder' "$QW" ;;
        inotifywait) start_until 'Watches established' inotifywait -m -r "$share" ;;
        floor) start_until '^ready' /mnt/bin/watch_floor "$share" ;;
        esac
        cpu+=("$(cpu_ms $pid)") rss+=("$(rss_kb $pid)")
        if [ $who = quillwatch ]; then
            kill -STOP $pid
            touch "$share/q"
            (cd "$share" && perl -e 'for (0 .. $ARGV[0]) { rename "q", "r"; rename "r", "q" }' \
                "$(cat /proc/sys/fs/inotify/max_queued_events)")
            kill -CONT $pid
            settle $pid
            after+=("$(rss_kb $pid)")
        fi
        kill $pid; wait $pid 2>/dev/null || true
    done
    echo "| $who | $(fmt "$(stats "${cpu[@]}")") | $(fmt "$(stats "${rss[@]}")") |" \
        "${after:+$(fmt "$(stats "${after[@]}")")} |"
done
echo

# A directory of 100 sub-directories moved back and forth, and a name deleted and made again,
# each $moves times while the daemon runs: its CPU time for them.
moves=2000
start_until '^amule monitor folder' "$QW"
settle $pid
c0=$(cpu_ms $pid)
(cd "$share" && perl -e 'for (1 .. $ARGV[0]) { rename "d1", "d1x"; rename "d1x", "d1" }' $((moves / 2)))
settle $pid
c1=$(cpu_ms $pid)
(cd "$share" && perl -e 'for (1 .. $ARGV[0]) { mkdir "again"; rmdir "again" }' $moves)
settle $pid
c2=$(cpu_ms $pid)
kill $pid; wait $pid 2>/dev/null || true
echo "| at $total directories | per second of the daemon's CPU |"
echo "|---|---|"
echo "| directory moves (100 sub-directories each) | $(awk -v n=$moves -v ms=$((c1 - c0)) 'BEGIN {printf "%.0f", n / (ms > 0 ? ms : 1) * 1000}') |"
echo "| names made again (mkdir, rmdir) | $(awk -v n=$moves -v ms=$((c2 - c1)) 'BEGIN {printf "%.0f", n / (ms > 0 ? ms : 1) * 1000}') |"
