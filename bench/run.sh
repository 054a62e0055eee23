#!/bin/bash
# Runs every benchmark: updater copy speed and memory, quillwatch start-up, per-event cost, the
# drain of a full queue and burst throughput, each against what a user would use instead. Needs root (the watcher runs in
# a private mount namespace). Writes bench/results.md, bench/startup.png and bench/per_event.png.
#   bench/run.sh          full run (about 20 minutes; 30 with QW_BEFORE)
#   bench/run.sh --tiny   small sizes, one run: proves the scripts still work; writes nothing
# QW_BEFORE=<an earlier build's quillwatch> adds it to the drain, move and burst tables.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
"$root/scripts/install-deps.sh"
build=${BENCH_BUILD:-$root/build}
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

if [ "${1:-}" = --tiny ]; then
    "$here/updater_copy.sh" "$build" 1 1
    echo
    "$here/watcher.sh" "$build" 1 "200" "200" 20 1 200 1000
    echo
    "$here/bursts.sh" "$build" 100
    echo
    "$here/notices.sh" "$build" "1000" 1
    exit 0
fi

. "$here/lib.sh"
{
    echo "# Benchmark results"
    echo
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') with \`bench/run.sh\`. Medians with (min-max)"
    echo "over 5 runs (3 for the drain and the burst); ratios are taken between figures of the same run."
    echo
    machine /var/tmp
    echo
    "$here/updater_copy.sh" "$build" 5 1 64 1024
    echo
    "$here/watcher.sh" "$build" 5 "1000 10000 100000 300000" "1000 10000 100000" 2000 3 16384 \
        "50000 100000"
    echo
    "$here/bursts.sh" "$build" 1
    echo
    "$here/watch_table.sh" "$build" 100000 3
    echo
    "$here/notices.sh" "$build" "1000 10000 101000" 5
    echo
    echo "![start-up time and memory against tree size](startup.png)"
    echo
    echo "![per-event cost against tree size](per_event.png)"
} | tee "$here/results.md.new"
mv "$here/results.md.new" "$here/results.md"

# The per-event table's medians: files, then bare chmod and ours on a fresh and an open tree.
plot_data=$(sed -n '/cost of one event/,/full queue/p' "$here/results.md" | awk -F'|' '$2 ~ /^ *[0-9]+ *$/ {
    split($4, b, " "); split($5, o, " "); v[$2] = v[$2] " " b[1] " " o[1]; if (!($2 in seen)) order[++n] = $2; seen[$2] = 1}
    END {for (i = 1; i <= n; i++) print order[i] v[order[i]]}')
gnuplot <<PLOT
set terminal pngcairo size 800,500
set output "$here/per_event.png"
set title "Cost of one event against tree size"
set xlabel "files in the watched tree"
set ylabel "ms from file creation to the end of the reset"
set logscale xy
set key top left
set grid
\$data << EOD
$plot_data
EOD
plot \$data using 1:2 with linespoints title "bare chmod 777 -R, fresh tree", \
     \$data using 1:3 with linespoints title "quillwatch, fresh tree", \
     \$data using 1:4 with linespoints title "bare chmod 777 -R, open tree", \
     \$data using 1:5 with linespoints title "quillwatch, open tree"
PLOT
# The start-up table's medians: directories, ours and inotifywait's ready time, then RSS.
startup_data=$(sed -n '/start-up against/,/cost of one event/p' "$here/results.md" | awk -F'|' '$2 ~ /^ *[0-9]+ *$/ {
    split($3, o, " "); split($4, t, " "); split($6, orss, " "); split($7, trss, " ")
    print $2, o[1], t[1], orss[1] / 1024, trss[1] / 1024}')
gnuplot <<PLOT
set terminal pngcairo size 1000,450
set output "$here/startup.png"
set multiplot layout 1,2 title "Start-up against tree size (log-log)"
set logscale xy
set grid
set key top left
set xlabel "directories in the watched tree"
\$data << EOD
$startup_data
EOD
set ylabel "ms until ready"
plot \$data using 1:2 with linespoints title "quillwatch", \
     \$data using 1:3 with linespoints title "inotifywait -m -r"
set ylabel "RSS when ready (MiB)"
plot \$data using 1:4 with linespoints title "quillwatch", \
     \$data using 1:5 with linespoints title "inotifywait -m -r"
unset multiplot
PLOT
echo "wrote $here/results.md, $here/startup.png and $here/per_event.png"
