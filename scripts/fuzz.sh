#!/bin/sh
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each for the given number
# of seconds (default 60), starting from the seed corpus in fuzz/corpus/. New inputs found go to
# build-fuzz/corpus/<target>/; any crash, leak or failed check fails the run.
set -eu
seconds=${1:-60}
cd "$(dirname "$0")/.."
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DFUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target manifest_fuzzer registry_fuzzer config_fuzzer \
    watch_list_fuzzer
for target in manifest registry config watch_list; do
    mkdir -p "build-fuzz/corpus/$target"
    log=build-fuzz/$target.log
    if ! "build-fuzz/fuzz/${target}_fuzzer" -max_total_time="$seconds" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="build-fuzz/${target}-" \
        "build-fuzz/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "${target}_fuzzer failed; the input is in build-fuzz/${target}-*" >&2
        exit 1
    fi
    echo "${target}_fuzzer: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log")"
done
