#!/bin/bash
# Completion notices on trees of growing size: the latency from a download's move to its
# `email`, alone on an idle daemon, and how many notices a second a run of moves gets, against
# (QW_BEFORE) an earlier build. Runs in a private mount namespace (root), as the daemon reads
# fixed paths under /tmp.
# Usage: notices.sh BUILD_DIR "DIRECTORIES..." ROUNDS
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
enter_private_namespace "$@"
build=$(realpath "$1")
sizes=$2
rounds=$3
daemons=(ours) binaries=(/mnt/bin/quillwatch) before=()
if [ -n "${QW_BEFORE:-}" ]; then
    before=("$(mktemp -d)/quillwatch-before")
    cp "$QW_BEFORE" "${before[0]}"
    daemons+=(before) binaries+=(/mnt/bin/quillwatch-before)
fi
isolate_tmp_and_dev "$build/watcher/quillwatch" "${before[@]}"
require_private_tmp
quiet_email_and_room_for_watches
# The notice's stub records when it was called.
printf '#!/bin/bash\necho "$EPOCHREALTIME" >>/tmp/noticed\n' >/mnt/stubs/email
share=/tmp/qwbench3/share
moves=100

noticed() { [ -f /tmp/noticed ] && wc -l </tmp/noticed || echo 0; }
idle() {  # asleep, with nothing queued for it, twice 50 ms apart
    grep -q '^State:.*S' /proc/"$1"/status && sleep 0.05 && grep -q '^State:.*S' /proc/"$1"/status
}

echo "### quillwatch: completion notices against tree size"
echo
echo "A download moved from TempDir to IncomingDir on an idle daemon: from the move to \`email\`"
echo "(median (min-max) of $rounds); then $moves downloads moved one after another: notices a second"
echo "from the first move to the last \`email\`."
echo
echo "| directories | daemon | notice latency (ms) | notices a second |"
echo "|---|---|---|---|"
for dirs in $sizes; do
    rm -rf /tmp/qwbench3 && mkdir -p /tmp/qwbench3/Nas_Prog/aMule/.aMule "$share/TempDir" "$share/IncomingDir"
    printf '<name>aMule</name>\n<path>/tmp/qwbench3</path>\n' >/tmp/apkg.xml
    printf 'IncomingDir=%s\n' "$share" >/tmp/qwbench3/Nas_Prog/aMule/.aMule/amule.conf
    for ((i = 0; i < dirs / 100; i++)); do mkdir -p "$share/d$i/"{0..99}; done
    total=$(find "$share" -type d | wc -l)
    for d in "${!daemons[@]}"; do
        rm -f /tmp/noticed "$share"/IncomingDir/*
        for ((i = 0; i < rounds + moves; i++)); do echo data >"$share/TempDir/x$i"; done
        "${binaries[$d]}" >/dev/null 2>&1 &
        pid=$!
        wait_until '[ "$(watches_of $pid)" -ge '"$total"' ]'
        wait_until "idle $pid"
        latency=()
        for ((r = 0; r < rounds; r++)); do
            start=$(now)
            mv "$share/TempDir/x$r" "$share/IncomingDir/"
            wait_until '[ "$(noticed)" -gt '"$r"' ]'
            latency+=("$(elapsed_ms "$start" "$(tail -n 1 /tmp/noticed)")")
            wait_until "idle $pid"
        done
        start=$(now)
        (cd "$share/TempDir" && perl -e 'rename "x$_", "../IncomingDir/x$_" for $ARGV[0] .. $ARGV[1]' \
            "$rounds" $((rounds + moves - 1)))
        wait_until '[ "$(noticed)" -ge '"$((rounds + moves))"' ]' 3600
        rate=$(awk -v n=$moves -v s="$start" -v e="$(tail -n 1 /tmp/noticed)" \
            'BEGIN {printf "%.0f", n / (e - s)}')
        kill $pid; wait $pid 2>/dev/null || true
        echo "| $total | ${daemons[$d]} | $(fmt "$(stats "${latency[@]}")") | $rate |"
    done
done
