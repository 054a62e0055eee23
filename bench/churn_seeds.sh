#!/bin/bash
# The watcher suite's random churn case (bursts read late, exchanges, overflows) for many random
# seeds: prints each failing seed, with its first failure, and how many passed. CI replays one
# seed; this draws new ones. Needs root (the suite's private namespaces).
# Usage: churn_seeds.sh BUILD_DIR SEEDS [OPERATIONS]   (OPERATIONS: per seed, default 300)
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=$(realpath "$1")
seeds=$2
export CHURN_OPS=${3:-300}
passed=0
for ((n = 1; n <= seeds; n++)); do
    seed=$((RANDOM * 32768 + RANDOM))
    out=$(CHURN_SEED=$seed CASES='^case_random_churn' \
        bash "$here/../tests/quillwatch_test.sh" "$build/watcher/quillwatch" 2>&1)
    if grep -q '^ok ' <<<"$out"; then
        passed=$((passed + 1))
    else
        echo "seed $seed failed: $(grep -m 1 '^FAIL' <<<"$out")"
    fi
done
echo "$passed of $seeds seeds passed ($CHURN_OPS operations each)"
