#!/bin/bash
# The init script for systems without systemd, driven with a stub daemon under Debian's
# start-stop-daemon and under BusyBox's, in a private mount namespace (its pid file and log
# lie in /run and /var/log).
# Usage: init_script_test.sh TEMPLATE
template=$(realpath "$1")
. "$(dirname "$0")/lib.sh"
[ "$(id -u)" -eq 0 ] || skip "needs root: private mount namespace (unshare -m)"
. "$(dirname "$0")/namespace.sh" || exit 1
run_in_private_namespace "$@"
mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /var/log && mount -t tmpfs tmpfs /mnt
stub=/mnt/quillwatch
# Stopped, it ends only a second later and no longer looks like the daemon meanwhile, as a killed
# process whose command line reads empty while it is still exiting.
printf '#!/bin/sh\necho "stub daemon started"\ntrap "exec sleep 1" TERM\nwhile sleep 1; do :; done\n' >"$stub"
chmod +x "$stub"
sed "s#@QUILLWATCH_PATH@#$stub#" "$template" >/mnt/init && chmod +x /mnt/init

# Rows: action, status, line.
steps=("start|0|" "start|0|quillwatch is already running" "status|0|quillwatch is running"
    "stop|0|" "stop|0|" "status|3|quillwatch is not running" "force-reload|0|"
    "status|0|quillwatch is running" "restart|0|" "stop|0|" "status|3|quillwatch is not running")

# The stub's starts logged so far.
starts_logged() { cat /var/log/quillwatch.log 2>/dev/null | grep -c 'stub daemon started'; }

drive() {  # flavour: runs every step with the start-stop-daemon first on PATH
    local step action expected line out status pid starts=0 i
    for step in "${steps[@]}"; do
        IFS='|' read -r action expected line <<<"$step"
        pid=$(cat /run/quillwatch.pid 2>/dev/null)
        out=$(/mnt/init "$action" 2>&1)
        status=$?
        assert_eq "$expected" "$status" "status of $action ($1)"
        assert_eq "$line" "$out" "output of $action ($1)"
        if [ "$action" != start ] && [ "$action" != status ] && [ -n "$pid" ] &&
            [ -e "/proc/$pid" ] && ! grep -q '^State:.*zombie' "/proc/$pid/status"; then
            fail "the daemon still runs after $action ($1)"
        fi
        # A stub stopped before its shell has printed its line would not be counted: each step
        # that starts one waits for the line (a loaded machine may take its time).
        if [ -z "$line" ] && [[ $action =~ ^(start|force-reload|restart)$ ]]; then
            starts=$((starts + 1))
            for ((i = 0; i < 100 && $(starts_logged) < starts; i++)); do sleep 0.1; done
        fi
    done
    assert_eq 3 "$(grep -c 'stub daemon started' /var/log/quillwatch.log)" "daemon starts logged ($1)"
    rm -f /var/log/quillwatch.log
}

case_debian_start_stop_daemon() {
    command -v start-stop-daemon >/dev/null || { skip_case "no start-stop-daemon"; return; }
    drive debian
}

case_busybox_start_stop_daemon() {
    command -v busybox >/dev/null || { skip_case "busybox is not installed"; return; }
    mkdir -p /mnt/busybox && ln -sf "$(command -v busybox)" /mnt/busybox/start-stop-daemon
    PATH=/mnt/busybox:$PATH drive busybox
}

run_cases
