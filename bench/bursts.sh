#!/bin/bash
# quillwatch's work for what users do to the share, against GNU chmod walks of the same tree and
# (QW_BEFORE) an earlier build: a copy of many files at once, create/delete pairs, a full queue,
# directory moves on a large tree, a notice during a burst, and a deep chain of directories.
# Runs in a private mount namespace (root), as the daemon reads fixed paths under /tmp.
# Usage: bursts.sh BUILD_DIR SCALE    (SCALE 1: the sizes of results.md; 100: a tiny run)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
enter_private_namespace "$@"
build=$(realpath "$1")
scale=$2
daemons=(ours)
binaries=(/mnt/bin/quillwatch)
before=()
if [ -n "${QW_BEFORE:-}" ]; then
    before=("$(mktemp -d)/quillwatch-before")
    cp "$QW_BEFORE" "${before[0]}"
    daemons+=(before)
    binaries+=(/mnt/bin/quillwatch-before)
fi
isolate_tmp_and_dev "$build/watcher/quillwatch" "${before[@]}"
require_private_tmp
share=/tmp/qwbench1/share
export PATH=/mnt/stubs:$PATH
# The notice's stub records when it was called.
printf '#!/bin/bash\necho "$EPOCHREALTIME" >/tmp/noticed\n' >/mnt/stubs/email && chmod +x /mnt/stubs/email
saved_watches=$(cat /proc/sys/fs/inotify/max_user_watches)
saved_queue=$(cat /proc/sys/fs/inotify/max_queued_events)
echo 1048576 >/proc/sys/fs/inotify/max_user_watches
echo 16384 >/proc/sys/fs/inotify/max_queued_events
trap 'echo "$saved_watches" >/proc/sys/fs/inotify/max_user_watches
      echo "$saved_queue" >/proc/sys/fs/inotify/max_queued_events' EXIT

fresh_share() {
    rm -rf /tmp/qwbench1 /tmp/apkg.xml /tmp/noticed
    mkdir -p /tmp/qwbench1/Nas_Prog/aMule/.aMule "$share/TempDir" "$share/IncomingDir"
    printf '<name>aMule</name>\n<path>/tmp/qwbench1</path>\n' >/tmp/apkg.xml
    printf 'IncomingDir=%s\n' "$share" >/tmp/qwbench1/Nas_Prog/aMule/.aMule/amule.conf
}
# $1 files, spread over 100 directories.
make_files() {
    local i
    mkdir -p "$share/f"{0..99}
    for ((i = 0; i < 100; i++)); do (cd "$share/f$i" && eval "touch x{1..$(($1 / 100))}"); done
}
cpu_ms() {  # user + system time of process $1
    awk -v hz="$(getconf CLK_TCK)" '{printf "%.0f", ($14 + $15) * 1000 / hz}' /proc/"$1"/stat
}
# The daemon is idle: asleep, with nothing queued for it, twice 20 ms apart.
idle() {
    grep -q '^State:.*S' /proc/"$1"/status && sleep 0.02 && grep -q '^State:.*S' /proc/"$1"/status
}
start() {  # daemon $1; sets pid once its $2 watches are set
    "$1" >/tmp/qw.out 2>/dev/null &
    pid=$!
    wait_until '[ "$(watches_of $pid)" -ge '"$2"' ] && grep -q "^amule monitor" /tmp/qw.out'
}
stop() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }
# One bare chmod walk of the share, in ms.
walk_ms() {
    local s e
    s=$EPOCHREALTIME; chmod 777 -R "$share"; e=$EPOCHREALTIME
    elapsed_ms "$s" "$e"
}
row() { echo "| $* |"; }

echo "### quillwatch: the work of a burst"
echo
echo "One walk is GNU \`chmod 777 -R\` of the final tree. CPU is the daemon's user and system time"
echo "for the whole burst; drained is the time from the burst's end until the daemon is idle again."
echo
echo "| burst | tree | daemon | events | CPU (ms) | in walks | drained (ms) |"
echo "|---|---|---|---|---|---|---|"
# Runs the burst "$@" against the running daemon $pid, waits until it has printed at least $lines
# reset lines and is idle, stops it and prints a row of the table for $what, $tree and $label.
burst_row() {
    local c s e cpu walk
    c=$(cpu_ms $pid)
    "$@"
    s=$EPOCHREALTIME
    wait_until "[ \$(grep -c '^\[chmod' /tmp/qw.out) -ge $lines ] && idle $pid" 3600
    e=$EPOCHREALTIME
    cpu=$(($(cpu_ms $pid) - c))
    stop $pid
    walk=$(walk_ms)
    row "$what | $tree | $label | $(grep -c '^\[chmod' /tmp/qw.out) | $cpu | $(ratio "$cpu" "$walk") | $(elapsed_ms "$s" "$e")"
}
copy() { cp -r /tmp/src "$share/copy"; }
pairs() { for ((p = 0; p < 100; p++)); do touch "$share/p"; rm "$share/p"; done; }
fill_queue() {
    (cd "$share" && perl -e 'for (1 .. $ARGV[0] / 4) { rename "a", "b"; rename "b", "a" }' "$queue")
    kill -CONT $pid
}
for i in "${!daemons[@]}"; do
    qw=${binaries[$i]} label=${daemons[$i]}
    # A copy of many empty files into the tree at once: the files copied before the new
    # directory's watch raise no event of their own.
    fresh_share
    make_files $((10000 / scale))
    mkdir -p /tmp/src && (cd /tmp/src && eval "touch c{1..$((1000 / scale))}")
    start "$qw" 103
    what="copy of $((1000 / scale)) files" tree="$((10000 / scale)) files" lines=1 burst_row copy

    # Create/delete pairs, one after the other, by one user.
    fresh_share
    make_files $((50000 / scale))
    start "$qw" 103
    what="100 create/delete pairs" tree="$((50000 / scale)) files" lines=200 burst_row pairs

    # A full queue: the daemon stopped while renames of one file fill it.
    queue=$((16384 / scale / 4 * 4))
    fresh_share
    make_files $((1000 / scale))
    touch "$share/a"
    start "$qw" 103
    kill -STOP $pid
    what="full queue" tree="$((1000 / scale)) files" lines=$queue burst_row fill_queue
done
echo

echo "### quillwatch: directory moves, and a notice during a burst"
echo
echo "| case | tree | daemon | result |"
echo "|---|---|---|---|"
for i in "${!daemons[@]}"; do
    qw=${binaries[$i]} label=${daemons[$i]}
    # Directory moves: the daemon stopped while leaf directories are renamed, then the time until
    # it is idle again.
    dirs=$((100000 / scale))
    moved=$((dirs / 100 < 20 ? dirs / 100 : 20))
    fresh_share
    for ((d = 0; d < dirs / 100; d++)); do mkdir -p "$share/d$d/"{0..99}; done
    start "$qw" $((dirs / 100 * 101 + 3))
    kill -STOP $pid
    for ((m = 0; m < moved; m++)); do mv "$share/d$m/0" "$share/d$m/0-moved"; done
    s=$EPOCHREALTIME
    kill -CONT $pid
    wait_until "idle $pid && [ \$(grep -c '^\[chmod' /tmp/qw.out) -ge $((2 * moved)) ]" 3600
    e=$EPOCHREALTIME
    stop $pid
    row "directory moves | $((dirs / 100 * 101 + 3)) directories | $label | $(awk -v ms="$(elapsed_ms "$s" "$e")" -v n=$moved 'BEGIN {printf "%.1f moves/s", n / (ms / 1000)}')"

    # A download completed in the middle of a burst of creations: from its move to the notice,
    # against one walk of the final tree.
    files=$((10000 / scale)) burst=$((10000 / scale))
    fresh_share
    make_files "$files"
    touch "$share/TempDir/movie.avi"
    start "$qw" 103
    (cd "$share/f0" && eval "touch b{1..$((burst / 2))}")
    s=$EPOCHREALTIME
    mv "$share/TempDir/movie.avi" "$share/IncomingDir/"
    (cd "$share/f1" && eval "touch b{1..$((burst / 2))}")
    wait_until '[ -s /tmp/noticed ]' 3600
    noticed=$(cat /tmp/noticed)
    wait_until "idle $pid" 3600
    stop $pid
    walk=$(walk_ms)
    row "notice amid $burst creations | $files files | $label | $(elapsed_ms "$s" "$noticed") ms after the move (one walk: $walk ms)"
done
echo

echo "### quillwatch: a chain of directories, one letter a level"
echo
echo "| levels | daemon | one event (ms) | bare chmod 777 -R (ms) | ours / bare | peak RSS |"
echo "|---|---|---|---|---|---|"
levels=$((20000 / scale))
for i in "${!daemons[@]}"; do
    qw=${binaries[$i]} label=${daemons[$i]}
    fresh_share
    (cd "$share" && perl -e 'for (1 .. $ARGV[0]) { mkdir "d"; chdir "d" }' "$levels")
    start "$qw" 3
    times=()
    for r in 1 2 3; do
        (cd "$share" && perl -e 'for (1 .. $ARGV[0]) { chdir "d" } chmod 0700, "."' "$levels")
        lines=$(grep -c '^\[chmod' /tmp/qw.out || true)
        s=$EPOCHREALTIME
        touch "$share/e$r"
        wait_until "[ \$(grep -c '^\[chmod' /tmp/qw.out) -gt $lines ] && idle $pid" 3600
        e=$EPOCHREALTIME
        times+=("$(elapsed_ms "$s" "$e")")
    done
    peak=$(awk '/^VmHWM/ {print $2}' /proc/$pid/status)
    stop $pid
    bare=()
    for r in 1 2 3; do bare+=("$(walk_ms)"); done
    o=$(stats "${times[@]}") b=$(stats "${bare[@]}")
    row "$levels | $label | $(fmt "$o") | $(fmt "$b") | $(ratio "$(median "$o")" "$(median "$b")") | $peak kB"
done
