#!/bin/bash
# updater copy throughput and peak memory against a bare read/write+fsync loop that deletes its
# staged copy too, and cp+sync.
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
echo "| size | ours MB/s | bare loop+delete MB/s | cp+sync MB/s | ours / bare time | ours / cp+sync time | ours peak RSS |"
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

        # Like the updater: over an existing target, from a staged copy that it then deletes.
        echo old >"$work/bare" && cp "$work/source" "$work/bare.rep" && sync
        s=$(now); "$build/bench/bare_copy" "$work/bare.rep" "$work/bare"; e=$(now)
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
