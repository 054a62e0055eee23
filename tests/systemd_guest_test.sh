#!/bin/bash
# The package's systemd route under systemd as PID 1: boots a Debian root file system (made by
# scripts/setup-systemd-guest.sh) in a systemd-nspawn container under a throw-away overlay, once
# with exim4 and once with postfix as the mail transfer agent, and there takes the package
# through its life cycle under the unit's full hardening: install with no registry yet (the
# service skipped, not failed), the registry written (the path unit starts it), another user's
# files reset, a set-gid directory kept, one notice mailed through the agent by an `email` as an
# appliance's would be and delivered to the local mailbox at once, the unit's exposure, upgrade,
# remove, purge. The daemon and its children are traced from this side meanwhile: no system
# call of theirs may be refused (EPERM, EACCES) by the sandbox.
# Root only. Usage: systemd_guest_test.sh DEB
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
[ "$(id -u)" -eq 0 ] || skip "needs root to boot a container"
cache=/var/cache/corvan-nspawn
for agent in exim4-daemon-light postfix; do
    [ -e "$cache/$agent.packages" ] && command -v systemd-nspawn >/dev/null ||
        skip "no guest root for $agent: run scripts/setup-systemd-guest.sh (as root)"
done
work=$(mktemp -d)
trap 'kill "$nspawn" 2>/dev/null; wait "$nspawn" 2>/dev/null; rm -rf "$work"' EXIT
cp "$1" "$work/current.deb"
# An upgrade: the same package, a later version.
dpkg-deb -R "$1" "$work/next" && sed -i 's/^Version: .*/&+1/' "$work/next/DEBIAN/control" &&
    dpkg-deb -b "$work/next" "$work/next.deb" >/dev/null || exit 1
# The appliance's notice command: mails the notice to the administrator, the name as subject.
# Each call's arguments go to /run/email.calls, one per line.
cat >"$work/email" <<'EOF'
#!/bin/sh
printf '%s\n' "$@" >>/run/email.calls
[ "$1" = -m ] && [ "$3" = -c ] || exit 2
printf 'Download completed: %s\n' "$4" | mail -s "$4" admin
EOF
download="Big Buck Bunny's \$HOME (1080p).avi"

in_guest() { nsenter -t "$leader" -a "$@"; }
unit_state() { in_guest systemctl "$1" "$2" 2>/dev/null; }
# Waits until "$@" holds, up to 20 seconds.
wait_for() {
    local i
    for ((i = 0; i < 200; i++)); do "$@" && return 0; sleep 0.1; done
    return 1
}
mode_is() { [ "$(in_guest stat -c %a "$1" 2>/dev/null)" = "$2" ]; }
service_is() { [ "$(unit_state is-active quillwatch.service)" = "$1" ]; }

# Boots root $1 under an overlay that is thrown away with the container; sets $nspawn and
# $leader (the container's init, as this side sees it).
boot_guest() {
    systemd-nspawn -D "$1" --volatile=overlay --boot --register=no --keep-unit --private-network \
        --console=passive --bind-ro="$work:/srv/test" >"$work/console" 2>&1 &
    nspawn=$!
    wait_for pgrep -P "$nspawn" -x systemd >/dev/null || return 1
    leader=$(pgrep -P "$nspawn" -x systemd)
    wait_for in_guest test -S /run/systemd/private &&
        [ "$(in_guest systemctl is-system-running --wait)" = running ]
}

# Shuts the container down (nspawn asks its init to power off).
stop_guest() {
    kill "$nspawn"
    wait "$nspawn"
}

life_cycle() {  # agent
    local start=$SECONDS
    if boot_guest "$cache/$1"; then
        echo "     $1: booted in $((SECONDS - start)) s"
        life_cycle_in_guest "$1"
    else
        fail "the guest did not boot: $(tail -n 5 "$work/console")"
    fi
    stop_guest
    echo "     $1: $((SECONDS - start)) s in all"
}

life_cycle_in_guest() {  # agent
    in_guest sh -c 'useradd -m admin && install -m 755 /srv/test/email /usr/local/bin/email &&
        mkdir -p /srv/amulepkg/Nas_Prog/aMule/.aMule /srv/dl/TempDir /srv/dl/IncomingDir &&
        chmod 777 /srv/dl/TempDir && mkdir /srv/dl/shared && chmod 2755 /srv/dl/shared &&
        printf "TempDir=/srv/dl/TempDir\nIncomingDir=/srv/dl\n" \
            >/srv/amulepkg/Nas_Prog/aMule/.aMule/amule.conf' || fail "set-up failed"

    # As after a boot: aMule set up, but no registry in /tmp yet.
    in_guest dpkg -i /srv/test/current.deb >/dev/null || { fail "dpkg -i failed"; return; }
    assert_eq "enabled enabled" "$(unit_state is-enabled quillwatch.service) $(unit_state \
        is-enabled quillwatch.path)" "enablement after install"
    assert_eq "inactive active" "$(unit_state is-active quillwatch.service) $(unit_state \
        is-active quillwatch.path)" "units without a registry"
    in_guest sh -c 'printf "<apkg>\n<item>\n<name>aMule</name>\n<path>/srv/amulepkg</path>\n</item>\n</apkg>\n" >/tmp/apkg.xml'
    wait_for service_is active ||
        fail "the registry did not start the service"
    local pid
    pid=$(in_guest systemctl show -P MainPID quillwatch.service)

    # Another user's files; the reset they cause keeps a shared directory's set-gid bit.
    in_guest setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c \
        'umask 077 && mkdir /srv/dl/TempDir/theirs && echo x >/srv/dl/TempDir/theirs/part'
    wait_for mode_is /srv/dl/TempDir/theirs/part 777 || fail "another user's file not reset"
    wait_for mode_is /srv/dl/shared 2777 ||
        fail "the set-gid directory is $(in_guest stat -c %a /srv/dl/shared): $(in_guest journalctl -q -u quillwatch -o cat)"

    # The notice, with the daemon and its children traced.
    local host_pid tracer
    host_pid=$(pgrep -P "$leader" -x quillwatch)
    strace -f -qq -Z -o "$work/trace" -p "$host_pid" &
    tracer=$!
    wait_for grep -q "^TracerPid:[[:space:]]*$tracer" "/proc/$host_pid/status"
    in_guest sh -c 'echo data >"/srv/dl/TempDir/$1" && mv "/srv/dl/TempDir/$1" /srv/dl/IncomingDir/' \
        sh "$download"
    wait_for in_guest grep -qsF "Subject: $download" /var/mail/admin ||
        fail "no notice in the mailbox: $(in_guest journalctl -q -u quillwatch -n 5 -o cat)"
    kill "$tracer"
    wait "$tracer"
    assert_eq "-m|1024|-c|$download|" "$(in_guest cat /run/email.calls | tr '\n' '|')" "email's arguments"
    assert_eq "" "$(grep -E 'EPERM|EACCES' "$work/trace")" "calls refused to the daemon or its children"
    echo "     $1: mail delivered: $(in_guest grep -F "Subject: $download" /var/mail/admin)"
    local exposure
    exposure=$(in_guest systemd-analyze security quillwatch.service |
        sed -n 's/.*exposure level for quillwatch.service: \([0-9.]*\).*/\1/p')
    echo "     $1: exposure $exposure"
    awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 4.5) }' || fail "exposure $exposure"

    in_guest dpkg -i /srv/test/next.deb >/dev/null || fail "upgrade failed"
    local new_pid
    new_pid=$(in_guest systemctl show -P MainPID quillwatch.service)
    [ "$new_pid" != 0 ] && [ "$new_pid" != "$pid" ] || fail "the upgrade did not restart it ($pid, now $new_pid)"
    host_pid=$(pgrep -P "$leader" -x quillwatch)
    in_guest dpkg -r corvan-tools >/dev/null || fail "dpkg -r failed"
    ! alive "$host_pid" || fail "the daemon still runs after removal"
    assert_eq "masked masked" "$(unit_state is-enabled quillwatch.service) $(unit_state \
        is-enabled quillwatch.path)" "units after removal"
    in_guest dpkg -P corvan-tools >/dev/null || fail "dpkg -P failed"
    assert_eq "" "$(in_guest find /etc /usr /var/lib/systemd /var/log -name '*quillwatch*')" \
        "files left after purge"
    assert_eq "0" "$(in_guest journalctl -q -u quillwatch.service -o cat | grep -c 'Failed with result')" \
        "failures in the journal"
}

case_life_cycle_with_exim4() { life_cycle exim4-daemon-light; }
case_life_cycle_with_postfix() { life_cycle postfix; }

run_cases
