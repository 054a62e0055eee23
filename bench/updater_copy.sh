#!/bin/bash
# updater copy throughput and peak memory against a bare read/write+fsync loop that does the
# updater's I/O for a one-file update (the file and the manifest, each synced, staged copies
# deleted, the directory synced), and cp+sync.
# Usage: updater_copy.sh BUILD_DIR RUNS SIZE_MIB...
set -eu
build=$(realpath "$1")
runs=$2
shift 2
here=$(dirname "$0")
. "$here/lib.sh"
work=$(mktemp -d /var/tmp/corvan-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "### updater: copying one file (on $(df -T "$work" | awk 'NR == 2 {print $2}'))"
echo
echo "| size | ours MB/s | bare update I/O MB/s | cp+sync MB/s | ours / bare time | ours / cp+sync time | ours peak RSS |"
echo "|---|---|---|---|---|---|---|"
for mib in "$@"; do
    head -c $((mib * 1048576)) /dev/urandom >"$work/source"
    app=$work/app
    ours=() bare=() cpsync=() rss=()
    for ((r = 0; r < runs; r++)); do
        rm -rf "$app" && mkdir "$app"
        cp "$build/updater/updater" "$app/"
        echo old >"$app/big"
        cp "$work/source" "$app/big.rep"
        echo '<CorvanManifest><Files><F Path="big"/></Files></CorvanManifest>' >"$app/manifest.xml.rep"
        : >"$app/doupdate"
        sync
        s=$(now)
        LD_PRELOAD=$build/tests/libskip_sleep.so /usr/bin/time -f %M -o "$work/rss" \
            "$app/updater" >/dev/null
        e=$(now)
        ours+=("$(elapsed_ms "$s" "$e")")
        rss+=("$(cat "$work/rss")")
        cmp -s "$work/source" "$app/big" || { echo "updater produced a wrong copy" >&2; exit 1; }

        # The updater's I/O: the staged copy over an existing target, then the manifest, each
        # synced and its staged copy deleted, then the directory synced.
        echo old >"$work/bare" && cp "$work/source" "$work/bare.rep" &&
            cp "$app/manifest.xml" "$work/manifest.rep" && sync
        # Started the way the updater is, under time(1), which measures the updater's RSS.
        s=$(now)
        /usr/bin/time -f %M -o /dev/null "$build/bench/bare_copy" "$work/bare.rep" "$work/bare" \
            "$work/manifest.rep" "$work/manifest"
        e=$(now)
        bare+=("$(elapsed_ms "$s" "$e")")

        rm -f "$work/cp" && sync
        s=$(now); cp "$work/source" "$work/cp" && sync; e=$(now)
        cpsync+=("$(elapsed_ms "$s" "$e")")
    done
    o=$(stats "${ours[@]}") b=$(stats "${bare[@]}") c=$(stats "${cpsync[@]}") m=$(stats "${rss[@]}")
    mbps() { awk -v mib="$mib" -v ms="$1" 'BEGIN {printf "%.0f", mib * 1.048576 / (ms / 1000)}'; }
    echo "| $mib MiB | $(mbps "$(median "$o")") | $(mbps "$(median "$b")") | $(mbps "$(median "$c")") |" \
        "$(ratio "$(median "$o")" "$(median "$b")") | $(ratio "$(median "$o")" "$(median "$c")") |" \
        "$(median "$m" | cut -d. -f1) kB |"
    echo "ms $mib MiB: ours $(fmt "$o"), bare $(fmt "$b"), cp+sync $(fmt "$c")" >>"${BENCH_DETAILS:-/dev/null}"
done
