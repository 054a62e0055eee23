#!/bin/bash
# The .deb's life cycle: install, the installed programs' smoke tests, upgrade, remove, purge.
# Root only. A package for another architecture is tested the same way through multiarch and
# qemu-user.
#
# It runs in a private mount namespace: /tmp holds the registry the started daemon reads, and
# a fresh /run hides any running systemd, so the maintainer scripts take the init-script route
# (deb-systemd-helper still records the unit's enablement); /usr/sbin gets a policy-rc.d that
# lets invoke-rc.d act, as a system's init would (container images deny it). Not checked here:
# starting and stopping through systemd, which needs systemd as PID 1 (systemd_guest_test.sh).
# Usage: package_test.sh DEB
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
[ "$(id -u)" -eq 0 ] || skip "needs root to install a package"
command -v dpkg >/dev/null || skip "dpkg is not available"
. "$here/namespace.sh" || exit 1
deb=$(realpath "$1")
run_in_private_namespace "$deb"

# The package and the suites may lie below /tmp, which is about to be hidden.
mount -t tmpfs tmpfs /mnt && cp -r "$here" /mnt/tests && cp "$deb" /mnt/ || exit 1
deb=/mnt/${deb##*/}
mount -t tmpfs tmpfs /tmp && mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /var/log || exit 1
mkdir /mnt/sbin /mnt/sbin-work && printf '#!/bin/sh\nexit 0\n' >/mnt/sbin/policy-rc.d &&
    chmod +x /mnt/sbin/policy-rc.d &&
    mount -t overlay overlay -o lowerdir=/usr/sbin,upperdir=/mnt/sbin,workdir=/mnt/sbin-work \
        /usr/sbin || exit 1
trap 'dpkg -P corvan-tools >/dev/null 2>&1' EXIT
dpkg -P corvan-tools >/dev/null 2>&1

files=(/usr/sbin/quillwatch /usr/libexec/corvan/updater /usr/share/man/man8/updater.8.gz
    /usr/share/man/man8/quillwatch.8.gz /usr/lib/systemd/system/quillwatch.service
    /usr/lib/systemd/system/quillwatch.path
    /usr/share/doc/corvan-tools/copyright /usr/share/doc/corvan-tools/changelog.gz)
conffiles=(/etc/init.d/quillwatch /etc/logrotate.d/quillwatch)

# A registry and a configuration that name /tmp/dl as the folder (as root writes them).
share=/tmp/dl
mkdir -p /tmp/amulepkg/Nas_Prog/aMule/.aMule $share
printf '<apkg>\n<item>\n<name>aMule</name>\n<path>/tmp/amulepkg</path>\n</item>\n</apkg>\n' \
    >/tmp/apkg.xml
printf 'IncomingDir=%s\n' $share >/tmp/amulepkg/Nas_Prog/aMule/.aMule/amule.conf

service_pid() { cat /run/quillwatch.pid 2>/dev/null; }

# Checks that the service runs and resets a new file in the folder; prints its pid.
assert_service_works() {  # what
    local status i probe=$share/probe-$RANDOM
    status=$(/etc/init.d/quillwatch status)
    assert_eq "quillwatch is running" "$status" "status $1"
    touch "$probe"
    for i in $(seq 200); do
        [ "$(stat -c %a "$probe")" = 777 ] && break
        sleep 0.1
    done
    assert_eq 777 "$(stat -c %a "$probe")" "mode of a new file $1"
}

case_install_upgrade_remove_purge() {
    dpkg -i "$deb" >/dev/null || { fail "dpkg -i failed"; return; }
    local f
    # Enabled for both init systems (the globs are expanded once installed).
    for f in "${files[@]}" "${conffiles[@]}" /etc/rc2.d/S??quillwatch /etc/rc0.d/K??quillwatch \
        /etc/systemd/system/multi-user.target.wants/quillwatch.service \
        /etc/systemd/system/paths.target.wants/quillwatch.path; do assert_exists "$f"; done
    assert_service_works "after install"
    local out
    out=$(systemd-analyze verify /usr/lib/systemd/system/quillwatch.{service,path} 2>&1) ||
        fail "systemd-analyze verify of the installed unit: $out"
    local first_pid
    first_pid=$(service_pid)

    # A package for another architecture (installed through multiarch) must hold binaries
    # that run under emulation here, and a native one native binaries.
    local emulated=no
    runs_emulated /usr/sbin/quillwatch && emulated=yes
    local arch
    arch=$(dpkg-deb -f "$deb" Architecture)
    if [ "$arch" = "$(dpkg --print-architecture)" ]; then
        assert_eq no "$emulated" "quillwatch of the native package runs under emulation"
    else
        assert_eq yes "$emulated" "quillwatch of the $arch package runs natively"
    fi

    # The installed updater: no trigger in its directory, so only its start line.
    out=$("${STRACE[@]}" -f -qq -o /dev/null -e inject=clock_nanosleep,nanosleep:retval=0 \
        /usr/libexec/corvan/updater)
    assert_eq "(Re)Starting Corvan..
0" "$out"$'\n'"$?" "installed updater"

    # The installed daemon through the suite, in a namespace of its own. A smoke test: the
    # churn case short, the full one runs against every build.
    local log
    log=$(mktemp)
    env -u IN_PRIVATE_NAMESPACE CHURN_OPS=200 bash /mnt/tests/quillwatch_test.sh \
        /usr/sbin/quillwatch >"$log" 2>&1 ||
        fail "the quillwatch suite failed against the installed daemon: $(grep FAIL "$log" | head)"
    rm -f "$log"

    # An upgrade (the same package, a later version) restarts the daemon.
    dpkg-deb -R "$deb" /mnt/next && sed -i 's/^Version: .*/&+1/' /mnt/next/DEBIAN/control &&
        dpkg-deb -b /mnt/next /mnt/next.deb >/dev/null || { fail "no later version"; return; }
    dpkg -i /mnt/next.deb >/dev/null || fail "upgrade failed"
    assert_service_works "after upgrade"
    [ -n "$(service_pid)" ] && [ "$(service_pid)" != "$first_pid" ] ||
        fail "the upgrade did not restart the daemon (pid $first_pid, now $(service_pid))"
    ! alive "$first_pid" || fail "the daemon from before the upgrade still runs"

    local last_pid
    last_pid=$(service_pid)
    [ -n "$last_pid" ] || fail "no pid file after the upgrade"
    dpkg -r corvan-tools >/mnt/remove.log 2>&1 || fail "dpkg -r failed: $(cat /mnt/remove.log)"
    ! alive "$last_pid" || fail "the daemon (pid $last_pid) still runs after removal: $(ps -o \
        pid,ppid,stat,etime,args -C quillwatch; grep -v '^Removing\|^(Reading' /mnt/remove.log)"
    for f in "${files[@]}"; do assert_absent "$f"; done
    for f in "${conffiles[@]}"; do assert_exists "$f"; done
    assert_exists /var/log/quillwatch.log

    dpkg -P corvan-tools >/dev/null || fail "dpkg -P failed"
    local left
    left=$(find /etc /var/lib/systemd /var/log -name '*quillwatch*' 2>/dev/null)
    assert_eq "" "$left" "files left after purge"
}

run_cases
