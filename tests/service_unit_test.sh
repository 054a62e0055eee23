#!/bin/bash
# The service unit: its exposure as systemd rates it (4.5 or better, or the hardening has
# slipped), and the unit that `cmake --install` puts under its default prefix passes
# `systemd-analyze verify`: its ExecStart names the daemon where that install put it. The install
# runs in a private mount namespace, over an overlay of /usr/local. The package's unit is
# verified by package_test.sh.
# Usage: service_unit_test.sh CMAKE BUILD_DIR
. "$(dirname "$0")/lib.sh"
cmake=$1
build=$(realpath "$2")
command -v systemd-analyze >/dev/null || skip "systemd-analyze (systemd) is not installed"

case_exposure_at_most_4_5() {
    local unit=$build/tests/quillwatch.service
    systemd-analyze security --offline=true "$unit" 2>&1 | grep 'Overall exposure'
    systemd-analyze security --offline=true --threshold=45 "$unit" >/dev/null 2>&1 ||
        fail "exposure above 4.5"
}

case_installed_unit_names_the_installed_daemon() {
    [ "$(id -u)" -eq 0 ] || { skip_case "needs root: private mount namespace"; return; }
    local out
    out=$(unshare -m --propagation private bash -c '
        set -e
        mount -t tmpfs tmpfs /mnt
        mkdir /mnt/upper /mnt/work
        mount -t overlay overlay -o lowerdir=/usr/local,upperdir=/mnt/upper,workdir=/mnt/work \
            /usr/local
        "$1" --install "$2" >/dev/null
        systemd-analyze verify /usr/local/lib/systemd/system/quillwatch.{service,path} 2>&1
        grep -x "DAEMON=/usr/local/sbin/quillwatch" /usr/local/etc/init.d/quillwatch' \
        bash "$cmake" "$build")
    assert_eq "DAEMON=/usr/local/sbin/quillwatch" "$out" "verify, and the init script's daemon"
}

run_cases
