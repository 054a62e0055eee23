# Helpers shared by the benchmark scripts.

# Runs the calling script again, with its arguments "$@", in a private mount namespace of its
# own; ends it as skipped when not root.
enter_private_namespace() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIPPED: needs root (private mount namespace)"
        exit 77
    fi
    . "$(dirname "${BASH_SOURCE[0]}")/../tests/namespace.sh"
    run_in_private_namespace "$@"
}

# Puts a silent `email` first on PATH and allows a million inotify watches for this run only
# (the machine's limit comes back at exit).
quiet_email_and_room_for_watches() {
    export PATH=/mnt/stubs:$PATH
    printf '#!/bin/sh\n' >/mnt/stubs/email && chmod +x /mnt/stubs/email
    saved_watches=$(cat /proc/sys/fs/inotify/max_user_watches)
    echo 1048576 >/proc/sys/fs/inotify/max_user_watches
    trap 'echo "$saved_watches" >/proc/sys/fs/inotify/max_user_watches' EXIT
}

# Prints "median min max" of the numbers given.
stats() {
    printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.2f %.2f %.2f\n", m, v[1], v[NR]}'
}

# Formats "median min max" as "median (min-max)".
fmt() { awk '{printf "%s (%s-%s)", $1, $2, $3}' <<<"$1"; }

median() { cut -d' ' -f1 <<<"$1"; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0) ? a / b : 0}'; }

now() { echo "$EPOCHREALTIME"; }
elapsed_ms() { awk -v s="$1" -v e="$2" 'BEGIN {printf "%.2f", (e - s) * 1000}'; }

machine() {
    echo "- CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
    echo "- Kernel: $(uname -sr)"
    echo "- File system of the working directory: $(df -T "${1:-.}" | awk 'NR == 2 {print $2}')"
}

. "$(dirname "${BASH_SOURCE[0]}")/../tests/inotify_watches.sh"

rss_kb() { awk '/^VmRSS/ {print $2}' /proc/"$1"/status; }

# Waits (up to $2 seconds, default 600) until "$1" evaluates true.
wait_until() {
    local limit=$((${2:-600} * 100)) i
    for ((i = 0; i < limit; i++)); do
        eval "$1" && return 0
        sleep 0.01
    done
    echo "timed out waiting for: $1" >&2
    return 1
}
