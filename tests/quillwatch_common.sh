# Shared set-up for quillwatch's black-box suites. The daemon reads fixed absolute paths, so each
# suite re-runs itself in a private mount namespace with fresh tmpfs over /tmp and /dev, and puts
# a recording stub `email` first on PATH. Expects $QW (the built binary) and "$@" (the suite's
# arguments) to be set before it is sourced.

[ "$(id -u)" -eq 0 ] || skip "needs root: the daemon runs in a private mount namespace (unshare -m)"
command -v unshare >/dev/null || skip "unshare (util-linux) is not installed"

# Everything read from the checkout is read before /tmp is replaced: it may lie below /tmp.
. "$(dirname "$0")/namespace.sh" || exit 1
. "$(dirname "$0")/inotify_watches.sh" || exit 1
run_in_private_namespace "$@"
qw_map=()  # a static build's link map, beside the binary
[ -e "$QW.map" ] && qw_map=("$QW.map")
# A user namespace of the suite's own, mapping every id to itself, in which a case can run the
# daemon under limits of its own (such as fewer inotify watches). Made before the root is
# mounted again below, after which no process here can make one; it ends with the suite.
exec {userns_keeper}> >(exec unshare -U bash -c 'read -r _')
userns_pid=$!
for _ in $(seq 100); do
    [ "$(readlink /proc/$userns_pid/ns/user)" != "$(readlink /proc/self/ns/user)" ] && break
    sleep 0.02
done
echo '0 0 65536' >/proc/$userns_pid/uid_map && echo '0 0 65536' >/proc/$userns_pid/gid_map || exit 1
# The daemon opens whatever it is pointed at to everyone: a case that points it at the system
# must find the system read-only.
read_only_root || exit 1
isolate_tmp_and_dev "$QW" ${QW_SHIM:+"$QW_SHIM"} "$(dirname "$0")/lsan.supp" \
    "$(dirname "$0")/valgrind.supp" "${qw_map[@]}" || exit 1
require_private_tmp
# The daemon makes /dev/inotify when it is missing (one case checks that); every other case starts
# with the node there, as on the appliance, whichever cases ran before it.
[ -e /dev/inotify ] || mknod /dev/inotify c 10 63
export LSAN_OPTIONS=suppressions=/mnt/bin/lsan.supp:print_suppressions=0
# A sanitizer build holds freed memory in quarantine: its RSS says nothing about leaks, which
# LeakSanitizer checks at every exit instead.
QW=/mnt/bin/quillwatch
QW_MAP=$QW.map
sanitized=0
ldd "$QW" 2>/dev/null | grep -q libasan && sanitized=1

# The appliance's mail command: records each call's arguments, NUL-separated, one file a call.
# Beside each call, /tmp/email-fds/<n> lists the descriptors it inherited, and
# /tmp/email-modes/<n> the modes of the item in IncomingDir/ and all below it as the call found
# them (each mode once: "777" when all were open to all). It fails
# for items named "fails-3*" (status 3) and "killed*" (SIGKILL), and holds the daemon for items
# named "hold*" until /tmp/email-hold is gone.
cat >/mnt/stubs/email <<'STUB'
#!/bin/bash
mkdir -p /tmp/email /tmp/email-fds /tmp/email-modes
n=$(($(ls /tmp/email | wc -l) + 1))
ls -l /proc/$$/fd/ >"/tmp/email-fds/$n"
find "$QW_INCOMING/$4" -printf '%m\n' 2>/dev/null | sort -u | xargs >"/tmp/email-modes/$n"
printf '%s\0' "$@" >"/tmp/email/$n"
case $4 in
fails-3*) exit 3 ;;
killed*) kill -KILL $$ ;;
hold*) while [ -e /tmp/email-hold ]; do sleep 0.02; done ;;
esac
STUB
chmod +x /mnt/stubs/email
export PATH=/mnt/stubs:$PATH

INSTALL=/tmp/qwtest01
CONF=$INSTALL/Nas_Prog/aMule/.aMule/amule.conf
SHARE=$INSTALL/share/
export QW_INCOMING=${SHARE}IncomingDir  # for the email stub
RESET="[chmod 777 -R $SHARE]"
VERSION="--->Version: v1.00.20090923"
FOLDER_GONE="ERROR: the watched directory is not exist! Stop inotify Daemon."
NO_CASE="SYSTEM: Event NO case matched !!"

# Lays out the registry, aMule's configuration with `folder` ($1, default $SHARE without its
# "/") as IncomingDir, and that folder with empty TempDir/ and IncomingDir/ below it. Clears
# any earlier layout, the recorded mails and the daemon's logs.
lay_out() {
    local folder=${1:-${SHARE%/}}
    require_private_tmp
    find /tmp -mindepth 1 -maxdepth 1 ! -name .private-namespace -exec rm -rf {} +
    mkdir -p /tmp/outside
    printf '<?xml version="1.0"?>\n<apkg>\n<item>\n<name>aMule</name>\n<path>%s</path>\n</item>\n</apkg>\n' \
        "$INSTALL" >/tmp/apkg.xml
    mkdir -p "${CONF%/*}" "$folder/TempDir" "$folder/IncomingDir"
    printf 'TempDir=%s/TempDir\nIncomingDir=%s\n' "$folder" "$folder" >"$CONF"
    mkdir -p /tmp/email
}

# Starts the daemon (with any command put before it, such as strace) in the background.
start_daemon() {
    (cd / && exec "$@" "$QW" >/tmp/qw.out 2>/tmp/qw.err </dev/null) &
    qw_pid=$!
}

# Runs the daemon in the foreground until it ends; sets $status.
run_daemon() {
    (cd / && exec "$@" "$QW" >/tmp/qw.out 2>/tmp/qw.err </dev/null)
    status=$?
}

daemon_pid() { inotify_holder_of "$qw_pid"; }
watch_count() { watches_of "$(daemon_pid)"; }

# Waits until the condition "$@" holds: up to $wait_seconds (default 20) seconds.
wait_for() {
    local i
    for i in $(seq $((${wait_seconds:-20} * 20))); do
        "$@" && return 0
        sleep 0.05
    done
    fail "timed out waiting for: $*"
    return 1
}

# Waits until the daemon holds at least $1 watches and has flushed its start-up lines, which it
# does once every start-up watch is set, right before it reads the first event.
wait_until_ready() {
    wait_for watches_at_least "$1" && wait_for grep -q '^amule monitor folder: ' /tmp/qw.out
}

watches_at_least() { [ "$(watch_count)" -ge "$1" ]; }
watches_exactly() { [ "$(watch_count)" -eq "$1" ]; }
# Waits until the daemon holds exactly $1 watches; on a timeout says how many it holds.
wait_for_watches() {
    wait_for watches_exactly "$1" || echo "     watches held: $(watch_count) of $1"
}
lines_at_least() { [ "$(wc -l </tmp/qw.out)" -ge "$1" ]; }
output_has() { grep -Fxq -- "$1" /tmp/qw.out; }

# Appends the expected resets to the expected output in $expect.
expect() { expect+="$*"$'\n'; }

# Deletes the monitored folder, waits for the daemon to end and checks its last line and status.
stop_daemon() {
    rm -rf "${1:-$SHARE}"
    # The events before the folder's own deletion come first, however many there are.
    wait_seconds=${wait_seconds:-120} wait_for eval '! kill -0 "$qw_pid" 2>/dev/null' ||
        kill "$qw_pid"
    wait "$qw_pid"
    local code=$?
    assert_eq 0 "$code" "status after the monitored folder was deleted"
    assert_eq "$FOLDER_GONE" "$(tail -n 1 /tmp/qw.out)" "last line"
}

# Checks that the recorded mail $1 holds exactly the arguments $2...
assert_mail() {
    local file=/tmp/email/$1
    shift
    if [ ! -f "$file" ]; then fail "no mail $file"; return; fi
    if ! printf '%s\0' "$@" | cmp -s - "$file"; then
        fail "mail $file: expected [$*], got [$(tr '\0' ' ' <"$file")]"
    fi
}

# Checks that the daemon watches exactly the directories of the tree: the inodes of its watches
# against those of the directories. $1 says when, for the failure message.
assert_watches_whole_tree() {
    local held ino tree
    held=$(for ino in $(grep -ho '^inotify wd:.* ino:[0-9a-f]*' /proc/"$(daemon_pid)"/fdinfo/* |
        sed 's/.*ino://'); do printf '%d\n' "0x$ino"; done | sort -n)
    tree=$(find "$SHARE" -type d -printf '%i\n' | sort -n)
    [ "$held" = "$tree" ] || fail "watched inodes differ from the tree's directories ($1):
$(diff <(echo "$tree") <(echo "$held") | grep '^[<>]' | head -n 5 | while read -r side ino; do
        echo "$side $ino $(find "$SHARE" -inum "$ino")"; done)"
}

# True when the daemon watches directory $1.
watched() {
    grep -qs "^inotify wd:.* ino:$(printf %x "$(stat -c %i "$1")") " /proc/"$(daemon_pid)"/fdinfo/*
}

# Fills the daemon's event queue past its limit (the daemon stopped meanwhile): renames a file
# "q" in the folder back and forth. The queue then ends with IN_Q_OVERFLOW.
overflow_queue() {
    touch "${SHARE}q"
    (cd "$SHARE" && perl -e 'for (0 .. $ARGV[0] / 4) { rename "q", "r"; rename "r", "q" }' \
        "$(cat /proc/sys/fs/inotify/max_queued_events)")
}

# Exchanges directories $1 and $2 in one call (renameat2 with RENAME_EXCHANGE).
exchange() {
    local renameat2
    case $(uname -m) in x86_64) renameat2=316 ;; aarch64) renameat2=276 ;; *) renameat2=382 ;; esac
    perl -e 'syscall($ARGV[0], -100, $ARGV[1], -100, $ARGV[2], 2) == 0 or die "$!"' \
        "$renameat2" "$1" "$2" || fail "no exchange of $1 and $2"
}

# Makes directory barrier$1 at the top of the tree and waits until the daemon has watched it
# and then gone idle (no command running, asleep): every event before it has been handled.
barrier() {
    mkdir "$SHARE/barrier$1"
    barrier_ino=$(printf %x "$(stat -c %i "$SHARE/barrier$1")")
    wait_for idle_after_barrier
}
idle_after_barrier() {
    local pid
    pid=$(daemon_pid)
    grep -qs "^inotify wd:.* ino:$barrier_ino " /proc/"$pid"/fdinfo/* &&
        [ -z "$(pgrep -P "$pid")" ] && grep -q '^State:.*S' /proc/"$pid"/status
}
